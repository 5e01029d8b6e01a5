#include "sqlite_store.h"

#include "regular_file.h"

#include <sqlite3.h>

#include <cerrno>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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

// Layout 1: one row a unit, its steps as JSON text.
constexpr const char *kLayout1 = R"sql(
CREATE TABLE units(
    id INTEGER PRIMARY KEY,
    at TEXT NOT NULL,
    station TEXT NOT NULL,
    port INTEGER NOT NULL,
    sam_id TEXT,
    plan_name TEXT NOT NULL,
    plan_hash TEXT NOT NULL,
    verdict TEXT NOT NULL CHECK (verdict IN ('PASS', 'FAIL')),
    ms REAL NOT NULL,
    library_version TEXT NOT NULL,
    kav_version TEXT NOT NULL,
    steps TEXT NOT NULL);
)sql";

// Layout 2 adds what reports count and plot without reading every unit's
// JSON: the failures by step and code, and each read's time.
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
CREATE INDEX units_at ON units(at);
CREATE INDEX units_sam_id ON units(sam_id);
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

// Brings the file to this kav's layout in one transaction.
bool layOut(sqlite3 *db, std::string &error) {
    if (!exec(db, "BEGIN IMMEDIATE", error))
        return false;
    const auto fail = [&] {
        std::string ignored;
        exec(db, "ROLLBACK", ignored);
        return false;
    };
    // Read again under the lock: another station may have laid it out.
    const std::optional<long long> version = pragmaInt(db, "user_version", error);
    if (!version)
        return fail();
    if (*version == 0 && !exec(db, kLayout1, error))
        return fail();
    if (*version < 2 && !(exec(db, kLayout2Additions, error) && fillLayout2(db, error)))
        return fail();
    const std::string mark = "PRAGMA application_id = " + std::to_string(kRecordsApplicationId) +
                             "; PRAGMA user_version = " + std::to_string(kRecordsVersion);
    if (!exec(db, mark.c_str(), error) || !exec(db, "COMMIT", error))
        return fail();
    return true;
}

std::string whereClause(const RecordFilter &filter) {
    std::string where = " WHERE 1";
    if (!filter.since.empty())
        where += " AND units.at >= :since";
    if (!filter.samId.empty())
        where += " AND units.sam_id = :sam";
    if (!filter.verdict.empty())
        where += " AND units.verdict = :verdict";
    return where;
}

void bindFilter(Statement &s, const RecordFilter &filter) {
    const auto bindNamed = [&s](const char *name, const std::string &value) {
        const int i = sqlite3_bind_parameter_index(s.get(), name);
        if (i > 0)
            s.bind(i, value);
    };
    bindNamed(":since", filter.since);
    bindNamed(":sam", filter.samId);
    bindNamed(":verdict", filter.verdict);
}

// The rows of a query over the units `filter` selects, each made by `read`;
// what was read up to an error, with the error.
template <typename Read>
auto selectRows(sqlite3 *db, const std::string &sql, const RecordFilter &filter, std::string &error,
                Read read) {
    std::vector<decltype(read(std::declval<const Statement &>()))> rows;
    Statement s(db, sql);
    if (!s.ok()) {
        error = message(db);
        return rows;
    }
    bindFilter(s, filter);
    int r;
    while ((r = s.step()) == SQLITE_ROW)
        rows.push_back(read(s));
    if (r != SQLITE_DONE)
        error = message(db);
    return rows;
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
                                 "name IN ('units', 'failures', 'read_times')");
            Statement last(db, "SELECT max(id) FROM units");
            if (!tables.ok() || tables.step() != SQLITE_ROW)
                problem = message(db);
            else if (tables.integer(0) != (*version >= 2 ? 3 : 1))
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

std::optional<long long> SqliteStore::append(const UnitResult &unit, const CheckRun &run,
                                             const Json &steps, std::string &error) {
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
    const auto fail = [&]() -> std::optional<long long> {
        error = openFailure(db_, path_);
        std::string ignored;
        exec(db_, "ROLLBACK", ignored);
        return std::nullopt;
    };
    Statement row(db_, "INSERT INTO units(at, station, port, sam_id, plan_name, plan_hash, "
                       "verdict, ms, library_version, kav_version, steps) "
                       "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    if (!row.ok())
        return fail();
    row.bind(1, unit.at);
    row.bind(2, run.station);
    row.bind(3, static_cast<long long>(unit.port));
    row.bindOrNull(4, unit.samId);
    row.bind(5, run.plan->name);
    row.bind(6, run.plan->hash);
    row.bind(7, std::string(unit.passed ? "PASS" : "FAIL"));
    row.bind(8, unit.ms);
    row.bind(9, run.libraryVersion);
    row.bind(10, run.kavVersion);
    row.bind(11, steps.dump(-1, ' ', false, Json::error_handler_t::replace));
    if (row.step() != SQLITE_DONE)
        return fail();
    const long long id = sqlite3_last_insert_rowid(db_);
    Statement failure(db_, "INSERT INTO failures(unit, step, operation, code, text, count) "
                           "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    Statement time(db_, "INSERT INTO read_times(unit, ms) VALUES (?1, ?2)");
    if (!failure.ok() || !time.ok())
        return fail();
    for (const StepOutcome &step : unit.steps)
        for (const StepFailure &f : step.failures) {
            failure.bind(1, id);
            failure.bind(2, step.step);
            failure.bind(3, f.operation);
            failure.bind(4, f.code);
            failure.bind(5, f.text);
            failure.bind(6, static_cast<long long>(f.count));
            if (failure.step() != SQLITE_DONE)
                return fail();
            sqlite3_reset(failure.get());
        }
    for (double ms : unit.readMs) {
        time.bind(1, id);
        time.bind(2, ms);
        if (time.step() != SQLITE_DONE)
            return fail();
        sqlite3_reset(time.get());
    }
    if (!exec(db_, "COMMIT", error)) {
        error = openFailure(db_, path_);
        std::string ignored;
        exec(db_, "ROLLBACK", ignored);
        return std::nullopt;
    }
    return id;
}

std::vector<StoredUnit> SqliteStore::units(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    const std::string sql =
        "SELECT id, at, station, port, sam_id, plan_name, plan_hash, verdict, ms, "
        "library_version, kav_version, steps, "
        "(SELECT group_concat(step, ' ') FROM (SELECT DISTINCT step FROM failures "
        "WHERE failures.unit = units.id)) FROM units" +
        whereClause(filter) + " ORDER BY id";
    return selectRows(db_, sql, filter, error, [](const Statement &s) {
        StoredUnit u;
        u.id = s.integer(0);
        u.at = s.text(1);
        u.station = s.text(2);
        u.port = static_cast<int>(s.integer(3));
        u.samId = s.text(4);
        u.planName = s.text(5);
        u.planHash = s.text(6);
        u.verdict = s.text(7);
        u.ms = s.real(8);
        u.libraryVersion = s.text(9);
        u.kavVersion = s.text(10);
        u.steps = s.text(11);
        const std::string failed = s.text(12);
        for (std::size_t from = 0; from < failed.size();) {
            std::size_t to = failed.find(' ', from);
            if (to == std::string::npos)
                to = failed.size();
            u.failedSteps.push_back(failed.substr(from, to - from));
            from = to + 1;
        }
        return u;
    });
}

std::vector<SummaryRow> SqliteStore::summary(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    const std::string sql = "SELECT substr(at, 1, 10), plan_name, count(*), "
                            "sum(verdict = 'PASS') FROM units" +
                            whereClause(filter) + " GROUP BY 1, 2 ORDER BY 1, 2";
    return selectRows(db_, sql, filter, error, [](const Statement &s) {
        return SummaryRow{s.text(0), s.text(1), s.integer(2), s.integer(3)};
    });
}

std::vector<FailureCount> SqliteStore::failures(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    const std::string sql = "SELECT step, operation, code, min(text), count(*) FROM failures "
                            "WHERE unit IN (SELECT id FROM units" +
                            whereClause(filter) +
                            ") GROUP BY step, operation, code ORDER BY count(*) DESC, step, code";
    return selectRows(db_, sql, filter, error, [](const Statement &s) {
        return FailureCount{s.text(0), s.text(1), s.text(2), s.text(3), s.integer(4)};
    });
}

std::vector<double> SqliteStore::readTimes(const RecordFilter &filter, std::string &error) {
    std::lock_guard lock(mutex_);
    const std::string sql =
        "SELECT ms FROM read_times WHERE unit IN (SELECT id FROM units" + whereClause(filter) + ")";
    return selectRows(db_, sql, filter, error, [](const Statement &s) { return s.real(0); });
}

std::unique_ptr<RecordStore> openLocalStore(const std::string &path, StoreOpen how,
                                            std::string &error, StoreCheck check) {
    return SqliteStore::open(path, how, error, check);
}

bool haveLocalStore() {
    return true;
}

} // namespace kav::station
