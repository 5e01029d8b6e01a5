// The reader library's warnings about its own configuration, read through
// Kav_GetWarning (an optional export the host looked up at run time): one
// reading for every host, kav and the dialog.
#pragma once

#include "KavIDCardAPI.h"
#include "exports.h"

#include <string>
#include <vector>

namespace kav::host {

struct Warning {
    int port = KAV_NO_PORT; // KAV_NO_PORT: it concerns no port
    std::string text;       // UTF-8
};

// Every warning the getter gives; none for a null getter.
std::vector<Warning> readWarnings(WarningGetter getter);

} // namespace kav::host
