// pcapng as this program writes and reads it: one section, one interface a
// port (USER0, nanosecond times), one for the events (USER1), one enhanced
// packet a record with its direction and faults in epb_flags.
#include "capture/capture.h"

#include "protocol/protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>

#ifndef KAV_PROGRAM_VERSION
#define KAV_PROGRAM_VERSION "unknown"
#endif

namespace kav::capture {
namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceBlock = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;

constexpr std::uint16_t kEndOfOptions = 0;
constexpr std::uint16_t kComment = 1;
constexpr std::uint16_t kShbOs = 3;
constexpr std::uint16_t kShbUserAppl = 4;
constexpr std::uint16_t kIfName = 2;
constexpr std::uint16_t kIfDescription = 3;
constexpr std::uint16_t kIfTsresol = 9;
constexpr std::uint16_t kEpbFlags = 2;

// epb_flags: bits 0-1 the direction, 16-31 the link layer's errors.
constexpr std::uint32_t kInbound = 1;
constexpr std::uint32_t kOutbound = 2;
constexpr std::uint32_t kCrcError = 1u << 24;
constexpr std::uint32_t kPreambleError = 1u << 30;
constexpr std::uint32_t kErrorBits = 0xFFFF0000u;

// No interface this program writes comes near it; a file that claims more
// is refused before it costs memory.
constexpr std::size_t kMaxInterfaces = 4096;
// A withheld or counted length past this is no serial line's.
constexpr std::uint64_t kMaxOriginalLength = 16u << 20;

void put32(std::vector<std::uint8_t> &b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(std::vector<std::uint8_t> &b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void pad(std::vector<std::uint8_t> &b) {
    while (b.size() % 4 != 0)
        b.push_back(0);
}
void option(std::vector<std::uint8_t> &b, std::uint16_t code, std::span<const std::uint8_t> value) {
    put16(b, code);
    put16(b, static_cast<std::uint16_t>(value.size()));
    b.insert(b.end(), value.begin(), value.end());
    pad(b);
}
void option(std::vector<std::uint8_t> &b, std::uint16_t code, std::string_view value) {
    // An option's length is 16 bits: a longer text is cut.
    value = value.substr(0, 0xFFF0);
    option(b, code, std::span(reinterpret_cast<const std::uint8_t *>(value.data()), value.size()));
}
void begin(std::vector<std::uint8_t> &b, std::uint32_t type) {
    b.clear();
    put32(b, type);
    put32(b, 0); // total length, set by finish
}
void finish(std::vector<std::uint8_t> &b, std::ostream &out) {
    put16(b, kEndOfOptions);
    put16(b, 0);
    const auto total = static_cast<std::uint32_t>(b.size() + 4);
    put32(b, total);
    for (int i = 0; i < 4; ++i)
        b[4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
    out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    out.flush();
}

std::string hex32(std::uint64_t v) {
    char s[24];
    std::snprintf(s, sizeof s, "0x%llX", static_cast<unsigned long long>(v));
    return s;
}

// A broken frame rather than noise: it begins as a frame does.
bool startsWithPreamble(std::span<const std::uint8_t> data) {
    return data.size() >= proto::kPreambleSize &&
           std::equal(proto::kPreamble.begin(), proto::kPreamble.end(), data.begin());
}

} // namespace

CaptureError::CaptureError(std::uint64_t at, const std::string &what)
    : std::runtime_error("at offset " + std::to_string(at) + ": " + what), offset(at) {}

std::string writerName() {
    return "Velkart kav " KAV_PROGRAM_VERSION;
}

bool isWholeFrame(std::span<const std::uint8_t> bytes) {
    using namespace proto;
    if (bytes.size() < kHeaderSize + 2 ||
        !std::equal(kPreamble.begin(), kPreamble.end(), bytes.begin()))
        return false;
    const std::size_t length = std::size_t{bytes[5]} << 8 | bytes[6];
    return bytes.size() == kHeaderSize + length &&
           checksum(bytes.subspan(kPreambleSize, bytes.size() - kPreambleSize - 1)) == bytes.back();
}

// ---- Writing ----------------------------------------------------------------

PcapngWriter::PcapngWriter(std::ostream &out) : out_(out) {
    begin(block_, kSectionHeader);
    put32(block_, kByteOrderMagic);
    put16(block_, 1);
    put16(block_, 0);
    put32(block_, 0xFFFFFFFF); // section length unknown
    put32(block_, 0xFFFFFFFF);
    option(block_, kShbOs, "Linux");
    option(block_, kShbUserAppl, writerName());
    finish(block_, out_);
}

bool PcapngWriter::good() const {
    return out_.good();
}

std::size_t PcapngWriter::addPort(const Port &port) {
    begin(block_, kInterfaceBlock);
    put16(block_, kFrameLinkType);
    put16(block_, 0);
    put32(block_, 0); // no snap length
    option(block_, kIfName, port.name);
    if (!port.description.empty())
        option(block_, kIfDescription, port.description);
    const std::uint8_t nanoseconds = 9;
    option(block_, kIfTsresol, std::span(&nanoseconds, 1));
    finish(block_, out_);
    interfaces_.push_back(nextInterface_++);
    portNames_.push_back(port.name);
    return interfaces_.size() - 1;
}

std::uint32_t PcapngWriter::eventsInterface() {
    if (events_ < 0) {
        begin(block_, kInterfaceBlock);
        put16(block_, kEventLinkType);
        put16(block_, 0);
        put32(block_, 0);
        option(block_, kIfName, kEventsInterfaceName);
        option(block_, kIfDescription, "line events and library calls, UTF-8");
        const std::uint8_t nanoseconds = 9;
        option(block_, kIfTsresol, std::span(&nanoseconds, 1));
        finish(block_, out_);
        events_ = nextInterface_++;
    }
    return static_cast<std::uint32_t>(events_);
}

void PcapngWriter::write(const Record &r) {
    const bool event = r.kind == Record::Kind::Event;
    if (!event && r.port >= interfaces_.size())
        throw std::invalid_argument("capture record for a port never added");
    const std::uint32_t interface = event ? eventsInterface() : interfaces_[r.port];
    std::span<const std::uint8_t> data = r.bytes;
    if (event)
        data = std::span(reinterpret_cast<const std::uint8_t *>(r.text.data()), r.text.size());
    begin(block_, kEnhancedPacket);
    put32(block_, interface);
    const auto t = static_cast<std::uint64_t>(r.timeNs);
    put32(block_, static_cast<std::uint32_t>(t >> 32));
    put32(block_, static_cast<std::uint32_t>(t));
    put32(block_, static_cast<std::uint32_t>(data.size()));
    put32(block_, static_cast<std::uint32_t>(data.size() + r.withheld));
    block_.insert(block_.end(), data.begin(), data.end());
    pad(block_);
    if (event) {
        // The port the event concerns, by its interface's name.
        if (r.port < portNames_.size())
            option(block_, kComment, "port " + portNames_[r.port]);
    } else {
        if (!r.text.empty())
            option(block_, kComment, r.text);
        std::uint32_t flags = r.direction == Direction::ToReader ? kOutbound : kInbound;
        if (r.kind == Record::Kind::Noise)
            flags |= startsWithPreamble(data) ? kCrcError : kPreambleError;
        std::vector<std::uint8_t> value;
        put32(value, flags);
        option(block_, kEpbFlags, value);
    }
    finish(block_, out_);
}

void writePcapng(const Capture &capture, std::ostream &out) {
    PcapngWriter writer(out);
    for (const Port &port : capture.ports)
        writer.addPort(port);
    for (const Record &record : capture.records)
        writer.write(record);
    if (!writer.good())
        throw std::runtime_error("the capture could not be written");
}

// ---- Reading ----------------------------------------------------------------

namespace {

// Reads one section after another. Every length is checked against what is
// left of the file before it is used, so a hostile file costs at most its
// own size in time and memory.
class PcapngReader {
  public:
    explicit PcapngReader(std::span<const std::uint8_t> file) : file_(file) {}

    Capture read() {
        if (file_.size() < 28)
            throw CaptureError(0, "too short for a pcapng section header");
        while (at_ < file_.size())
            block();
        return std::move(capture_);
    }

  private:
    struct Interface {
        std::uint16_t linkType = 0;
        std::string name;
        std::string description;
        std::int64_t unitsPerSecond = 1000000; // microseconds unless if_tsresol says
        std::size_t port = npos;               // for a frames interface
    };

    std::uint32_t u32(std::size_t offset) const {
        std::uint32_t v;
        std::memcpy(&v, file_.data() + offset, 4);
        return swap_ ? __builtin_bswap32(v) : v;
    }
    std::uint16_t u16(std::size_t offset) const {
        std::uint16_t v;
        std::memcpy(&v, file_.data() + offset, 2);
        return swap_ ? __builtin_bswap16(v) : v;
    }

    void block() {
        const std::size_t start = at_;
        const std::size_t left = file_.size() - start;
        if (left < 12)
            throw CaptureError(start, "block cut short: " + std::to_string(left) + " bytes left");
        std::uint32_t type;
        std::memcpy(&type, file_.data() + start, 4);
        if (type == kSectionHeader) {
            // The byte order is the section's: read its magic first.
            if (left < 28)
                throw CaptureError(start, "section header cut short");
            std::uint32_t magic;
            std::memcpy(&magic, file_.data() + start + 8, 4);
            if (magic == kByteOrderMagic)
                swap_ = false;
            else if (magic == __builtin_bswap32(kByteOrderMagic))
                swap_ = true;
            else
                throw CaptureError(start + 8, "byte-order magic " + hex32(magic) +
                                                  " is neither order of 0x1A2B3C4D");
            interfaces_.clear();
        } else if (!sawSection_) {
            throw CaptureError(start, "not a pcapng file: no section header first");
        }
        type = u32(start);
        const std::uint32_t total = u32(start + 4);
        if (total < 12 || total % 4 != 0)
            throw CaptureError(start + 4, "block length " + std::to_string(total) +
                                              " is no multiple of 4 of at least 12");
        if (total > left)
            throw CaptureError(start + 4, "block length " + std::to_string(total) +
                                              " runs past the end of the file (" +
                                              std::to_string(left) + " bytes left)");
        if (u32(start + total - 4) != total)
            throw CaptureError(start + total - 4,
                               "block's trailing length differs from its leading one");
        body_ = start + 8;
        end_ = start + total - 4;
        at_ = start + total;
        switch (type) {
        case kSectionHeader:
            sawSection_ = true;
            if (u16(start + 12) != 1)
                throw CaptureError(start + 12,
                                   "pcapng major version " + std::to_string(u16(start + 12)));
            break;
        case kInterfaceBlock:
            interface(start);
            break;
        case kEnhancedPacket:
            packet(start);
            break;
        default:
            break; // blocks this program does not write are skipped
        }
    }

    // Calls f(code, offset, length) for each option from `from` to the block's end.
    template <typename F> void options(std::size_t from, F f) {
        std::size_t o = from;
        while (o + 4 <= end_) {
            const std::uint16_t code = u16(o);
            const std::uint16_t length = u16(o + 2);
            if (code == kEndOfOptions)
                return;
            const std::size_t padded = (std::size_t{length} + 3) & ~std::size_t{3};
            if (o + 4 + padded > end_)
                throw CaptureError(o + 2, "option length " + std::to_string(length) +
                                              " runs past its block");
            f(code, o + 4, std::size_t{length});
            o += 4 + padded;
        }
    }

    std::string text(std::size_t offset, std::size_t length) const {
        return std::string(reinterpret_cast<const char *>(file_.data() + offset), length);
    }

    void interface(std::size_t start) {
        if (end_ - body_ < 8)
            throw CaptureError(start, "interface block cut short");
        if (interfaces_.size() >= kMaxInterfaces)
            throw CaptureError(start, "more than " + std::to_string(kMaxInterfaces) +
                                          " interfaces in one section");
        Interface i;
        i.linkType = u16(body_);
        options(body_ + 8, [&](std::uint16_t code, std::size_t at, std::size_t length) {
            if (code == kIfName)
                i.name = text(at, length);
            else if (code == kIfDescription)
                i.description = text(at, length);
            else if (code == kIfTsresol && length >= 1) {
                const std::uint8_t r = file_[at];
                const unsigned exponent = r & 0x7F;
                if ((r & 0x80) != 0 ? exponent > 62 : exponent > 18)
                    throw CaptureError(at, "time resolution " + std::to_string(r) +
                                               " past what 64 bits hold");
                std::int64_t units = 1;
                for (unsigned k = 0; k < exponent; ++k)
                    units *= (r & 0x80) != 0 ? 2 : 10;
                i.unitsPerSecond = units;
            }
        });
        if (i.linkType != kEventLinkType) {
            // One port a device: a second section naming it again adds to it.
            auto same = std::find_if(capture_.ports.begin(), capture_.ports.end(),
                                     [&](const Port &p) { return p.name == i.name; });
            if (same == capture_.ports.end() || i.name.empty()) {
                capture_.ports.push_back({i.name, i.description});
                i.port = capture_.ports.size() - 1;
            } else {
                i.port = static_cast<std::size_t>(same - capture_.ports.begin());
            }
        }
        interfaces_.push_back(std::move(i));
    }

    std::int64_t nanoseconds(const Interface &i, std::uint64_t units, std::size_t at) const {
        const auto perSecond = static_cast<std::uint64_t>(i.unitsPerSecond);
        const std::uint64_t seconds = units / perSecond;
        if (seconds > 9'000'000'000ull)
            throw CaptureError(at, "time stamp past the year 2255");
        const std::uint64_t rest = units % perSecond;
        // rest < perSecond: exact while rest * 10^9 fits 64 bits, finer
        // resolutions than that lose only what nanoseconds cannot hold.
        const std::uint64_t fraction =
            perSecond <= 10'000'000'000ull
                ? rest * 1'000'000'000u / perSecond
                : static_cast<std::uint64_t>(static_cast<long double>(rest) * 1e9L /
                                             static_cast<long double>(perSecond));
        return static_cast<std::int64_t>(seconds * 1'000'000'000ull + fraction);
    }

    void packet(std::size_t start) {
        if (end_ - body_ < 20)
            throw CaptureError(start, "enhanced packet block cut short");
        const std::uint32_t id = u32(body_);
        if (id >= interfaces_.size())
            throw CaptureError(body_, "packet of interface " + std::to_string(id) + ", of " +
                                          std::to_string(interfaces_.size()) + " described");
        const Interface &i = interfaces_[id];
        const std::uint64_t units = std::uint64_t{u32(body_ + 4)} << 32 | u32(body_ + 8);
        const std::uint32_t captured = u32(body_ + 12);
        const std::uint32_t original = u32(body_ + 16);
        const std::size_t data = body_ + 20;
        if (captured > end_ - data)
            throw CaptureError(body_ + 12, "packet length " + std::to_string(captured) +
                                               " runs past its block (" +
                                               std::to_string(end_ - data) + " bytes)");
        if (original < captured)
            throw CaptureError(body_ + 16, "original length " + std::to_string(original) +
                                               " below the captured " + std::to_string(captured));
        if (original - captured > kMaxOriginalLength)
            throw CaptureError(body_ + 16, "original length " + std::to_string(original) +
                                               " past any serial frame");
        Record r;
        r.timeNs = nanoseconds(i, units, body_ + 4);
        r.withheld = original - captured;
        std::string comment;
        std::uint32_t flags = 0;
        options(data + ((std::size_t{captured} + 3) & ~std::size_t{3}),
                [&](std::uint16_t code, std::size_t at, std::size_t length) {
                    if (code == kComment)
                        comment = text(at, length);
                    else if (code == kEpbFlags && length == 4)
                        flags = u32(at);
                });
        if (i.linkType == kEventLinkType) {
            r.kind = Record::Kind::Event;
            r.text = text(data, captured);
            r.withheld = 0;
            constexpr std::string_view prefix = "port ";
            if (comment.starts_with(prefix)) {
                const std::string name = comment.substr(prefix.size());
                for (std::size_t p = 0; p < capture_.ports.size() && r.port == npos; ++p)
                    if (capture_.ports[p].name == name)
                        r.port = p;
            }
        } else {
            r.kind = (flags & kErrorBits) != 0 ? Record::Kind::Noise : Record::Kind::Frame;
            r.port = i.port;
            r.direction = (flags & 3) == kOutbound ? Direction::ToReader : Direction::FromReader;
            r.bytes.assign(file_.begin() + static_cast<std::ptrdiff_t>(data),
                           file_.begin() + static_cast<std::ptrdiff_t>(data + captured));
            r.text = std::move(comment);
        }
        capture_.records.push_back(std::move(r));
    }

    std::span<const std::uint8_t> file_;
    std::size_t at_ = 0, body_ = 0, end_ = 0;
    bool swap_ = false;
    bool sawSection_ = false;
    std::vector<Interface> interfaces_;
    Capture capture_;
};

} // namespace

bool isPcapng(std::span<const std::uint8_t> start) {
    std::uint32_t type = 0;
    if (start.size() < 4)
        return false;
    std::memcpy(&type, start.data(), 4);
    return type == kSectionHeader;
}

Capture readPcapng(std::span<const std::uint8_t> bytes) {
    return PcapngReader(bytes).read();
}

Capture readCapture(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw CaptureError(0, "cannot open " + path);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0)
        throw CaptureError(0, "cannot read " + path);
    if (static_cast<std::uint64_t>(size) > kMaxFileSize)
        throw CaptureError(kMaxFileSize, path + " is larger than any capture taken (" +
                                             std::to_string(size) + " bytes)");
    in.seekg(0);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!in.read(reinterpret_cast<char *>(bytes.data()), size))
        throw CaptureError(0, "cannot read " + path);
    if (isPcapng(bytes))
        return readPcapng(bytes);
    return readTextTrace(
        std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

} // namespace kav::capture
