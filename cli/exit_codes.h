// kav's exit codes: stable, documented in --help and kav(1). Scripts branch
// on them, so a result code maps to its class in one place only: the table
// of result codes (reader/result_codes.h).
#pragma once

#include "result_codes.h"

namespace kav::cli {

// The classes of result codes are the table's; kav adds its own.
enum ExitCode : int {
    kExitOk = static_cast<int>(results::Exit::Ok),
    kExitUsage = 1, // bad arguments; no port was touched
    kExitNoDevice = static_cast<int>(results::Exit::NoDevice),
    kExitAccess = static_cast<int>(results::Exit::Access),
    kExitLink = static_cast<int>(results::Exit::Link),
    kExitRefused = static_cast<int>(results::Exit::Refused),
    kExitPhoto = static_cast<int>(results::Exit::Photo),
    kExitOther = static_cast<int>(results::Exit::Other),
    kExitOutput = 8,   // standard output could not be written (closed, disk full)
    kExitFailed = 9,   // kav check: a unit failed its plan
    kExitRecord = 10,  // the results database could not be used or written
    kExitAborted = 11, // kav check: a unit's check was interrupted (ABORTED)
};

// The class of a Kav_* result code (0 is kExitOk).
int exitClass(int result);

} // namespace kav::cli
