#include "record_store.h"

#include <cstdlib>
#include <filesystem>

namespace kav::station {

std::string defaultRecordsPath() {
    namespace fs = std::filesystem;
    const char *data = std::getenv("XDG_DATA_HOME");
    fs::path base;
    if (data != nullptr && *data == '/') {
        base = data;
    } else {
        const char *home = std::getenv("HOME");
        base = fs::path(home != nullptr && *home != '\0' ? home : ".") / ".local" / "share";
    }
    return (base / "velkart" / "results.sqlite").string();
}

} // namespace kav::station
