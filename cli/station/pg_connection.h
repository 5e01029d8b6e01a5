// A thin layer over libpq for the central record: one connection, queries
// with bound parameters, transactions. Nothing here waits forever: the
// connection has a timeout unless the URI names its own, and each statement
// a deadline. Errors are text with the password taken out.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;

namespace kav::station {

using PgValue = std::optional<std::string>; // nullopt: SQL NULL
using PgRow = std::vector<PgValue>;

struct PgResult {
    bool ok = false;
    std::string error;    // when !ok
    std::string sqlState; // when !ok and the server gave one, e.g. "23505"
    std::vector<PgRow> rows;
    long long affected = 0; // rows an INSERT, UPDATE or DELETE touched
};

// Seconds a connect may take when neither the URI nor PGCONNECT_TIMEOUT says.
inline constexpr int kDefaultConnectSeconds = 10;

// What else ends a connect: a time it must end by, unless the URI (or
// PGCONNECT_TIMEOUT) names a connect_timeout of its own, and a question
// asked while it waits whose yes gives it up.
struct ConnectLimit {
    std::optional<std::chrono::steady_clock::time_point> until;
    std::function<bool()> abandon;
};

class PgConnection {
  public:
    // `uri` is a libpq connection URI; every parameter in it passes through,
    // PGPASSWORD and ~/.pgpass work as libpq has them. nullptr with `error`.
    static std::unique_ptr<PgConnection> connect(const std::string &uri,
                                                 std::chrono::milliseconds statementDeadline,
                                                 std::string &error,
                                                 const ConnectLimit &limit = {});
    ~PgConnection();
    PgConnection(const PgConnection &) = delete;
    PgConnection &operator=(const PgConnection &) = delete;

    // $1, $2 ... in `sql` take params in order, as text.
    PgResult exec(const std::string &sql, const std::vector<PgValue> &params = {});
    // Whether the link still works (false after the server went away).
    bool alive() const;

    // The URI without its password.
    const std::string &location() const { return location_; }
    // `text` with every secret this connection knows replaced.
    std::string scrub(std::string text) const;

  private:
    PgConnection(pg_conn *conn, std::string location, std::vector<std::string> secrets)
        : conn_(conn), location_(std::move(location)), secrets_(std::move(secrets)) {}
    pg_conn *conn_;
    std::string location_;
    std::vector<std::string> secrets_;
};

// BEGIN now, ROLLBACK when destroyed unless commit() succeeded.
class PgTransaction {
  public:
    PgTransaction(PgConnection &conn, std::string &error);
    ~PgTransaction();
    PgTransaction(const PgTransaction &) = delete;
    PgTransaction &operator=(const PgTransaction &) = delete;

    bool begun() const { return begun_; }
    // False with `error`: nothing of the transaction was kept (or the
    // outcome is unknown when the link broke during COMMIT).
    bool commit(std::string &error);

  private:
    PgConnection &conn_;
    bool begun_ = false;
    bool done_ = false;
};

// Removes every occurrence of each secret (and its percent-encoded form)
// from `text`.
std::string scrubSecrets(std::string text, const std::vector<std::string> &secrets);

} // namespace kav::station
