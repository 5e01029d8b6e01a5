#include "pg_schema.h"

#include "record_sql.h"
#include "sqlite_store.h"

namespace kav::station {

// One layout for both stores, versioned together.
static_assert(kCentralVersion == kRecordsVersion);

namespace {

// One lock id for every kav: stations starting together make the tables once.
constexpr const char *kSchemaLock = "SELECT pg_advisory_xact_lock(5643150292)";

// The version mark, then the tables both stores share.
std::string layout() {
    return "CREATE TABLE kav_schema(\n    application TEXT NOT NULL,\n    version INTEGER NOT "
           "NULL);\n" +
           layoutDdl(Dialect::Postgres);
}

bool relationExists(PgConnection &conn, const std::string &name, bool &exists, std::string &error) {
    const PgResult r = conn.exec("SELECT to_regclass($1) IS NOT NULL", {name});
    if (!r.ok || r.rows.empty()) {
        error = r.error;
        return false;
    }
    exists = r.rows[0][0] == PgValue{"t"};
    return true;
}

// Makes the indexes the record was laid out without, in the transaction
// under way. Only the tables' owner may: a station's role that may only
// insert goes on without them (each would only speed up reading), as it
// does when the statement's deadline passes on a very large record. Only
// a missing index is asked for, as the ask locks out writes while it runs.
void addLaterIndexes(PgConnection &conn) {
    for (const LaterIndexDdl &index : laterIndexes()) {
        bool exists = false;
        std::string ignored;
        if (!relationExists(conn, index.name, exists, ignored) || exists ||
            !conn.exec("SAVEPOINT later_index").ok)
            continue;
        conn.exec(conn.exec(index.ddl).ok ? "RELEASE SAVEPOINT later_index"
                                          : "ROLLBACK TO SAVEPOINT later_index");
    }
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
    if (!relationExists(conn, "kav_schema", haveMark, error) ||
        !relationExists(conn, "units", haveUnits, error)) {
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
        if (use == SchemaUse::Create)
            addLaterIndexes(conn);
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
    const std::string ddl = layout();
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
