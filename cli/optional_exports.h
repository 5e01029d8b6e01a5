// Exports a library may lack: looked up when kav runs, so that kav also
// drives a library that has only the core interface.
#pragma once

#include "KavIDCardAPI.h"
#include "warnings.h"

#include <vector>

namespace kav::cli {

using SetTraceCallbackFn = int(KAV_CALL *)(KavTraceCallback, void *);
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

// The extended read: card types, every field, fingerprint data, the
// appended address.
using ReadCardFn = int(KAV_CALL *)(int, int, KavCardData *);
using GetLastCardFn = int(KAV_CALL *)(int, KavCardData *);
using ReadAppendedAddressFn = int(KAV_CALL *)(int, char *, int, int *);
ReadCardFn readCardExport();
GetLastCardFn getLastCardExport();
ReadAppendedAddressFn readAppendedAddressExport();

} // namespace kav::cli
