// The report's own drawing and CSV, alone: the histogram's bins at their
// edges, the bars the SVG draws, and fields that CSV must quote read back by
// a CSV parser.
#include "csv.h"
#include "station/check.h"
#include "station/report.h"

#include <gtest/gtest.h>

// Cases name the members they set; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <numeric>
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
        EXPECT_EQ(occurrences(summary, "\n"), 3) << summary;

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

} // namespace
