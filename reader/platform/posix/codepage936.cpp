// Code page 936 through glibc's iconv.
#include "codepage936.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace kav::cp936 {
namespace {

constexpr const char *kCodePage = "CP936";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD in UTF-8

// One converter per direction and thread: iconv_t keeps shift state and is
// not safe to share between threads.
class Converter {
  public:
    Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (valid())
            iconv_close(cd_);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    void reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

    // Converts as much as it can; returns the number of input bytes used
    // and sets err to 0 (all used), EILSEQ or EINVAL.
    std::size_t run(std::string_view in, std::string &out, int &err) {
        char *inPtr = const_cast<char *>(in.data());
        std::size_t inLeft = in.size();
        err = 0;
        while (inLeft > 0) {
            char buffer[256];
            char *outPtr = buffer;
            std::size_t outLeft = sizeof buffer;
            const std::size_t rc = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
            out.append(buffer, sizeof buffer - outLeft);
            if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
                err = errno;
                break;
            }
        }
        return in.size() - inLeft;
    }

  private:
    iconv_t cd_;
};

Converter &decoder() {
    thread_local Converter c("UTF-8", kCodePage);
    return c;
}

Converter &encoder() {
    thread_local Converter c(kCodePage, "UTF-8");
    return c;
}

// Length of the UTF-8 sequence that starts with lead, 1 for a stray byte.
std::size_t utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    if (lead >= 0xE0)
        return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2)
        return 2;
    return 1;
}

} // namespace

std::string toUtf8(std::string_view gbk) {
    std::string out;
    out.reserve(gbk.size() * 3 / 2);
    Converter &c = decoder();
    if (!c.valid()) {
        for (unsigned char ch : gbk)
            out += ch < 0x80 ? std::string(1, static_cast<char>(ch)) : std::string(kReplacement);
        return out;
    }
    c.reset();
    while (!gbk.empty()) {
        int err = 0;
        const std::size_t used = c.run(gbk, out, err);
        gbk.remove_prefix(used);
        if (err == 0)
            break;
        out += kReplacement;
        if (err == EINVAL)
            break; // cut off at the end
        gbk.remove_prefix(1);
        c.reset();
    }
    return out;
}

std::optional<std::string> fromUtf8(std::string_view utf8) {
    Converter &c = encoder();
    if (!c.valid())
        return std::nullopt;
    c.reset();
    std::string out;
    int err = 0;
    c.run(utf8, out, err);
    if (err != 0)
        return std::nullopt;
    return out;
}

std::string fromUtf8Lossy(std::string_view utf8) {
    std::string out;
    Converter &c = encoder();
    if (!c.valid())
        return out;
    c.reset();
    while (!utf8.empty()) {
        int err = 0;
        const std::size_t used = c.run(utf8, out, err);
        utf8.remove_prefix(used);
        if (err == 0)
            break;
        out += '?';
        if (err == EINVAL)
            break;
        // One '?' per character: the lead byte and the continuation bytes
        // that belong to it, but never a byte that starts something else.
        const std::size_t length = utf8SequenceLength(static_cast<unsigned char>(utf8.front()));
        std::size_t skip = 1;
        while (skip < length && skip < utf8.size() &&
               (static_cast<unsigned char>(utf8[skip]) & 0xC0) == 0x80)
            ++skip;
        utf8.remove_prefix(skip);
        c.reset();
    }
    return out;
}

} // namespace kav::cp936
