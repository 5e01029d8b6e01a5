// A model of one reader: its SAM (ID, status, baud rate, max RF bytes) and
// an optional card, answering protocol frames as a reader would, with
// faults that can be injected and cleared at run time.
//
// Transport-neutral: receive() takes the bytes the host sent (and the rate
// they were sent at) and returns what the reader sends back, with the
// timing the transport must honour. The in-memory link and the pty server
// both deliver these replies. Thread-safe.
#pragma once

#include "link/peer.h"
#include "protocol/frame_parser.h"
#include "protocol/protocol.h"
#include "virtual/card_file.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kav::virt {

enum class Fault : std::size_t {
    NoCard,             // find card answers 0x80 (so select 0x81, read 0x41)
    SelfTestFailure,    // 0x60 to every command
    NotAuthorised,      // 0x66 to status, find, select and read
    ReadFailure,        // 0x41 to the read
    BadChecksum,        // the answer's CHK is wrong
    Truncated,          // only the first half of the answer is sent
    Noise,              // bytes that look like a frame's start come first
    Split,              // the answer comes in several pieces with gaps
    Delay,              // the answer comes after the delay (past any timeout)
    Disconnect,         // no answer; the link fails
    DisconnectMidFrame, // half the answer, then the link fails
};
inline constexpr std::size_t kFaultCount = 11;

struct FaultInfo {
    Fault fault;
    std::string_view name; // for the tool's --fault
    std::string_view help;
};
std::span<const FaultInfo> faultTable();
std::optional<Fault> faultFromName(std::string_view name);
std::string_view faultName(Fault fault);

// What the reader sends for one host frame.
using Reply = PeerReply;

class VirtualReader final : public Peer {
  public:
    // A fictional SAM ID.
    static constexpr std::array<std::uint8_t, proto::kSamIdSize> kDefaultSamId{
        0x05, 0x00, 0x01, 0x00, 0x6B, 0x3E, 0x32, 0x01,
        0x39, 0x30, 0x00, 0x00, 0xD2, 0x02, 0x96, 0x49};
    // Past the longest command timeout (the fingerprint read's) at the
    // slowest rate.
    static constexpr std::chrono::milliseconds kDefaultDelay{5000};
    // What the SAM starts with; the bench sets its own before a read.
    static constexpr std::uint8_t kDefaultMaxRf = 80;
    // Gap between the pieces of a split answer.
    static constexpr std::chrono::milliseconds kSplitGap{10};

    VirtualReader();                                  // holds the built-in card
    explicit VirtualReader(std::optional<Card> card); // nullopt: no card

    // Host bytes in, reader bytes out. Bytes sent at a rate other than the
    // SAM's are garbage to it: no reply. Several frames may come at once,
    // or one frame over several calls.
    std::vector<Reply> receive(std::span<const std::uint8_t> bytes, std::uint32_t baud) override;

    void insertCard(const Card &card);
    void removeCard();
    bool hasCard() const;

    // A fault hits every `every`-th frame it could affect, counted from
    // when it was set (1: each one). Several may be set at once.
    void setFault(Fault fault, unsigned every = 1);
    void clearFault(Fault fault);
    void clearFaults();
    bool faultSet(Fault fault) const;
    void setDelay(std::chrono::milliseconds delay);

    // How time passes on the line and in the SAM.
    enum class Pacing {
        Instant,     // answers come at once, for fast tests (the default)
        Wire,        // bytes move at the wire's speed; the SAM answers at once
        WireAndWork, // and the SAM takes realistic times (a card read depends
                     // on the max RF bytes setting)
    };
    void setPacing(Pacing pacing);
    Pacing pacing() const;
    // The transports move bytes at the wire's speed.
    bool pacesWire() const override { return pacing() != Pacing::Instant; }

    std::uint32_t baudRate() const;
    void setBaudRate(std::uint32_t baud); // as configured before power-on
    std::array<std::uint8_t, proto::kSamIdSize> samId() const;
    void setSamId(const std::array<std::uint8_t, proto::kSamIdSize> &id);
    std::uint8_t maxRfBytes() const;
    // Power loss: the rate goes back to 115200 (the SAM does not keep it),
    // the max RF setting to its default, the card to unselected.
    void powerCycle();

    // How many well-formed command frames with this CMD byte it received.
    unsigned received(std::uint8_t cmd) const;

    // How long the SAM takes to read `bytes` from a card (text and photo
    // unless given) at a max RF bytes setting.
    static std::chrono::microseconds
    cardReadTime(std::uint8_t maxRf, std::size_t bytes = proto::kTextSize + proto::kPhotoSize);

  private:
    struct FaultState {
        bool set = false;
        unsigned every = 1;
        unsigned seen = 0;
    };

    std::optional<Reply> respond(const proto::ParseEvent &event);
    Reply answerCommand(const proto::CommandFrame &command);
    Reply makeReply(std::uint8_t status, std::span<const std::uint8_t> data,
                    std::chrono::microseconds work, std::uint32_t baud);
    // Counts a frame the fault could affect; true when it hits this one.
    bool hits(Fault fault);

    mutable std::mutex mutex_;
    proto::FrameParser parser_{proto::FrameKind::Command};
    std::optional<Card> card_;
    bool found_ = false;
    bool selected_ = false;
    std::array<std::uint8_t, proto::kSamIdSize> samId_ = kDefaultSamId;
    std::uint32_t baud_ = proto::kDefaultBaud;
    std::uint8_t maxRf_ = kDefaultMaxRf;
    Pacing pacing_ = Pacing::Instant;
    std::chrono::milliseconds delay_ = kDefaultDelay;
    std::array<FaultState, kFaultCount> faults_{};
    std::array<unsigned, 256> received_{};
};

} // namespace kav::virt
