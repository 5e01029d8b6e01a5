#include "link/telnet.h"

namespace kav::telnet {

void Parser::push(Event event) {
    if (events_.size() >= kMaxEvents) {
        ++dropped_;
        return;
    }
    events_.push_back(std::move(event));
}

void Parser::feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t> &data) {
    for (const std::uint8_t b : bytes) {
        switch (state_) {
        case State::Data:
            if (b == kIac)
                state_ = State::Iac;
            else
                data.push_back(b);
            break;
        case State::Iac:
            if (b == kIac) { // a doubled 0xFF is one data byte
                data.push_back(b);
                state_ = State::Data;
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                command_ = b;
                state_ = State::Option;
            } else if (b == kSb) {
                sub_ = Event{};
                subHasOption_ = false;
                state_ = State::Sub;
            } else {
                // A command without an option (NOP, GA, an SE out of place):
                // nothing for a serial port.
                state_ = State::Data;
            }
            break;
        case State::Option: {
            Event e;
            e.kind = command_ == kWill   ? Event::Kind::Will
                     : command_ == kWont ? Event::Kind::Wont
                     : command_ == kDo   ? Event::Kind::Do
                                         : Event::Kind::Dont;
            e.option = b;
            push(std::move(e));
            state_ = State::Data;
            break;
        }
        case State::Sub:
            if (b == kIac) {
                state_ = State::SubIac;
            } else if (!subHasOption_) {
                sub_.option = b;
                subHasOption_ = true;
            } else if (sub_.payload.size() < kMaxPayload) {
                sub_.payload.push_back(b);
            } else {
                sub_.truncated = true;
            }
            break;
        case State::SubIac:
            if (b == kIac) { // a doubled 0xFF inside the subnegotiation
                if (!subHasOption_) {
                    sub_.option = b;
                    subHasOption_ = true;
                } else if (sub_.payload.size() < kMaxPayload) {
                    sub_.payload.push_back(b);
                } else {
                    sub_.truncated = true;
                }
                state_ = State::Sub;
            } else if (b == kSe) {
                if (subHasOption_)
                    push(std::move(sub_));
                sub_ = Event{};
                state_ = State::Data;
            } else {
                // IAC and anything else ends a broken subnegotiation: drop
                // it and read the byte as a command, so a server cannot
                // swallow the data stream by never sending SE.
                sub_ = Event{};
                state_ = State::Iac;
                const std::uint8_t again[] = {b};
                feed(again, data);
            }
            break;
        }
    }
}

std::vector<Event> Parser::takeEvents() {
    std::vector<Event> taken;
    taken.swap(events_);
    return taken;
}

std::vector<std::uint8_t> escape(std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out;
    out.reserve(data.size() + 8);
    for (const std::uint8_t b : data) {
        out.push_back(b);
        if (b == kIac)
            out.push_back(kIac);
    }
    return out;
}

std::vector<std::uint8_t> negotiation(std::uint8_t verb, std::uint8_t option) {
    return {kIac, verb, option};
}

std::vector<std::uint8_t> comPortCommand(std::uint8_t command,
                                         std::span<const std::uint8_t> value) {
    std::vector<std::uint8_t> out = {kIac, kSb, kComPort, command};
    const std::vector<std::uint8_t> escaped = escape(value);
    out.insert(out.end(), escaped.begin(), escaped.end());
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

std::vector<std::uint8_t> setBaudRate(std::uint32_t baud) {
    const std::uint8_t value[] = {
        static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
        static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
    return comPortCommand(kSetBaudRate, value);
}

std::optional<std::uint32_t> baudRateAnswer(const Event &event) {
    if (event.kind != Event::Kind::Sub || event.option != kComPort || event.truncated ||
        event.payload.size() != 5 || event.payload[0] != kSetBaudRate + kServerOffset)
        return std::nullopt;
    return static_cast<std::uint32_t>(event.payload[1]) << 24 |
           static_cast<std::uint32_t>(event.payload[2]) << 16 |
           static_cast<std::uint32_t>(event.payload[3]) << 8 | event.payload[4];
}

} // namespace kav::telnet
