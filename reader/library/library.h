// The library's state behind the exported operations: the device map, the
// open ports and their rates, the virtual readers, the field formats and
// the photo settings. One instance per process.
//
// Two kinds of lock, so that calls on different ports run in parallel: a
// port's own lock, held by the call that works on that port for all of its
// wire exchanges, and the state lock (mutex()), held only for moments to
// look at or change the shared maps and settings, never across a wire
// exchange and never while waiting for a port's lock. Methods taking a
// port expect the caller to hold that port's lock (lockPort); findReader
// takes the locks of the ports it searches itself.
#pragma once

#include "KavIDCardAPI.h"
#include "card/fieldformat.h"
#include "devicemap.h"
#include "link/peer.h"
#include "photo/photostore.h"
#include "protocol/link.h"
#include "protocol/protocol.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kav {

namespace virt {
class VirtualReader;
}

class Library {
  public:
    static Library &instance();

    // Forgets every port, rate and virtual reader, restores the default
    // settings and reads KAVIDCARD_DEVICES again.
    void reset();

    std::mutex &mutex() { return mutex_; }
    // The lock of one port's calls; the state lock must not be held.
    std::unique_lock<std::mutex> lockPort(int port);

    int findReader();
    int open(int port);
    void close(int port);
    std::vector<int> openPorts() const;
    // Every port the map names, ascending, with its device as text
    // ("/dev/ttyUSB0", "virtual", "virtual:cards/mine.json"), whether its
    // node exists or not.
    std::vector<std::pair<int, std::string>> portMap() const;
    // What is wrong with the library's configuration: entries of
    // KAVIDCARD_DEVICES it ignored (port 0), then card files of virtual
    // ports that are missing or bad (their port). Loads those card files.
    struct Warning {
        int port = 0;
        std::string text; // UTF-8, no control characters
    };
    std::vector<Warning> warnings();
    int getBaud(int port, std::uint32_t &baud);
    int setBaud(int port, std::uint32_t current, std::uint32_t next);

    // One command on an open port, sent once more when its answer came
    // broken and it may be repeated; the SAM's status must be `expected`,
    // otherwise the status itself is the result.
    int command(int port, proto::Command command, std::span<const std::uint8_t> data,
                std::uint8_t expected, proto::Response &answer);
    // A command whose success answer carries exactly `size` bytes, copied
    // into buffer (when not null).
    int commandInto(int port, proto::Command command, std::uint8_t expected, unsigned char *buffer,
                    std::size_t size);
    // A frame sent as given (a host trying a command by hand) and the
    // first well-formed answer frame, whole; never sent again.
    int sendFrame(int port, std::span<const std::uint8_t> frame, std::vector<std::uint8_t> &answer);
    // A command whose answer carries nothing the caller needs.
    int simpleCommand(int port, proto::Command command, std::span<const std::uint8_t> data = {});

    // Why the port's last call that reached for its device failed, in the
    // words the result code has no room for (UTF-8, as for warnings); empty
    // after a success or before any call. A call on the port brackets its
    // work with beginCall and endCall; where a failure is made, noteFailure
    // says why (the first note of a call stands). A failure nobody noted
    // keeps `otherwise`.
    void beginCall(int port);
    void noteFailure(int port, const std::string &text);
    void endCall(int port, int result, const std::string &otherwise);
    std::string lastFailure(int port);

    // Commands sent a second time on the port since the library started.
    unsigned retries(int port);

    // What the port's last read took from the card, never with fingerprint
    // data; null when nothing. Closing the port forgets it.
    const KavCardData *lastCard(int port);
    void setLastCard(int port, std::unique_ptr<KavCardData> card); // null forgets

    // The settings, under the state lock.
    card::FieldFormats &formats() { return formats_; }
    photo::PhotoSettings &photo() { return photo_; }
    // Where photos go (folder in UTF-8, for KAV_PHOTO_IN_FOLDER), taken
    // only when photos can be written there.
    int setPhotoPath(int option, const std::string &folder);
    // Copies of them for a call working on a port (without the state lock).
    card::FieldFormats formatsNow();
    photo::PhotoSettings photoNow();

    // The virtual reader a port is mapped to, created on first use; null
    // when the port is not mapped to one. Under the state lock.
    std::shared_ptr<virt::VirtualReader> virtualReader(int port);
    // The replaying reader a port is mapped to (replay:FILE), made from
    // its capture on first use; null when the capture cannot be used (the
    // trace says why). Under the state lock.
    std::shared_ptr<Peer> replayReader(int port, const std::string &file);

  private:
    Library();
    static void releaseAtExit();

    struct OpenPort {
        std::unique_ptr<Link> link;
        std::uint32_t baud = proto::kDefaultBaud;
        // Its device was missing since its link failed: unplugged, so its
        // SAM starts again at the default rate.
        bool deviceLeft = false;
    };
    struct Connection {
        int result = 0;
        std::unique_ptr<Link> link;
        std::string error; // the link's word on a failure
    };

    // The open port's link, opened again first when it failed: the one way
    // every operation reaches an open port, so a reader that was unplugged
    // or restarted serves the next call once it is back. Null when the port
    // is not open (KAV_E_NOT_OPEN) or its device cannot be opened again
    // (the open's failure; the port stays open and the next call tries
    // again).
    OpenPort *live(int port, int &result);
    // Whether the port's device is a node that is not there now.
    bool deviceMissing(int port);

    // A link to the port for one call: its open one, or one opened at baud
    // for this call alone (owned, closed when the lease ends).
    struct Lease {
        int result = 0;
        std::unique_ptr<Link> owned;
        OpenPort *open = nullptr;
        Link *link = nullptr;
    };
    Lease lease(int port, std::uint32_t baud);

    // The port's device and, for a virtual one, its reader: what connect
    // needs, taken under the state lock for a moment.
    struct Target {
        std::optional<Device> device;
        std::shared_ptr<Peer> reader; // a virtual or replaying reader
    };
    Target target(int port);
    // Opens a link to the port's device at baud; not registered as open.
    Connection connect(int port, std::uint32_t baud);
    // The same for a device already looked up. Touches no state of the
    // library, so discovery threads may call it. A network device's
    // connection ends by its time limit, or earlier when `stop` says so.
    static Connection connect(int port, const std::optional<Device> &device,
                              std::shared_ptr<Peer> reader, std::uint32_t baud,
                              const std::function<bool()> &stop = {});
    // Small pieces of state, each under the state lock for a moment.
    std::optional<std::uint32_t> knownRate(int port);
    void setRate(int port, std::uint32_t baud);
    std::optional<Device> deviceFor(int port);
    OpenPort *openPort(int port);
    static bool isUsb(int port) { return port > KAV_LAST_SERIAL_PORT; }
    // The rate an open port's link works at from now on.
    static void keepRate(OpenPort &open, std::uint32_t baud);

    std::mutex mutex_;
    std::map<int, std::unique_ptr<std::mutex>> portLocks_; // never removed
    DeviceMap devices_;
    // Entries are added and removed by the port's lock holder only, under
    // the state lock; their contents belong to the port's lock holder.
    std::map<int, OpenPort> open_;
    std::map<int, std::uint32_t> rates_;
    std::map<int, unsigned> retries_;
    std::map<int, std::unique_ptr<KavCardData>> lastCards_;
    std::map<int, std::shared_ptr<virt::VirtualReader>> virtual_;
    // A port's replaying reader, made from its capture on first use.
    std::map<int, std::shared_ptr<Peer>> replays_;
    std::map<int, std::string> cardErrors_; // why a virtual port's card file was not taken
    struct Failure {
        std::string text;
        bool noted = false; // by the call in progress
    };
    std::map<int, Failure> failures_; // entries are their port's lock holder's
    card::FieldFormats formats_;
    photo::PhotoSettings photo_;
};

} // namespace kav
