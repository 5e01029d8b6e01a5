// Figures for the reader library over real ttys:
// - a full card read on a pty paced at the wire speed, against the wire time
//   of its frames and the SAM's own work;
// - Kav_FindReader with many silent devices, against one silent port's cost.
#include "KavIDCardAPI.h"
#include "protocol/protocol.h"
#include "testing.h"
#include "virtual/pty_server.h"
#include "virtual/virtual_reader.h"

#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace proto = kav::proto;
using std::chrono::duration;
using std::chrono::milliseconds;

namespace {

constexpr int kPort = 5;
constexpr int kReadMaxRf = 80;

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

void findAmongSilentDevices(benchmark::State &state) {
    const int silent = static_cast<int>(state.range(0));
    SilentDevices devices(silent);
    if (static_cast<int>(devices.paths.size()) != silent) {
        state.SkipWithError("not enough ptys");
        return;
    }
    // The reader sits on the highest port, behind every silent one.
    std::string map = "defaults=off";
    for (int i = 0; i < silent; ++i)
        map += "," + std::to_string(i + 1) + "=" + devices.paths[static_cast<std::size_t>(i)];
    map += "," + std::to_string(silent + 1) + "=virtual";
    setenv("KAVIDCARD_DEVICES", map.c_str(), 1);
    for (auto _ : state) {
        state.PauseTiming();
        kav::testing::resetLibrary(); // no remembered rates
        state.ResumeTiming();
        if (Kav_FindReader() != silent + 1)
            state.SkipWithError("reader not found");
    }
    // What one silent port costs alone: a status timeout at each rate.
    std::chrono::milliseconds onePort{0};
    for (const proto::BaudRate &rate : proto::kBaudRates)
        onePort += proto::commandTimeout(proto::kSamStatus, rate.baud);
    state.counters["one_silent_port_ms"] = static_cast<double>(onePort.count());
    state.counters["status_timeout_ms"] =
        static_cast<double>(proto::commandTimeout(proto::kSamStatus, proto::kDefaultBaud).count());
}
BENCHMARK(findAmongSilentDevices)
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

} // namespace
