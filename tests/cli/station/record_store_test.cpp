// The local store through its interface alone, without the runner: every
// query selects the units one filter names, and what a unit wrote reads
// back from each table.
#include "station/record_sql.h"
#include "station/record_store.h"
#include "station/sqlite_store.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

// Cases name the members they set; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace kav::station;

UnitResult unit(const char *at, const char *samId, bool passed, std::vector<double> readMs) {
    UnitResult u;
    u.port = 1;
    u.at = at;
    u.samId = samId;
    u.verdict = passed ? Verdict::Pass : Verdict::Fail;
    u.ms = 500;
    u.readMs = std::move(readMs);
    StepOutcome reads;
    reads.step = "reads";
    reads.status = passed ? StepOutcome::Status::Passed : StepOutcome::Status::Failed;
    if (!passed)
        reads.failures.push_back({"Kav_ReadMsg", "128", "no card", 2});
    u.steps.push_back(reads);
    return u;
}

TEST(RecordStore, EveryQuerySelectsTheUnitsOfTheFilter) {
    const test::TempFolder folder;
    const std::string path = (folder.path() / "results.sqlite").string();
    std::string error;
    const std::unique_ptr<RecordStore> store =
        openLocalStore(path, StoreOpen::CreateIfMissing, error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->location(), path);

    const CheckPlan plan{.name = "line-a", .text = "{}", .hash = "0123456789abcdef"};
    const CheckRun run{.plan = &plan,
                       .station = "station-7",
                       .libraryVersion = "libKavIDCardAPI.so.9",
                       .kavVersion = "9.9.9"};
    ASSERT_EQ(store
                  ->append(unit("2026-01-01T10:00:00.000Z", "S1", true, {100, 110}), run,
                           Json::array(), error)
                  .value_or(StoredUnit{})
                  .id,
              1)
        << error;
    ASSERT_EQ(store
                  ->append(unit("2026-02-01T10:00:00.000Z", "S2", false, {120}), run, Json::array(),
                           error)
                  .value_or(StoredUnit{})
                  .id,
              2)
        << error;

    struct Case {
        const char *name;
        RecordFilter filter;
        std::vector<long long> ids;
        long long passed;
        std::size_t failures, reads;
    };
    const Case cases[] = {
        {"all", {}, {1, 2}, 1, 1, 3},
        {"since", {.since = "2026-01-15"}, {2}, 0, 1, 1},
        {"SAM", {.samId = "S1"}, {1}, 1, 0, 2},
        {"verdict", {.verdict = "FAIL"}, {2}, 0, 1, 1},
        {"none", {.samId = "S1", .verdict = "FAIL"}, {}, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<long long> ids;
        for (const StoredUnit &u : store->units(c.filter, error))
            ids.push_back(u.id);
        EXPECT_EQ(ids, c.ids);
        long long units = 0, passed = 0;
        for (const SummaryRow &row : store->summary(c.filter, error)) {
            units += row.units;
            passed += row.passed;
        }
        EXPECT_EQ(units, static_cast<long long>(c.ids.size()));
        EXPECT_EQ(passed, c.passed);
        EXPECT_EQ(store->failures(c.filter, error).size(), c.failures);
        EXPECT_EQ(store->readTimes(c.filter, error).size(), c.reads);
        EXPECT_EQ(error, "");
    }

    const std::vector<StoredUnit> failed = store->units({.samId = "S2"}, error);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].failedSteps, std::vector<std::string>{"reads"});
    EXPECT_EQ(failed[0].kavVersion, "9.9.9");
    EXPECT_EQ(failed[0].station, "station-7");
    const std::vector<FailureCount> counts = store->failures({}, error);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0].operation + " " + counts[0].code + " " + counts[0].text,
              "Kav_ReadMsg 128 no card");
}

TEST(RecordStore, TheNewFiltersSelectByTimeStationOperatorAndSerial) {
    const test::TempFolder folder;
    std::string error;
    const std::unique_ptr<RecordStore> store =
        openLocalStore((folder.path() / "r.sqlite").string(), StoreOpen::CreateIfMissing, error);
    ASSERT_NE(store, nullptr) << error;
    const CheckPlan plan{.name = "p", .text = "{}", .hash = "h", .version = "2.1"};
    struct Seed {
        const char *at, *station, *operatorId, *serial, *samId;
    };
    const Seed seeds[] = {
        {"2026-12-07T23:59:59.999Z", "a", "op1", "", "S1"},
        {"2026-12-08T10:00:00.000Z", "b", "op2", "SN-2", "S2"},
        {"2026-12-08T10:59:30.000Z", "a", "", "", "S3"},
        {"2026-12-09T00:00:00.000Z", "b", "op1", "SN-4", "S4"},
    };
    for (const Seed &seed : seeds) {
        const CheckRun run{.plan = &plan,
                           .station = seed.station,
                           .libraryVersion = "lib",
                           .kavVersion = "1",
                           .operatorId = seed.operatorId,
                           .serial = seed.serial};
        ASSERT_TRUE(store->append(unit(seed.at, seed.samId, true, {}), run, Json::array(), error))
            << error;
    }
    struct Case {
        const char *name;
        RecordFilter filter;
        std::vector<long long> ids;
    };
    const Case cases[] = {
        {"until a day takes that whole day", {.until = "2026-12-08"}, {1, 2, 3}},
        {"until a minute takes its seconds", {.until = "2026-12-08T10:59"}, {1, 2, 3}},
        {"until a minute before", {.until = "2026-12-08T10:58Z"}, {1, 2}},
        {"since and until", {.since = "2026-12-08", .until = "2026-12-08"}, {2, 3}},
        {"station", {.station = "a"}, {1, 3}},
        {"operator", {.operatorId = "op1"}, {1, 4}},
        {"serial given", {.serial = "SN-4"}, {4}},
        {"serial is the SAM ID without one", {.serial = "S3"}, {3}},
        {"all at once", {.since = "2026-12-08", .station = "b", .operatorId = "op1"}, {4}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<long long> ids;
        for (const StoredUnit &u : store->units(c.filter, error))
            ids.push_back(u.id);
        EXPECT_EQ(ids, c.ids);
        long long units = 0;
        for (const SummaryRow &row : store->summary(c.filter, error))
            units += row.units;
        EXPECT_EQ(units, static_cast<long long>(c.ids.size()));
        EXPECT_EQ(error, "");
    }
    // Sequences per station; what append gave is what reads back.
    const std::vector<StoredUnit> all = store->units({}, error);
    ASSERT_EQ(all.size(), 4u);
    std::vector<long long> sequences;
    for (const StoredUnit &u : all)
        sequences.push_back(u.sequence);
    EXPECT_EQ(sequences, (std::vector<long long>{1, 1, 2, 2}));
    EXPECT_EQ(all[0].planVersion, "2.1");
    EXPECT_EQ(all[0].operatorId, "op1");
    EXPECT_EQ(all[2].operatorId, "");
    for (const StoredUnit &u : all)
        EXPECT_EQ(u.payloadHash, payloadHash(u)) << u.id;
}

TEST(RecordStore, AUnitReceivedIsStoredOnceAndAnotherPayloadUnderItsIdIsAConflict) {
    const test::TempFolder folder;
    std::string error;
    const std::unique_ptr<RecordStore> from =
        openLocalStore((folder.path() / "a.sqlite").string(), StoreOpen::CreateIfMissing, error);
    const std::unique_ptr<RecordStore> to =
        openLocalStore((folder.path() / "b.sqlite").string(), StoreOpen::CreateIfMissing, error);
    ASSERT_TRUE(from && to) << error;
    const CheckPlan plan{.name = "p", .text = "{}", .hash = "h"};
    const CheckRun run{.plan = &plan, .station = "s", .libraryVersion = "l", .kavVersion = "1"};
    const std::optional<StoredUnit> sent = from->append(
        unit("2026-12-08T10:00:00.000Z", "S1", false, {12.5}), run, Json::array(), error);
    ASSERT_TRUE(sent) << error;
    StoredUnit altered = *sent;
    altered.ms += 1;
    altered.payloadHash = payloadHash(altered);
    struct Case {
        const char *name;
        const StoredUnit &unit;
        Receipt receipt;
    };
    const Case cases[] = {
        {"new", *sent, Receipt::Stored},
        {"again", *sent, Receipt::AlreadyHeld},
        {"other data", altered, Receipt::Conflict},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(to->receive(c.unit, error), c.receipt) << error;
    }
    const std::optional<StoredUnit> held = to->unitByRunId(sent->runId, error);
    ASSERT_TRUE(held) << error;
    EXPECT_EQ(payloadText(*held), payloadText(*sent));
    EXPECT_EQ(to->units({}, error).size(), 1u);
}

TEST(RecordSql, PlaceholdersFollowTheDialectAndEachValueIsBound) {
    const RecordFilter filter{.since = "2026-12-01Z", .samId = "S", .station = "a"};
    struct Case {
        Dialect dialect;
        const char *where;
    };
    const Case cases[] = {
        {Dialect::Sqlite, " WHERE units.at >= ?1 AND units.sam_id = ?2 AND units.station = ?3"},
        {Dialect::Postgres, " WHERE units.at >= $1 AND units.sam_id = $2 AND units.station = $3"},
    };
    for (const Case &c : cases) {
        const Query q = filterWhere(filter, c.dialect);
        EXPECT_EQ(q.text, c.where);
        EXPECT_EQ(q.values, (std::vector<std::string>{"2026-12-01", "S", "a"}));
    }
    EXPECT_EQ(filterWhere({}, Dialect::Sqlite).text, "");
}

// Layouts 1 and 2 as kav wrote them: every unit keeps its fields, and gets
// what layout 3 adds.
TEST(RecordStore, OlderLayoutsAreRebuiltKeepingEveryUnit) {
    const char *layout1 = R"sql(
CREATE TABLE units(id INTEGER PRIMARY KEY, at TEXT NOT NULL, station TEXT NOT NULL,
    port INTEGER NOT NULL, sam_id TEXT, plan_name TEXT NOT NULL, plan_hash TEXT NOT NULL,
    verdict TEXT NOT NULL CHECK (verdict IN ('PASS', 'FAIL')), ms REAL NOT NULL,
    library_version TEXT NOT NULL, kav_version TEXT NOT NULL, steps TEXT NOT NULL);
PRAGMA application_id = 1447776852;
INSERT INTO units VALUES (4, '2026-11-30T23:59:59.900Z', 'bench-3', 1, '05-01', 'old', 'h',
    'FAIL', 250.0, 'lib', '1.0',
    '[{"step":"reads","status":"fail","figures":{"ms":[410.5,620.25],"limitMs":500},
       "failures":[{"operation":"","code":"over-limit","text":"too slow"}]}]');
INSERT INTO units VALUES (9, '2026-12-01T08:00:00.000Z', 'bench-3', 2, NULL, 'old', 'h',
    'PASS', 10.0, 'lib', '1.0', '[]');
INSERT INTO units VALUES (11, '2026-12-01T09:00:00.000Z', 'bench-4', 1, 'X', 'old', 'h',
    'PASS', 10.0, 'lib', '1.0', 'not json');
)sql";
    const char *layout2 = R"sql(
CREATE TABLE failures(unit INTEGER NOT NULL REFERENCES units(id), step TEXT NOT NULL,
    operation TEXT NOT NULL, code TEXT NOT NULL, text TEXT NOT NULL,
    count INTEGER NOT NULL DEFAULT 1);
CREATE TABLE read_times(unit INTEGER NOT NULL REFERENCES units(id), ms REAL NOT NULL);
CREATE INDEX units_at ON units(at);
CREATE INDEX units_sam_id ON units(sam_id);
INSERT INTO failures VALUES (4, 'reads', '', 'over-limit', 'too slow', 1);
INSERT INTO read_times VALUES (4, 410.5), (4, 620.25);
PRAGMA user_version = 2;
)sql";
    for (int layout : {1, 2}) {
        SCOPED_TRACE(layout);
        const test::TempFolder folder;
        const std::string path = (folder.path() / "old.sqlite").string();
        {
            sqlite3 *db = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            const std::string script =
                std::string(layout1) + (layout == 2 ? layout2 : "PRAGMA user_version = 1;");
            ASSERT_EQ(sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
                << sqlite3_errmsg(db);
            sqlite3_close(db);
        }
        std::string error;
        const std::unique_ptr<RecordStore> store =
            openLocalStore(path, StoreOpen::MustExist, error);
        ASSERT_NE(store, nullptr) << error;
        const std::vector<StoredUnit> units = store->units({}, error);
        ASSERT_EQ(units.size(), 3u) << error;
        struct Expected {
            long long id;
            const char *endedAt;
            long long sequence;
            const char *serial;
            Verdict verdict;
            std::size_t failures, reads, stepResults;
        };
        const Expected expected[] = {
            {4, "2026-12-01T00:00:00.150Z", 1, "05-01", Verdict::Fail, 1, 2, 1},
            {9, "2026-12-01T08:00:00.010Z", 2, "", Verdict::Pass, 0, 0, 0},
            {11, "2026-12-01T09:00:00.010Z", 1, "X", Verdict::Pass, 0, 0, 0},
        };
        std::vector<std::string> runIds;
        for (std::size_t i = 0; i < units.size(); ++i) {
            const StoredUnit &u = units[i];
            const Expected &e = expected[i];
            SCOPED_TRACE(u.id);
            EXPECT_EQ(u.id, e.id);
            EXPECT_EQ(u.endedAt, e.endedAt);
            EXPECT_EQ(u.sequence, e.sequence);
            EXPECT_EQ(u.serial, e.serial);
            EXPECT_EQ(u.verdict, e.verdict);
            EXPECT_EQ(u.failures.size(), e.failures);
            EXPECT_EQ(u.readMs.size(), e.reads);
            EXPECT_EQ(u.stepResults.size(), e.stepResults);
            EXPECT_EQ(u.runId.size(), 36u);
            EXPECT_EQ(u.runId[14], '4');
            EXPECT_EQ(u.payloadHash, payloadHash(u));
            runIds.push_back(u.runId);
        }
        EXPECT_NE(runIds[0], runIds[1]);
        ASSERT_EQ(units[0].stepResults.size(), 1u);
        const StepResult reads{0, "reads", "FAIL", 620.25, "ms", std::nullopt, 500.0};
        EXPECT_EQ(units[0].stepResults[0], reads);
        EXPECT_EQ(units[0].failedSteps, std::vector<std::string>{"reads"});
    }
}

const CheckPlan kOutboxPlan{.name = "line-a", .text = "{}", .hash = "00"};
const CheckRun kOutboxRun{
    .plan = &kOutboxPlan, .station = "st", .libraryVersion = "l", .kavVersion = "k"};

// A unit for each SAM ID recorded in `store`, waiting for upload to `target`; their ids.
std::vector<long long> waitingUnits(SqliteStore &store, const std::vector<const char *> &samIds,
                                    const std::string &target) {
    std::vector<long long> ids;
    for (const char *sam : samIds) {
        std::string error;
        const auto u = store.appendForUpload(unit("2026-01-01T10:00:00.000Z", sam, true, {1}),
                                             kOutboxRun, Json::array(), target, error);
        EXPECT_TRUE(u) << error;
        ids.push_back(u ? u->id : 0);
    }
    return ids;
}

TEST(RecordStore, TheOutboxHoldsEachUnitUntilItIsAcknowledged) {
    const test::TempFolder folder;
    std::string error;
    const auto store = SqliteStore::open((folder.path() / "results.sqlite").string(),
                                         StoreOpen::CreateIfMissing, error);
    ASSERT_NE(store, nullptr) << error;
    const std::string target = "postgresql://station@db-host/line3";
    const std::vector<long long> ids = waitingUnits(*store, {"S1", "S2", "S3"}, target);
    // A unit recorded without a central record waits for nothing.
    ASSERT_TRUE(store->append(unit("2026-01-01T11:00:00.000Z", "S4", true, {}), kOutboxRun,
                              Json::array(), error))
        << error;

    enum Action { None, AckFirst, FailSecond, AckAll };
    const struct {
        const char *what;
        Action action;
        int limit;
        std::vector<long long> pending; // the units pending(limit) gives, in order
        long long count;
        const char *lastError;
    } cases[] = {
        {"all three, oldest first", None, 10, {ids[0], ids[1], ids[2]}, 3, ""},
        {"a limit takes the oldest", None, 2, {ids[0], ids[1]}, 3, ""},
        {"the first acknowledged", AckFirst, 10, {ids[1], ids[2]}, 2, ""},
        {"an attempt failed", FailSecond, 1, {ids[1]}, 2, "connection refused"},
        {"every one acknowledged", AckAll, 10, {}, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        bool done = true;
        if (c.action == AckFirst)
            done = store->acknowledge(ids[0], error);
        if (c.action == FailSecond)
            done = store->recordAttempt(ids[1], "connection refused", "2026-01-01T10:00:01.000Z",
                                        error);
        for (std::size_t i = 0; c.action == AckAll && i < ids.size(); ++i)
            done = store->acknowledge(ids[i], error) && done;
        EXPECT_TRUE(done) << error;
        const std::vector<OutboxEntry> waiting = store->pending(c.limit, error);
        EXPECT_EQ(error, "");
        std::vector<long long> got;
        for (const OutboxEntry &e : waiting) {
            got.push_back(e.unit.id);
            EXPECT_EQ(e.target, target);
            EXPECT_EQ(e.unit.readMs, std::vector<double>{1});
            EXPECT_EQ(e.unit.payloadHash, payloadHash(e.unit));
        }
        EXPECT_EQ(got, c.pending);
        const OutboxState state = store->outboxState(error);
        EXPECT_EQ(state.pending, c.count);
        EXPECT_EQ(state.lastError, c.lastError);
    }
    const std::vector<OutboxEntry> none = store->pending(10, error);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(store->units({}, error).size(), 4u) << "acknowledged units stay in the record";
}

TEST(RecordStore, AWindowOnTheOutboxSkipsUnitsSeenOrNotDueYet) {
    const test::TempFolder folder;
    std::string error;
    const auto store = SqliteStore::open((folder.path() / "results.sqlite").string(),
                                         StoreOpen::CreateIfMissing, error);
    ASSERT_NE(store, nullptr) << error;
    const std::vector<long long> ids =
        waitingUnits(*store, {"S1", "S2", "S3", "S4"}, "postgresql://h/d");
    // The second backs off past noon, the third was due at ten.
    ASSERT_TRUE(store->recordAttempt(ids[1], "conflict", "2026-01-01T12:00:00.000Z", error));
    ASSERT_TRUE(store->recordAttempt(ids[2], "refused", "2026-01-01T10:00:00.000Z", error));
    const struct {
        const char *what;
        int limit;
        OutboxWindow window;
        std::vector<long long> pending;
    } cases[] = {
        {"every unit", 10, {}, {ids[0], ids[1], ids[2], ids[3]}},
        {"due at eleven", 10, {0, "2026-01-01T11:00:00.000Z"}, {ids[0], ids[2], ids[3]}},
        {"due at noon", 10, {0, "2026-01-01T12:00:00.000Z"}, {ids[0], ids[1], ids[2], ids[3]}},
        {"after the first", 2, {ids[0], ""}, {ids[1], ids[2]}},
        {"after the second, due at eleven",
         10,
         {ids[1], "2026-01-01T11:00:00.000Z"},
         {ids[2], ids[3]}},
        {"after the last", 10, {ids[3], ""}, {}},
    };
    for (const auto &c : cases) {
        std::vector<long long> got;
        for (const OutboxEntry &e : store->pending(c.limit, error, c.window)) {
            got.push_back(e.unit.id);
            EXPECT_FALSE(e.unit.runId.empty()) << c.what;
        }
        EXPECT_EQ(error, "") << c.what;
        EXPECT_EQ(got, c.pending) << c.what;
    }
}

// The indexes in the record's file, by name.
std::vector<std::string> indexNames(const std::string &path) {
    sqlite3 *db = nullptr;
    std::vector<std::string> names;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *s = nullptr;
        sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'index' ORDER BY name",
                           -1, &s, nullptr);
        while (s != nullptr && sqlite3_step(s) == SQLITE_ROW)
            names.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(s, 0)));
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return names;
}

bool has(const std::vector<std::string> &names, const std::string &name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// A record laid out before the summary's index gets it when kav check opens
// it, not when kav results does (which writes nothing); its units stay.
TEST(RecordStore, AnIndexAddedSinceTheLayoutIsMadeByTheWriterOnly) {
    const test::TempFolder folder;
    const std::string path = (folder.path() / "results.sqlite").string();
    std::string error;
    {
        const auto store = SqliteStore::open(path, StoreOpen::CreateIfMissing, error);
        ASSERT_NE(store, nullptr) << error;
        const CheckPlan plan{.name = "p", .text = "{}", .hash = "00"};
        const CheckRun run{
            .plan = &plan, .station = "st", .libraryVersion = "l", .kavVersion = "k"};
        ASSERT_TRUE(store->append(unit("2026-01-01T10:00:00.000Z", "S1", true, {1}), run,
                                  Json::array(), error))
            << error;
    }
    ASSERT_TRUE(has(indexNames(path), "units_day")) << "a new layout has it";
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP INDEX units_day", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    for (const StoreOpen how : {StoreOpen::MustExist, StoreOpen::CreateIfMissing}) {
        const bool writer = how == StoreOpen::CreateIfMissing;
        SCOPED_TRACE(writer ? "the writer" : "the reader");
        const auto store = SqliteStore::open(path, how, error);
        ASSERT_NE(store, nullptr) << error;
        EXPECT_EQ(has(indexNames(path), "units_day"), writer);
        const std::vector<SummaryRow> rows = store->summary({}, error);
        ASSERT_EQ(rows.size(), 1u) << error;
        EXPECT_EQ(rows[0].units, 1);
    }
}

// The summary reads its index alone, in its order: no table, no sort. A
// change to the query or the index that parts them shows here rather than
// as a slow summary over a large record.
TEST(RecordSql, TheSummaryIsAnsweredFromItsIndexWithoutASort) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, layoutDdl(Dialect::Sqlite).c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_stmt *s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(
                  db, ("EXPLAIN QUERY PLAN " + summaryQuery({}, Dialect::Sqlite).text).c_str(), -1,
                  &s, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    std::string plan;
    while (sqlite3_step(s) == SQLITE_ROW)
        plan += std::string(reinterpret_cast<const char *>(sqlite3_column_text(s, 3))) + "\n";
    sqlite3_finalize(s);
    sqlite3_close(db);
    EXPECT_NE(plan.find("USING COVERING INDEX units_day"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
}

} // namespace
