#include "warnings.h"

#include <cstring>

namespace kav::host {

std::vector<Warning> readWarnings(WarningGetter getter) {
    std::vector<Warning> warnings;
    // Bounded, should a library never say "no more".
    constexpr int kMostShown = 1000;
    for (int index = 0; getter != nullptr && index < kMostShown; ++index) {
        int port = KAV_NO_PORT;
        char text[KAV_WARNING_TEXT_SIZE] = {};
        if (getter(index, &port, text, static_cast<int>(sizeof text)) != KAV_OK)
            break;
        warnings.push_back({port, std::string(text, strnlen(text, sizeof text))});
    }
    return warnings;
}

} // namespace kav::host
