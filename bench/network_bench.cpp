// Network ports and many ports at once, against references measured in the
// same run:
// - the read sequence (open, 80 bytes, find, select, read, close) through
//   ser2net on 127.0.0.1 (RFC 2217) to a reader answering at once at 115200,
//   against the same read on a pty directly;
// - `kav soak` on eight pty readers at once, its reads per minute in all,
//   against eight times one reader's wire-time limit;
// - Kav_FindReader with eight network ports, four of them addresses whose
//   connections never complete, three refusing, one reader behind ser2net,
//   against one status timeout;
// - the library's calls on different ports at work together: the same read
//   sequences on eight in-process virtual readers, one thread per port,
//   against the same reads one port after another.
#include "KavIDCardAPI.h"
#include "link/serial_link.h"
#include "network_server.h"
#include "protocol/protocol.h"
#include "protocol/transact.h"
#include "read_sequence.h"
#include "reader_tool.h"
#include "test_pty.h"
#include "testing.h"
#include "virtual/virtual_reader.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
namespace proto = kav::proto;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void useDevices(const std::string &devices, const fs::path &photos) {
    setenv("KAVIDCARD_DEVICES", ("defaults=off," + devices).c_str(), 1);
    kav::testing::resetLibrary();
    Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, photos.c_str());
}

// The dialog's read sequence; whether it succeeded.
bool readSequence(int port) {
    bool ok = Kav_OpenPort(port) == KAV_OK;
    unsigned char find[KAV_FIND_BUFFER_SIZE] = {};
    unsigned char select[KAV_SELECT_BUFFER_SIZE] = {};
    IDCardRecord record{};
    ok = ok && Kav_SetMaxRFByte(port, 80, 0) == KAV_OK;
    ok = ok && Kav_StartFindIDCard(port, find, 0) == KAV_OK;
    ok = ok && Kav_SelectIDCard(port, select, 0) == KAV_OK;
    ok = ok && Kav_ReadMsg(port, 0, &record) == KAV_OK;
    Kav_ClosePort(port);
    return ok;
}

// One status command to a device that never answers, waited out.
double statusTimeoutMs() {
    test::Pty silent;
    kav::SerialLink link;
    if (link.open(silent.slave(), proto::kDefaultBaud) != KAV_OK)
        return 0;
    std::vector<double> runs;
    for (int i = 0; i < 5; ++i) {
        proto::Response answer;
        const auto start = Clock::now();
        proto::transact(link, proto::kSamStatus, {}, answer,
                        proto::commandTimeout(proto::kSamStatus, proto::kDefaultBaud));
        runs.push_back(msSince(start));
    }
    return median(runs);
}

bool readThroughSer2net(const fs::path &photos) {
    test::ToolReader direct({"--wire-only"});
    test::ToolReader served({"--wire-only"});
    test::Ser2net server(served.path());
    if (!direct.running() || !served.running() || !server.running()) {
        std::fprintf(stderr, "network_bench: no reader or no ser2net\n");
        return false;
    }
    useDevices("1=" + direct.path() + ",2=" + server.url(), photos);
    constexpr int kRuns = 30;
    std::vector<double> pty, network;
    bool ok = readSequence(1) && readSequence(2); // first opens ask the rate
    for (int i = 0; i < kRuns && ok; ++i) {
        auto start = Clock::now();
        ok = readSequence(1);
        pty.push_back(msSince(start));
        start = Clock::now();
        ok = readSequence(2) && ok;
        network.push_back(msSince(start));
    }
    if (!ok) {
        std::fprintf(stderr, "network_bench: a read failed\n");
        return false;
    }
    std::printf("read sequence through ser2net (rfc2217, 127.0.0.1), reader at 115200 answering "
                "at once, %d runs (medians):\n"
                "  %.1f ms; the same read on the pty directly %.1f ms; %.3fx (target <= 1.10x); "
                "wire time %.1f ms\n",
                kRuns, median(network), median(pty), median(network) / median(pty),
                bench::readSequenceWireMs());
    return true;
}

bool soakEightReaders(const fs::path &photos) {
    constexpr int kReaders = 8;
    constexpr int kCount = 40;
    std::vector<std::unique_ptr<test::ToolReader>> readers;
    std::string devices = "defaults=off";
    for (int port = 1; port <= kReaders; ++port) {
        readers.push_back(
            std::make_unique<test::ToolReader>(std::vector<std::string>{"--wire-only"}));
        if (!readers.back()->running())
            return false;
        devices += "," + std::to_string(port) + "=" + readers.back()->path();
    }
    const test::Outcome run = test::run(KAV_PATH,
                                        {"soak", "--count", std::to_string(kCount), "--port", "1-8",
                                         "--json", "--photo-dir", photos.string()},
                                        {{"KAVIDCARD_DEVICES", devices}}, std::chrono::minutes{5});
    const nlohmann::json result = nlohmann::json::parse(run.out, nullptr, false);
    if (run.exit != 0 || !result.is_array() || result.empty()) {
        std::fprintf(stderr, "network_bench: the soak failed: %s %s\n", run.out.c_str(),
                     run.err.c_str());
        return false;
    }
    const nlohmann::json &total = result.back();
    const double perMinute = total["readsPerMinute"].get<double>();
    const double limit = kReaders * 60000.0 / bench::readSequenceWireMs();
    std::printf("kav soak --count %d --port 1-8, eight pty readers at 115200 answering at once:\n"
                "  %.1f reads/min in all (%d of %d ok); limit 8 x %.1f = %.1f reads/min; %.3fx "
                "(target >= 0.90x)\n",
                kCount, perMinute, total["ok"].get<int>(), total["count"].get<int>(),
                limit / kReaders, limit, perMinute / limit);
    return true;
}

bool discoveryBesideBlackHoles(const fs::path &photos) {
    test::ToolReader reader;
    test::Ser2net server(reader.path());
    const test::BlackHole hole;
    if (!reader.running() || !server.running())
        return false;
    std::string devices;
    for (int port = 1; port <= 4; ++port)
        devices +=
            std::to_string(port) + "=rfc2217://127.0.0.1:" + std::to_string(hole.port()) + ",";
    for (int port = 5; port <= 7; ++port)
        devices +=
            std::to_string(port) + "=rfc2217://127.0.0.1:" + std::to_string(test::freePort()) + ",";
    devices += "8=" + server.url();
    const double timeout = statusTimeoutMs();
    std::vector<double> runs;
    for (int i = 0; i < 10; ++i) {
        useDevices(devices, photos); // no remembered rates
        const auto start = Clock::now();
        const int found = Kav_FindReader();
        runs.push_back(msSince(start));
        if (found != 8) {
            std::fprintf(stderr, "network_bench: discovery found port %d\n", found);
            return false;
        }
    }
    std::printf("Kav_FindReader, 8 network ports: 4 never connecting, 3 refusing, the reader "
                "behind ser2net, 10 runs (median):\n"
                "  %.1f ms; one status timeout %.1f ms; %.2fx (target <= 2x)\n",
                median(runs), timeout, median(runs) / timeout);
    return true;
}

bool portsInParallel(const fs::path &photos) {
    constexpr int kPorts = 8;
    constexpr int kReads = 20;
    std::string devices;
    for (int port = 1; port <= kPorts; ++port) {
        devices += (port > 1 ? "," : "") + std::to_string(port) + "=virtual";
    }
    useDevices(devices, photos);
    // Each virtual reader takes a real reader's time for its work and wire.
    for (int port = 1; port <= kPorts; ++port)
        kav::testing::virtualReader(port)->setPacing(kav::virt::VirtualReader::Pacing::Wire);
    bool ok = true;
    auto start = Clock::now();
    for (int port = 1; port <= kPorts; ++port)
        for (int i = 0; i < kReads; ++i)
            ok = readSequence(port) && ok;
    const double oneAfterAnother = msSince(start);
    std::vector<std::thread> threads;
    std::vector<char> threadOk(kPorts, 1);
    start = Clock::now();
    for (int port = 1; port <= kPorts; ++port)
        threads.emplace_back([&, port] {
            for (int i = 0; i < kReads; ++i)
                threadOk[static_cast<std::size_t>(port - 1)] &= readSequence(port) ? 1 : 0;
        });
    for (std::thread &t : threads)
        t.join();
    const double together = msSince(start);
    ok = ok && std::all_of(threadOk.begin(), threadOk.end(), [](char c) { return c != 0; });
    if (!ok) {
        std::fprintf(stderr, "network_bench: a read failed\n");
        return false;
    }
    std::printf("%d in-process readers at wire speed, %d read sequences each:\n"
                "  a thread per port %.0f ms; one port after another %.0f ms; %.2fx faster "
                "(a lock over every call: about 1x)\n",
                kPorts, kReads, together, oneAfterAnother, oneAfterAnother / together);
    return true;
}

} // namespace

int main() {
    if (!test::ser2netInstalled()) {
        std::fprintf(stderr, "network_bench: ser2net is not installed (scripts/setup.sh)\n");
        return 1;
    }
    const fs::path photos =
        fs::temp_directory_path() / ("network_bench_" + std::to_string(getpid()));
    fs::create_directories(photos);
    const bool ok = readThroughSer2net(photos) && soakEightReaders(photos) &&
                    discoveryBesideBlackHoles(photos) && portsInParallel(photos);
    fs::remove_all(photos);
    return ok ? 0 : 1;
}
