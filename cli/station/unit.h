// What checking one unit gives: its verdict and the figures of each step.
// The runner fills these in and the record stores them; neither needs the
// other to know them.
#pragma once

#include "plan.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kav::station {

using Json = nlohmann::ordered_json;

struct StepFailure {
    std::string operation; // the call that failed, or "" for a limit the plan sets
    std::string code;      // a result code ("128", "-6") or the limit missed ("over-limit")
    std::string text;      // for people
    int count = 1;         // how many of the step's reads failed so
};

struct StepOutcome {
    enum class Status { Passed, Failed, Skipped };
    std::string step;
    Status status = Status::Passed;
    Json figures = Json::object();
    std::vector<StepFailure> failures;
};

// FAIL: the unit missed a limit. ERROR: the check could not run (no
// reader, the link lost), which says nothing of the unit. ABORTED: the
// user stopped it.
enum class Verdict { Pass, Fail, Error, Aborted };

// "PASS", "FAIL", "ERROR", "ABORTED": as records and verdicts spell them.
const char *verdictName(Verdict verdict);
// The verdict a name gives, in any case; nullopt for anything else.
std::optional<Verdict> verdictFromName(std::string_view name);

// One step's figure as columns: what was measured against which limits.
// Absent values are NULL in the record.
struct StepResult {
    long long position = 0; // 0, 1, ... in the plan's order
    std::string step;
    std::string outcome; // "PASS", "FAIL", "SKIPPED" or "ERROR"
    std::optional<double> measured;
    std::string units; // "ms", "ratio", "baud"; empty when nothing was measured
    std::optional<double> low, high;
    bool operator==(const StepResult &) const = default;
};

struct UnitResult {
    std::string runId; // a UUID, made when the check began
    int port = 0;
    std::string at;      // UTC, ISO 8601 with milliseconds, when the check began
    std::string endedAt; // the same, when it ended
    std::string samId;   // the dialog's form; empty when the SAM did not say
    Verdict verdict = Verdict::Fail;
    double ms = 0;
    std::vector<StepOutcome> steps;
    std::vector<double> readMs; // each successful read sequence, for the record's plot
    std::vector<StepResult> stepResults;
    bool passed() const { return verdict == Verdict::Pass; }
};

// What is recorded and printed besides the unit's own result.
struct CheckRun {
    const CheckPlan *plan = nullptr;
    std::string station;        // --station, else the host name
    std::string libraryVersion; // the loaded library's file name, with its version
    std::string kavVersion;     // of the kav that checked it
    std::string operatorId;     // --operator; empty: not given
    std::string serial;         // --serial; empty: the unit's SAM ID stands for it
};

} // namespace kav::station
