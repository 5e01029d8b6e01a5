// kav's exit codes: stable, documented in --help and kav(1). Scripts branch
// on them, so a result code maps to its class in one place only: the table
// of result codes (reader/result_codes.h).
#pragma once

namespace kav::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,    // bad arguments; no port was touched
    kExitNoDevice = 2, // no reader found, or no device behind the port
    kExitAccess = 3,   // permission denied, or the port is busy
    kExitLink = 4,     // the link failed: I/O, timeout, bad frame, unexpected answer
    kExitRefused = 5,  // the SAM or the card refused: a status byte
    kExitPhoto = 6,    // the photo could not be written
    kExitOther = 7,    // anything else
    kExitOutput = 8,   // standard output could not be written (closed, disk full)
    kExitFailed = 9,   // kav check: a unit failed its plan
    kExitRecord = 10,  // the results database could not be used or written
};

// The class of a Kav_* result code (0 is kExitOk).
int exitClass(int result);

} // namespace kav::cli
