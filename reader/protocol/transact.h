// One command and its answer over a Link.
#pragma once

#include "protocol/link.h"
#include "protocol/protocol.h"

#include <chrono>
#include <cstdint>
#include <span>

namespace kav::proto {

// Discards stale input, sends the command and receives until a response
// frame that can answer it completes (proto::answers), by the deadline
// whatever the device sends. Returns KAV_OK when such an answer came,
// whatever its status (out.sw3 tells); KAV_E_BAD_REPLY when only
// well-formed frames that do not answer the command came; KAV_E_BAD_FRAME
// when only frames failing their length or checksum check came;
// KAV_E_TIMEOUT when nothing came in `timeout`; KAV_E_IO when the link
// failed; KAV_E_BAD_ARGUMENT when the data cannot be framed. Frames go to
// the trace with their meaning; past the first few faults, noise and bad
// frames are only counted.
int transact(Link &link, std::uint8_t cmd, std::uint8_t para, std::span<const std::uint8_t> data,
             Response &out, std::chrono::milliseconds timeout);

inline int transact(Link &link, Command command, std::span<const std::uint8_t> data, Response &out,
                    std::chrono::milliseconds timeout) {
    return transact(link, command.cmd, command.para, data, out, timeout);
}

// transact within the command's own time at `baud`, and once more when the
// answer came broken (KAV_E_BAD_FRAME: a failed checksum or length, a frame
// cut short) and the command may be repeated (proto::repeatable); never on
// silence, which is a missing device or a wrong rate. A read is preceded by
// finding and selecting the card again, as every read must be; each of
// those exchanges has its own time. *retries counts the second tries; the
// trace says each and why.
int transactRepeating(Link &link, Command command, std::span<const std::uint8_t> data,
                      Response &out, std::uint32_t baud, unsigned *retries = nullptr);

} // namespace kav::proto
