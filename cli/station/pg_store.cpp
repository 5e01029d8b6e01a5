#include "pg_store.h"

#include "pg_upload.h"
#include "pg_uri.h"
#include "record_sql.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace kav::station {
namespace {

std::vector<PgValue> params(const Query &q) {
    return {q.values.begin(), q.values.end()};
}

std::string text(const PgRow &row, std::size_t i) {
    return i < row.size() && row[i] ? *row[i] : std::string();
}

long long integer(const PgRow &row, std::size_t i) {
    return std::strtoll(text(row, i).c_str(), nullptr, 10);
}

std::optional<double> optionalReal(const PgRow &row, std::size_t i) {
    if (i >= row.size() || !row[i])
        return std::nullopt;
    return std::strtod(row[i]->c_str(), nullptr);
}

double real(const PgRow &row, std::size_t i) {
    return optionalReal(row, i).value_or(0.0);
}

// A number as text that reads back as the same double (the shortest form).
std::string number(double v) {
    return Json(v).dump();
}

PgValue orNull(const std::string &text) {
    return text.empty() ? PgValue{} : PgValue{text};
}

PgValue orNull(const std::optional<double> &v) {
    return v ? PgValue{number(*v)} : PgValue{};
}

// The shared texts order a unit's own rows by unit alone; SQLite gives
// ties in the order written, PostgreSQL's sort may not, so the row's place
// in the table (written once, never updated) breaks them.
Query inWrittenOrder(Query q) {
    q.text += ", ctid";
    return q;
}

} // namespace

std::unique_ptr<PgStore> PgStore::open(const std::string &uri, SchemaUse use, std::string &error) {
    auto conn = PgConnection::connect(uri, std::chrono::seconds{30}, error);
    if (!conn) {
        error = "results database " + redactUri(uri) + ": " + error;
        return nullptr;
    }
    if (!ensureCentralSchema(*conn, use, error))
        return nullptr;
    return std::unique_ptr<PgStore>(new PgStore(std::move(conn)));
}

namespace {

// The units `where` selects with their own rows; what was read up to an
// error, with the error.
std::vector<StoredUnit> readUnits(PgConnection &conn, const Query &where, std::string &error) {
    std::vector<StoredUnit> units;
    const PgResult r = conn.exec(unitsQuery(where).text, params(where));
    if (!r.ok) {
        error = r.error;
        return units;
    }
    std::map<long long, std::size_t> index;
    for (const PgRow &row : r.rows) {
        StoredUnit u;
        u.id = integer(row, kColId);
        u.runId = text(row, kColRunId);
        u.at = text(row, kColAt);
        u.endedAt = text(row, kColEndedAt);
        u.station = text(row, kColStation);
        u.operatorId = text(row, kColOperator);
        u.serial = text(row, kColSerial);
        u.sequence = integer(row, kColSequence);
        u.port = static_cast<int>(integer(row, kColPort));
        u.samId = text(row, kColSamId);
        u.planName = text(row, kColPlanName);
        u.planVersion = text(row, kColPlanVersion);
        u.planHash = text(row, kColPlanHash);
        u.verdict = verdictFromName(text(row, kColVerdict)).value_or(Verdict::Error);
        u.ms = real(row, kColMs);
        u.libraryVersion = text(row, kColLibraryVersion);
        u.kavVersion = text(row, kColKavVersion);
        u.steps = text(row, kColSteps);
        u.payloadHash = text(row, kColPayloadHash);
        u.receivedAt = text(row, kColReceivedAt);
        index[u.id] = units.size();
        units.push_back(std::move(u));
    }
    const auto children = [&](const Query &q, auto take) {
        const PgResult c = conn.exec(q.text, params(q));
        if (!c.ok) {
            error = c.error;
            return false;
        }
        for (const PgRow &row : c.rows)
            if (const auto at = index.find(integer(row, 0)); at != index.end())
                take(units[at->second], row);
        return true;
    };
    children(
        inWrittenOrder(unitFailuresQuery(where)),
        [](StoredUnit &u, const PgRow &row) {
            FailureCount f{text(row, 1), text(row, 2), text(row, 3), text(row, 4), integer(row, 5)};
            if (std::find(u.failedSteps.begin(), u.failedSteps.end(), f.step) ==
                u.failedSteps.end())
                u.failedSteps.push_back(f.step);
            u.failures.push_back(std::move(f));
        }) &&
        children(inWrittenOrder(unitReadTimesQuery(where)),
                 [](StoredUnit &u, const PgRow &row) { u.readMs.push_back(real(row, 1)); }) &&
        children(unitStepResultsQuery(where), [](StoredUnit &u, const PgRow &row) {
            StepResult s;
            s.position = integer(row, 1);
            s.step = text(row, 2);
            s.outcome = text(row, 3);
            s.measured = optionalReal(row, 4);
            s.units = text(row, 5);
            s.low = optionalReal(row, 6);
            s.high = optionalReal(row, 7);
            u.stepResults.push_back(std::move(s));
        });
    return units;
}

// Writes the unit's rows in the transaction under way.
bool insertUnit(PgConnection &conn, const StoredUnit &u, std::string &error) {
    const PgResult row =
        conn.exec(insertUnitSql(Dialect::Postgres) + " RETURNING id",
                  {u.runId, u.at, u.endedAt, u.station, orNull(u.operatorId), orNull(u.serial),
                   std::to_string(u.sequence), std::to_string(u.port), orNull(u.samId), u.planName,
                   u.planVersion, u.planHash, std::string(verdictName(u.verdict)), number(u.ms),
                   u.libraryVersion, u.kavVersion, u.steps, u.payloadHash});
    if (!row.ok || row.rows.size() != 1) {
        error = row.ok ? "the server gave no id for the unit" : row.error;
        return false;
    }
    const std::string id = text(row.rows[0], 0);
    const auto done = [&error](const PgResult &r) {
        if (!r.ok)
            error = r.error;
        return r.ok;
    };
    for (const FailureCount &f : u.failures)
        if (!done(conn.exec(insertFailureSql(Dialect::Postgres),
                            {id, f.step, f.operation, f.code, f.text, std::to_string(f.count)})))
            return false;
    for (double ms : u.readMs)
        if (!done(conn.exec(insertReadTimeSql(Dialect::Postgres), {id, number(ms)})))
            return false;
    for (const StepResult &s : u.stepResults)
        if (!done(conn.exec(insertStepResultSql(Dialect::Postgres),
                            {id, std::to_string(s.position), s.step, s.outcome, orNull(s.measured),
                             orNull(s.units), orNull(s.low), orNull(s.high)})))
            return false;
    return true;
}

} // namespace

std::optional<StoredUnit> PgStore::append(const UnitResult &unit, const CheckRun &run,
                                          const Json &steps, std::string &error) {
    StoredUnit u = storedUnitOf(unit, run, steps);
    std::lock_guard lock(mutex_);
    PgTransaction t(*conn_, error);
    if (!t.begun())
        return std::nullopt;
    // Stations of one name writing at once take their numbers in turn.
    if (const PgResult lock =
            conn_->exec("SELECT pg_advisory_xact_lock(hashtext($1))", {u.station});
        !lock.ok) {
        error = lock.error;
        return std::nullopt;
    }
    const PgResult next = conn_->exec(
        "SELECT coalesce(max(sequence), 0) + 1 FROM units WHERE station = $1", {u.station});
    if (!next.ok || next.rows.size() != 1) {
        error = next.ok ? "the server gave no sequence number" : next.error;
        return std::nullopt;
    }
    u.sequence = integer(next.rows[0], 0);
    u.payloadHash = payloadHash(u);
    if (!insertUnit(*conn_, u, error) || !t.commit(error))
        return std::nullopt;
    std::vector<StoredUnit> stored =
        readUnits(*conn_, runIdWhere(u.runId, Dialect::Postgres), error);
    if (stored.empty()) {
        if (error.empty())
            error = "the unit is not in the record after it was written";
        return std::nullopt;
    }
    return std::move(stored.front());
}

Receipt PgStore::receive(const StoredUnit &unit, std::string &error) {
    std::lock_guard lock(mutex_);
    const std::vector<UploadResult> r = uploadRuns(*conn_, {uploadItem(unit)});
    if (r.size() != 1) {
        error = "no answer for the unit";
        return Receipt::Failed;
    }
    error = r[0].error;
    switch (r[0].outcome) {
    case UploadOutcome::Stored:
        return Receipt::Stored;
    case UploadOutcome::AlreadyThere:
        return Receipt::AlreadyHeld;
    case UploadOutcome::Conflict:
        return Receipt::Conflict;
    case UploadOutcome::Failed:
        break;
    }
    return Receipt::Failed;
}

std::optional<StoredUnit> PgStore::unit(long long id, std::string &error) {
    std::lock_guard lock(mutex_);
    std::vector<StoredUnit> found = readUnits(*conn_, idWhere(id, Dialect::Postgres), error);
    if (found.empty() || !error.empty())
        return std::nullopt;
    return std::move(found.front());
}

std::optional<StoredUnit> PgStore::unitByRunId(const std::string &runId, std::string &error) {
    std::lock_guard lock(mutex_);
    std::vector<StoredUnit> found = readUnits(*conn_, runIdWhere(runId, Dialect::Postgres), error);
    if (found.empty() || !error.empty())
        return std::nullopt;
    return std::move(found.front());
}

std::vector<StoredUnit> PgStore::units(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    return readUnits(*conn_, filterWhere(filter, Dialect::Postgres), error);
}

std::vector<SummaryRow> PgStore::summary(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    const Query q = summaryQuery(filter, Dialect::Postgres);
    const PgResult r = conn_->exec(q.text, params(q));
    std::vector<SummaryRow> rows;
    if (!r.ok)
        error = r.error;
    for (const PgRow &row : r.rows)
        rows.push_back(
            {text(row, 0), text(row, 1), text(row, 2), integer(row, 3), integer(row, 4)});
    return rows;
}

std::vector<FailureCount> PgStore::failures(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    const Query q = failuresQuery(filter, Dialect::Postgres);
    const PgResult r = conn_->exec(q.text, params(q));
    std::vector<FailureCount> rows;
    if (!r.ok)
        error = r.error;
    for (const PgRow &row : r.rows)
        rows.push_back({text(row, 0), text(row, 1), text(row, 2), text(row, 3), integer(row, 4)});
    return rows;
}

std::vector<double> PgStore::readTimes(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    const Query q = readTimesQuery(filter, Dialect::Postgres);
    const PgResult r = conn_->exec(q.text, params(q));
    std::vector<double> times;
    if (!r.ok)
        error = r.error;
    for (const PgRow &row : r.rows)
        times.push_back(real(row, 0));
    return times;
}

} // namespace kav::station
