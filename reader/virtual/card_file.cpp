#include "virtual/card_file.h"

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <algorithm>
#include <cctype>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initCardResources() {
    Q_INIT_RESOURCE(kav_virtual_cards);
}

namespace kav::virt {
namespace {

constexpr TextField kFields[] = {
    {"name", 0, 30},       {"sex", 30, 2},         {"nation", 32, 4},
    {"birthDate", 36, 16}, {"address", 52, 70},    {"idNumber", 122, 36},
    {"issuer", 158, 30},   {"validFrom", 188, 16}, {"validUntil", 204, 16},
};
constexpr std::size_t kReservedOffset = 220; // 36 bytes, spaces like the rest

void putSpaces(std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
        out[i] = 0x20;
        out[i + 1] = 0x00;
    }
}

// One field into its span: UCS-2 LE, padded with spaces. A card holds no
// characters outside the basic plane, so a surrogate is an error too.
bool putField(const TextField &field, const QString &value, Card &card, std::string &error) {
    const std::size_t chars = static_cast<std::size_t>(value.size());
    if (chars * 2 > field.bytes) {
        error = "field \"" + std::string(field.key) + "\" has " + std::to_string(chars) +
                " characters; the card holds " + std::to_string(field.bytes / 2);
        return false;
    }
    std::span<std::uint8_t> out(card.text.data() + field.offset, field.bytes);
    putSpaces(out);
    for (std::size_t i = 0; i < chars; ++i) {
        const char16_t c = value[static_cast<qsizetype>(i)].unicode();
        if (c >= 0xD800 && c <= 0xDFFF) {
            error = "field \"" + std::string(field.key) +
                    "\" has a character outside the basic plane, which UCS-2 cannot hold";
            return false;
        }
        out[2 * i] = static_cast<std::uint8_t>(c & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(c >> 8);
    }
    return true;
}

bool isKnownKey(const QString &key) {
    if (key == u"comment" || key == u"photo" || key == u"textBlock")
        return true;
    return std::any_of(std::begin(kFields), std::end(kFields), [&](const TextField &f) {
        return key == QLatin1StringView(f.key.data(), static_cast<qsizetype>(f.key.size()));
    });
}

CardResult fail(std::string error) {
    return CardResult{std::nullopt, std::move(error)};
}

} // namespace

std::span<const TextField> textFields() {
    return kFields;
}

CardResult parseCard(std::span<const char> json) {
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray(json.data(), static_cast<qsizetype>(json.size())), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail("not valid JSON: " + parseError.errorString().toStdString() + " at offset " +
                    std::to_string(parseError.offset));
    if (!doc.isObject())
        return fail("a card file holds one JSON object");
    const QJsonObject obj = doc.object();
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        if (!isKnownKey(it.key()))
            return fail("unknown key \"" + it.key().toStdString() + "\"");
    }

    Card card;
    std::string error;
    if (obj.contains(u"textBlock")) {
        for (const TextField &f : kFields) {
            if (obj.contains(QLatin1StringView(f.key.data(), static_cast<qsizetype>(f.key.size()))))
                return fail("a card file gives either \"textBlock\" or the fields, not both");
        }
        const QJsonValue v = obj.value(u"textBlock");
        const QByteArray hex = v.toString().toLatin1();
        const QByteArray raw = QByteArray::fromHex(hex);
        // fromHex skips invalid characters silently; insist on clean input.
        const bool allHex = std::all_of(hex.begin(), hex.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        });
        if (!v.isString() || !allHex ||
            hex.size() != static_cast<qsizetype>(2 * proto::kTextSize) ||
            raw.size() != static_cast<qsizetype>(proto::kTextSize))
            return fail("\"textBlock\" must be " + std::to_string(2 * proto::kTextSize) +
                        " hex digits");
        std::copy(raw.begin(), raw.end(), card.text.begin());
    } else {
        putSpaces(std::span(card.text).subspan(kReservedOffset));
        for (const TextField &f : kFields) {
            const QJsonValue v =
                obj.value(QLatin1StringView(f.key.data(), static_cast<qsizetype>(f.key.size())));
            if (!v.isString())
                return fail("field \"" + std::string(f.key) + "\" is missing or not a string");
            if (!putField(f, v.toString(), card, error))
                return fail(error);
        }
    }

    if (obj.contains(u"photo")) {
        const QJsonValue v = obj.value(u"photo");
        const auto decoded = QByteArray::fromBase64Encoding(
            v.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!v.isString() || !decoded)
            return fail("\"photo\" is not valid base64");
        const QByteArray &photo = *decoded;
        if (photo.size() > static_cast<qsizetype>(proto::kPhotoSize))
            return fail("\"photo\" is " + std::to_string(photo.size()) + " bytes; the card holds " +
                        std::to_string(proto::kPhotoSize));
        std::copy(photo.begin(), photo.end(), card.photo.begin());
    }
    return CardResult{card, {}};
}

CardResult loadCardFile(const std::string &path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return fail(path + ": " + file.errorString().toStdString());
    // A card file is a few kilobytes; refuse anything that could not be one.
    constexpr qint64 kMaxFileSize = 1 << 20;
    if (file.size() > kMaxFileSize)
        return fail(path + ": too large for a card file");
    const QByteArray data = file.readAll();
    CardResult result =
        parseCard(std::span(data.constData(), static_cast<std::size_t>(data.size())));
    if (!result.card)
        result.error = path + ": " + result.error;
    return result;
}

Card defaultCard() {
    initCardResources();
    QFile file(QStringLiteral(":/kav/virtual/cards/ordinary.json"));
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray data = file.readAll();
        CardResult result =
            parseCard(std::span(data.constData(), static_cast<std::size_t>(data.size())));
        if (result.card)
            return *result.card;
    }
    // The build embeds the file; reaching this means the build is broken.
    // A blank card keeps the reader answering rather than crashing.
    Card blank;
    putSpaces(blank.text);
    return blank;
}

} // namespace kav::virt
