#include "protocol/transact.h"

#include "KavIDCardAPI.h"
#include "protocol/frame_parser.h"
#include "protocol/trace.h"

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

// Bad frames and noise shown in the trace for one command; the rest are counted.
constexpr std::size_t kTracedFaults = 8;
// A bad frame can be 4 kB of garbage: its start is enough to recognise it.
constexpr std::size_t kTracedFaultBytes = 32;

// The trace of one exchange's faults: the first few shown, the rest only
// counted, so a device that floods the line cannot flood the trace. A
// fault's meaning is put into words only when it is shown.
class FaultTrace {
  public:
    // withhold: the command's answer carries fingerprint data, so no byte
    // from the reader is shown, broken or not.
    FaultTrace(const std::string &link, bool withhold) : link_(link), withhold_(withhold) {}

    template <typename Meaning> void fault(std::span<const std::uint8_t> bytes, Meaning meaning) {
        if (shown_ >= kTracedFaults || !trace::enabled()) {
            ++counted_;
            return;
        }
        ++shown_;
        if (withhold_)
            trace::withheldFrame(link_, Direction::FromReader, bytes.size(), meaning());
        else if (bytes.size() <= kTracedFaultBytes)
            trace::frame(link_, Direction::FromReader, bytes, meaning());
        else
            trace::frame(link_, Direction::FromReader, bytes.first(kTracedFaultBytes),
                         meaning() + " (" + std::to_string(bytes.size()) +
                             " bytes, the first shown)");
    }

    void noise(std::span<const std::uint8_t> bytes) {
        if (shown_ >= kTracedFaults) {
            noise_ += bytes.size();
            return;
        }
        fault(bytes, [&] { return "noise, " + std::to_string(bytes.size()) + " bytes skipped"; });
    }

    // Says what was only counted.
    void flush() {
        trace::noise(link_, noise_);
        if (counted_ > 0 && trace::enabled())
            trace::line(link_ + ": " + std::to_string(counted_) +
                        " more bad or unexpected frames not shown");
        noise_ = counted_ = 0;
    }

  private:
    const std::string &link_;
    bool withhold_;
    std::size_t shown_ = 0;
    std::size_t counted_ = 0;
    std::size_t noise_ = 0;
};

} // namespace

int transact(Link &link, std::uint8_t cmd, std::uint8_t para, std::span<const std::uint8_t> data,
             Response &out, std::chrono::milliseconds timeout) {
    const std::vector<std::uint8_t> frame = encodeCommand(cmd, para, data);
    if (frame.empty())
        return KAV_E_BAD_ARGUMENT;
    const Command command{cmd, para};
    const std::string linkName = link.name();
    const std::string what = commandName(cmd, para);

    // Whatever came before the command (a late answer to an earlier one,
    // noise) is not its answer.
    link.discardInput();
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + timeout + link.extraDelay();
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
    bool sawOtherAnswer = false;
    const bool withhold = withheldFromTrace(command);
    FaultTrace faults(linkName, withhold);
    const auto giveUp = [&](int failure, const char *why) {
        const std::vector<std::uint8_t> left = parser.drain();
        if (!left.empty())
            faults.fault(left, [] { return std::string("incomplete, discarded"); });
        faults.flush();
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        trace::line(linkName + ": " + what + ": " + why + " after " +
                    std::to_string(waited.count()) + " ms");
        return failure;
    };
    const auto timedOut = [&] {
        // A frame begun and never finished: the answer, cut short.
        if (parser.frameBytes() != 0)
            return giveUp(KAV_E_BAD_FRAME, "answer cut short");
        if (sawOtherAnswer)
            return giveUp(KAV_E_BAD_REPLY, "no answer that fits the command");
        if (sawBadFrame)
            return giveUp(KAV_E_BAD_FRAME, "no good frame");
        return giveUp(KAV_E_TIMEOUT, "no answer");
    };

    bool lastLook = false;
    for (;;) {
        // The deadline holds however fast the bytes come; what had already
        // arrived by then gets one last look, so a busy host does not lose
        // an answer that came in time.
        if (Clock::now() >= waitUntil) {
            if (lastLook)
                return timedOut();
            lastLook = true;
        }
        chunk.clear();
        const int rc = link.read(chunk, lastLook ? Clock::now() : waitUntil);
        // A system's wait may end a little early (mingw's by up to a
        // millisecond): the time is up only when the clock says so.
        if (rc == KAV_E_TIMEOUT && !lastLook && Clock::now() < waitUntil)
            continue;
        if (rc == KAV_E_TIMEOUT)
            return timedOut();
        if (rc != KAV_OK)
            return giveUp(KAV_E_IO, "link failed");

        std::span<const std::uint8_t> rest(chunk);
        std::optional<ParseEvent> event;
        for (;;) {
            rest = rest.subspan(parser.feed(rest, event));
            if (!event)
                break;
            // A stream built to make the parser rescan (a preamble and a
            // long length, over and over) costs time per byte: the deadline
            // holds inside a chunk too.
            if (event->type != ParseEvent::Type::Frame && Clock::now() >= deadline)
                return timedOut();
            switch (event->type) {
            case ParseEvent::Type::Noise:
                faults.noise(event->bytes);
                break;
            case ParseEvent::Type::BadLength:
                sawBadFrame = true;
                faults.fault(event->bytes, [&] { return badLengthText(event->bytes); });
                break;
            case ParseEvent::Type::BadChecksum:
                sawBadFrame = sawBadChecksum = true;
                faults.fault(event->bytes, [&] { return badChecksumText(event->bytes); });
                break;
            case ParseEvent::Type::Frame: {
                std::optional<Response> response = decodeResponse(event->bytes);
                if (!response)
                    return giveUp(KAV_E_INTERNAL, "parser yielded a malformed frame");
                if (!answers(command, *response)) {
                    sawOtherAnswer = true;
                    faults.fault(event->bytes, [&] {
                        return describeResponse(*response) + ": not an answer to " + what +
                               ", ignored";
                    });
                    break;
                }
                faults.flush();
                if (withhold)
                    trace::withheldFrame(linkName, Direction::FromReader, event->bytes.size(),
                                         what + ": " + describeResponse(*response));
                else
                    trace::frame(linkName, Direction::FromReader, event->bytes,
                                 what + ": " + describeResponse(*response));
                out = std::move(*response);
                return KAV_OK;
            }
            }
        }
        // A frame that failed its checksum was most likely the answer,
        // damaged: a good frame may still follow (the bad one was noise that
        // looked like a frame), so wait on only while bytes keep coming. So
        // too once a frame's length is known: its bytes come without pause,
        // and a frame that stops is cut short. A refused length is no such
        // sign (a preamble-looking sequence in line noise, perhaps long
        // before a slow answer): keep waiting.
        if (sawBadChecksum || parser.frameUnderWay() != 0)
            waitUntil = std::min(deadline, Clock::now() + kSettleGap + link.extraDelay());
        else
            waitUntil = deadline;
    }
}

namespace {

// A read must follow find and select: to read again, the card is found and
// selected again first.
constexpr Command kBeforeRead[] = {kFindCard, kSelectCard};

} // namespace

int transactRepeating(Link &link, Command command, std::span<const std::uint8_t> data,
                      Response &out, std::uint32_t baud, unsigned *retries) {
    const int first = transact(link, command, data, out, commandTimeout(command, baud));
    if (first != KAV_E_BAD_FRAME || !repeatable(command))
        return first;
    trace::line(link.name() + ": " + commandName(command.cmd, command.para) +
                ": the answer came broken; sending the command once more");
    if (retries != nullptr)
        ++*retries;
    if (readsCard(command)) {
        for (const Command before : kBeforeRead) {
            const int result = transact(link, before, {}, out, commandTimeout(before, baud));
            // A card that left, or a line that failed, ends the read there.
            if (result != KAV_OK || out.sw3 != successStatus(before))
                return result;
        }
    }
    return transact(link, command, data, out, commandTimeout(command, baud));
}

} // namespace kav::proto
