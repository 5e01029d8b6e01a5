// The record of every checked unit: one row per unit, written when the unit
// is done and committed before its verdict is shown. The station keeps its
// own in a local file; a line's central record is another store behind the
// same interface, fed from that file as its outbox.
#pragma once

#include "unit.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kav::station {

struct RecordFilter {
    std::string since;   // UTC date or time, ISO 8601 prefix; empty: any
    std::string samId;   // empty: any
    std::string verdict; // "PASS", "FAIL" or empty
};

struct StoredUnit {
    long long id = 0;
    std::string at, station;
    int port = 0;
    std::string samId, planName, planHash, verdict;
    double ms = 0;
    std::string libraryVersion, kavVersion;
    std::string steps; // JSON text, as kav check --json gives them
    std::vector<std::string> failedSteps;
};

struct SummaryRow {
    std::string day, plan;
    long long units = 0, passed = 0;
};

struct FailureCount {
    std::string step, operation, code, text;
    long long count = 0;
};

// Every call may come from any thread of the process; a store writes in
// turn. A call that fails sets `error`.
class RecordStore {
  public:
    virtual ~RecordStore() = default;

    // Appends a unit and commits it; waits while another process writes.
    // The new row's id, or nullopt with error.
    virtual std::optional<long long> append(const UnitResult &unit, const CheckRun &run,
                                            const Json &steps, std::string &error) = 0;

    virtual std::vector<StoredUnit> units(const RecordFilter &filter, std::string &error) = 0;
    virtual std::vector<SummaryRow> summary(const RecordFilter &filter, std::string &error) = 0;
    virtual std::vector<FailureCount> failures(const RecordFilter &filter, std::string &error) = 0;
    virtual std::vector<double> readTimes(const RecordFilter &filter, std::string &error) = 0;

    // Where the record is, as messages and a verdict's "db" name it.
    virtual const std::string &location() const = 0;
};

// MustExist opens for reading only: kav results writes nothing.
enum class StoreOpen { CreateIfMissing, MustExist };
// Quick looks at the header and the layout (milliseconds at any size);
// Full reads every page (a third of a second at 100,000 units).
enum class StoreCheck { Quick, Full };

// The station's own record, the file at `path`; nullptr with `error` when
// the file cannot be used. Such a file is left exactly as it was.
std::unique_ptr<RecordStore> openLocalStore(const std::string &path, StoreOpen how,
                                            std::string &error,
                                            StoreCheck check = StoreCheck::Quick);

// False in a build without the local store (no SQLite for that system).
bool haveLocalStore();

// $XDG_DATA_HOME/velkart/results.sqlite, or ~/.local/share/... without it.
std::string defaultRecordsPath();

} // namespace kav::station
