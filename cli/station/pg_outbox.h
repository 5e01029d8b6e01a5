// The station's outbox emptied into the central record: units committed to
// the local record first, then sent in batches by a thread of their own,
// so a check never waits on the network and a server away loses nothing.
#pragma once

#include "pg_connection.h"
#include "sqlite_store.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kav::station {

// Units a round trip: large enough for a backlog to go quickly, small
// enough that one batch ends well within a statement's deadline.
inline constexpr int kUploadBatch = 200;

struct SyncCounts {
    long long sent = 0, alreadyThere = 0, conflicts = 0, failed = 0;
    std::string lastError;               // of a failed unit or of the connection
    std::vector<std::string> conflicted; // "run <id>: why", each said once a pass
    long long seen = 0;                  // units in the batch
    long long lastUnit = 0;              // the batch's last units.id: where the next one starts
};

// Sends up to `limit` of the oldest pending units in `window`: what the
// server now holds (or held, the same) leaves the outbox; a failure or a
// conflict is counted on its row and backs off (a conflict stays, said in
// the counts), so a pass that walks on past them reaches the newer units.
SyncCounts uploadPending(SqliteStore &outbox, PgConnection &conn, int limit,
                         const OutboxWindow &window = {});

class Uploader {
  public:
    // Starts the thread; `uri` may carry a password, kept in memory only.
    Uploader(SqliteStore &outbox, std::string uri);
    // Stops the thread (an upload under way ends by its statement deadline).
    ~Uploader();
    Uploader(const Uploader &) = delete;
    Uploader &operator=(const Uploader &) = delete;

    // A unit was added: send it soon.
    void wake();
    // Stops the thread, then tries once more until `deadline` passes; what
    // is still pending stays in the outbox.
    void finish(std::chrono::milliseconds deadline);
    // Conflicts found since the last call.
    std::vector<std::string> takeConflicts();

  private:
    void run();
    // One pass over the outbox, connecting first when needed: the thread's
    // over the units due now, ended early by stop_; the last try's (with
    // `until`) over every unit, ended by then. False when something failed
    // (the caller backs off).
    bool pass(std::chrono::milliseconds statementDeadline,
              std::optional<std::chrono::steady_clock::time_point> until);
    SqliteStore &outbox_;
    std::string uri_;
    std::unique_ptr<PgConnection> conn_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false, woken_ = false;
    std::vector<std::string> conflicts_;
    std::set<std::string> announced_; // conflicts said already: once a process
    std::thread thread_;
};

} // namespace kav::station
