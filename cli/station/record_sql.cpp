#include "record_sql.h"

namespace kav::station {
namespace {

std::string placeholder(Dialect dialect, int n) {
    return (dialect == Dialect::Sqlite ? "?" : "$") + std::to_string(n);
}

std::string placeholders(Dialect dialect, int count) {
    std::string text;
    for (int i = 1; i <= count; ++i)
        text += (i > 1 ? ", " : "") + placeholder(dialect, i);
    return text;
}

// Times are compared as text, so a closing Z would sort 18:30Z after
// 18:30:05.000Z.
std::string withoutZone(std::string time) {
    if (!time.empty() && (time.back() == 'Z' || time.back() == 'z'))
        time.pop_back();
    return time;
}

// The first text after every time that `prefix` begins: the prefix with
// its last byte raised (2026-12-08 -> 2026-12-09, 10:59 -> 10:5:, which
// sorts after 10:59:59.999 as ':' follows the digits).
std::string pastPrefix(std::string prefix) {
    while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF)
        prefix.pop_back();
    if (!prefix.empty())
        prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
    return prefix;
}

Query ofUnits(const std::string &head, const Query &where, const std::string &tail) {
    return {head + " WHERE unit IN (SELECT units.id FROM units" + where.text + ")" + tail,
            where.values};
}

} // namespace

const std::string &unitColumns() {
    static const std::string columns =
        "units.id, units.run_id, units.at, units.ended_at, units.station, units.operator, "
        "units.serial, units.sequence, units.port, units.sam_id, units.plan_name, "
        "units.plan_version, units.plan_hash, units.verdict, units.ms, units.library_version, "
        "units.kav_version, units.steps, units.payload_hash, units.received_at";
    return columns;
}

Query filterWhere(const RecordFilter &filter, Dialect dialect, int first) {
    Query q;
    const auto add = [&](const char *condition, std::string value) {
        q.text += q.values.empty() ? " WHERE " : " AND ";
        q.text += std::string(condition) + " " +
                  placeholder(dialect, first + static_cast<int>(q.values.size()));
        q.values.push_back(std::move(value));
    };
    if (!filter.since.empty())
        add("units.at >=", withoutZone(filter.since));
    if (!filter.until.empty())
        add("units.at <", pastPrefix(withoutZone(filter.until)));
    if (!filter.samId.empty())
        add("units.sam_id =", filter.samId);
    if (!filter.verdict.empty())
        add("units.verdict =", filter.verdict);
    if (!filter.station.empty())
        add("units.station =", filter.station);
    if (!filter.operatorId.empty())
        add("units.operator =", filter.operatorId);
    if (!filter.serial.empty())
        add("units.serial =", filter.serial);
    return q;
}

Query idWhere(long long id, Dialect dialect) {
    return {" WHERE units.id = " + placeholder(dialect, 1), {std::to_string(id)}};
}

Query runIdWhere(const std::string &runId, Dialect dialect) {
    return {" WHERE units.run_id = " + placeholder(dialect, 1), {runId}};
}

Query unitsQuery(const Query &where) {
    return {"SELECT " + unitColumns() + " FROM units" + where.text + " ORDER BY units.id",
            where.values};
}

Query unitsQuery(const RecordFilter &filter, Dialect dialect) {
    return unitsQuery(filterWhere(filter, dialect));
}

Query summaryQuery(const RecordFilter &filter, Dialect dialect) {
    Query where = filterWhere(filter, dialect);
    return {"SELECT substr(units.at, 1, 10), units.station, units.plan_name, count(*), "
            "sum(CASE WHEN units.verdict = 'PASS' THEN 1 ELSE 0 END) FROM units" +
                where.text + " GROUP BY 1, 2, 3 ORDER BY 1, 2, 3",
            std::move(where.values)};
}

Query failuresQuery(const RecordFilter &filter, Dialect dialect) {
    return ofUnits("SELECT step, operation, code, min(text), count(*) FROM failures",
                   filterWhere(filter, dialect),
                   " GROUP BY step, operation, code ORDER BY count(*) DESC, step, code");
}

Query readTimesQuery(const RecordFilter &filter, Dialect dialect) {
    return ofUnits("SELECT ms FROM read_times", filterWhere(filter, dialect), "");
}

Query unitFailuresQuery(const Query &where) {
    return ofUnits("SELECT unit, step, operation, code, text, count FROM failures", where,
                   " ORDER BY unit");
}

Query unitReadTimesQuery(const Query &where) {
    return ofUnits("SELECT unit, ms FROM read_times", where, " ORDER BY unit");
}

Query unitStepResultsQuery(const Query &where) {
    return ofUnits("SELECT unit, position, step, outcome, measured, units, low, high "
                   "FROM step_results",
                   where, " ORDER BY unit, position");
}

Query unitFailuresQuery(const RecordFilter &filter, Dialect dialect) {
    return unitFailuresQuery(filterWhere(filter, dialect));
}

Query unitReadTimesQuery(const RecordFilter &filter, Dialect dialect) {
    return unitReadTimesQuery(filterWhere(filter, dialect));
}

Query unitStepResultsQuery(const RecordFilter &filter, Dialect dialect) {
    return unitStepResultsQuery(filterWhere(filter, dialect));
}

std::string insertUnitSql(Dialect dialect) {
    return "INSERT INTO units(run_id, at, ended_at, station, operator, serial, sequence, port, "
           "sam_id, plan_name, plan_version, plan_hash, verdict, ms, library_version, "
           "kav_version, steps, payload_hash) VALUES (" +
           placeholders(dialect, 18) + ")";
}

std::string insertFailureSql(Dialect dialect) {
    return "INSERT INTO failures(unit, step, operation, code, text, count) VALUES (" +
           placeholders(dialect, 6) + ")";
}

std::string insertReadTimeSql(Dialect dialect) {
    return "INSERT INTO read_times(unit, ms) VALUES (" + placeholders(dialect, 2) + ")";
}

std::string insertStepResultSql(Dialect dialect) {
    return "INSERT INTO step_results(unit, position, step, outcome, measured, units, low, high) "
           "VALUES (" +
           placeholders(dialect, 8) + ")";
}

std::string unitsTableDdl(Dialect dialect, const std::string &name) {
    const bool sqlite = dialect == Dialect::Sqlite;
    std::string ddl = "CREATE TABLE " + name + "(\n    id " +
                      (sqlite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY") + ",\n" +
                      R"sql(    run_id TEXT NOT NULL UNIQUE,
    at TEXT NOT NULL,
    ended_at TEXT NOT NULL,
    station TEXT NOT NULL,
    operator TEXT,
    serial TEXT,
    sequence BIGINT NOT NULL,
    port BIGINT NOT NULL,
    sam_id TEXT,
    plan_name TEXT NOT NULL,
    plan_version TEXT NOT NULL,
    plan_hash TEXT NOT NULL,
    verdict TEXT NOT NULL CHECK (verdict IN ('PASS', 'FAIL', 'ERROR', 'ABORTED')),
    ms DOUBLE PRECISION NOT NULL,
    library_version TEXT NOT NULL,
    kav_version TEXT NOT NULL,
    steps TEXT NOT NULL,
    payload_hash TEXT NOT NULL,
    received_at TEXT)sql";
    if (!sqlite)
        ddl += " DEFAULT to_char(now() AT TIME ZONE 'UTC', "
               "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
    return ddl + ");\n";
}

std::string unitsIndexDdl() {
    return R"sql(CREATE INDEX units_at ON units(at);
CREATE INDEX units_sam_id ON units(sam_id);
CREATE INDEX units_station ON units(station);
CREATE INDEX units_serial ON units(serial);
CREATE INDEX units_station_sequence ON units(station, sequence);
)sql" + laterIndexDdl();
}

namespace {

struct LaterIndex {
    const char *name, *on;
};
// The summary's groups in its own order with every column it reads (at
// too: PostgreSQL scans an index on an expression alone only with the
// column under it), so both stores aggregate the index alone, unsorted.
constexpr LaterIndex kLaterIndexes[] = {
    {"units_day", "units(substr(at, 1, 10), station, plan_name, verdict, at)"},
};

} // namespace

std::vector<LaterIndexDdl> laterIndexes() {
    std::vector<LaterIndexDdl> all;
    for (const LaterIndex &i : kLaterIndexes)
        all.push_back(
            {i.name, std::string("CREATE INDEX IF NOT EXISTS ") + i.name + " ON " + i.on});
    return all;
}

std::string laterIndexDdl() {
    std::string ddl;
    for (const LaterIndexDdl &i : laterIndexes())
        ddl += i.ddl + ";\n";
    return ddl;
}

std::string stepResultsDdl() {
    return R"sql(CREATE TABLE step_results(
    unit BIGINT NOT NULL REFERENCES units(id),
    position BIGINT NOT NULL,
    step TEXT NOT NULL,
    outcome TEXT NOT NULL CHECK (outcome IN ('PASS', 'FAIL', 'SKIPPED', 'ERROR')),
    measured DOUBLE PRECISION,
    units TEXT,
    low DOUBLE PRECISION,
    high DOUBLE PRECISION);
CREATE INDEX step_results_unit ON step_results(unit);
)sql";
}

std::string outboxDdl() {
    return R"sql(CREATE TABLE outbox(
    unit INTEGER PRIMARY KEY REFERENCES units(id),
    target TEXT NOT NULL,
    attempts INTEGER NOT NULL DEFAULT 0,
    last_error TEXT,
    next_try TEXT);
)sql";
}

std::string layoutDdl(Dialect dialect) {
    std::string ddl =
        unitsTableDdl(dialect, "units") + stepResultsDdl() + R"sql(CREATE TABLE failures(
    unit BIGINT NOT NULL REFERENCES units(id),
    step TEXT NOT NULL,
    operation TEXT NOT NULL,
    code TEXT NOT NULL,
    text TEXT NOT NULL,
    count BIGINT NOT NULL DEFAULT 1);
CREATE TABLE read_times(
    unit BIGINT NOT NULL REFERENCES units(id),
    ms DOUBLE PRECISION NOT NULL);
CREATE INDEX failures_unit ON failures(unit);
CREATE INDEX read_times_unit ON read_times(unit);
)sql" + unitsIndexDdl();
    if (dialect == Dialect::Sqlite)
        ddl += outboxDdl();
    return ddl;
}

} // namespace kav::station
