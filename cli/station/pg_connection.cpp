#include "pg_connection.h"

#include "pg_uri.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kav::station {

namespace {

std::string percentEncoded(const std::string &s) {
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// The passwords libpq may use for this URI: the URI's own and PGPASSWORD's
// (a ~/.pgpass one libpq never prints).
std::vector<std::string> secretsOf(const std::string &uri) {
    std::vector<std::string> secrets;
    char *parseError = nullptr;
    if (PQconninfoOption *options = PQconninfoParse(uri.c_str(), &parseError)) {
        for (PQconninfoOption *o = options; o->keyword != nullptr; ++o)
            if (std::string(o->keyword) == "password" && o->val != nullptr && *o->val != '\0')
                secrets.emplace_back(o->val);
        PQconninfoFree(options);
    }
    PQfreemem(parseError);
    if (const char *env = std::getenv("PGPASSWORD"); env != nullptr && *env != '\0')
        secrets.emplace_back(env);
    return secrets;
}

// When a connect must end: the URI's (or PGCONNECT_TIMEOUT's) own
// connect_timeout as libpq reads it (0 or less: never, at least 2 s), else
// our default, cut short by `until`.
std::optional<std::chrono::steady_clock::time_point> connectEnd(PGconn *conn,
                                                                const ConnectLimit &limit) {
    const auto now = std::chrono::steady_clock::now();
    std::string own;
    if (PQconninfoOption *options = PQconninfo(conn)) {
        for (PQconninfoOption *o = options; o->keyword != nullptr; ++o)
            if (std::string(o->keyword) == "connect_timeout" && o->val != nullptr)
                own = o->val;
        PQconninfoFree(options);
    }
    if (!own.empty()) {
        const int seconds = std::atoi(own.c_str());
        if (seconds <= 0)
            return std::nullopt;
        return now + std::chrono::seconds{std::max(seconds, 2)};
    }
    const auto end = now + std::chrono::seconds{kDefaultConnectSeconds};
    return limit.until ? std::min(end, *limit.until) : end;
}

// Drives a connect libpq started without blocking until it succeeds,
// fails, runs out of time or is given up: "" when connected, else why.
// (libpq leaves a non-blocking connect's timeout to its caller.)
std::string awaitConnection(PGconn *conn, const ConnectLimit &limit) {
    const auto end = connectEnd(conn, limit);
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED || PQstatus(conn) == CONNECTION_BAD)
            return trimmed(PQerrorMessage(conn));
        if (limit.abandon && limit.abandon())
            return "connecting given up: kav is ending";
        const auto now = std::chrono::steady_clock::now();
        if (end && now >= *end)
            return "timeout expired while connecting";
        // Short waits, so that a give-up is seen soon.
        auto wait = std::chrono::milliseconds{100};
        if (end)
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(*end - now));
        pollfd p{PQsocket(conn),
                 static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        if (p.fd < 0) {
            state = PQconnectPoll(conn);
            continue;
        }
        const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
        if (ready < 0 && errno != EINTR)
            return std::string("waiting for the connection: ") + std::strerror(errno);
        if (ready > 0)
            state = PQconnectPoll(conn);
    }
    return {};
}

} // namespace

std::string scrubSecrets(std::string text, const std::vector<std::string> &secrets) {
    for (const std::string &secret : secrets) {
        for (const std::string &form : {secret, percentEncoded(secret)}) {
            if (form.empty())
                continue;
            for (std::size_t at = text.find(form); at != std::string::npos;
                 at = text.find(form, at))
                text.replace(at, form.size(), "***");
        }
    }
    return text;
}

std::unique_ptr<PgConnection> PgConnection::connect(const std::string &uri,
                                                    std::chrono::milliseconds statementDeadline,
                                                    std::string &error, const ConnectLimit &limit) {
    const std::vector<std::string> secrets = secretsOf(uri);
    const std::string location = redactUri(uri);
    // Keywords are taken in order and a later one wins: ours come before
    // the URI, so whatever the URI (or the environment) says prevails.
    std::vector<const char *> keys, values;
    // A server that vanishes mid-statement is noticed, not waited on.
    keys.push_back("keepalives_idle");
    values.push_back("5");
    keys.push_back("keepalives_interval");
    values.push_back("2");
    keys.push_back("keepalives_count");
    values.push_back("3");
    keys.push_back("application_name");
    values.push_back("kav");
    keys.push_back("dbname");
    values.push_back(uri.c_str());
    keys.push_back(nullptr);
    values.push_back(nullptr);

    PGconn *conn = PQconnectStartParams(keys.data(), values.data(), 1);
    if (conn == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    if (const std::string why = awaitConnection(conn, limit); !why.empty()) {
        error = scrubSecrets(why, secrets);
        PQfinish(conn);
        return nullptr;
    }
    std::unique_ptr<PgConnection> c{new PgConnection(conn, location, secrets)};
    const PgResult set =
        c->exec("SELECT set_config('statement_timeout', $1, false)",
                {std::to_string(std::max<long long>(1, statementDeadline.count()))});
    if (!set.ok) {
        error = set.error;
        return nullptr;
    }
    return c;
}

PgConnection::~PgConnection() {
    PQfinish(conn_);
}

bool PgConnection::alive() const {
    return PQstatus(conn_) == CONNECTION_OK;
}

std::string PgConnection::scrub(std::string text) const {
    return scrubSecrets(std::move(text), secrets_);
}

PgResult PgConnection::exec(const std::string &sql, const std::vector<PgValue> &params) {
    PgResult r;
    std::vector<const char *> values;
    values.reserve(params.size());
    for (const PgValue &p : params)
        values.push_back(p ? p->c_str() : nullptr);
    PGresult *res = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                 values.data(), nullptr, nullptr, 0);
    if (res == nullptr) {
        r.error = scrub(trimmed(PQerrorMessage(conn_)));
        return r;
    }
    const ExecStatusType status = PQresultStatus(res);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        r.ok = true;
        const int rows = PQntuples(res), cols = PQnfields(res);
        r.rows.reserve(rows);
        for (int i = 0; i < rows; ++i) {
            PgRow row;
            row.reserve(cols);
            for (int j = 0; j < cols; ++j)
                row.push_back(PQgetisnull(res, i, j) ? PgValue{}
                                                     : PgValue{std::string(PQgetvalue(res, i, j))});
            r.rows.push_back(std::move(row));
        }
        const char *tuples = PQcmdTuples(res);
        r.affected = tuples != nullptr && *tuples != '\0' ? std::atoll(tuples) : 0;
    } else {
        const char *message = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
        r.error = scrub(message != nullptr ? std::string(message) : trimmed(PQerrorMessage(conn_)));
        if (const char *state = PQresultErrorField(res, PG_DIAG_SQLSTATE))
            r.sqlState = state;
        if (r.error.empty())
            r.error = PQresStatus(status);
    }
    PQclear(res);
    return r;
}

PgTransaction::PgTransaction(PgConnection &conn, std::string &error) : conn_(conn) {
    const PgResult r = conn_.exec("BEGIN");
    begun_ = r.ok;
    if (!r.ok)
        error = r.error;
}

PgTransaction::~PgTransaction() {
    if (begun_ && !done_ && conn_.alive())
        conn_.exec("ROLLBACK");
}

bool PgTransaction::commit(std::string &error) {
    if (!begun_) {
        error = "no transaction";
        return false;
    }
    done_ = true;
    const PgResult r = conn_.exec("COMMIT");
    if (!r.ok) {
        error = r.error;
        return false;
    }
    return true;
}

} // namespace kav::station
