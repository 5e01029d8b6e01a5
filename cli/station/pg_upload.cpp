#include "pg_upload.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <set>
#include <span>

namespace kav::station {

namespace {

// Runs in one round trip, each with its rows, or nothing for a run id that
// is there already: $1 is a JSON array of {"p": payload text, "h": its hash,
// "s": steps text}; one row a run, in order: the new unit's id (NULL when
// it was there) and the stored hash (seen from before this statement, so
// NULL when the row is new) beside ours.
constexpr const char *kInsertRuns = R"sql(
WITH p AS (
  SELECT (e->>'p')::jsonb AS j, e->>'h' AS h, e->>'s' AS s, ord
  FROM jsonb_array_elements($1::jsonb) WITH ORDINALITY AS t(e, ord)),
u AS (
  INSERT INTO units(run_id, at, ended_at, station, operator, serial, sequence, port, sam_id,
                    plan_name, plan_version, plan_hash, verdict, ms, library_version,
                    kav_version, steps, payload_hash)
  SELECT j->>'run_id', j->>'at', j->>'ended_at', j->>'station', j->>'operator', j->>'serial',
         (j->>'sequence')::bigint, (j->>'port')::bigint, j->>'sam_id', j->>'plan_name',
         j->>'plan_version', j->>'plan_hash', j->>'verdict', (j->>'ms')::double precision,
         j->>'library_version', j->>'kav_version', s, h
  FROM p ORDER BY ord
  ON CONFLICT (run_id) DO NOTHING
  RETURNING id, run_id),
n AS (SELECT u.id, p.j FROM u JOIN p ON p.j->>'run_id' = u.run_id),
s AS (
  INSERT INTO step_results(unit, position, step, outcome, measured, units, low, high)
  SELECT n.id, (e->>'position')::bigint, e->>'step', e->>'outcome',
         (e->>'measured')::double precision, e->>'units', (e->>'low')::double precision,
         (e->>'high')::double precision
  FROM n, jsonb_array_elements(coalesce(n.j->'step_results', '[]')) e),
f AS (
  INSERT INTO failures(unit, step, operation, code, text, count)
  SELECT n.id, e->>'step', e->>'operation', e->>'code', e->>'text', (e->>'count')::bigint
  FROM n, jsonb_array_elements(coalesce(n.j->'failures', '[]')) e),
r AS (
  INSERT INTO read_times(unit, ms)
  SELECT n.id, (e #>> '{}')::double precision
  FROM n, jsonb_array_elements(coalesce(n.j->'read_times', '[]')) e)
SELECT u.id, (SELECT payload_hash FROM units x WHERE x.run_id = p.j->>'run_id'), p.h
FROM p LEFT JOIN u ON u.run_id = p.j->>'run_id' ORDER BY p.ord
)sql";

UploadResult judged(const PgValue &newId, const PgValue &storedHash, const std::string &ours) {
    if (newId)
        return {UploadOutcome::Stored, {}};
    if (storedHash == PgValue{ours})
        return {UploadOutcome::AlreadyThere, {}};
    return {UploadOutcome::Conflict,
            "the central record holds this run id with other data (payload hash " +
                storedHash.value_or("none") + ", this station's " + ours + ")"};
}

// A batch whose run ids are all distinct can go in one statement.
bool distinctRuns(const std::vector<UploadItem> &items) {
    std::set<std::string> ids;
    for (const UploadItem &item : items) {
        const auto p = nlohmann::json::parse(item.payload, nullptr, false);
        if (!p.is_object() || !p.contains("run_id") || !p["run_id"].is_string() ||
            !ids.insert(p["run_id"].get<std::string>()).second)
            return false;
    }
    return true;
}

std::vector<UploadResult> allFailed(std::size_t n, const std::string &error) {
    return std::vector<UploadResult>(n, UploadResult{UploadOutcome::Failed, error});
}

struct Inserted {
    std::optional<std::vector<UploadResult>> results; // nullopt: the statement failed
    std::string error;                                // of the failure
    bool broken = false; // the transaction cannot go on: the whole upload fails
};

// `runs` (their run ids distinct) in one statement behind a savepoint: each
// one's result in order, or the statement's error with what it did rolled
// back and the transaction still usable.
Inserted insertBehindSavepoint(PgConnection &conn, std::span<const UploadItem> runs) {
    const auto broken = [](const std::string &error) { return Inserted{{}, error, true}; };
    if (const PgResult sp = conn.exec("SAVEPOINT runs"); !sp.ok)
        return broken(sp.error);
    nlohmann::json batch = nlohmann::json::array();
    for (const UploadItem &item : runs)
        batch.push_back({{"p", item.payload}, {"h", item.payloadHash}, {"s", item.steps}});
    const PgResult r = conn.exec(kInsertRuns, {batch.dump()});
    Inserted inserted;
    if (r.ok && r.rows.size() == runs.size()) {
        inserted.results.emplace();
        for (std::size_t i = 0; i < runs.size(); ++i)
            inserted.results->push_back(judged(r.rows[i][0], r.rows[i][1], runs[i].payloadHash));
    } else if (!conn.alive()) {
        return broken(r.error);
    } else if (const PgResult back = conn.exec("ROLLBACK TO SAVEPOINT runs"); !back.ok) {
        return broken(back.error);
    } else {
        inserted.error = r.error.empty() ? "no answer for each run" : r.error;
    }
    if (const PgResult rel = conn.exec("RELEASE SAVEPOINT runs"); !rel.ok)
        return broken(rel.error);
    return inserted;
}

} // namespace

UploadItem uploadItem(const StoredUnit &unit) {
    return {payloadText(unit), payloadHash(unit), unit.steps};
}

std::vector<UploadResult> uploadRuns(PgConnection &conn, const std::vector<UploadItem> &items) {
    if (items.empty())
        return {};
    std::string error;
    PgTransaction t(conn, error);
    if (!t.begun())
        return allFailed(items.size(), error);
    std::vector<UploadResult> results;
    results.reserve(items.size());
    if (items.size() > 1 && distinctRuns(items)) {
        Inserted all = insertBehindSavepoint(conn, items);
        if (all.broken)
            return allFailed(items.size(), all.error);
        if (all.results)
            results = std::move(*all.results);
        // A bad run in the batch: each goes alone below, so the others still get in.
    }
    for (std::size_t i = results.size(); i < items.size(); ++i) {
        Inserted one = insertBehindSavepoint(conn, std::span(items).subspan(i, 1));
        if (one.broken)
            return allFailed(items.size(), one.error);
        results.push_back(one.results ? one.results->front()
                                      : UploadResult{UploadOutcome::Failed, one.error});
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
