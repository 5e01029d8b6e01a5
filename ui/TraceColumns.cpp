#include "TraceColumns.h"

#include <QDateTime>

std::array<QString, kTraceColumnCount> traceColumns(const KavTraceEvent &event) {
    std::array<QString, kTraceColumnCount> columns;
    columns[TimeColumn] =
        QDateTime::fromMSecsSinceEpoch(event.timeMs).toString(QStringLiteral("HH:mm:ss.zzz"));
    columns[LinkColumn] = QString::fromUtf8(event.link != nullptr ? event.link : "");
    if (event.kind == KAV_TRACE_TO_READER)
        columns[DirectionColumn] = QStringLiteral("→");
    else if (event.kind == KAV_TRACE_FROM_READER)
        columns[DirectionColumn] = QStringLiteral("←");
    if (event.bytes != nullptr && event.byteCount > 0) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        QString &hex = columns[DataColumn];
        hex.reserve(static_cast<qsizetype>(event.byteCount * 3 - 1));
        for (std::size_t i = 0; i < event.byteCount; ++i) {
            if (i > 0)
                hex += QLatin1Char(' ');
            hex += QLatin1Char(kDigits[event.bytes[i] >> 4]);
            hex += QLatin1Char(kDigits[event.bytes[i] & 0xF]);
        }
    }
    columns[MeaningColumn] = QString::fromUtf8(event.text != nullptr ? event.text : "");
    if (event.kind == KAV_TRACE_NOISE && columns[MeaningColumn].isEmpty())
        columns[MeaningColumn] = QStringLiteral("%1 bytes of noise skipped").arg(event.byteCount);
    return columns;
}
