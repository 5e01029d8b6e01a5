// Kav_FindReader over real ttys: 32 mapped devices that never answer and a
// reader on a pty behind them, at 115200 and then switched to 9600, against
// one status-command timeout of the library measured in the same run.
#include "KavIDCardAPI.h"
#include "link/serial_link.h"
#include "protocol/protocol.h"
#include "protocol/transact.h"
#include "testing.h"
#include "virtual/pty_server.h"
#include "virtual/virtual_reader.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace proto = kav::proto;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSilent = 32;

// Ptys nobody answers on: the masters are held open and never read.
struct SilentDevices {
    std::vector<int> masters;
    std::vector<std::string> paths;
    explicit SilentDevices(int count) {
        for (int i = 0; i < count; ++i) {
            const int master = posix_openpt(O_RDWR | O_NOCTTY);
            if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
                break;
            masters.push_back(master);
            paths.emplace_back(ptsname(master));
        }
    }
    ~SilentDevices() {
        for (int fd : masters)
            close(fd);
    }
};

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Mean milliseconds per case, for the ratios printed at the end.
std::map<std::string, double> results;

// The reference: one status command to a silent device, waited out.
void statusTimeout(benchmark::State &state) {
    SilentDevices device(1);
    kav::SerialLink link;
    if (device.paths.empty() || link.open(device.paths[0], proto::kDefaultBaud) != KAV_OK) {
        state.SkipWithError("no pty");
        return;
    }
    Clock::duration total{};
    for (auto _ : state) {
        proto::Response answer;
        const auto start = Clock::now();
        const int result =
            proto::transact(link, proto::kSamStatus, {}, answer,
                            proto::commandTimeout(proto::kSamStatus, proto::kDefaultBaud));
        total += Clock::now() - start;
        if (result != KAV_E_TIMEOUT)
            state.SkipWithError("a silent device answered");
    }
    results["timeout"] = ms(total) / double(state.iterations());
}

void findBehindSilentDevices(benchmark::State &state) {
    const auto baud = static_cast<std::uint32_t>(state.range(0));
    SilentDevices devices(kSilent);
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kav-find-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    auto reader = std::make_shared<kav::virt::VirtualReader>();
    reader->setPacing(kav::virt::VirtualReader::Pacing::Wire);
    reader->setBaudRate(baud);
    kav::virt::PtyServer server(reader);
    const std::string link = (folder / "reader").string();
    server.setLinkPath(link);
    if (static_cast<int>(devices.paths.size()) != kSilent || !server.start()) {
        state.SkipWithError("not enough ptys");
        return;
    }
    // The reader sits on the highest port, behind every silent one.
    std::string map = "defaults=off";
    for (int i = 0; i < kSilent; ++i)
        map += "," + std::to_string(i + 1) + "=" + devices.paths[static_cast<std::size_t>(i)];
    map += "," + std::to_string(kSilent + 1) + "=" + link;
    setenv("KAVIDCARD_DEVICES", map.c_str(), 1);
    Clock::duration total{};
    for (auto _ : state) {
        state.PauseTiming();
        kav::testing::resetLibrary(); // no remembered rates
        state.ResumeTiming();
        const auto start = Clock::now();
        const int found = Kav_FindReader();
        total += Clock::now() - start;
        if (found != kSilent + 1)
            state.SkipWithError("reader not found");
    }
    server.stop();
    std::filesystem::remove_all(folder);
    results["find at " + std::to_string(baud)] = ms(total) / double(state.iterations());
}

} // namespace

BENCHMARK(statusTimeout)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(findBehindSilentDevices)
    ->Arg(115200)
    ->Arg(9600)
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double timeout = results["timeout"];
    if (timeout <= 0)
        return 0;
    std::printf("\nKav_FindReader, %d silent devices and the reader behind them "
                "(reference: one status timeout, %.1f ms)\n",
                kSilent, timeout);
    const struct {
        std::uint32_t baud;
        double target;
    } cases[] = {{115200, 1.5}, {9600, 5.5}};
    for (const auto &c : cases) {
        const auto it = results.find("find at " + std::to_string(c.baud));
        if (it != results.end())
            std::printf("  reader at %6u baud: %.1f ms, %.2fx (target <= %.1fx)\n", c.baud,
                        it->second, it->second / timeout, c.target);
    }
    return 0;
}
