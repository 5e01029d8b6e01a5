#include "library/device_names.h"

#include <windows.h>

namespace kav {

// Every serial port number N is COMN; USB port numbers name nothing.
std::optional<std::string> defaultDevicePath(int port) {
    if (port < 1 || port > 1000)
        return std::nullopt;
    return "COM" + std::to_string(port);
}

// A COM name the system knows now (the name, or \\.\ and the name).
bool deviceExists(const std::string &path) {
    std::string name = path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
    char target[1024];
    return ::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}

} // namespace kav
