#include "virtual/virtual_reader.h"

#include <algorithm>

namespace kav::virt {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr FaultInfo kFaults[] = {
    {Fault::NoCard, "no-card", "find card answers 0x80: no card in the field"},
    {Fault::SelfTestFailure, "sam-self-test",
     "the SAM answers 0x60 (self-test failed) to everything"},
    {Fault::NotAuthorised, "sam-not-authorised", "status, find, select and read answer 0x66"},
    {Fault::ReadFailure, "read-failure", "the card read answers 0x41"},
    {Fault::BadChecksum, "bad-checksum", "the answer's checksum byte is wrong"},
    {Fault::Truncated, "truncated", "only the first half of the answer is sent"},
    {Fault::Noise, "noise", "noise that looks like a frame's start comes before the answer"},
    {Fault::Split, "split", "the answer comes in several pieces with gaps"},
    {Fault::Delay, "delay", "the answer comes late, past the host's timeout"},
    {Fault::Disconnect, "disconnect", "no answer; the link goes away"},
    {Fault::DisconnectMidFrame, "disconnect-mid-frame", "half the answer, then the link goes away"},
};
static_assert(std::size(kFaults) == kFaultCount);

// Starts like frames to make a receiver resynchronise: a lone AA AA, a
// preamble that breaks off, a full preamble with an impossible length.
constexpr std::uint8_t kNoise[] = {0x00, 0xAA, 0xAA, 0x13, 0xAA, 0xAA, 0xAA, 0x96, 0x55,
                                   0xAA, 0xAA, 0xAA, 0x96, 0x69, 0xFF, 0xFF, 0x42};

// The SAM's own time per command when it takes realistic times. A reset reruns its self-test.
microseconds workTime(const proto::CommandInfo *info, std::uint8_t maxRf) {
    if (info == nullptr)
        return milliseconds{2};
    if (info->command == proto::kReadCard)
        return VirtualReader::cardReadTime(maxRf);
    if (info->command == proto::kReadFingerprint)
        return VirtualReader::cardReadTime(maxRf, proto::kTextSize + proto::kPhotoSize +
                                                      proto::kFingerprintMaxSize);
    if (info->command == proto::kReadAddress)
        return VirtualReader::cardReadTime(maxRf, proto::kAddressSize);
    if (info->command == proto::kResetSam)
        return milliseconds{100};
    if (info->command == proto::kFindCard)
        return milliseconds{20};
    if (info->command == proto::kSelectCard)
        return milliseconds{10};
    return milliseconds{2};
}

} // namespace

std::span<const FaultInfo> faultTable() {
    return kFaults;
}

std::optional<Fault> faultFromName(std::string_view name) {
    for (const FaultInfo &f : kFaults) {
        if (f.name == name)
            return f.fault;
    }
    return std::nullopt;
}

std::string_view faultName(Fault fault) {
    for (const FaultInfo &f : kFaults) {
        if (f.fault == fault)
            return f.name;
    }
    return "unknown";
}

VirtualReader::VirtualReader() : card_(defaultCard()) {}

VirtualReader::VirtualReader(std::optional<Card> card) : card_(std::move(card)) {}

microseconds VirtualReader::cardReadTime(std::uint8_t maxRf, std::size_t bytes) {
    // Authentication with the card, then the bytes (1280 of text and photo
    // for a read) in radio exchanges of at most maxRf bytes, each with a
    // fixed turn-around plus the bytes at 106 kbit/s. About a second for a
    // read at the smallest setting.
    const unsigned perExchange = std::max<unsigned>(maxRf, proto::kMinMaxRf);
    const auto exchanges = static_cast<unsigned>((bytes + perExchange - 1) / perExchange);
    const auto exchangeTime =
        microseconds{12000} + microseconds{perExchange * 8 * 1000000 / 106000};
    return microseconds{250000} + exchanges * exchangeTime;
}

std::vector<Reply> VirtualReader::receive(std::span<const std::uint8_t> bytes, std::uint32_t baud) {
    std::lock_guard lock(mutex_);
    std::vector<Reply> replies;
    if (baud != baud_) {
        // Framing errors at the SAM's UART: whatever it held is spoilt too.
        parser_.reset();
        return replies;
    }
    std::optional<proto::ParseEvent> event;
    for (;;) {
        bytes = bytes.subspan(parser_.feed(bytes, event));
        if (!event)
            break;
        if (std::optional<Reply> reply = respond(*event))
            replies.push_back(std::move(*reply));
    }
    return replies;
}

std::optional<Reply> VirtualReader::respond(const proto::ParseEvent &event) {
    const microseconds quick = pacing_ == Pacing::WireAndWork ? milliseconds{2} : microseconds{0};
    switch (event.type) {
    case proto::ParseEvent::Type::Noise:
        return std::nullopt; // the SAM ignores what is not a frame
    case proto::ParseEvent::Type::BadChecksum:
        return makeReply(proto::kChecksumError, {}, quick, baud_);
    case proto::ParseEvent::Type::BadLength:
        return makeReply(proto::kLengthError, {}, quick, baud_);
    case proto::ParseEvent::Type::Frame:
        break;
    }
    const std::optional<proto::CommandFrame> command = proto::decodeCommand(event.bytes);
    if (!command)
        return makeReply(proto::kChecksumError, {}, quick, baud_);
    return answerCommand(*command);
}

Reply VirtualReader::answerCommand(const proto::CommandFrame &command) {
    using namespace proto;
    const CommandInfo *info = findCommand(command.cmd, command.para);
    const microseconds work =
        pacing_ == Pacing::WireAndWork ? workTime(info, maxRf_) : microseconds{0};
    const std::uint32_t rateNow = baud_;
    auto status = [&](std::uint8_t code) { return makeReply(code, {}, work, rateNow); };
    ++received_[command.cmd];

    if (hits(Fault::SelfTestFailure))
        return status(kSelfTestFailed);
    if (info == nullptr)
        return status(kCommandError);
    if (command.data.size() != info->dataSize)
        return status(kLengthError);

    const Command c = info->command;
    const bool needsAuthorisation =
        c == kSamStatus || c == kFindCard || c == kSelectCard || readsCard(c);
    if (needsAuthorisation && hits(Fault::NotAuthorised))
        return status(kNotAuthorised);

    if (c == kResetSam) {
        found_ = selected_ = false;
        return status(kSuccess);
    }
    if (c == kSamStatus)
        return status(kSuccess);
    if (c == kSamId)
        return makeReply(kSuccess, samId_, work, rateNow);
    if (c == kFindCard) {
        found_ = selected_ = false;
        if (!card_ || hits(Fault::NoCard))
            return status(kFindFailed);
        found_ = true;
        const std::array<std::uint8_t, kFindDataSize> zeros{};
        return makeReply(kFindSuccess, zeros, work, rateNow);
    }
    if (c == kSelectCard) {
        if (!card_ || !found_)
            return status(kSelectFailed);
        selected_ = true;
        const std::array<std::uint8_t, kSelectDataSize> zeros{};
        return makeReply(kSuccess, zeros, work, rateNow);
    }
    if (readsCard(c)) {
        // Find and select must precede every read. Reading without them
        // fails the way a read of an absent card does: 0x41.
        const bool ready = card_ && selected_;
        found_ = selected_ = false;
        if (!ready || hits(Fault::ReadFailure))
            return status(kReadFailed);
        if (c == kReadFingerprint)
            return makeReply(
                kSuccess,
                encodeFingerprintReadAnswer(card_->text, card_->photo, card_->fingerprint), work,
                rateNow);
        if (c == kReadAddress) {
            if (card_->addresses.empty())
                return status(kNoContent);
            return makeReply(kSuccess, card_->addresses.back(), work, rateNow);
        }
        return makeReply(kSuccess, encodeReadAnswer(card_->text, card_->photo), work, rateNow);
    }
    if (c.cmd == kSetBaudCmd) {
        const std::optional<std::uint32_t> rate = baudFromCode(command.para);
        if (!rate)
            return status(kCommandError);
        // The answer goes out at the old rate; then the SAM switches.
        Reply reply = status(kSuccess);
        baud_ = *rate;
        return reply;
    }
    if (c == kSetMaxRf) {
        if (command.data[0] < kMinMaxRf)
            return status(kCommandError);
        maxRf_ = command.data[0];
        return status(kSuccess);
    }
    return status(kCommandError);
}

Reply VirtualReader::makeReply(std::uint8_t status, std::span<const std::uint8_t> data,
                               microseconds work, std::uint32_t baud) {
    Reply reply;
    reply.baud = baud;
    std::vector<std::uint8_t> bytes = proto::encodeResponse(0, 0, status, data);

    // Frame faults, each counted on every answer the reader sends.
    if (hits(Fault::BadChecksum))
        bytes.back() ^= 0xFF;
    if (hits(Fault::Truncated))
        bytes.resize(bytes.size() / 2);
    const bool disconnectMidFrame = hits(Fault::DisconnectMidFrame);
    if (disconnectMidFrame)
        bytes.resize(bytes.size() / 2);
    if (hits(Fault::Noise))
        bytes.insert(bytes.begin(), std::begin(kNoise), std::end(kNoise));
    microseconds delay = work;
    if (hits(Fault::Delay))
        delay += delay_;
    const bool disconnect = hits(Fault::Disconnect);

    if (disconnect) {
        reply.segments.push_back({delay, {}});
        reply.disconnect = true;
        return reply;
    }
    if (hits(Fault::Split) && bytes.size() > 8) {
        // Cut inside the preamble, inside the length, in the middle and
        // just before the checksum.
        const std::size_t cuts[] = {2, 6, bytes.size() / 2, bytes.size() - 1};
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            if (cut <= from)
                continue;
            reply.segments.push_back(
                {from == 0 ? delay : microseconds{kSplitGap},
                 std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                           bytes.begin() + static_cast<std::ptrdiff_t>(cut))});
            from = cut;
        }
        reply.segments.push_back(
            {kSplitGap, std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                                  bytes.end())});
    } else {
        reply.segments.push_back({delay, std::move(bytes)});
    }
    reply.disconnect = disconnectMidFrame;
    return reply;
}

bool VirtualReader::hits(Fault fault) {
    FaultState &f = faults_[static_cast<std::size_t>(fault)];
    if (!f.set)
        return false;
    ++f.seen;
    return f.seen % f.every == 0;
}

void VirtualReader::insertCard(const Card &card) {
    std::lock_guard lock(mutex_);
    card_ = card;
    found_ = selected_ = false;
}

void VirtualReader::removeCard() {
    std::lock_guard lock(mutex_);
    card_.reset();
    found_ = selected_ = false;
}

bool VirtualReader::hasCard() const {
    std::lock_guard lock(mutex_);
    return card_.has_value();
}

void VirtualReader::setFault(Fault fault, unsigned every) {
    std::lock_guard lock(mutex_);
    faults_[static_cast<std::size_t>(fault)] = FaultState{true, std::max(every, 1u), 0};
}

void VirtualReader::clearFault(Fault fault) {
    std::lock_guard lock(mutex_);
    faults_[static_cast<std::size_t>(fault)] = FaultState{};
}

void VirtualReader::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.fill(FaultState{});
}

bool VirtualReader::faultSet(Fault fault) const {
    std::lock_guard lock(mutex_);
    return faults_[static_cast<std::size_t>(fault)].set;
}

void VirtualReader::setDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    delay_ = delay;
}

void VirtualReader::setPacing(Pacing pacing) {
    std::lock_guard lock(mutex_);
    pacing_ = pacing;
}

VirtualReader::Pacing VirtualReader::pacing() const {
    std::lock_guard lock(mutex_);
    return pacing_;
}

std::uint32_t VirtualReader::baudRate() const {
    std::lock_guard lock(mutex_);
    return baud_;
}

void VirtualReader::setBaudRate(std::uint32_t baud) {
    std::lock_guard lock(mutex_);
    baud_ = baud;
    parser_.reset();
}

std::array<std::uint8_t, proto::kSamIdSize> VirtualReader::samId() const {
    std::lock_guard lock(mutex_);
    return samId_;
}

void VirtualReader::setSamId(const std::array<std::uint8_t, proto::kSamIdSize> &id) {
    std::lock_guard lock(mutex_);
    samId_ = id;
}

std::uint8_t VirtualReader::maxRfBytes() const {
    std::lock_guard lock(mutex_);
    return maxRf_;
}

unsigned VirtualReader::received(std::uint8_t cmd) const {
    std::lock_guard lock(mutex_);
    return received_[cmd];
}

void VirtualReader::powerCycle() {
    std::lock_guard lock(mutex_);
    baud_ = proto::kDefaultBaud;
    maxRf_ = kDefaultMaxRf;
    found_ = selected_ = false;
    parser_.reset();
}

} // namespace kav::virt
