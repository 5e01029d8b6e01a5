// The figures a soak run reports, from the outcome of each read sequence.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kav::cli {

// The sequences that stopped at one call with one code.
struct FailedStep {
    std::string operation; // "Kav_ReadMsg"
    int code = 0;
    int count = 0;
};

struct SoakStats {
    int count = 0;
    int ok = 0;
    std::map<int, int> failures; // result code -> how many
    // By the call that failed and its code, the most frequent first (of
    // equally frequent ones, the first to get there).
    std::vector<FailedStep> failedSteps;
    // Durations of the successful sequences, in ms; empty when none succeeded.
    std::optional<double> minMs, medianMs, p95Ms, maxMs;
    double readsPerMinute = 0; // successful reads over the run's whole time
    int exitCode = 0;
};

struct SoakAttempt {
    int result = 0; // 0: the sequence succeeded
    double ms = 0;
    std::string operation; // the call that failed; empty on success
};

// exitCode: 0 when every sequence succeeded, else the class of the most
// frequent failure code (of equally frequent ones, the first to get there).
SoakStats summariseSoak(const std::vector<SoakAttempt> &attempts, double totalMs);

} // namespace kav::cli
