#include "library/device_names.h"

#include <filesystem>
#include <system_error>

namespace kav {

std::optional<std::string> defaultDevicePath(int port) {
    struct Range {
        int first;
        const char *prefix;
    };
    static constexpr Range kRanges[] = {
        {1, "/dev/ttyUSB"}, {101, "/dev/ttyACM"}, {201, "/dev/ttyS"}};
    for (const Range &r : kRanges)
        if (port >= r.first && port < r.first + 100)
            return std::string(r.prefix) + std::to_string(port - r.first);
    return std::nullopt;
}

bool deviceExists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

} // namespace kav
