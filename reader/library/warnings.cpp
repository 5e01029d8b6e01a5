// What the library's configuration got wrong, and why a port's last call
// failed, worded for the host to show:
// the user's own bytes (the variable, card file paths) may be anything, the
// texts handed out are UTF-8 that fits a KAV_WARNING_TEXT_SIZE buffer.
#include "library.h"

#include "protocol/trace.h"

namespace kav {
namespace {

// The trace's own cleaning (UTF-8, controls as '?', other bytes as \xNN),
// cut with "..." to fit the host's buffer.
std::string shownText(std::string_view text) {
    constexpr std::size_t kMax = KAV_WARNING_TEXT_SIZE - 1;
    constexpr std::string_view kCut = "...";
    std::string out;
    std::size_t fits = 0; // the longest whole-piece prefix that leaves room for the cut mark
    // Cut only between whole characters or escapes.
    const std::string clean = trace::printable(text);
    for (std::size_t at = 0; at < clean.size();) {
        const auto lead = static_cast<unsigned char>(clean[at]);
        const bool escape = clean.compare(at, 2, "\\x") == 0 && at + 4 <= clean.size();
        const std::size_t n = escape ? 4 : lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        out += clean.substr(at, n);
        at += n;
        if (out.size() <= kMax - kCut.size())
            fits = out.size();
        else if (out.size() > kMax)
            break;
    }
    if (out.size() <= kMax)
        return out;
    out.resize(fits);
    return out + std::string(kCut);
}

} // namespace

std::vector<Library::Warning> Library::warnings() {
    std::vector<Warning> list;
    for (const std::string &error : devices_.errors())
        list.push_back({KAV_NO_PORT, shownText("KAVIDCARD_DEVICES: " + error)});
    for (const DeviceMap::Hint &hint : devices_.hints())
        list.push_back({hint.port, shownText("KAVIDCARD_DEVICES: " + hint.text)});
    // Virtual readers come only from the variable, whose ports are those
    // listed even when no node exists.
    for (int port : devices_.candidatePorts([](const std::string &) { return false; })) {
        virtualReader(port); // loads the port's card file, once
        if (auto it = cardErrors_.find(port); it != cardErrors_.end())
            list.push_back({port, shownText("card file " + it->second)});
    }
    return list;
}

void Library::beginCall(int port) {
    std::lock_guard state(mutex_);
    failures_[port].noted = false;
}

void Library::noteFailure(int port, const std::string &text) {
    std::lock_guard state(mutex_);
    Failure &failure = failures_[port];
    if (failure.noted)
        return;
    failure.text = text;
    failure.noted = true;
}

void Library::endCall(int port, int result, const std::string &otherwise) {
    std::lock_guard state(mutex_);
    if (result == KAV_OK) {
        failures_.erase(port);
        return;
    }
    Failure &failure = failures_[port];
    if (!failure.noted)
        failure.text = otherwise;
    failure.noted = false;
}

std::string Library::lastFailure(int port) {
    std::lock_guard state(mutex_);
    const auto it = failures_.find(port);
    return it != failures_.end() ? shownText(it->second.text) : std::string();
}

} // namespace kav
