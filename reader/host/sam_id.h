// The SAM ID's text form, as the dialog logs it and kav prints it:
// "0201-1E5F-12345678-3045166745-1193046".
#pragma once

#include "KavIDCardAPI.h"

#include <string>

namespace kav::host {

// Two 16-bit halves in hex, then three little-endian 32-bit numbers.
std::string samIdText(const KavSamId &id);

} // namespace kav::host
