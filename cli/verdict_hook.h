// kav check --on-verdict: a command of the site's (a label printer, a
// factory system) run after each verdict is recorded, given the unit's JSON
// on its standard input. Whatever it does, it never holds the line for
// longer than its deadline and never changes a verdict.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

namespace kav::cli {

// What became of one run of the command.
struct HookOutcome {
    bool started = false;
    int exitCode = -1;     // when it ended by itself
    int signal = 0;        // when a signal ended it
    bool timedOut = false; // killed, with its process group, at the deadline
    std::string error;     // why it could not start; or what went wrong, for people
    bool succeeded() const { return started && !timedOut && signal == 0 && exitCode == 0; }
};

// Whether this system can run the command at all (not on Windows, where kav
// has no way yet to start a process group and end it whole).
bool verdictHooksSupported();

// Runs `command` with /bin/sh -c, `input` on its standard input and its
// standard output sent to our standard error (so it never mixes into the
// JSON stream), in a process group of its own so that Ctrl-C at the
// terminal does not cut a label in half, and a hang is ended whole.
// Nothing of the input reaches its arguments or environment.
HookOutcome runVerdictHook(const std::string &command, const std::string &input,
                           std::chrono::milliseconds deadline);

// {"exit": 0}, {"exit": 3, "error": ...}, {"signal": 9, "error": ...},
// {"timedOut": true, "error": ...} or {"error": ...}: the "hook" member of
// a unit's line.
nlohmann::ordered_json hookJson(const HookOutcome &outcome);

// The same for people: empty when the command succeeded.
std::string hookProblem(const HookOutcome &outcome);

} // namespace kav::cli
