#include "virtual/replay.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kav::virt {

ReplayReader::ReplayReader(ReplayScript script, Match match, double speed)
    : script_(std::move(script)), match_(match), speed_(speed), baud_(script_.baud),
      used_(script_.exchanges.size(), false) {}

void ReplayReader::setMissHandler(std::function<void(const Miss &)> handler) {
    std::lock_guard lock(mutex_);
    onMiss_ = std::move(handler);
}

std::size_t ReplayReader::answered() const {
    std::lock_guard lock(mutex_);
    return answered_;
}

std::size_t ReplayReader::missed() const {
    std::lock_guard lock(mutex_);
    return missed_;
}

bool ReplayReader::finished() const {
    std::lock_guard lock(mutex_);
    return answered_ == script_.exchanges.size();
}

std::optional<std::size_t> ReplayReader::take(std::span<const std::uint8_t> command) {
    const auto same = [&](const Exchange &e) { return std::ranges::equal(e.command, command); };
    const std::vector<Exchange> &all = script_.exchanges;
    if (match_ == Match::Order) {
        if (next_ < all.size() && same(all[next_]))
            return next_++;
        return std::nullopt;
    }
    const std::vector<std::uint8_t> key(command.begin(), command.end());
    std::size_t &from = searchFrom_[key];
    for (std::size_t i = from; i < all.size(); ++i) {
        if (!used_[i] && same(all[i])) {
            used_[i] = true;
            from = i + 1;
            return i;
        }
    }
    from = all.size();
    return std::nullopt;
}

PeerReply ReplayReader::replyFor(const Exchange &exchange) const {
    PeerReply reply;
    reply.baud = baud_;
    for (const Exchange::Piece &piece : exchange.answer) {
        std::chrono::microseconds after{0};
        if (speed_ > 0)
            after = std::chrono::microseconds{
                std::llround(static_cast<double>(piece.after.count()) / speed_)};
        reply.segments.push_back({after, piece.bytes});
    }
    reply.disconnect = exchange.disconnect;
    return reply;
}

std::vector<PeerReply> ReplayReader::receive(std::span<const std::uint8_t> bytes, std::uint32_t) {
    // The rate the host sent at does not matter: what it sent at a rate the
    // recorded reader could not hear went unanswered there, and is
    // unanswered here because the recording says so.
    std::lock_guard lock(mutex_);
    std::vector<PeerReply> replies;
    for (const proto::ParseEvent &event : parser_.feedAll(bytes)) {
        // A command with a bad checksum is still the host's command: the
        // recording says how the reader met it.
        if (event.type != proto::ParseEvent::Type::Frame &&
            event.type != proto::ParseEvent::Type::BadChecksum)
            continue;
        if (const std::optional<std::size_t> i = take(event.bytes)) {
            ++answered_;
            replies.push_back(replyFor(script_.exchanges[*i]));
            continue;
        }
        ++missed_;
        if (!onMiss_)
            continue;
        Miss miss{{}, event.bytes};
        if (match_ == Match::Order && next_ < script_.exchanges.size())
            miss.expected = script_.exchanges[next_].command;
        onMiss_(miss);
    }
    return replies;
}

std::optional<ReplayReader::Match> matchFromName(const std::string &name) {
    if (name == "order")
        return ReplayReader::Match::Order;
    if (name == "content")
        return ReplayReader::Match::Content;
    return std::nullopt;
}

std::optional<double> speedFromText(const std::string &text) {
    double value = 0;
    const char *end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || at != end || !std::isfinite(value) || value < 0 ||
        value > 1e6)
        return std::nullopt;
    return value;
}

} // namespace kav::virt
