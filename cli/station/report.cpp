#include "report.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <regex>
#include <string_view>

namespace kav::station {
namespace {

std::string escapeHtml(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string number(double v, int decimals = 1) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string percent(long long part, long long whole) {
    return whole > 0 ? number(100.0 * double(part) / double(whole)) + "%" : "-";
}

// A step for axis ticks: 1, 2 or 5 times a power of ten, about `ticks` of them.
double niceStep(double range, int ticks) {
    if (!(range > 0))
        return 1;
    const double raw = range / ticks;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10 * power;
}

} // namespace

std::string spreadsheetSafe(const std::string &text) {
    // A spreadsheet runs a cell that starts so as a formula.
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos)
        return "'" + text;
    return text;
}

std::string printableLine(const std::string &text) {
    static const char digits[] = "0123456789ABCDEF";
    const auto escaped = [](unsigned char c) {
        return std::string("\\x") + digits[c >> 4] + digits[c & 0x0F];
    };
    std::string out;
    out.reserve(text.size());
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = byte(i);
        if (lead < 0x20 || lead == 0x7F) {
            out += escaped(lead);
            ++i;
            continue;
        }
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        // Well-formed UTF-8 only: a stray byte may be a terminal's 8-bit control.
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        bool good =
            length > 0 && i + length <= text.size() && byte(i + 1) >= low && byte(i + 1) <= high;
        for (std::size_t k = 2; good && k < length; ++k)
            good = byte(i + k) >= 0x80 && byte(i + k) <= 0xBF;
        // C1 controls (U+0080 to U+009F) are escaped as the code point's bytes.
        if (good && lead == 0xC2 && byte(i + 1) < 0xA0)
            good = false;
        if (!good) {
            out += escaped(lead);
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

std::string csvField(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string unitsCsv(const std::vector<StoredUnit> &units) {
    std::string out = "id,at,station,port,sam_id,plan,plan_hash,verdict,failed_steps,ms,"
                      "library_version,kav_version\r\n";
    for (const StoredUnit &u : units) {
        std::string failed;
        for (const std::string &s : u.failedSteps)
            failed += (failed.empty() ? "" : " ") + s;
        // Numbers as they are; every text as a spreadsheet cannot run it.
        const std::string fields[] = {std::to_string(u.id),
                                      spreadsheetSafe(u.at),
                                      spreadsheetSafe(u.station),
                                      std::to_string(u.port),
                                      spreadsheetSafe(u.samId),
                                      spreadsheetSafe(u.planName),
                                      spreadsheetSafe(u.planHash),
                                      spreadsheetSafe(verdictName(u.verdict)),
                                      spreadsheetSafe(failed),
                                      number(u.ms),
                                      spreadsheetSafe(u.libraryVersion),
                                      spreadsheetSafe(u.kavVersion)};
        std::string line;
        for (const std::string &f : fields)
            line += (line.empty() ? "" : ",") + csvField(f);
        out += line + "\r\n";
    }
    return out;
}

Json unitsJson(const std::vector<StoredUnit> &units) {
    Json list = Json::array();
    for (const StoredUnit &u : units) {
        Json steps = Json::parse(u.steps, nullptr, false);
        list.push_back(Json{{"id", u.id},
                            {"at", u.at},
                            {"station", u.station},
                            {"port", u.port},
                            {"samId", u.samId.empty() ? Json(nullptr) : Json(u.samId)},
                            {"plan", Json{{"name", u.planName}, {"hash", u.planHash}}},
                            {"verdict", verdictName(u.verdict)},
                            {"failedSteps", u.failedSteps},
                            {"ms", std::round(u.ms * 10.0) / 10.0},
                            {"libraryVersion", u.libraryVersion},
                            {"kavVersion", u.kavVersion},
                            {"steps", steps.is_discarded() ? Json(nullptr) : steps}});
    }
    return Json{{"units", list}};
}

std::string unitsText(const std::vector<StoredUnit> &units) {
    std::string out;
    for (const StoredUnit &u : units) {
        std::string failed;
        for (const std::string &s : u.failedSteps)
            failed += (failed.empty() ? "  failed: " : ", ") + s;
        char line[300];
        const std::string at = printableLine(u.at), station = printableLine(u.station),
                          samId = printableLine(u.samId), planName = printableLine(u.planName),
                          verdict = printableLine(verdictName(u.verdict));
        std::snprintf(line, sizeof line, "%lld  %s  %s  port %d  SAM %s  %s  %s", u.id, at.c_str(),
                      station.c_str(), u.port, samId.empty() ? "?" : samId.c_str(),
                      planName.c_str(), verdict.c_str());
        out += std::string(line) + printableLine(failed) + "\n";
    }
    if (units.empty())
        out = "no units recorded that match\n";
    return out;
}

Json summaryJson(const std::vector<SummaryRow> &rows) {
    Json list = Json::array();
    long long units = 0, passed = 0;
    for (const SummaryRow &r : rows) {
        list.push_back(
            Json{{"day", r.day},
                 {"plan", r.plan},
                 {"units", r.units},
                 {"passed", r.passed},
                 {"failed", r.units - r.passed},
                 {"passRate", r.units > 0
                                  ? std::round(1000.0 * double(r.passed) / double(r.units)) / 1000.0
                                  : 0.0}});
        units += r.units;
        passed += r.passed;
    }
    return Json{{"days", list},
                {"total", Json{{"units", units}, {"passed", passed}, {"failed", units - passed}}}};
}

std::string summaryText(const std::vector<SummaryRow> &rows) {
    std::string out = "day         plan                  units  passed  failed  pass rate\n";
    long long units = 0, passed = 0;
    for (const SummaryRow &r : rows) {
        char line[300];
        const std::string day = printableLine(r.day), plan = printableLine(r.plan);
        std::snprintf(line, sizeof line, "%-10s  %-20s  %5lld  %6lld  %6lld  %s\n", day.c_str(),
                      plan.c_str(), r.units, r.passed, r.units - r.passed,
                      percent(r.passed, r.units).c_str());
        out += line;
        units += r.units;
        passed += r.passed;
    }
    char line[200];
    std::snprintf(line, sizeof line, "%-10s  %-20s  %5lld  %6lld  %6lld  %s\n", "all", "", units,
                  passed, units - passed, percent(passed, units).c_str());
    return out + line;
}

Histogram histogram(const std::vector<double> &ms, int bins) {
    Histogram h;
    if (ms.empty() || bins < 1)
        return h;
    const auto [lo, hi] = std::minmax_element(ms.begin(), ms.end());
    h.low = *lo;
    // All equal: one bar a millisecond wide rather than a division by zero.
    h.width = *hi > *lo ? (*hi - *lo) / bins : 1.0;
    h.counts.assign(static_cast<std::size_t>(bins), 0);
    for (double v : ms) {
        const auto i = static_cast<std::size_t>(
            std::clamp<double>(std::floor((v - h.low) / h.width), 0, bins - 1));
        ++h.counts[i];
    }
    return h;
}

std::string readTimeSvg(const std::vector<double> &ms) {
    constexpr int kW = 720, kH = 300, kLeft = 60, kRight = 20, kTop = 20, kBottom = 50;
    constexpr int kBins = 30;
    const int plotW = kW - kLeft - kRight, plotH = kH - kTop - kBottom;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"read-times\" width=\"" +
                      std::to_string(kW) + "\" height=\"" + std::to_string(kH) +
                      "\" viewBox=\"0 0 " + std::to_string(kW) + " " + std::to_string(kH) +
                      "\" role=\"img\" aria-label=\"read time distribution\">\n";
    svg += "<title>Read times: " + std::to_string(ms.size()) + " reads</title>\n";
    if (ms.empty()) {
        svg += "<text x=\"" + std::to_string(kW / 2) + "\" y=\"" + std::to_string(kH / 2) +
               "\" text-anchor=\"middle\">no reads in this selection</text>\n</svg>\n";
        return svg;
    }
    const Histogram h = histogram(ms, kBins);
    const long long peak = *std::max_element(h.counts.begin(), h.counts.end());
    const double barW = double(plotW) / kBins;
    for (std::size_t i = 0; i < h.counts.size(); ++i) {
        if (h.counts[i] == 0)
            continue;
        const double barH = double(plotH) * double(h.counts[i]) / double(peak);
        const double from = h.low + h.width * double(i);
        svg += "<rect class=\"bar\" x=\"" + number(kLeft + barW * double(i) + 1) + "\" y=\"" +
               number(kTop + plotH - barH) + "\" width=\"" + number(barW - 2) + "\" height=\"" +
               number(barH) + "\"><title>" + number(from) + "-" + number(from + h.width) +
               " ms: " + std::to_string(h.counts[i]) + "</title></rect>\n";
    }
    // Axes, with ticks at round values.
    svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(kTop + plotH) +
           "\" x2=\"" + std::to_string(kLeft + plotW) + "\" y2=\"" + std::to_string(kTop + plotH) +
           "\" stroke=\"#333\"/>\n";
    svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(kTop) + "\" x2=\"" +
           std::to_string(kLeft) + "\" y2=\"" + std::to_string(kTop + plotH) +
           "\" stroke=\"#333\"/>\n";
    const double span = h.width * kBins;
    const double xStep = niceStep(span, 6);
    for (double t = std::ceil(h.low / xStep) * xStep; t <= h.low + span + 1e-9; t += xStep) {
        const double x = kLeft + (t - h.low) / span * plotW;
        svg += "<line x1=\"" + number(x) + "\" y1=\"" + std::to_string(kTop + plotH) + "\" x2=\"" +
               number(x) + "\" y2=\"" + std::to_string(kTop + plotH + 5) +
               "\" stroke=\"#333\"/><text class=\"tick\" x=\"" + number(x) + "\" y=\"" +
               std::to_string(kTop + plotH + 18) + "\" text-anchor=\"middle\">" +
               number(t, xStep < 1 ? 1 : 0) + "</text>\n";
    }
    const double yStep = std::max(1.0, niceStep(double(peak), 4));
    for (double c = 0; c <= double(peak) + 1e-9; c += yStep) {
        const double y = kTop + plotH - plotH * c / double(peak);
        svg += "<text class=\"tick\" x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + number(y + 4) +
               "\" text-anchor=\"end\">" + number(c, 0) + "</text>\n";
    }
    svg += "<text x=\"" + std::to_string(kLeft + plotW / 2) + "\" y=\"" + std::to_string(kH - 8) +
           "\" text-anchor=\"middle\">read time, ms</text>\n";
    svg += "<text x=\"14\" y=\"" + std::to_string(kTop + plotH / 2) +
           "\" text-anchor=\"middle\" transform=\"rotate(-90 14 " +
           std::to_string(kTop + plotH / 2) + ")\">reads</text>\n";
    return svg + "</svg>\n";
}

std::string reportHtml(const ReportData &data) {
    std::string html = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Velkart line report</title>
<style>
body { font-family: sans-serif; margin: 2em; color: #222; }
table { border-collapse: collapse; margin-bottom: 2em; }
th, td { border: 1px solid #bbb; padding: 0.3em 0.8em; text-align: right; }
th { background: #eee; }
td.text { text-align: left; }
tr.total td { font-weight: bold; }
.bar { fill: #3b7dd8; }
.tick { font-size: 11px; }
</style>
</head>
<body>
)";
    html += "<h1>Velkart line report</h1>\n<p>" + escapeHtml(data.title) + "; generated " +
            escapeHtml(data.generated) + ".</p>\n";

    html += "<h2>Summary</h2>\n<table id=\"summary\">\n<tr><th>Day</th><th>Plan</th>"
            "<th>Units</th><th>Passed</th><th>Failed</th><th>Pass rate</th></tr>\n";
    long long units = 0, passed = 0;
    for (const SummaryRow &r : data.summary) {
        html += "<tr><td class=\"text\">" + escapeHtml(r.day) + "</td><td class=\"text\">" +
                escapeHtml(r.plan) + "</td><td>" + std::to_string(r.units) + "</td><td>" +
                std::to_string(r.passed) + "</td><td>" + std::to_string(r.units - r.passed) +
                "</td><td>" + percent(r.passed, r.units) + "</td></tr>\n";
        units += r.units;
        passed += r.passed;
    }
    html += "<tr class=\"total\"><td class=\"text\">All</td><td></td><td>" + std::to_string(units) +
            "</td><td>" + std::to_string(passed) + "</td><td>" + std::to_string(units - passed) +
            "</td><td>" + percent(passed, units) + "</td></tr>\n</table>\n";

    html += "<h2>Failures by step and code</h2>\n";
    if (data.failures.empty()) {
        html += "<p>No failures.</p>\n";
    } else {
        html += "<table id=\"failures\">\n<tr><th>Step</th><th>Call</th><th>Code</th>"
                "<th>Meaning</th><th>Units</th></tr>\n";
        for (const FailureCount &f : data.failures)
            html += "<tr><td class=\"text\">" + escapeHtml(f.step) + "</td><td class=\"text\">" +
                    escapeHtml(f.operation) + "</td><td class=\"text\">" + escapeHtml(f.code) +
                    "</td><td class=\"text\">" + escapeHtml(f.text) + "</td><td>" +
                    std::to_string(f.count) + "</td></tr>\n";
        html += "</table>\n";
    }

    html += "<h2>Read times</h2>\n";
    if (!data.readMs.empty()) {
        std::vector<double> sorted = data.readMs;
        std::sort(sorted.begin(), sorted.end());
        const auto at = [&sorted](double p) {
            const auto rank = static_cast<std::size_t>(std::ceil(p * double(sorted.size())));
            return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
        };
        html += "<p id=\"read-figures\">" + std::to_string(sorted.size()) + " reads: min " +
                number(sorted.front()) + " ms, median " + number(at(0.5)) + " ms, p95 " +
                number(at(0.95)) + " ms, max " + number(sorted.back()) + " ms.</p>\n";
    }
    html += readTimeSvg(data.readMs);
    html += "</body>\n</html>\n";
    return html;
}

std::string checkDate(const std::string &value) {
    static const std::regex kDate(
        R"((\d{4})-(\d{2})-(\d{2})(T(\d{2}):(\d{2})(:(\d{2})(\.\d{1,3})?)?Z?)?)");
    std::smatch m;
    if (std::regex_match(value, m, kDate)) {
        const auto field = [&m](int i) { return m[i].matched ? std::stoi(m[i].str()) : 0; };
        const std::chrono::year_month_day day{std::chrono::year{field(1)},
                                              std::chrono::month{unsigned(field(2))},
                                              std::chrono::day{unsigned(field(3))}};
        // 23:59:60 is a leap second; times are compared as text, so it is harmless.
        if (day.ok() && field(5) < 24 && field(6) < 60 && field(8) <= 60)
            return {};
    }
    return printableLine(value) + " is not a date (2026-12-07, or 2026-12-07T18:30 in UTC)";
}

} // namespace kav::station
