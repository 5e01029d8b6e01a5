#include "pg_outbox.h"

#include "check.h"
#include "pg_schema.h"
#include "pg_upload.h"
#include "pg_uri.h"

#include <cstdio>
#include <set>

namespace kav::station {

SyncCounts uploadPending(SqliteStore &outbox, PgConnection &conn, int limit,
                         const OutboxWindow &window) {
    SyncCounts counts;
    std::string error;
    const std::vector<OutboxEntry> waiting = outbox.pending(limit, error, window);
    if (!error.empty()) {
        counts.lastError = "the local record: " + error;
        counts.failed = 1;
        return counts;
    }
    counts.seen = static_cast<long long>(waiting.size());
    if (!waiting.empty())
        counts.lastUnit = waiting.back().unit.id;
    std::vector<UploadItem> items;
    items.reserve(waiting.size());
    for (const OutboxEntry &e : waiting)
        items.push_back(uploadItem(e.unit));
    const std::vector<UploadResult> results = uploadRuns(conn, items);
    for (std::size_t i = 0; i < waiting.size() && i < results.size(); ++i) {
        const OutboxEntry &e = waiting[i];
        const UploadResult &r = results[i];
        std::string ignored;
        const std::string nextTry = timeAfter(utcNow(), retryDelay(e.attempts + 1).count());
        switch (r.outcome) {
        case UploadOutcome::Stored:
        case UploadOutcome::AlreadyThere:
            ++(r.outcome == UploadOutcome::Stored ? counts.sent : counts.alreadyThere);
            if (!outbox.acknowledge(e.unit.id, error))
                counts.lastError = "the local record: " + error;
            break;
        case UploadOutcome::Conflict:
            ++counts.conflicts;
            counts.conflicted.push_back("run " + e.unit.runId + ": " + r.error);
            outbox.recordAttempt(e.unit.id, "conflict: " + r.error, nextTry, ignored);
            break;
        case UploadOutcome::Failed:
            ++counts.failed;
            counts.lastError = r.error;
            outbox.recordAttempt(e.unit.id, r.error, nextTry, ignored);
            break;
        }
    }
    return counts;
}

Uploader::Uploader(SqliteStore &outbox, std::string uri)
    : outbox_(outbox), uri_(std::move(uri)), thread_([this] { run(); }) {}

Uploader::~Uploader() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Uploader::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    changed_.notify_all();
}

std::vector<std::string> Uploader::takeConflicts() {
    std::lock_guard lock(mutex_);
    return std::exchange(conflicts_, {});
}

bool Uploader::pass(std::chrono::milliseconds statementDeadline,
                    std::optional<std::chrono::steady_clock::time_point> until) {
    const auto stopping = [this] {
        std::lock_guard lock(mutex_);
        return stop_;
    };
    std::string error;
    if (!conn_ || !conn_->alive()) {
        // The thread's connect gives up when kav ends; the last try's ends in time.
        ConnectLimit limit{until, {}};
        if (!until)
            limit.abandon = stopping;
        conn_ = PgConnection::connect(uri_, statementDeadline, error, limit);
        if (conn_ && !ensureCentralSchema(*conn_, SchemaUse::Create, error))
            conn_.reset();
        if (!conn_ && !until && stopping())
            return false; // given up, not failed: the last try follows
        if (!conn_) {
            // Said on the oldest unit, so the banner tells why it waits.
            const std::vector<OutboxEntry> oldest = outbox_.pending(1, error);
            std::string ignored;
            if (!oldest.empty())
                outbox_.recordAttempt(oldest[0].unit.id, error.empty() ? "no connection" : error,
                                      utcNow(), ignored);
            return false;
        }
    }
    OutboxWindow window{0, until ? std::string() : utcNow()};
    for (;;) {
        const SyncCounts counts = uploadPending(outbox_, *conn_, kUploadBatch, window);
        {
            std::lock_guard lock(mutex_);
            for (const std::string &c : counts.conflicted) {
                if (!announced_.insert(c).second)
                    continue;
                std::fprintf(stderr,
                             "kav: central record %s: CONFLICT, the unit stays in the outbox: %s\n",
                             conn_->location().c_str(), c.c_str());
                conflicts_.push_back(c);
            }
        }
        if (counts.failed > 0)
            return false;
        // A full batch: more may wait after it, behind conflicts or not.
        if (counts.seen < kUploadBatch)
            return true;
        window.afterUnit = counts.lastUnit;
        if (until ? std::chrono::steady_clock::now() >= *until : stopping())
            return true;
    }
}

void Uploader::run() {
    int failures = 0;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return;
            woken_ = false;
        }
        failures = pass(std::chrono::seconds{10}, std::nullopt) ? 0 : failures + 1;
        std::unique_lock lock(mutex_);
        // After a failure, the backoff; else until a unit comes (or a
        // while, for units another kav left in the same outbox).
        const auto wait = failures > 0 ? retryDelay(failures) : std::chrono::milliseconds{5000};
        changed_.wait_for(lock, wait, [&] { return stop_ || (woken_ && failures == 0); });
        if (stop_)
            return;
    }
}

void Uploader::finish(std::chrono::milliseconds deadline) {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
    const auto until = std::chrono::steady_clock::now() + deadline;
    std::string error;
    if (outbox_.outboxState(error).pending > 0)
        pass(deadline, until);
}

} // namespace kav::station
