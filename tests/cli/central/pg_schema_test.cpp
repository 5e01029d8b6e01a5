// The central record's tables: made once however many stations start
// together, kept when ours, refused when newer or another program's, and
// usable by a station's role that may only read and insert.
#include "postgres_server.h"
#include "station/pg_schema.h"
#include "station/record_sql.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using kav::station::ensureCentralSchema;
using kav::station::PgConnection;
using kav::station::PgValue;
using kav::station::SchemaUse;
using namespace std::chrono_literals;

namespace {

class PgSchemaTest : public test::PostgresSuite {
  protected:
    void SetUp() override {
        PostgresSuite::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        admin_ = connect(server_->uri());
        ASSERT_NE(admin_, nullptr);
    }
    static std::unique_ptr<PgConnection> connect(const std::string &uri) {
        std::string error;
        auto c = PgConnection::connect(uri, 10s, error);
        EXPECT_NE(c, nullptr) << error;
        return c;
    }
    // A fresh database for one case.
    std::string freshDatabase(const std::string &name) {
        EXPECT_TRUE(admin_->exec("DROP DATABASE IF EXISTS " + name).ok);
        const auto r = admin_->exec("CREATE DATABASE " + name);
        EXPECT_TRUE(r.ok) << r.error;
        return name;
    }
    // The fresh database laid out by its owner, and a station's role (the
    // README's grants) that may read and insert there, named after the
    // database (a role holding grants elsewhere cannot be dropped); the
    // owner's connection.
    std::unique_ptr<PgConnection> withStationRole(const std::string &db) {
        const std::string role = db + "_station";
        auto owner = connect(server_->uri(db));
        std::string error;
        EXPECT_TRUE(ensureCentralSchema(*owner, SchemaUse::Create, error)) << error;
        for (const std::string &sql : {
                 "DROP ROLE IF EXISTS " + role,
                 "CREATE ROLE " + role + " LOGIN PASSWORD 'StationPw1'",
                 "GRANT CONNECT ON DATABASE " + db + " TO " + role,
                 "GRANT USAGE ON SCHEMA public TO " + role,
                 "GRANT SELECT, INSERT ON ALL TABLES IN SCHEMA public TO " + role,
                 "GRANT USAGE ON SEQUENCE units_id_seq TO " + role,
             })
            EXPECT_TRUE(owner->exec(sql).ok) << sql;
        return owner;
    }
    std::unique_ptr<PgConnection> admin_;
};

} // namespace

TEST_F(PgSchemaTest, EachStateOfADatabaseIsCreatedKeptOrRefused) {
    const struct {
        const char *what;
        std::vector<std::string> before; // SQL run first
        SchemaUse use;
        bool ok;
        const char *says;
    } cases[] = {
        {"empty, created", {}, SchemaUse::Create, true, ""},
        {"empty, must exist", {}, SchemaUse::MustExist, false, "holds no Velkart results yet"},
        {"ours, reopened",
         {"CREATE TABLE kav_schema(application TEXT NOT NULL, version INTEGER NOT NULL)",
          "INSERT INTO kav_schema VALUES ('velkart-results', 3)"},
         SchemaUse::MustExist,
         true,
         ""},
        {"newer",
         {"CREATE TABLE kav_schema(application TEXT NOT NULL, version INTEGER NOT NULL)",
          "INSERT INTO kav_schema VALUES ('velkart-results', 4)"},
         SchemaUse::Create,
         false,
         "written by a newer kav (layout 4; this kav knows up to 3): use that kav or a newer one"},
        {"another program's units",
         {"CREATE TABLE units(x TEXT)", "INSERT INTO units VALUES ('a')"},
         SchemaUse::Create,
         false,
         "not a Velkart results database; left as it is"},
        {"a mark of another application",
         {"CREATE TABLE kav_schema(application TEXT NOT NULL, version INTEGER NOT NULL)",
          "INSERT INTO kav_schema VALUES ('other', 3)"},
         SchemaUse::Create,
         false,
         "not a Velkart results database"},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string db = freshDatabase("schema_case_" + std::to_string(n++));
        auto conn = connect(server_->uri(db));
        ASSERT_NE(conn, nullptr);
        for (const std::string &sql : c.before)
            ASSERT_TRUE(conn->exec(sql).ok) << c.what << ": " << sql;
        std::string error;
        EXPECT_EQ(ensureCentralSchema(*conn, c.use, error), c.ok) << c.what << ": " << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.what << ": " << error;
        if (c.ok) {
            const auto v = conn->exec("SELECT version FROM kav_schema");
            ASSERT_TRUE(v.ok) << v.error;
            ASSERT_EQ(v.rows.size(), 1u) << c.what;
            EXPECT_EQ(v.rows[0][0], PgValue{"3"});
            EXPECT_TRUE(ensureCentralSchema(*conn, SchemaUse::Create, error)) << error;
        } else if (!c.before.empty()) {
            // Left exactly as it was: no table of ours added.
            const auto t = conn->exec("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'");
            ASSERT_TRUE(t.ok);
            EXPECT_EQ(t.rows[0][0], PgValue{"1"}) << c.what;
        }
    }
}

TEST_F(PgSchemaTest, StationsStartingTogetherMakeTheTablesOnce) {
    const std::string db = freshDatabase("schema_together");
    std::atomic<int> made{0};
    std::vector<std::thread> stations;
    std::vector<std::string> errors(8);
    for (int i = 0; i < 8; ++i)
        stations.emplace_back([&, i] {
            std::string error;
            auto c = PgConnection::connect(server_->uri(db), 10s, error);
            if (c && ensureCentralSchema(*c, SchemaUse::Create, error))
                ++made;
            errors[i] = error;
        });
    for (auto &t : stations)
        t.join();
    EXPECT_EQ(made.load(), 8) << errors[0] << errors[7];
    auto c = connect(server_->uri(db));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->exec("SELECT count(*) FROM kav_schema").rows.at(0)[0], PgValue{"1"});
}

TEST_F(PgSchemaTest, AStationRoleReadsAndInsertsAndCannotDelete) {
    const std::string db = freshDatabase("schema_role");
    withStationRole(db);
    auto station = connect(server_->uri(db + "_station", "StationPw1", db));
    ASSERT_NE(station, nullptr);
    std::string error;
    EXPECT_TRUE(ensureCentralSchema(*station, SchemaUse::Create, error)) << error;
    const auto insert = station->exec(
        "INSERT INTO units(run_id, at, ended_at, station, sequence, port, plan_name, plan_version, "
        "plan_hash, verdict, ms, library_version, kav_version, steps, payload_hash) VALUES "
        "('r1', 'a', 'b', 's', 1, 0, 'p', '', 'h', 'PASS', 1, 'l', 'k', '[]', 'x') RETURNING id");
    EXPECT_TRUE(insert.ok) << insert.error;
    const struct {
        const char *sql;
        bool ok;
    } cases[] = {
        {"SELECT count(*) FROM units", true},
        {"DELETE FROM units", false},
        {"UPDATE units SET verdict = 'FAIL'", false},
        {"DROP TABLE read_times", false},
        {"TRUNCATE units CASCADE", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(station->exec(c.sql).ok, c.ok) << c.sql;
    EXPECT_EQ(station->exec("SELECT count(*) FROM units").rows.at(0)[0], PgValue{"1"});
}

// A record laid out before the summary's index gets it from a writer that
// owns the tables; a reader, or a station's role that may only insert,
// opens it as it is.
TEST_F(PgSchemaTest, AnIndexAddedSinceTheLayoutIsMadeByTheOwnerWritingOnly) {
    const std::string db = freshDatabase("schema_later_index");
    const auto owner = withStationRole(db);
    const auto present = [&owner] {
        return owner->exec("SELECT to_regclass('units_day') IS NOT NULL").rows.at(0)[0] ==
               PgValue{"t"};
    };
    ASSERT_TRUE(present()) << "a new layout has it";
    ASSERT_TRUE(owner->exec("DROP INDEX units_day").ok);
    const struct {
        const char *who;
        std::string uri;
        SchemaUse use;
        bool made;
    } cases[] = {
        {"the owner reading", server_->uri(db), SchemaUse::MustExist, false},
        {"a station's role writing", server_->uri(db + "_station", "StationPw1", db),
         SchemaUse::Create, false},
        {"the owner writing", server_->uri(db), SchemaUse::Create, true},
    };
    for (const auto &c : cases) {
        auto conn = connect(c.uri);
        ASSERT_NE(conn, nullptr) << c.who;
        std::string error;
        EXPECT_TRUE(ensureCentralSchema(*conn, c.use, error)) << c.who << ": " << error;
        EXPECT_EQ(present(), c.made) << c.who;
        // The connection is still good for work after the refused index.
        EXPECT_TRUE(conn->exec("SELECT count(*) FROM units").ok) << c.who;
    }
}

// The summary reads the index alone, in its order: no table, no sort. A
// change to the query or the index that parts them shows here rather than
// as a slow summary over a large record.
TEST_F(PgSchemaTest, TheSummaryIsAnsweredFromItsIndexWithoutASort) {
    const std::string db = freshDatabase("schema_summary_plan");
    auto conn = connect(server_->uri(db));
    std::string error;
    ASSERT_TRUE(ensureCentralSchema(*conn, SchemaUse::Create, error)) << error;
    ASSERT_TRUE(conn->exec(R"sql(
INSERT INTO units(run_id, at, ended_at, station, sequence, port, plan_name, plan_version,
                  plan_hash, verdict, ms, library_version, kav_version, steps, payload_hash)
SELECT 'r' || g, to_char(timestamp '2026-01-01' + g * interval '1 minute',
                         'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
       '', 'st' || (g % 4), g, 1, 'plan', '', 'h', 'PASS', 1, 'l', 'k', '[]', 'h'
FROM generate_series(1, 20000) g)sql")
                    .ok);
    ASSERT_TRUE(conn->exec("VACUUM ANALYZE units").ok);
    // A table this small is read whole sooner; a large one is not.
    ASSERT_TRUE(conn->exec("SET enable_seqscan = off").ok);
    const kav::station::Query q = kav::station::summaryQuery({}, kav::station::Dialect::Postgres);
    const auto plan = conn->exec("EXPLAIN " + q.text);
    ASSERT_TRUE(plan.ok) << plan.error;
    std::string text;
    for (const auto &row : plan.rows)
        text += row.at(0).value_or("") + "\n";
    EXPECT_NE(text.find("Index Only Scan using units_day"), std::string::npos) << text;
    EXPECT_EQ(text.find("Sort"), std::string::npos) << text;
}
