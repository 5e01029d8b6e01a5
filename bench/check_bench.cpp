// The line station, against references measured or computed in the same run:
// - `kav check --json` with the built-in plan on a pty whose virtual reader
//   moves bytes at the wire's speed and answers at once, against the plan's
//   own wire time: every command and answer its steps exchange, each at its
//   rate;
// - recording one unit (the row's transaction, committed with a full sync)
//   against the check it records;
// - `kav results --summary` (and --html) over 100,000 recorded units.
#include "child_process.h"
#include "protocol/protocol.h"
#include "read_sequence.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace proto = kav::proto;
using Clock = std::chrono::steady_clock;

double wireMs(std::size_t bytes, std::uint32_t baud) {
    return double(proto::wireTimeUs(bytes, baud).count()) / 1000.0;
}

// The built-in plan's exchanges, as its trace shows them: the open's rate
// probe, status, SAM ID, the rate, 3 + 5 read sequences, and the round trip
// (the rate asked, the change, status at 57600, the change back, status).
double defaultPlanWireMs(std::size_t *frames) {
    const std::uint32_t fast = proto::kDefaultBaud;
    const std::uint32_t slow = 57600;
    const std::size_t status = bench::exchangeBytes(proto::kSamStatus, 0, 0);
    const std::size_t samId = bench::exchangeBytes(proto::kSamId, 0, proto::kSamIdSize);
    const std::size_t setBaud = bench::exchangeBytes(proto::setBaudCommand(1), 0, 0);
    double ms = 0;
    ms += 4 * wireMs(status, fast); // open's probe, sam-status, baud, the round trip's ask
    ms += wireMs(samId, fast);
    ms += 8 * bench::readSequenceWireMs(fast);
    ms +=
        wireMs(setBaud, fast) + wireMs(status, slow) + wireMs(setBaud, slow) + wireMs(status, fast);
    *frames = 6 + 1 + 8 * 4 + 2; // status, SAM ID, read sequences, rate changes
    return ms;
}

double median(std::vector<double> v) {
    return bench::median(v);
}

bool exec(sqlite3 *db, const char *sql) {
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    std::fprintf(stderr, "check_bench: %s: %s\n", sql, error ? error : "?");
    sqlite3_free(error);
    return false;
}

// 100,000 units over 60 days and 3 plans, one in 20 failing its reads,
// 8 read times each, made from the layout a real check wrote.
bool fillRecord(const fs::path &db) {
    sqlite3 *h = nullptr;
    if (sqlite3_open(db.c_str(), &h) != SQLITE_OK)
        return false;
    const bool ok =
        exec(h, "BEGIN") &&
        exec(h,
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 99999) "
             "INSERT INTO units(run_id, at, ended_at, station, sequence, port, sam_id, "
             "plan_name, plan_version, plan_hash, verdict, ms, library_version, kav_version, "
             "steps, payload_hash) "
             "SELECT 'fill-' || i, strftime('%Y-%m-%dT%H:%M:%fZ', '2026-10-01', '+' || (i * 51) "
             "|| ' seconds'), strftime('%Y-%m-%dT%H:%M:%fZ', '2026-10-01', '+' || (i * 51 + 1) "
             "|| ' seconds'), 'bench', i + 1, 1 + i % 16, '05-01-' || i, 'plan ' || (i % 3), '', "
             "'h', CASE WHEN i % 20 = 0 THEN 'FAIL' ELSE 'PASS' END, 1000, 'l', 'k', "
             "(SELECT steps FROM units WHERE id = 1), 'h' FROM n") &&
        exec(h, "INSERT INTO read_times(unit, ms) SELECT units.id, 118 + (units.id * 7 + k) % 23 "
                "FROM units, (SELECT 1 AS k UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL "
                "SELECT 4 UNION ALL SELECT 5 UNION ALL SELECT 6 UNION ALL SELECT 7 UNION ALL "
                "SELECT 8) WHERE units.id > 1") &&
        exec(h, "INSERT INTO failures(unit, step, operation, code, text) SELECT id, 'reads', "
                "'Kav_StartFindIDCard', '128', 'no card' FROM units WHERE verdict = 'FAIL'") &&
        exec(h, "COMMIT") && exec(h, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(h);
    return ok;
}

double timedRun(const std::vector<std::string> &args, bool *ok) {
    const auto start = Clock::now();
    *ok = bench::runToEnd(args) && *ok;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main() {
    bench::ServedReader reader(KAV_VIRTUAL_READER_TOOL);
    if (reader.path().empty()) {
        std::fprintf(stderr, "check_bench: no virtual reader\n");
        return 1;
    }
    setenv("KAVIDCARD_DEVICES", ("defaults=off,1=" + reader.path()).c_str(), 1);
    const fs::path folder = fs::temp_directory_path() / ("check_bench_" + std::to_string(getpid()));
    fs::create_directories(folder);
    const fs::path db = folder / "results.sqlite";

    std::size_t frames = 0;
    const double planWire = defaultPlanWireMs(&frames);
    constexpr int kRuns = 15;
    std::vector<double> checkMs, processMs, recordMs, recordShare;
    for (int i = 0; i < kRuns + 1; ++i) {
        std::string out;
        const auto start = Clock::now();
        const bool ran = bench::runToEnd({KAV_PATH, "check", "--json", "--db", db.string()}, &out);
        const double whole =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const nlohmann::json unit = nlohmann::json::parse(out, nullptr, false);
        if (!ran || unit.is_discarded() || unit.value("verdict", "") != "PASS") {
            std::fprintf(stderr, "check_bench: the check failed: %s\n", out.c_str());
            return 1;
        }
        if (i == 0)
            continue; // the page cache and the new database's layout
        checkMs.push_back(unit["ms"].get<double>());
        processMs.push_back(whole);
        recordMs.push_back(unit["record"]["ms"].get<double>());
        recordShare.push_back(unit["record"]["ms"].get<double>() / unit["ms"].get<double>());
    }
    std::printf("kav check, built-in plan, pty at 115200 (--wire-only), %d runs (medians):\n"
                "  the check %.1f ms, the whole process %.1f ms; the plan's wire time %.1f ms "
                "(%zu exchanges); %.3fx, process %.3fx (target <= 1.15x)\n",
                kRuns, median(checkMs), median(processMs), planWire, frames,
                median(checkMs) / planWire, median(processMs) / planWire);
    std::printf("recording one unit (one transaction, synchronous=FULL, in %s):\n"
                "  %.2f ms, %.3f%% of the check it records (target < 2%%)\n",
                folder.c_str(), median(recordMs), 100.0 * median(recordShare));

    const fs::path big = folder / "big.sqlite";
    bool ok = bench::runToEnd({KAV_PATH, "check", "--db", big.string()}) && fillRecord(big);
    if (!ok) {
        std::fprintf(stderr, "check_bench: could not fill the large record\n");
        return 1;
    }
    std::vector<double> summaryMs, htmlMs, csvMs;
    const std::vector<std::string> summary{KAV_PATH, "results", "--summary", "--db", big.string()};
    const std::vector<std::string> html{KAV_PATH,     "results", "--db",
                                        big.string(), "--html",  (folder / "report.html").string()};
    const std::vector<std::string> csv{KAV_PATH, "results", "--csv", "--db", big.string()};
    timedRun(summary, &ok);
    for (int i = 0; i < 5; ++i) {
        summaryMs.push_back(timedRun(summary, &ok));
        htmlMs.push_back(timedRun(html, &ok));
        csvMs.push_back(timedRun(csv, &ok));
    }
    if (!ok) {
        std::fprintf(stderr, "check_bench: results failed on the large record\n");
        return 1;
    }
    std::printf("kav results over 100,000 units (800,000 read times), whole process, 5 runs "
                "(medians):\n  --summary %.1f ms (target < 1000 ms); --html %.1f ms; --csv "
                "%.1f ms; database %.1f MiB\n",
                median(summaryMs), median(htmlMs), median(csvMs),
                double(fs::file_size(big)) / (1024.0 * 1024.0));
    fs::remove_all(folder);
    return 0;
}
