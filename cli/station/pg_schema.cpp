#include "pg_schema.h"

#include "sqlite_store.h"

namespace kav::station {

// One layout for both stores, versioned together.
static_assert(kCentralVersion == kRecordsVersion);

namespace {

// One lock id for every kav: stations starting together make the tables once.
constexpr const char *kSchemaLock = "SELECT pg_advisory_xact_lock(5643150292)";

constexpr const char *kLayout = R"sql(
CREATE TABLE kav_schema(
    application TEXT NOT NULL,
    version INTEGER NOT NULL);
CREATE TABLE units(
    id BIGSERIAL PRIMARY KEY,
    run_id TEXT NOT NULL UNIQUE,
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
    received_at TEXT DEFAULT to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'));
CREATE TABLE step_results(
    unit BIGINT NOT NULL REFERENCES units(id),
    position BIGINT NOT NULL,
    step TEXT NOT NULL,
    outcome TEXT NOT NULL,
    measured DOUBLE PRECISION,
    units TEXT,
    low DOUBLE PRECISION,
    high DOUBLE PRECISION);
CREATE TABLE failures(
    unit BIGINT NOT NULL REFERENCES units(id),
    step TEXT NOT NULL,
    operation TEXT NOT NULL,
    code TEXT NOT NULL,
    text TEXT NOT NULL,
    count BIGINT NOT NULL DEFAULT 1);
CREATE TABLE read_times(
    unit BIGINT NOT NULL REFERENCES units(id),
    ms DOUBLE PRECISION NOT NULL);
CREATE INDEX units_at ON units(at);
CREATE INDEX units_sam_id ON units(sam_id);
CREATE INDEX units_station ON units(station);
CREATE INDEX units_serial ON units(serial);
CREATE INDEX units_station_sequence ON units(station, sequence);
CREATE INDEX step_results_unit ON step_results(unit);
CREATE INDEX failures_unit ON failures(unit);
CREATE INDEX read_times_unit ON read_times(unit);
)sql";

bool tableExists(PgConnection &conn, const char *name, bool &exists, std::string &error) {
    const PgResult r = conn.exec("SELECT to_regclass($1) IS NOT NULL", {std::string(name)});
    if (!r.ok || r.rows.empty()) {
        error = r.error;
        return false;
    }
    exists = r.rows[0][0] == PgValue{"t"};
    return true;
}

} // namespace

bool ensureCentralSchema(PgConnection &conn, SchemaUse use, std::string &error) {
    const std::string refused = "results database " + conn.location() + ": ";
    PgTransaction t(conn, error);
    if (!t.begun()) {
        error = refused + error;
        return false;
    }
    if (const PgResult lock = conn.exec(kSchemaLock); !lock.ok) {
        error = refused + lock.error;
        return false;
    }
    bool haveMark = false, haveUnits = false;
    if (!tableExists(conn, "kav_schema", haveMark, error) ||
        !tableExists(conn, "units", haveUnits, error)) {
        error = refused + error;
        return false;
    }
    if (haveMark) {
        const PgResult v = conn.exec("SELECT max(version) FROM kav_schema WHERE application = $1",
                                     {std::string(kSchemaApplication)});
        if (!v.ok) {
            error = refused + v.error;
            return false;
        }
        if (v.rows.empty() || !v.rows[0][0]) {
            error = refused + "not a Velkart results database; left as it is";
            return false;
        }
        const long long version = std::stoll(*v.rows[0][0]);
        if (version > kCentralVersion) {
            error = refused + "written by a newer kav (layout " + std::to_string(version) +
                    "; this kav knows up to " + std::to_string(kCentralVersion) +
                    "): use that kav or a newer one";
            return false;
        }
        if (version < kCentralVersion) {
            // No central layout came before this one.
            error = refused + "layout " + std::to_string(version) + " is unknown; left as it is";
            return false;
        }
        if (!t.commit(error)) {
            error = refused + error;
            return false;
        }
        return true;
    }
    if (haveUnits) {
        error = refused + "not a Velkart results database; left as it is";
        return false;
    }
    if (use == SchemaUse::MustExist) {
        error = refused + "holds no Velkart results yet (a kav with the right to create "
                          "tables makes them)";
        return false;
    }
    // Several statements in one text: PQexecParams takes only one, so each goes alone.
    std::string ddl = kLayout;
    for (std::size_t from = 0; from < ddl.size();) {
        std::size_t end = ddl.find(";\n", from);
        if (end == std::string::npos)
            end = ddl.size();
        const std::string statement = ddl.substr(from, end - from);
        from = end + 2;
        if (statement.find_first_not_of(" \n") == std::string::npos)
            continue;
        if (const PgResult r = conn.exec(statement); !r.ok) {
            error = refused + r.error;
            return false;
        }
    }
    if (const PgResult r =
            conn.exec("INSERT INTO kav_schema VALUES ($1, $2)",
                      {std::string(kSchemaApplication), std::to_string(kCentralVersion)});
        !r.ok) {
        error = refused + r.error;
        return false;
    }
    if (!t.commit(error)) {
        error = refused + error;
        return false;
    }
    return true;
}

} // namespace kav::station
