// A soak recorded against a faulty reader and replayed: the replay must give
// the host the same outcomes and the same retries, from the text trace and
// from the same capture as pcapng.
#include "capture/capture.h"
#include "process.h"
#include "reader_tool.h"
#include "test_files.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using test::ToolReader;

struct Soak {
    Json summary;
    int exit = -1;
};

Soak soak(const test::Vars &devices, const std::string &interval, const fs::path &photos,
          const fs::path &trace = {}, const fs::path &capture = {}) {
    test::Vars vars = devices;
    if (!trace.empty())
        vars["KAVIDCARD_TRACE"] = trace.string();
    std::vector<std::string> args = {"soak",   "--count", "5",           "--interval",
                                     interval, "--json",  "--photo-dir", photos.string()};
    if (!capture.empty())
        args.insert(args.begin(), {"--capture", capture.string()});
    const test::Outcome run = test::run(KAV_CLI, args, vars, std::chrono::seconds{60});
    Json summary = Json::parse(run.out, nullptr, false);
    EXPECT_FALSE(summary.is_discarded()) << run.out << run.err;
    return {summary, run.exit};
}

// What a replay must reproduce: the outcomes and the retries, not the times.
Json outcomes(const Soak &s) {
    Json steps = Json::array();
    for (const Json &step : s.summary.value("failedSteps", Json::array()))
        steps.push_back({step["operation"], step["code"], step["count"]});
    return {{"exit", s.exit},
            {"ok", s.summary.value("ok", -1)},
            {"failures", s.summary.value("failures", Json())},
            {"steps", steps},
            {"retries", s.summary.value("retries", -1)}};
}

struct FaultCase {
    const char *name;
    std::vector<std::string> faults;
    const char *interval;                    // past the pty's reopening when the line fails
    enum { Clean, Retries, Failures } shows; // what the faults cost the recorded soak
};

TEST(KavReplay, AFaultySoakReplaysToTheSameOutcomesAndRetries) {
    const std::vector<FaultCase> cases = {
        {"bad checksum", {"--fault", "bad-checksum", "--every", "4"}, "0", FaultCase::Retries},
        {"split", {"--fault", "split", "--every", "3"}, "0", FaultCase::Clean},
        {"truncated", {"--fault", "truncated", "--every", "6"}, "0", FaultCase::Retries},
        {"disconnect mid-frame",
         {"--fault", "disconnect-mid-frame", "--every", "9"},
         "400",
         FaultCase::Failures},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.name);
        test::TempFolder folder;
        const fs::path trace = folder.path() / "soak.trace";
        const fs::path captured = folder.path() / "captured.pcapng";
        Json recorded;
        {
            ToolReader faulty(c.faults);
            ASSERT_FALSE(faulty.path().empty());
            recorded = outcomes(soak(faulty.devices(), c.interval, folder.path(), trace, captured));
        }
        // The faults did hit the recording: the replay has something to keep.
        if (c.shows == FaultCase::Failures) {
            EXPECT_FALSE(recorded["steps"].empty()) << recorded;
        }
        if (c.shows == FaultCase::Retries) {
            EXPECT_GT(recorded["retries"].get<int>(), 0) << recorded;
        }
        if (c.shows == FaultCase::Clean) {
            EXPECT_EQ(recorded["ok"], 5) << recorded;
        }

        const fs::path pcapng = folder.path() / "soak.pcapng";
        {
            std::ofstream out(pcapng, std::ios::binary);
            kav::capture::writePcapng(kav::capture::readCapture(trace.string()), out);
        }
        for (const fs::path &file : {trace, pcapng, captured}) {
            SCOPED_TRACE(file.filename().string());
            ToolReader replay({"--replay", file.string(), "--strict-exit"});
            ASSERT_FALSE(replay.path().empty());
            EXPECT_EQ(outcomes(soak(replay.devices(), c.interval, folder.path())), recorded);
            EXPECT_EQ(replay.err().find("no recorded answer"), std::string::npos) << replay.err();
            // The same, served in process by the library itself.
            const test::Vars inProcess{
                {"KAVIDCARD_DEVICES", "defaults=off,1=replay:" + file.string()}};
            EXPECT_EQ(outcomes(soak(inProcess, c.interval, folder.path())), recorded)
                << "in process";
        }
    }
}

// A host that does something else than the recorded one gets no answer, is
// told what was expected, and with --strict-exit the tool ends with 3.
TEST(KavReplay, ACommandWithoutAMatchIsAnsweredWithNothing) {
    test::TempFolder folder;
    const fs::path trace = folder.path() / "status.trace";
    {
        ToolReader reader;
        ASSERT_FALSE(reader.path().empty());
        test::Vars vars = reader.devices();
        vars["KAVIDCARD_TRACE"] = trace.string();
        ASSERT_EQ(test::run(KAV_CLI, {"status", "--json"}, vars).exit, 0);
    }
    struct Case {
        std::vector<std::string> options;
        int exit; // of the tool once the soak is done: 3 or still serving
    };
    for (const Case &c : std::vector<Case>{{{}, -1}, {{"--strict-exit"}, 3}}) {
        SCOPED_TRACE(c.exit);
        std::vector<std::string> options = {"--replay", trace.string(), "--speed", "0"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        ToolReader replay(options);
        ASSERT_FALSE(replay.path().empty());
        // The recording opened the port (SAM status) and asked the status
        // again; a read sets the max RF bytes where the recording asks the
        // status.
        const test::Outcome read = test::run(
            KAV_CLI, {"read", "--json", "--photo-dir", folder.path().string()}, replay.devices());
        EXPECT_NE(read.exit, 0) << read.out;
        EXPECT_NE(replay.err().find("no recorded answer: expected"), std::string::npos)
            << replay.err();
        EXPECT_NE(replay.err().find("expected AA AA AA 96 69 00 03 11 FF ED, received AA AA AA 96 "
                                    "69 00 04 61 FF 50 CA"),
                  std::string::npos)
            << replay.err();
        if (c.exit == 3) {
            EXPECT_EQ(replay.wait(std::chrono::seconds{5}), 3);
        } else {
            EXPECT_TRUE(replay.running());
        }
    }
}

} // namespace
