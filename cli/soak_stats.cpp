#include "soak_stats.h"

#include "exit_codes.h"

#include <algorithm>
#include <cmath>

namespace kav::cli {
namespace {

// Nearest rank: the smallest value with at least p of the values at or below it.
double percentile(const std::vector<double> &sorted, double p) {
    const auto rank = static_cast<std::size_t>(std::ceil(p * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

} // namespace

SoakStats summariseSoak(const std::vector<SoakAttempt> &attempts, double totalMs) {
    SoakStats stats;
    stats.count = static_cast<int>(attempts.size());
    std::vector<double> okMs;
    int worstCode = 0;
    int worstCount = 0;
    for (const SoakAttempt &a : attempts) {
        if (a.result == 0) {
            okMs.push_back(a.ms);
            continue;
        }
        auto step = std::find_if(
            stats.failedSteps.begin(), stats.failedSteps.end(),
            [&a](const FailedStep &f) { return f.code == a.result && f.operation == a.operation; });
        if (step == stats.failedSteps.end())
            stats.failedSteps.push_back({a.operation, a.result, 1});
        else
            ++step->count;
        const int seen = ++stats.failures[a.result];
        if (seen > worstCount) {
            worstCount = seen;
            worstCode = a.result;
        }
    }
    std::stable_sort(stats.failedSteps.begin(), stats.failedSteps.end(),
                     [](const FailedStep &a, const FailedStep &b) { return a.count > b.count; });
    stats.ok = static_cast<int>(okMs.size());
    if (!okMs.empty()) {
        std::sort(okMs.begin(), okMs.end());
        stats.minMs = okMs.front();
        stats.medianMs = percentile(okMs, 0.5);
        stats.p95Ms = percentile(okMs, 0.95);
        stats.maxMs = okMs.back();
    }
    if (totalMs > 0)
        stats.readsPerMinute = double(stats.ok) * 60000.0 / totalMs;
    stats.exitCode = worstCount == 0 ? kExitOk : exitClass(worstCode);
    return stats;
}

} // namespace kav::cli
