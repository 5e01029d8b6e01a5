// The library's trace: every frame and every operation, with its arguments
// and result. It reaches two listeners, each optional: the file named by
// KAVIDCARD_TRACE and the host's callback (Kav_SetTraceCallback). With
// neither, tracing costs a check and nothing else.
#pragma once

#include "KavIDCardAPI.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kav::trace {

// Somebody listens: the file is open or a callback is set.
bool enabled();

enum class Direction { ToReader, FromReader };

// One frame on a link: time, link name, direction, bytes in hex and what
// they mean ("status 0x90 success").
void frame(std::string_view link, Direction direction, std::span<const std::uint8_t> bytes,
           std::string_view meaning);

// A frame whose bytes may not be shown (fingerprint data): its size and
// meaning, with the bytes pointer NULL and the text saying they were
// withheld.
void withheldFrame(std::string_view link, Direction direction, std::size_t count,
                   std::string_view meaning);

// Bytes from the reader that were skipped as noise: only how many.
void noise(std::string_view link, std::size_t count);

// An operation and its result: "Kav_ReadMsg(1, 0) = -6 (...)".
void operation(std::string_view text, int result);

// One free-form line (a skipped device, a photo written). Every text given
// to the trace comes out as UTF-8 without control characters, whatever its
// bytes.
void line(std::string_view text);

// A text as every trace text leaves the library, whatever bytes it held:
// UTF-8, a control character (C0, DEL, C1) as '?', any byte that is no part
// of well-formed UTF-8 as \xNN. Other texts for hosts use it too.
std::string printable(std::string_view text);

// Hex dump helper: "AA AA AA 96 69".
std::string hex(std::span<const std::uint8_t> bytes);

// The host's callback; null turns it off. Once this returns, the previous
// callback is never called again. The callback may call this itself.
void setCallback(KavTraceCallback callback, void *context);

// This thread is running the host's callback: any call into the library
// from here would wait for a lock its own caller holds.
bool insideCallback();

// The trace file's size limit: past it the file is renamed to NAME.1 (one
// generation kept) and a new one begun.
inline constexpr std::size_t kFileLimit = 16u << 20;

// Closes the trace file and opens the one KAVIDCARD_TRACE names now; for
// tests. The limit is kFileLimit unless given.
void reopenFile(std::size_t limit = kFileLimit);

} // namespace kav::trace
