// Exports a library may lack: looked up when kav runs, so that kav also
// drives a library that has only the core interface.
#pragma once

#include "KavIDCardAPI.h"
#include "exports.h"
#include "warnings.h"

#include <string>
#include <vector>

namespace kav::cli {

using SetTraceCallbackFn = host::TraceSetter;
using GetMappedPortFn = int(KAV_CALL *)(int, int *, char *, int);
using GetWarningFn = host::WarningGetter;
using GetRetryCountFn = int(KAV_CALL *)(int, unsigned int *);

// nullptr when the loaded library does not export it.
SetTraceCallbackFn setTraceCallbackExport();
GetMappedPortFn getMappedPortExport();
GetWarningFn getWarningExport();

using LibraryWarning = host::Warning;

// Every warning of the loaded library; none when it lacks Kav_GetWarning.
std::vector<LibraryWarning> libraryWarnings();
GetRetryCountFn getRetryCountExport();

using GetLastFailureFn = int(KAV_CALL *)(int, char *, int);
GetLastFailureFn getLastFailureExport();
// Why the port's last call that reached for its device failed, in the
// library's words (UTF-8); empty when it says nothing or lacks
// Kav_GetLastFailure.
std::string lastFailureText(int port);

// The extended read: card types, every field, fingerprint data, the
// appended address.
using ReadCardFn = int(KAV_CALL *)(int, int, KavCardData *);
using GetLastCardFn = host::LastCardGetter;
using ReadAppendedAddressFn = int(KAV_CALL *)(int, char *, int, int *);
ReadCardFn readCardExport();
GetLastCardFn getLastCardExport();
ReadAppendedAddressFn readAppendedAddressExport();

} // namespace kav::cli
