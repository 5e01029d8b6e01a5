// Conversions between the card's UTF-16 text and the UTF-8 used by the file
// system and the code page 936 module.
#pragma once

#include <string>
#include <string_view>

namespace kav::card {

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD; never fails.
std::string toUtf8(std::u16string_view text);

// UTF-8 to UTF-16. Each byte that does not start or continue a valid
// sequence becomes U+FFFD; never fails.
std::u16string toUtf16(std::string_view utf8);

} // namespace kav::card
