// A capture: every frame a command exchanged with its readers, the bytes
// around them that were not frames, and the line's events, in the order
// they happened. Written as pcapng (Wireshark and tshark read it), read back
// from pcapng or from the library's text trace (KAVIDCARD_TRACE). No Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kav::capture {

enum class Direction { ToReader, FromReader };

// One serial line or network reader; one pcapng interface each.
struct Port {
    std::string name;        // the device or URI: "/dev/ttyUSB0", "rfc2217://host:4000"
    std::string description; // the rate and framing: "115200 8N1"; empty when unknown
};

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

struct Record {
    enum class Kind {
        Frame, // a complete protocol frame, length and checksum right
        Noise, // bytes that were no good frame: noise, a broken or cut frame (text says)
        Event, // a line event or a Kav_* call with its result: text only
    } kind = Kind::Frame;
    std::size_t port = npos; // index into Capture::ports (events: the port they concern, or npos)
    std::int64_t timeNs = 0; // since 1970 UTC
    Direction direction = Direction::FromReader; // frames and noise
    std::vector<std::uint8_t> bytes;
    std::string text; // an event's text, or a packet's comment ("broken: bad checksum")
    // Bytes that were on the line and are not in `bytes`: fingerprint data,
    // withheld; noise the trace only counted. Kept as the packet's
    // original length.
    std::size_t withheld = 0;
};

struct Capture {
    std::vector<Port> ports;
    std::vector<Record> records;
};

// A file that is no capture, or a damaged one: the message names the
// offset where reading stopped.
struct CaptureError : std::runtime_error {
    CaptureError(std::uint64_t offset, const std::string &what);
    std::uint64_t offset;
};

// The largest file readCapture takes: bounded memory whatever the file says.
inline constexpr std::uint64_t kMaxFileSize = 1ull << 30;

// pcapng or the library's text trace, told apart by the first bytes.
// Throws CaptureError (also when the file cannot be read).
Capture readCapture(const std::string &path);
Capture readPcapng(std::span<const std::uint8_t> bytes);
// The text trace's lines; local times are read in this system's time zone.
Capture readTextTrace(std::string_view text);
bool isPcapng(std::span<const std::uint8_t> start);

// The program and version the section header names.
std::string writerName();

// Writes the capture as one pcapng section. Throws std::runtime_error when
// the stream fails.
void writePcapng(const Capture &capture, std::ostream &out);

// The same file written as it happens, for kav --capture: the section
// header at once, each port's interface before its first packet, the
// events' interface before the first event. Each record is flushed whole.
class PcapngWriter {
  public:
    explicit PcapngWriter(std::ostream &out);
    // Returns the port's index (its place in the order ports were added).
    std::size_t addPort(const Port &port);
    void write(const Record &record);
    bool good() const;

  private:
    std::uint32_t eventsInterface();
    std::ostream &out_;
    std::vector<std::uint32_t> interfaces_; // port index -> interface id
    std::vector<std::string> portNames_;
    std::uint32_t nextInterface_ = 0;
    std::int64_t events_ = -1;
    std::vector<std::uint8_t> block_;
};

// The pcapng link types: the frames on USER0, the events' texts on USER1.
inline constexpr std::uint16_t kFrameLinkType = 147;
inline constexpr std::uint16_t kEventLinkType = 148;
inline constexpr const char *kEventsInterfaceName = "events";

// Whether bytes are one whole protocol frame: preamble, a length that
// matches and a right checksum.
bool isWholeFrame(std::span<const std::uint8_t> bytes);

} // namespace kav::capture
