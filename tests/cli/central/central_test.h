// What the central record's command-line tests share: a query of the
// server, a local record with units waiting for upload, and the one check
// that matters: every local unit in the central record exactly once.
#pragma once

#include "station/pg_connection.h"
#include "station/sqlite_store.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

namespace central_test {

// The first value of the first row, "" for none, "error: ..." or "no
// connection: ..." when it went wrong.
inline std::string sql(const std::string &uri, const std::string &text,
                       const std::vector<kav::station::PgValue> &params = {}) {
    std::string error;
    auto c = kav::station::PgConnection::connect(uri, std::chrono::seconds{10}, error);
    if (!c)
        return "no connection: " + error;
    const auto r = c->exec(text, params);
    return r.ok ? (r.rows.empty() || !r.rows[0][0] ? "" : *r.rows[0][0]) : "error: " + r.error;
}

// A plan of one quick step, written into `folder`; its path.
inline std::string quickPlan(const std::filesystem::path &folder) {
    const std::string plan = (folder / "plan.json").string();
    std::ofstream(plan) << R"({"name": "quick", "steps": [{"step": "sam-id"}]})";
    return plan;
}

// `count` units of `station` recorded in the local record at `outbox`,
// each waiting for upload to `target`.
inline void seedOutbox(const std::string &outbox, const std::string &target,
                       const std::string &station, int count) {
    std::string error;
    const auto store =
        kav::station::SqliteStore::open(outbox, kav::station::StoreOpen::CreateIfMissing, error);
    ASSERT_NE(store, nullptr) << error;
    kav::station::CheckPlan plan;
    plan.name = "seeded";
    plan.text = "{}";
    plan.hash = "5eed";
    kav::station::CheckRun run;
    run.plan = &plan;
    run.station = station;
    run.libraryVersion = "lib";
    run.kavVersion = "kav";
    for (int i = 0; i < count; ++i) {
        kav::station::UnitResult unit;
        unit.port = 1;
        unit.at = "2026-12-08T10:00:00.000Z";
        unit.endedAt = "2026-12-08T10:00:01.000Z";
        unit.samId = "05-01-" + std::to_string(i);
        unit.verdict = i % 3 == 0 ? kav::station::Verdict::Fail : kav::station::Verdict::Pass;
        unit.readMs = {100.0 + i, 200.5};
        ASSERT_TRUE(store->appendForUpload(unit, run, nlohmann::json::array(), target, error))
            << error;
    }
}

struct Tally {
    long long local = 0;    // units in the local record
    long long pending = 0;  // of them still waiting
    long long central = 0;  // rows in the central record's units
    long long distinct = 0; // distinct run ids there
    long long matching = 0; // local units found there by run id and hash
};

// How the local records at `outboxes` stand against the central record.
inline Tally tally(const std::vector<std::string> &outboxes, const std::string &uri) {
    Tally t;
    nlohmann::json pairs = nlohmann::json::array();
    for (const std::string &path : outboxes) {
        std::string error;
        const auto store =
            kav::station::SqliteStore::open(path, kav::station::StoreOpen::MustExist, error);
        EXPECT_NE(store, nullptr) << error;
        if (!store)
            continue;
        for (const auto &u : store->units({}, error))
            pairs.push_back({{"r", u.runId}, {"h", u.payloadHash}});
        t.pending += store->outboxState(error).pending;
    }
    t.local = static_cast<long long>(pairs.size());
    const auto number = [&](const std::string &text, const std::vector<kav::station::PgValue> &p) {
        const std::string v = sql(uri, text, p);
        EXPECT_EQ(v.find("error"), std::string::npos) << v;
        return std::atoll(v.c_str());
    };
    t.central = number("SELECT count(*) FROM units", {});
    t.distinct = number("SELECT count(DISTINCT run_id) FROM units", {});
    t.matching = number("SELECT count(*) FROM units u JOIN jsonb_to_recordset($1::jsonb) "
                        "AS l(r text, h text) ON u.run_id = l.r AND u.payload_hash = l.h",
                        {pairs.dump()});
    return t;
}

// Every local unit once in the central record and nothing else there;
// none left waiting.
inline void expectEveryUnitOnce(const Tally &t) {
    EXPECT_GT(t.local, 0);
    EXPECT_EQ(t.central, t.local);
    EXPECT_EQ(t.distinct, t.local);
    EXPECT_EQ(t.matching, t.local);
    EXPECT_EQ(t.pending, 0);
}

} // namespace central_test
