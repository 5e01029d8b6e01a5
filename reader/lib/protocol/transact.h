// One command and its answer over a Link.
#pragma once

#include "protocol/link.h"
#include "protocol/protocol.h"

#include <chrono>
#include <cstdint>
#include <span>

namespace kav::proto {

// Discards stale input, sends the command and receives until one response
// frame completes. Returns KAV_OK when a well-formed answer came, whatever
// its status (out.sw3 tells); KAV_E_TIMEOUT when none completed in
// `timeout`; KAV_E_BAD_FRAME when only frames failing their length or
// checksum check came; KAV_E_IO when the link failed; KAV_E_BAD_ARGUMENT
// when the data cannot be framed. Every frame, and any noise, goes to the
// trace with its meaning.
int transact(Link &link, std::uint8_t cmd, std::uint8_t para, std::span<const std::uint8_t> data,
             Response &out, std::chrono::milliseconds timeout);

inline int transact(Link &link, Command command, std::span<const std::uint8_t> data, Response &out,
                    std::chrono::milliseconds timeout) {
    return transact(link, command.cmd, command.para, data, out, timeout);
}

} // namespace kav::proto
