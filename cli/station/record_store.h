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

// Every member empty: any. since and until are UTC dates or times, ISO
// 8601 prefixes, both inclusive (until 2026-12-08 takes in that whole day).
struct RecordFilter {
    std::string since;
    std::string until;
    std::string samId;
    std::string verdict; // "PASS", "FAIL", "ERROR" or "ABORTED"
    std::string station;
    std::string operatorId;
    std::string serial;
};

struct FailureCount {
    std::string step, operation, code, text;
    long long count = 0;
    bool operator==(const FailureCount &) const = default;
};

// A unit as the record holds it. Empty operator, serial and samId are NULL.
struct StoredUnit {
    long long id = 0; // the store's own; never compared across stores
    std::string runId, at, endedAt, station, operatorId, serial;
    long long sequence = 0; // per station, 1, 2, 3 ... in its local record
    int port = 0;
    std::string samId, planName, planVersion, planHash;
    Verdict verdict = Verdict::Fail;
    double ms = 0;
    std::string libraryVersion, kavVersion;
    std::string steps; // JSON text, as kav check --json gives them
    std::string payloadHash;
    std::string receivedAt;               // the central record's receipt time; empty locally
    std::vector<std::string> failedSteps; // the names of the steps in failures, each once
    std::vector<FailureCount> failures;   // count: the step's own count of that failure
    std::vector<double> readMs;
    std::vector<StepResult> stepResults;
};

struct SummaryRow {
    std::string day, station, plan;
    long long units = 0, passed = 0;
};

// The unit's canonical payload: what its payload hash is over and what an
// upload sends. Both stores hash these same bytes.
Json runPayload(const StoredUnit &unit);
std::string payloadText(const StoredUnit &unit);
// SHA-256 hex of payloadText().
std::string payloadHash(const StoredUnit &unit);

// A random (version 4) UUID, lower-case hex with dashes.
std::string newRunId();

// The record's columns of each step, from what the check gave.
std::vector<StepResult> stepResultsOf(const std::vector<StepOutcome> &steps);
// The same from a unit's steps as JSON text (older records keep only that).
std::vector<StepResult> stepResultsOf(const std::string &stepsJson);

// A checked unit as a store records it, all but its id, sequence and
// payload hash, which the store sets when it writes it.
StoredUnit storedUnitOf(const UnitResult &unit, const CheckRun &run, const Json &steps);

// The ISO 8601 UTC time `ms` after `at` (same form, milliseconds); `at`
// itself when it is not such a time.
std::string timeAfter(const std::string &at, double ms);

// What receive() did with a unit another store recorded.
enum class Receipt {
    Stored,      // it is new here and is now recorded
    AlreadyHeld, // this run id is here with the same payload: nothing written
    Conflict,    // this run id is here with other data: nothing written
    Failed,      // not written; see error
};

// Every call may come from any thread of the process; a store writes in
// turn. A call that fails sets `error`.
class RecordStore {
  public:
    virtual ~RecordStore() = default;

    // Appends a unit and commits it, with the station's next sequence
    // number taken in the same transaction; waits while another process
    // writes. The new row as stored, or nullopt with error.
    virtual std::optional<StoredUnit> append(const UnitResult &unit, const CheckRun &run,
                                             const Json &steps, std::string &error) = 0;

    // Records a unit exactly as another store has it (its run id, sequence
    // and payload hash kept), once: a run id already here is compared by
    // its payload hash, never written twice.
    virtual Receipt receive(const StoredUnit &unit, std::string &error) = 0;

    // One unit with all it holds, by the store's id or by its run id;
    // nullopt with error empty when there is none.
    virtual std::optional<StoredUnit> unit(long long id, std::string &error) = 0;
    virtual std::optional<StoredUnit> unitByRunId(const std::string &runId, std::string &error) = 0;

    // Units in the order recorded, with failures, read times and step results.
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
