// The local record: a SQLite database (one file a station can copy). The
// layout is versioned (PRAGMA user_version) and marked as ours (PRAGMA
// application_id); see kav(1) for the tables.
#pragma once

#include "record_store.h"

#include <mutex>

struct sqlite3;

namespace kav::station {

// The layout this kav writes; an older one is upgraded, a newer refused.
inline constexpr int kRecordsVersion = 3;
// "VKRT": the file is a Velkart results database.
inline constexpr int kRecordsApplicationId = 0x564B5254;

// A unit waiting in the local record for upload to a central record.
struct OutboxEntry {
    StoredUnit unit;
    std::string target; // the central record's URI, without its password
    int attempts = 0;
    std::string lastError;
};

// Which waiting units pending() gives, so that a pass walks the outbox
// once: those after a unit, and of them those due by a time.
struct OutboxWindow {
    long long afterUnit = 0; // units.id: only greater ones
    std::string dueBy;       // UTC, ISO 8601: only units whose next try is due then; "" for all
};

struct OutboxState {
    long long pending = 0;
    std::string lastError; // of the latest failed attempt; empty when none
};

class SqliteStore final : public RecordStore {
  public:
    // nullptr with `error` when the file cannot be used: it is no SQLite
    // database, not one of ours, of a newer layout, or damaged. Such a file
    // is left exactly as it was.
    static std::unique_ptr<SqliteStore> open(const std::string &path, StoreOpen how,
                                             std::string &error,
                                             StoreCheck check = StoreCheck::Quick);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore &) = delete;
    SqliteStore &operator=(const SqliteStore &) = delete;

    std::optional<StoredUnit> append(const UnitResult &unit, const CheckRun &run, const Json &steps,
                                     std::string &error) override;
    Receipt receive(const StoredUnit &unit, std::string &error) override;
    std::optional<StoredUnit> unit(long long id, std::string &error) override;
    std::optional<StoredUnit> unitByRunId(const std::string &runId, std::string &error) override;
    std::vector<StoredUnit> units(const RecordFilter &filter, std::string &error) override;
    std::vector<SummaryRow> summary(const RecordFilter &filter, std::string &error) override;
    std::vector<FailureCount> failures(const RecordFilter &filter, std::string &error) override;
    std::vector<double> readTimes(const RecordFilter &filter, std::string &error) override;

    const std::string &location() const override { return path_; }

    // As append(), with the unit's outbox row for `target` (a URI without
    // its password) in the same transaction: the unit is never recorded
    // without its upload pending.
    std::optional<StoredUnit> appendForUpload(const UnitResult &unit, const CheckRun &run,
                                              const Json &steps, const std::string &target,
                                              std::string &error);
    // The oldest `limit` units waiting for upload in `window`, oldest first.
    std::vector<OutboxEntry> pending(int limit, std::string &error,
                                     const OutboxWindow &window = {});
    // The unit is in the central record: its outbox row goes.
    bool acknowledge(long long unit, std::string &error);
    // An attempt that failed: counted, with why and when (UTC, ISO 8601)
    // the next one is due.
    bool recordAttempt(long long unit, const std::string &why, const std::string &nextTry,
                       std::string &error);
    OutboxState outboxState(std::string &error);

  private:
    std::optional<StoredUnit> appendUnit(const UnitResult &unit, const CheckRun &run,
                                         const Json &steps, const std::string *target,
                                         std::string &error);
    // Runs one statement with text values bound; false with error.
    bool change(const std::string &sql, const std::vector<std::string> &values, std::string &error);
    SqliteStore(sqlite3 *db, std::string path) : db_(db), path_(std::move(path)) {}
    // Empty when the file at path_ is still the one opened, else what became of it.
    std::string fileChanged() const;
    sqlite3 *db_;
    std::string path_;
    unsigned long long device_ = 0, inode_ = 0; // of the file opened
    std::mutex mutex_; // one connection; the threads of one process write in turn
};

} // namespace kav::station
