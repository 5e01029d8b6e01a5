// Serial device names as the system spells them: the default rule that
// turns a port number into a device, and whether such a device is present.
// One implementation per system, in reader/platform/<system>/device_names.cpp.
#pragma once

#include <optional>
#include <string>

namespace kav {

// The default rule alone: the node of a port, if the rule names one.
std::optional<std::string> defaultDevicePath(int port);

// Whether the device a path names is present now (a node on Linux, a
// communications device on Windows).
bool deviceExists(const std::string &path);

} // namespace kav
