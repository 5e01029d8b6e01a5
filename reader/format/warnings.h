// The reader library's warnings about its own configuration, read through
// Kav_GetWarning (an optional export the host looked up at run time): one
// reading for every host, kav and the dialog.
#pragma once

#include "KavIDCardAPI.h"

#include <string>
#include <vector>

namespace kav::format {

using WarningGetter = int(KAV_CALL *)(int index, int *port, char *text, int textSize);

struct Warning {
    int port = KAV_NO_PORT; // KAV_NO_PORT: it concerns no port
    std::string text;       // UTF-8
};

// Every warning the getter gives; none for a null getter.
std::vector<Warning> readWarnings(WarningGetter getter);

} // namespace kav::format
