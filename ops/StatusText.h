// The status line's texts beside the failure itself, in UTF-8: what the
// library warned about its configuration (read once at start through the
// host kit), at start-up and after a failed call on a port it concerns.
#pragma once

#include "warnings.h"

#include <string>
#include <vector>

using LibraryWarningList = std::vector<kav::host::Warning>;

// The status line at start-up: the warnings that concern no port, or empty.
std::string configurationStatusText(const LibraryWarningList &warnings);

// The same after what the host kit's version check found wrong with the
// loaded library (empty when nothing).
std::string startUpStatusText(const std::string &versionProblem,
                              const LibraryWarningList &warnings);

// What follows a failed call's status when the library warned about the
// port it was given: "; 端口 1: card file ...". Empty for calls that take no
// port and for ports without warnings.
std::string portWarningsText(const LibraryWarningList &warnings, const char *call, int port);
