// The central record on a PostgreSQL server on this machine (its own
// cluster, fsync on):
// - one run uploaded alone, its own transaction (what a unit costs the
//   server; the station never waits for it);
// - a backlog of 10,000 runs after an outage, in batches of 200;
// - eight stations uploading at once against one alone, each its rate;
// - the summary's aggregation (per day and plan) over 1,000,000 units
//   seeded with generate_series.
#include "postgres_server.h"
#include "station/pg_schema.h"
#include "station/pg_upload.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kav::station;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

UploadItem run(const std::string &id, long long sequence) {
    Json p{{"run_id", id},
           {"at", "2026-12-08T10:00:00.000Z"},
           {"ended_at", "2026-12-08T10:00:01.066Z"},
           {"station", "bench"},
           {"operator", "op"},
           {"serial", "05-01-" + id},
           {"sequence", sequence},
           {"port", 1},
           {"sam_id", "05-01-" + id},
           {"plan_name", "built-in"},
           {"plan_version", ""},
           {"plan_hash", std::string(64, 'a')},
           {"verdict", "PASS"},
           {"ms", 1066.0},
           {"library_version", "1.0"},
           {"kav_version", "1.0"},
           {"steps", Json::array()},
           {"failures", Json::array()},
           {"read_times", {120.5, 121.0, 119.75, 120.0, 122.25, 118.5, 120.5, 121.5}},
           {"step_results", Json::array()}};
    for (int i = 0; i < 6; ++i)
        p["step_results"].push_back({{"position", i},
                                     {"step", "reads"},
                                     {"outcome", "PASS"},
                                     {"measured", 120.5},
                                     {"units", "ms"},
                                     {"low", nullptr},
                                     {"high", 1200}});
    return {p.dump(), std::string(64, 'b'), "[]"};
}

std::unique_ptr<PgConnection> connect(const test::PostgresServer &server) {
    std::string error;
    auto c = PgConnection::connect(server.uri("bench"), std::chrono::minutes{5}, error);
    if (!c)
        std::fprintf(stderr, "connect: %s\n", error.c_str());
    return c;
}

// Units a second uploading `n` runs named with `prefix` in batches of `batch`.
double uploadRate(PgConnection &c, const std::string &prefix, int n, int batch) {
    std::vector<UploadItem> items;
    for (int i = 0; i < n; ++i)
        items.push_back(run(prefix + std::to_string(i), i + 1));
    const auto began = Clock::now();
    for (int from = 0; from < n; from += batch) {
        const std::vector<UploadItem> part(items.begin() + from,
                                           items.begin() + std::min(n, from + batch));
        for (const UploadResult &r : uploadRuns(c, part))
            if (r.outcome != UploadOutcome::Stored) {
                std::fprintf(stderr, "upload: %s\n", r.error.c_str());
                return 0;
            }
    }
    return n / (msSince(began) / 1000.0);
}

} // namespace

int main() {
    test::PostgresServer server;
    if (!server.ok()) {
        std::fprintf(stderr, "%s\n", server.error().c_str());
        return 1;
    }
    {
        std::string error;
        auto admin = PgConnection::connect(server.uri(), std::chrono::minutes{1}, error);
        // The tests' cluster skips fsync; a line's server does not.
        for (const char *sql :
             {"ALTER SYSTEM SET fsync = on", "ALTER SYSTEM SET full_page_writes = on",
              "SELECT pg_reload_conf()", "CREATE DATABASE bench"})
            if (!admin || !admin->exec(sql).ok) {
                std::fprintf(stderr, "set-up failed at %s\n", sql);
                return 1;
            }
    }
    auto c = connect(server);
    std::string error;
    if (!c || !ensureCentralSchema(*c, SchemaUse::Create, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    std::vector<double> one;
    for (int i = 0; i < 200; ++i) {
        const auto t = Clock::now();
        uploadRuns(*c, {run("single-" + std::to_string(i), i + 1)});
        one.push_back(msSince(t));
    }
    std::sort(one.begin(), one.end());
    std::printf("one run uploaded alone: median %.2f ms, p95 %.2f ms (of %zu)\n",
                one[one.size() / 2], one[one.size() * 95 / 100], one.size());

    std::printf("backlog of 10,000 runs, batches of 200: %.0f units/s\n",
                uploadRate(*c, "backlog-", 10000, 200));

    const double alone = uploadRate(*c, "alone-", 2000, 50);
    std::vector<double> rates(8);
    std::vector<std::thread> stations;
    for (int s = 0; s < 8; ++s)
        stations.emplace_back([&, s] {
            auto own = connect(server);
            rates[s] = own ? uploadRate(*own, "st" + std::to_string(s) + "-", 2000, 50) : 0;
        });
    for (auto &t : stations)
        t.join();
    std::printf("one station alone: %.0f units/s; eight at once, each:", alone);
    for (double r : rates)
        std::printf(" %.0f (%.2fx)", r, r / alone);
    std::printf("\n");

    const char *seed = R"sql(
INSERT INTO units(run_id, at, ended_at, station, operator, serial, sequence, port, sam_id,
                  plan_name, plan_version, plan_hash, verdict, ms, library_version, kav_version,
                  steps, payload_hash)
SELECT 'seed-' || g,
       to_char(timestamp '2026-01-01' + (g % 300) * interval '1 day' + (g % 86400) * interval '1 second',
               'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
       '', 'st' || (g % 8), NULL, NULL, g, 1, 'sam-' || g, 'plan ' || (g % 3), '', 'h',
       CASE WHEN g % 17 = 0 THEN 'FAIL' ELSE 'PASS' END, 1000, '1', '1', '[]', 'h'
FROM generate_series(1, 1000000) g)sql";
    auto t = Clock::now();
    if (const PgResult r = c->exec(seed); !r.ok) {
        std::fprintf(stderr, "seed: %s\n", r.error.c_str());
        return 1;
    }
    c->exec("ANALYZE units");
    std::printf("seeded 1,000,000 units in %.0f ms\n", msSince(t));
    std::vector<double> summary;
    for (int i = 0; i < 5; ++i) {
        t = Clock::now();
        const PgResult r = c->exec(
            "SELECT substr(at, 1, 10) AS day, plan_name, count(*), "
            "count(*) FILTER (WHERE verdict = 'PASS') FROM units GROUP BY 1, 2 ORDER BY 1, 2");
        summary.push_back(msSince(t));
        if (!r.ok) {
            std::fprintf(stderr, "summary: %s\n", r.error.c_str());
            return 1;
        }
    }
    std::sort(summary.begin(), summary.end());
    std::printf("summary aggregation over 1,010,000+ units: median %.0f ms (of 5)\n", summary[2]);
    return 0;
}
