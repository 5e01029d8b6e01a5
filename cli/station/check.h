// kav check: one unit (the reader on one port) through a check plan, to a
// verdict with the figures of each step. checkUnit() keeps no state of its
// own, so several ports may be checked at once on threads of their own.
#pragma once

#include "unit.h"

#include <functional>
#include <string>
#include <vector>

namespace kav::station {

const char *statusName(StepOutcome::Status status);

// Runs the plan on the unit on `port`. The process must have set the
// library's photo folder (reads write a photo) before. When `interrupted`
// says so before a step, the steps left are skipped and the unit is
// ABORTED; a port that cannot be opened or a unit gone makes it ERROR.
UnitResult checkUnit(const CheckPlan &plan, int port,
                     const std::function<bool()> &interrupted = nullptr);

// One unit's verdict as one JSON object (a line of kav check --json);
// record: the row it was written to and what writing it cost.
Json unitJson(const UnitResult &unit, const CheckRun &run, const Json &record);

// The banner a technician reads from a metre away, then one line a step.
std::string unitBanner(const UnitResult &unit, const CheckRun &run, bool colour);

// Now in UTC, ISO 8601 with milliseconds.
std::string utcNow();

} // namespace kav::station
