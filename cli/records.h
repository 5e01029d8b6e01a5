// The record of every checked unit: a SQLite database (one file a station
// can copy), one row per unit, written when the unit is done and committed
// before its verdict is shown. The layout is versioned (PRAGMA user_version)
// and marked as ours (PRAGMA application_id); see kav(1) for the tables.
#pragma once

#include "check.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace kav::cli {

// The layout this kav writes; an older one is upgraded, a newer refused.
inline constexpr int kRecordsVersion = 2;
// "VKRT": the file is a Velkart results database.
inline constexpr int kRecordsApplicationId = 0x564B5254;

// $XDG_DATA_HOME/velkart/results.sqlite, or ~/.local/share/... without it.
std::string defaultRecordsPath();

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

class Records {
  public:
    enum class Open { CreateIfMissing, MustExist };
    // nullptr with `error` when the file cannot be used: it is no SQLite
    // database, not one of ours, of a newer layout, or damaged. Such a file
    // is left exactly as it was.
    static std::unique_ptr<Records> open(const std::string &path, Open how, std::string &error);
    ~Records();
    Records(const Records &) = delete;
    Records &operator=(const Records &) = delete;

    // Appends a unit and commits it; waits while another process writes.
    // The new row's id, or nullopt with error.
    std::optional<long long> append(const UnitResult &unit, const CheckRun &run, const Json &steps,
                                    std::string &error);

    std::vector<StoredUnit> units(const RecordFilter &filter, std::string &error);
    std::vector<SummaryRow> summary(const RecordFilter &filter, std::string &error);
    std::vector<FailureCount> failures(const RecordFilter &filter, std::string &error);
    std::vector<double> readTimes(const RecordFilter &filter, std::string &error);

    const std::string &path() const { return path_; }

  private:
    Records(sqlite3 *db, std::string path) : db_(db), path_(std::move(path)) {}
    sqlite3 *db_;
    std::string path_;
    std::mutex mutex_; // one connection; the threads of one process write in turn
};

} // namespace kav::cli
