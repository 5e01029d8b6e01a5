#include "protocol/transact.h"

#include "KavIDCardAPI.h"
#include "protocol/frame_parser.h"
#include "trace.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace kav::proto {
namespace {

using trace::Direction;
using Clock = Link::Clock;

std::string badChecksumText(std::span<const std::uint8_t> frame) {
    const std::uint8_t sum =
        checksum(frame.subspan(kPreambleSize, frame.size() - kPreambleSize - 1));
    char buf[64];
    std::snprintf(buf, sizeof buf, "bad checksum: 0x%02X computed, 0x%02X received", sum,
                  frame.back());
    return buf;
}

std::string badLengthText(std::span<const std::uint8_t> header) {
    const unsigned length = (unsigned{header[5]} << 8) | header[6];
    return "bad length " + std::to_string(length) + ", resynchronising";
}

} // namespace

int transact(Link &link, std::uint8_t cmd, std::uint8_t para, std::span<const std::uint8_t> data,
             Response &out, std::chrono::milliseconds timeout) {
    const std::vector<std::uint8_t> frame = encodeCommand(cmd, para, data);
    if (frame.empty())
        return KAV_E_BAD_ARGUMENT;
    const std::string linkName = link.name();
    const std::string what = commandName(cmd, para);

    link.discardInput();
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + timeout;
    trace::frame(linkName, Direction::ToReader, frame, what);
    if (link.write(frame) != KAV_OK) {
        trace::line(linkName + ": " + what + ": write failed");
        return KAV_E_IO;
    }

    FrameParser parser(FrameKind::Response);
    std::vector<std::uint8_t> chunk;
    Clock::time_point waitUntil = deadline;
    bool sawBadFrame = false;
    bool sawBadChecksum = false;

    for (;;) {
        chunk.clear();
        const int rc = link.read(chunk, waitUntil);
        if (rc == KAV_E_TIMEOUT || (rc == KAV_OK && chunk.empty() && Clock::now() >= waitUntil)) {
            const std::vector<std::uint8_t> left = parser.drain();
            if (!left.empty())
                trace::frame(linkName, Direction::FromReader, left, "incomplete, discarded");
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            trace::line(linkName + ": " + what + ": " +
                        (sawBadFrame ? "no good frame" : "no answer") + " after " +
                        std::to_string(waited.count()) + " ms");
            return sawBadFrame ? KAV_E_BAD_FRAME : KAV_E_TIMEOUT;
        }
        if (rc != KAV_OK) {
            const std::vector<std::uint8_t> left = parser.drain();
            if (!left.empty())
                trace::frame(linkName, Direction::FromReader, left, "incomplete, discarded");
            trace::line(linkName + ": " + what + ": link failed");
            return KAV_E_IO;
        }

        std::span<const std::uint8_t> rest(chunk);
        std::optional<ParseEvent> event;
        for (;;) {
            rest = rest.subspan(parser.feed(rest, event));
            if (!event)
                break;
            switch (event->type) {
            case ParseEvent::Type::Noise:
                trace::frame(linkName, Direction::FromReader, event->bytes,
                             "noise, " + std::to_string(event->bytes.size()) + " bytes skipped");
                break;
            case ParseEvent::Type::BadLength:
                sawBadFrame = true;
                trace::frame(linkName, Direction::FromReader, event->bytes,
                             badLengthText(event->bytes));
                break;
            case ParseEvent::Type::BadChecksum:
                sawBadFrame = sawBadChecksum = true;
                trace::frame(linkName, Direction::FromReader, event->bytes,
                             badChecksumText(event->bytes));
                break;
            case ParseEvent::Type::Frame: {
                std::optional<Response> response = decodeResponse(event->bytes);
                if (!response)
                    return KAV_E_INTERNAL; // the parser only yields well-formed frames
                trace::frame(linkName, Direction::FromReader, event->bytes,
                             what + ": " + describeResponse(*response));
                out = std::move(*response);
                return KAV_OK;
            }
            }
        }
        // A frame that failed its checksum was most likely the answer,
        // damaged: a good frame may still follow (the bad one was noise that
        // looked like a frame), so wait on only while bytes keep coming. A
        // refused length is no such sign (a preamble-looking sequence in
        // line noise, perhaps long before a slow answer): keep waiting.
        if (sawBadChecksum)
            waitUntil = std::min(deadline, Clock::now() + kSettleGap);
    }
}

} // namespace kav::proto
