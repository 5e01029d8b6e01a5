// The central record read through the same interface and the same kav
// results as the local one: units uploaded from a station's record read
// back, and export, exactly as that record has them.
#include "postgres_server.h"
#include "process.h"
#include "station/pg_store.h"
#include "station/record_store.h"
#include "test_files.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

// Cases name the members they set; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace kav::station;

class PgStoreTest : public test::PostgresSuite {
  protected:
    // A fresh database with our tables, as a store.
    std::unique_ptr<PgStore> freshStore(const std::string &name) {
        std::string error;
        auto admin = PgConnection::connect(server_->uri(), std::chrono::seconds{10}, error);
        EXPECT_NE(admin, nullptr) << error;
        if (!admin)
            return nullptr;
        const PgResult made = admin->exec("CREATE DATABASE " + name);
        EXPECT_TRUE(made.ok) << made.error;
        auto store = PgStore::open(server_->uri(name), SchemaUse::Create, error);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }
};

StepOutcome step(const char *name, bool passed, std::vector<StepFailure> failures = {}) {
    StepOutcome s;
    s.step = name;
    s.status = passed ? StepOutcome::Status::Passed : StepOutcome::Status::Failed;
    s.failures = std::move(failures);
    return s;
}

UnitResult unit(const char *at, const char *samId, Verdict verdict, std::vector<double> readMs,
                std::vector<StepOutcome> steps, std::vector<StepResult> results) {
    UnitResult u;
    u.port = 2;
    u.at = at;
    u.samId = samId;
    u.verdict = verdict;
    u.ms = 1234.5678;
    u.readMs = std::move(readMs);
    u.steps = std::move(steps);
    u.stepResults = std::move(results);
    return u;
}

// The local record of a small line: two stations, every verdict, hostile
// card text, read times out of order, limits and figures left out.
void fillLocal(RecordStore &local) {
    const CheckPlan plan{.name = "line-a", .text = "{}", .hash = "0a1b", .version = "4"};
    const CheckRun first{.plan = &plan,
                         .station = "st-1",
                         .libraryVersion = "lib.so.9",
                         .kavVersion = "9.9.9",
                         .operatorId = "op-7"};
    const CheckRun second{.plan = &plan,
                          .station = "=st,\"2\"",
                          .libraryVersion = "lib.so.9",
                          .kavVersion = "9.9.9",
                          .serial = "SN-1"};
    const std::vector<StepResult> figures = {
        {0, "reads", "FAIL", 901.25, "ms", std::nullopt, 900.0},
        {1, "sam-id", "PASS", std::nullopt, "", std::nullopt, std::nullopt}};
    const struct {
        const CheckRun &run;
        UnitResult unit;
    } units[] = {
        {first, unit("2026-12-07T10:00:00.000Z", "05-01", Verdict::Pass, {300.5, 100.25, 200}, {},
                     figures)},
        {first, unit("2026-12-07T11:00:00.000Z", "05-02", Verdict::Fail, {0.1, 99999.75},
                     {step("reads", false,
                           {{"Kav_ReadMsg", "128", "=HYPERLINK(\"x\")", 3},
                            {"", "over-limit", "slow, \"very\"", 1}})},
                     figures)},
        {second, unit("2026-12-08T09:30:00.000Z", "", Verdict::Error, {}, {}, {})},
        {second, unit("2026-12-08T09:31:00.000Z", "05-01", Verdict::Aborted, {42},
                      {step("sam-id", false, {{"Kav_GetSAMID", "-6", "<b>gone</b>", 1}})}, {})},
    };
    for (const auto &u : units) {
        std::string error;
        ASSERT_TRUE(local.append(u.unit, u.run, Json::array({{{"step", "x"}}}), error)) << error;
    }
}

// kav results' output with what differs by store alone taken out: each
// unit's id (JSON "id", CSV's first column, a text line's first word) and
// the server's receipt time.
std::string comparable(const std::string &form, const std::string &out) {
    if (form != "json") {
        std::istringstream lines(out);
        std::string line, kept;
        while (std::getline(lines, line)) {
            const std::size_t end = line.find_first_not_of("0123456789");
            if (form == "csv")
                line.erase(0, line.find(',') + 1);
            else if (end > 0 && end != std::string::npos && line.compare(end, 2, "  ") == 0)
                line.erase(0, end);
            kept += line + "\n";
        }
        return kept;
    }
    Json j = Json::parse(out, nullptr, false);
    if (j.is_object() && j.contains("units") && j["units"].is_array())
        for (Json &u : j["units"]) {
            u.erase("id");
            u.erase("receivedAt");
        }
    return j.dump(1);
}

TEST_F(PgStoreTest, UploadedUnitsReadAndExportAsTheLocalRecordHasThem) {
    const test::TempFolder folder;
    const std::string path = (folder.path() / "results.sqlite").string();
    std::string error;
    const auto local = openLocalStore(path, StoreOpen::CreateIfMissing, error);
    ASSERT_NE(local, nullptr) << error;
    ASSERT_NO_FATAL_FAILURE(fillLocal(*local));
    const auto central = freshStore("store_exports");
    ASSERT_NE(central, nullptr);
    const std::vector<StoredUnit> mine = local->units({}, error);
    ASSERT_EQ(mine.size(), 4u) << error;
    for (const StoredUnit &u : mine)
        ASSERT_EQ(central->receive(u, error), Receipt::Stored) << error;

    // The store itself: every member read back, in the order written.
    const std::vector<StoredUnit> theirs = central->units({}, error);
    ASSERT_EQ(theirs.size(), mine.size()) << error;
    for (std::size_t i = 0; i < mine.size(); ++i) {
        SCOPED_TRACE(mine[i].runId);
        StoredUnit a = mine[i], b = theirs[i];
        EXPECT_FALSE(b.receivedAt.empty());
        a.id = b.id = 0;
        a.receivedAt = b.receivedAt = "";
        EXPECT_EQ(payloadText(b), payloadText(a));
        EXPECT_EQ(b.payloadHash, a.payloadHash);
        EXPECT_EQ(b.failedSteps, a.failedSteps);
    }

    const std::string uri = server_->uri("store_exports");
    const struct {
        const char *what;
        std::vector<std::string> args;
        std::string form;
        RecordFilter filter;
        const char *shows; // in the server's output
    } cases[] = {
        {"every unit", {"--json"}, "json", {}, "=st,\\\"2\\\""},
        {"as text", {}, "text", {}, "ABORTED"},
        {"as CSV", {"--csv"}, "csv", {}, "\"'=st,\"\"2\"\"\""},
        {"a summary", {"--json", "--summary"}, "json", {}, "\"units\":4"},
        {"a summary as text", {"--summary"}, "text", {}, "2026-12-08"},
        {"failed", {"--json", "--verdict", "fail"}, "json", {.verdict = "FAIL"}, "05-02"},
        {"one SAM since a day",
         {"--csv", "--sam-id", "05-01", "--since", "2026-12-08"},
         "csv",
         {.since = "2026-12-08", .samId = "05-01"},
         "2026-12-08T09:31"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> a{"results", "--db", path};
        a.insert(a.end(), c.args.begin(), c.args.end());
        const test::Outcome fromFile = test::run(KAV_CLI, a);
        a[2] = uri;
        const test::Outcome fromServer = test::run(KAV_CLI, a);
        ASSERT_EQ(fromFile.exit, 0) << fromFile.err;
        ASSERT_EQ(fromServer.exit, 0) << fromServer.err;
        EXPECT_EQ(comparable(c.form, fromServer.out), comparable(c.form, fromFile.out));
        EXPECT_NE(fromServer.out.find(c.shows), std::string::npos) << fromServer.out;
        EXPECT_EQ((fromServer.out + fromServer.err).find(server_->password()), std::string::npos);
        // What the report draws from, through each store's own queries.
        EXPECT_EQ(central->failures(c.filter, error), local->failures(c.filter, error)) << error;
        EXPECT_EQ(central->readTimes(c.filter, error), local->readTimes(c.filter, error)) << error;
    }

    const std::string page = (folder.path() / "line.html").string();
    const test::Outcome html =
        test::run(KAV_CLI, {"results", "--json", "--db", uri, "--html", page});
    ASSERT_EQ(html.exit, 0) << html.err;
    const Json made = Json::parse(html.out, nullptr, false);
    EXPECT_EQ(made.value("units", -1), 4) << html.out;
    EXPECT_EQ(made.value("reads", -1), 6) << html.out;
    EXPECT_EQ(html.out.find(server_->password()), std::string::npos);
}

TEST_F(PgStoreTest, AppendNumbersEachStationAndReceiveJudgesRunIds) {
    const auto central = freshStore("store_append");
    ASSERT_NE(central, nullptr);
    const CheckPlan plan{.name = "p", .text = "{}", .hash = "ff"};
    const CheckRun a{.plan = &plan, .station = "a", .libraryVersion = "l", .kavVersion = "k"};
    const CheckRun b{.plan = &plan, .station = "b", .libraryVersion = "l", .kavVersion = "k"};
    std::string error;
    const struct {
        const CheckRun &run;
        long long sequence;
    } cases[] = {{a, 1}, {a, 2}, {b, 1}, {a, 3}, {b, 2}};
    std::vector<StoredUnit> stored;
    for (const auto &c : cases) {
        const auto u = central->append(
            unit("2026-12-08T10:00:00.000Z", "05-01", Verdict::Pass, {5, 1}, {}, {}), c.run,
            Json::array(), error);
        ASSERT_TRUE(u) << error;
        EXPECT_EQ(u->station + " " + std::to_string(u->sequence),
                  c.run.station + " " + std::to_string(c.sequence));
        EXPECT_EQ(u->payloadHash, payloadHash(*u));
        EXPECT_EQ(u->readMs, (std::vector<double>{5, 1}));
        stored.push_back(*u);
    }
    EXPECT_EQ(central->receive(stored[0], error), Receipt::AlreadyHeld) << error;
    StoredUnit changed = stored[1];
    changed.verdict = Verdict::Fail;
    changed.payloadHash = payloadHash(changed);
    EXPECT_EQ(central->receive(changed, error), Receipt::Conflict);
    EXPECT_NE(error.find("other data"), std::string::npos) << error;
    error.clear();
    const auto again = central->unitByRunId(stored[1].runId, error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->verdict, Verdict::Pass);
    const auto byId = central->unit(again->id, error);
    ASSERT_TRUE(byId) << error;
    EXPECT_EQ(byId->runId, stored[1].runId);
    EXPECT_FALSE(central->unit(999999, error));
    EXPECT_EQ(error, "");
}

} // namespace
