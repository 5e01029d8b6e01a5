// SHA-256 (FIPS 180-4), so that kav can name fingerprint data without
// showing it: a few lines rather than a cryptography library in every host.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kav::cli {

// Lower-case hex of the digest.
std::string sha256Hex(std::span<const std::uint8_t> data);

} // namespace kav::cli
