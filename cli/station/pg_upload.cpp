#include "pg_upload.h"

#include <algorithm>

namespace kav::station {

namespace {

// One round trip a run: the unit and its rows from the payload, or nothing
// when the run id is there already; then the stored hash (seen from before
// this statement, so NULL when the row is new).
constexpr const char *kInsertRun = R"sql(
WITH p AS (SELECT $1::jsonb AS j),
u AS (
  INSERT INTO units(run_id, at, ended_at, station, operator, serial, sequence, port, sam_id,
                    plan_name, plan_version, plan_hash, verdict, ms, library_version,
                    kav_version, steps, payload_hash)
  SELECT j->>'run_id', j->>'at', j->>'ended_at', j->>'station', j->>'operator', j->>'serial',
         (j->>'sequence')::bigint, (j->>'port')::bigint, j->>'sam_id', j->>'plan_name',
         j->>'plan_version', j->>'plan_hash', j->>'verdict', (j->>'ms')::double precision,
         j->>'library_version', j->>'kav_version', $3, $2
  FROM p
  ON CONFLICT (run_id) DO NOTHING
  RETURNING id),
s AS (
  INSERT INTO step_results(unit, position, step, outcome, measured, units, low, high)
  SELECT u.id, (e->>'position')::bigint, e->>'step', e->>'outcome',
         (e->>'measured')::double precision, e->>'units', (e->>'low')::double precision,
         (e->>'high')::double precision
  FROM u, p, jsonb_array_elements(coalesce(p.j->'step_results', '[]')) e),
f AS (
  INSERT INTO failures(unit, step, operation, code, text, count)
  SELECT u.id, e->>'step', e->>'operation', e->>'code', e->>'text', (e->>'count')::bigint
  FROM u, p, jsonb_array_elements(coalesce(p.j->'failures', '[]')) e),
r AS (
  INSERT INTO read_times(unit, ms)
  SELECT u.id, (e #>> '{}')::double precision
  FROM u, p, jsonb_array_elements(coalesce(p.j->'read_times', '[]')) e)
SELECT (SELECT id FROM u), (SELECT payload_hash FROM units, p WHERE run_id = p.j->>'run_id')
)sql";

std::vector<UploadResult> allFailed(std::size_t n, const std::string &error) {
    return std::vector<UploadResult>(n, UploadResult{UploadOutcome::Failed, error});
}

} // namespace

std::vector<UploadResult> uploadRuns(PgConnection &conn, const std::vector<UploadItem> &items) {
    if (items.empty())
        return {};
    std::string error;
    PgTransaction t(conn, error);
    if (!t.begun())
        return allFailed(items.size(), error);
    std::vector<UploadResult> results;
    results.reserve(items.size());
    for (const UploadItem &item : items) {
        if (const PgResult sp = conn.exec("SAVEPOINT run"); !sp.ok)
            return allFailed(items.size(), sp.error);
        const PgResult r = conn.exec(kInsertRun, {item.payload, item.payloadHash, item.steps});
        UploadResult result;
        if (!r.ok || r.rows.size() != 1) {
            if (!conn.alive())
                return allFailed(items.size(), r.error);
            result = {UploadOutcome::Failed, r.error};
            if (const PgResult back = conn.exec("ROLLBACK TO SAVEPOINT run"); !back.ok)
                return allFailed(items.size(), back.error);
        } else if (r.rows[0][0]) {
            result = {UploadOutcome::Stored, {}};
        } else if (r.rows[0][1] == PgValue{item.payloadHash}) {
            result = {UploadOutcome::AlreadyThere, {}};
        } else {
            result = {UploadOutcome::Conflict,
                      "the central record holds this run id with other data (payload hash " +
                          r.rows[0][1].value_or("none") + ", this station's " + item.payloadHash +
                          ")"};
        }
        if (const PgResult rel = conn.exec("RELEASE SAVEPOINT run"); !rel.ok)
            return allFailed(items.size(), rel.error);
        results.push_back(std::move(result));
    }
    // A COMMIT whose answer never came may have been kept or not: the batch
    // is sent again, and what the server kept then counts as AlreadyThere.
    if (!t.commit(error))
        return allFailed(items.size(), error);
    return results;
}

std::chrono::milliseconds retryDelay(int failures) {
    if (failures <= 0)
        return std::chrono::milliseconds{0};
    const int doublings = std::min(failures - 1, 10);
    const long long ms = std::min(500LL << doublings, 30'000LL);
    return std::chrono::milliseconds{ms};
}

} // namespace kav::station
