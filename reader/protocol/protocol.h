// The reader's SAM serial protocol: frame layout, the command and status
// tables, the baud-rate codes, frame encoding and the per-command timeouts.
// No Qt: the fuzzers and the virtual reader use this layer alone.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kav::proto {

// ---- Frame layout ------------------------------------------------------

inline constexpr std::array<std::uint8_t, 5> kPreamble{0xAA, 0xAA, 0xAA, 0x96, 0x69};
inline constexpr std::size_t kPreambleSize = kPreamble.size();
inline constexpr std::size_t kHeaderSize = kPreambleSize + 2; // preamble + big-endian length

// The length field counts everything after itself: CMD PARA DATA CHK for a
// command, SW1 SW2 SW3 DATA CHK for a response.
inline constexpr std::size_t kMinCommandLength = 3;
inline constexpr std::size_t kMinResponseLength = 4;
// Upper bounds a receiver accepts before it buffers a frame. The largest
// answer the SAM gives (text + photo + fingerprint) is about 2.3 kB; no
// command carries more than one data byte, but unknown ones may carry some.
inline constexpr std::size_t kMaxResponseLength = 4096;
inline constexpr std::size_t kMaxCommandLength = 260;
// What the length field itself can express once the fixed bytes are counted.
inline constexpr std::size_t kMaxCommandData = 0xFFFF - kMinCommandLength;
inline constexpr std::size_t kMaxResponseData = 0xFFFF - kMinResponseLength;

// ---- Commands ----------------------------------------------------------

struct Command {
    std::uint8_t cmd = 0;
    std::uint8_t para = 0;
    friend constexpr bool operator==(Command, Command) = default;
};

inline constexpr Command kResetSam{0x10, 0xFF};
inline constexpr Command kSamStatus{0x11, 0xFF};
inline constexpr Command kSamId{0x12, 0xFF};
inline constexpr Command kFindCard{0x20, 0x01};
inline constexpr Command kSelectCard{0x20, 0x02};
inline constexpr Command kReadCard{0x30, 0x01};        // text + photo
inline constexpr Command kReadFingerprint{0x30, 0x10}; // text + photo + fingerprint
inline constexpr Command kReadAddress{0x30, 0x03};     // the latest appended address
inline constexpr std::uint8_t kSetBaudCmd = 0x60;      // PARA is the rate code
inline constexpr Command kSetMaxRf{0x61, 0xFF};        // one data byte: the count

constexpr Command setBaudCommand(std::uint8_t rateCode) {
    return {kSetBaudCmd, rateCode};
}

// Sizes of the success answers' data.
inline constexpr std::size_t kSamIdSize = 16;
inline constexpr std::size_t kFindDataSize = 4;
inline constexpr std::size_t kSelectDataSize = 8;
inline constexpr std::size_t kTextSize = 256;
inline constexpr std::size_t kPhotoSize = 1024;
// Text length (2) + photo length (2) + text + photo.
inline constexpr std::size_t kReadDataSize = 4 + kTextSize + kPhotoSize;

// The read answer's data: two big-endian lengths, then the text block and
// the photo. The lengths are fixed by the protocol; anything else is not a
// read answer.
struct ReadAnswer {
    std::span<const std::uint8_t> text;  // kTextSize bytes
    std::span<const std::uint8_t> photo; // kPhotoSize bytes
};
std::optional<ReadAnswer> decodeReadAnswer(std::span<const std::uint8_t> data);
// text and photo are padded with zeros or cut to their sizes.
std::vector<std::uint8_t> encodeReadAnswer(std::span<const std::uint8_t> text,
                                           std::span<const std::uint8_t> photo);

// The fingerprint read's answer: three big-endian lengths (text, photo,
// fingerprint), then the three blocks. The fingerprint is two 512-byte
// templates; the protocol notes also allow one, and a card without any
// gives length 0. Biometric data: it never reaches the trace.
inline constexpr std::size_t kFingerprintMaxSize = 1024;
inline constexpr std::size_t kFingerprintSizes[] = {0, 512, kFingerprintMaxSize};
inline constexpr std::size_t kFingerprintReadHeader = 6;
inline constexpr std::size_t kFingerprintReadMaxDataSize =
    kFingerprintReadHeader + kTextSize + kPhotoSize + kFingerprintMaxSize;
struct FingerprintReadAnswer {
    std::span<const std::uint8_t> text;
    std::span<const std::uint8_t> photo;
    std::span<const std::uint8_t> fingerprint; // 0, 512 or 1024 bytes
};
std::optional<FingerprintReadAnswer>
decodeFingerprintReadAnswer(std::span<const std::uint8_t> data);
// fingerprint must be one of kFingerprintSizes long (else empty is sent).
std::vector<std::uint8_t> encodeFingerprintReadAnswer(std::span<const std::uint8_t> text,
                                                      std::span<const std::uint8_t> photo,
                                                      std::span<const std::uint8_t> fingerprint);

// The latest appended address: one UCS-2 field of 70 bytes, or status
// kNoContent when the card holds none.
inline constexpr std::size_t kAddressSize = 70;

// The commands that read the card: find and select must precede each, and
// the SAM forgets the selection after it.
constexpr bool readsCard(Command command);
// Answers that carry biometric data: the trace shows their size, never
// their bytes.
constexpr bool withheldFromTrace(Command command);

inline constexpr std::uint8_t kMinMaxRf = 24;
inline constexpr std::uint8_t kMaxMaxRf = 255;

// One row per command the library sends. `work` is how long the SAM may
// take before it starts answering; the timeouts are derived from it.
struct CommandInfo {
    Command command;
    bool anyPara;               // set baud: PARA is an argument
    std::string_view name;      // for the trace
    std::size_t dataSize;       // data bytes the command carries
    std::size_t answerDataSize; // data bytes of the success answer
    std::chrono::milliseconds work;
    // Sending it twice leaves the SAM and the card as sending it once: it
    // may be repeated when its answer came broken.
    bool repeatable;
};

std::span<const CommandInfo> commandTable();
// nullptr for a command outside the table.
const CommandInfo *findCommand(std::uint8_t cmd, std::uint8_t para);
// Whether a command may be sent again after a broken answer; false for a
// command outside the table.
bool repeatable(Command command);
// The status a command answers when it succeeds: 0x9F for find card, 0x90
// for the others.
std::uint8_t successStatus(Command command);
// "SAM status", "set baud 57600", "command 0x42 0x00".
std::string commandName(std::uint8_t cmd, std::uint8_t para);

// ---- Status codes (SW3) ------------------------------------------------

enum Status : std::uint8_t {
    kSuccess = 0x90,
    kFindSuccess = 0x9F,
    kNoContent = 0x91,
    kChecksumError = 0x10,
    kLengthError = 0x11,
    kCommandError = 0x21,
    kNotPermitted = 0x23,
    kUnrecognisedError = 0x24,
    kCardAuthFailed = 0x31,
    kSamAuthFailed = 0x32,
    kVerifyError = 0x33,
    kUnknownCardType = 0x40,
    kReadFailed = 0x41,
    kRandomFailed = 0x47,
    kSelfTestFailed = 0x60,
    kNotAuthorised = 0x66,
    kFindFailed = 0x80,
    kSelectFailed = 0x81,
};

// Short English name from the result codes' table; "unknown status" for a code it lacks.
std::string_view statusText(std::uint8_t status);
// "status 0x90 success"
std::string describeStatus(std::uint8_t status);

// ---- Baud rates ----------------------------------------------------------

struct BaudRate {
    std::uint32_t baud;
    std::uint8_t code; // PARA of the set-baud command
};
inline constexpr std::array<BaudRate, 5> kBaudRates{
    {{115200, 0x00}, {57600, 0x01}, {38400, 0x02}, {19200, 0x03}, {9600, 0x04}}};
inline constexpr std::uint32_t kDefaultBaud = 115200;

std::optional<std::uint8_t> baudCode(std::uint32_t baud);
std::optional<std::uint32_t> baudFromCode(std::uint8_t code);

// ---- Encoding and decoding -----------------------------------------------

// XOR of the bytes given (the caller passes everything after the preamble
// up to the byte before CHK).
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// Full frames with preamble, length and checksum. Empty when the data
// cannot be expressed by the length field (more than kMax*Data bytes).
std::vector<std::uint8_t> encodeCommand(std::uint8_t cmd, std::uint8_t para,
                                        std::span<const std::uint8_t> data = {});
std::vector<std::uint8_t> encodeCommand(Command command, std::span<const std::uint8_t> data = {});
std::vector<std::uint8_t> encodeResponse(std::uint8_t sw1, std::uint8_t sw2, std::uint8_t sw3,
                                         std::span<const std::uint8_t> data = {});

struct Response {
    std::uint8_t sw1 = 0;
    std::uint8_t sw2 = 0;
    std::uint8_t sw3 = 0; // the SAM's status
    std::vector<std::uint8_t> data;
};

struct CommandFrame {
    std::uint8_t cmd = 0;
    std::uint8_t para = 0;
    std::vector<std::uint8_t> data;
};

// Decode a complete frame whose preamble, length and checksum are right
// (as FrameParser yields it); nullopt for anything else.
std::optional<Response> decodeResponse(std::span<const std::uint8_t> frame);
std::optional<CommandFrame> decodeCommand(std::span<const std::uint8_t> frame);

// "status 0x90 success, 16 data bytes" (and the card's SW1 SW2 when set).
std::string describeResponse(const Response &response);

// Whether `response` can be the answer to `command`: its success status
// with exactly the data the protocol fixes for it, or a failing status
// with none. A late answer to an earlier command fails this (find's 0x9F
// coming to a select, select's 8 bytes coming to a read); a command
// outside the table takes anything.
bool answers(Command command, const Response &response);

// ---- Timeouts ------------------------------------------------------------

// Every timeout is multiplied by this, so slow bridges can be accommodated
// in one place.
inline constexpr double kTimeoutScale = 1.0;
// Allowance for the USB-serial bridge's latency and the host's scheduling.
inline constexpr std::chrono::milliseconds kTimeoutSlack{50};
// After a bad frame, how long the line must stay quiet before the receiver
// gives up on a good frame following it.
inline constexpr std::chrono::milliseconds kSettleGap{20};

// Wire time of `bytes` at `baud` (8N1: ten bit times a byte), exact to the
// microsecond (rounded down), and in whole milliseconds rounded up for
// timeouts. 0 at a rate of 0.
inline constexpr unsigned kBitsPerByte = 10;
std::chrono::microseconds wireTimeUs(std::size_t bytes, std::uint32_t baud);
std::chrono::milliseconds wireTime(std::size_t bytes, std::uint32_t baud);

// The time to wait for the answer to `command` at `baud`: the SAM's work,
// the wire time of the command and of its largest answer, and the slack,
// all scaled. A command outside the table gets the largest allowance.
std::chrono::milliseconds commandTimeout(Command command, std::uint32_t baud);

constexpr bool readsCard(Command command) {
    return command == kReadCard || command == kReadFingerprint || command == kReadAddress;
}

constexpr bool withheldFromTrace(Command command) {
    return command == kReadFingerprint;
}

// A SAM ID as kav prints it ("05-01-20069995-12345-1234567890": two groups
// of two hex digits, three decimal 32-bit numbers) in the SAM's bytes;
// nullopt for any other text, so a simulated line gets exactly the IDs meant.
std::optional<std::array<std::uint8_t, kSamIdSize>> samIdFromText(std::string_view text);

} // namespace kav::proto
