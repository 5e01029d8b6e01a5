// What kav results prints from the record: a list, CSV (RFC 4180), the
// summary by day and plan, and a self-contained HTML page with a plot of
// the read times that we draw ourselves as inline SVG.
#pragma once

#include "record_store.h"

#include <optional>
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

// A recorded UTC time ("2026-12-08T13:05:02.123Z") as a person at this
// machine reads it: local time with the zone named ("2026-12-08 14:05:02
// CET"). Text that is no such time comes back as it is.
std::string localTime(const std::string &utc);

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

// One unit's checks over time, oldest first, each with the mean of its
// reads: a reader that gets slower before it fails shows as a rising line.
struct HistoryCheck {
    StoredUnit unit;
    std::optional<double> meanReadMs; // none when the check read nothing
};
struct History {
    std::string unit; // the SAM ID or serial it follows
    std::vector<HistoryCheck> checks;
    // Least-squares slope of the means over the checks that read, in ms a
    // check; none with fewer than two.
    std::optional<double> slopeMsPerCheck;
};
History history(const std::string &unit, std::vector<StoredUnit> units);
Json historyJson(const History &history);
std::string historyText(const History &history);
// The means of the checks as an SVG line plot.
std::string readTimeTrendSvg(const History &history);

struct ReportData {
    std::string title;     // what was selected, for the heading
    std::string generated; // when, UTC; shown in local time
    std::vector<SummaryRow> summary;
    std::vector<FailureCount> failures;
    std::vector<double> readMs;
    std::vector<StoredUnit> failedUnits; // each unit whose verdict is not PASS
    std::optional<History> history;
};

// The whole page: no script, no link to anything outside it.
std::string reportHtml(const ReportData &data);

// "2026-12-07", "2026-12-07T18:30" or "2026-12-07T18:30:05"; an error text
// otherwise, for the argument check of kav results.
std::string checkDate(const std::string &value);

} // namespace kav::station
