#include "protocol/protocol.h"
#include "result_codes.h"

#include <algorithm>
#include <cstdio>

namespace kav::proto {
namespace {

using std::chrono::milliseconds;

// The SAM's own time per command. A card read needs the radio exchanges
// with the card and takes up to about a second; SAM-only commands answer
// in milliseconds. A reset lets the SAM run its self-test again.
constexpr CommandInfo kCommands[] = {
    // A reset and a rate change act on the SAM: a second one is never sent
    // blindly (the SAM may already have acted on the first).
    {kResetSam, false, "reset SAM", 0, 0, milliseconds{800}, false},
    {kSamStatus, false, "SAM status", 0, 0, milliseconds{100}, true},
    {kSamId, false, "SAM ID", 0, kSamIdSize, milliseconds{100}, true},
    {kFindCard, false, "find card", 0, kFindDataSize, milliseconds{300}, true},
    {kSelectCard, false, "select card", 0, kSelectDataSize, milliseconds{300}, true},
    {kReadCard, false, "read text and photo", 0, kReadDataSize, milliseconds{1500}, true},
    // 1024 more bytes over the radio than the read above.
    {kReadFingerprint, false, "read text, photo and fingerprint", 0, kFingerprintReadMaxDataSize,
     milliseconds{2000}, true},
    {kReadAddress, false, "read appended address", 0, kAddressSize, milliseconds{500}, true},
    {setBaudCommand(0), true, "set baud", 0, 0, milliseconds{100}, false},
    {kSetMaxRf, false, "set max RF bytes", 1, 0, milliseconds{100}, true},
};

std::string hexByte(std::uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

void appendFrameHeader(std::vector<std::uint8_t> &out, std::size_t length) {
    out.insert(out.end(), kPreamble.begin(), kPreamble.end());
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length & 0xFF));
}

void appendChecksum(std::vector<std::uint8_t> &out) {
    out.push_back(checksum(std::span(out).subspan(kPreambleSize)));
}

// Preamble, length consistent with the size, checksum: the frame's own
// integrity, independent of who parsed it.
bool wellFormed(std::span<const std::uint8_t> frame, std::size_t minLength) {
    if (frame.size() < kHeaderSize + minLength)
        return false;
    if (!std::equal(kPreamble.begin(), kPreamble.end(), frame.begin()))
        return false;
    const std::size_t length = (std::size_t{frame[5]} << 8) | frame[6];
    if (frame.size() != kHeaderSize + length)
        return false;
    return checksum(frame.subspan(kPreambleSize, frame.size() - kPreambleSize - 1)) == frame.back();
}

} // namespace

std::span<const CommandInfo> commandTable() {
    return kCommands;
}

const CommandInfo *findCommand(std::uint8_t cmd, std::uint8_t para) {
    for (const CommandInfo &info : kCommands) {
        if (info.command.cmd == cmd && (info.anyPara || info.command.para == para))
            return &info;
    }
    return nullptr;
}

std::string commandName(std::uint8_t cmd, std::uint8_t para) {
    const CommandInfo *info = findCommand(cmd, para);
    if (info == nullptr)
        return "command " + hexByte(cmd) + " " + hexByte(para);
    std::string name(info->name);
    if (cmd == kSetBaudCmd) {
        if (auto baud = baudFromCode(para))
            name += " " + std::to_string(*baud);
        else
            name += " (rate code " + hexByte(para) + ")";
    }
    return name;
}

std::string_view statusText(std::uint8_t status) {
    return results::statusText(status);
}

std::string describeStatus(std::uint8_t status) {
    return "status " + hexByte(status) + " " + std::string(statusText(status));
}

std::optional<std::uint8_t> baudCode(std::uint32_t baud) {
    for (const BaudRate &rate : kBaudRates) {
        if (rate.baud == baud)
            return rate.code;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> baudFromCode(std::uint8_t code) {
    for (const BaudRate &rate : kBaudRates) {
        if (rate.code == code)
            return rate.baud;
    }
    return std::nullopt;
}

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes)
        x ^= b;
    return x;
}

std::vector<std::uint8_t> encodeCommand(std::uint8_t cmd, std::uint8_t para,
                                        std::span<const std::uint8_t> data) {
    if (data.size() > kMaxCommandData)
        return {};
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderSize + kMinCommandLength + data.size());
    appendFrameHeader(out, kMinCommandLength + data.size());
    out.push_back(cmd);
    out.push_back(para);
    out.insert(out.end(), data.begin(), data.end());
    appendChecksum(out);
    return out;
}

std::vector<std::uint8_t> encodeCommand(Command command, std::span<const std::uint8_t> data) {
    return encodeCommand(command.cmd, command.para, data);
}

std::vector<std::uint8_t> encodeResponse(std::uint8_t sw1, std::uint8_t sw2, std::uint8_t sw3,
                                         std::span<const std::uint8_t> data) {
    if (data.size() > kMaxResponseData)
        return {};
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderSize + kMinResponseLength + data.size());
    appendFrameHeader(out, kMinResponseLength + data.size());
    out.push_back(sw1);
    out.push_back(sw2);
    out.push_back(sw3);
    out.insert(out.end(), data.begin(), data.end());
    appendChecksum(out);
    return out;
}

std::optional<Response> decodeResponse(std::span<const std::uint8_t> frame) {
    if (!wellFormed(frame, kMinResponseLength))
        return std::nullopt;
    Response r;
    r.sw1 = frame[7];
    r.sw2 = frame[8];
    r.sw3 = frame[9];
    r.data.assign(frame.begin() + 10, frame.end() - 1);
    return r;
}

std::optional<CommandFrame> decodeCommand(std::span<const std::uint8_t> frame) {
    if (!wellFormed(frame, kMinCommandLength))
        return std::nullopt;
    CommandFrame c;
    c.cmd = frame[7];
    c.para = frame[8];
    c.data.assign(frame.begin() + 9, frame.end() - 1);
    return c;
}

std::string describeResponse(const Response &response) {
    std::string text = describeStatus(response.sw3);
    if (response.sw1 != 0 || response.sw2 != 0)
        text += ", card SW1 SW2 " + hexByte(response.sw1) + " " + hexByte(response.sw2);
    if (!response.data.empty())
        text += ", " + std::to_string(response.data.size()) + " data bytes";
    return text;
}

std::chrono::microseconds wireTimeUs(std::size_t bytes, std::uint32_t baud) {
    if (baud == 0)
        return std::chrono::microseconds{0};
    const std::uint64_t bits = std::uint64_t{bytes} * kBitsPerByte;
    return std::chrono::microseconds{bits * 1'000'000 / baud};
}

milliseconds wireTime(std::size_t bytes, std::uint32_t baud) {
    if (baud == 0)
        return milliseconds{0};
    const std::uint64_t bits = std::uint64_t{bytes} * kBitsPerByte;
    return milliseconds{(bits * 1000 + baud - 1) / baud};
}

bool repeatable(Command command) {
    const CommandInfo *info = findCommand(command.cmd, command.para);
    return info != nullptr && info->repeatable;
}

std::uint8_t successStatus(Command command) {
    return command == kFindCard ? kFindSuccess : kSuccess;
}

bool answers(Command command, const Response &response) {
    const CommandInfo *info = findCommand(command.cmd, command.para);
    if (info == nullptr)
        return true;
    // Another command's success status is no answer to this one.
    if (response.sw3 != successStatus(command))
        return response.data.empty() && response.sw3 != kSuccess && response.sw3 != kFindSuccess;
    if (command == kReadFingerprint) // its size depends on the card
        return decodeFingerprintReadAnswer(response.data).has_value();
    if (response.data.size() != info->answerDataSize)
        return false;
    return command != kReadCard || decodeReadAnswer(response.data).has_value();
}

namespace {

std::size_t bigEndian16(std::span<const std::uint8_t> data, std::size_t at) {
    return std::size_t{data[at]} << 8 | data[at + 1];
}

void putBigEndian16(std::vector<std::uint8_t> &out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

} // namespace

std::optional<FingerprintReadAnswer>
decodeFingerprintReadAnswer(std::span<const std::uint8_t> data) {
    if (data.size() < kFingerprintReadHeader)
        return std::nullopt;
    const std::size_t fingerprintSize = bigEndian16(data, 4);
    if (bigEndian16(data, 0) != kTextSize || bigEndian16(data, 2) != kPhotoSize ||
        std::find(std::begin(kFingerprintSizes), std::end(kFingerprintSizes), fingerprintSize) ==
            std::end(kFingerprintSizes) ||
        data.size() != kFingerprintReadHeader + kTextSize + kPhotoSize + fingerprintSize)
        return std::nullopt;
    const std::span<const std::uint8_t> blocks = data.subspan(kFingerprintReadHeader);
    return FingerprintReadAnswer{blocks.first(kTextSize), blocks.subspan(kTextSize, kPhotoSize),
                                 blocks.subspan(kTextSize + kPhotoSize)};
}

std::vector<std::uint8_t> encodeFingerprintReadAnswer(std::span<const std::uint8_t> text,
                                                      std::span<const std::uint8_t> photo,
                                                      std::span<const std::uint8_t> fingerprint) {
    const bool validSize = std::find(std::begin(kFingerprintSizes), std::end(kFingerprintSizes),
                                     fingerprint.size()) != std::end(kFingerprintSizes);
    const std::span<const std::uint8_t> sent = validSize ? fingerprint : fingerprint.first(0);
    std::vector<std::uint8_t> data;
    data.reserve(kFingerprintReadMaxDataSize);
    putBigEndian16(data, kTextSize);
    putBigEndian16(data, kPhotoSize);
    putBigEndian16(data, sent.size());
    const std::size_t blocks = data.size();
    data.resize(blocks + kTextSize + kPhotoSize, 0);
    std::copy_n(text.begin(), std::min(text.size(), kTextSize), data.begin() + blocks);
    std::copy_n(photo.begin(), std::min(photo.size(), kPhotoSize),
                data.begin() + blocks + kTextSize);
    data.insert(data.end(), sent.begin(), sent.end());
    return data;
}

std::optional<ReadAnswer> decodeReadAnswer(std::span<const std::uint8_t> data) {
    if (data.size() != kReadDataSize)
        return std::nullopt;
    const std::size_t textSize = std::size_t{data[0]} << 8 | data[1];
    const std::size_t photoSize = std::size_t{data[2]} << 8 | data[3];
    if (textSize != kTextSize || photoSize != kPhotoSize)
        return std::nullopt;
    return ReadAnswer{data.subspan(4, kTextSize), data.subspan(4 + kTextSize, kPhotoSize)};
}

std::vector<std::uint8_t> encodeReadAnswer(std::span<const std::uint8_t> text,
                                           std::span<const std::uint8_t> photo) {
    std::vector<std::uint8_t> data{
        static_cast<std::uint8_t>(kTextSize >> 8), static_cast<std::uint8_t>(kTextSize & 0xFF),
        static_cast<std::uint8_t>(kPhotoSize >> 8), static_cast<std::uint8_t>(kPhotoSize & 0xFF)};
    data.resize(kReadDataSize, 0);
    std::copy_n(text.begin(), std::min(text.size(), kTextSize), data.begin() + 4);
    std::copy_n(photo.begin(), std::min(photo.size(), kPhotoSize), data.begin() + 4 + kTextSize);
    return data;
}

milliseconds commandTimeout(Command command, std::uint32_t baud) {
    const CommandInfo *info = findCommand(command.cmd, command.para);
    milliseconds work{0};
    std::size_t commandBytes = kHeaderSize + kMinCommandLength;
    std::size_t answerBytes = kHeaderSize + kMinResponseLength;
    if (info != nullptr) {
        work = info->work;
        commandBytes += info->dataSize;
        answerBytes += info->answerDataSize;
    } else {
        for (const CommandInfo &row : kCommands) {
            work = std::max(work, row.work);
            answerBytes =
                std::max(answerBytes, kHeaderSize + kMinResponseLength + row.answerDataSize);
        }
    }
    const auto total = work + wireTime(commandBytes + answerBytes, baud) + kTimeoutSlack;
    return milliseconds{
        static_cast<milliseconds::rep>(static_cast<double>(total.count()) * kTimeoutScale + 0.5)};
}

std::optional<std::array<std::uint8_t, kSamIdSize>> samIdFromText(std::string_view text) {
    std::vector<std::string_view> groups;
    for (std::size_t start = 0;;) {
        const std::size_t dash = text.find('-', start);
        groups.push_back(text.substr(start, dash == std::string_view::npos ? dash : dash - start));
        if (dash == std::string_view::npos)
            break;
        start = dash + 1;
    }
    if (groups.size() != 5)
        return std::nullopt;
    std::array<std::uint8_t, kSamIdSize> id{};
    const auto hexDigit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    // Each of the first two groups prints two bytes as one hex digit each,
    // the second byte first.
    for (int g = 0; g < 2; ++g) {
        if (groups[g].size() != 2)
            return std::nullopt;
        const int high = hexDigit(groups[g][0]);
        const int low = hexDigit(groups[g][1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        id[2 * g] = static_cast<std::uint8_t>(low);
        id[2 * g + 1] = static_cast<std::uint8_t>(high);
    }
    for (int g = 2; g < 5; ++g) {
        const std::string_view digits = groups[g];
        if (digits.empty() || digits.size() > 10)
            return std::nullopt;
        std::uint64_t value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
        for (int b = 0; b < 4; ++b)
            id[4 * (g - 1) + b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
    return id;
}

} // namespace kav::proto
