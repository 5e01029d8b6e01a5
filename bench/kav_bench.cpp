// kav as a whole process, against references measured in the same run:
// - `kav read --json` on a pty whose virtual reader moves bytes at 115200
//   baud and answers at once, against the wire time of the read sequence's
//   frames plus the start and exit of a C "hello world" process;
// - `kav soak --count 200` on the same reader, its reads per minute against
//   the wire-time limit (60000 / one read sequence's wire time in ms);
// - the same soak on a noisy line (one answer in ten with a bad checksum),
//   its reads that succeed and its reads per minute against the clean soak's.
#include "child_process.h"
#include "protocol/protocol.h"
#include "read_sequence.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
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

    // The same read recording a capture, alternating with the plain one so
    // that both meet the same load.
    const fs::path capture = folder / "read.pcapng";
    std::vector<std::string> captured{KAV_PATH, "--capture", capture.string()};
    captured.insert(captured.end(), read.begin() + 1, read.end());
    std::vector<double> plainMs;
    std::vector<double> capturedMs;
    timedRun(captured, &ok);
    for (int i = 0; i < kRuns; ++i) {
        plainMs.push_back(timedRun(read, &ok));
        capturedMs.push_back(timedRun(captured, &ok));
    }
    if (!ok) {
        std::fprintf(stderr, "kav_bench: a run with --capture failed\n");
        return 1;
    }
    std::printf(
        "kav --capture FILE read --json, %d runs alternating (medians):\n"
        "  %.1f ms against %.1f ms without; %.3fx (target <= 1.02x), %ju bytes of capture\n",
        kRuns, bench::median(capturedMs), bench::median(plainMs),
        bench::median(capturedMs) / bench::median(plainMs),
        static_cast<std::uintmax_t>(fs::file_size(capture)));

    constexpr int kSoak = 200;
    struct Soak {
        bool ran = false;
        nlohmann::json summary;
        double ms = 0;
    };
    const auto soak = [&](const std::string &device) {
        setenv("KAVIDCARD_DEVICES", ("defaults=off,1=" + device).c_str(), 1);
        std::string out;
        Soak s;
        const auto start = Clock::now();
        s.ran = bench::runToEnd({KAV_PATH, "soak", "--count", std::to_string(kSoak), "--json",
                                 "--photo-dir", folder.string()},
                                &out) ||
                true; // a soak with failures exits non-zero: judged by its summary
        s.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        s.summary = nlohmann::json::parse(out, nullptr, false);
        if (s.summary.is_discarded() || !s.summary.contains("ok")) {
            std::fprintf(stderr, "kav_bench: soak gave no summary: %s\n", out.c_str());
            s.ran = false;
        }
        return s;
    };
    const Soak clean = soak(reader.path());
    if (!clean.ran || clean.summary.value("ok", 0) != kSoak) {
        std::fprintf(stderr, "kav_bench: the clean soak failed\n");
        return 1;
    }
    const double limit = 60000.0 / wireMs;
    const double perMinute = clean.summary["readsPerMinute"].get<double>();
    std::printf("kav soak --count %d, same reader:\n"
                "  %.1f reads/min (the process: %.0f ms in all, median read %.1f ms); "
                "wire-time limit %.1f reads/min; %.3fx (target >= 0.95x)\n",
                kSoak, perMinute, clean.ms, clean.summary["ms"]["median"].get<double>(), limit,
                perMinute / limit);

    bench::ServedReader noisy(KAV_VIRTUAL_READER_TOOL,
                              {"--fault", "bad-checksum", "--every", "10"});
    const Soak damaged = soak(noisy.path());
    if (!damaged.ran) {
        std::fprintf(stderr, "kav_bench: the noisy soak failed\n");
        return 1;
    }
    const int okNoisy = damaged.summary.value("ok", 0);
    const double noisyPerMinute = damaged.summary["readsPerMinute"].get<double>();
    std::printf("kav soak --count %d, one answer in ten with a bad checksum:\n"
                "  %d of %d reads ok (%.1f%%, target >= 99%%), %d retries; %.1f reads/min, "
                "%.3fx the clean soak's %.1f (target >= 0.85x)\n",
                kSoak, okNoisy, kSoak, 100.0 * okNoisy / kSoak,
                damaged.summary.value("retries", -1), noisyPerMinute, noisyPerMinute / perMinute,
                perMinute);
    fs::remove_all(folder);
    return 0;
}
