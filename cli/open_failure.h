// Why a port did not open, as kav says it for every command: the port and
// its device, what is wrong, and what to do about it.
#pragma once

#include "output.h"

#include <optional>
#include <string>

namespace kav::cli {

// The port's device as the library's port map names it (UTF-8); nullopt when
// the port names none or the library gives no map.
std::optional<std::string> mappedDevice(int port);

// "port 1 (/dev/ttyUSB0): no such device: is the reader plugged in? (kav
// ports lists what is there)" for Kav_OpenPort's `code` on `port`; `detail`
// is the library's last failure text, which the line uses where it says
// more than the code.
std::string openFailureText(int port, int code, const std::string &detail);

} // namespace kav::cli
