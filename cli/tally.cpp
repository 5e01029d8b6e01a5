#include "tally.h"

#include <cmath>
#include <cstdio>

namespace kav::cli {

using station::Verdict;

void Tally::add(Verdict verdict, const std::string &identity) {
    const std::lock_guard lock(mutex_);
    ++units_;
    const bool pass = verdict == Verdict::Pass;
    passed_ += pass ? 1 : 0;
    failed_ += verdict == Verdict::Fail ? 1 : 0;
    error_ += verdict == Verdict::Error ? 1 : 0;
    aborted_ += verdict == Verdict::Aborted ? 1 : 0;
    if (identity.empty()) {
        ++anonymous_;
        anonymousPassed_ += pass ? 1 : 0;
    } else if (seen_.insert(identity).second) {
        firstPassed_ += pass ? 1 : 0;
    }
}

station::Json Tally::json() const {
    const std::lock_guard lock(mutex_);
    const long long distinct = static_cast<long long>(seen_.size()) + anonymous_;
    const long long first = firstPassed_ + anonymousPassed_;
    station::Json yield = nullptr;
    if (distinct > 0)
        yield = std::round(10000.0 * static_cast<double>(first) / static_cast<double>(distinct)) /
                10000.0;
    return station::Json{{"units", units_},      {"passed", passed_},
                         {"failed", failed_},    {"error", error_},
                         {"aborted", aborted_},  {"distinctUnits", distinct},
                         {"firstPassed", first}, {"firstPassYield", yield}};
}

std::string Tally::text() const {
    const station::Json j = json();
    const auto n = [&j](const char *key) { return std::to_string(j[key].get<long long>()); };
    std::string text = "tally: " + n("units") + " checked: " + n("passed") + " passed, " +
                       n("failed") + " failed, " + n("error") + " error, " + n("aborted") +
                       " aborted; first-pass yield ";
    if (j["firstPassYield"].is_null())
        return text + "- (no unit)";
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.1f%%", 100.0 * j["firstPassYield"].get<double>());
    return text + percent + " (" + n("firstPassed") + " of " + n("distinctUnits") + " units)";
}

} // namespace kav::cli
