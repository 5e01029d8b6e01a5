// A reader of CSV as RFC 4180 writes it, for tests that parse an export
// back: quoted fields with doubled quotes, commas and line breaks inside,
// CRLF or LF between records.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace test {

using CsvRecord = std::vector<std::string>;

// The records, or nullopt when the text breaks the format (a quote inside
// an unquoted field, text after a closing quote, an unterminated quote).
inline std::optional<std::vector<CsvRecord>> parseCsv(const std::string &text) {
    std::vector<CsvRecord> records;
    CsvRecord record;
    std::string field;
    bool quoted = false;    // inside a quoted field
    bool wasQuoted = false; // the field was quoted and has ended
    bool any = false;       // the record has begun
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
                wasQuoted = true;
            }
            continue;
        }
        if (c == ',' || c == '\n' || c == '\r') {
            if (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))
                return std::nullopt;
            if (c == '\r')
                continue;
            record.push_back(field);
            field.clear();
            wasQuoted = false;
            any = c == ',';
            if (c == '\n') {
                records.push_back(record);
                record.clear();
            }
            continue;
        }
        if (wasQuoted)
            return std::nullopt;
        if (c == '"') {
            if (!field.empty())
                return std::nullopt;
            quoted = true;
        } else {
            field += c;
        }
        any = true;
    }
    if (quoted)
        return std::nullopt;
    if (any || !field.empty() || wasQuoted) {
        record.push_back(field);
        records.push_back(record);
    }
    return records;
}

} // namespace test
