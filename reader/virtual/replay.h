// A reader that answers as a recorded one did: each command the host sends
// is matched to a recorded exchange with the same command bytes, and the
// recorded answer goes back as it came, broken bytes, pieces, gaps and
// delay included. Transport-neutral like the virtual reader: the pty
// server and the in-memory link deliver its replies. Thread-safe.
#pragma once

#include "link/peer.h"
#include "protocol/frame_parser.h"
#include "protocol/protocol.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kav::virt {

// One recorded command and what the reader sent after it, until the next
// command on the same line.
struct Exchange {
    struct Piece {
        std::chrono::microseconds after; // since the command, or the previous piece
        std::vector<std::uint8_t> bytes;
    };
    std::vector<std::uint8_t> command;
    std::vector<Piece> answer;
    bool disconnect = false; // the line failed after the answer's pieces
};

struct ReplayScript {
    std::vector<Exchange> exchanges;
    std::uint32_t baud = proto::kDefaultBaud; // the recorded line's rate
};

class ReplayReader final : public Peer {
  public:
    enum class Match {
        Order,   // the next exchange in the recording, and only that one
        Content, // the next unused exchange with the same command bytes
    };
    // What a command without a match was, for the caller to report.
    struct Miss {
        std::vector<std::uint8_t> expected; // empty when the recording ran out
        std::vector<std::uint8_t> received;
    };

    explicit ReplayReader(ReplayScript script, Match match = Match::Order, double speed = 1.0);

    std::vector<PeerReply> receive(std::span<const std::uint8_t> bytes,
                                   std::uint32_t baud) override;
    // The recorded delays hold the wire's time already.
    bool pacesWire() const override { return false; }

    // Called (under the reader's lock: never call back into it) for each
    // command that had no match.
    void setMissHandler(std::function<void(const Miss &)> handler);

    std::size_t answered() const;
    std::size_t missed() const;
    // Every recorded exchange has been answered.
    bool finished() const;
    std::uint32_t baudRate() const { return baud_; }

  private:
    std::optional<std::size_t> take(std::span<const std::uint8_t> command);
    PeerReply replyFor(const Exchange &exchange) const;

    mutable std::mutex mutex_;
    ReplayScript script_;
    Match match_;
    double speed_;
    std::uint32_t baud_;
    proto::FrameParser parser_{proto::FrameKind::Command};
    std::size_t next_ = 0;                                        // Match::Order
    std::vector<bool> used_;                                      // Match::Content
    std::map<std::vector<std::uint8_t>, std::size_t> searchFrom_; // Match::Content
    std::size_t answered_ = 0;
    std::size_t missed_ = 0;
    std::function<void(const Miss &)> onMiss_;
};

// "--match" and "--speed" as the tool takes them; nullopt when not one.
std::optional<ReplayReader::Match> matchFromName(const std::string &name);
std::optional<double> speedFromText(const std::string &text);

} // namespace kav::virt
