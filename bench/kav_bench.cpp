// kav as a whole process, against references measured in the same run:
// - `kav read --json` on a pty whose virtual reader moves bytes at 115200
//   baud and answers at once, against the wire time of the read sequence's
//   frames plus the start and exit of a C "hello world" process;
// - `kav soak --count 200` on the same reader, its reads per minute against
//   the wire-time limit (60000 / one read sequence's wire time in ms).
#include "child_process.h"
#include "protocol/protocol.h"
#include "read_sequence.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Wall time of one run of the program, in ms.
double timedRun(const std::vector<std::string> &args, bool *ok) {
    const auto start = Clock::now();
    std::string out;
    *ok = bench::runToEnd(args, &out) && *ok;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main() {
    namespace proto = kav::proto;
    namespace fs = std::filesystem;
    bench::ServedReader reader(KAV_VIRTUAL_READER_TOOL);
    if (reader.path().empty()) {
        std::fprintf(stderr, "kav_bench: no virtual reader\n");
        return 1;
    }
    setenv("KAVIDCARD_DEVICES", ("defaults=off,1=" + reader.path()).c_str(), 1);
    const fs::path folder = fs::temp_directory_path() / ("kav_bench_" + std::to_string(getpid()));
    fs::create_directories(folder);

    const std::size_t bytes = bench::readSequenceBytes();
    const double wireMs = bench::readSequenceWireMs();

    constexpr int kRuns = 30;
    bool ok = true;
    const std::vector<std::string> hello{HELLO_PATH};
    const std::vector<std::string> read{KAV_PATH, "read", "--json", "--photo-dir", folder.string()};
    timedRun(hello, &ok); // warm the page cache for both
    timedRun(read, &ok);
    // kav's own start, to tell it from the read in the figure.
    const std::vector<std::string> version{KAV_PATH, "--version"};
    std::vector<double> helloMs;
    std::vector<double> readMs;
    std::vector<double> versionMs;
    for (int i = 0; i < kRuns; ++i) {
        helloMs.push_back(timedRun(hello, &ok));
        readMs.push_back(timedRun(read, &ok));
        versionMs.push_back(timedRun(version, &ok));
    }
    if (!ok) {
        std::fprintf(stderr, "kav_bench: a run failed\n");
        return 1;
    }
    const double reference = wireMs + bench::median(helloMs);
    std::printf("kav read --json, whole process, pty at 115200, %d runs (medians):\n"
                "  %.1f ms; reference %.1f ms = wire time %.1f ms (%zu bytes) + C hello world "
                "%.2f ms; %.3fx (target <= 1.10x)\n"
                "  kav --version alone (start and exit): %.2f ms\n",
                kRuns, bench::median(readMs), reference, wireMs, bytes, bench::median(helloMs),
                bench::median(readMs) / reference, bench::median(versionMs));

    constexpr int kSoak = 200;
    std::string out;
    const auto start = Clock::now();
    const bool soaked = bench::runToEnd({KAV_PATH, "soak", "--count", std::to_string(kSoak),
                                         "--json", "--photo-dir", folder.string()},
                                        &out);
    const double soakMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const nlohmann::json summary = nlohmann::json::parse(out, nullptr, false);
    if (!soaked || summary.is_discarded() || summary.value("ok", 0) != kSoak) {
        std::fprintf(stderr, "kav_bench: soak failed: %s\n", out.c_str());
        return 1;
    }
    const double limit = 60000.0 / wireMs;
    const double perMinute = summary["readsPerMinute"].get<double>();
    std::printf("kav soak --count %d, same reader:\n"
                "  %.1f reads/min (the process: %.0f ms in all, median read %.1f ms); "
                "wire-time limit %.1f reads/min; %.3fx (target >= 0.95x)\n",
                kSoak, perMinute, soakMs, summary["ms"]["median"].get<double>(), limit,
                perMinute / limit);
    fs::remove_all(folder);
    return 0;
}
