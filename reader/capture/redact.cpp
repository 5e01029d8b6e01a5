#include "capture/redact.h"

#include "protocol/protocol.h"
#include "protocol/text_block.h"

#include <algorithm>

namespace kav::capture {
namespace {

using proto::TextField;

// Offsets in a read answer's frame: header, SW1-SW3, two lengths.
constexpr std::size_t kDataAt = proto::kHeaderSize + 3;
constexpr std::size_t kTextAt = kDataAt + 4;
constexpr std::size_t kPhotoAt = kTextAt + proto::kTextSize;
constexpr std::size_t kReadFrameLength = 3 + proto::kReadDataSize + 1;

const std::u16string kFictionalHan = u"示例甲乙丙丁戊己庚辛壬癸子丑寅卯辰巳午未申酉戌亥";
const std::u16string kFictionalPlace = u"示例省样本市演示区测试路一号";
const std::u16string kFictionalIssuer = u"示例市公安局";
const std::u16string kFictionalLatin = u"SAMPLEHOLDERTESTNAME";

std::u16string fictionalId(std::size_t length) {
    // A well-formed number of the right length: region, birth date, serial
    // and the ISO 7064 check character, so that tools checking it go on.
    std::u16string id = u"11010120000101001";
    if (length != 18)
        return std::u16string();
    static const int weights[] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    int sum = 0;
    for (std::size_t i = 0; i < 17; ++i)
        sum += (id[i] - u'0') * weights[i];
    id += u"10X98765432"[sum % 11];
    return id;
}

// Each character by its class: a digit by a digit, a Latin letter by one of
// the same case, a Han character by a fictional one, spaces and padding
// kept, so the field's length and layout stay as they were.
std::u16string substitute(const std::u16string &value, TextField field) {
    if (field == TextField::IdNumber && value.size() == 18)
        return fictionalId(18);
    const bool date =
        field == TextField::Born || field == TextField::ValidFrom || field == TextField::ValidUntil;
    if (date && value.size() == 8 &&
        std::all_of(value.begin(), value.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; }))
        return field == TextField::Born        ? u"20000101"
               : field == TextField::ValidFrom ? u"20200101"
                                               : u"20400101";
    const std::u16string &han = field == TextField::Address  ? kFictionalPlace
                                : field == TextField::Issuer ? kFictionalIssuer
                                                             : kFictionalHan;
    std::u16string out = value;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const char16_t c = out[i];
        if (c == u' ' || c == 0)
            continue;
        if (c >= u'0' && c <= u'9')
            out[i] = field == TextField::Sex ? u'9' : static_cast<char16_t>(u'0' + (i % 10));
        else if (c >= u'A' && c <= u'Z')
            out[i] = kFictionalLatin[i % kFictionalLatin.size()];
        else if (c >= u'a' && c <= u'z')
            out[i] =
                static_cast<char16_t>(kFictionalLatin[i % kFictionalLatin.size()] - u'A' + u'a');
        else if (c >= 0x80)
            out[i] = han[i % han.size()];
        else
            out[i] = u'X';
    }
    return out;
}

void utf8(std::string &out, char16_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string trimmedUtf8(const std::u16string &s) {
    std::string out;
    for (char16_t c : s)
        if (c != u' ' && c != 0)
            utf8(out, c);
    return out;
}

std::u16string readUcs2(const std::vector<std::uint8_t> &b, std::size_t at, std::size_t bytes) {
    std::u16string s;
    for (std::size_t i = 0; i + 1 < bytes; i += 2)
        s += static_cast<char16_t>(b[at + i] | b[at + i + 1] << 8);
    return s;
}

void writeUcs2(std::vector<std::uint8_t> &b, std::size_t at, const std::u16string &s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        b[at + 2 * i] = static_cast<std::uint8_t>(s[i]);
        b[at + 2 * i + 1] = static_cast<std::uint8_t>(s[i] >> 8);
    }
}

std::span<const proto::TextFieldLayout> layoutOf(const std::vector<std::uint8_t> &b) {
    const std::size_t letterAt = kTextAt + proto::kTypeLetterOffset;
    char16_t letter = u' ';
    if (b.size() >= letterAt + 2)
        letter = static_cast<char16_t>(b[letterAt] | b[letterAt + 1] << 8);
    for (const proto::CardLayout &layout : proto::kCardLayouts)
        if (layout.letter == letter)
            return layout.fields;
    // An unknown type: every field of the resident layout is still personal.
    return proto::kTextLayout;
}

bool startsWithPreamble(const std::vector<std::uint8_t> &b) {
    return b.size() >= proto::kPreambleSize &&
           std::equal(proto::kPreamble.begin(), proto::kPreamble.end(), b.begin());
}

// The checksum made right for the new bytes, or wrong by the same bits.
void recomputeChecksum(const std::vector<std::uint8_t> &before, std::vector<std::uint8_t> &after) {
    if (after.size() < proto::kHeaderSize + 2)
        return;
    const std::size_t length = std::size_t{after[5]} << 8 | after[6];
    if (after.size() != proto::kHeaderSize + length)
        return; // cut short: no checksum byte among them
    const auto body = [](const std::vector<std::uint8_t> &f) {
        return proto::checksum(
            std::span(f).subspan(proto::kPreambleSize, f.size() - proto::kPreambleSize - 1));
    };
    const std::uint8_t error = before.back() ^ body(before);
    after.back() = body(after) ^ error;
}

} // namespace

void Redactor::setPorts(const std::vector<Port> &ports) {
    portNames_.clear();
    for (const Port &p : ports)
        portNames_.push_back(p.name);
}

std::string Redactor::applyText(std::string text) const {
    for (const auto &[real, fictional] : seen_) {
        if (real.empty())
            continue;
        for (std::size_t at = text.find(real); at != std::string::npos;
             at = text.find(real, at + fictional.size()))
            text.replace(at, real.size(), fictional);
    }
    return text;
}

void Redactor::applyBytes(const std::string &port, Direction direction,
                          std::vector<std::uint8_t> &b) {
    if (!startsWithPreamble(b))
        return;
    if (direction == Direction::ToReader) {
        if (b.size() >= proto::kHeaderSize + 2)
            lastCommand_[port] = static_cast<std::uint16_t>(b[7] << 8 | b[8]);
        return;
    }
    const auto command = lastCommand_.find(port);
    if (command == lastCommand_.end())
        return;
    const proto::Command sent{static_cast<std::uint8_t>(command->second >> 8),
                              static_cast<std::uint8_t>(command->second)};
    const std::vector<std::uint8_t> before = b;
    if (sent == proto::kReadCard || sent == proto::kReadFingerprint) {
        // Only an answer with the read's length: a short failure carries
        // nothing personal.
        if (b.size() < proto::kHeaderSize || (std::size_t{b[5]} << 8 | b[6]) < kReadFrameLength)
            return;
        for (const proto::TextFieldLayout &f : layoutOf(b)) {
            const std::size_t at = kTextAt + f.offset;
            if (at >= b.size())
                continue;
            const std::size_t bytes = std::min(f.bytes, (b.size() - at) & ~std::size_t{1});
            const std::u16string real = readUcs2(b, at, bytes);
            const std::u16string fictional = substitute(real, f.field);
            writeUcs2(b, at, fictional);
            // Whole fields only: a cut one is not the value a text holds.
            if (bytes == f.bytes && f.field != TextField::Sex && f.field != TextField::Nation)
                seen_[trimmedUtf8(real)] = trimmedUtf8(fictional);
        }
        const std::size_t photoEnd = std::min(b.size(), kPhotoAt + proto::kPhotoSize);
        for (std::size_t i = kPhotoAt; i < photoEnd; ++i)
            b[i] = static_cast<std::uint8_t>((i - kPhotoAt) * 37 + 11);
    } else if (sent == proto::kReadAddress) {
        if (b.size() <= kDataAt)
            return;
        const std::size_t end = b.size() == proto::kHeaderSize + (std::size_t{b[5]} << 8 | b[6])
                                    ? b.size() - 1
                                    : b.size();
        const std::size_t bytes = (end - kDataAt) & ~std::size_t{1};
        const std::u16string real = readUcs2(b, kDataAt, bytes);
        writeUcs2(b, kDataAt, substitute(real, TextField::Address));
        seen_[trimmedUtf8(real)] = trimmedUtf8(substitute(real, TextField::Address));
    } else {
        return;
    }
    recomputeChecksum(before, b);
}

void Redactor::apply(Record &r) {
    if (r.kind != Record::Kind::Event && r.port < portNames_.size())
        applyBytes(portNames_[r.port], r.direction, r.bytes);
    r.text = applyText(std::move(r.text));
}

void redact(Capture &capture) {
    Redactor redactor;
    redactor.setPorts(capture.ports);
    for (Record &r : capture.records)
        redactor.apply(r);
}

} // namespace kav::capture
