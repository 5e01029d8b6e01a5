// kav given a central record's URI on the command line: never taken for a
// file name, never printing the URI's password.
#include "postgres_server.h"
#include "process.h"
#include "station/pg_connection.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

TEST(KavCentralUri, IsNeverAFileAndNeverShowsThePassword) {
    const std::string secret = "Zq9SecretPw";
    const struct {
        std::vector<std::string> args;
    } cases[] = {
        {{"check", "--db", "postgresql://station:" + secret + "@127.0.0.1:1/line3"}},
        {{"results", "--db", "postgres://station:" + secret + "@127.0.0.1:1/line3"}},
        {{"results", "--json", "--db", "postgresql://127.0.0.1:1/line3?password=" + secret}},
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
        EXPECT_NE(o.err.find("results database postgres"), std::string::npos) << o.err;
        EXPECT_EQ((o.out + o.err).find(secret), std::string::npos) << o.out << o.err;
        // Nothing made in the working folder nor in the default record's place.
        EXPECT_TRUE(test::listing(folder.path()).empty()) << c.args[0];
    }
}

namespace {

class KavCentralServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = std::make_unique<test::PostgresServer>(); }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override {
        KAV_REQUIRE_POSTGRES();
        ASSERT_TRUE(server_->ok()) << server_->error();
    }
    static std::unique_ptr<test::PostgresServer> server_;
};
std::unique_ptr<test::PostgresServer> KavCentralServer::server_;

std::string sql(const std::string &uri, const std::string &text) {
    std::string error;
    auto c = kav::station::PgConnection::connect(uri, std::chrono::seconds{10}, error);
    if (!c)
        return "no connection: " + error;
    const auto r = c->exec(text);
    return r.ok ? (r.rows.empty() || !r.rows[0][0] ? "" : *r.rows[0][0]) : "error: " + r.error;
}

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
         {"check", "--db", server_->uri(test::PostgresServer::kUser, wrong, "postgres")},
         "password authentication failed"},
        {"results from a fresh database",
         {"results", "--db", server_->uri("cli_fresh")},
         "holds no Velkart results yet"},
        {"a newer layout",
         {"results", "--db", server_->uri("cli_newer")},
         "written by a newer kav (layout 7; this kav knows up to 3)"},
        {"check makes the tables",
         {"check", "--db", server_->uri("cli_fresh")},
         "its tables are ready (layout 3)"},
    };
    for (const auto &c : cases) {
        const test::Outcome o = test::run(KAV_CLI, c.args);
        EXPECT_EQ(o.exit, 10) << c.what << ": " << o.err;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << c.what << ": " << o.err;
        for (const std::string &secret : {wrong, server_->password()})
            EXPECT_EQ((o.out + o.err).find(secret), std::string::npos) << c.what << ": " << o.err;
    }
    EXPECT_EQ(sql(server_->uri("cli_fresh"), "SELECT version FROM kav_schema"), "3");
}
