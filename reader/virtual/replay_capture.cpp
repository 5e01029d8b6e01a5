#include "virtual/replay_capture.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace kav::virt {
namespace {

using capture::Direction;
using capture::Record;

std::uint32_t rateOf(const std::string &description) {
    std::uint32_t baud = 0;
    const char *end = description.data() + description.size();
    const auto [at, error] = std::from_chars(description.data(), end, baud);
    if (error != std::errc{} || !proto::baudCode(baud))
        return proto::kDefaultBaud;
    return baud;
}

std::size_t choosePort(const capture::Capture &capture, const std::string &name) {
    for (std::size_t i = 0; i < capture.ports.size(); ++i)
        if (!name.empty() && capture.ports[i].name == name)
            return i;
    if (!name.empty())
        throw std::runtime_error("the capture has no port " + name);
    for (const Record &r : capture.records)
        if (r.kind == Record::Kind::Frame && r.direction == Direction::ToReader &&
            r.port < capture.ports.size())
            return r.port;
    throw std::runtime_error("the capture holds no command to a reader");
}

} // namespace

ReplayScript scriptFromCapture(const capture::Capture &capture, const std::string &portName) {
    const std::size_t port = choosePort(capture, portName);
    ReplayScript script;
    script.baud = rateOf(capture.ports[port].description);
    std::int64_t last = 0;
    for (const Record &r : capture.records) {
        if (r.kind == Record::Kind::Event) {
            // The library's word for a line that went away under a read.
            if ((r.port == port || r.port == capture::npos) && !script.exchanges.empty() &&
                r.text.find("link failed") != std::string::npos)
                script.exchanges.back().disconnect = true;
            continue;
        }
        if (r.port != port)
            continue;
        if (r.direction == Direction::ToReader) {
            // Stray host bytes are not commands the reader answered.
            if (r.kind == Record::Kind::Frame) {
                script.exchanges.push_back({r.bytes, {}, false});
                last = r.timeNs;
            }
            continue;
        }
        if (script.exchanges.empty())
            continue; // before the first command: nobody asked for it
        std::vector<std::uint8_t> bytes = r.bytes;
        // Noise the trace only counted still took its place on the line.
        if (bytes.empty() && r.kind == Record::Kind::Noise)
            bytes.assign(r.withheld, 0x00);
        const std::int64_t gapNs = std::max<std::int64_t>(r.timeNs - last, 0);
        last = std::max(last, r.timeNs);
        script.exchanges.back().answer.push_back(
            {std::chrono::microseconds{gapNs / 1000}, std::move(bytes)});
    }
    // Bytes the host gave up on are recorded when it gave up, at its
    // timeout, not when they came: sent that late, they would race the
    // host's next command. They go out right after what came before them.
    for (Exchange &e : script.exchanges)
        for (auto piece = e.answer.rbegin();
             piece != e.answer.rend() && !capture::isWholeFrame(piece->bytes); ++piece)
            piece->after = std::chrono::microseconds{0};
    return script;
}

} // namespace kav::virt
