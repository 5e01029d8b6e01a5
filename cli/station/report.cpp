#include "report.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
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

std::string localTime(const std::string &utc) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    if (std::sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                    &second, &used) != 6)
        return utc;
    std::size_t rest = static_cast<std::size_t>(used);
    if (rest < utc.size() && utc[rest] == '.')
        while (++rest < utc.size() && utc[rest] >= '0' && utc[rest] <= '9') {
        }
    if (utc.compare(rest, std::string::npos, "Z") != 0)
        return utc;
    const std::chrono::year_month_day date{std::chrono::year{year},
                                           std::chrono::month{unsigned(month)},
                                           std::chrono::day{unsigned(day)}};
    if (!date.ok() || hour > 23 || minute > 59 || second > 60)
        return utc;
    const auto since = std::chrono::sys_days{date}.time_since_epoch() + std::chrono::hours{hour} +
                       std::chrono::minutes{minute} + std::chrono::seconds{second};
    const auto seconds =
        static_cast<std::time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
    std::tm tm{};
#ifdef _WIN32
    _tzset();
    if (localtime_s(&tm, &seconds) != 0)
        return utc;
#else
    // TZ is read again each time: a test or a long-lived process may change it.
    tzset();
    if (!localtime_r(&seconds, &tm))
        return utc;
#endif
    char text[128];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm) == 0)
        return utc;
    return text;
}

std::string unitsCsv(const std::vector<StoredUnit> &units) {
    std::string out = "id,at,station,port,sam_id,plan,plan_hash,verdict,failed_steps,ms,"
                      "library_version,kav_version,run_id,ended_at,operator,serial,sequence,"
                      "plan_version,payload_hash\r\n";
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
                                      spreadsheetSafe(u.kavVersion),
                                      spreadsheetSafe(u.runId),
                                      spreadsheetSafe(u.endedAt),
                                      spreadsheetSafe(u.operatorId),
                                      spreadsheetSafe(u.serial),
                                      std::to_string(u.sequence),
                                      spreadsheetSafe(u.planVersion),
                                      spreadsheetSafe(u.payloadHash)};
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
        const auto textOrNull = [](const std::string &t) {
            return t.empty() ? Json(nullptr) : Json(t);
        };
        Json results = runPayload(u)["step_results"];
        list.push_back(Json{
            {"id", u.id},
            {"runId", u.runId},
            {"at", u.at},
            {"endedAt", u.endedAt},
            {"station", u.station},
            {"operator", textOrNull(u.operatorId)},
            {"serial", textOrNull(u.serial)},
            {"sequence", u.sequence},
            {"port", u.port},
            {"samId", u.samId.empty() ? Json(nullptr) : Json(u.samId)},
            {"plan", Json{{"name", u.planName}, {"version", u.planVersion}, {"hash", u.planHash}}},
            {"verdict", verdictName(u.verdict)},
            {"failedSteps", u.failedSteps},
            {"ms", std::round(u.ms * 10.0) / 10.0},
            {"libraryVersion", u.libraryVersion},
            {"kavVersion", u.kavVersion},
            {"steps", steps.is_discarded() ? Json(nullptr) : steps},
            {"stepResults", results},
            {"payloadHash", u.payloadHash},
            {"receivedAt", textOrNull(u.receivedAt)}});
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
        const std::string at = printableLine(localTime(u.at)), station = printableLine(u.station),
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

namespace {

struct StationTotal {
    std::string station;
    long long units = 0, passed = 0;
};

// The rows summed per station, in the order of the station's name.
std::vector<StationTotal> stationTotals(const std::vector<SummaryRow> &rows) {
    std::map<std::string, StationTotal> by;
    for (const SummaryRow &r : rows) {
        StationTotal &t = by[r.station];
        t.station = r.station;
        t.units += r.units;
        t.passed += r.passed;
    }
    std::vector<StationTotal> out;
    for (auto &[name, total] : by)
        out.push_back(total);
    return out;
}

double passRate(long long passed, long long units) {
    return units > 0 ? std::round(1000.0 * double(passed) / double(units)) / 1000.0 : 0.0;
}

} // namespace

Json summaryJson(const std::vector<SummaryRow> &rows) {
    Json list = Json::array();
    long long units = 0, passed = 0;
    for (const SummaryRow &r : rows) {
        list.push_back(Json{{"day", r.day},
                            {"station", r.station},
                            {"plan", r.plan},
                            {"units", r.units},
                            {"passed", r.passed},
                            {"failed", r.units - r.passed},
                            {"passRate", passRate(r.passed, r.units)}});
        units += r.units;
        passed += r.passed;
    }
    Json stations = Json::array();
    for (const StationTotal &t : stationTotals(rows))
        stations.push_back(Json{{"station", t.station},
                                {"units", t.units},
                                {"passed", t.passed},
                                {"failed", t.units - t.passed},
                                {"passRate", passRate(t.passed, t.units)}});
    return Json{{"days", list},
                {"stations", stations},
                {"total", Json{{"units", units}, {"passed", passed}, {"failed", units - passed}}}};
}

std::string summaryText(const std::vector<SummaryRow> &rows) {
    std::string out =
        "day         station       plan                  units  passed  failed  pass rate\n";
    long long units = 0, passed = 0;
    for (const SummaryRow &r : rows) {
        char line[400];
        const std::string day = printableLine(r.day), station = printableLine(r.station),
                          plan = printableLine(r.plan);
        std::snprintf(line, sizeof line, "%-10s  %-12s  %-20s  %5lld  %6lld  %6lld  %s\n",
                      day.c_str(), station.c_str(), plan.c_str(), r.units, r.passed,
                      r.units - r.passed, percent(r.passed, r.units).c_str());
        out += line;
        units += r.units;
        passed += r.passed;
    }
    char line[200];
    std::snprintf(line, sizeof line, "%-10s  %-12s  %-20s  %5lld  %6lld  %6lld  %s\n", "all", "",
                  "", units, passed, units - passed, percent(passed, units).c_str());
    out += line;
    const std::vector<StationTotal> stations = stationTotals(rows);
    if (!stations.empty()) {
        out += "\nstation       units  passed  failed  pass rate\n";
        for (const StationTotal &t : stations) {
            const std::string station = printableLine(t.station);
            char row[300];
            std::snprintf(row, sizeof row, "%-12s  %5lld  %6lld  %6lld  %s\n", station.c_str(),
                          t.units, t.passed, t.units - t.passed,
                          percent(t.passed, t.units).c_str());
            out += row;
        }
    }
    return out;
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

History history(const std::string &unit, std::vector<StoredUnit> units) {
    // Oldest first by the time checked; the record's own order where equal.
    std::stable_sort(units.begin(), units.end(),
                     [](const StoredUnit &a, const StoredUnit &b) { return a.at < b.at; });
    History h;
    h.unit = unit;
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (StoredUnit &u : units) {
        HistoryCheck check;
        if (!u.readMs.empty()) {
            double sum = 0;
            for (double v : u.readMs)
                sum += v;
            const double mean = sum / double(u.readMs.size());
            check.meanReadMs = mean;
            const double x = double(h.checks.size());
            n += 1;
            sx += x;
            sy += mean;
            sxx += x * x;
            sxy += x * mean;
        }
        check.unit = std::move(u);
        h.checks.push_back(std::move(check));
    }
    const double spread = n * sxx - sx * sx;
    if (n >= 2 && spread > 0)
        h.slopeMsPerCheck = (n * sxy - sx * sy) / spread;
    return h;
}

namespace {

std::string joined(const std::vector<std::string> &items, const char *separator) {
    std::string out;
    for (const std::string &s : items)
        out += (out.empty() ? "" : separator) + s;
    return out;
}

std::string signedMs(double v) {
    return (v >= 0 ? "+" : "") + number(v, 2) + " ms";
}

} // namespace

Json historyJson(const History &history) {
    Json checks = Json::array();
    for (const HistoryCheck &c : history.checks) {
        const StoredUnit &u = c.unit;
        checks.push_back(
            Json{{"id", u.id},
                 {"runId", u.runId},
                 {"at", u.at},
                 {"station", u.station},
                 {"port", u.port},
                 {"samId", u.samId.empty() ? Json(nullptr) : Json(u.samId)},
                 {"serial", u.serial.empty() ? Json(nullptr) : Json(u.serial)},
                 {"plan", u.planName},
                 {"verdict", verdictName(u.verdict)},
                 {"failedSteps", u.failedSteps},
                 {"reads", u.readMs.size()},
                 {"meanReadMs",
                  c.meanReadMs ? Json(std::round(*c.meanReadMs * 100.0) / 100.0) : Json(nullptr)}});
    }
    return Json{{"history", Json{{"unit", history.unit},
                                 {"checks", checks},
                                 {"slopeMsPerCheck",
                                  history.slopeMsPerCheck
                                      ? Json(std::round(*history.slopeMsPerCheck * 100.0) / 100.0)
                                      : Json(nullptr)}}}};
}

std::string historyText(const History &history) {
    const std::string unit = printableLine(history.unit);
    if (history.checks.empty())
        return "no checks recorded of " + unit + "\n";
    std::string out = "checks of " + unit + ", oldest first:\n";
    const HistoryCheck *first = nullptr, *last = nullptr;
    for (const HistoryCheck &c : history.checks) {
        const StoredUnit &u = c.unit;
        std::string line = printableLine(localTime(u.at)) + "  " + printableLine(u.station) +
                           "  port " + std::to_string(u.port) + "  " + verdictName(u.verdict) +
                           "  ";
        if (c.meanReadMs) {
            line +=
                "mean read " + number(*c.meanReadMs) + " ms of " + std::to_string(u.readMs.size());
            first = first ? first : &c;
            last = &c;
        } else {
            line += "no reads";
        }
        if (!u.failedSteps.empty())
            line += "  failed: " + printableLine(joined(u.failedSteps, ", "));
        out += line + "\n";
    }
    if (history.slopeMsPerCheck)
        out += "read time trend: " + signedMs(*history.slopeMsPerCheck) + " a check (" +
               number(*first->meanReadMs) + " ms first, " + number(*last->meanReadMs) +
               " ms last)\n";
    return out;
}

std::string readTimeTrendSvg(const History &history) {
    constexpr int kW = 720, kH = 300, kLeft = 60, kRight = 20, kTop = 20, kBottom = 50;
    const int plotW = kW - kLeft - kRight, plotH = kH - kTop - kBottom;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"read-time-trend\" width=\"" +
                      std::to_string(kW) + "\" height=\"" + std::to_string(kH) +
                      "\" viewBox=\"0 0 " + std::to_string(kW) + " " + std::to_string(kH) +
                      "\" role=\"img\" aria-label=\"mean read time of each check\">\n";
    svg += "<title>Mean read time of " + escapeHtml(history.unit) + ": " +
           std::to_string(history.checks.size()) + " checks</title>\n";
    double peak = 0;
    for (const HistoryCheck &c : history.checks)
        if (c.meanReadMs)
            peak = std::max(peak, *c.meanReadMs);
    if (!(peak > 0)) {
        svg += "<text x=\"" + std::to_string(kW / 2) + "\" y=\"" + std::to_string(kH / 2) +
               "\" text-anchor=\"middle\">no reads in these checks</text>\n</svg>\n";
        return svg;
    }
    const double yStep = niceStep(peak, 4);
    const double top = std::ceil(peak / yStep) * yStep;
    const std::size_t count = history.checks.size();
    const auto xOf = [&](std::size_t i) {
        return count > 1 ? kLeft + plotW * double(i) / double(count - 1) : kLeft + plotW / 2.0;
    };
    const auto yOf = [&](double ms) { return kTop + plotH - plotH * ms / top; };
    std::string points, marks;
    for (std::size_t i = 0; i < count; ++i) {
        const HistoryCheck &c = history.checks[i];
        if (!c.meanReadMs)
            continue;
        const std::string x = number(xOf(i)), y = number(yOf(*c.meanReadMs));
        points += (points.empty() ? "" : " ") + x + "," + y;
        const bool passed = c.unit.verdict == Verdict::Pass;
        marks += "<circle class=\"" + std::string(passed ? "pass" : "fail") + "\" cx=\"" + x +
                 "\" cy=\"" + y + "\" r=\"4\"><title>" +
                 escapeHtml(localTime(c.unit.at) + ", " + c.unit.station + ", " +
                            verdictName(c.unit.verdict) + ": " + number(*c.meanReadMs) + " ms") +
                 "</title></circle>\n";
    }
    svg += "<polyline class=\"trend\" fill=\"none\" stroke=\"#3b7dd8\" stroke-width=\"2\" "
           "points=\"" +
           points + "\"/>\n" + marks;
    svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(kTop + plotH) +
           "\" x2=\"" + std::to_string(kLeft + plotW) + "\" y2=\"" + std::to_string(kTop + plotH) +
           "\" stroke=\"#333\"/>\n";
    svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(kTop) + "\" x2=\"" +
           std::to_string(kLeft) + "\" y2=\"" + std::to_string(kTop + plotH) +
           "\" stroke=\"#333\"/>\n";
    for (double v = 0; v <= top + 1e-9; v += yStep)
        svg += "<text class=\"tick\" x=\"" + std::to_string(kLeft - 6) + "\" y=\"" +
               number(yOf(v) + 4) + "\" text-anchor=\"end\">" + number(v, yStep < 1 ? 1 : 0) +
               "</text>\n";
    // The checks' numbers along the bottom, first and last always.
    const std::size_t every = std::max<std::size_t>(1, (count + 7) / 8);
    for (std::size_t i = 0; i < count; ++i)
        if (i % every == 0 || i + 1 == count)
            svg += "<text class=\"tick\" x=\"" + number(xOf(i)) + "\" y=\"" +
                   std::to_string(kTop + plotH + 18) + "\" text-anchor=\"middle\">" +
                   std::to_string(i + 1) + "</text>\n";
    svg += "<text x=\"" + std::to_string(kLeft + plotW / 2) + "\" y=\"" + std::to_string(kH - 8) +
           "\" text-anchor=\"middle\">check, oldest first</text>\n";
    svg += "<text x=\"14\" y=\"" + std::to_string(kTop + plotH / 2) +
           "\" text-anchor=\"middle\" transform=\"rotate(-90 14 " +
           std::to_string(kTop + plotH / 2) + ")\">mean read time, ms</text>\n";
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
.pass { fill: #2e8b57; }
.fail { fill: #c0392b; }
.tick { font-size: 11px; }
</style>
</head>
<body>
)";
    html += "<h1>Velkart line report</h1>\n<p>" + escapeHtml(data.title) + "; generated " +
            escapeHtml(localTime(data.generated)) + ".</p>\n";

    html +=
        "<h2>Summary</h2>\n<table id=\"summary\">\n<tr><th>Day</th><th>Station</th><th>Plan</th>"
        "<th>Units</th><th>Passed</th><th>Failed</th><th>Pass rate</th></tr>\n";
    long long units = 0, passed = 0;
    for (const SummaryRow &r : data.summary) {
        html += "<tr><td class=\"text\">" + escapeHtml(r.day) + "</td><td class=\"text\">" +
                escapeHtml(r.station) + "</td><td class=\"text\">" + escapeHtml(r.plan) +
                "</td><td>" + std::to_string(r.units) + "</td><td>" + std::to_string(r.passed) +
                "</td><td>" + std::to_string(r.units - r.passed) + "</td><td>" +
                percent(r.passed, r.units) + "</td></tr>\n";
        units += r.units;
        passed += r.passed;
    }
    html += "<tr class=\"total\"><td class=\"text\">All</td><td></td><td></td><td>" +
            std::to_string(units) + "</td><td>" + std::to_string(passed) + "</td><td>" +
            std::to_string(units - passed) + "</td><td>" + percent(passed, units) +
            "</td></tr>\n</table>\n";

    html += "<h2>By station</h2>\n<table id=\"stations\">\n<tr><th>Station</th><th>Units</th>"
            "<th>Passed</th><th>Failed</th><th>Pass rate</th></tr>\n";
    for (const StationTotal &t : stationTotals(data.summary))
        html += "<tr><td class=\"text\">" + escapeHtml(t.station) + "</td><td>" +
                std::to_string(t.units) + "</td><td>" + std::to_string(t.passed) + "</td><td>" +
                std::to_string(t.units - t.passed) + "</td><td>" + percent(t.passed, t.units) +
                "</td></tr>\n";
    html += "</table>\n";

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

    html += "<h2>Failed units</h2>\n";
    if (data.failedUnits.empty()) {
        html += "<p>No failed units.</p>\n";
    } else {
        html += "<table id=\"failed-units\">\n<tr><th>Time</th><th>Station</th><th>Port</th>"
                "<th>SAM ID</th><th>Serial</th><th>Verdict</th><th>Failed steps</th></tr>\n";
        for (const StoredUnit &u : data.failedUnits)
            html += "<tr><td class=\"text\">" + escapeHtml(localTime(u.at)) +
                    "</td><td class=\"text\">" + escapeHtml(u.station) + "</td><td>" +
                    std::to_string(u.port) + "</td><td class=\"text\">" + escapeHtml(u.samId) +
                    "</td><td class=\"text\">" + escapeHtml(u.serial) + "</td><td class=\"text\">" +
                    escapeHtml(verdictName(u.verdict)) + "</td><td class=\"text\">" +
                    escapeHtml(joined(u.failedSteps, ", ")) + "</td></tr>\n";
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
    if (data.history) {
        const History &h = *data.history;
        html += "<h2>Checks of " + escapeHtml(h.unit) + " over time</h2>\n";
        html += "<table id=\"history\">\n<tr><th>Time</th><th>Station</th><th>Port</th>"
                "<th>Verdict</th><th>Reads</th><th>Mean read, ms</th><th>Failed steps</th></tr>\n";
        for (const HistoryCheck &c : h.checks)
            html += "<tr><td class=\"text\">" + escapeHtml(localTime(c.unit.at)) +
                    "</td><td class=\"text\">" + escapeHtml(c.unit.station) + "</td><td>" +
                    std::to_string(c.unit.port) + "</td><td class=\"text\">" +
                    escapeHtml(verdictName(c.unit.verdict)) + "</td><td>" +
                    std::to_string(c.unit.readMs.size()) + "</td><td>" +
                    (c.meanReadMs ? number(*c.meanReadMs) : "-") + "</td><td class=\"text\">" +
                    escapeHtml(joined(c.unit.failedSteps, ", ")) + "</td></tr>\n";
        html += "</table>\n";
        if (h.slopeMsPerCheck)
            html += "<p id=\"trend\">Read time trend: " + signedMs(*h.slopeMsPerCheck) +
                    " a check.</p>\n";
        html += readTimeTrendSvg(h);
    }
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
