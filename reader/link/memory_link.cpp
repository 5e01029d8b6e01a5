#include "link/memory_link.h"

#include "KavIDCardAPI.h"

#include <algorithm>
#include <thread>

namespace kav {
namespace {

using std::chrono::microseconds;

// Paced bytes become readable in pieces this size, as from a UART's FIFO.
constexpr std::size_t kPaceChunk = 32;

microseconds byteTime(std::size_t bytes, std::uint32_t baud) {
    return proto::wireTimeUs(bytes, baud);
}

} // namespace

MemoryLink::MemoryLink(std::shared_ptr<Peer> reader, std::uint32_t baud, std::string name)
    : reader_(std::move(reader)), baud_(baud), name_(std::move(name)) {}

int MemoryLink::write(std::span<const std::uint8_t> bytes) {
    if (broken_ || !reader_)
        return KAV_E_IO;
    const bool paced = reader_->pacesWire();
    Clock::time_point t = Clock::now();
    if (paced)
        t += byteTime(bytes.size(), baud_); // the command's own wire time
    t = std::max(t, busyUntil_);
    for (PeerReply &reply : reader_->receive(bytes, baud_)) {
        for (PeerReply::Segment &segment : reply.segments) {
            t += segment.delay;
            if (segment.bytes.empty())
                continue;
            if (!paced) {
                queue_.push_back({t, std::move(segment.bytes), reply.baud, false});
                continue;
            }
            for (std::size_t i = 0; i < segment.bytes.size(); i += kPaceChunk) {
                const std::size_t n = std::min(kPaceChunk, segment.bytes.size() - i);
                t += byteTime(n, reply.baud);
                queue_.push_back({t,
                                  std::vector<std::uint8_t>(
                                      segment.bytes.begin() + static_cast<std::ptrdiff_t>(i),
                                      segment.bytes.begin() + static_cast<std::ptrdiff_t>(i + n)),
                                  reply.baud, false});
            }
        }
        if (reply.disconnect)
            queue_.push_back({t, {}, reply.baud, true});
    }
    busyUntil_ = t;
    return KAV_OK;
}

int MemoryLink::read(std::vector<std::uint8_t> &out, Clock::time_point deadline) {
    if (broken_)
        return KAV_E_IO;
    for (;;) {
        if (queue_.empty() || queue_.front().at > deadline) {
            std::this_thread::sleep_until(deadline);
            return KAV_E_TIMEOUT;
        }
        std::this_thread::sleep_until(queue_.front().at);
        const Clock::time_point now = Clock::now();
        bool got = false;
        while (!queue_.empty() && queue_.front().at <= now) {
            Arrival &a = queue_.front();
            if (a.disconnect) {
                if (got)
                    return KAV_OK; // deliver what came first; the failure is next
                broken_ = true;
                queue_.clear();
                return KAV_E_IO;
            }
            // Sent at a rate the host is not listening at: framing errors,
            // nothing the host could use.
            if (a.baud == baud_) {
                out.insert(out.end(), a.bytes.begin(), a.bytes.end());
                got = got || !a.bytes.empty();
            }
            queue_.pop_front();
        }
        if (got)
            return KAV_OK;
    }
}

int MemoryLink::setBaudRate(std::uint32_t baud) {
    if (baud == 0)
        return KAV_E_BAD_ARGUMENT;
    if (broken_)
        return KAV_E_IO;
    baud_ = baud;
    return KAV_OK;
}

void MemoryLink::discardInput() {
    // Only what has arrived: an answer still on its way (a delayed one)
    // arrives later, as it would on a wire.
    const Clock::time_point now = Clock::now();
    while (!queue_.empty() && queue_.front().at <= now && !queue_.front().disconnect)
        queue_.pop_front();
}

bool MemoryLink::settle(Clock::time_point deadline) {
    if (queue_.empty())
        return true;
    const Clock::time_point last = queue_.back().at;
    if (last > deadline)
        return false;
    std::this_thread::sleep_until(last);
    return true;
}

} // namespace kav
