// kav check: one unit (the reader on one port) through a check plan, to a
// verdict with the figures of each step. checkUnit() keeps no state of its
// own, so several ports may be checked at once on threads of their own.
#pragma once

#include "check_plan.h"
#include "output.h"

#include <string>
#include <vector>

namespace kav::cli {

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

const char *statusName(StepOutcome::Status status);

struct UnitResult {
    int port = 0;
    std::string at;    // UTC, ISO 8601 with milliseconds, when the check began
    std::string samId; // the dialog's form; empty when the SAM did not say
    bool passed = false;
    double ms = 0;
    std::vector<StepOutcome> steps;
    std::vector<double> readMs; // each successful read sequence, for the record's plot
};

// Runs the plan on the unit on `port`. The process must have set the
// library's photo folder (reads write a photo) before.
UnitResult checkUnit(const CheckPlan &plan, int port);

// What is recorded and printed besides the unit's own result.
struct CheckRun {
    const CheckPlan *plan = nullptr;
    std::string station;        // host name
    std::string libraryVersion; // the loaded library's file name, with its version
};

// One unit's verdict as one JSON object (a line of kav check --json);
// record: the row it was written to and what writing it cost.
Json unitJson(const UnitResult &unit, const CheckRun &run, const Json &record);

// The banner a technician reads from a metre away, then one line a step.
std::string unitBanner(const UnitResult &unit, const CheckRun &run, bool colour);

// Now in UTC, ISO 8601 with milliseconds.
std::string utcNow();

} // namespace kav::cli
