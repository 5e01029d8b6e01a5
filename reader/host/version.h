// Whether the loaded library is one this host may use: the same major
// version as the header the host was built with, and at least its minor.
#pragma once

#include "KavIDCardAPI.h"

#include <string>

namespace kav::host {

using VersionGetter = int(KAV_CALL *)(int *major, int *minor, int *patch);

// Kav_GetVersion of the loaded library, or nullptr.
VersionGetter versionGetterExport();

// "" when the library behind `get` suits the header the host was built
// with, or cannot tell (no Kav_GetVersion: a library from before it, which
// hosts have always used); else a text naming both versions.
std::string libraryVersionProblem(VersionGetter get);

// The same for the loaded library.
std::string checkLibraryVersion();

// The loaded library's version ("1.0.0"); "" when it does not say.
std::string libraryVersion();

} // namespace kav::host
