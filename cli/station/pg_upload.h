// Sending units from a station's outbox to the central record. Each run is
// sent as its canonical payload (the JSON its payload_hash is over) and
// stored at most once, by its run id: a run the server already holds with
// the same hash is done, one it holds with another hash is a conflict that
// is reported, never skipped in silence.
#pragma once

#include "pg_connection.h"
#include "record_store.h"

#include <chrono>
#include <string>
#include <vector>

namespace kav::station {

struct UploadItem {
    std::string payload;     // the canonical payload, JSON text
    std::string payloadHash; // SHA-256 hex of `payload`
    std::string steps;       // the steps' JSON text as the local record keeps it
};

// A unit of the local record as it is sent.
UploadItem uploadItem(const StoredUnit &unit);

enum class UploadOutcome {
    Stored,       // the server has it now
    AlreadyThere, // the server had it, the same
    Conflict,     // the server has that run id with other data
    Failed        // not stored; try again later
};

struct UploadResult {
    UploadOutcome outcome = UploadOutcome::Failed;
    std::string error; // Conflict or Failed: why
};

// Sends `items` in one transaction, each run behind its own savepoint so a
// bad one does not hold the others back. On a broken link or a failed
// COMMIT every result is Failed (the batch is safe to send again).
std::vector<UploadResult> uploadRuns(PgConnection &conn, const std::vector<UploadItem> &items);

// How long to wait before the attempt after `failures` failed ones:
// doubling from half a second, at most 30 s.
std::chrono::milliseconds retryDelay(int failures);

} // namespace kav::station
