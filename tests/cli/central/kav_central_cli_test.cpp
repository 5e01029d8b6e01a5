// kav given a central record's URI on the command line: never taken for a
// file name, never printing the URI's password.
#include "central_test.h"
#include "postgres_server.h"
#include "process.h"
#include "station/pg_connection.h"
#include "station/pg_store.h"
#include "station/pg_uri.h"
#include "station/sqlite_store.h"
#include "test_files.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

TEST(KavCentralUri, IsNeverAFileAndNeverShowsThePassword) {
    const std::string secret = "Zq9SecretPw";
    const struct {
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        // A check keeps its unit locally for a server away: it says so.
        {{"check", "--db", "postgresql://station:" + secret + "@127.0.0.1:1/line3"},
         "waiting for upload"},
        {{"results", "--db", "postgres://station:" + secret + "@127.0.0.1:1/line3"},
         "results database postgres"},
        {{"results", "--json", "--db", "postgresql://127.0.0.1:1/line3?password=" + secret},
         "results database postgres"},
    };
    for (const auto &c : cases) {
        test::TempFolder folder;
        const test::Outcome o =
            test::run("/bin/sh",
                      [&] {
                          std::vector<std::string> a{"-c", "cd \"$0\" && exec \"$@\"",
                                                     folder.path().string(), KAV_CLI};
                          a.insert(a.end(), c.args.begin(), c.args.end());
                          return a;
                      }(),
                      {{"XDG_DATA_HOME", folder.path().string()}});
        EXPECT_NE(o.exit, 0) << c.args[0];
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
        EXPECT_EQ((o.out + o.err).find(secret), std::string::npos) << o.out << o.err;
        // No file named after the URI; only a check makes the default record.
        for (const auto &name : test::listing(folder.path()))
            EXPECT_EQ(name.find("velkart"), c.args[0] == "check" ? 0u : std::string::npos) << name;
        if (c.args[0] == "check") {
            std::string error;
            const auto kept = kav::station::SqliteStore::open(
                (folder.path() / "velkart" / "results.sqlite").string(),
                kav::station::StoreOpen::MustExist, error);
            ASSERT_NE(kept, nullptr) << error;
            for (const auto &e : kept->pending(10, error))
                EXPECT_EQ(e.target.find(secret), std::string::npos) << e.target;
        }
    }
}

namespace {

class KavCentralServer : public test::PostgresSuite {
  protected:
};

using central_test::sql;

} // namespace

TEST_F(KavCentralServer, SaysWhyTheRecordCannotBeUsedAndNeverThePassword) {
    const std::string wrong = "Wr0ngPw4Station";
    ASSERT_EQ(sql(server_->uri(), "CREATE DATABASE cli_newer"), "");
    ASSERT_EQ(sql(server_->uri("cli_newer"),
                  "CREATE TABLE kav_schema(application TEXT NOT NULL, version INTEGER NOT NULL); "),
              "");
    ASSERT_EQ(
        sql(server_->uri("cli_newer"), "INSERT INTO kav_schema VALUES ('velkart-results', 7)"), "");
    ASSERT_EQ(sql(server_->uri(), "CREATE DATABASE cli_fresh"), "");
    const struct {
        const char *what;
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        {"a wrong password",
         {"results", "--db", server_->uri(test::PostgresServer::kUser, wrong, "postgres")},
         "password authentication failed"},
        {"results from a fresh database",
         {"results", "--db", server_->uri("cli_fresh")},
         "holds no Velkart results yet"},
        {"a newer layout",
         {"results", "--db", server_->uri("cli_newer")},
         "written by a newer kav (layout 7; this kav knows up to 3)"},
    };
    for (const auto &c : cases) {
        const test::Outcome o = test::run(KAV_CLI, c.args);
        EXPECT_EQ(o.exit, 10) << c.what << ": " << o.err;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << c.what << ": " << o.err;
        for (const std::string &secret : {wrong, server_->password()})
            EXPECT_EQ((o.out + o.err).find(secret), std::string::npos) << c.what << ": " << o.err;
    }
    EXPECT_EQ(sql(server_->uri("cli_fresh"), "SELECT to_regclass('kav_schema') IS NULL"), "t")
        << "kav results makes no tables";
}

TEST_F(KavCentralServer, UnitsWaitInTheOutboxAndArriveOnceWhateverTheServerDoes) {
    const std::string wrong = "Wr0ngPw4Outbox";
    ASSERT_EQ(sql(server_->uri(), "CREATE DATABASE cli_forward"), "");
    const test::TempFolder folder;
    const std::string outbox = (folder.path() / "outbox.sqlite").string();
    const std::string plan = (folder.path() / "plan.json").string();
    { std::ofstream(plan) << R"({"name": "quick", "steps": [{"step": "sam-id"}]})"; }
    const test::Vars reader{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"}};
    enum Server { Up, Stopped, Started };
    const struct {
        const char *what;
        Server server;
        bool goodPassword;
        const char *says;  // on stderr, "" for nothing waiting at the end
        long long waiting; // in the outbox afterwards
        long long central; // units in the central record afterwards
    } steps[] = {
        {"the server there: the unit arrives", Up, true, "", 0, 1},
        {"a refused login: kept locally, said why", Up, false,
         "1 unit waiting for upload (last error: ", 1, 1},
        {"the server stopped: units queue", Stopped, true, "2 units waiting for upload", 2, -1},
        {"the server back: each arrives once", Started, true, "", 0, 4},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        if (step.server == Stopped) {
            ASSERT_TRUE(server_->stop()) << server_->error();
        }
        if (step.server == Started) {
            ASSERT_TRUE(server_->start()) << server_->error();
        }
        const std::string uri =
            step.goodPassword ? server_->uri("cli_forward")
                              : server_->uri(test::PostgresServer::kUser, wrong, "cli_forward");
        const test::Outcome o =
            test::run(KAV_CLI, {"check", "--json", "--plan", plan, "--db", uri, "--outbox", outbox},
                      reader, std::chrono::seconds{60});
        EXPECT_EQ(o.exit, 0) << o.err;
        const auto unit = nlohmann::json::parse(o.out, nullptr, false);
        ASSERT_TRUE(unit.is_object()) << o.out;
        EXPECT_TRUE(unit["record"].contains("id")) << o.out;
        EXPECT_EQ(unit["record"]["upload"]["target"], kav::station::redactUri(uri)) << o.out;
        if (*step.says != 0) {
            EXPECT_NE(o.err.find(step.says), std::string::npos) << o.err;
        } else {
            EXPECT_EQ(o.err.find("waiting for upload"), std::string::npos) << o.err;
        }
        if (!step.goodPassword) {
            EXPECT_NE(o.err.find("password authentication failed"), std::string::npos) << o.err;
        }
        for (const std::string &secret : {wrong, server_->password()})
            EXPECT_EQ((o.out + o.err).find(secret), std::string::npos) << o.out << o.err;

        // The local record says the same, on stderr only: the export stays clean.
        const test::Outcome local = test::run(KAV_CLI, {"results", "--csv", "--db", outbox});
        EXPECT_EQ(local.exit, 0) << local.err;
        EXPECT_EQ(local.err.find("waiting for upload") != std::string::npos, step.waiting > 0)
            << local.err;
        EXPECT_EQ(local.out.find("waiting"), std::string::npos);
        std::string error;
        const auto store =
            kav::station::SqliteStore::open(outbox, kav::station::StoreOpen::MustExist, error);
        ASSERT_NE(store, nullptr) << error;
        EXPECT_EQ(store->outboxState(error).pending, step.waiting) << error;
        if (step.central >= 0) {
            EXPECT_EQ(sql(server_->uri("cli_forward"),
                          "SELECT count(*) || ' ' || count(DISTINCT run_id) FROM units"),
                      std::to_string(step.central) + " " + std::to_string(step.central));
        }
    }
    // Every local unit, by its run id and hash, exactly once.
    std::string error;
    const auto store =
        kav::station::SqliteStore::open(outbox, kav::station::StoreOpen::MustExist, error);
    ASSERT_NE(store, nullptr) << error;
    for (const auto &u : store->units({}, error))
        EXPECT_EQ(sql(server_->uri("cli_forward"), "SELECT count(*) FROM units WHERE run_id = '" +
                                                       u.runId + "' AND payload_hash = '" +
                                                       u.payloadHash + "'"),
                  "1");
}

TEST_F(KavCentralServer, SyncSendsWhatWaitsAndSaysWhatIsLeft) {
    ASSERT_EQ(sql(server_->uri(), "CREATE DATABASE cli_sync"), "");
    const test::TempFolder folder;
    const std::string outbox = (folder.path() / "outbox.sqlite").string();
    const std::string plan = (folder.path() / "plan.json").string();
    { std::ofstream(plan) << R"({"name": "quick", "steps": [{"step": "sam-id"}]})"; }
    // Two units queue while the server is away.
    ASSERT_TRUE(server_->stop()) << server_->error();
    for (int i = 0; i < 2; ++i) {
        const test::Outcome o =
            test::run(KAV_CLI,
                      {"check", "--json", "--plan", plan, "--db", server_->uri("cli_sync"),
                       "--outbox", outbox},
                      {{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"}}, std::chrono::seconds{60});
        ASSERT_EQ(o.exit, 0) << o.err;
    }
    // The rows name their target without the password: it comes from PGPASSWORD.
    const test::Vars password{{"PGPASSWORD", server_->password()}};
    const struct {
        const char *what;
        bool start;
        test::Vars vars;
        int exit;
        long long sent, left;
    } steps[] = {
        {"the server still away", false, password, 10, 0, 2},
        {"no password anywhere", true, {}, 10, 0, 2},
        {"the target the rows name", false, password, 0, 2, 0},
        {"nothing left to send", false, password, 0, 0, 0},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        if (step.start) {
            ASSERT_TRUE(server_->start()) << server_->error();
        }
        const test::Outcome o =
            test::run(KAV_CLI, {"sync", "--json", "--outbox", outbox}, step.vars);
        EXPECT_EQ(o.exit, step.exit) << o.out << o.err;
        const auto j = nlohmann::json::parse(o.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << o.out << o.err;
        EXPECT_EQ(j.value("sent", -1LL), step.sent) << o.out;
        EXPECT_EQ(j.value("left", -1LL), step.left) << o.out;
        if (step.left > 0) {
            EXPECT_TRUE(j["lastError"].is_string()) << o.out;
        }
        EXPECT_EQ((o.out + o.err).find(server_->password()), std::string::npos) << o.out;
    }
    EXPECT_EQ(sql(server_->uri("cli_sync"), "SELECT count(DISTINCT run_id) || ' ' || count(*) "
                                            "FROM units"),
              "2 2");
}

TEST_F(KavCentralServer, ARunIdHeldWithOtherDataIsAConflictAndStaysInTheOutbox) {
    ASSERT_EQ(sql(server_->uri(), "CREATE DATABASE cli_conflict"), "");
    const test::TempFolder folder;
    const std::string outbox = (folder.path() / "outbox.sqlite").string();
    const std::string plan = (folder.path() / "plan.json").string();
    { std::ofstream(plan) << R"({"name": "quick", "steps": [{"step": "sam-id"}]})"; }
    const std::string uri = server_->uri("cli_conflict");
    // The tables first, then the unit waits while the server is away.
    std::string error;
    ASSERT_NE(kav::station::PgStore::open(uri, kav::station::SchemaUse::Create, error), nullptr)
        << error;
    ASSERT_TRUE(server_->stop()) << server_->error();
    const test::Outcome checked =
        test::run(KAV_CLI, {"check", "--json", "--plan", plan, "--db", uri, "--outbox", outbox},
                  {{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"}}, std::chrono::seconds{60});
    ASSERT_TRUE(server_->start()) << server_->error();
    ASSERT_EQ(checked.exit, 0) << checked.err;
    const auto store =
        kav::station::SqliteStore::open(outbox, kav::station::StoreOpen::MustExist, error);
    ASSERT_NE(store, nullptr) << error;
    const auto waiting = store->pending(10, error);
    ASSERT_EQ(waiting.size(), 1u) << error;
    // Another station's data under this run id.
    ASSERT_EQ(sql(uri, "INSERT INTO units(run_id, at, ended_at, station, sequence, port, "
                       "plan_name, plan_version, plan_hash, verdict, ms, library_version, "
                       "kav_version, steps, payload_hash) VALUES ('" +
                           waiting[0].unit.runId +
                           "', 'a', 'b', 'elsewhere', 1, 1, 'p', '', 'h', 'PASS', 1, 'l', 'k', "
                           "'[]', 'other')"),
              "");
    const test::Outcome o = test::run(KAV_CLI, {"sync", "--json", "--db", uri, "--outbox", outbox});
    EXPECT_EQ(o.exit, 10) << o.out << o.err;
    EXPECT_NE(o.err.find("CONFLICT"), std::string::npos) << o.err;
    const auto j = nlohmann::json::parse(o.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << o.out;
    EXPECT_EQ(j["conflicts"].size(), 1u) << o.out;
    EXPECT_EQ(j.value("left", -1LL), 1) << o.out;
    EXPECT_EQ(store->outboxState(error).pending, 1) << error;
    EXPECT_EQ(sql(uri, "SELECT station FROM units"), "elsewhere") << "the server's row is kept";
}
