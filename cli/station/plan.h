// A check plan: the steps a unit on the line must pass, and their limits,
// read from a small JSON file (or the built-in default) and validated in
// full before any port is touched.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kav::station {

// One step of a plan, in the order the plan gives.
struct PlanStep {
    enum class Kind {
        SamStatus,     // the SAM answers its status command
        SamId,         // the unit's identity
        Baud,          // the SAM is at the expected rate (serial ports)
        Reads,         // N reads of the reference card, each within a limit
        BaudRoundTrip, // to another rate and back, the SAM answering at each
        Soak,          // N read sequences: a success ratio and a p95 limit
    };
    Kind kind = Kind::SamStatus;
    int baud = 115200;           // Baud: the rate; BaudRoundTrip: the rate it goes to
    int count = 0;               // Reads, Soak
    double limitMs = 0;          // Reads: each read's limit
    std::string idNumber;        // Reads: expected ID number, empty: any
    double minOkRatio = 1.0;     // Soak
    std::optional<double> p95Ms; // Soak
};

// The step's name as plans, verdicts and records spell it.
const char *stepName(PlanStep::Kind kind);

struct CheckPlan {
    std::string name;
    std::vector<PlanStep> steps;
    std::string text;    // as read
    std::string hash;    // of text, so two plans of one name differ in the record
    std::string version; // the plan's own, "" when it gives none
};

// The plan used when none is given, as JSON text (kav check --show-plan).
const std::string &defaultPlanText();

// The plan in `text`; nullopt with `error` naming `source`, the place and
// what is wrong ("plan.json: steps[2].limitMs: must be a number above 0").
std::optional<CheckPlan> parsePlan(const std::string &text, const std::string &source,
                                   std::string &error);

// The plan in a file, or the default plan when path is empty.
std::optional<CheckPlan> loadPlan(const std::string &path, std::string &error);

// A fingerprint of text (64-bit FNV-1a, 16 hex digits): tells plans
// apart in the record; not a protection against anyone.
std::string textHash(const std::string &text);

} // namespace kav::station
