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

double ms(std::chrono::microseconds d) { return duration<double, std::milli>(d).count(); }

// Bytes on the wire for one command and its success answer.
std::size_t exchangeBytes(proto::Command command, std::size_t dataOut, std::size_t dataBack) {
    const std::vector<std::uint8_t> out(dataOut);
    const std::vector<std::uint8_t> back(dataBack);
    return proto::encodeCommand(command, out).size() +
           proto::encodeResponse(0, 0, proto::kSuccess, back).size();
}

void fullRead(benchmark::State &state) {
    QTemporaryDir folder;
    auto reader = std::make_shared<kav::virt::VirtualReader>();
    reader->setPaced(true);
    kav::virt::PtyServer server(reader);
    const std::string link = folder.filePath("tty").toStdString();
    server.setLinkPath(link);
    if (!server.start()) {
        state.SkipWithError("no pty");
        return;
    }
    setenv("KAVIDCARD_DEVICES", ("defaults=off," + std::to_string(kPort) + "=" + link).c_str(), 1);
    kav::testing::resetLibrary();
    Kav_SetPhotoPath(2, folder.path().toLocal8Bit().constData());
    if (Kav_FindReader() != kPort) {
        state.SkipWithError("reader not found");
        return;
    }
    for (auto _ : state) {
        Kav_OpenPort(kPort);
        Kav_SetMaxRFByte(kPort, kReadMaxRf, 0);
        unsigned char find[KAV_FIND_BUFFER_SIZE];
        unsigned char select[KAV_SELECT_BUFFER_SIZE];
        Kav_StartFindIDCard(kPort, find, 0);
        Kav_SelectIDCard(kPort, select, 0);
        IDCardRecord record;
        const int result = Kav_ReadMsg(kPort, 0, &record);
        Kav_ClosePort(kPort);
        if (result != KAV_OK)
            state.SkipWithError("read failed");
    }
    const std::size_t bytes = exchangeBytes(proto::kSetMaxRf, 1, 0) +
                              exchangeBytes(proto::kFindCard, 0, proto::kFindDataSize) +
                              exchangeBytes(proto::kSelectCard, 0, proto::kSelectDataSize) +
                              exchangeBytes(proto::kReadCard, 0, proto::kReadDataSize);
    const auto wire = proto::wireTime(bytes, proto::kDefaultBaud);
    // The paced SAM's own time: the card read, find, select and the setting.
    const auto work = kav::virt::VirtualReader::cardReadTime(kReadMaxRf) + milliseconds{20} +
                      milliseconds{10} + milliseconds{2};
    state.counters["wire_ms"] = ms(wire);
    state.counters["sam_work_ms"] = ms(work);
    state.counters["wire_bytes"] = static_cast<double>(bytes);
    server.stop();
}
BENCHMARK(fullRead)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

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
