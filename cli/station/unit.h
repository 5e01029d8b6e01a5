// What checking one unit gives: its verdict and the figures of each step.
// The runner fills these in and the record stores them; neither needs the
// other to know them.
#pragma once

#include "plan.h"

#include <nlohmann/json.hpp>

#include <string>
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

struct UnitResult {
    int port = 0;
    std::string at;    // UTC, ISO 8601 with milliseconds, when the check began
    std::string samId; // the dialog's form; empty when the SAM did not say
    bool passed = false;
    double ms = 0;
    std::vector<StepOutcome> steps;
    std::vector<double> readMs; // each successful read sequence, for the record's plot
};

// What is recorded and printed besides the unit's own result.
struct CheckRun {
    const CheckPlan *plan = nullptr;
    std::string station;        // host name
    std::string libraryVersion; // the loaded library's file name, with its version
    std::string kavVersion;     // of the kav that checked it
};

} // namespace kav::station
