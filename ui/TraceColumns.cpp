#include "TraceColumns.h"

#include "trace_format.h"

std::array<QString, kTraceColumnCount> traceColumns(const KavTraceEvent &event) {
    // The same texts as every other host of the trace: one formatter.
    const kav::host::TraceRow row = kav::host::traceRow(event);
    return {QString::fromStdString(row.time), QString::fromStdString(row.port),
            QString::fromStdString(row.direction), QString::fromStdString(row.data),
            QString::fromStdString(row.meaning)};
}
