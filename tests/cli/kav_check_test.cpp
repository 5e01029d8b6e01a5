// kav check, its record and its reports, as a line station runs them: the
// built binary on virtual readers (in process, and on ptys served by
// kav-virtual-reader with faults), the database read back with SQLite, the
// exports with a JSON and a CSV parser, the page in a real browser.
#include "csv.h"
#include "network_server.h"
#include "process.h"
#include "reader_tool.h"
#include "required_part.h"
#include "test_files.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using test::Outcome;
using test::TempFolder;
using test::ToolReader;

constexpr int kExitUsage = 1;
constexpr int kExitCheckFailed = 9;
constexpr int kExitRecord = 10;
constexpr int kExitAborted = 11;

const test::Vars kInProcess{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"}};

Outcome kav(std::vector<std::string> args, const test::Vars &vars = kInProcess) {
    return test::run(KAV_CLI, std::move(args), vars, std::chrono::seconds{60});
}

Json parsed(const std::string &text) {
    Json j = Json::parse(text, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << text;
    return j;
}

std::string fileText(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

fs::path writeFile(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// A quick plan over an instant virtual reader. Its soak forgives a few reads:
// a reader tool that another test's load stalls past a deadline answers too
// late for them, and no test here is about the unit's reads being perfect.
std::string plan(const std::string &name, const std::string &readsExtra = "", int soak = 0,
                 int limitMs = 5000) {
    std::string steps = R"({"step": "sam-status"}, {"step": "sam-id"},
        {"step": "reads", "count": 2, "limitMs": )" +
                        std::to_string(limitMs) + readsExtra + "}";
    if (soak > 0)
        steps +=
            R"(, {"step": "soak", "count": )" + std::to_string(soak) + R"(, "minOkRatio": 0.9})";
    return R"({"name": )" + Json(name).dump() + R"(, "steps": [)" + steps + "]}";
}

// The database, read as another program would.
class Db {
  public:
    explicit Db(const fs::path &path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK)
            ADD_FAILURE() << sqlite3_errmsg(db_);
        sqlite3_busy_timeout(db_, 10000);
    }
    ~Db() { sqlite3_close(db_); }
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;
    void exec(const std::string &sql) {
        char *error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << (error ? error : "?");
            sqlite3_free(error);
        }
    }
    // The first column of the first row, as text.
    std::string value(const std::string &sql) {
        sqlite3_stmt *s = nullptr;
        std::string v;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr)
            v = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
        else
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
        sqlite3_finalize(s);
        return v;
    }

  private:
    sqlite3 *db_ = nullptr;
};

// ---- The plan ----------------------------------------------------------------

TEST(KavCheckPlan, BadPlanIsRefusedNamingFilePlaceAndFaultBeforeAnyPortIsTouched) {
    struct Case {
        const char *text;
        const char *place;
        const char *fault;
    };
    const Case cases[] = {
        {"{\"name\": \"a\",\n \"steps\": [ {\"step\": \"sam-status\"},, ]}", "line 2, column 36",
         "not valid JSON"},
        {"[]", "the top", "must be an object"},
        {R"({"steps": [{"step": "sam-id"}]})", "name", "needs a name"},
        {R"({"name": "a", "steps": []})", "steps", "at least one step"},
        {R"({"name": "a", "steps": [{"step": "sam-id"}], "colour": 1})", "colour",
         "not a setting of a plan"},
        {R"({"name": "a", "steps": [{"step": "sam-id"}, {"step": "dance"}]})", "steps[1].step",
         "unknown step \"dance\""},
        {R"({"name": "a", "steps": [{"step": "reads", "count": 2}]})", "steps[0]",
         "\"limitMs\" is missing"},
        {R"({"name": "a", "steps": [{"step": "reads", "count": 0, "limitMs": 9}]})",
         "steps[0].count", "whole number from 1"},
        {R"({"name": "a", "steps": [{"step": "reads", "count": 1, "limitMs": -5}]})",
         "steps[0].limitMs", "above 0"},
        {R"({"name": "a", "steps": [{"step": "reads", "count": 1, "limitMs": 9, "limitms": 9}]})",
         "steps[0].limitms", "not a setting of step reads"},
        {R"({"name": "a", "steps": [{"step": "baud", "rate": 12345}]})", "steps[0].rate",
         "must be a SAM rate"},
        {R"({"name": "a", "steps": [{"step": "baud-round-trip"}]})", "steps[0]",
         "\"via\" is missing"},
        {R"({"name": "a", "steps": [{"step": "soak", "count": 3, "minOkRatio": 1.5}]})",
         "steps[0].minOkRatio", "from 0 to 1"},
        {R"({"name": "a", "steps": [{"step": "reads", "count": 1, "limitMs": 9, "idNumber": 7}]})",
         "steps[0].idNumber", "ID number as text"},
        {R"({"name": "a", "steps": ["sam-id"]})", "steps[0]", "must be an object"},
    };
    TempFolder folder;
    const fs::path trace = folder.path() / "trace.log";
    const fs::path db = folder.path() / "results.sqlite";
    test::Vars vars = kInProcess;
    vars["KAVIDCARD_TRACE"] = trace.string();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const fs::path file = writeFile(folder.path() / "plan.json", c.text);
        const Outcome run = kav({"check", "--plan", file.string(), "--db", db.string()}, vars);
        EXPECT_EQ(run.exit, kExitUsage);
        EXPECT_NE(run.err.find(file.string() + ": " + c.place + ": "), std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find(c.fault), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(fileText(trace).find("Kav_OpenPort"), std::string::npos);
    EXPECT_FALSE(fs::exists(db)) << "a refused plan writes no record";
    const Outcome missing = kav({"check", "--plan", (folder.path() / "none.json").string()});
    EXPECT_EQ(missing.exit, kExitUsage);
    EXPECT_NE(missing.err.find("none.json: cannot be read"), std::string::npos) << missing.err;
}

TEST(KavCheckPlan, TheBuiltInPlanIsShownAndReadsBackAsTheSamePlan) {
    TempFolder folder;
    const Outcome shown = kav({"check", "--show-plan"});
    ASSERT_EQ(shown.exit, 0) << shown.err;
    const Json plan = parsed(shown.out);
    EXPECT_EQ(plan["name"], "default");
    EXPECT_GE(plan["steps"].size(), 6u);
    // The shown text, given back as a file, is the same plan: same hash.
    const fs::path file = writeFile(folder.path() / "default.json", shown.out);
    const fs::path db = folder.path() / "r.sqlite";
    const Json builtIn = parsed(kav({"check", "--json", "--db", db.string()}).out);
    const Json fromFile =
        parsed(kav({"check", "--json", "--db", db.string(), "--plan", file.string()}).out);
    EXPECT_EQ(builtIn["verdict"], "PASS") << builtIn;
    EXPECT_EQ(builtIn["plan"], fromFile["plan"]);
    std::vector<std::string> steps;
    for (const Json &s : builtIn["steps"])
        steps.push_back(s["step"]);
    EXPECT_EQ(steps, (std::vector<std::string>{"sam-status", "sam-id", "baud", "reads",
                                               "baud-round-trip", "soak"}));
}

TEST(KavCheckPlan, OnAUsbPortTheRateStepsAreSkippedNotFailed) {
    TempFolder folder;
    const Outcome run =
        kav({"--port", "1001", "check", "--json", "--db", (folder.path() / "r.sqlite").string()},
            {{"KAVIDCARD_DEVICES", "defaults=off,1001=virtual"}});
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    const Json unit = parsed(run.out);
    EXPECT_EQ(unit["verdict"], "PASS");
    for (const Json &step : unit["steps"]) {
        SCOPED_TRACE(step.dump());
        const bool rate = step["step"] == "baud" || step["step"] == "baud-round-trip";
        EXPECT_EQ(step["status"], rate ? "skipped" : "pass");
    }
}

// A raw TCP port's server keeps its own rate: the round trip cannot be made
// there, which is no fault of the unit.
TEST(KavCheckPlan, OnARawTcpPortTheRateRoundTripIsSkippedWithWhy) {
    KAV_REQUIRE_SER2NET();
    test::ToolReader tool;
    test::Ser2net server(tool.path(), test::Ser2net::Mode::Tcp);
    ASSERT_TRUE(server.running());
    TempFolder folder;
    const test::Vars vars{{"KAVIDCARD_DEVICES", "defaults=off,1=" + server.url()}};
    const std::string db = (folder.path() / "r.sqlite").string();
    const Outcome run = kav({"check", "--json", "--db", db}, vars);
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    const Json unit = parsed(run.out);
    EXPECT_EQ(unit["verdict"], "PASS");
    for (const Json &step : unit["steps"]) {
        SCOPED_TRACE(step.dump());
        if (step["step"] == "baud-round-trip") {
            EXPECT_EQ(step["status"], "skipped");
            EXPECT_NE(step["figures"]["reason"].get<std::string>().find("cannot change the rate"),
                      std::string::npos);
        } else {
            EXPECT_EQ(step["status"], "pass");
        }
    }
    const Outcome banner = kav({"check", "--db", db}, vars);
    EXPECT_NE(banner.out.find("  skip  baud-round-trip: this port cannot change the rate"),
              std::string::npos)
        << banner.out;
}

// ---- Verdicts over readers with faults --------------------------------------

TEST(KavCheckVerdict, EachFaultFailsItsStepWithItsFigures) {
    struct Case {
        const char *name;
        std::vector<std::string> tool;
        std::string readsExtra;
        const char *failedStep; // nullptr: PASS
        const char *operation;
        const char *code;
    };
    const Case cases[] = {
        {"sound", {}, R"(, "idNumber": "990102198805120135")", nullptr, "", ""},
        {"no card", {"--no-card"}, "", "reads", "Kav_StartFindIDCard", "128"},
        {"slow reads", {"--pace"}, "", "reads", "", "over-limit"},
        {"wrong ID number",
         {},
         R"(, "idNumber": "990102198805120136")",
         "reads",
         "",
         "wrong-id-number"},
        {"SAM not authorised",
         {"--fault", "sam-not-authorised"},
         "",
         "sam-status",
         "Kav_GetSAMStatus",
         "102"},
    };
    TempFolder folder;
    const fs::path db = folder.path() / "r.sqlite";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolReader tool(c.tool);
        ASSERT_TRUE(tool.running());
        // A realistic card read takes half a second: over a 300 ms limit.
        const int limit = std::string(c.name) == "slow reads" ? 300 : 5000;
        const std::string text = plan(c.name, c.readsExtra, 0, limit);
        const fs::path file = writeFile(folder.path() / "plan.json", text);
        const Outcome run =
            kav({"check", "--json", "--plan", file.string(), "--db", db.string()}, tool.devices());
        const Json unit = parsed(run.out);
        if (c.failedStep == nullptr) {
            EXPECT_EQ(run.exit, 0) << run.out << run.err;
            EXPECT_EQ(unit["verdict"], "PASS");
            continue;
        }
        EXPECT_EQ(run.exit, kExitCheckFailed) << run.out << run.err;
        EXPECT_EQ(unit["verdict"], "FAIL");
        EXPECT_EQ(unit["samId"], "05-01-20069995-12345-1234567890");
        bool found = false;
        for (const Json &step : unit["steps"]) {
            if (step["step"] != c.failedStep)
                continue;
            EXPECT_EQ(step["status"], "fail") << step;
            ASSERT_FALSE(step["failures"].empty()) << step;
            EXPECT_EQ(step["failures"][0]["operation"], c.operation) << step;
            EXPECT_EQ(step["failures"][0]["code"], c.code) << step;
            found = true;
        }
        EXPECT_TRUE(found) << unit;
        if (std::string(c.name) == "slow reads") {
            const Json &reads = unit["steps"][2]["figures"];
            for (const Json &ms : reads["ms"])
                EXPECT_GT(ms.get<double>(), 300.0) << reads;
        }
        // The record holds the same verdict and failure.
        const Json last =
            parsed(kav({"results", "--json", "--db", db.string()}).out)["units"].back();
        EXPECT_EQ(last["verdict"], "FAIL");
        const Json &failed = last["failedSteps"];
        EXPECT_NE(std::find(failed.begin(), failed.end(), c.failedStep), failed.end()) << last;
    }
}

// Units on several ports are checked at once: each gets its own verdict and
// row, and the run exits with the worst of them.
TEST(KavCheckVerdict, PortsAreCheckedAtOnceEachWithItsVerdict) {
    ToolReader sound;
    ToolReader empty({"--no-card"});
    ASSERT_TRUE(sound.running() && empty.running());
    TempFolder folder;
    const fs::path db = folder.path() / "r.sqlite";
    const fs::path file = writeFile(folder.path() / "plan.json", plan("two"));
    const test::Vars vars{
        {"KAVIDCARD_DEVICES", "defaults=off,1=" + sound.path() + ",2=" + empty.path()}};
    const Outcome run = kav(
        {"--port", "1,2", "check", "--json", "--plan", file.string(), "--db", db.string()}, vars);
    EXPECT_EQ(run.exit, kExitCheckFailed) << run.out << run.err;
    std::map<int, std::string> verdicts;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        const Json unit = parsed(line);
        if (unit.contains("tally"))
            continue; // the run's own last line
        verdicts[unit["port"].get<int>()] = unit["verdict"];
    }
    EXPECT_EQ(verdicts, (std::map<int, std::string>{{1, "PASS"}, {2, "FAIL"}})) << run.out;
    EXPECT_EQ(Db(db).value("SELECT count(*) FROM units"), "2");
}

// Readers of a simulated line given SAM IDs of their own are distinct
// units; a SAM ID that is not one is refused before any pty is served.
TEST(KavCheckVerdict, VirtualReadersGivenSamIdsAreDistinctUnits) {
    const std::vector<std::string> ids{"05-01-20069995-12345-1234567890", "0F-a0-0-0-4294967295",
                                       "12-34-1-2-3"};
    std::vector<std::unique_ptr<ToolReader>> tools;
    std::string devices = "defaults=off";
    std::string ports;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        tools.push_back(std::make_unique<ToolReader>(std::vector<std::string>{"--sam-id", ids[i]}));
        ASSERT_TRUE(tools.back()->running()) << ids[i];
        devices += "," + std::to_string(i + 1) + "=" + tools.back()->path();
        ports += (i ? "," : "") + std::to_string(i + 1);
    }
    TempFolder folder;
    const fs::path db = folder.path() / "r.sqlite";
    const fs::path file = writeFile(folder.path() / "plan.json", plan("line"));
    const Outcome run =
        kav({"--port", ports, "check", "--json", "--plan", file.string(), "--db", db.string()},
            {{"KAVIDCARD_DEVICES", devices}});
    EXPECT_EQ(run.exit, 0) << run.out << run.err;
    std::map<int, std::string> seen;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        const Json unit = parsed(line);
        if (unit.contains("tally"))
            continue;
        seen[unit["port"].get<int>()] = unit["samId"];
    }
    // As kav prints them: hex digits in capitals.
    EXPECT_EQ(seen,
              (std::map<int, std::string>{{1, ids[0]}, {2, "0F-A0-0-0-4294967295"}, {3, ids[2]}}))
        << run.out;
    EXPECT_EQ(Db(db).value("SELECT count(DISTINCT sam_id) FROM units"), "3");

    // The in-process virtual reader takes one as well.
    const Outcome inProcess =
        kav({"--port", "1,2", "check", "--json", "--plan", file.string(), "--db", db.string()},
            {{"KAVIDCARD_DEVICES", "defaults=off,1=virtual?sam-id=12-34-1-2-3,"
                                   "2=virtual?sam-id=12-34-1-2-4"}});
    EXPECT_EQ(inProcess.exit, 0) << inProcess.out << inProcess.err;
    EXPECT_NE(inProcess.out.find("\"12-34-1-2-4\""), std::string::npos) << inProcess.out;
    EXPECT_EQ(Db(db).value("SELECT count(DISTINCT sam_id) FROM units"), "4");

    for (const char *bad : {"", "05-01-1-2", "5-01-1-2-3", "05-0G-1-2-3", "05-01-1-2-4294967296",
                            "05-01-1-2-3-4", "05-01--2-3", "05-01-1-2-+3"}) {
        const Outcome refused =
            test::run(KAV_VIRTUAL_READER_TOOL, {"--sam-id", bad}, {}, std::chrono::seconds{10});
        EXPECT_NE(refused.exit, 0) << bad;
        EXPECT_NE(refused.err.find("--sam-id: "), std::string::npos) << bad << refused.err;
        EXPECT_EQ(refused.out, "") << bad;
    }
}

// Verdicts of one run over several ports go out in port order, even when
// the later ports finish first.
TEST(KavCheckVerdict, VerdictsOfOneRunArePrintedInPortOrder) {
    struct Case {
        const char *name;
        std::vector<std::vector<std::string>> tools; // port 1, 2, ...
    };
    const Case cases[] = {
        {"the first port slowest", {{"--pace"}, {}, {}}},
        {"the middle port slowest", {{}, {"--pace"}, {}}},
        {"all alike", {{}, {}, {}}},
    };
    TempFolder folder;
    const fs::path file = writeFile(folder.path() / "plan.json", plan("order"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::unique_ptr<ToolReader>> tools;
        std::string devices = "defaults=off";
        for (std::size_t i = 0; i < c.tools.size(); ++i) {
            tools.push_back(std::make_unique<ToolReader>(c.tools[i]));
            ASSERT_TRUE(tools.back()->running());
            devices += "," + std::to_string(i + 1) + "=" + tools.back()->path();
        }
        const Outcome run = kav({"--port", "1-3", "check", "--json", "--plan", file.string(),
                                 "--db", (folder.path() / "r.sqlite").string()},
                                {{"KAVIDCARD_DEVICES", devices}});
        EXPECT_EQ(run.exit, 0) << run.out << run.err;
        std::vector<int> printed;
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);) {
            const Json printedLine = parsed(line);
            // The tally comes after every verdict.
            printed.push_back(printedLine.contains("tally") ? 0 : printedLine["port"].get<int>());
        }
        EXPECT_EQ(printed, (std::vector<int>{1, 2, 3, 0})) << run.out;
    }
}

// A unit pulled out in the middle of its check: an ERROR (the check could
// not run, which says nothing of the unit), exit 2 or 4 as its device is gone
// or its link broke (which the kill gives first is the system's), and
// the steps it never reached are skipped, not run against a missing reader.
TEST(KavCheckVerdict, AUnitPulledOutMidCheckIsAnErrorAndItsLaterStepsAreSkipped) {
    ToolReader tool;
    ASSERT_TRUE(tool.running());
    TempFolder folder;
    const fs::path file = writeFile(folder.path() / "plan.json", R"({"name": "pulled", "steps": [
        {"step": "soak", "count": 100000}, {"step": "sam-status"}]})");
    bool pulled = false;
    const Outcome run =
        test::run(KAV_CLI,
                  {"--trace", "check", "--json", "--plan", file.string(), "--db",
                   (folder.path() / "r.sqlite").string()},
                  tool.devices(), std::chrono::seconds{60}, [&](pid_t, const std::string &err) {
                      if (!pulled && err.find("Kav_ReadMsg(1, 0) = 0") != std::string::npos) {
                          tool.stop(SIGKILL);
                          pulled = true;
                      }
                  });
    ASSERT_TRUE(pulled);
    EXPECT_TRUE(run.exit == 2 || run.exit == 4) << run.exit << run.err.substr(0, 2000);
    const Json unit = parsed(run.out);
    EXPECT_EQ(unit["verdict"], "ERROR");
    EXPECT_EQ(Db(folder.path() / "r.sqlite").value("SELECT verdict FROM units"), "ERROR");
    EXPECT_EQ(
        Db(folder.path() / "r.sqlite").value("SELECT outcome FROM step_results WHERE position = 0"),
        "ERROR");
    ASSERT_EQ(unit["steps"].size(), 2u) << unit;
    const Json &soak = unit["steps"][0];
    EXPECT_EQ(soak["status"], "fail");
    EXPECT_GE(soak["figures"]["ok"].get<int>(), 1);
    EXPECT_LT(soak["figures"]["ok"].get<int>(), 100000);
    std::vector<std::string> codes;
    for (const Json &f : soak["failures"])
        codes.push_back(f["code"]);
    EXPECT_NE(std::find(codes.begin(), codes.end(), "not-run"), codes.end()) << soak;
    EXPECT_NE(std::find(codes.begin(), codes.end(), "ok-ratio"), codes.end()) << soak;
    EXPECT_EQ(unit["steps"][1]["status"], "skipped");
    EXPECT_EQ(unit["steps"][1]["figures"]["reason"], "not run: the unit went away");
}

// Stopping at the first failure, by option or by the plan: the failed step
// keeps its figures, the later ones are skipped with why, the verdict FAIL.
TEST(KavCheckVerdict, StopAtFirstFailureSkipsTheRemainingSteps) {
    struct Case {
        const char *name;
        const char *planSetting; // the plan's own stopAtFirstFailure, or ""
        bool option;
        const char *lastStatus;
    };
    const Case cases[] = {
        {"neither", "", false, "pass"},
        {"the plan says no", R"("stopAtFirstFailure": false, )", false, "pass"},
        {"the option", "", true, "skipped"},
        {"the plan says yes", R"("stopAtFirstFailure": true, )", false, "skipped"},
        {"the option over the plan's no", R"("stopAtFirstFailure": false, )", true, "skipped"},
    };
    TempFolder folder;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = writeFile(folder.path() / "plan.json",
                                        std::string(R"({"name": "stop", )") + c.planSetting +
                                            R"("steps": [{"step": "sam-status"},
            {"step": "reads", "count": 1, "limitMs": 5000, "idNumber": "990102198805120136"},
            {"step": "sam-id"}]})");
        std::vector<std::string> args{"check",  "--json",
                                      "--plan", file.string(),
                                      "--db",   (folder.path() / "r.sqlite").string()};
        if (c.option)
            args.push_back("--stop-at-first-failure");
        const Outcome run = kav(args);
        EXPECT_EQ(run.exit, kExitCheckFailed) << run.out << run.err;
        const Json unit = parsed(run.out);
        EXPECT_EQ(unit["verdict"], "FAIL");
        ASSERT_EQ(unit["steps"].size(), 3u) << unit;
        EXPECT_EQ(unit["steps"][0]["status"], "pass") << unit;
        EXPECT_EQ(unit["steps"][1]["status"], "fail") << unit;
        EXPECT_EQ(unit["steps"][2]["status"], c.lastStatus) << unit;
        if (std::string(c.lastStatus) == "skipped") {
            EXPECT_EQ(unit["steps"][2]["figures"]["reason"],
                      "not run: stopped at the first failure");
        }
    }
    const fs::path bad = writeFile(folder.path() / "bad.json", R"({"name": "b",
        "stopAtFirstFailure": "yes", "steps": [{"step": "sam-id"}]})");
    const Outcome refused = kav({"check", "--plan", bad.string()});
    EXPECT_EQ(refused.exit, kExitUsage);
    EXPECT_NE(refused.err.find("stopAtFirstFailure: must be true or false"), std::string::npos)
        << refused.err;
}

TEST(KavCheckVerdict, TheBannerNamesVerdictStepAndFigures) {
    TempFolder folder;
    const test::Vars noCard{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual:/no/such.json"}};
    const Outcome run = kav({"check", "--db", (folder.path() / "r.sqlite").string()}, noCard);
    EXPECT_EQ(run.exit, kExitCheckFailed);
    EXPECT_NE(run.out.find("#####   ###   #####  #\n"), std::string::npos) << "the word FAIL, big\n"
                                                                           << run.out;
    EXPECT_NE(run.out.find("\nFAIL  port 1  SAM 05-01-20069995-12345-1234567890  plan default"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("  FAIL  reads\n        Kav_StartFindIDCard 128: "), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("  ok    sam-status\n"), std::string::npos) << run.out;
    // Three reads found no card: one line, counted.
    EXPECT_NE(run.out.find("(no card) (3 times)\n"), std::string::npos) << run.out;
}

// ---- The record ---------------------------------------------------------------

TEST(KavCheckRecord, KillNineInTheMiddleLosesOnlyTheUnitUnderWay) {
    TempFolder folder;
    const fs::path db = folder.path() / "r.sqlite";
    const fs::path file = writeFile(folder.path() / "plan.json", plan("long", "", 100000));
    ASSERT_EQ(kav({"check", "--db", db.string()}).exit, 0);
    ASSERT_EQ(kav({"check", "--db", db.string()}).exit, 0);
    {
        test::Child running(KAV_CLI,
                            {"--trace", "check", "--plan", file.string(), "--db", db.string()},
                            kInProcess);
        ASSERT_TRUE(test::waitUntil(
            [&running] { return running.err().find("Kav_ReadMsg(1, 0) = 0") != std::string::npos; },
            std::chrono::seconds{10}));
        running.signal(SIGKILL);
        EXPECT_EQ(running.wait(), 128 + SIGKILL);
    }
    Db check(db);
    EXPECT_EQ(check.value("PRAGMA integrity_check"), "ok");
    const Outcome listed = kav({"results", "--json", "--db", db.string()});
    ASSERT_EQ(listed.exit, 0) << listed.err;
    const Json units = parsed(listed.out)["units"];
    ASSERT_EQ(units.size(), 2u) << units;
    EXPECT_EQ(units[0]["plan"]["name"], "default");
    EXPECT_EQ(units[1]["plan"]["name"], "default");
    // And the station goes on writing to it.
    EXPECT_EQ(kav({"check", "--db", db.string()}).exit, 0);
    EXPECT_EQ(check.value("SELECT count(*) FROM units"), "3");
}

TEST(KavCheckRecord, WritersWaitForEachOtherAndTheVerdictFollowsTheCommit) {
    TempFolder folder;
    const fs::path db = folder.path() / "r.sqlite";
    ASSERT_EQ(kav({"check", "--db", db.string()}).exit, 0);
    {
        // Another station in the middle of its write.
        Db other(db);
        other.exec("BEGIN IMMEDIATE");
        other.exec("INSERT INTO read_times(unit, ms) VALUES (1, 1.0)");
        test::Child waiting(KAV_CLI, {"--trace", "check", "--json", "--db", db.string()},
                            kInProcess);
        ASSERT_TRUE(test::waitUntil(
            [&waiting] { return waiting.err().find("Kav_ClosePort(1) = 0") != std::string::npos; },
            std::chrono::seconds{10}));
        EXPECT_EQ(waiting.readLine(std::chrono::milliseconds{500}), "")
            << "no verdict before its row is committed";
        other.exec("COMMIT");
        const Json unit = parsed(waiting.readLine(std::chrono::seconds{10}));
        EXPECT_EQ(unit["verdict"], "PASS");
        EXPECT_EQ(unit["record"]["id"], 2);
        EXPECT_EQ(waiting.wait(), 0) << waiting.err();
    }
    // Two stations at once: both rows land.
    test::Child first(KAV_CLI, {"check", "--db", db.string()}, kInProcess);
    test::Child second(KAV_CLI, {"check", "--db", db.string()},
                       {{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"}});
    EXPECT_EQ(first.wait(std::chrono::seconds{40}), 0) << first.err();
    EXPECT_EQ(second.wait(std::chrono::seconds{40}), 0) << second.err();
    Db check(db);
    EXPECT_EQ(check.value("SELECT count(*) FROM units"), "4");
    EXPECT_EQ(check.value("PRAGMA journal_mode"), "wal");
    // One station's numbers, taken in the writing transaction: never shared.
    EXPECT_EQ(check.value("SELECT group_concat(sequence, ' ') FROM "
                          "(SELECT sequence FROM units ORDER BY sequence)"),
              "1 2 3 4");
    EXPECT_EQ(check.value("SELECT count(DISTINCT run_id) FROM units"), "4");
}

// Layout 1 as kav(1) documents it: units alone, their steps as JSON.
constexpr const char *kLayout1 = R"sql(
CREATE TABLE units(id INTEGER PRIMARY KEY, at TEXT NOT NULL, station TEXT NOT NULL,
    port INTEGER NOT NULL, sam_id TEXT, plan_name TEXT NOT NULL, plan_hash TEXT NOT NULL,
    verdict TEXT NOT NULL CHECK (verdict IN ('PASS', 'FAIL')), ms REAL NOT NULL,
    library_version TEXT NOT NULL, kav_version TEXT NOT NULL, steps TEXT NOT NULL);
PRAGMA application_id = 1447776852;
PRAGMA user_version = 1;
)sql";

TEST(KavCheckRecord, AnOlderLayoutIsUpgradedWithItsRows) {
    TempFolder folder;
    const fs::path db = folder.path() / "old.sqlite";
    {
        Db old(db);
        old.exec(kLayout1);
        old.exec(R"sql(INSERT INTO units VALUES (1, '2026-11-30T08:00:00.000Z', 'bench-3', 1,
            '05-01-1-2-3', 'old plan', '0123456789abcdef', 'FAIL', 900.0,
            'libKavIDCardAPI.so.1.0.0', '1.0.0.1',
            '[{"step":"reads","status":"fail","figures":{"ms":[410.5,620.25]},
               "failures":[{"operation":"","code":"over-limit","text":"too slow"}]}]'))sql");
    }
    const Outcome listed = kav({"results", "--json", "--db", db.string()});
    ASSERT_EQ(listed.exit, 0) << listed.err;
    const Json unit = parsed(listed.out)["units"][0];
    EXPECT_EQ(unit["station"], "bench-3");
    EXPECT_EQ(unit["failedSteps"], Json::array({"reads"}));
    Db upgraded(db);
    EXPECT_EQ(upgraded.value("PRAGMA user_version"), "3");
    EXPECT_EQ(upgraded.value("SELECT group_concat(ms, ' ') FROM read_times"), "410.5 620.25");
    EXPECT_EQ(upgraded.value("SELECT code FROM failures"), "over-limit");
    // New units go in after the old.
    EXPECT_EQ(kav({"check", "--db", db.string()}).exit, 0);
    EXPECT_EQ(upgraded.value("SELECT count(*) FROM units"), "2");
}

TEST(KavCheckRecord, AFileThatIsNotOursIsRefusedAndLeftUntouched) {
    TempFolder folder;
    // A database of ours to damage.
    const fs::path good = folder.path() / "good.sqlite";
    ASSERT_EQ(kav({"check", "--db", good.string()}).exit, 0);
    {
        Db settle(good);
        settle.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    std::string damaged = fileText(good);
    for (std::size_t i = 100; i < 4096 && i < damaged.size(); ++i)
        damaged[i] = static_cast<char>(0xA5);
    // And one damaged far from its first page, in a table's own page.
    std::string damagedInside = fileText(good);
    ASSERT_GT(damagedInside.size(), 3 * 4096u);
    for (std::size_t i = damagedInside.size() - 4096; i < damagedInside.size() - 2048; ++i)
        damagedInside[i] = static_cast<char>(0xA5);

    struct Case {
        const char *name;
        std::function<void(const fs::path &)> make;
        const char *reason;
    };
    const Case cases[] = {
        {"text", [](const fs::path &p) { writeFile(p, "id,verdict\n1,PASS\n"); },
         "not a SQLite database"},
        {"foreign",
         [](const fs::path &p) {
             Db d(p);
             d.exec("CREATE TABLE songs(title TEXT); INSERT INTO songs VALUES ('x')");
         },
         "another program"},
        {"other program's mark",
         [](const fs::path &p) {
             Db d(p);
             d.exec("PRAGMA application_id = 42; CREATE TABLE t(x)");
         },
         "another program"},
        {"newer",
         [](const fs::path &p) {
             Db d(p);
             d.exec(kLayout1);
             d.exec("PRAGMA user_version = 7");
         },
         "written by a newer kav (layout 7; this kav knows up to 3)"},
        {"next layout",
         [](const fs::path &p) {
             Db d(p);
             d.exec(kLayout1);
             d.exec("PRAGMA user_version = 4");
         },
         "written by a newer kav (layout 4; this kav knows up to 3)"},
        {"damaged", [&damaged](const fs::path &p) { writeFile(p, damaged); }, "damaged"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = folder.path() / (std::string(c.name) + ".db");
        c.make(file);
        const std::string before = fileText(file);
        const std::vector<std::string> filesBefore = test::listing(folder.path());
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"check", "--db", file.string()},
              std::vector<std::string>{"results", "--db", file.string()}}) {
            const Outcome run = kav(args);
            EXPECT_EQ(run.exit, kExitRecord) << run.out;
            EXPECT_NE(run.err.find(file.string()), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        }
        EXPECT_EQ(fileText(file), before);
        EXPECT_EQ(test::listing(folder.path()), filesBefore) << "no journal left beside it";
    }
    // Damage deep inside shows when every page is read, on request.
    const fs::path inside = writeFile(folder.path() / "inside.db", damagedInside);
    for (const char *command : {"check", "results"}) {
        SCOPED_TRACE(command);
        const Outcome run = kav({command, "--full-check", "--db", inside.string()});
        EXPECT_EQ(run.exit, kExitRecord) << run.out;
        EXPECT_NE(run.err.find("damaged"), std::string::npos) << run.err;
    }
    EXPECT_EQ(fileText(inside), damagedInside);
}

TEST(KavCheckRecord, ANameThatIsNoFileIsRefusedAndNothingWaitsOnIt) {
    TempFolder folder;
    const fs::path fifo = folder.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string db, fault;
    };
    const Case cases[] = {
        {":memory:", "not a file name"},
        {"file:" + (folder.path() / "u.sqlite").string(), "not a file name"},
        {"file:m?mode=memory&cache=shared", "not a file name"},
        {fifo.string(), "a pipe (FIFO), not a file"},
        {folder.path().string(), "a folder, not a file"},
    };
    const fs::path planFile = writeFile(folder.path() / "p.json", plan("p"));
    for (const Case &c : cases)
        for (const char *command : {"check", "results"}) {
            SCOPED_TRACE(c.db + " " + command);
            const Outcome run = kav({command, "--json", "--db", c.db});
            EXPECT_EQ(run.exit, kExitRecord) << run.out;
            EXPECT_NE(run.err.find(c.fault), std::string::npos) << run.err;
            EXPECT_EQ(run.out.find("PASS"), std::string::npos) << "no verdict without a record";
        }
    // A plan that is a pipe is refused before it is opened for reading.
    const Outcome pipePlan = kav({"check", "--plan", fifo.string()});
    EXPECT_EQ(pipePlan.exit, kExitUsage);
    EXPECT_NE(pipePlan.err.find("a pipe (FIFO), not a file"), std::string::npos) << pipePlan.err;
}

// A small file system of the test's own: mounting needs root.
class SmallDisk {
  public:
    explicit SmallDisk(const fs::path &at) : at_(at) {
        fs::create_directory(at_);
        mounted_ =
            geteuid() == 0 &&
            test::run("/bin/mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", at_.string()}).exit ==
                0;
    }
    ~SmallDisk() {
        if (mounted_)
            test::run("/bin/umount", {at_.string()});
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;
    bool mounted() const { return mounted_; }
    void fill() { std::ofstream(at_ / "fill", std::ios::binary) << std::string(2 << 20, 'x'); }
    void empty() { fs::remove(at_ / "fill"); }
    bool readOnly() {
        return test::run("/bin/mount", {"-o", "remount,ro", at_.string()}).exit == 0;
    }

  private:
    fs::path at_;
    bool mounted_ = false;
};

TEST(KavCheckRecord, AFullOrReadOnlyDiskIsNamedAsTheCauseAndAReadOnlyRecordIsRead) {
    TempFolder folder;
    SmallDisk disk(folder.path() / "disk");
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    const fs::path db = folder.path() / "disk" / "r.sqlite";
    ASSERT_EQ(kav({"check", "--db", db.string()}).exit, 0);
    ASSERT_FALSE(fs::exists(db.string() + "-shm")) << "closed cleanly";
    disk.fill();
    for (const char *command : {"check", "results"}) {
        SCOPED_TRACE(command);
        const Outcome full = kav({command, "--db", db.string()});
        EXPECT_EQ(full.exit, kExitRecord);
        EXPECT_NE(full.err.find("is full"), std::string::npos) << full.err;
        EXPECT_EQ(full.err.find("damaged"), std::string::npos) << full.err;
    }
    disk.empty();
    // What the refused opens left beside it holds nothing.
    fs::remove(db.string() + "-shm");
    fs::remove(db.string() + "-wal");
    ASSERT_TRUE(disk.readOnly());
    const Outcome read = kav({"results", "--json", "--db", db.string()});
    ASSERT_EQ(read.exit, 0) << read.err;
    EXPECT_EQ(parsed(read.out)["units"].size(), 1u);
    const Outcome write = kav({"check", "--db", db.string()});
    EXPECT_EQ(write.exit, kExitRecord);
    EXPECT_NE(write.err.find("read-only file system"), std::string::npos) << write.err;
}

// Run as an unprivileged user (see CMakeLists.txt): permissions bind it.
TEST(KavAccess, AReadOnlyRecordIsReadAndAFolderThatMayNotBeWrittenIsNamed) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    TempFolder folder;
    const fs::path db = folder.path() / "r.sqlite";
    ASSERT_EQ(kav({"check", "--db", db.string()}).exit, 0);
    ASSERT_EQ(chmod(db.c_str(), 0444), 0);
    ASSERT_EQ(chmod(folder.path().c_str(), 0555), 0);
    const Outcome read = kav({"results", "--json", "--db", db.string()});
    const Outcome write = kav({"check", "--db", db.string()});
    const Outcome create = kav({"check", "--db", (folder.path() / "new.sqlite").string()});
    chmod(folder.path().c_str(), 0700);
    ASSERT_EQ(read.exit, 0) << read.err;
    EXPECT_EQ(parsed(read.out)["units"].size(), 1u);
    for (const Outcome *run : {&write, &create}) {
        EXPECT_EQ(run->exit, kExitRecord);
        EXPECT_NE(
            run->err.find("may not write in its folder " + folder.path().string() + " (owner "),
            std::string::npos)
            << run->err;
    }
}

// ---- results ------------------------------------------------------------------

// Three units: two pass, one fails for want of a card; a plan name that
// CSV must quote.
fs::path recordThreeUnits(const TempFolder &folder) {
    const fs::path db = folder.path() / "r.sqlite";
    const fs::path file = writeFile(folder.path() / "plan.json", plan("line \"A\", bench 2"));
    EXPECT_EQ(kav({"check", "--plan", file.string(), "--db", db.string()}).exit, 0);
    EXPECT_EQ(kav({"check", "--plan", file.string(), "--db", db.string()},
                  {{"KAVIDCARD_DEVICES", "defaults=off,1=virtual:/no/such.json"}})
                  .exit,
              kExitCheckFailed);
    EXPECT_EQ(kav({"check", "--plan", file.string(), "--db", db.string()}).exit, 0);
    return db;
}

TEST(KavResults, FiltersSelectAndExportsParseBack) {
    TempFolder folder;
    const fs::path db = recordThreeUnits(folder);
    const std::string sam = "05-01-20069995-12345-1234567890";
    struct Case {
        std::vector<std::string> filter;
        std::vector<long long> ids;
    };
    const Case cases[] = {
        {{}, {1, 2, 3}},
        {{"--verdict", "fail"}, {2}},
        {{"--verdict", "pass"}, {1, 3}},
        {{"--sam-id", sam}, {1, 2, 3}},
        {{"--sam-id", "05-01-1-2-3"}, {}},
        {{"--since", "2000-01-01"}, {1, 2, 3}},
        {{"--since", "2999-01-01T00:00"}, {}},
        {{"--since", "2000-01-01T00:00Z"}, {1, 2, 3}},
        {{"--verdict", "pass", "--sam-id", sam, "--since", "2000-01-01"}, {1, 3}},
    };
    for (const Case &c : cases) {
        std::string name;
        for (const std::string &f : c.filter)
            name += f + " ";
        SCOPED_TRACE(name);
        std::vector<std::string> args{"results", "--db", db.string()};
        args.insert(args.end(), c.filter.begin(), c.filter.end());

        std::vector<std::string> jsonArgs = args;
        jsonArgs.push_back("--json");
        const Outcome json = kav(jsonArgs);
        ASSERT_EQ(json.exit, 0) << json.err;
        const Json units = parsed(json.out)["units"];
        std::vector<long long> ids;
        for (const Json &u : units)
            ids.push_back(u["id"]);
        EXPECT_EQ(ids, c.ids);

        std::vector<std::string> csvArgs = args;
        csvArgs.push_back("--csv");
        const Outcome csv = kav(csvArgs);
        ASSERT_EQ(csv.exit, 0) << csv.err;
        const std::optional<std::vector<test::CsvRecord>> rows = test::parseCsv(csv.out);
        ASSERT_TRUE(rows) << csv.out;
        ASSERT_EQ(rows->size(), c.ids.size() + 1) << csv.out;
        const test::CsvRecord &header = rows->front();
        ASSERT_EQ(header[0], "id");
        for (std::size_t i = 0; i < units.size(); ++i) {
            const test::CsvRecord &row = (*rows)[i + 1];
            ASSERT_EQ(row.size(), header.size());
            EXPECT_EQ(row[0], std::to_string(units[i]["id"].get<long long>()));
            EXPECT_EQ(row[1], units[i]["at"]);
            EXPECT_EQ(row[4], units[i]["samId"]);
            EXPECT_EQ(row[5], "line \"A\", bench 2");
            EXPECT_EQ(row[7], units[i]["verdict"]);
            EXPECT_EQ(row[8], units[i]["verdict"] == "FAIL" ? "reads" : "");
        }
    }
    // The minute of the first unit, in UTC: every unit is at or after it.
    const Json all = parsed(kav({"results", "--json", "--db", db.string()}).out)["units"];
    const std::string minute = all[0]["at"].get<std::string>().substr(0, 16) + "Z";
    const Json since =
        parsed(kav({"results", "--json", "--db", db.string(), "--since", minute}).out)["units"];
    EXPECT_EQ(since.size(), 3u) << minute;
    const Outcome badDate = kav({"results", "--db", db.string(), "--since", "yesterday"});
    EXPECT_EQ(badDate.exit, kExitUsage);
    EXPECT_NE(badDate.err.find("--since"), std::string::npos) << badDate.err;
    const Outcome noDb = kav({"results", "--db", (folder.path() / "none.sqlite").string()});
    EXPECT_EQ(noDb.exit, kExitRecord);
    EXPECT_FALSE(fs::exists(folder.path() / "none.sqlite")) << "results never makes a database";
}

TEST(KavResults, SummaryCountsByDayAndPlan) {
    TempFolder folder;
    const fs::path db = recordThreeUnits(folder);
    {
        // A unit of another day and plan, as another station wrote it.
        Db other(db);
        other.exec("INSERT INTO units(run_id, at, ended_at, station, sequence, port, sam_id, "
                   "plan_name, plan_version, plan_hash, verdict, ms, library_version, "
                   "kav_version, steps, payload_hash) VALUES ('r', '2026-01-02T10:00:00.000Z', "
                   "'2026-01-02T10:00:00.001Z', 'b', 1, 1, 'x', 'other', '', 'h', 'FAIL', 1, "
                   "'l', 'k', '[]', '')");
    }
    const Json summary = parsed(kav({"results", "--summary", "--json", "--db", db.string()}).out);
    ASSERT_EQ(summary["days"].size(), 2u) << summary;
    EXPECT_EQ(summary["days"][0]["day"], "2026-01-02");
    EXPECT_EQ(summary["days"][0]["plan"], "other");
    EXPECT_EQ(summary["days"][0]["units"], 1);
    EXPECT_EQ(summary["days"][0]["passRate"], 0.0);
    EXPECT_EQ(summary["days"][1]["plan"], "line \"A\", bench 2");
    EXPECT_EQ(summary["days"][1]["units"], 3);
    EXPECT_EQ(summary["days"][1]["passed"], 2);
    EXPECT_EQ(summary["days"][1]["passRate"], 0.667);
    EXPECT_EQ(summary["total"], Json({{"units", 4}, {"passed", 2}, {"failed", 2}}));
    const Json passedOnly = parsed(
        kav({"results", "--summary", "--json", "--verdict", "pass", "--db", db.string()}).out);
    EXPECT_EQ(passedOnly["total"]["units"], 2);
}

TEST(KavResults, HistoryFollowsOneUnitOldestFirstAndIsRefusedWithoutOne) {
    TempFolder folder;
    const fs::path none = folder.path() / "none.sqlite";
    struct Refused {
        std::vector<std::string> args;
        const char *says;
    };
    const Refused refused[] = {
        {{"--history"}, "--history follows one unit"},
        {{"--history", "--verdict", "fail"}, "--history follows one unit"},
        {{"--history", "--sam-id", ""}, "--history follows one unit"},
        {{"--history", "--csv", "--sam-id", "05-01-1"}, "excludes"},
        {{"--history", "--summary", "--serial", "S1"}, "excludes"},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(r.args.front() + " " + r.args.back());
        std::vector<std::string> args{"results", "--db", none.string()};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const Outcome run = kav(args);
        EXPECT_EQ(run.exit, kExitUsage) << run.err;
        EXPECT_NE(run.err.find(r.says), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(fs::exists(none));

    const fs::path db = recordThreeUnits(folder);
    const std::string sam = "05-01-20069995-12345-1234567890";
    const Json h =
        parsed(kav({"results", "--history", "--sam-id", sam, "--json", "--db", db.string()})
                   .out)["history"];
    ASSERT_EQ(h["checks"].size(), 3u) << h;
    std::vector<std::string> verdicts;
    for (std::size_t i = 0; i < 3; ++i) {
        verdicts.push_back(h["checks"][i]["verdict"]);
        if (i > 0) {
            EXPECT_LE(h["checks"][i - 1]["at"], h["checks"][i]["at"]) << "oldest first";
        }
    }
    EXPECT_EQ(verdicts, (std::vector<std::string>{"PASS", "FAIL", "PASS"}));
    EXPECT_EQ(h["checks"][0]["reads"], 2);
    EXPECT_TRUE(h["checks"][0]["meanReadMs"].is_number()) << h;
    EXPECT_TRUE(h["slopeMsPerCheck"].is_number()) << h;

    // A person's listing in the zone of the machine; the JSON kept UTC.
    const test::Vars central{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"},
                             {"TZ", "CET-1CEST,M3.5.0,M10.5.0/3"}};
    const Outcome text =
        kav({"results", "--history", "--sam-id", sam, "--db", db.string()}, central);
    ASSERT_EQ(text.exit, 0) << text.err;
    EXPECT_EQ(text.out.find("checks of SAM " + sam + ", oldest first:\n"), 0u) << text.out;
    EXPECT_EQ(text.out.find(h["checks"][0]["at"].get<std::string>()), std::string::npos);
    EXPECT_NE(text.out.find("read time trend: "), std::string::npos) << text.out;
    const Outcome list = kav({"results", "--db", db.string()}, central);
    EXPECT_EQ(list.out.find("Z  "), std::string::npos) << list.out;
    EXPECT_TRUE(list.out.find(" CET  ") != std::string::npos ||
                list.out.find(" CEST  ") != std::string::npos)
        << list.out;

    const fs::path page = folder.path() / "history.html";
    const Outcome written = kav(
        {"results", "--history", "--sam-id", sam, "--db", db.string(), "--html", page.string()});
    ASSERT_EQ(written.exit, 0) << written.err;
    const std::string html = fileText(page);
    EXPECT_NE(html.find("id=\"read-time-trend\""), std::string::npos);
    const auto rows = [&html](const std::string &table) {
        const std::size_t from = html.find("<table id=\"" + table + "\">");
        const std::size_t to = html.find("</table>", from);
        int n = 0;
        for (std::size_t at = html.find("<tr><td", from); at < to;
             at = html.find("<tr><td", at + 1))
            ++n;
        return from == std::string::npos ? -1 : n;
    };
    EXPECT_EQ(rows("history"), 3) << html;
    EXPECT_EQ(rows("failed-units"), 1) << html;
    EXPECT_EQ(rows("stations"), 1) << html;
}

// The page as a browser shows it: headless Chromium from Debian.
TEST(KavResults, TheHtmlReportRendersInABrowserWithItsTablesAndPlot) {
    const char *chromium = "/usr/bin/chromium";
    KAV_REQUIRE_PART(fs::exists(chromium),
                     "chromium is not installed (scripts/setup.sh installs it)");
    TempFolder folder;
    const fs::path db = recordThreeUnits(folder);
    const fs::path page = folder.path() / "report.html";
    const Outcome written = kav({"results", "--db", db.string(), "--html", page.string()});
    ASSERT_EQ(written.exit, 0) << written.err;
    const std::string html = fileText(page);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("src="), std::string::npos) << "nothing loaded from elsewhere";
    EXPECT_EQ(html.find("href="), std::string::npos);

    TempFolder profile;
    const Outcome shown = test::run(
        chromium,
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + profile.path().string(), "--dump-dom", "file://" + page.string()},
        {}, std::chrono::seconds{90});
    ASSERT_EQ(shown.exit, 0) << shown.err;
    const std::string &dom = shown.out;
    EXPECT_NE(dom.find("<table id=\"summary\">"), std::string::npos) << dom;
    EXPECT_NE(dom.find("line \"A\", bench 2"), std::string::npos);
    EXPECT_NE(dom.find(">3</td><td>2</td><td>1</td><td>66.7%</td>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<td class=\"text\">reads</td><td class=\"text\">Kav_StartFindIDCard</td>"
                       "<td class=\"text\">128</td>"),
              std::string::npos)
        << dom;
    EXPECT_NE(dom.find("<svg"), std::string::npos);
    // Two passed units of two reads each: four bars' worth of reads.
    EXPECT_NE(dom.find("<title>Read times: 4 reads</title>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<rect class=\"bar\""), std::string::npos);
}

TEST(KavResults, TheHtmlReportNeverWritesThroughOrWaitsOnWhatIsPlantedBesideIt) {
    TempFolder folder;
    const fs::path db = recordThreeUnits(folder);
    const fs::path out = folder.path() / "out";
    fs::create_directory(out);
    const fs::path victim = writeFile(folder.path() / "victim", "keep");
    fs::create_symlink(victim, out / "a.html.part");
    ASSERT_EQ(::mkfifo((out / "b.html.part").c_str(), 0600), 0);
    for (const char *name : {"a.html", "b.html"}) {
        SCOPED_TRACE(name);
        const Outcome run = kav({"results", "--db", db.string(), "--html", (out / name).string()});
        EXPECT_EQ(run.exit, 0) << run.err;
        EXPECT_NE(fileText(out / name).find("</html>"), std::string::npos);
    }
    EXPECT_EQ(fileText(victim), "keep");
    EXPECT_TRUE(fs::is_symlink(out / "a.html.part"));
    EXPECT_EQ(test::listing(out),
              (std::vector<std::string>{"a.html", "a.html.part", "b.html", "b.html.part"}))
        << "no temporary file left";

    struct Case {
        fs::path target;
        const char *reason;
    };
    const Case cases[] = {
        {folder.path() / "none" / "r.html", "No such file or directory"},
        {out, "Is a directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        const Outcome run = kav({"results", "--db", db.string(), "--html", c.target.string()});
        EXPECT_EQ(run.exit, 7) << "anything else, not standard output";
        EXPECT_NE(run.err.find(c.target.string() + " could not be written: " + c.reason),
                  std::string::npos)
            << run.err;
    }
    EXPECT_EQ(test::listing(out).size(), 4u) << "no temporary file left";
}

// ---- The loop -----------------------------------------------------------------

TEST(KavCheckLoop, ChecksEachUnitThatArrivesAndCtrlCAbortsTheUnitUnderWay) {
    ToolReader tool;
    ASSERT_TRUE(tool.running());
    TempFolder folder;
    const fs::path db = folder.path() / "r.sqlite";
    // 2 reads and a soak of 300: long enough to be interrupted in the middle.
    const fs::path file = writeFile(folder.path() / "plan.json", plan("loop", "", 300));
    test::Child loop(KAV_CLI,
                     {"check", "--loop", "--json", "--plan", file.string(), "--db", db.string()},
                     tool.devices());
    const auto seen = [&loop](const std::string &what, int times) {
        return test::waitUntil(
            [&] {
                const std::string err = loop.err();
                int n = 0;
                for (std::size_t at = err.find(what); at != std::string::npos;
                     at = err.find(what, at + 1))
                    ++n;
                return n >= times;
            },
            std::chrono::seconds{20});
    };
    const Json first = parsed(loop.readLine(std::chrono::seconds{20}));
    EXPECT_EQ(first["verdict"], "PASS") << first;
    ASSERT_TRUE(seen("take the unit away", 1)) << loop.err();
    tool.stop(SIGKILL);
    ASSERT_TRUE(seen("waiting for a unit", 2)) << loop.err();
    tool.start();
    ASSERT_TRUE(seen("checking the unit", 2)) << loop.err();
    loop.signal(SIGINT); // at the start of the second unit's 302 reads
    // The unit under way ends at once, recorded ABORTED: not a PASS it never
    // finished, nor a FAIL that would blame it.
    const Json second = parsed(loop.readLine(std::chrono::seconds{20}));
    EXPECT_EQ(second["verdict"], "ABORTED") << second;
    EXPECT_NE(second["steps"][3]["status"], "pass") << second;
    EXPECT_EQ(second["record"]["id"], 2);
    EXPECT_EQ(loop.wait(), kExitAborted) << loop.err();
    EXPECT_EQ(Db(db).value("SELECT group_concat(verdict, ' ') FROM (SELECT verdict FROM units "
                           "ORDER BY id)"),
              "PASS ABORTED");
}

TEST(KavCheckLoop, ARecordRemovedUnderTheLoopFailsTheNextUnitLoudly) {
    ToolReader tool;
    ASSERT_TRUE(tool.running());
    TempFolder folder;
    const fs::path db = folder.path() / "r.sqlite";
    const fs::path file = writeFile(folder.path() / "plan.json", plan("loop"));
    test::Child loop(KAV_CLI,
                     {"check", "--loop", "--json", "--plan", file.string(), "--db", db.string()},
                     tool.devices());
    const std::string line = loop.readLine(std::chrono::seconds{20});
    ASSERT_FALSE(line.empty()) << loop.err();
    const Json first = parsed(line);
    EXPECT_EQ(first["record"]["id"], 1) << first;
    for (const char *end : {"", "-wal", "-shm"})
        fs::remove(db.string() + end);
    const auto seen = [&loop](const std::string &what, std::size_t times) {
        return test::waitUntil(
            [&] {
                const std::string err = loop.err();
                std::size_t n = 0;
                for (std::size_t at = err.find(what); at != std::string::npos;
                     at = err.find(what, at + 1))
                    ++n;
                return n >= times;
            },
            std::chrono::seconds{20});
    };
    ASSERT_TRUE(seen("take the unit away", 1)) << loop.err();
    tool.stop(SIGKILL);
    ASSERT_TRUE(seen("waiting for a unit", 2)) << loop.err();
    tool.start();
    const Json second = parsed(loop.readLine(std::chrono::seconds{20}));
    EXPECT_FALSE(second["record"].contains("id")) << second;
    EXPECT_NE(second["record"].value("error", std::string()).find("the file is gone"),
              std::string::npos)
        << second;
    loop.signal(SIGINT);
    EXPECT_EQ(loop.wait(), kExitRecord) << loop.err();
    EXPECT_NE(loop.err().find("could not be recorded: the file is gone"), std::string::npos)
        << loop.err();
}

// ---- The photo folder ---------------------------------------------------------

// The run's photo folders under a temporary folder, and the files in them.
std::vector<fs::path> photoFolderContents(const fs::path &tmp) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(tmp, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->path().string().find("kav-check-") != std::string::npos)
            found.push_back(it->path());
    return found;
}

// What the record says of a unit that could not be checked or was stopped:
// never a FAIL, which would blame the unit.
TEST(KavCheckVerdict, NoReaderIsAnErrorAndCtrlCMidCheckIsAborted) {
    TempFolder folder;
    const fs::path db = folder.path() / "r.sqlite";
    const Outcome none =
        kav({"--port", "7", "check", "--json", "--station", "bench-9", "--db", db.string()});
    EXPECT_EQ(none.exit, 2) << none.err;
    EXPECT_EQ(parsed(none.out)["verdict"], "ERROR") << none.out;

    const fs::path file = writeFile(folder.path() / "plan.json", plan("long", "", 100000));
    test::Child running(KAV_CLI,
                        {"--trace", "check", "--json", "--operator", "op-1", "--serial", "SN-7",
                         "--station", "bench-9", "--plan", file.string(), "--db", db.string()},
                        kInProcess);
    ASSERT_TRUE(test::waitUntil(
        [&] { return running.err().find("Kav_ReadMsg(1, 0) = 0") != std::string::npos; },
        std::chrono::seconds{10}));
    running.signal(SIGINT);
    const std::string line = running.readLine(std::chrono::seconds{30});
    EXPECT_EQ(running.wait(std::chrono::seconds{30}), kExitAborted);
    EXPECT_EQ(parsed(line)["verdict"], "ABORTED") << line;
    Db record(db);
    EXPECT_EQ(
        record.value("SELECT group_concat(verdict || ' ' || sequence || ' ' || station, ', ') "
                     "FROM (SELECT * FROM units ORDER BY id)"),
        "ERROR 1 bench-9, ABORTED 2 bench-9");
    EXPECT_EQ(record.value("SELECT operator || ' ' || serial FROM units WHERE id = 2"),
              "op-1 SN-7");
    // Read back by the new filters, the verdict in any case.
    struct Case {
        std::vector<std::string> filter;
        std::vector<long long> ids;
    };
    const Case cases[] = {
        {{"--verdict", "Aborted"}, {2}},
        {{"--verdict", "error", "--station", "bench-9"}, {1}},
        {{"--operator", "op-1", "--serial", "SN-7"}, {2}},
        {{"--station", "bench-1"}, {}},
        {{"--until", "2000-01-01"}, {}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"results", "--json", "--db", db.string()};
        args.insert(args.end(), c.filter.begin(), c.filter.end());
        SCOPED_TRACE(c.filter[1]);
        const Outcome listed = kav(args);
        ASSERT_EQ(listed.exit, 0) << listed.err;
        const Json units = parsed(listed.out)["units"];
        std::vector<long long> ids;
        for (const Json &u : units)
            ids.push_back(u["id"].get<long long>());
        EXPECT_EQ(ids, c.ids);
    }
    const std::string csv = kav({"results", "--csv", "--db", db.string()}).out;
    EXPECT_EQ(csv.substr(0, csv.find('\r')).substr(csv.find(",kav_version,")),
              ",kav_version,run_id,ended_at,operator,serial,sequence,plan_version,payload_hash");
}

// The check's photos are a holder's: however the run ends, none stays; a
// run killed outright leaves its folder to the next run, which sweeps it.
TEST(KavCheckPhotos, NoPhotoFolderOutlivesTheRun) {
    enum class End { Term, SecondCtrlC, TermWhileWaiting, Kill };
    const struct Case {
        const char *name;
        End end;
        int exit;
    } cases[] = {
        {"SIGTERM mid-check", End::Term, 128 + SIGTERM},
        // The first Ctrl+C ends the check (ABORTED, 11) unless the next kills it first.
        {"a second Ctrl+C mid-check", End::SecondCtrlC, 128 + SIGINT},
        {"SIGTERM while the loop waits", End::TermWhileWaiting, 128 + SIGTERM},
        {"SIGKILL mid-check, then a run", End::Kill, 128 + SIGKILL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder tmp, folder;
        const fs::path db = folder.path() / "r.sqlite";
        const fs::path file = writeFile(folder.path() / "plan.json", plan("long", "", 100000));
        test::Vars vars = kInProcess;
        vars["TMPDIR"] = tmp.path().string();
        std::vector<std::string> args{"--trace", "check", "--db", db.string()};
        if (c.end == End::TermWhileWaiting)
            args.push_back("--loop");
        else
            args.insert(args.end(), {"--plan", file.string()});
        test::Child running(KAV_CLI, args, vars);
        const std::string awaited =
            c.end == End::TermWhileWaiting ? "take the unit away" : "Kav_ReadMsg(1, 0) = 0";
        ASSERT_TRUE(
            test::waitUntil([&] { return running.err().find(awaited) != std::string::npos; },
                            std::chrono::seconds{10}));
        // The photo is there, in a folder of the run's.
        ASSERT_TRUE(test::waitUntil([&] {
            for (const fs::path &p : photoFolderContents(tmp.path()))
                if (fs::is_regular_file(p))
                    return true;
            return false;
        }));
        if (c.end == End::SecondCtrlC) {
            // Two sent at once may arrive as one: Ctrl+C again until kav
            // ends (the first only asks the unit to finish).
            const auto ended = [&running] {
                std::ifstream stat("/proc/" + std::to_string(running.pid()) + "/stat");
                std::string pid, name, state;
                return !(stat >> pid >> name >> state) || state == "Z";
            };
            for (int i = 0; i < 50 && !ended(); ++i) {
                running.signal(SIGINT);
                test::waitUntil(ended, std::chrono::milliseconds{200});
            }
        } else {
            running.signal(c.end == End::Kill ? SIGKILL : SIGTERM);
        }
        const int exit = running.wait();
        if (c.end == End::SecondCtrlC && exit == kExitAborted)
            EXPECT_EQ(Db(db).value("SELECT verdict FROM units"), "ABORTED");
        else
            EXPECT_EQ(exit, c.exit);
        if (c.end == End::Kill) {
            EXPECT_FALSE(photoFolderContents(tmp.path()).empty()) << "nothing to sweep";
            const Outcome next = kav({"check", "--db", db.string()}, vars);
            EXPECT_EQ(next.exit, 0) << next.err;
        }
        EXPECT_EQ(photoFolderContents(tmp.path()), std::vector<fs::path>{});
    }
}

} // namespace
