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
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kav::station {

struct SyncCounts {
    long long sent = 0, alreadyThere = 0, conflicts = 0, failed = 0;
    std::string lastError;               // of a failed unit or of the connection
    std::vector<std::string> conflicted; // "run <id>: why", each said once a pass
};

// Sends up to `limit` of the oldest pending units: what the server now
// holds (or held, the same) leaves the outbox; a failure is counted on its
// row; a conflict stays, said in the counts.
SyncCounts uploadPending(SqliteStore &outbox, PgConnection &conn, int limit);

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
    // One pass over the outbox, connecting first when needed; false when
    // something failed (the caller backs off).
    bool pass(std::chrono::milliseconds statementDeadline);
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
