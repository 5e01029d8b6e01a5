// Uploading runs to a real server: stored once by run id, the same run
// again is fine, other data under a run id is a conflict, a bad run does
// not hold back the others, and a server gone fails the whole batch so it
// can be sent again.
#include "postgres_server.h"
#include "station/pg_schema.h"
#include "station/pg_upload.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using kav::station::PgConnection;
using kav::station::PgValue;
using kav::station::retryDelay;
using kav::station::UploadItem;
using kav::station::UploadOutcome;
using kav::station::uploadRuns;
using Json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

Json payload(const std::string &runId, const std::string &verdict = "FAIL") {
    return Json{{"run_id", runId},
                {"at", "2026-12-08T10:00:00.000Z"},
                {"ended_at", "2026-12-08T10:00:09.800Z"},
                {"station", "st-1"},
                {"operator", nullptr},
                {"serial", "SN-7"},
                {"sequence", 12},
                {"port", 1},
                {"sam_id", "05-01"},
                {"plan_name", "line A"},
                {"plan_version", "4"},
                {"plan_hash", "ab"},
                {"verdict", verdict},
                {"ms", 9800.5},
                {"library_version", "1.2"},
                {"kav_version", "0.9"},
                {"steps", Json::array()},
                {"failures", Json::array({{{"step", "reads"},
                                           {"operation", "read"},
                                           {"code", "128"},
                                           {"text", "no card"},
                                           {"count", 3}}})},
                {"read_times", {812.5, 901.25}},
                {"step_results", Json::array({{{"position", 0},
                                               {"step", "reads"},
                                               {"outcome", "FAIL"},
                                               {"measured", 901.25},
                                               {"units", "ms"},
                                               {"low", nullptr},
                                               {"high", 900}},
                                              {{"position", 1},
                                               {"step", "sam-id"},
                                               {"outcome", "PASS"},
                                               {"measured", nullptr},
                                               {"units", nullptr},
                                               {"low", nullptr},
                                               {"high", nullptr}}})}};
}

UploadItem item(const Json &p, const std::string &hash) {
    return {p.dump(), hash, "[]"};
}

class PgUploadTest : public test::PostgresSuite {
  protected:
    void SetUp() override {
        PostgresSuite::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        std::string error;
        conn_ = PgConnection::connect(server_->uri(), 10s, error);
        ASSERT_NE(conn_, nullptr) << error;
        ASSERT_TRUE(
            kav::station::ensureCentralSchema(*conn_, kav::station::SchemaUse::Create, error))
            << error;
    }
    std::string one(const std::string &sql, const std::vector<PgValue> &params = {}) {
        const auto r = conn_->exec(sql, params);
        EXPECT_TRUE(r.ok) << r.error;
        return r.ok && !r.rows.empty() && r.rows[0][0] ? *r.rows[0][0] : "";
    }
    std::unique_ptr<PgConnection> conn_;
};

} // namespace

TEST_F(PgUploadTest, ARunIsStoredWithItsRows) {
    const auto r = uploadRuns(*conn_, {item(payload("run-rows"), "h-rows")});
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].outcome, UploadOutcome::Stored) << r[0].error;
    const std::string id = one("SELECT id FROM units WHERE run_id = 'run-rows'");
    const struct {
        const char *sql, *expected;
    } cases[] = {
        {"SELECT verdict || ' ' || serial || ' ' || sequence || ' ' || ms FROM units WHERE id = $1",
         "FAIL SN-7 12 9800.5"},
        {"SELECT coalesce(operator, 'null') FROM units WHERE id = $1", "null"},
        {"SELECT payload_hash FROM units WHERE id = $1", "h-rows"},
        {"SELECT count(*) FROM units WHERE id = $1 AND received_at LIKE '20__-__-__T__:__:__.___Z'",
         "1"},
        {"SELECT string_agg(ms::text, ',' ORDER BY ms) FROM read_times WHERE unit = $1",
         "812.5,901.25"},
        {"SELECT step || ' ' || code || ' ' || count FROM failures WHERE unit = $1", "reads 128 3"},
        {"SELECT string_agg(position || ':' || step || ':' || outcome || ':' || "
         "coalesce(measured::text, '-') || ':' || coalesce(units, '-') || ':' || "
         "coalesce(high::text, '-'), ' ' ORDER BY position) FROM step_results WHERE unit = $1",
         "0:reads:FAIL:901.25:ms:900 1:sam-id:PASS:-:-:-"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(one(c.sql, {id}), c.expected) << c.sql;
}

TEST_F(PgUploadTest, TheSameRunTwiceIsStoredOnceAndOtherDataIsAConflict) {
    const Json p = payload("run-twice");
    Json altered = p;
    altered["verdict"] = "PASS";
    const struct {
        const char *what;
        UploadItem item;
        UploadOutcome outcome;
    } cases[] = {
        {"first", item(p, "h-twice"), UploadOutcome::Stored},
        {"the same again", item(p, "h-twice"), UploadOutcome::AlreadyThere},
        {"altered", item(altered, "h-altered"), UploadOutcome::Conflict},
        {"the same once more", item(p, "h-twice"), UploadOutcome::AlreadyThere},
    };
    for (const auto &c : cases) {
        const auto r = uploadRuns(*conn_, {c.item});
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].outcome, c.outcome) << c.what << ": " << r[0].error;
        if (c.outcome == UploadOutcome::Conflict) {
            EXPECT_NE(r[0].error.find("h-twice"), std::string::npos) << r[0].error;
            EXPECT_NE(r[0].error.find("h-altered"), std::string::npos) << r[0].error;
        }
    }
    EXPECT_EQ(one("SELECT count(*) FROM units WHERE run_id = 'run-twice'"), "1");
    EXPECT_EQ(one("SELECT verdict FROM units WHERE run_id = 'run-twice'"), "FAIL");
    const std::string id = one("SELECT id FROM units WHERE run_id = 'run-twice'");
    EXPECT_EQ(one("SELECT count(*) FROM read_times WHERE unit = $1", {id}), "2");
}

TEST_F(PgUploadTest, ABadRunDoesNotHoldBackTheOthers) {
    Json noStation = payload("run-bad-2");
    noStation.erase("station");
    const std::vector<UploadItem> batch = {item(payload("run-bad-1"), "h1"),
                                           item(payload("run-bad-x", "MAYBE"), "hx"),
                                           item(noStation, "h2"), item(payload("run-bad-3"), "h3")};
    const auto r = uploadRuns(*conn_, batch);
    ASSERT_EQ(r.size(), 4u);
    const UploadOutcome expected[] = {UploadOutcome::Stored, UploadOutcome::Failed,
                                      UploadOutcome::Failed, UploadOutcome::Stored};
    for (std::size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i].outcome, expected[i]) << i << ": " << r[i].error;
        EXPECT_EQ(r[i].error.empty(), expected[i] == UploadOutcome::Stored) << i;
    }
    EXPECT_EQ(one("SELECT count(*) FROM units WHERE run_id LIKE 'run-bad-%'"), "2");
    EXPECT_EQ(one("SELECT count(*) FROM read_times WHERE unit IN "
                  "(SELECT id FROM units WHERE run_id LIKE 'run-bad-%')"),
              "4");
}

TEST_F(PgUploadTest, AServerGoneFailsTheBatchAndItArrivesOnceLater) {
    const std::vector<UploadItem> batch = {item(payload("run-gone-1"), "g1"),
                                           item(payload("run-gone-2"), "g2")};
    ASSERT_TRUE(server_->stop()) << server_->error();
    for (const auto &r : uploadRuns(*conn_, batch)) {
        EXPECT_EQ(r.outcome, UploadOutcome::Failed);
        EXPECT_FALSE(r.error.empty());
    }
    ASSERT_TRUE(server_->start()) << server_->error();
    std::string error;
    conn_ = PgConnection::connect(server_->uri(), 10s, error);
    ASSERT_NE(conn_, nullptr) << error;
    for (int round = 0; round < 2; ++round)
        for (const auto &r : uploadRuns(*conn_, batch))
            EXPECT_EQ(r.outcome, round == 0 ? UploadOutcome::Stored : UploadOutcome::AlreadyThere)
                << r.error;
    EXPECT_EQ(one("SELECT count(*) FROM units WHERE run_id LIKE 'run-gone-%'"), "2");
}

TEST(RetryDelay, DoublesFromHalfASecondUpToThirtySeconds) {
    const struct {
        int failures;
        long long ms;
    } cases[] = {{0, 0},     {1, 500},   {2, 1000},   {3, 2000},       {6, 16000},
                 {7, 30000}, {8, 30000}, {40, 30000}, {1000000, 30000}};
    for (const auto &c : cases)
        EXPECT_EQ(retryDelay(c.failures).count(), c.ms) << c.failures;
}

TEST_F(PgUploadTest, ABatchJudgesEachRunAsAloneAndKeepsItsOrder) {
    ASSERT_EQ(uploadRuns(*conn_, {item(payload("run-batch-old"), "h-old")})[0].outcome,
              UploadOutcome::Stored);
    Json altered = payload("run-batch-old");
    altered["ms"] = 1.0;
    const std::vector<UploadItem> batch = {
        item(payload("run-batch-new-1"), "h-new-1"), item(payload("run-batch-old"), "h-old"),
        item(altered, "h-changed"), item(payload("run-batch-new-2"), "h-new-2")};
    const UploadOutcome expected[] = {UploadOutcome::Stored, UploadOutcome::AlreadyThere,
                                      UploadOutcome::Conflict, UploadOutcome::Stored};
    const auto r = uploadRuns(*conn_, batch);
    ASSERT_EQ(r.size(), batch.size());
    for (std::size_t i = 0; i < r.size(); ++i)
        EXPECT_EQ(r[i].outcome, expected[i]) << i << ": " << r[i].error;
    EXPECT_EQ(one("SELECT count(*) FROM units WHERE run_id LIKE 'run-batch-%'"), "3");
    EXPECT_EQ(one("SELECT ms FROM units WHERE run_id = 'run-batch-old'"), "9800.5");
    EXPECT_EQ(one("SELECT count(*) FROM step_results WHERE unit IN "
                  "(SELECT id FROM units WHERE run_id LIKE 'run-batch-new-%')"),
              "4");
}

TEST_F(PgUploadTest, AUnitOfTheLocalRecordArrivesAsItWasKept) {
    kav::station::StoredUnit u;
    u.runId = "9b2f6c1e-4d7a-4f3b-9a61-0c5e8d2b7f10";
    u.at = "2026-12-08T11:00:00.000Z";
    u.endedAt = "2026-12-08T11:00:01.250Z";
    u.station = "st-'; DROP TABLE units; --";
    u.serial = "=HYPERLINK(\"x\")";
    u.sequence = 41;
    u.port = 3;
    u.planName = "line \xC3\xA9";
    u.planHash = std::string(64, 'c');
    u.verdict = kav::station::Verdict::Error;
    u.ms = 1250.125;
    u.libraryVersion = "1";
    u.kavVersion = "2";
    u.steps = R"([{"step":"sam-id","ok":true}])";
    u.readMs = {0.5, 1e6};
    u.payloadHash = kav::station::payloadHash(u);
    const auto item = kav::station::uploadItem(u);
    EXPECT_EQ(item.payloadHash, u.payloadHash);
    ASSERT_EQ(uploadRuns(*conn_, {item})[0].outcome, UploadOutcome::Stored);
    const std::vector<PgValue> run{u.runId};
    const struct {
        const char *column;
        PgValue expected;
    } cases[] = {
        {"station", u.station},
        {"serial", u.serial},
        {"operator", std::nullopt},
        {"sam_id", std::nullopt},
        {"plan_name", u.planName},
        {"plan_version", ""},
        {"verdict", "ERROR"},
        {"ms::text", "1250.125"},
        {"sequence::text", "41"},
        {"steps", u.steps},
        {"payload_hash", u.payloadHash},
        {"ended_at", u.endedAt},
    };
    for (const auto &c : cases) {
        const auto r =
            conn_->exec(std::string("SELECT ") + c.column + " FROM units WHERE run_id = $1", run);
        ASSERT_TRUE(r.ok && r.rows.size() == 1) << c.column << ": " << r.error;
        EXPECT_EQ(r.rows[0][0], c.expected) << c.column;
    }
    EXPECT_EQ(one("SELECT string_agg(ms::text, ',' ORDER BY ms) FROM read_times WHERE unit = "
                  "(SELECT id FROM units WHERE run_id = $1)",
                  run),
              "0.5,1000000");
}
