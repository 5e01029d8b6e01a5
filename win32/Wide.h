// The window speaks UTF-16, the handlers UTF-8: conversions that never
// alter a text silently.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Invalid UTF-8 becomes U+FFFD, as the handlers only ever give valid text.
std::wstring toWide(std::string_view utf8);
// None when the text holds a lone surrogate, which UTF-8 cannot carry.
std::optional<std::string> toUtf8(std::wstring_view utf16);
