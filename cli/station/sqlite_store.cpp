#include "sqlite_store.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

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

} // namespace

std::unique_ptr<SqliteStore> SqliteStore::open(const std::string &path, StoreOpen how,
                                               std::string &error) {
    std::error_code ec;
    const bool exists = fs::exists(path, ec);
    const std::string refused = "results database " + path + ": ";
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
    } else if (fs::is_directory(path, ec)) {
        error = refused + "a folder, not a file";
        return nullptr;
    } else if (fs::file_size(path, ec) > 0) {
        const std::optional<Header> header = readHeader(path);
        if (!header) {
            error = refused + "cannot be read";
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

    sqlite3 *db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX |
                      (how == StoreOpen::CreateIfMissing ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = refused + message(db);
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteStore> records(new SqliteStore(db, path));
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);

    // A SQLite file without our mark is ours only while it holds nothing.
    const std::optional<long long> id = pragmaInt(db, "application_id", error);
    const std::optional<long long> version = pragmaInt(db, "user_version", error);
    const std::optional<long long> tables = pragmaInt(db, "schema_version", error);
    long long objects = 0;
    {
        Statement count(db, "SELECT count(*) FROM sqlite_master");
        if (!id || !version || !tables || !count.ok() || count.step() != SQLITE_ROW) {
            error = refused + "damaged or unreadable (" + message(db) + "); left as it is";
            return nullptr;
        }
        objects = count.integer(0);
    }
    if (*id != kRecordsApplicationId && (objects > 0 || *version != 0)) {
        error = refused + "a SQLite database of another program; left as it is";
        return nullptr;
    }
    // The whole file is checked first: damage deep inside would otherwise
    // show only when some report reads that page, after units were added
    // or a summary was given without them. A third of a second at 100,000
    // units.
    if (objects > 0) {
        Statement check(db, "PRAGMA quick_check(1)");
        if (!check.ok() || check.step() != SQLITE_ROW || check.text(0) != "ok") {
            error = refused + "damaged (" + (check.ok() ? check.text(0) : message(db)) +
                    "); left as it is";
            return nullptr;
        }
    }
    // The write-ahead log: readers never block the writer, and a commit
    // survives a kill; FULL makes it survive a power cut too.
    std::string ignored;
    if (!exec(db, "PRAGMA journal_mode = WAL", error) ||
        !exec(db, "PRAGMA synchronous = FULL", ignored) ||
        !exec(db, "PRAGMA foreign_keys = ON", ignored)) {
        error = refused + error;
        return nullptr;
    }
    if (*version < kRecordsVersion && !layOut(db, error)) {
        error = refused + "could not be laid out: " + error;
        return nullptr;
    }
    return records;
}

SqliteStore::~SqliteStore() {
    sqlite3_close(db_);
}

std::optional<long long> SqliteStore::append(const UnitResult &unit, const CheckRun &run,
                                             const Json &steps, std::string &error) {
    std::lock_guard lock(mutex_);
    if (!exec(db_, "BEGIN IMMEDIATE", error))
        return std::nullopt;
    const auto fail = [&]() -> std::optional<long long> {
        error = message(db_);
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
                                            std::string &error) {
    return SqliteStore::open(path, how, error);
}

bool haveLocalStore() {
    return true;
}

} // namespace kav::station
