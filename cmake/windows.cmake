# What the 64-bit Windows build takes from the host, included by the top
# CMakeLists.txt when cross-building with cmake/toolchain-mingw64.cmake.
# Debian has no mingw packages of these, so:
#  - the header-only CLI11 and nlohmann-json come from the host's headers,
#    through a folder that holds only them (never all of /usr/include);
#  - GoogleTest is built from Debian's sources (/usr/src/googletest).

set(VELKART_HOST_HEADERS ${PROJECT_BINARY_DIR}/host-headers)
foreach(dir CLI nlohmann)
    if(NOT EXISTS /usr/include/${dir})
        message(FATAL_ERROR "/usr/include/${dir} is missing: install libcli11-dev and nlohmann-json3-dev")
    endif()
    file(MAKE_DIRECTORY ${VELKART_HOST_HEADERS})
    file(CREATE_LINK /usr/include/${dir} ${VELKART_HOST_HEADERS}/${dir} SYMBOLIC)
endforeach()

add_library(velkart_cli11 INTERFACE)
target_include_directories(velkart_cli11 SYSTEM INTERFACE ${VELKART_HOST_HEADERS})
add_library(CLI11::CLI11 ALIAS velkart_cli11)
add_library(velkart_json INTERFACE)
target_include_directories(velkart_json SYSTEM INTERFACE ${VELKART_HOST_HEADERS})
add_library(nlohmann_json::nlohmann_json ALIAS velkart_json)
# The folders look these packages up only where no target stands in for them.

find_package(Threads REQUIRED)

# Programs and the DLL in one folder, as Windows finds a DLL beside its program.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

if(VELKART_TESTS)
    set(VELKART_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    # GoogleTest's own code is not held to our warnings; it names its
    # targets GTest::gtest and GTest::gtest_main itself.
    add_subdirectory(${VELKART_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(target gtest gtest_main)
        target_compile_options(${target} PRIVATE -w)
        get_target_property(includes ${target} INTERFACE_INCLUDE_DIRECTORIES)
        set_target_properties(${target} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${includes}")
    endforeach()
endif()
