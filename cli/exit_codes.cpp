#include "exit_codes.h"

#include "result_codes.h"

namespace kav::cli {

// The table of result codes keeps each code's class; the numbers are ours.
using kav::results::Exit;
static_assert(static_cast<int>(Exit::Ok) == kExitOk);
static_assert(static_cast<int>(Exit::NoDevice) == kExitNoDevice);
static_assert(static_cast<int>(Exit::Access) == kExitAccess);
static_assert(static_cast<int>(Exit::Link) == kExitLink);
static_assert(static_cast<int>(Exit::Refused) == kExitRefused);
static_assert(static_cast<int>(Exit::Photo) == kExitPhoto);
static_assert(static_cast<int>(Exit::Other) == kExitOther);

int exitClass(int result) {
    return static_cast<int>(kav::results::exitClass(result));
}

} // namespace kav::cli
