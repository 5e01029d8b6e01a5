// The figures a soak run reports, from the outcome of each read sequence.
#pragma once

#include <map>
#include <optional>
#include <vector>

namespace kav::cli {

struct SoakStats {
    int count = 0;
    int ok = 0;
    std::map<int, int> failures; // result code -> how many
    // Durations of the successful sequences, in ms; empty when none succeeded.
    std::optional<double> minMs, medianMs, p95Ms, maxMs;
    double readsPerMinute = 0; // successful reads over the run's whole time
    int exitCode = 0;
};

struct SoakAttempt {
    int result = 0; // 0: the sequence succeeded
    double ms = 0;
};

// exitCode: 0 when every sequence succeeded, else the class of the most
// frequent failure code (of equally frequent ones, the first to get there).
SoakStats summariseSoak(const std::vector<SoakAttempt> &attempts, double totalMs);

} // namespace kav::cli
