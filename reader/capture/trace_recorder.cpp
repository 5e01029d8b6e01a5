#include "capture/trace_recorder.h"

#include <charconv>

namespace kav::capture {

Record TraceRecorder::record(const KavTraceEvent &e) {
    Record r;
    r.timeNs = static_cast<std::int64_t>(e.timeMs) * 1'000'000;
    r.text = e.text != nullptr ? e.text : "";
    const std::string link = e.link != nullptr ? e.link : "";
    if (e.kind == KAV_TRACE_TO_READER || e.kind == KAV_TRACE_FROM_READER ||
        e.kind == KAV_TRACE_NOISE) {
        auto it = portIndex_.find(link);
        if (it == portIndex_.end()) {
            Port port{link, rates_.count(link) != 0 ? rates_[link] : std::string()};
            const std::size_t index = writer_.addPort(port);
            ports_.push_back(port);
            it = portIndex_.emplace(link, index).first;
            if (redactor_)
                redactor_->setPorts(ports_);
        }
        r.port = it->second;
        r.direction = e.kind == KAV_TRACE_TO_READER ? Direction::ToReader : Direction::FromReader;
        if (e.bytes != nullptr)
            r.bytes.assign(e.bytes, e.bytes + e.byteCount);
        else
            r.withheld = e.byteCount; // fingerprint data, or noise only counted
        r.kind = e.kind == KAV_TRACE_NOISE || (e.bytes != nullptr && !isWholeFrame(r.bytes))
                     ? Record::Kind::Noise
                     : Record::Kind::Frame;
        return r;
    }
    r.kind = Record::Kind::Event;
    // "open /dev/ttyUSB0 at 115200 baud ...": the rate its interface will name.
    const std::string &t = r.text;
    if (t.starts_with("open ")) {
        const std::size_t at = t.find(" at ");
        const std::size_t baud = t.find(" baud");
        if (at != std::string::npos && baud != std::string::npos && baud > at) {
            std::string device = t.substr(5, at - 5);
            if (const std::size_t paren = device.find(" ("); paren != std::string::npos)
                device.resize(paren);
            rates_[device] = t.substr(at + 4, baud - at - 4) + " 8N1";
        }
    }
    std::size_t best = 0;
    for (const auto &[name, index] : portIndex_)
        if (!name.empty() && name.size() > best && t.find(name) != std::string::npos) {
            r.port = index;
            best = name.size();
        }
    return r;
}

void TraceRecorder::add(const KavTraceEvent &event) {
    if (redact_ && !redactor_)
        redactor_.emplace();
    Record r = record(event);
    if (redactor_)
        redactor_->apply(r);
    writer_.write(r);
}

} // namespace kav::capture
