#include "Gbk.h"

#include "codepage936.h"

namespace gbk {

QString toQString(std::string_view bytes) {
    const std::string utf8 = kav::cp936::toUtf8(bytes);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QString fieldToQString(const char *span, std::size_t size) {
    return toQString(kav::cp936::fieldText(span, size));
}

std::optional<QByteArray> fromQString(const QString &text) {
    const QByteArray utf8 = text.toUtf8();
    // toUtf8 replaces lone surrogates: such text cannot round-trip.
    if (QString::fromUtf8(utf8) != text)
        return std::nullopt;
    auto converted = kav::cp936::fromUtf8({utf8.constData(), static_cast<std::size_t>(utf8.size())});
    if (!converted)
        return std::nullopt;
    return QByteArray(converted->data(), static_cast<qsizetype>(converted->size()));
}

} // namespace gbk
