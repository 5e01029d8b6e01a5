// The commands, each on the library's public interface alone. Arguments
// arrive checked; each returns kav's exit code.
#pragma once

#include "output.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kav::cli {

// Where and how a read writes the photo; unset: the library's default.
struct PhotoOptions {
    std::optional<std::string> folderGbk;
    std::optional<int> type;   // KAV_PHOTO_BMP, ...
    std::optional<int> scheme; // KAV_PHOTO_NAME_TMP, ...
    // Several ports read at once: the library's one name (tmp.bmp, or the
    // same card's on two readers) would be every port's, so each port's
    // photo gets the port in its name (tmp-port3.bmp).
    bool portInName = false;
};

// What a read takes besides the card's text and photo.
struct ReadOptions {
    bool fingerprint = false;                  // read the fingerprint data too
    std::optional<std::string> fingerprintOut; // write it here (a new file, 0600)
};

struct SoakOptions {
    int count = 1;
    int intervalMs = 0;
};

int runPorts(const Output &out);
int runFind(const Output &out);
int runStatus(const Output &out, int port);
int runReset(const Output &out, int port);
int runSamId(const Output &out, int port);
int runBaud(const Output &out, int port, std::optional<int> newBaud);
int runMaxRf(const Output &out, int port, int count);
int runRead(const Output &out, int port, const PhotoOptions &photo,
            const ReadOptions &options = {});
// The newest appended address: open, 80 RF bytes, find, select, read it.
int runAddress(const Output &out, int port);
int runSoak(const Output &out, int port, const PhotoOptions &photo, const SoakOptions &soak);
// One frame by hand: CMD PARA DATA framed by the library, or with `raw` the
// bytes as given; the answer decoded.
int runSend(const Output &out, int port, const std::vector<std::uint8_t> &bytes, bool raw);
// Hex digits, spaces, colons or commas between bytes; nullopt for anything else or nothing.
std::optional<std::vector<std::uint8_t>> parseHex(const std::string &text);
// Each card's arrival and departure, find card every intervalMs, until Ctrl+C.
int runWatch(const Output &out, int port, int intervalMs);

// One command on several ports at once, a thread per port: one line per
// port on standard output, "port 3 (SAM 5-1-...): <its result>" (a
// failure's too), or with --json one array of the ports' objects, each
// with "port" and "samId" (null when the SAM did not give it) added.
// Returns the worst (highest) exit class among the ports.
using PortCommand = std::function<int(const Output &out, int port)>;
int runOnPortsAtOnce(const Output &out, const std::vector<int> &ports, const PortCommand &command);
// kav soak on several ports at once: a live line per port on a terminal,
// then each port's summary, labelled, and the total (with --json an array
// of the ports' summaries and a last object {"port":null,"total":true,...}).
int runSoakAtOnce(const Output &out, const std::vector<int> &ports, const PhotoOptions &photo,
                  const SoakOptions &soak);

// The mapped ports whose device exists but may not be opened, as `kav
// ports` lists them; each also as a line of human, after a newline.
Json refusedPorts(const Output &out, std::string &human);

} // namespace kav::cli
