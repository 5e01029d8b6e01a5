// kav check --on-verdict and the tally a run ends with: the built binary on
// in-process virtual readers, the command a real /bin/sh, what it was
// given read back from the files it wrote.
#include "../../cli/tally.h"
#include "process.h"
#include "reader_tool.h"
#include "test_files.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using test::Outcome;
using test::TempFolder;

const std::string kCards = KAV_CARDS_DIR;
const std::string kPlan = R"({"name": "hooked", "steps": [{"step": "sam-status"},
    {"step": "sam-id"}, {"step": "reads", "count": 1, "limitMs": 5000, "idNumber": "990102198805120135"}]})";

std::string fileText(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every line of standard output as JSON; a line that is not fails the test.
std::vector<Json> lines(const std::string &out) {
    std::vector<Json> parsed;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        parsed.push_back(Json::parse(line, nullptr, false));
        EXPECT_FALSE(parsed.back().is_discarded()) << "not JSON: " << line;
    }
    return parsed;
}

struct Station {
    TempFolder folder;
    fs::path plan = folder.path() / "plan.json";
    Station() { std::ofstream(plan) << kPlan; }
    Outcome check(const std::string &ports, const std::string &devices,
                  std::vector<std::string> more) {
        std::vector<std::string> args{"--port",
                                      ports,
                                      "check",
                                      "--plan",
                                      plan.string(),
                                      "--db",
                                      (folder.path() / "r.sqlite").string()};
        args.insert(args.end(), more.begin(), more.end());
        return test::run(KAV_CLI, args, {{"KAVIDCARD_DEVICES", "defaults=off," + devices}},
                         std::chrono::seconds{60});
    }
};

const std::string kTwoUnits = "1=virtual?sam-id=12-34-1-2-3,2=virtual?sam-id=12-34-1-2-4";

// A tally from its figures in order: units, passed, failed, error, aborted,
// distinct units, first passed, first-pass yield.
Json tallyOf(const Json &figures) {
    static const char *const keys[] = {"units",   "passed",        "failed",      "error",
                                       "aborted", "distinctUnits", "firstPassed", "firstPassYield"};
    Json tally = Json::object();
    for (std::size_t i = 0; i < std::size(keys); ++i)
        tally[keys[i]] = figures.at(i);
    return tally;
}

// Whatever the command does, both units are checked, keep their verdict
// and exit code, and the line says how the command went. What it prints
// goes to standard error, out of the JSON stream; what it reads is the
// unit's line without its own outcome.
TEST(KavCheckHook, EachOutcomeIsSaidAndNeverChangesTheVerdict) {
    struct Case {
        const char *name;
        const char *command; // run in the test's folder
        Json hook;           // the "hook" member each unit's line must have
        const char *said;    // on standard error
    };
    const Case cases[] = {
        {"succeeds",
         "cat > in-$$.json; echo printed-by-the-hook",
         {{"exit", 0}},
         "printed-by-the-hook"},
        {"fails",
         "cat >/dev/null; exit 3",
         {{"exit", 3}, {"error", "exited with 3"}},
         "--on-verdict: exited with 3"},
        {"is not there",
         "kav-no-such-command-here",
         {{"exit", 127}, {"error", "not found (the shell's exit code 127)"}},
         "not found"},
        {"is killed",
         "kill -9 $$",
         {{"signal", 9}, {"error", "killed by signal 9 (Killed)"}},
         "--on-verdict: killed by signal 9"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Station station;
        const Outcome run =
            station.check("1,2", kTwoUnits,
                          {"--json", "--on-verdict",
                           "cd '" + station.folder.path().string() + "' && " + c.command});
        EXPECT_EQ(run.exit, 0) << run.out << run.err;
        const std::vector<Json> out = lines(run.out);
        ASSERT_EQ(out.size(), 3u) << run.out;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        std::vector<Json> given;
        for (const fs::directory_entry &e : fs::directory_iterator(station.folder.path()))
            if (e.path().filename().string().rfind("in-", 0) == 0)
                given.push_back(Json::parse(fileText(e.path()), nullptr, false));
        EXPECT_EQ(given.size(),
                  std::string(c.command).find("in-$$") != std::string::npos ? 2u : 0u);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(out[i]["port"], i + 1);
            EXPECT_EQ(out[i]["verdict"], "PASS") << out[i];
            EXPECT_EQ(out[i]["hook"], c.hook) << out[i];
            Json printed = out[i];
            printed.erase("hook");
            if (!given.empty()) {
                EXPECT_EQ(std::count(given.begin(), given.end(), printed), 1) << printed;
            }
        }
    }
}

// A command that hangs is killed with what it started at the deadline; the
// units are printed all the same, the hang of one port alongside the other.
TEST(KavCheckHook, AHangingCommandIsKilledWithItsGroupAtTheDeadline) {
    Station station;
    const fs::path pids = station.folder.path() / "pids";
    const Outcome run = station.check(
        "1,2", kTwoUnits,
        {"--json", "--on-verdict", "sleep 120 & echo $! >> '" + pids.string() + "'; wait"});
    EXPECT_EQ(run.exit, 0) << run.err;
    const std::vector<Json> out = lines(run.out);
    ASSERT_EQ(out.size(), 3u) << run.out;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(out[i]["verdict"], "PASS");
        EXPECT_EQ(out[i]["hook"]["timedOut"], true) << out[i];
        EXPECT_FALSE(out[i]["hook"].contains("exit")) << out[i];
    }
    EXPECT_NE(run.err.find("still running after 10 s"), std::string::npos) << run.err;
    std::istringstream started(fileText(pids));
    int count = 0;
    for (pid_t pid; started >> pid; ++count)
        EXPECT_TRUE(test::waitUntil([pid] { return kill(pid, 0) != 0; }))
            << "the hook's sleep " << pid << " outlived it";
    EXPECT_EQ(count, 2);
}

// Card text reaches the command as data on its input, never as shell words.
TEST(KavCheckHook, HostileCardTextIsNeverExecuted) {
    Station station;
    const fs::path dir = station.folder.path();
    Json card = Json::parse(fileText(kCards + "/ordinary.json"));
    card["name"] = "`touch m`|tee n"; // as many characters as a name holds
    card["idNumber"] = "$(touch q);touch r";
    const fs::path cardFile = dir / "hostile.json";
    std::ofstream(cardFile) << card.dump();
    const Outcome run =
        station.check("1", "1=virtual:" + cardFile.string(),
                      {"--json", "--on-verdict", "cd '" + dir.string() + "' && cat > given.json"});
    EXPECT_EQ(run.exit, 9) << run.out << run.err; // the plan wants another ID number
    const std::string given = fileText(dir / "given.json");
    EXPECT_NE(given.find("$(touch q);touch r"), std::string::npos) << given;
    for (const char *planted : {"n", "m", "q", "r"})
        EXPECT_FALSE(fs::exists(dir / planted)) << planted;
}

// The tally a run ends with, from the verdicts of a line of ports.
TEST(KavCheckTally, ARunOverSeveralPortsEndsWithItsTally) {
    const std::string failing = "3=virtual:" + kCards + "/mongol-female.json";
    struct Case {
        const char *name;
        std::string ports;
        std::string devices;
        std::vector<std::string> more;
        Json tally;
        const char *text;
    };
    const Case cases[] = {
        {"two pass, one fails",
         "1-3",
         kTwoUnits + "," + failing,
         {},
         tallyOf({3, 2, 1, 0, 0, 3, 2, 0.6667}),
         "tally: 3 checked: 2 passed, 1 failed, 0 error, 0 aborted; first-pass yield 66.7% (2 "
         "of 3 units)"},
        {"one SAM ID on both ports: one unit",
         "1,2",
         "1=virtual,2=virtual",
         {},
         tallyOf({2, 2, 0, 0, 0, 1, 1, 1.0}),
         "first-pass yield 100.0% (1 of 1 units)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Station station;
        std::vector<std::string> json = c.more;
        json.push_back("--json");
        const Outcome run = station.check(c.ports, c.devices, json);
        const std::vector<Json> out = lines(run.out);
        ASSERT_FALSE(out.empty()) << run.err;
        EXPECT_EQ(out.back(), Json({{"tally", c.tally}})) << run.out;
        const Outcome text = station.check(c.ports, c.devices, c.more);
        const std::string last = text.out.substr(text.out.rfind("tally: "));
        EXPECT_NE(last.find(c.text), std::string::npos) << text.out;
    }
    // A lone unit's line is the whole output.
    Station lone;
    EXPECT_EQ(lines(lone.check("1", kTwoUnits, {"--json"}).out).size(), 1u);
}

TEST(KavCheckTally, CtrlCOfALoopEndsWithItsTally) {
    test::ToolReader tool({"--sam-id", "12-34-1-2-9"});
    ASSERT_TRUE(tool.running());
    Station station;
    test::Child loop(KAV_CLI,
                     {"check", "--loop", "--json", "--plan", station.plan.string(), "--db",
                      (station.folder.path() / "r.sqlite").string()},
                     tool.devices());
    const Json first = Json::parse(loop.readLine(std::chrono::seconds{20}), nullptr, false);
    EXPECT_EQ(first["verdict"], "PASS") << loop.err();
    ASSERT_TRUE(
        test::waitUntil([&] { return loop.err().find("take the unit away") != std::string::npos; },
                        std::chrono::seconds{20}));
    loop.signal(SIGINT);
    const Json tally = Json::parse(loop.readLine(std::chrono::seconds{20}), nullptr, false);
    EXPECT_EQ(tally, Json({{"tally", tallyOf({1, 1, 0, 0, 0, 1, 1, 1.0})}})) << loop.err();
    EXPECT_EQ(loop.wait(), 0) << loop.err();
}

// Retests and units nobody can name, counted as a line's yield counts them.
TEST(Tally, FirstPassYieldCountsEachUnitsFirstCheck) {
    using kav::station::Verdict;
    struct Case {
        const char *name;
        std::vector<std::pair<Verdict, std::string>> checks;
        Json expected; // units, passed, failed, error, aborted, distinct, first passed, yield
    };
    const Case cases[] = {
        {"nothing checked", {}, {0, 0, 0, 0, 0, 0, 0, nullptr}},
        {"failed, then passed on retest",
         {{Verdict::Fail, "A"}, {Verdict::Pass, "A"}},
         {2, 1, 1, 0, 0, 1, 0, 0.0}},
        {"passed, then failed on retest",
         {{Verdict::Pass, "A"}, {Verdict::Fail, "A"}},
         {2, 1, 1, 0, 0, 1, 1, 1.0}},
        {"error and aborted are neither pass nor fail",
         {{Verdict::Error, "A"}, {Verdict::Aborted, "B"}, {Verdict::Pass, "C"}},
         {3, 1, 0, 1, 1, 3, 1, 0.3333}},
        {"units without an identity are each their own",
         {{Verdict::Pass, ""}, {Verdict::Error, ""}, {Verdict::Pass, "A"}},
         {3, 2, 0, 1, 0, 3, 2, 0.6667}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kav::cli::Tally tally;
        for (const auto &[verdict, identity] : c.checks)
            tally.add(verdict, identity);
        EXPECT_EQ(Json::parse(tally.json().dump()), tallyOf(c.expected));
    }
}

} // namespace
