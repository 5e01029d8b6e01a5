#include "sqlite_store.h"

#include "record_sql.h"
#include "regular_file.h"

#include <sqlite3.h>

#include <cerrno>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace kav::station {
namespace {

namespace fs = std::filesystem;

// Two stations writing one file wait for each other this long at most; a
// unit's row takes milliseconds to write.
constexpr int kBusyTimeoutMs = 30000;

// Layout 2 added what reports count and plot without reading every unit's
// JSON: the failures by step and code, and each read's time. A layout 1
// file gets them before it is rebuilt as layout 3.
constexpr const char *kLayout2Additions = R"sql(
CREATE TABLE failures(
    unit INTEGER NOT NULL REFERENCES units(id),
    step TEXT NOT NULL,
    operation TEXT NOT NULL,
    code TEXT NOT NULL,
    text TEXT NOT NULL,
    count INTEGER NOT NULL DEFAULT 1);
CREATE TABLE read_times(
    unit INTEGER NOT NULL REFERENCES units(id),
    ms REAL NOT NULL);
CREATE INDEX failures_unit ON failures(unit);
CREATE INDEX read_times_unit ON read_times(unit);
)sql";

std::string message(sqlite3 *db) {
    return db != nullptr ? sqlite3_errmsg(db) : "out of memory";
}

// A prepared statement, finalised however the caller leaves.
class Statement {
  public:
    Statement(sqlite3 *db, const std::string &sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
            stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt *get() const { return stmt_; }
    void bind(int i, const std::string &text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bindOrNull(int i, const std::string &text) {
        if (text.empty())
            sqlite3_bind_null(stmt_, i);
        else
            bind(i, text);
    }
    void bind(int i, double v) { sqlite3_bind_double(stmt_, i, v); }
    void bind(int i, const std::optional<double> &v) {
        if (v)
            bind(i, *v);
        else
            sqlite3_bind_null(stmt_, i);
    }
    void bind(const Query &q) {
        for (std::size_t i = 0; i < q.values.size(); ++i)
            bind(static_cast<int>(i + 1), q.values[i]);
    }
    bool isNull(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
    std::optional<double> optionalReal(int i) const {
        return isNull(i) ? std::nullopt : std::optional<double>(real(i));
    }
    // Ready for the next row's values.
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    void bind(int i, long long v) { sqlite3_bind_int64(stmt_, i, v); }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return sqlite3_step(stmt_); }
    std::string text(int i) const {
        const unsigned char *t = sqlite3_column_text(stmt_, i);
        return t != nullptr ? reinterpret_cast<const char *>(t) : "";
    }
    long long integer(int i) const { return sqlite3_column_int64(stmt_, i); }
    double real(int i) const { return sqlite3_column_double(stmt_, i); }

  private:
    sqlite3 *db_;
    sqlite3_stmt *stmt_ = nullptr;
};

bool exec(sqlite3 *db, const char *sql, std::string &error) {
    char *text = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &text) == SQLITE_OK)
        return true;
    error = text != nullptr ? text : message(db);
    sqlite3_free(text);
    return false;
}

std::optional<long long> pragmaInt(sqlite3 *db, const char *pragma, std::string &error) {
    Statement s(db, std::string("PRAGMA ") + pragma);
    if (!s.ok() || s.step() != SQLITE_ROW) {
        error = message(db);
        return std::nullopt;
    }
    return s.integer(0);
}

// What the file's own header says, read without SQLite so that a file we
// refuse is never opened by it (opening may create files beside it).
struct Header {
    bool sqlite = false;
    std::uint32_t userVersion = 0;
    std::uint32_t applicationId = 0;
};

std::uint32_t bigEndian32(const unsigned char *b) {
    return std::uint32_t(b[0]) << 24 | std::uint32_t(b[1]) << 16 | std::uint32_t(b[2]) << 8 |
           std::uint32_t(b[3]);
}

std::optional<Header> readHeader(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    unsigned char bytes[100] = {};
    in.read(reinterpret_cast<char *>(bytes), sizeof bytes);
    Header header;
    header.sqlite = in.gcount() == sizeof bytes && std::memcmp(bytes, "SQLite format 3", 16) == 0;
    header.userVersion = bigEndian32(bytes + 60);
    header.applicationId = bigEndian32(bytes + 68);
    return header;
}

// The layout 1 rows' failures and read times, from their JSON.
bool fillLayout2(sqlite3 *db, std::string &error) {
    Statement units(db, "SELECT id, steps FROM units");
    Statement failure(db, "INSERT INTO failures(unit, step, operation, code, text, count) "
                          "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    Statement time(db, "INSERT INTO read_times(unit, ms) VALUES (?1, ?2)");
    if (!units.ok() || !failure.ok() || !time.ok()) {
        error = message(db);
        return false;
    }
    int r;
    while ((r = units.step()) == SQLITE_ROW) {
        const long long id = units.integer(0);
        const Json steps = Json::parse(units.text(1), nullptr, false);
        if (!steps.is_array())
            continue;
        for (const Json &step : steps) {
            if (!step.is_object())
                continue;
            for (const Json &f : step.value("failures", Json::array())) {
                failure.bind(1, id);
                failure.bind(2, step.value("step", std::string()));
                failure.bind(3, f.value("operation", std::string()));
                failure.bind(4, f.value("code", std::string()));
                failure.bind(5, f.value("text", std::string()));
                failure.bind(6, static_cast<long long>(f.value("count", 1)));
                if (failure.step() != SQLITE_DONE) {
                    error = message(db);
                    return false;
                }
                sqlite3_reset(failure.get());
            }
            if (step.value("step", std::string()) != "reads")
                continue;
            const Json figures = step.value("figures", Json::object());
            for (const Json &ms : figures.value("ms", Json::array())) {
                if (!ms.is_number())
                    continue;
                time.bind(1, id);
                time.bind(2, ms.get<double>());
                if (time.step() != SQLITE_DONE) {
                    error = message(db);
                    return false;
                }
                sqlite3_reset(time.get());
            }
        }
    }
    if (r != SQLITE_DONE) {
        error = message(db);
        return false;
    }
    return true;
}

// The units `where` selects, each with its failures, read times and step
// results; what was read up to an error, with the error.
std::vector<StoredUnit> readUnits(sqlite3 *db, const Query &where, std::string &error) {
    std::vector<StoredUnit> units;
    std::map<long long, std::size_t> index;
    {
        const Query q = unitsQuery(where);
        Statement s(db, q.text);
        if (!s.ok()) {
            error = message(db);
            return units;
        }
        s.bind(q);
        int r;
        while ((r = s.step()) == SQLITE_ROW) {
            StoredUnit u;
            u.id = s.integer(kColId);
            u.runId = s.text(kColRunId);
            u.at = s.text(kColAt);
            u.endedAt = s.text(kColEndedAt);
            u.station = s.text(kColStation);
            u.operatorId = s.text(kColOperator);
            u.serial = s.text(kColSerial);
            u.sequence = s.integer(kColSequence);
            u.port = static_cast<int>(s.integer(kColPort));
            u.samId = s.text(kColSamId);
            u.planName = s.text(kColPlanName);
            u.planVersion = s.text(kColPlanVersion);
            u.planHash = s.text(kColPlanHash);
            u.verdict = verdictFromName(s.text(kColVerdict)).value_or(Verdict::Error);
            u.ms = s.real(kColMs);
            u.libraryVersion = s.text(kColLibraryVersion);
            u.kavVersion = s.text(kColKavVersion);
            u.steps = s.text(kColSteps);
            u.payloadHash = s.text(kColPayloadHash);
            u.receivedAt = s.text(kColReceivedAt);
            index[u.id] = units.size();
            units.push_back(std::move(u));
        }
        if (r != SQLITE_DONE) {
            error = message(db);
            return units;
        }
    }
    // Each child query gives rows by unit; `take` files one under its unit.
    const auto children = [&](const Query &q, auto take) {
        Statement s(db, q.text);
        if (!s.ok()) {
            error = message(db);
            return false;
        }
        s.bind(q);
        int r;
        while ((r = s.step()) == SQLITE_ROW)
            if (const auto at = index.find(s.integer(0)); at != index.end())
                take(units[at->second], s);
        if (r != SQLITE_DONE) {
            error = message(db);
            return false;
        }
        return true;
    };
    const bool read =
        children(unitFailuresQuery(where),
                 [](StoredUnit &u, const Statement &s) {
                     FailureCount f{s.text(1), s.text(2), s.text(3), s.text(4), s.integer(5)};
                     if (std::find(u.failedSteps.begin(), u.failedSteps.end(), f.step) ==
                         u.failedSteps.end())
                         u.failedSteps.push_back(f.step);
                     u.failures.push_back(std::move(f));
                 }) &&
        children(unitReadTimesQuery(where),
                 [](StoredUnit &u, const Statement &s) { u.readMs.push_back(s.real(1)); }) &&
        children(unitStepResultsQuery(where), [](StoredUnit &u, const Statement &s) {
            StepResult r;
            r.position = s.integer(1);
            r.step = s.text(2);
            r.outcome = s.text(3);
            r.measured = s.optionalReal(4);
            r.units = s.text(5);
            r.low = s.optionalReal(6);
            r.high = s.optionalReal(7);
            u.stepResults.push_back(std::move(r));
        });
    (void)read;
    return units;
}

// Writes the unit's rows in the transaction under way; its id is set.
bool insertUnit(sqlite3 *db, StoredUnit &u, std::string &error) {
    Statement row(db, insertUnitSql(Dialect::Sqlite));
    Statement failure(db, insertFailureSql(Dialect::Sqlite));
    Statement time(db, insertReadTimeSql(Dialect::Sqlite));
    Statement result(db, insertStepResultSql(Dialect::Sqlite));
    if (!row.ok() || !failure.ok() || !time.ok() || !result.ok()) {
        error = message(db);
        return false;
    }
    row.bind(1, u.runId);
    row.bind(2, u.at);
    row.bind(3, u.endedAt);
    row.bind(4, u.station);
    row.bindOrNull(5, u.operatorId);
    row.bindOrNull(6, u.serial);
    row.bind(7, u.sequence);
    row.bind(8, static_cast<long long>(u.port));
    row.bindOrNull(9, u.samId);
    row.bind(10, u.planName);
    row.bind(11, u.planVersion);
    row.bind(12, u.planHash);
    row.bind(13, std::string(verdictName(u.verdict)));
    row.bind(14, u.ms);
    row.bind(15, u.libraryVersion);
    row.bind(16, u.kavVersion);
    row.bind(17, u.steps);
    row.bind(18, u.payloadHash);
    if (row.step() != SQLITE_DONE) {
        error = message(db);
        return false;
    }
    u.id = sqlite3_last_insert_rowid(db);
    for (const FailureCount &f : u.failures) {
        failure.bind(1, u.id);
        failure.bind(2, f.step);
        failure.bind(3, f.operation);
        failure.bind(4, f.code);
        failure.bind(5, f.text);
        failure.bind(6, f.count);
        if (failure.step() != SQLITE_DONE) {
            error = message(db);
            return false;
        }
        failure.reset();
    }
    for (double ms : u.readMs) {
        time.bind(1, u.id);
        time.bind(2, ms);
        if (time.step() != SQLITE_DONE) {
            error = message(db);
            return false;
        }
        time.reset();
    }
    for (const StepResult &r : u.stepResults) {
        result.bind(1, u.id);
        result.bind(2, r.position);
        result.bind(3, r.step);
        result.bind(4, r.outcome);
        result.bind(5, r.measured);
        result.bindOrNull(6, r.units);
        result.bind(7, r.low);
        result.bind(8, r.high);
        if (result.step() != SQLITE_DONE) {
            error = message(db);
            return false;
        }
        result.reset();
    }
    return true;
}

// Layout 2 to 3: SQLite cannot change a CHECK, so units is built anew
// beside the old table and takes its place; ids are kept, so failures and
// read_times still point right. Each old row gets a run id, its end (its
// start plus its duration), a sequence number by id per station, its SAM
// ID as its serial, its step results from its JSON and its payload hash.
bool rebuildUnits(sqlite3 *db, std::string &error) {
    if (!exec(db, unitsTableDdl(Dialect::Sqlite, "units_next").c_str(), error))
        return false;
    {
        Statement old(db, "SELECT id, at, station, port, sam_id, plan_name, plan_hash, verdict, "
                          "ms, library_version, kav_version, steps FROM units ORDER BY id");
        Statement row(db, "INSERT INTO units_next(id, run_id, at, ended_at, station, operator, "
                          "serial, sequence, port, sam_id, plan_name, plan_version, plan_hash, "
                          "verdict, ms, library_version, kav_version, steps, payload_hash) "
                          "VALUES (?1, ?2, ?3, ?4, ?5, NULL, ?6, ?7, ?8, ?6, ?9, '', ?10, ?11, "
                          "?12, ?13, ?14, ?15, '')");
        if (!old.ok() || !row.ok()) {
            error = message(db);
            return false;
        }
        std::map<std::string, long long> sequence;
        int r;
        while ((r = old.step()) == SQLITE_ROW) {
            const std::string station = old.text(2);
            row.bind(1, old.integer(0));
            row.bind(2, newRunId());
            row.bind(3, old.text(1));
            row.bind(4, timeAfter(old.text(1), old.real(8)));
            row.bind(5, station);
            row.bindOrNull(6, old.text(4));
            row.bind(7, ++sequence[station]);
            row.bind(8, old.integer(3));
            row.bind(9, old.text(5));
            row.bind(10, old.text(6));
            row.bind(11, old.text(7));
            row.bind(12, old.real(8));
            row.bind(13, old.text(9));
            row.bind(14, old.text(10));
            row.bind(15, old.text(11));
            if (row.step() != SQLITE_DONE) {
                error = message(db);
                return false;
            }
            row.reset();
        }
        if (r != SQLITE_DONE) {
            error = message(db);
            return false;
        }
    }
    if (!exec(db, "DROP TABLE units; ALTER TABLE units_next RENAME TO units;", error) ||
        !exec(db, (unitsIndexDdl() + stepResultsDdl() + outboxDdl()).c_str(), error))
        return false;
    {
        Statement units(db, "SELECT id, steps FROM units ORDER BY id");
        Statement result(db, insertStepResultSql(Dialect::Sqlite));
        if (!units.ok() || !result.ok()) {
            error = message(db);
            return false;
        }
        int r;
        while ((r = units.step()) == SQLITE_ROW)
            for (const StepResult &sr : stepResultsOf(units.text(1))) {
                result.bind(1, units.integer(0));
                result.bind(2, sr.position);
                result.bind(3, sr.step);
                result.bind(4, sr.outcome);
                result.bind(5, sr.measured);
                result.bindOrNull(6, sr.units);
                result.bind(7, sr.low);
                result.bind(8, sr.high);
                if (result.step() != SQLITE_DONE) {
                    error = message(db);
                    return false;
                }
                result.reset();
            }
        if (r != SQLITE_DONE) {
            error = message(db);
            return false;
        }
    }
    const std::vector<StoredUnit> all = readUnits(db, Query{}, error);
    if (!error.empty())
        return false;
    Statement hash(db, "UPDATE units SET payload_hash = ?1 WHERE id = ?2");
    if (!hash.ok()) {
        error = message(db);
        return false;
    }
    for (const StoredUnit &u : all) {
        hash.bind(1, payloadHash(u));
        hash.bind(2, u.id);
        if (hash.step() != SQLITE_DONE) {
            error = message(db);
            return false;
        }
        hash.reset();
    }
    return true;
}

// Brings the file to this kav's layout in one transaction.
bool layOut(sqlite3 *db, std::string &error) {
    // The rebuild drops the table the others refer to: SQLite checks
    // references only at the end, by hand (foreign_keys is set outside a
    // transaction only).
    std::string ignored;
    exec(db, "PRAGMA foreign_keys = OFF", ignored);
    if (!exec(db, "BEGIN IMMEDIATE", error))
        return false;
    const auto fail = [&] {
        std::string ignored;
        exec(db, "ROLLBACK", ignored);
        exec(db, "PRAGMA foreign_keys = ON", ignored);
        return false;
    };
    // Read again under the lock: another station may have laid it out.
    const std::optional<long long> version = pragmaInt(db, "user_version", error);
    if (!version)
        return fail();
    if (*version == 0 && !exec(db, layoutDdl(Dialect::Sqlite).c_str(), error))
        return fail();
    if (*version == 1 && !(exec(db, kLayout2Additions, error) && fillLayout2(db, error)))
        return fail();
    if (*version >= 1 && *version < 3 && !rebuildUnits(db, error))
        return fail();
    {
        Statement check(db, "PRAGMA foreign_key_check");
        if (!check.ok() || check.step() != SQLITE_DONE) {
            error = check.ok() ? "rows point at no unit" : message(db);
            return fail();
        }
    }
    const std::string mark = "PRAGMA application_id = " + std::to_string(kRecordsApplicationId) +
                             "; PRAGMA user_version = " + std::to_string(kRecordsVersion);
    if (!exec(db, mark.c_str(), error) || !exec(db, "COMMIT", error))
        return fail();
    exec(db, "PRAGMA foreign_keys = ON", ignored);
    return true;
}

// Why SQLite could not open or write the file, when the system can tell:
// SQLite's own words ("unable to open database file", "disk I/O error")
// name no cause. Empty when nothing is found.
std::string fileSystemReason(const std::string &path) {
#ifndef _WIN32
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty())
        folder = ".";
    struct statvfs disk {};
    if (::statvfs(folder.c_str(), &disk) == 0) {
        if (disk.f_flag & ST_RDONLY)
            return "its folder " + folder.string() + " is on a read-only file system";
        // Root may use the blocks kept back from everyone else.
        if ((::geteuid() == 0 ? disk.f_bfree : disk.f_bavail) == 0)
            return "the disk of " + folder.string() + " is full";
    }
    const auto owned = [](const fs::path &p) {
        struct stat info {};
        if (::stat(p.c_str(), &info) != 0)
            return std::string();
        const passwd *owner = ::getpwuid(info.st_uid);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return std::string(" (owner ") +
               (owner != nullptr ? owner->pw_name : std::to_string(info.st_uid)) + ", mode " +
               mode + ")";
    };
    // SQLite writes its -wal and -shm files beside the database.
    if (::access(folder.c_str(), W_OK | X_OK) != 0 && errno == EACCES)
        return "this user may not write in its folder " + folder.string() + owned(folder);
    if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), R_OK) != 0)
        return "this user may not read it" + owned(path);
    if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0)
        return "this user may not write it" + owned(path);
#else
    (void)path;
#endif
    return {};
}

bool mayWrite(const std::string &path) {
#ifndef _WIN32
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty())
        folder = ".";
    return ::access(path.c_str(), W_OK) == 0 && ::access(folder.c_str(), W_OK | X_OK) == 0;
#else
    (void)path;
    return true;
#endif
}

// SQLite's message, with the cause the system gives where SQLite names none.
std::string openFailure(sqlite3 *db, const std::string &path) {
    const int code = db != nullptr ? sqlite3_extended_errcode(db) & 0xFF : SQLITE_NOMEM;
    if (code == SQLITE_CANTOPEN || code == SQLITE_IOERR || code == SQLITE_READONLY ||
        code == SQLITE_FULL || code == SQLITE_PERM)
        if (const std::string reason = fileSystemReason(path); !reason.empty())
            return message(db) + ": " + reason;
    return message(db);
}

// file:... and :memory: are SQLite's names for no file or a URI: a verdict
// written there would be gone when kav ends.
bool namesAFile(const std::string &path) {
    return !path.empty() && path != ":memory:" && path.rfind("file:", 0) != 0;
}

// A copy of the file in memory, for a database SQLite cannot read in
// place: in WAL mode it needs a -shm file beside it, which a read-only
// folder or file system cannot take. Nobody can be writing it there either
// (a writer would need that file too), so the file alone is the whole record.
sqlite3 *openCopyInMemory(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in || bytes.size() < 100)
        return nullptr;
    // Bytes 18 and 19 say WAL; the copy is read as a plain database.
    bytes[18] = bytes[19] = 1;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    auto *copy = static_cast<unsigned char *>(sqlite3_malloc64(bytes.size()));
    if (copy == nullptr) {
        sqlite3_close(db);
        return nullptr;
    }
    std::memcpy(copy, bytes.data(), bytes.size());
    if (sqlite3_deserialize(db, "main", copy, static_cast<sqlite3_int64>(bytes.size()),
                            static_cast<sqlite3_int64>(bytes.size()),
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY) !=
        SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

} // namespace

std::unique_ptr<SqliteStore> SqliteStore::open(const std::string &path, StoreOpen how,
                                               std::string &error, StoreCheck check) {
    std::error_code ec;
    const std::string refused = "results database " + path + ": ";
    if (!namesAFile(path)) {
        error = refused + "not a file name (SQLite's memory and URI names keep no record)";
        return nullptr;
    }
    // Looked at without blocking: SQLite would wait on a pipe for ever.
    const FileKind kind = fileKind(path);
    const bool exists = kind.exists;
    if (!exists) {
        if (how == StoreOpen::MustExist) {
            error = refused + "no such file (kav check writes it)";
            return nullptr;
        }
        const fs::path folder = fs::path(path).parent_path();
        if (!folder.empty() && !fs::exists(folder, ec) && !fs::create_directories(folder, ec)) {
            error = refused + "its folder cannot be made: " + ec.message();
            return nullptr;
        }
    } else if (!kind.regular) {
        error = refused + kind.what + ", not a file";
        return nullptr;
    } else if (fs::file_size(path, ec) > 0) {
        const std::optional<Header> header = readHeader(path);
        if (!header) {
            const std::string reason = fileSystemReason(path);
            error = refused + "cannot be read" + (reason.empty() ? "" : ": " + reason);
            return nullptr;
        }
        if (!header->sqlite) {
            error = refused + "not a SQLite database; left as it is";
            return nullptr;
        }
        if (header->applicationId != 0 &&
            header->applicationId != static_cast<std::uint32_t>(kRecordsApplicationId)) {
            error = refused + "a SQLite database of another program; left as it is";
            return nullptr;
        }
        if (header->applicationId == static_cast<std::uint32_t>(kRecordsApplicationId) &&
            header->userVersion > static_cast<std::uint32_t>(kRecordsVersion)) {
            error = refused + "written by a newer kav (layout " +
                    std::to_string(header->userVersion) + "; this kav knows up to " +
                    std::to_string(kRecordsVersion) + "): use that kav or a newer one";
            return nullptr;
        }
    }

    // kav results only reads: a file or folder it may not write is opened
    // for reading. Where it may, it opens for writing all the same (and
    // writes nothing), as only a writer's connection takes away the -wal
    // and -shm files when it closes. An older layout is upgraded, which writes.
    const bool readOnly =
        how == StoreOpen::MustExist && !mayWrite(path) && readHeader(path) &&
        readHeader(path)->userVersion == static_cast<std::uint32_t>(kRecordsVersion);
    sqlite3 *db = nullptr;
    const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                      SQLITE_OPEN_FULLMUTEX |
                      (how == StoreOpen::CreateIfMissing ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = refused + openFailure(db, path);
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteStore> records(new SqliteStore(db, path));
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);

    // A SQLite file without our mark is ours only while it holds nothing.
    std::optional<long long> id = pragmaInt(db, "application_id", error);
    const int firstRead = sqlite3_extended_errcode(db) & 0xFF;
    if (!id && readOnly && (firstRead == SQLITE_CANTOPEN || firstRead == SQLITE_READONLY)) {
        // A copy in a folder no one may write: no writer can be at it
        // either (it would need the -shm file), so it is read as it stands.
        sqlite3_close(db);
        records.reset();
        db = nullptr;
        db = openCopyInMemory(path);
        if (db == nullptr) {
            error = refused + "cannot be read: " + fileSystemReason(path);
            return nullptr;
        }
        records.reset(new SqliteStore(db, path));
        sqlite3_extended_result_codes(db, 1);
        error.clear();
        id = pragmaInt(db, "application_id", error);
    }
    const std::optional<long long> version = pragmaInt(db, "user_version", error);
    const std::optional<long long> tables = pragmaInt(db, "schema_version", error);
    long long objects = 0;
    {
        Statement count(db, "SELECT count(*) FROM sqlite_master");
        if (!id || !version || !tables || !count.ok() || count.step() != SQLITE_ROW) {
            const std::string reason = fileSystemReason(path);
            const int code = sqlite3_extended_errcode(db) & 0xFF;
            if (!reason.empty() && (code == SQLITE_CANTOPEN || code == SQLITE_IOERR ||
                                    code == SQLITE_FULL || code == SQLITE_READONLY))
                error = refused + message(db) + ": " + reason;
            else
                error = refused + "damaged or unreadable (" + message(db) + "); left as it is";
            return nullptr;
        }
        objects = count.integer(0);
    }
    if (*id != kRecordsApplicationId && (objects > 0 || *version != 0)) {
        error = refused + "a SQLite database of another program; left as it is";
        return nullptr;
    }
    // Quick: the layout and the last page of each table, which a file cut
    // short or overwritten at its end does not have. Full, on request: every
    // page, for damage deep inside that would otherwise show only when some
    // report reads it.
    if (objects > 0 && *id == kRecordsApplicationId) {
        std::string problem;
        if (check == StoreCheck::Full) {
            Statement verify(db, "PRAGMA integrity_check(1)");
            if (!verify.ok() || verify.step() != SQLITE_ROW || verify.text(0) != "ok")
                problem = verify.ok() ? verify.text(0) : message(db);
        } else {
            Statement tables(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                                 "name IN ('units', 'failures', 'read_times', "
                                 "'step_results', 'outbox')");
            Statement last(db, "SELECT max(id) FROM units");
            if (!tables.ok() || tables.step() != SQLITE_ROW)
                problem = message(db);
            else if (tables.integer(0) != (*version >= 3 ? 5 : *version == 2 ? 3 : 1))
                problem = "tables are missing";
            else if (!last.ok() || last.step() != SQLITE_ROW)
                problem = message(db);
        }
        if (!problem.empty()) {
            error = refused + "damaged (" + problem + "); left as it is";
            return nullptr;
        }
    }
#ifndef _WIN32
    struct stat opened {};
    if (::stat(path.c_str(), &opened) == 0) {
        records->device_ = static_cast<unsigned long long>(opened.st_dev);
        records->inode_ = static_cast<unsigned long long>(opened.st_ino);
    }
#endif
    if (readOnly)
        return records;
    // SQLite falls back to reading a file it may not write; kav check
    // must know before the first unit, not after it.
    if (sqlite3_db_readonly(db, "main") == 1) {
        const std::string reason = fileSystemReason(path);
        error = refused + "cannot be written" + (reason.empty() ? "" : ": " + reason);
        return nullptr;
    }
    // The write-ahead log: readers never block the writer, and a commit
    // survives a kill; FULL makes it survive a power cut too.
    std::string ignored;
    if (!exec(db, "PRAGMA journal_mode = WAL", error) ||
        !exec(db, "PRAGMA synchronous = FULL", ignored) ||
        !exec(db, "PRAGMA foreign_keys = ON", ignored)) {
        error = refused + openFailure(db, path);
        return nullptr;
    }
    if (*version < kRecordsVersion && !layOut(db, error)) {
        error = refused + "could not be laid out: " + error;
        return nullptr;
    }
    // A record laid out before an index was added gets it from its writer
    // (kav results writes nothing). It only speeds reading: a file that
    // cannot take it now is used without it.
    if (how == StoreOpen::CreateIfMissing)
        exec(db, laterIndexDdl().c_str(), ignored);
    return records;
}

std::string SqliteStore::fileChanged() const {
#ifndef _WIN32
    struct stat now {};
    if (::stat(path_.c_str(), &now) != 0)
        return "the file is gone (removed or renamed while kav had it open)";
    if (static_cast<unsigned long long>(now.st_dev) != device_ ||
        static_cast<unsigned long long>(now.st_ino) != inode_)
        return "the file was replaced by another while kav had it open";
#endif
    return {};
}

SqliteStore::~SqliteStore() {
    sqlite3_close(db_);
}

std::optional<StoredUnit> SqliteStore::append(const UnitResult &unit, const CheckRun &run,
                                              const Json &steps, std::string &error) {
    return appendUnit(unit, run, steps, nullptr, error);
}

std::optional<StoredUnit> SqliteStore::appendForUpload(const UnitResult &unit, const CheckRun &run,
                                                       const Json &steps, const std::string &target,
                                                       std::string &error) {
    return appendUnit(unit, run, steps, &target, error);
}

std::optional<StoredUnit> SqliteStore::appendUnit(const UnitResult &unit, const CheckRun &run,
                                                  const Json &steps, const std::string *target,
                                                  std::string &error) {
    StoredUnit u = storedUnitOf(unit, run, steps);

    std::lock_guard lock(mutex_);
    // A row written into a file no longer there would be lost with it.
    if (std::string changed = fileChanged(); !changed.empty()) {
        error = std::move(changed);
        return std::nullopt;
    }
    if (!exec(db_, "BEGIN IMMEDIATE", error)) {
        error = openFailure(db_, path_);
        return std::nullopt;
    }
    const auto fail = [&]() -> std::optional<StoredUnit> {
        error = openFailure(db_, path_);
        std::string ignored;
        exec(db_, "ROLLBACK", ignored);
        return std::nullopt;
    };
    // Taken under the write lock: two processes on one file never share a number.
    {
        Statement next(db_, "SELECT coalesce(max(sequence), 0) + 1 FROM units WHERE station = ?1");
        if (!next.ok())
            return fail();
        next.bind(1, u.station);
        if (next.step() != SQLITE_ROW)
            return fail();
        u.sequence = next.integer(0);
    }
    u.payloadHash = payloadHash(u);
    std::string ignored;
    if (!insertUnit(db_, u, ignored))
        return fail();
    if (target != nullptr) {
        Statement row(db_, "INSERT INTO outbox(unit, target) VALUES (?1, ?2)");
        if (!row.ok())
            return fail();
        row.bind(1, u.id);
        row.bind(2, *target);
        if (row.step() != SQLITE_DONE)
            return fail();
    }
    if (!exec(db_, "COMMIT", error)) {
        error = openFailure(db_, path_);
        exec(db_, "ROLLBACK", ignored);
        return std::nullopt;
    }
    return u;
}

Receipt SqliteStore::receive(const StoredUnit &unit, std::string &error) {
    std::lock_guard lock(mutex_);
    if (std::string changed = fileChanged(); !changed.empty()) {
        error = std::move(changed);
        return Receipt::Failed;
    }
    if (!exec(db_, "BEGIN IMMEDIATE", error)) {
        error = openFailure(db_, path_);
        return Receipt::Failed;
    }
    std::string ignored;
    const auto end = [&](Receipt receipt) {
        if (receipt == Receipt::Stored && exec(db_, "COMMIT", error))
            return receipt;
        if (receipt == Receipt::Stored)
            error = openFailure(db_, path_);
        exec(db_, "ROLLBACK", ignored);
        return receipt == Receipt::Stored ? Receipt::Failed : receipt;
    };
    {
        Statement held(db_, "SELECT payload_hash FROM units WHERE run_id = ?1");
        if (!held.ok()) {
            error = message(db_);
            return end(Receipt::Failed);
        }
        held.bind(1, unit.runId);
        const int r = held.step();
        if (r == SQLITE_ROW)
            return end(held.text(0) == unit.payloadHash ? Receipt::AlreadyHeld : Receipt::Conflict);
        if (r != SQLITE_DONE) {
            error = message(db_);
            return end(Receipt::Failed);
        }
    }
    StoredUnit copy = unit;
    if (!insertUnit(db_, copy, error))
        return end(Receipt::Failed);
    return end(Receipt::Stored);
}

std::optional<StoredUnit> SqliteStore::unit(long long id, std::string &error) {
    std::lock_guard lock(mutex_);
    std::vector<StoredUnit> found = readUnits(db_, idWhere(id, Dialect::Sqlite), error);
    if (found.empty() || !error.empty())
        return std::nullopt;
    return std::move(found.front());
}

std::optional<StoredUnit> SqliteStore::unitByRunId(const std::string &runId, std::string &error) {
    std::lock_guard lock(mutex_);
    std::vector<StoredUnit> found = readUnits(db_, runIdWhere(runId, Dialect::Sqlite), error);
    if (found.empty() || !error.empty())
        return std::nullopt;
    return std::move(found.front());
}

std::vector<StoredUnit> SqliteStore::units(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    return readUnits(db_, filterWhere(filter, Dialect::Sqlite), error);
}

namespace {

// The rows of a query, each made by `read`; what was read up to an error,
// with the error.
template <typename Read>
auto selectRows(sqlite3 *db, const Query &q, std::string &error, Read read) {
    std::vector<decltype(read(std::declval<const Statement &>()))> rows;
    Statement s(db, q.text);
    if (!s.ok()) {
        error = message(db);
        return rows;
    }
    s.bind(q);
    int r;
    while ((r = s.step()) == SQLITE_ROW)
        rows.push_back(read(s));
    if (r != SQLITE_DONE)
        error = message(db);
    return rows;
}

} // namespace

std::vector<SummaryRow> SqliteStore::summary(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    return selectRows(db_, summaryQuery(filter, Dialect::Sqlite), error, [](const Statement &s) {
        return SummaryRow{s.text(0), s.text(1), s.text(2), s.integer(3), s.integer(4)};
    });
}

std::vector<FailureCount> SqliteStore::failures(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    return selectRows(db_, failuresQuery(filter, Dialect::Sqlite), error, [](const Statement &s) {
        return FailureCount{s.text(0), s.text(1), s.text(2), s.text(3), s.integer(4)};
    });
}

std::vector<double> SqliteStore::readTimes(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    return selectRows(db_, readTimesQuery(filter, Dialect::Sqlite), error,
                      [](const Statement &s) { return s.real(0); });
}

std::vector<OutboxEntry> SqliteStore::pending(int limit, std::string &error,
                                              const OutboxWindow &window) {
    std::lock_guard lock(mutex_);
    std::vector<OutboxEntry> entries;
    std::map<long long, OutboxEntry> rows;
    const std::string chosen = "FROM outbox WHERE unit > ?2 AND (?3 = '' OR next_try IS NULL OR "
                               "next_try <= ?3) ORDER BY unit LIMIT ?1";
    const std::vector<std::string> values{std::to_string(limit), std::to_string(window.afterUnit),
                                          window.dueBy};
    {
        Statement s(db_, "SELECT unit, target, attempts, last_error " + chosen);
        if (!s.ok()) {
            error = message(db_);
            return entries;
        }
        for (std::size_t i = 0; i < values.size(); ++i)
            s.bind(static_cast<int>(i + 1), values[i]);
        int r;
        while ((r = s.step()) == SQLITE_ROW) {
            OutboxEntry &e = rows[s.integer(0)];
            e.target = s.text(1);
            e.attempts = static_cast<int>(s.integer(2));
            e.lastError = s.text(3);
        }
        if (r != SQLITE_DONE) {
            error = message(db_);
            return entries;
        }
    }
    if (rows.empty())
        return entries;
    const Query where{" WHERE units.id IN (SELECT unit " + chosen + ")", values};
    for (StoredUnit &u : readUnits(db_, where, error)) {
        const auto at = rows.find(u.id);
        if (at == rows.end())
            continue; // acknowledged between the two reads
        at->second.unit = std::move(u);
        entries.push_back(std::move(at->second));
    }
    return entries;
}

bool SqliteStore::change(const std::string &sql, const std::vector<std::string> &values,
                         std::string &error) {
    std::lock_guard lock(mutex_);
    if (std::string changed = fileChanged(); !changed.empty()) {
        error = std::move(changed);
        return false;
    }
    Statement s(db_, sql);
    if (!s.ok()) {
        error = message(db_);
        return false;
    }
    for (std::size_t i = 0; i < values.size(); ++i)
        s.bind(static_cast<int>(i + 1), values[i]);
    if (s.step() != SQLITE_DONE) {
        error = openFailure(db_, path_);
        return false;
    }
    return true;
}

bool SqliteStore::acknowledge(long long unit, std::string &error) {
    return change("DELETE FROM outbox WHERE unit = ?1", {std::to_string(unit)}, error);
}

bool SqliteStore::recordAttempt(long long unit, const std::string &why, const std::string &nextTry,
                                std::string &error) {
    return change("UPDATE outbox SET attempts = attempts + 1, last_error = ?2, next_try = ?3 "
                  "WHERE unit = ?1",
                  {std::to_string(unit), why, nextTry}, error);
}

OutboxState SqliteStore::outboxState(std::string &error) {
    std::lock_guard lock(mutex_);
    OutboxState state;
    // The latest failure is the one due again last.
    Statement s(db_, "SELECT (SELECT count(*) FROM outbox), (SELECT last_error FROM outbox "
                     "WHERE last_error IS NOT NULL ORDER BY next_try DESC, unit DESC LIMIT 1)");
    if (!s.ok() || s.step() != SQLITE_ROW) {
        error = message(db_);
        return state;
    }
    state.pending = s.integer(0);
    state.lastError = s.text(1);
    return state;
}

std::unique_ptr<RecordStore> openLocalStore(const std::string &path, StoreOpen how,
                                            std::string &error, StoreCheck check) {
    return SqliteStore::open(path, how, error, check);
}

bool haveLocalStore() {
    return true;
}

} // namespace kav::station
