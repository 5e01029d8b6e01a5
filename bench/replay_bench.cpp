// The replaying reader against the recording it replays:
// - a card read recorded on a paced reader (realistic SAM and wire times)
//   and replayed at --speed 1: its duration against the recorded one's
//   (target: within 2%);
// - a soak recorded on the same reader and replayed at --speed 0: how many
//   times faster than recorded (target: at least 20).
// Durations are the span of the frames in each run's own library trace.
#include "capture/capture.h"
#include "child_process.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// From the first frame to the last, in ms.
double frameSpanMs(const fs::path &trace) {
    const kav::capture::Capture capture = kav::capture::readCapture(trace.string());
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    std::int64_t last = std::numeric_limits<std::int64_t>::min();
    for (const auto &r : capture.records) {
        if (r.kind == kav::capture::Record::Kind::Event)
            continue;
        first = std::min(first, r.timeNs);
        last = std::max(last, r.timeNs);
    }
    return last > first ? static_cast<double>(last - first) / 1e6 : 0;
}

// kav with the library's trace into `trace`, on the device.
bool runKav(const std::vector<std::string> &args, const std::string &device,
            const fs::path &trace) {
    setenv("KAVIDCARD_DEVICES", ("defaults=off,1=" + device).c_str(), 1);
    setenv("KAVIDCARD_TRACE", trace.c_str(), 1);
    const bool ok = bench::runToEnd(args);
    unsetenv("KAVIDCARD_TRACE");
    return ok;
}

// Records `args` on a paced reader, then replays it at `speed`: the two spans.
bool recordAndReplay(const std::vector<std::string> &args, const char *speed,
                     const fs::path &folder, const std::string &name, double *recorded,
                     double *replayed) {
    const fs::path original = folder / (name + ".trace");
    const fs::path again = folder / (name + ".replayed.trace");
    {
        bench::ServedReader paced(KAV_VIRTUAL_READER_TOOL, {"--pace"});
        if (paced.path().empty() || !runKav(args, paced.path(), original))
            return false;
    }
    bench::Child tool = bench::spawnReading(
        {KAV_VIRTUAL_READER_TOOL, "--replay", original.string(), "--speed", speed}, true);
    const std::string pty = bench::firstLine(tool);
    const bool ok = !pty.empty() && runKav(args, pty, again);
    if (tool.pid > 0)
        ::kill(tool.pid, SIGTERM);
    bench::succeeded(tool);
    *recorded = frameSpanMs(original);
    *replayed = frameSpanMs(again);
    return ok && *recorded > 0 && *replayed > 0;
}

} // namespace

int main() {
    const fs::path folder =
        fs::temp_directory_path() / ("replay_bench_" + std::to_string(getpid()));
    fs::create_directories(folder);
    const std::string photos = folder.string();
    int failed = 0;

    // A read, five times: the median of the ratios.
    std::vector<double> ratios;
    double recordedMs = 0;
    double replayedMs = 0;
    for (int i = 0; i < 5; ++i) {
        if (!recordAndReplay({KAV_PATH, "read", "--json", "--photo-dir", photos}, "1", folder,
                             "read" + std::to_string(i), &recordedMs, &replayedMs)) {
            std::fprintf(stderr, "replay_bench: the read did not record or replay\n");
            return 1;
        }
        ratios.push_back(replayedMs / recordedMs);
    }
    std::sort(ratios.begin(), ratios.end());
    const double readRatio = ratios[ratios.size() / 2];
    const bool readOk = std::fabs(readRatio - 1.0) <= 0.02;
    std::printf("replayed read at --speed 1: %.1f ms against %.1f ms recorded, ratio %.4f "
                "(median of 5; target within 2%%) %s\n",
                replayedMs, recordedMs, readRatio, readOk ? "ok" : "MISSED");
    failed += readOk ? 0 : 1;

    double soakRecorded = 0;
    double soakReplayed = 0;
    if (!recordAndReplay({KAV_PATH, "soak", "--count", "10", "--json", "--photo-dir", photos}, "0",
                         folder, "soak", &soakRecorded, &soakReplayed)) {
        std::fprintf(stderr, "replay_bench: the soak did not record or replay\n");
        return 1;
    }
    const double faster = soakRecorded / soakReplayed;
    const bool soakOk = faster >= 20;
    std::printf("replayed soak of 10 at --speed 0: %.1f ms against %.1f ms recorded, %.1fx "
                "faster (target at least 20x) %s\n",
                soakReplayed, soakRecorded, faster, soakOk ? "ok" : "MISSED");
    failed += soakOk ? 0 : 1;

    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return failed == 0 ? 0 : 2;
}
