// The five columns of a trace event as the frame monitor shows them, from
// the formatter every host of the trace shares.
#pragma once

#include "KavIDCardAPI.h"

#include <QString>

#include <array>

enum TraceColumn { TimeColumn, LinkColumn, DirectionColumn, DataColumn, MeaningColumn };
inline constexpr int kTraceColumnCount = 5;

// 时间 HH:MM:SS.mmm local, 端口 the link, 方向 → / ← / blank, 数据 upper-case
// hex separated by spaces, 含义 the event's own text.
std::array<QString, kTraceColumnCount> traceColumns(const KavTraceEvent &event);
