// The library's text trace read back as a capture: its frame lines become
// packets, its other lines events. The trace keeps milliseconds in local
// time; what it only counted (noise it did not show, withheld bytes) stays
// a length.
#include "capture/capture.h"
#include "capture/redact.h"

#include <charconv>
#include <ctime>
#include <map>
#include <optional>

namespace kav::capture {
namespace {

// "2026-12-07 10:12:31.123 " in local time, as nanoseconds since 1970 UTC.
std::optional<std::int64_t> timestamp(std::string_view line) {
    if (line.size() < 24 || line[4] != '-' || line[7] != '-' || line[10] != ' ' ||
        line[13] != ':' || line[16] != ':' || line[19] != '.' || line[23] != ' ')
        return std::nullopt;
    const auto number = [&](std::size_t at, std::size_t width) -> std::optional<int> {
        int v = 0;
        const auto [p, ec] = std::from_chars(line.data() + at, line.data() + at + width, v);
        if (ec != std::errc() || p != line.data() + at + width)
            return std::nullopt;
        return v;
    };
    const auto year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const auto hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    const auto ms = number(20, 3);
    if (!year || !month || !day || !hour || !minute || !second || !ms)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = *year - 1900;
    tm.tm_mon = *month - 1;
    tm.tm_mday = *day;
    tm.tm_hour = *hour;
    tm.tm_min = *minute;
    tm.tm_sec = *second;
    tm.tm_isdst = -1;
    const std::time_t made = std::mktime(&tm);
    if (made == static_cast<std::time_t>(-1))
        return std::nullopt;
    // Nanoseconds since 1970 hold some 292 years: later is no trace's time.
    // (A 32-bit time_t cannot reach that far; 64 bits are compared.)
    const std::int64_t t = made;
    if (t < 0 || t > 9'000'000'000)
        return std::nullopt;
    return t * 1'000'000'000 + std::int64_t{*ms} * 1'000'000;
}

std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view s) {
    std::vector<std::uint8_t> out;
    std::size_t i = 0;
    while (i < s.size()) {
        if (s[i] == ' ') {
            ++i;
            continue;
        }
        std::uint8_t v = 0;
        if (i + 2 > s.size())
            return std::nullopt;
        const auto [p, ec] = std::from_chars(s.data() + i, s.data() + i + 2, v, 16);
        if (ec != std::errc() || p != s.data() + i + 2)
            return std::nullopt;
        out.push_back(v);
        i += 2;
    }
    return out;
}

std::optional<std::size_t> leadingCount(std::string_view s) {
    std::size_t v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p == s.data())
        return std::nullopt;
    return v;
}

struct Reader {
    Capture capture;
    std::map<std::string, std::size_t, std::less<>> ports;

    std::size_t port(std::string_view name) {
        auto it = ports.find(name);
        if (it != ports.end())
            return it->second;
        capture.ports.push_back({std::string(name), {}});
        ports.emplace(std::string(name), capture.ports.size() - 1);
        return capture.ports.size() - 1;
    }

    // "LINK >> HEX  [meaning]", "LINK << (N bytes withheld)  [meaning]",
    // "LINK << (N bytes of noise skipped)". False for any other line.
    bool frameLine(std::int64_t time, std::string_view rest) {
        Direction direction;
        std::size_t arrow = rest.find(" >> ");
        const std::size_t back = rest.find(" << ");
        if (arrow != std::string_view::npos && (back == std::string_view::npos || arrow < back))
            direction = Direction::ToReader;
        else if (back != std::string_view::npos) {
            arrow = back;
            direction = Direction::FromReader;
        } else {
            return false;
        }
        const std::string_view link = rest.substr(0, arrow);
        std::string_view body = rest.substr(arrow + 4);
        std::string meaning;
        if (const std::size_t m = body.find("  [");
            m != std::string_view::npos && body.back() == ']') {
            meaning = std::string(body.substr(m + 3, body.size() - m - 4));
            body = body.substr(0, m);
        }
        Record r;
        r.timeNs = time;
        r.direction = direction;
        if (body.starts_with("(") && body.ends_with(")")) {
            const std::string_view inside = body.substr(1, body.size() - 2);
            const auto count = leadingCount(inside);
            if (!count || count > 16u << 20)
                return false;
            if (inside.ends_with(" bytes withheld")) {
                r.kind = Record::Kind::Frame;
            } else if (inside.ends_with(" bytes of noise skipped")) {
                r.kind = Record::Kind::Noise;
                meaning = std::string(inside);
            } else {
                return false;
            }
            r.withheld = *count;
        } else {
            auto bytes = hexBytes(body);
            if (!bytes || bytes->empty())
                return false;
            r.bytes = std::move(*bytes);
            r.kind = isWholeFrame(r.bytes) ? Record::Kind::Frame : Record::Kind::Noise;
        }
        r.port = port(link);
        r.text = std::move(meaning);
        capture.records.push_back(std::move(r));
        return true;
    }
};

// The port an event concerns: the longest port name it holds.
std::size_t eventPort(const Capture &capture, std::string_view text) {
    std::size_t best = npos, length = 0;
    for (std::size_t p = 0; p < capture.ports.size(); ++p) {
        const std::string &name = capture.ports[p].name;
        if (!name.empty() && name.size() > length && text.find(name) != std::string_view::npos) {
            best = p;
            length = name.size();
        }
    }
    return best;
}

// "open /dev/ttyUSB0 at 115200 baud", "/dev/ttyUSB0: now at 9600 baud": the
// first rate said for each port names it.
void describePorts(Capture &capture) {
    for (const Record &r : capture.records) {
        if (r.kind != Record::Kind::Event || r.port == npos ||
            !capture.ports[r.port].description.empty())
            continue;
        const std::size_t baud = r.text.find(" baud");
        if (baud == std::string::npos)
            continue;
        std::size_t from = r.text.rfind(' ', baud - 1);
        from = from == std::string::npos ? 0 : from + 1;
        if (const auto rate = leadingCount(std::string_view(r.text).substr(from, baud - from)))
            capture.ports[r.port].description = std::to_string(*rate) + " 8N1";
    }
}

} // namespace

Capture readTextTrace(std::string_view text) {
    Reader reader;
    std::size_t at = 0;
    std::int64_t last = 0;
    std::vector<std::pair<std::size_t, std::size_t>> events; // record index, text offset
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        const std::size_t lineStart = at;
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        const auto time = timestamp(line);
        if (!time) {
            if (reader.capture.records.empty() && lineStart == 0)
                throw CaptureError(0, "neither pcapng nor a trace of the reader library");
            // A line cut by a full disk or a crash: kept as an event.
            Record r;
            r.kind = Record::Kind::Event;
            r.timeNs = last;
            r.text = std::string(line);
            reader.capture.records.push_back(std::move(r));
            continue;
        }
        last = *time;
        const std::string_view rest = line.substr(24);
        if (reader.frameLine(*time, rest))
            continue;
        Record r;
        r.kind = Record::Kind::Event;
        r.timeNs = *time;
        r.text = std::string(rest);
        reader.capture.records.push_back(std::move(r));
    }
    // Ports are known once every frame line is read: an open comes first.
    for (Record &r : reader.capture.records)
        if (r.kind == Record::Kind::Event)
            r.port = eventPort(reader.capture, r.text);
    describePorts(reader.capture);
    return std::move(reader.capture);
}

std::string redactTextTrace(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    Redactor redactor;
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        const bool newline = end != std::string_view::npos;
        if (!newline)
            end = text.size();
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        std::string redacted(line);
        if (timestamp(line) && line.size() > 24) {
            const std::string_view rest = line.substr(24);
            const std::size_t to = rest.find(" >> "), from = rest.find(" << ");
            const std::size_t arrow = std::min(to, from);
            if (arrow != std::string_view::npos) {
                const std::string_view body = rest.substr(arrow + 4);
                const std::size_t m = body.find("  [");
                const std::string_view hex = body.substr(0, m);
                if (auto bytes = hexBytes(hex); bytes && !bytes->empty()) {
                    redactor.applyBytes(std::string(rest.substr(0, arrow)),
                                        arrow == to ? Direction::ToReader : Direction::FromReader,
                                        *bytes);
                    std::string h;
                    for (std::uint8_t b : *bytes) {
                        if (!h.empty())
                            h += ' ';
                        h += digits[b >> 4];
                        h += digits[b & 15];
                    }
                    redacted = std::string(line.substr(0, 24 + arrow + 4)) + h +
                               redactor.applyText(
                                   std::string(m == std::string_view::npos ? "" : body.substr(m)));
                } else {
                    redacted = redactor.applyText(redacted);
                }
            } else {
                redacted = redactor.applyText(redacted);
            }
        } else {
            redacted = redactor.applyText(redacted);
        }
        out += redacted;
        if (newline)
            out += '\n';
    }
    return out;
}

} // namespace kav::capture
