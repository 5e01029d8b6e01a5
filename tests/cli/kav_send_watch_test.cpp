// kav send and kav watch on the virtual reader served on a pty.
#include "process.h"
#include "reader_tool.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;
using test::ToolReader;

struct SendCase {
    std::vector<std::string> args;
    int exit;
    int status;         // of the answer, when it came
    const char *answer; // the whole answer frame, when it came
};

TEST(KavSend, FramesTheCommandOrSendsItRawAndDecodesTheAnswer) {
    ToolReader tool;
    ASSERT_FALSE(tool.path().empty());
    const std::vector<SendCase> cases = {
        {{"send", "11 FF"}, 0, 0x90, "AA AA AA 96 69 00 04 00 00 90 94"},
        {{"send", "12ff"},
         0,
         0x90,
         "AA AA AA 96 69 00 14 00 00 90 05 00 01 00 6B 3E 32 01 39 30 00 00 D2 02 96 49 E0"},
        {{"send", "--raw", "AA AA AA 96 69 00 03 11 FF ED"},
         0,
         0x90,
         "AA AA AA 96 69 00 04 00 00 90 94"},
        // The checksum as given, wrong: the SAM says so.
        {{"send", "--raw", "AA AA AA 96 69 00 03 11 FF EE"},
         0,
         0x10,
         "AA AA AA 96 69 00 04 00 00 10 14"},
        // Not a frame at all: nothing answers.
        {{"send", "--raw", "01 02 03"}, 4, -1, nullptr},
        {{"send", "11"}, 1, -1, nullptr},
        {{"send", "1 FF"}, 1, -1, nullptr},
        {{"send", "xx"}, 1, -1, nullptr},
    };
    for (const SendCase &c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const test::Outcome run = test::run(KAV_CLI, args, tool.devices());
        EXPECT_EQ(run.exit, c.exit) << run.out << run.err;
        if (c.answer == nullptr)
            continue;
        const Json answer = Json::parse(run.out, nullptr, false);
        ASSERT_FALSE(answer.is_discarded()) << run.out;
        EXPECT_EQ(answer["status"], c.status);
        EXPECT_EQ(answer["answer"], c.answer);
    }
}

// watch prints each change once, alternating, with a time; Ctrl+C ends it
// with success. Every third find finds no card.
TEST(KavWatch, PrintsArrivalsAndDeparturesUntilInterrupted) {
    ToolReader tool({"--fault", "no-card", "--every", "3"});
    ASSERT_FALSE(tool.path().empty());
    test::Child watch(KAV_CLI, {"watch", "--json", "--interval", "20"}, tool.devices());
    ASSERT_TRUE(watch.started());
    const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    std::vector<std::string> events;
    for (int i = 0; i < 4; ++i) {
        const std::string line = watch.readLine();
        ASSERT_FALSE(line.empty()) << watch.err();
        const Json event = Json::parse(line, nullptr, false);
        ASSERT_FALSE(event.is_discarded()) << line;
        EXPECT_TRUE(std::regex_match(event["time"].get<std::string>(), time)) << line;
        EXPECT_EQ(event["port"], 1);
        events.push_back(event["event"]);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"arrival", "departure", "arrival", "departure"}));

    // The port is watch's while it runs: another process is refused it.
    const test::Outcome send = test::run(KAV_CLI, {"send", "11 FF", "--json"}, tool.devices());
    EXPECT_EQ(send.exit, 3) << send.out;
    EXPECT_NE(send.out.find("Kav_OpenPort"), std::string::npos) << send.out;

    watch.signal(SIGINT);
    EXPECT_EQ(watch.wait(), 0) << watch.err();
}

} // namespace
