// Fuzz target: the code page 936 conversions, on input taken both as GBK
// and as UTF-8.
//
// Checks:
//  - toUtf8 always gives valid UTF-8; when it replaced nothing, fromUtf8
//    takes the result back (a character read from GBK can be written again);
//  - fromUtf8 refuses invalid UTF-8, and whatever it converts comes back
//    unchanged through toUtf8, from the raw input and from toUtf8's output;
//  - fromUtf8Lossy agrees with fromUtf8 where that succeeds, and otherwise
//    gives GBK that decodes without replacements, one character for each
//    character of valid input;
//  - fittingPrefix never splits a character of real GBK and never wastes
//    more than one byte; copyToField, at sizes taken from the input, fills
//    exactly its span (guard bytes around it stay untouched), ends with a NUL
//    and reports a cut exactly when it made one; fieldText stops at the
//    first NUL or the span's end.
#include "check.h"
#include "codepage936.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace cp936 = kav::cp936;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Strict UTF-8: shortest form, no surrogates, nothing past U+10FFFF.
// Returns the number of code points, or -1 when invalid.
long utf8Length(std::string_view s) {
    long count = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        char32_t cp = 0;
        if (b < 0x80) {
            ++i;
            ++count;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF)
            n = 2, cp = b & 0x1F;
        else if (b >= 0xE0 && b <= 0xEF)
            n = 3, cp = b & 0x0F;
        else if (b >= 0xF0 && b <= 0xF4)
            n = 4, cp = b & 0x07;
        else
            return -1;
        if (i + n > s.size())
            return -1;
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                return -1;
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return -1;
        i += n;
        ++count;
    }
    return count;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

void checkConversions(std::string_view input) {
    const std::string utf8 = cp936::toUtf8(input);
    FUZZ_CHECK(utf8Length(utf8) >= 0);
    // Every GBK byte yields at least one character or a replacement; no
    // character comes out of nothing.
    FUZZ_CHECK(static_cast<std::size_t>(utf8Length(utf8)) <= input.size());

    const long inputLength = utf8Length(input);
    const auto exact = cp936::fromUtf8(input);
    if (inputLength < 0)
        FUZZ_CHECK(!exact.has_value());
    if (exact) {
        FUZZ_CHECK(cp936::toUtf8(*exact) == input);
        FUZZ_CHECK(cp936::fromUtf8Lossy(input) == *exact);
    }

    const auto back = cp936::fromUtf8(utf8);
    if (!contains(utf8, kReplacement))
        FUZZ_CHECK(back.has_value());
    if (back)
        FUZZ_CHECK(cp936::toUtf8(*back) == utf8);

    const std::string lossy = cp936::fromUtf8Lossy(input);
    const std::string lossyText = cp936::toUtf8(lossy);
    FUZZ_CHECK(!contains(lossyText, kReplacement));
    const long lossyLength = utf8Length(lossyText);
    FUZZ_CHECK(lossyLength >= 0);
    if (inputLength >= 0)
        FUZZ_CHECK(lossyLength == inputLength);
    else
        FUZZ_CHECK(static_cast<std::size_t>(lossyLength) <= input.size());
}

// gbkIsReal: the text came out of the converter, so its character
// boundaries are known to be right.
void checkPrefix(std::string_view gbk, std::size_t maxBytes, bool gbkIsReal) {
    const std::size_t n = cp936::fittingPrefix(gbk, maxBytes);
    FUZZ_CHECK(n <= maxBytes && n <= gbk.size());
    // Characters are one or two bytes: a cut wastes at most one.
    FUZZ_CHECK(n + 1 >= std::min(maxBytes, gbk.size()));
    if (maxBytes >= gbk.size())
        FUZZ_CHECK(n == gbk.size());
    // The prefix ends on a boundary of its own.
    FUZZ_CHECK(cp936::fittingPrefix(gbk.substr(0, n), n) == n);
    if (maxBytes > 0)
        FUZZ_CHECK(cp936::fittingPrefix(gbk, maxBytes - 1) <= n);
    if (gbkIsReal) {
        const std::string whole = cp936::toUtf8(gbk);
        const std::string part = cp936::toUtf8(gbk.substr(0, n));
        FUZZ_CHECK(whole.compare(0, part.size(), part) == 0);
        FUZZ_CHECK(!contains(part, kReplacement) || contains(whole, kReplacement));
    }
}

void checkCopy(std::string_view gbk, std::size_t size) {
    constexpr std::size_t kGuardSize = 32;
    constexpr char kGuard = '\x5A';
    std::vector<char> buffer(kGuardSize + size + kGuardSize, kGuard);
    char *span = buffer.data() + kGuardSize;

    const bool whole = cp936::copyToField(gbk, size == 0 ? nullptr : span, size);
    for (std::size_t i = 0; i < kGuardSize; ++i) {
        FUZZ_CHECK(buffer[i] == kGuard);
        FUZZ_CHECK(buffer[kGuardSize + size + i] == kGuard);
    }
    if (size == 0) {
        FUZZ_CHECK(whole == gbk.empty());
        FUZZ_CHECK(cp936::copyToField(gbk, span, 0) == gbk.empty());
        FUZZ_CHECK(buffer[kGuardSize] == kGuard);
        return;
    }
    const std::size_t n = cp936::fittingPrefix(gbk, size - 1);
    FUZZ_CHECK(whole == (n == gbk.size()));
    FUZZ_CHECK(std::memcmp(span, gbk.data(), n) == 0);
    for (std::size_t i = n; i < size; ++i)
        FUZZ_CHECK(span[i] == 0);

    const std::string_view text = cp936::fieldText(span, size);
    FUZZ_CHECK(text == gbk.substr(0, std::min(n, gbk.substr(0, n).find('\0'))));
}

void checkFieldText(std::string_view bytes) {
    const std::string_view text = cp936::fieldText(bytes.data(), bytes.size());
    FUZZ_CHECK(text.data() == bytes.data());
    FUZZ_CHECK(text == bytes.substr(0, bytes.find('\0')));
    FUZZ_CHECK(cp936::fieldText(nullptr, bytes.size()).empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    checkConversions(input);
    checkFieldText(input);

    const std::string lossy = cp936::fromUtf8Lossy(input);
    for (const bool real : {false, true}) {
        const std::string_view gbk = real ? std::string_view(lossy) : input;
        // The edges (nothing, one byte, one short, exact, one over) and two
        // sizes the input picks.
        std::vector<std::size_t> sizes{0, 1, 2, gbk.size(), gbk.size() + 1};
        if (size > 0) {
            sizes.push_back(gbk.size() > 0 ? gbk.size() - 1 : 0);
            sizes.push_back(data[0] % (gbk.size() + 2));
            sizes.push_back(data[size - 1] % 80);
        }
        for (std::size_t n : sizes) {
            checkPrefix(gbk, n, real);
            checkCopy(gbk, n);
        }
    }
    return 0;
}
