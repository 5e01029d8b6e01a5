// kav check and kav results in a build without SQLite (the Windows build:
// Debian ships no SQLite for mingw). The commands are there and say why
// they cannot run, rather than being unknown.
#include "check_run.h"

#include "exit_codes.h"

#include <cstdio>

namespace kav::cli {
namespace {

int withoutRecords(const char *command) {
    std::fprintf(stderr, "kav: %s: this build of kav has no results database (no SQLite)\n",
                 command);
    return kExitRecord;
}

} // namespace

int runCheck(const Output &, const std::function<std::vector<int>()> &, const CheckOptions &) {
    return withoutRecords("check");
}

int runResults(const Output &, const ResultsOptions &) {
    return withoutRecords("results");
}

} // namespace kav::cli
