// QString at the reader boundary, where text is code page 936.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <string_view>

namespace gbk {

// Display text from GBK bytes; invalid bytes show as U+FFFD.
QString toQString(std::string_view bytes);

// The text of a fixed-size GBK field: up to its first NUL or its end.
QString fieldToQString(const char *span, std::size_t size);

// GBK bytes that round-trip to text exactly; nullopt when the text holds a
// character GBK cannot represent.
std::optional<QByteArray> fromQString(const QString &text);

} // namespace gbk
