// Text at the reader boundary is code page 936 (GBK). Every conversion
// between it and the rest of the program goes through these functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kav::cp936 {

// GBK bytes to UTF-8. Bytes that are not GBK, and a sequence cut off at the
// end, become U+FFFD; never fails.
std::string toUtf8(std::string_view gbk);

// UTF-8 to GBK, exactly: nullopt when the input is not valid UTF-8 or holds
// a character GBK cannot represent. For values that must round-trip.
std::optional<std::string> fromUtf8(std::string_view utf8);

// UTF-8 to GBK for display text: characters without a GBK form, and
// invalid UTF-8, become '?'.
std::string fromUtf8Lossy(std::string_view utf8);

// The text of a fixed-size field: up to its first NUL or the end of its span.
std::string_view fieldText(const char *span, std::size_t size);

// The longest prefix of gbk that fits in maxBytes without splitting a
// double-byte character.
std::size_t fittingPrefix(std::string_view gbk, std::size_t maxBytes);

// Copies gbk into a field of span bytes: cut at a character boundary so
// that it always ends with a NUL inside the span; the rest is zero-filled.
// Returns false when the text had to be cut.
bool copyToField(std::string_view gbk, char *span, std::size_t size);

} // namespace kav::cp936
