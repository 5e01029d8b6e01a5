#include "photoname.h"

#include "card/utf16.h"
#include "codepage936.h"

#include <algorithm>
#include <iterator>

namespace kav::photo {
namespace {

bool isRemoved(char16_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) // C0, DEL, C1
           || c == u'/' ||
           c == u'\\'
           // Invisible format controls could disguise a name's end (an
           // extension written right to left).
           || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

bool isSpace(char16_t c) {
    return c == u' ' || c == 0x3000;
}

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

// A character the record's code page cannot hold would leave the photo
// with a path the record cannot give: it becomes '_', so a rare character
// in a name costs a character of the file name, not the read.
std::u16string withGbkCharactersOnly(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t width = isHighSurrogate(text[i]) && i + 1 < text.size() ? 2 : 1;
        const std::u16string_view character = text.substr(i, width);
        if (cp936::fromUtf8(card::toUtf8(character)))
            out += character;
        else
            out += u'_';
        i += width - 1;
    }
    return out;
}

} // namespace

std::u16string cleanNamePart(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    // The card text shows a control character as '?'. In a file name it
    // goes, as the control character itself would: it is also a shell
    // wildcard and not allowed on Windows.
    std::copy_if(text.begin(), text.end(), std::back_inserter(out),
                 [](char16_t c) { return !isRemoved(c) && c != u'?'; });
    out = withGbkCharactersOnly(out);
    // Leading dots would hide the file from its user (and "." or ".." name
    // no file at all): they go with the spaces around the name.
    const auto first = std::find_if_not(out.begin(), out.end(),
                                        [](char16_t c) { return isSpace(c) || c == u'.'; });
    const auto last = std::find_if_not(out.rbegin(), out.rend(), isSpace).base();
    return first < last ? std::u16string(first, last) : std::u16string();
}

std::optional<std::u16string> photoBaseName(NameScheme scheme, std::u16string_view name,
                                            std::u16string_view idNumber) {
    std::u16string base;
    switch (scheme) {
    case NameScheme::Tmp:
        base = u"tmp";
        break;
    case NameScheme::HolderName:
        base = cleanNamePart(name);
        break;
    case NameScheme::IdNumber:
        base = cleanNamePart(idNumber);
        break;
    case NameScheme::NameAndIdNumber: {
        // One missing part still leaves a meaningful name: keep the photo
        // under the other rather than lose it.
        const std::u16string first = cleanNamePart(name);
        const std::u16string second = cleanNamePart(idNumber);
        base = first.empty() || second.empty() ? first + second : first + u"_" + second;
        break;
    }
    }
    if (std::all_of(base.begin(), base.end(), [](char16_t c) { return c == u'.'; }))
        return std::nullopt; // also catches the empty name
    return base;
}

} // namespace kav::photo
