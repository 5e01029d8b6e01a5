// What the commands on a port share: the port held open for a sequence,
// the dialog's read settings and read sequence, and the labelled results of
// one command on several ports at once.
#pragma once

#include "KavIDCardAPI.h"
#include "commands.h"
#include "host/port_session.h"
#include "host/read_sequence.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kav::cli {

using Clock = std::chrono::steady_clock;

// The first call of a sequence that failed, or none.
struct Step {
    const char *operation = nullptr;
    int code = KAV_OK;
    bool ok() const { return operation == nullptr; }
};

using host::PortSession;

// The dialog's field formats, so that kav and the dialog read alike.
// A refused photo folder fails the command before any read: the library
// would otherwise keep its previous folder and the photo land elsewhere.
Step setReadSettings(const PhotoOptions &photo);

// The dialog's read sequence with a read of the caller's own, stopping at
// the first call that fails (the
// dialog lets find and select go on to the read; a script wants to know
// which step refused): open, 80 RF bytes, find, select, then `read` (which
// returns its Step) while the port is still open.
template <typename Read> Step cardSequence(int port, Read read) {
    PortSession open(port);
    if (!open.isOpen())
        return {"Kav_OpenPort", open.openResult()};
    if (const int r = Kav_SetMaxRFByte(port, host::kReadMaxRfBytes, 0); r != KAV_OK)
        return {"Kav_SetMaxRFByte", r};
    unsigned char found[KAV_FIND_BUFFER_SIZE] = {};
    if (const int r = Kav_StartFindIDCard(port, found, 0); r != KAV_OK)
        return {"Kav_StartFindIDCard", r};
    unsigned char selected[KAV_SELECT_BUFFER_SIZE] = {};
    if (const int r = Kav_SelectIDCard(port, selected, 0); r != KAV_OK)
        return {"Kav_SelectIDCard", r};
    return read();
}

// The read as the dialog makes it. With `last`, what the read took from the
// card (every field of its type, or the letter of a type not known) is
// asked for before the port closes, from a library that can say it;
// last->type stays KAV_CARD_NONE otherwise.
// With `portInName`, the photo is renamed for the port (see PhotoOptions)
// while no other port's read can write one.
Step readSequence(int port, IDCardRecord &record, KavCardData *last = nullptr,
                  bool portInName = false);

// The photo settings are the library's, not a port's: reads that rename
// their photo for the port take turns from the read to the rename.
std::unique_lock<std::mutex> photoTurn(bool needed);

// `path` with "-port<N>" before its extension.
std::string photoNameForPort(const std::string &path, int port);

// Renames the photo the read wrote (`utf8`, empty: none) for the port and
// puts the new path in `field` (NUL-terminated, `gbk` in code page 936);
// on failure the field keeps the old one and false comes back.
bool renamePhotoForPort(int port, char *field, std::size_t size, bool gbk);

double msSince(Clock::time_point start);

// The SAM's ID on a port, to label its line; nullopt when it does not say.
std::optional<std::string> samIdOf(int port);

struct PortResult {
    int port = 0;
    std::optional<std::string> samId;
    Output::Capture capture;
};

// Prints the ports' results, one line or object each; the worst exit class.
int printPortResults(const Output &out, const std::vector<PortResult> &results);

} // namespace kav::cli
