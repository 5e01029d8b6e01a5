// The local store through its interface alone, without the runner: every
// query selects the units one filter names, and what a unit wrote reads
// back from each table.
#include "station/record_store.h"
#include "station/sqlite_store.h"
#include "test_files.h"

#include <gtest/gtest.h>

// Cases name the members they set; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

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

TEST(RecordStore, TheOutboxHoldsEachUnitUntilItIsAcknowledged) {
    const test::TempFolder folder;
    std::string error;
    const auto store = SqliteStore::open((folder.path() / "results.sqlite").string(),
                                         StoreOpen::CreateIfMissing, error);
    ASSERT_NE(store, nullptr) << error;
    const CheckPlan plan{.name = "line-a", .text = "{}", .hash = "00"};
    const CheckRun run{.plan = &plan, .station = "st", .libraryVersion = "l", .kavVersion = "k"};
    const std::string target = "postgresql://station@db-host/line3";
    std::vector<long long> ids;
    for (const char *sam : {"S1", "S2", "S3"}) {
        const auto u = store->appendForUpload(unit("2026-01-01T10:00:00.000Z", sam, true, {1}), run,
                                              Json::array(), target, error);
        ASSERT_TRUE(u) << error;
        ids.push_back(u->id);
    }
    // A unit recorded without a central record waits for nothing.
    ASSERT_TRUE(
        store->append(unit("2026-01-01T11:00:00.000Z", "S4", true, {}), run, Json::array(), error))
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

} // namespace
