// The report's own drawing and CSV, alone: the histogram's bins at their
// edges, the bars the SVG draws, and fields that CSV must quote read back by
// a CSV parser.
#include "csv.h"
#include "station/report.h"

#include <gtest/gtest.h>

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
    data.summary.push_back({"2026-12-07", "<script>alert(1)</script>", 2, 1});
    data.failures.push_back({"reads", "Kav_ReadMsg", "65", "\"quoted\" & <tag>", 1});
    const std::string html = kav::station::reportHtml(data);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(html.find("&quot;quoted&quot; &amp; &lt;tag&gt;"), std::string::npos);
    EXPECT_NE(html.find("<td>50.0%</td>"), std::string::npos);
}

} // namespace
