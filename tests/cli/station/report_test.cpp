// The report's own drawing and CSV, alone: the histogram's bins at their
// edges, the bars the SVG draws, and fields that CSV must quote read back by
// a CSV parser.
#include "csv.h"
#include "station/check.h"
#include "station/report.h"

#include <gtest/gtest.h>

// Cases name the members they set; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace {

using kav::station::Histogram;

int occurrences(const std::string &text, const std::string &what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(LineReport, HistogramPutsEveryTimeInABinAndTheHighestInTheLast) {
    struct Case {
        const char *name;
        std::vector<double> ms;
        int bins;
        std::vector<long long> counts;
    };
    const Case cases[] = {
        {"none", {}, 4, {}},
        {"all equal", {120, 120, 120}, 3, {3, 0, 0}},
        {"lowest and highest", {0, 10}, 10, {1, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"on a bin's edge", {0, 4.99, 5, 10}, 2, {2, 2}},
        {"one bin", {3, 7, 9}, 1, {3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Histogram h = kav::station::histogram(c.ms, c.bins);
        EXPECT_EQ(h.counts, c.counts);
        EXPECT_EQ(std::accumulate(h.counts.begin(), h.counts.end(), 0LL),
                  static_cast<long long>(c.ms.size()));
    }
}

TEST(LineReport, TheSvgDrawsABarForEachBinWithReads) {
    struct Case {
        const char *name;
        std::vector<double> ms;
        int bars;
    };
    const Case cases[] = {
        {"none", {}, 0},
        {"one value", {119.9}, 1},
        {"two clusters", {100, 101, 102, 200, 201}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string svg = kav::station::readTimeSvg(c.ms);
        EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u) << svg;
        EXPECT_EQ(occurrences(svg, "<rect class=\"bar\""), c.bars) << svg;
        EXPECT_NE(svg.find("reads</title>"), std::string::npos);
        EXPECT_EQ(svg.find("nan"), std::string::npos) << svg;
        EXPECT_EQ(svg.find("inf"), std::string::npos) << svg;
    }
    EXPECT_NE(kav::station::readTimeSvg({}).find("no reads in this selection"), std::string::npos);
}

TEST(LineReport, CsvFieldsReadBackAsWritten) {
    const std::vector<std::string> fields = {
        "plain", "", "a,b", "say \"hi\"", "two\nlines", "crlf\r\nend", "\"", "trailing "};
    std::string line;
    for (const std::string &f : fields)
        line += (line.empty() ? "" : ",") + kav::station::csvField(f);
    const auto records = test::parseCsv(line + "\r\n");
    ASSERT_TRUE(records) << line;
    ASSERT_EQ(records->size(), 1u) << line;
    EXPECT_EQ(records->front(), fields);
}

TEST(LineReport, TheHtmlEscapesWhatTheRecordHolds) {
    kav::station::ReportData data;
    data.title = "units <b>&";
    data.summary.push_back({"2026-12-07", "station", "<script>alert(1)</script>", 2, 1});
    data.failures.push_back({"reads", "Kav_ReadMsg", "65", "\"quoted\" & <tag>", 1});
    const std::string html = kav::station::reportHtml(data);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(html.find("&quot;quoted&quot; &amp; &lt;tag&gt;"), std::string::npos);
    EXPECT_NE(html.find("<td>50.0%</td>"), std::string::npos);
}

} // namespace

namespace {

using kav::station::StoredUnit;

StoredUnit storedUnit(const std::string &station, const std::string &plan) {
    StoredUnit u;
    u.id = 7;
    u.at = "2026-12-07T10:00:00.000Z";
    u.station = station;
    u.port = 3;
    u.samId = "05-01-1";
    u.planName = plan;
    u.planHash = "0123456789abcdef";
    u.verdict = kav::station::Verdict::Pass;
    u.ms = -2.5; // a number stays a number, sign and all
    u.libraryVersion = "lib";
    u.kavVersion = "1";
    return u;
}

TEST(LineReport, CsvTextCellsThatWouldRunAsFormulasAreKeptAsText) {
    struct Case {
        std::string text, cell;
    };
    const Case cases[] = {
        {"=1+2", "'=1+2"},      {"+SUM(1,2)", "'+SUM(1,2)"},
        {"-2+3", "'-2+3"},      {"@SUM(A1:A2)", "'@SUM(A1:A2)"},
        {"\t=1", "'\t=1"},      {"\r=1", "'\r=1"},
        {"line-a", "line-a"},   {"a=1", "a=1"},
        {"'quoted", "'quoted"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string csv = kav::station::unitsCsv({storedUnit(c.text, c.text)});
        const auto rows = test::parseCsv(csv);
        ASSERT_TRUE(rows) << csv;
        ASSERT_EQ(rows->size(), 2u);
        const test::CsvRecord &row = (*rows)[1];
        EXPECT_EQ(row[2], c.cell) << "station";
        EXPECT_EQ(row[5], c.cell) << "plan";
        EXPECT_EQ(row[0], "7");
        EXPECT_EQ(row[3], "3");
        EXPECT_EQ(row[9], "-2.5") << "numbers unchanged";
    }
}

TEST(LineReport, TextOutputShowsControlsEscapedAndEachUnitOnOneLine) {
    struct Case {
        std::string text, shown;
    };
    const Case cases[] = {
        {"a\x1b[2Jb", "a\\x1B[2Jb"},
        {"a\rb", "a\\x0Db"},
        {"a\nb", "a\\x0Ab"},
        {"bell\a", "bell\\x07"},
        {"del\x7f", "del\\x7F"},
        {"csi \xc2\x9b"
         "31m",
         "csi \\xC2\\x9B31m"},
        {"raw \x9b", "raw \\x9B"},
        {"cut \xe4\xb8", "cut \\xE4\\xB8"},
        {"\xe5\xbc\xa0 nbsp\xc2\xa0", "\xe5\xbc\xa0 nbsp\xc2\xa0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(kav::station::printableLine(c.text), c.shown);
        const std::string list = kav::station::unitsText({storedUnit(c.text, c.text)});
        const std::string summary = kav::station::summaryText({{"2026-12-07", "s", c.text, 1, 1}});
        for (const std::string &out : {list, summary}) {
            EXPECT_NE(out.find(c.shown), std::string::npos) << out;
            for (std::size_t i = 0; i + 1 < out.size(); ++i)
                EXPECT_FALSE(static_cast<unsigned char>(out[i]) < 0x20 && out[i] != '\n')
                    << "a control at " << i << ": " << out;
        }
        EXPECT_EQ(occurrences(list, "\n"), 1) << list;
        EXPECT_EQ(occurrences(summary, "\n"), 6) << summary;

        // The check's banner: the plan's name, and a card's text in a failure.
        const kav::station::CheckPlan plan{.name = c.text, .text = "{}", .hash = "0"};
        const kav::station::CheckRun run{
            .plan = &plan, .station = "s", .libraryVersion = "lib", .kavVersion = "1"};
        kav::station::UnitResult unit;
        unit.samId = c.text;
        kav::station::StepOutcome step;
        step.step = "reads";
        step.status = kav::station::StepOutcome::Status::Failed;
        step.failures.push_back({"", "wrong-id-number", "the card read " + c.text});
        unit.steps.push_back(step);
        const std::string banner = kav::station::unitBanner(unit, run, false);
        EXPECT_NE(banner.find("plan " + c.shown), std::string::npos) << banner;
        EXPECT_NE(banner.find("the card read " + c.shown + "\n"), std::string::npos) << banner;
        EXPECT_EQ(banner.find('\x1b'), std::string::npos) << banner;
        EXPECT_EQ(banner.find('\r'), std::string::npos) << banner;
    }
}

TEST(LineReport, ADateMustBeARealDayAndTime) {
    struct Case {
        const char *value;
        bool ok;
    };
    const Case cases[] = {
        {"2026-12-07", true},           {"2024-02-29", true},
        {"2026-12-07T18:30", true},     {"2026-12-07T23:59:59.999Z", true},
        {"2026-13-01", false},          {"2026-00-10", false},
        {"2026-02-30", false},          {"2025-02-29", false},
        {"2026-04-31", false},          {"2026-12-00", false},
        {"2026-12-07T24:00", false},    {"2026-12-07T18:60", false},
        {"2026-12-07T18:30:61", false}, {"yesterday", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        const std::string error = kav::station::checkDate(c.value);
        EXPECT_EQ(error.empty(), c.ok) << error;
    }
}

// TZ set for the scope, and what it was put back after.
class ZoneSet {
  public:
    explicit ZoneSet(const char *zone) {
        if (const char *was = std::getenv("TZ"))
            was_ = was;
        ::setenv("TZ", zone, 1);
    }
    ~ZoneSet() {
        if (was_)
            ::setenv("TZ", was_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

  private:
    std::optional<std::string> was_;
};

// POSIX rules rather than names: the same without the system's zone files.
constexpr const char *kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char *kNewYork = "EST5EDT,M3.2.0,M11.1.0";

TEST(LineReport, LocalTimeNamesItsZoneOnEitherSideOfAClockChange) {
    struct Case {
        const char *zone, *utc, *shown;
    };
    const Case cases[] = {
        {"UTC0", "2026-12-08T13:05:02.123Z", "2026-12-08 13:05:02 UTC"},
        {kCentralEurope, "2026-12-08T13:05:02.123Z", "2026-12-08 14:05:02 CET"},
        {kCentralEurope, "2026-12-31T23:30:00Z", "2027-01-01 00:30:00 CET"},
        // Spring: 02:00 local does not happen.
        {kCentralEurope, "2026-03-29T00:59:59.999Z", "2026-03-29 01:59:59 CET"},
        {kCentralEurope, "2026-03-29T01:00:00.000Z", "2026-03-29 03:00:00 CEST"},
        // Autumn: 02:30 local happens twice; the zone tells which.
        {kCentralEurope, "2026-10-25T00:30:00.000Z", "2026-10-25 02:30:00 CEST"},
        {kCentralEurope, "2026-10-25T01:30:00.000Z", "2026-10-25 02:30:00 CET"},
        {kNewYork, "2026-07-01T03:00:00.000Z", "2026-06-30 23:00:00 EDT"},
        {kNewYork, "2026-03-08T07:00:00.000Z", "2026-03-08 03:00:00 EDT"},
        // Not a recorded time: shown as it is.
        {kCentralEurope, "", ""},
        {kCentralEurope, "yesterday", "yesterday"},
        {kCentralEurope, "2026-12-08T13:05:02.123", "2026-12-08T13:05:02.123"},
        {kCentralEurope, "2026-12-08T13:05:02+01:00", "2026-12-08T13:05:02+01:00"},
        {kCentralEurope, "2026-02-30T10:00:00Z", "2026-02-30T10:00:00Z"},
        {kCentralEurope, "2026-12-08T13:05:02.1xZ", "2026-12-08T13:05:02.1xZ"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.utc);
        const ZoneSet zone(c.zone);
        EXPECT_EQ(kav::station::localTime(c.utc), c.shown);
    }
    // Where a person reads: the listing and the page; the exports keep UTC.
    const ZoneSet zone(kCentralEurope);
    StoredUnit u = storedUnit("s", "p");
    u.at = "2026-12-08T13:05:02.123Z";
    EXPECT_NE(kav::station::unitsText({u}).find("2026-12-08 14:05:02 CET"), std::string::npos);
    EXPECT_NE(kav::station::unitsCsv({u}).find("2026-12-08T13:05:02.123Z"), std::string::npos);
    EXPECT_EQ(kav::station::unitsJson({u})["units"][0]["at"], u.at);
    kav::station::ReportData data;
    data.generated = "2026-07-01T10:00:00.000Z";
    data.failedUnits.push_back(u);
    const std::string html = kav::station::reportHtml(data);
    EXPECT_NE(html.find("generated 2026-07-01 12:00:00 CEST"), std::string::npos) << html;
    EXPECT_NE(html.find("<td class=\"text\">2026-12-08 14:05:02 CET</td>"), std::string::npos);
}

StoredUnit checkAt(long long id, const std::string &at, std::vector<double> readMs,
                   kav::station::Verdict verdict = kav::station::Verdict::Pass) {
    StoredUnit u = storedUnit("bench-3", "p");
    u.id = id;
    u.at = at;
    u.readMs = std::move(readMs);
    u.verdict = verdict;
    return u;
}

TEST(LineReport, HistoryIsOldestFirstWithEachChecksMeanAndTheTrend) {
    using kav::station::Verdict;
    struct Case {
        const char *name;
        std::vector<StoredUnit> units;
        std::vector<long long> ids;
        std::vector<std::optional<double>> means;
        std::optional<double> slope;
    };
    const Case cases[] = {
        {"getting slower, recorded out of order",
         {checkAt(3, "2026-12-03T08:00:00.000Z", {120, 122}, Verdict::Fail),
          checkAt(1, "2026-12-01T08:00:00.000Z", {100, 100}),
          checkAt(2, "2026-12-02T08:00:00.000Z", {110})},
         {1, 2, 3},
         {100.0, 110.0, 121.0},
         10.5},
        {"a check without reads stays in the list and out of the trend",
         {checkAt(1, "2026-12-01T08:00:00.000Z", {100}),
          checkAt(2, "2026-12-02T08:00:00.000Z", {}, Verdict::Error),
          checkAt(3, "2026-12-03T08:00:00.000Z", {103, 105})},
         {1, 2, 3},
         {100.0, std::nullopt, 104.0},
         2.0},
        {"getting faster",
         {checkAt(1, "2026-12-01T08:00:00.000Z", {90}),
          checkAt(2, "2026-12-01T09:00:00.000Z", {80})},
         {1, 2},
         {90.0, 80.0},
         -10.0},
        {"the same time keeps the record's order",
         {checkAt(5, "2026-12-01T08:00:00.000Z", {1}), checkAt(4, "2026-12-01T08:00:00.000Z", {1})},
         {5, 4},
         {1.0, 1.0},
         0.0},
        {"one check: no trend",
         {checkAt(1, "2026-12-01T08:00:00.000Z", {50})},
         {1},
         {50.0},
         std::nullopt},
        {"none", {}, {}, {}, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const kav::station::History h = kav::station::history("SAM 05-01-1", c.units);
        std::vector<long long> ids;
        std::vector<std::optional<double>> means;
        for (const kav::station::HistoryCheck &check : h.checks) {
            ids.push_back(check.unit.id);
            means.push_back(check.meanReadMs);
        }
        EXPECT_EQ(ids, c.ids);
        EXPECT_EQ(means, c.means);
        ASSERT_EQ(h.slopeMsPerCheck.has_value(), c.slope.has_value());
        if (c.slope) {
            EXPECT_NEAR(*h.slopeMsPerCheck, *c.slope, 1e-9);
        }

        const kav::station::Json json = kav::station::historyJson(h)["history"];
        ASSERT_EQ(json["checks"].size(), c.ids.size());
        for (std::size_t i = 0; i < c.ids.size(); ++i) {
            EXPECT_EQ(json["checks"][i]["id"], c.ids[i]);
            EXPECT_EQ(json["checks"][i]["meanReadMs"].is_null(), !c.means[i]);
        }
        // The trend plot: a mark for each check that read.
        const std::string svg = kav::station::readTimeTrendSvg(h);
        EXPECT_EQ(occurrences(svg, "<circle"),
                  int(std::count_if(c.means.begin(), c.means.end(),
                                    [](const std::optional<double> &m) { return m.has_value(); })))
            << svg;
    }
    const ZoneSet zone("UTC0");
    const std::string text = kav::station::historyText(kav::station::history(
        "SAM 05-01-1", {checkAt(2, "2026-12-02T08:00:00.000Z", {110}, Verdict::Fail),
                        checkAt(1, "2026-12-01T08:00:00.000Z", {100})}));
    EXPECT_EQ(text, "checks of SAM 05-01-1, oldest first:\n"
                    "2026-12-01 08:00:00 UTC  bench-3  port 3  PASS  mean read 100.0 ms of 1\n"
                    "2026-12-02 08:00:00 UTC  bench-3  port 3  FAIL  mean read 110.0 ms of 1\n"
                    "read time trend: +10.00 ms a check (100.0 ms first, 110.0 ms last)\n");
}

// The text between the opening of the element with this id and its end.
std::string section(const std::string &html, const std::string &open, const std::string &close) {
    const std::size_t from = html.find(open);
    if (from == std::string::npos)
        return {};
    const std::size_t to = html.find(close, from);
    return html.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

TEST(LineReport, HostileCardAndReaderTextStaysTextInTheFailedListAndTheTrendPlot) {
    struct Case {
        std::string text, escaped;
    };
    const Case cases[] = {
        {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"=HYPERLINK(\"http://x.test/\",\"click\")",
         "=HYPERLINK(&quot;http://x.test/&quot;,&quot;click&quot;)"},
        {"it's \"quoted\" & <b>bold</b>",
         "it&#39;s &quot;quoted&quot; &amp; &lt;b&gt;bold&lt;/b&gt;"},
        {"\"><svg onload=alert(1)>", "&quot;&gt;&lt;svg onload=alert(1)&gt;"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        StoredUnit u = checkAt(1, "2026-12-01T08:00:00.000Z", {100}, kav::station::Verdict::Fail);
        u.station = c.text;
        u.samId = c.text;
        u.serial = c.text;
        u.failedSteps = {c.text};
        kav::station::ReportData data;
        data.summary.push_back({"2026-12-01", c.text, "p", 1, 0});
        data.failedUnits.push_back(u);
        data.history = kav::station::history(c.text, {u});
        const std::string html = kav::station::reportHtml(data);
        for (const char *raw : {"<script", "<b>", "<svg onload"})
            EXPECT_EQ(html.find(raw), std::string::npos) << raw;
        // Station, SAM ID, serial and failed step in the failed list.
        EXPECT_EQ(occurrences(section(html, "<table id=\"failed-units\">", "</table>"), c.escaped),
                  4)
            << html;
        EXPECT_EQ(occurrences(section(html, "<table id=\"stations\">", "</table>"), c.escaped), 1);
        const std::string plot = section(html,
                                         "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                                         "id=\"read-time-trend\"",
                                         "</svg>");
        // Its title and the mark's, each naming the unit and its station.
        EXPECT_EQ(occurrences(plot, c.escaped), 2) << plot;
        EXPECT_EQ(occurrences(plot, "<circle class=\"fail\""), 1) << plot;
    }
}

} // namespace
