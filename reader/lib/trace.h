// The library's trace: every frame and every operation, with its arguments
// and result, appended to the file named by KAVIDCARD_TRACE. Off when the
// variable is unset or empty.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kav::trace {

bool enabled();

enum class Direction { ToReader, FromReader };

// One frame on a link: time, link name, direction, bytes in hex and what
// they mean ("status 0x90 success").
void frame(std::string_view link, Direction direction, std::span<const std::uint8_t> bytes,
           std::string_view meaning);

// One free-form line (an operation and its result, a skipped device).
void line(std::string_view text);

// Hex dump helper: "AA AA AA 96 69".
std::string hex(std::span<const std::uint8_t> bytes);

} // namespace kav::trace
