// Text helpers of the toolkit-free layer: printf-style formatting (GCC 12
// has no std::format) and the number-entry rules of the edit boxes.
#pragma once

#include <string>
#include <string_view>

// Formats as std::snprintf does.
[[gnu::format(printf, 1, 2)]] std::string textf(const char *format, ...);

// A number typed into an edit box (UTF-8), read the way atoi reads it:
// leading white space, an optional sign, then ASCII digits up to the first
// other character; no digits gives 0. Beyond 32 bits it saturates at the limit.
int numberEntry(std::string_view text);
