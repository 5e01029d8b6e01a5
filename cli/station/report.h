// What kav results prints from the record: a list, CSV (RFC 4180), the
// summary by day and plan, and a self-contained HTML page with a plot of
// the read times that we draw ourselves as inline SVG.
#pragma once

#include "record_store.h"

#include <string>
#include <vector>

namespace kav::station {

// A text cell a spreadsheet shows as text: one that would start a formula
// (=, +, -, @, tab, carriage return) gets a leading '.
std::string spreadsheetSafe(const std::string &text);

// Text for a terminal line: control characters (C0, DEL, C1) and bytes no
// part of well-formed UTF-8 as \xNN, so a stored text can neither break the
// line nor steer the terminal.
std::string printableLine(const std::string &text);

// One CSV field, quoted when it must be (RFC 4180).
std::string csvField(const std::string &text);

std::string unitsCsv(const std::vector<StoredUnit> &units);
Json unitsJson(const std::vector<StoredUnit> &units);
std::string unitsText(const std::vector<StoredUnit> &units);

Json summaryJson(const std::vector<SummaryRow> &rows);
std::string summaryText(const std::vector<SummaryRow> &rows);

// Bars of a histogram of the times: `bins` equal widths from the lowest to
// the highest time.
struct Histogram {
    double low = 0, width = 0;
    std::vector<long long> counts;
};
Histogram histogram(const std::vector<double> &ms, int bins);

// The plot of the read times as an SVG element.
std::string readTimeSvg(const std::vector<double> &ms);

struct ReportData {
    std::string title;     // what was selected, for the heading
    std::string generated; // when, UTC
    std::vector<SummaryRow> summary;
    std::vector<FailureCount> failures;
    std::vector<double> readMs;
};

// The whole page: no script, no link to anything outside it.
std::string reportHtml(const ReportData &data);

// "2026-12-07", "2026-12-07T18:30" or "2026-12-07T18:30:05"; an error text
// otherwise, for the argument check of kav results.
std::string checkDate(const std::string &value);

} // namespace kav::station
