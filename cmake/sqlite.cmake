# SQLite for the Windows builds (Debian ships none for mingw): the official
# amalgamation, made by SQLite's own tool from the source tarball of
# Debian's source package (scripts/fetch-sqlite.sh fetches it), pinned to
# one version and checked against that tarball's hash, as Debian's signed
# .dsc lists it. The amalgamation is made once with the host's compiler and
# tclsh beside the tarball and shared by both bitnesses.
set(VELKART_SQLITE_VERSION 3.40.1)
set(VELKART_SQLITE_SHA256 aaa776260ab4dc976db34aa7891819484c8676b5b2783123ebc6301e2ca5d655)
set(VELKART_SQLITE_TARBALL ${PROJECT_SOURCE_DIR}/build/sqlite-source/sqlite3_${VELKART_SQLITE_VERSION}.orig.tar.xz
    CACHE FILEPATH "SQLite's source tarball from Debian's source package")

if(NOT EXISTS ${VELKART_SQLITE_TARBALL})
    message(FATAL_ERROR "${VELKART_SQLITE_TARBALL} is missing: run scripts/fetch-sqlite.sh")
endif()
file(SHA256 ${VELKART_SQLITE_TARBALL} sqlite_hash)
if(NOT sqlite_hash STREQUAL VELKART_SQLITE_SHA256)
    message(FATAL_ERROR "${VELKART_SQLITE_TARBALL} has SHA-256 ${sqlite_hash}, not the pinned ${VELKART_SQLITE_SHA256}")
endif()

get_filename_component(sqlite_home ${VELKART_SQLITE_TARBALL} DIRECTORY)
set(sqlite_dir ${sqlite_home}/amalgamation-${VELKART_SQLITE_VERSION}-${sqlite_hash})
if(NOT EXISTS ${sqlite_dir}/sqlite3.c OR NOT EXISTS ${sqlite_dir}/sqlite3.h)
    set(work ${sqlite_home}/work-${sqlite_hash})
    file(REMOVE_RECURSE ${work})
    file(ARCHIVE_EXTRACT INPUT ${VELKART_SQLITE_TARBALL} DESTINATION ${work})
    set(tree ${work}/sqlite3-${VELKART_SQLITE_VERSION})
    message(STATUS "Making SQLite ${VELKART_SQLITE_VERSION}'s amalgamation")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=CFLAGS --unset=LDFLAGS CC=cc
                            sh ./configure --disable-tcl
                    WORKING_DIRECTORY ${tree} OUTPUT_QUIET RESULT_VARIABLE rc)
    if(rc EQUAL 0)
        execute_process(COMMAND make sqlite3.c WORKING_DIRECTORY ${tree} OUTPUT_QUIET RESULT_VARIABLE rc)
    endif()
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "SQLite's amalgamation could not be made in ${tree} (needs cc, make and tclsh)")
    endif()
    file(MAKE_DIRECTORY ${sqlite_dir})
    file(COPY ${tree}/sqlite3.c ${tree}/sqlite3.h DESTINATION ${sqlite_dir})
    file(REMOVE_RECURSE ${work})
endif()

enable_language(C)
add_library(velkart_sqlite STATIC ${sqlite_dir}/sqlite3.c)
target_include_directories(velkart_sqlite SYSTEM PUBLIC ${sqlite_dir})
# SQLite's own code is not held to our warnings. No extensions loaded from
# files; the record is opened from one thread at a time but may be from any.
target_compile_options(velkart_sqlite PRIVATE -w)
target_compile_definitions(velkart_sqlite PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION SQLITE_DQS=0)
add_library(SQLite::SQLite3 ALIAS velkart_sqlite)
set(SQLite3_FOUND TRUE)
