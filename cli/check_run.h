// kav check and kav results as commands: arguments in, exit code out.
#pragma once

#include "output.h"

#include <functional>
#include <string>
#include <vector>

namespace kav::cli {

struct CheckOptions {
    std::string planPath; // empty: the built-in plan
    std::string dbPath;   // empty: the default record
    bool loop = false;
    bool showPlan = false;
    bool fullCheck = false;          // read every page of the database before use
    bool stopAtFirstFailure = false; // as the plan's own setting, whatever the plan says
    std::string station;             // empty: the host name
    std::string operatorId;          // empty: not recorded
    std::string serial;              // empty: the unit's SAM ID
    std::string onVerdict;           // a command run after each verdict; empty: none
    std::string outboxPath;          // with a central record: the local record (empty: the default)
};

struct ResultsOptions {
    std::string dbPath;
    std::string since;
    std::string samId;
    std::string until;
    std::string verdict; // pass, fail, error, aborted in any case, or empty
    std::string station;
    std::string operatorId;
    std::string serial;
    bool csv = false;
    bool summary = false;
    std::string htmlPath;
    bool fullCheck = false;
    bool history = false; // one unit's checks over time; needs samId or serial
};

// Refuses a bad plan or an unusable database before any port is touched,
// then asks findPorts for the ports (--all searches them) and checks them
// at once, each on a thread of its own.
int runCheck(const Output &out, const std::function<std::vector<int>()> &findPorts,
             const CheckOptions &options);
int runResults(const Output &out, const ResultsOptions &options);

struct SyncOptions {
    std::string dbPath;     // the central record; empty: the target the outbox rows name
    std::string outboxPath; // empty: the default record
};

// Sends every unit waiting in the outbox now; exit 0 only when none is left.
int runSync(const Output &out, const SyncOptions &options);

} // namespace kav::cli
