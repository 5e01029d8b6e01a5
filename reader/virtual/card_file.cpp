#include "virtual/card_file.h"

#include "protocol/text_block.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace kav::virt {

// The built-in card's JSON, generated from cards/ordinary.json at build time.
extern const char kOrdinaryCardJson[];
extern const std::size_t kOrdinaryCardJsonSize;

namespace {

using Json = nlohmann::json;

// The card file's key for each field, in proto::TextField's order.
constexpr std::string_view kKeys[proto::kTextFieldCount] = {
    "name",        "sex",         "nation",     "birthDate",   "address",       "idNumber",
    "issuer",      "validFrom",   "validUntil", "englishName", "cardNumber",    "nationality",
    "chineseName", "cardVersion", "issuerCode", "passNumber",  "issuanceCount",
};

constexpr TextField fieldOf(const proto::TextFieldLayout &layout) {
    return {kKeys[static_cast<std::size_t>(layout.field)], layout.offset, layout.bytes};
}

constexpr std::array<TextField, proto::kTextLayout.size()> residentTable() {
    std::array<TextField, proto::kTextLayout.size()> fields{};
    for (std::size_t i = 0; i < fields.size(); ++i)
        fields[i] = fieldOf(proto::kTextLayout[i]);
    return fields;
}
constexpr std::array<TextField, proto::kTextLayout.size()> kFields = residentTable();

constexpr std::size_t kMaxAddresses = 4;

// A card file is a few kilobytes; anything much larger is not one.
constexpr std::size_t kMaxFileSize = 64 * 1024;

void putSpaces(std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
        out[i] = 0x20;
        out[i + 1] = 0x00;
    }
}

std::string fieldError(std::string_view key, const std::string &what) {
    return "field \"" + std::string(key) + "\" " + what;
}

// UTF-8 to UCS-2, strictly: no overlong forms, no encoded surrogates, and
// nothing outside the basic plane, which a card cannot hold.
bool toUcs2(std::string_view key, std::string_view utf8, std::u16string &out, std::string &error) {
    out.clear();
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(utf8[i]); };
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char lead = byte(i);
        std::size_t length = 0;
        char32_t c = 0;
        char32_t least = 0;
        if (lead < 0x80) {
            length = 1, c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, c = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, c = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, c = lead & 0x07, least = 0x10000;
        } else {
            error = fieldError(key, "is not valid UTF-8");
            return false;
        }
        if (i + length > utf8.size()) {
            error = fieldError(key, "is not valid UTF-8");
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) {
                error = fieldError(key, "is not valid UTF-8");
                return false;
            }
            c = (c << 6) | (byte(i + k) & 0x3F);
        }
        if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            error = fieldError(key, "is not valid UTF-8");
            return false;
        }
        if (c > 0xFFFF) {
            error = fieldError(key, "has a character outside the basic plane, which UCS-2 "
                                    "cannot hold");
            return false;
        }
        out.push_back(static_cast<char16_t>(c));
        i += length;
    }
    return true;
}

// One field into its span: UCS-2 LE, padded with spaces.
bool putText(std::string_view key, std::string_view utf8, std::span<std::uint8_t> out,
             std::string &error);

bool putField(const TextField &field, std::string_view utf8, Card &card, std::string &error) {
    return putText(field.key, utf8, std::span(card.text.data() + field.offset, field.bytes), error);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Exactly out.size() bytes as hex digits, nothing else.
bool fromHex(std::string_view hex, std::span<std::uint8_t> out) {
    if (hex.size() != 2 * out.size())
        return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hexDigit(hex[2 * i]);
        const int low = hexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

int base64Digit(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// The standard alphabet; padding optional but, when present, only at the
// end and completing the last group; no whitespace; unused bits zero.
std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && text.size() - end < 2 && text[end - 1] == '=')
        --end;
    const std::size_t padding = text.size() - end;
    if (padding != 0 && text.size() % 4 != 0)
        return std::nullopt;
    if (end % 4 == 1)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(end / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const int digit = base64Digit(text[i]);
        if (digit < 0)
            return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(digit);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> held));
            bits &= (1u << held) - 1;
        }
    }
    if (bits != 0)
        return std::nullopt;
    return out;
}

bool isFieldKey(std::string_view key) {
    return std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys);
}

bool isKnownKey(const std::string &key) {
    if (key == "comment" || key == "photo" || key == "textBlock" || key == "cardType" ||
        key == "fingerprint" || key == "appendedAddresses")
        return true;
    return isFieldKey(key);
}

// UTF-8 into `bytes` bytes of UCS-2 LE padded with spaces.
bool putText(std::string_view key, std::string_view utf8, std::span<std::uint8_t> out,
             std::string &error) {
    std::u16string value;
    if (!toUcs2(key, utf8, value, error))
        return false;
    if (value.size() * 2 > out.size()) {
        error =
            fieldError(key, "has " + std::to_string(value.size()) + " characters; the card holds " +
                                std::to_string(out.size() / 2));
        return false;
    }
    putSpaces(out);
    for (std::size_t i = 0; i < value.size(); ++i) {
        out[2 * i] = static_cast<std::uint8_t>(value[i] & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(value[i] >> 8);
    }
    return true;
}

std::optional<std::string> readFingerprint(const Json &value, Card &card) {
    if (!value.is_string())
        return "\"fingerprint\" must be \"synthetic\" or base64";
    const std::string &text = value.get_ref<const std::string &>();
    if (text == "synthetic") {
        card.fingerprint = syntheticFingerprint();
        return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> bytes = fromBase64(text);
    if (!bytes)
        return "\"fingerprint\" is not valid base64";
    if (std::find(std::begin(proto::kFingerprintSizes), std::end(proto::kFingerprintSizes),
                  bytes->size()) == std::end(proto::kFingerprintSizes) ||
        bytes->empty())
        return "\"fingerprint\" is " + std::to_string(bytes->size()) +
               " bytes; a card holds 512 or 1024";
    card.fingerprint = std::move(*bytes);
    return std::nullopt;
}

std::optional<std::string> readAddresses(const Json &value, Card &card) {
    if (!value.is_array() || value.size() > kMaxAddresses)
        return "\"appendedAddresses\" must be a list of at most " + std::to_string(kMaxAddresses) +
               " strings";
    for (const Json &item : value) {
        if (!item.is_string())
            return "\"appendedAddresses\" must be a list of strings";
        Address address{};
        std::string error;
        if (!putText("appendedAddresses", item.get_ref<const std::string &>(), address, error))
            return error;
        card.addresses.push_back(address);
    }
    return std::nullopt;
}

CardResult fail(std::string error) {
    return CardResult{std::nullopt, std::move(error)};
}

// nlohmann's messages start with "[json.exception.parse_error.101] ".
std::string parseMessage(const nlohmann::json::exception &e) {
    std::string message = e.what();
    if (const std::size_t at = message.find("] "); at != std::string::npos)
        message.erase(0, at + 2);
    return message;
}

} // namespace

std::span<const TextField> textFields() {
    return kFields;
}

std::vector<TextField> textFields(proto::CardType type) {
    std::vector<TextField> fields;
    if (const proto::CardLayout *layout = proto::layoutOf(type))
        for (const proto::TextFieldLayout &f : layout->fields)
            fields.push_back(fieldOf(f));
    return fields;
}

std::vector<std::uint8_t> syntheticFingerprint() {
    std::vector<std::uint8_t> bytes(proto::kFingerprintMaxSize);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 37 + 11) % 256);
    return bytes;
}

CardResult parseCard(std::span<const char> json) {
    // The parser checks UTF-8 itself; to name the field whose value is not
    // UTF-8, follow which key's value is being parsed.
    std::string valueOf;
    int depth = 0;
    const Json::parser_callback_t follow = [&](int level, Json::parse_event_t event, Json &parsed) {
        depth = level;
        if (level == 1 && event == Json::parse_event_t::key)
            valueOf = parsed.get<std::string>();
        else if (level == 1 && event == Json::parse_event_t::value)
            valueOf.clear();
        return true;
    };
    Json obj;
    try {
        obj = Json::parse(json.begin(), json.end(), follow);
    } catch (const Json::parse_error &e) {
        const std::string message = parseMessage(e);
        if (message.find("UTF-8") != std::string::npos && depth == 1 && !valueOf.empty())
            return fail(fieldError(valueOf, "is not valid UTF-8"));
        return fail("not valid JSON: " + message + " at offset " + std::to_string(e.byte));
    } catch (const Json::exception &e) {
        // A number past a double's range (1e400, thousands of digits) is
        // no parse error to the parser but out of range.
        return fail("not a usable card file: " + parseMessage(e));
    }
    if (!obj.is_object())
        return fail("a card file holds one JSON object");
    for (const auto &[key, value] : obj.items()) {
        if (!isKnownKey(key))
            return fail("unknown key \"" + key + "\"");
    }

    Card card;
    std::string error;
    if (obj.contains("textBlock")) {
        for (const std::string_view key : kKeys) {
            if (obj.contains(key))
                return fail("a card file gives either \"textBlock\" or the fields, not both");
        }
        const Json &v = obj["textBlock"];
        if (!v.is_string() || !fromHex(v.get_ref<const std::string &>(), card.text))
            return fail("\"textBlock\" must be " + std::to_string(2 * proto::kTextSize) +
                        " hex digits");
        if (obj.contains("cardType"))
            return fail("a card file with \"textBlock\" has its type letter in the block");
    } else {
        char16_t letter = u' ';
        if (const auto it = obj.find("cardType"); it != obj.end()) {
            const std::string text = it->is_string() ? it->get<std::string>() : std::string();
            if (text.size() != 1 ||
                proto::cardTypeOf(static_cast<char16_t>(text[0])) == proto::CardType::Unknown)
                return fail("\"cardType\" must be \" \", \"I\" or \"J\"; give a card of another "
                            "type as \"textBlock\"");
            letter = static_cast<char16_t>(text[0]);
        }
        const std::vector<TextField> fields = textFields(proto::cardTypeOf(letter));
        for (const auto &[key, value] : obj.items()) {
            if (isFieldKey(key) && std::none_of(fields.begin(), fields.end(),
                                                [&](const TextField &f) { return f.key == key; }))
                return fail(fieldError(key, "is not on a card of type \"" +
                                                std::string(1, static_cast<char>(letter)) + "\""));
        }
        putSpaces(card.text);
        for (const TextField &f : fields) {
            const auto it = obj.find(f.key);
            if (it == obj.end() || !it->is_string())
                return fail(fieldError(f.key, "is missing or not a string"));
            if (!putField(f, it->get_ref<const std::string &>(), card, error))
                return fail(error);
        }
        card.text[proto::kTypeLetterOffset] = static_cast<std::uint8_t>(letter);
        card.text[proto::kTypeLetterOffset + 1] = 0;
    }
    if (const auto it = obj.find("fingerprint"); it != obj.end())
        if (std::optional<std::string> why = readFingerprint(*it, card))
            return fail(*why);
    if (const auto it = obj.find("appendedAddresses"); it != obj.end())
        if (std::optional<std::string> why = readAddresses(*it, card))
            return fail(*why);

    if (const auto it = obj.find("photo"); it != obj.end()) {
        const std::optional<std::vector<std::uint8_t>> photo =
            it->is_string() ? fromBase64(it->get_ref<const std::string &>()) : std::nullopt;
        if (!photo)
            return fail("\"photo\" is not valid base64");
        if (photo->size() > proto::kPhotoSize)
            return fail("\"photo\" is " + std::to_string(photo->size()) +
                        " bytes; the card holds " + std::to_string(proto::kPhotoSize));
        std::copy(photo->begin(), photo->end(), card.photo.begin());
    }
    return CardResult{card, {}};
}

CardResult loadCardFile(const std::string &path) {
    std::string error;
    const std::optional<std::vector<char>> data = readCardFile(path, kMaxFileSize, error);
    if (!data)
        return fail(path + ": " + error);
    if (data->size() > kMaxFileSize)
        return fail(path + ": too large for a card file (more than " +
                    std::to_string(kMaxFileSize / 1024) + " KiB)");
    CardResult result = parseCard(std::span(data->data(), data->size()));
    if (!result.card)
        result.error = path + ": " + result.error;
    return result;
}

Card defaultCard() {
    CardResult result = parseCard(std::span(kOrdinaryCardJson, kOrdinaryCardJsonSize));
    if (result.card)
        return *result.card;
    // The build embeds a card that the tests load; reaching this means the
    // build is broken. A blank card keeps the reader answering.
    Card blank;
    putSpaces(blank.text);
    return blank;
}

} // namespace kav::virt
