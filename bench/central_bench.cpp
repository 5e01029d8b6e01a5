// The central record on a PostgreSQL server on this machine (its own
// cluster, fsync on):
// - one run uploaded alone, its own transaction (what a unit costs the
//   server; the station never waits for it);
// - a backlog of 10,000 runs after an outage, in batches of 200;
// - eight uploaders pushing backlogs at once against one alone, each its rate;
// - eight stations at their own pace (kav check --loop, each on its own
//   reader at the wire's speed) against one station alone, each its rate;
// - `kav results --summary` over 1,000,000 units seeded with
//   generate_series, the whole process, and its query alone.
#include "postgres_server.h"
#include "process.h"
#include "reader_tool.h"
#include "station/pg_schema.h"
#include "station/pg_upload.h"
#include "station/record_sql.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace kav::station;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The one-minute load average, as the figures were taken under it.
double load() {
    double l[1] = {0};
    return getloadavg(l, 1) == 1 ? l[0] : -1;
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

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

std::unique_ptr<PgConnection> connect(const test::PostgresServer &server,
                                      const std::string &database) {
    std::string error;
    auto c = PgConnection::connect(server.uri(database), std::chrono::minutes{5}, error);
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

std::size_t occurrences(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// One station's run: units checked a second from its first verdict to its
// last, each check's own time and what recording it in the outbox took.
struct StationRun {
    std::string name;
    double rate = 0;
    std::vector<double> checkMs, recordMs;
    std::string error; // empty when every unit passed and kav ended well
};

// `kav check --loop` into the central record on a reader of its own (the
// tool at the wire's speed, its own SAM ID), `units` + 1 units: the bench
// takes each checked unit away and brings the next, as the operator does,
// by stopping the reader and starting it again at the same path.
StationRun station(const std::string &uri, const fs::path &folder, const std::string &name,
                   int units) {
    static std::atomic<int> readers{0};
    StationRun run{name, 0, {}, {}, {}};
    test::ToolReader reader(
        {"--wire-only", "--sam-id", "05-01-20069995-12345-" + std::to_string(++readers)});
    if (!reader.running()) {
        run.error = "no reader";
        return run;
    }
    test::Child kav(KAV_PATH,
                    {"check", "--loop", "--json", "--db", uri, "--outbox",
                     (folder / (name + ".sqlite")).string(), "--station", name},
                    reader.devices());
    const auto said = [&kav](const char *what, std::size_t times) {
        return test::waitUntil([&] { return occurrences(kav.err(), what) >= times; },
                               std::chrono::seconds{30});
    };
    Clock::time_point first;
    for (int i = 0; i <= units; ++i) {
        const Json line = Json::parse(kav.readLine(std::chrono::seconds{30}), nullptr, false);
        if (line.is_discarded() || line.value("verdict", "") != "PASS" ||
            !line["record"].contains("ms")) {
            run.error = "unit " + std::to_string(i + 1) + ": " +
                        (line.is_discarded() ? "no verdict" : line.dump()) + "\n" + kav.err();
            return run;
        }
        if (i == 0)
            first = Clock::now();
        else {
            run.checkMs.push_back(line["ms"].get<double>());
            run.recordMs.push_back(line["record"]["ms"].get<double>());
        }
        if (i == units) {
            run.rate = units / (msSince(first) / 1000.0);
            break;
        }
        if (!said("take the unit away", i + 1)) {
            run.error = "the unit was not let go: " + kav.err();
            return run;
        }
        reader.stop();
        if (!said("waiting for a unit", i + 2)) {
            run.error = "the next unit was not awaited: " + kav.err();
            return run;
        }
        reader.start();
    }
    said("take the unit away", units + 1);
    kav.signal(SIGINT);
    if (const int code = kav.wait(std::chrono::seconds{20}); code != 0)
        run.error = "kav ended with " + std::to_string(code) + ": " + kav.err();
    return run;
}

// `count` stations at once, each `units` units.
std::vector<StationRun> stations(const std::string &uri, const fs::path &folder,
                                 const std::string &prefix, int count, int units) {
    std::vector<StationRun> runs(count);
    std::vector<std::thread> threads;
    for (int s = 0; s < count; ++s)
        threads.emplace_back(
            [&, s] { runs[s] = station(uri, folder, prefix + std::to_string(s + 1), units); });
    for (auto &t : threads)
        t.join();
    return runs;
}

// Whether the central record holds every unit the stations checked, the
// first of each included; the upload lag (the server's receipt after the
// unit's end), median and largest, in `lag`.
bool allUploaded(PgConnection &c, const std::vector<StationRun> &runs, int units,
                 std::string &lag) {
    bool all = true;
    std::string names;
    for (const StationRun &r : runs) {
        const PgResult n = c.exec("SELECT count(*) FROM units WHERE station = $1", {r.name});
        if (!n.ok || n.rows.empty() || n.rows[0][0] != PgValue{std::to_string(units + 1)}) {
            std::fprintf(stderr, "%s: %s units in the central record of %d checked\n",
                         r.name.c_str(), n.ok && !n.rows.empty() ? n.rows[0][0]->c_str() : "?",
                         units + 1);
            all = false;
        }
        names += (names.empty() ? "" : ",") + r.name;
    }
    const PgResult d = c.exec(
        "SELECT round(percentile_cont(0.5) WITHIN GROUP (ORDER BY d)), round(max(d)) FROM "
        "(SELECT extract(epoch FROM received_at::timestamptz - ended_at::timestamptz) * 1000 "
        "AS d FROM units WHERE station = ANY(string_to_array($1, ','))) lags",
        {names});
    lag = d.ok && !d.rows.empty() && d.rows[0][0] && d.rows[0][1]
              ? "upload lag median " + *d.rows[0][0] + " ms, largest " + *d.rows[0][1] + " ms"
              : "upload lag unknown: " + d.error;
    return all;
}

// Rounds of one station alone then eight at once, `units` units each.
bool stationsAtTheirPace(const test::PostgresServer &server, PgConnection &c) {
    constexpr int kRounds = 3, kUnits = 20;
    const fs::path folder =
        fs::temp_directory_path() / ("central_bench_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::printf("stations at their pace, kav check --loop into the central record, each on its "
                "own reader (pty, 115200, --wire-only), %d units each, the unit swapped by the "
                "bench:\n",
                kUnits);
    bool ok = true;
    for (int round = 1; round <= kRounds && ok; ++round) {
        const std::string tag = "r" + std::to_string(round);
        const std::vector<StationRun> alone =
            stations(server.uri("bench"), folder, tag + "-alone-", 1, kUnits);
        const std::vector<StationRun> eight =
            stations(server.uri("bench"), folder, tag + "-station-", 8, kUnits);
        for (const std::vector<StationRun> *runs : {&alone, &eight})
            for (const StationRun &r : *runs)
                if (!r.error.empty()) {
                    std::fprintf(stderr, "%s: %s\n", r.name.c_str(), r.error.c_str());
                    ok = false;
                }
        if (!ok)
            break;
        std::string lagAlone, lagEight;
        ok = allUploaded(c, alone, kUnits, lagAlone) && allUploaded(c, eight, kUnits, lagEight);
        std::printf(
            "  round %d, load %.1f: alone %.3f units/s (check %.1f ms, recording %.2f ms, %s)\n",
            round, load(), alone[0].rate, median(alone[0].checkMs), median(alone[0].recordMs),
            lagAlone.c_str());
        std::vector<double> checkMs, recordMs;
        std::printf("    eight at once, each:");
        double lowest = 1e9;
        for (const StationRun &r : eight) {
            std::printf(" %.3f (%.3fx)", r.rate, r.rate / alone[0].rate);
            lowest = std::min(lowest, r.rate / alone[0].rate);
            checkMs.insert(checkMs.end(), r.checkMs.begin(), r.checkMs.end());
            recordMs.insert(recordMs.end(), r.recordMs.begin(), r.recordMs.end());
        }
        std::printf("\n    lowest %.3fx (target >= 0.95x); check %.1f ms, recording %.2f ms; %s; "
                    "%s\n",
                    lowest, median(checkMs), median(recordMs), lagEight.c_str(),
                    ok ? "every unit in the central record" : "UNITS MISSING");
    }
    fs::remove_all(folder);
    return ok;
}

// `kav results --summary` over 1,000,000 units in a database of their own,
// whole process, against its query alone.
bool summaryOfAMillion(const test::PostgresServer &server, PgConnection &admin, PgConnection &c) {
    // A real unit's steps, so the rows are as wide as a line's.
    const PgResult steps = c.exec("SELECT steps FROM units WHERE station = 'r1-alone-1' LIMIT 1");
    std::string error;
    auto big = admin.exec("CREATE DATABASE summary").ok ? connect(server, "summary") : nullptr;
    if (!steps.ok || steps.rows.empty() || !big ||
        !ensureCentralSchema(*big, SchemaUse::Create, error)) {
        std::fprintf(stderr, "summary set-up: %s %s\n", steps.error.c_str(), error.c_str());
        return false;
    }
    // A unit every 26 s for 300 days, 8 stations, 3 plans each, one unit in
    // 17 failing: 7,200 rows of summary.
    const char *seed = R"sql(
INSERT INTO units(run_id, at, ended_at, station, operator, serial, sequence, port, sam_id,
                  plan_name, plan_version, plan_hash, verdict, ms, library_version, kav_version,
                  steps, payload_hash)
SELECT 'seed-' || g,
       to_char(timestamp '2026-01-01' + g * interval '25.92 seconds', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
       '', 'st' || (g % 8), NULL, NULL, g, 1, 'sam-' || g, 'plan ' || (g / 8 % 3), '', 'h',
       CASE WHEN g % 17 = 0 THEN 'FAIL' ELSE 'PASS' END, 1000, '1', '1', $1, 'h'
FROM generate_series(1, 1000000) g)sql";
    auto t = Clock::now();
    if (const PgResult r = big->exec(seed, {steps.rows[0][0]}); !r.ok) {
        std::fprintf(stderr, "seed: %s\n", r.error.c_str());
        return false;
    }
    big->exec("VACUUM ANALYZE units");
    std::printf("seeded 1,000,000 units in %.0f ms\n", msSince(t));

    const std::string uri = server.uri("summary");
    const test::Outcome json = test::run(KAV_PATH, {"results", "--summary", "--json", "--db", uri},
                                         {}, std::chrono::minutes{2});
    const Json summary = Json::parse(json.out, nullptr, false);
    if (json.exit != 0 || summary.is_discarded() || summary["total"]["units"] != 1000000) {
        std::fprintf(stderr, "kav results --summary: %s%s\n", json.out.c_str(), json.err.c_str());
        return false;
    }
    std::vector<double> whole, query;
    for (int i = 0; i < 7; ++i) {
        t = Clock::now();
        const test::Outcome text =
            test::run(KAV_PATH, {"results", "--summary", "--db", uri}, {}, std::chrono::minutes{2});
        whole.push_back(msSince(t));
        if (text.exit != 0) {
            std::fprintf(stderr, "kav results --summary: %s\n", text.err.c_str());
            return false;
        }
        const Query q = summaryQuery({}, Dialect::Postgres);
        t = Clock::now();
        const PgResult r = big->exec(q.text);
        query.push_back(msSince(t));
        if (!r.ok) {
            std::fprintf(stderr, "summary query: %s\n", r.error.c_str());
            return false;
        }
    }
    std::printf("kav results --summary over 1,000,000 units (%zu rows), whole process, 7 runs, "
                "load %.1f: median %.0f ms (target < 1000 ms); its query alone %.0f ms\n",
                summary["days"].size(), load(), median(whole), median(query));
    return true;
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    test::PostgresServer server;
    if (!server.ok()) {
        std::fprintf(stderr, "%s\n", server.error().c_str());
        return 1;
    }
    std::string error;
    auto admin = connect(server, "postgres");
    // The tests' cluster skips fsync; a line's server does not.
    for (const char *sql : {"ALTER SYSTEM SET fsync = on", "ALTER SYSTEM SET full_page_writes = on",
                            "SELECT pg_reload_conf()", "CREATE DATABASE bench"})
        if (!admin || !admin->exec(sql).ok) {
            std::fprintf(stderr, "set-up failed at %s\n", sql);
            return 1;
        }
    auto c = connect(server, "bench");
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
    std::vector<std::thread> uploaders;
    for (int s = 0; s < 8; ++s)
        uploaders.emplace_back([&, s] {
            auto own = connect(server, "bench");
            rates[s] = own ? uploadRate(*own, "st" + std::to_string(s) + "-", 2000, 50) : 0;
        });
    for (auto &t : uploaders)
        t.join();
    std::printf("one uploader alone: %.0f units/s; eight at once, each:", alone);
    for (double r : rates)
        std::printf(" %.0f (%.2fx)", r, r / alone);
    std::printf("\n");

    if (!stationsAtTheirPace(server, *c) || !summaryOfAMillion(server, *admin, *c))
        return 1;
    return 0;
}
