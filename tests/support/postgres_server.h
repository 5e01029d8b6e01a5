// A real PostgreSQL for the central record's tests: its own cluster in a
// temporary folder, a Unix socket there and a free TCP port on 127.0.0.1,
// password logins (scram), so a refused login can be tried. One a test
// binary (a suite's fixture): a cluster takes a second or two to make.
// As root (CI) the server runs as nobody, since initdb refuses root.
#pragma once

#include "required_part.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace test {

// Where Debian's PostgreSQL 15 programs are; empty when not installed.
std::string postgresBinaries();

class PostgresServer {
  public:
    // Makes the cluster and starts it; ok() says whether it runs.
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    bool ok() const { return running_; }
    // What went wrong, with the server's log.
    const std::string &error() const { return error_; }

    bool start();
    bool stop();
    bool restart() { return stop() && start(); }

    // The superuser and its password.
    static constexpr const char *kUser = "kav";
    const std::string &password() const { return password_; }
    std::uint16_t port() const { return port_; }
    const std::filesystem::path &folder() const { return folder_; }

    // A libpq URI over the Unix socket; the superuser's password unless
    // another is given ("" for none at all).
    std::string uri(const std::string &database = "postgres") const;
    std::string uri(const std::string &user, const std::string &password,
                    const std::string &database) const;
    // The same over TCP on 127.0.0.1.
    std::string tcpUri(const std::string &database = "postgres") const;

  private:
    bool runTool(const std::string &tool, const std::vector<std::string> &args);
    std::filesystem::path folder_;
    std::string password_;
    std::uint16_t port_ = 0;
    bool running_ = false;
    std::string error_;
};

} // namespace test

#define KAV_REQUIRE_POSTGRES()                                                                     \
    KAV_REQUIRE_PART(!::test::postgresBinaries().empty(),                                          \
                     "PostgreSQL 15 (initdb, pg_ctl) is not installed")

namespace test {

// A suite's own server, made once for all its cases (suites run one at a
// time): a case skips, or fails in CI, when PostgreSQL is missing.
class PostgresSuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = std::make_unique<PostgresServer>(); }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override {
        KAV_REQUIRE_POSTGRES();
        ASSERT_TRUE(server_->ok()) << server_->error();
    }
    inline static std::unique_ptr<PostgresServer> server_;
};

} // namespace test
