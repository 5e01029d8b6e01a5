// The protocol tests' main: writes the library's trace to a file of its
// own so the trace can be checked, unless the caller chose one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char **argv) {
    const char *given = std::getenv("KAVIDCARD_TRACE");
    std::string path;
    if (given == nullptr || *given == '\0') {
        path = "/tmp/kav_protocol_trace_" + std::to_string(::getpid()) + ".log";
        ::setenv("KAVIDCARD_TRACE", path.c_str(), 1);
    }
    testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    if (!path.empty())
        ::unlink(path.c_str());
    return rc;
}
