// kav on many ports at once: a thread per port, one labelled line or JSON
// object each, the worst exit class; eight readers on ptys soaked together.
#include "process.h"
#include "reader_tool.h"
#include "test_files.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;
using test::Outcome;

Outcome kav(std::vector<std::string> args, const test::Vars &vars) {
    return test::run(KAV_CLI, std::move(args), vars, std::chrono::seconds{60});
}

TEST(KavManyPorts, EightReadersOnPtysSoakedAtOnce) {
    std::vector<std::unique_ptr<test::ToolReader>> readers;
    std::string devices = "defaults=off";
    for (int port = 1; port <= 8; ++port) {
        readers.push_back(std::make_unique<test::ToolReader>());
        ASSERT_TRUE(readers.back()->running());
        devices += "," + std::to_string(port) + "=" + readers.back()->path();
    }
    test::TempFolder photos;
    const Outcome run = kav(
        {"soak", "--count", "3", "--port", "1-8", "--json", "--photo-dir", photos.path().string()},
        {{"KAVIDCARD_DEVICES", devices}});
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    const Json result = Json::parse(run.out);
    ASSERT_TRUE(result.is_array());
    ASSERT_EQ(result.size(), 9u) << run.out;
    for (int port = 1; port <= 8; ++port) {
        SCOPED_TRACE(port);
        const Json &entry = result[static_cast<std::size_t>(port - 1)];
        EXPECT_EQ(entry["port"], port);
        EXPECT_TRUE(entry["samId"].is_string());
        EXPECT_EQ(entry["count"], 3);
        EXPECT_EQ(entry["ok"], 3);
    }
    const Json &total = result.back();
    EXPECT_TRUE(total["port"].is_null());
    EXPECT_EQ(total["total"], true);
    EXPECT_EQ(total["count"], 24);
    EXPECT_EQ(total["ok"], 24);
}

// Port 2 names no device: its line says so, the others read, and the exit
// code is the worst class among them.
TEST(KavManyPorts, EachPortGetsItsLabelledLineAndTheWorstClassWins) {
    const test::Vars vars{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual,3=virtual"}};
    test::TempFolder photos;
    const struct Case {
        std::vector<std::string> command;
        std::string okText; // what port 1's and 3's lines say
    } cases[] = {
        {{"status"}, "SAM status ok"},
        {{"sam-id"}, "05-01-"},
        {{"read", "--photo-dir", photos.path().string()}, "; "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command[0]);
        std::vector<std::string> args = c.command;
        args.insert(args.end(), {"--port", "3,1-2"});
        const Outcome human = kav(args, vars);
        EXPECT_EQ(human.exit, 2) << human.err;
        std::vector<std::string> lines;
        for (std::size_t at = 0, end; (end = human.out.find('\n', at)) != std::string::npos;
             at = end + 1)
            lines.push_back(human.out.substr(at, end - at));
        ASSERT_EQ(lines.size(), 3u) << human.out;
        EXPECT_EQ(lines[0].rfind("port 1 (SAM 05-01-", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(c.okText), std::string::npos) << lines[0];
        EXPECT_EQ(lines[1].rfind("port 2: Kav_OpenPort failed: -1", 0), 0u) << lines[1];
        EXPECT_EQ(lines[2].rfind("port 3 (SAM 05-01-", 0), 0u) << lines[2];

        args.push_back("--json");
        const Outcome json = kav(args, vars);
        EXPECT_EQ(json.exit, 2);
        const Json result = Json::parse(json.out);
        ASSERT_EQ(result.size(), 3u) << json.out;
        EXPECT_EQ(result[0]["port"], 1);
        EXPECT_TRUE(result[0]["samId"].is_string());
        EXPECT_FALSE(result[0].contains("error"));
        EXPECT_EQ(result[1]["port"], 2);
        EXPECT_TRUE(result[1]["samId"].is_null());
        EXPECT_EQ(result[1]["error"]["operation"], "Kav_OpenPort");
        EXPECT_EQ(result[2]["port"], 3);
    }
}

// The library names the photo alike on every port (tmp, or the same card's
// name): each port's photo keeps a file of its own, one port the library's.
TEST(KavManyPorts, EachPortsPhotoHasItsOwnFile) {
    const test::Vars vars{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual,3=virtual"}};
    const struct Case {
        std::vector<std::string> options;
        std::string port1, port3; // the photo's file names; port3 empty: one port
    } cases[] = {
        {{"--port", "1,3"}, "tmp-port1.bmp", "tmp-port3.bmp"},
        {{"--port", "1,3", "--photo-name", "id", "--photo-format", "jpeg"},
         "990102198805120135-port1.jpg",
         "990102198805120135-port3.jpg"},
        {{"--port", "1,3", "--fingerprint"}, "tmp-port1.bmp", "tmp-port3.bmp"},
        {{"--port", "3"}, "tmp.bmp", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options.back());
        test::TempFolder photos;
        std::vector<std::string> args{"read", "--json", "--photo-dir", photos.path().string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const Outcome run = kav(args, vars);
        ASSERT_EQ(run.exit, 0) << run.out << run.err;
        const Json result = Json::parse(run.out);
        std::vector<std::string> expected{c.port1};
        if (!c.port3.empty())
            expected.push_back(c.port3);
        const Json entries = result.is_array() ? result : Json::array({result});
        ASSERT_EQ(entries.size(), expected.size()) << run.out;
        std::vector<std::string> files;
        for (const auto &entry : std::filesystem::directory_iterator(photos.path()))
            files.push_back(entry.path().filename().string());
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, expected);
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(entries[i]["photoFile"], (photos.path() / expected[i]).string());
    }
}

// Ports soaked at once into one folder: each port's photo has a file of
// its own, and it is the photo of the card on that port.
TEST(KavManyPorts, SoakedPortsEachKeepTheirOwnCardsPhoto) {
    const std::string cards = KAV_CARDS_DIR;
    test::ToolReader first({"--card", cards + "/ordinary.json"});
    test::ToolReader second({"--card", cards + "/mongol-female.json"});
    ASSERT_TRUE(first.running() && second.running());
    const test::Vars vars{
        {"KAVIDCARD_DEVICES", "defaults=off,1=" + first.path() + ",2=" + second.path()}};
    // Each card's photo as one port alone reads it.
    std::vector<std::vector<std::uint8_t>> alone;
    for (const char *port : {"1", "2"}) {
        test::TempFolder folder;
        const Outcome read =
            kav({"read", "--port", port, "--photo-dir", folder.path().string()}, vars);
        ASSERT_EQ(read.exit, 0) << read.err;
        alone.push_back(test::readFile(folder.path() / "tmp.bmp"));
    }
    ASSERT_NE(alone[0], alone[1]) << "the two cards must differ to tell them apart";

    const struct Case {
        std::vector<std::string> options;
        std::string port1, port2; // the photos' files
        bool bitmap;              // the files are as `alone` read them
    } cases[] = {
        {{"--port", "1-2"}, "tmp-port1.bmp", "tmp-port2.bmp", true},
        // Named by the card: each port's file carries its own card's number.
        {{"--port", "2,1", "--photo-name", "id", "--photo-format", "jpeg"},
         "990102198805120135-port1.jpg",
         "990204199502140262-port2.jpg",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port1);
        test::TempFolder photos;
        std::vector<std::string> args{"soak",   "--count",     "3",
                                      "--json", "--photo-dir", photos.path().string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const Outcome run = kav(args, vars);
        ASSERT_EQ(run.exit, 0) << run.out << run.err;
        EXPECT_EQ(Json::parse(run.out).back()["ok"], 6) << run.out;
        EXPECT_EQ(test::listing(photos.path()), (std::vector<std::string>{c.port1, c.port2}));
        if (c.bitmap) {
            EXPECT_EQ(test::readFile(photos.path() / c.port1), alone[0]);
            EXPECT_EQ(test::readFile(photos.path() / c.port2), alone[1]);
        }
    }
}

TEST(KavManyPorts, AllIsEveryPortWhereAReaderAnswers) {
    test::ToolReader silent({"--fault", "delay"});
    const test::Vars vars{
        {"KAVIDCARD_DEVICES",
         "defaults=off,1=virtual,2=/dev/kav-no-such-node,4=virtual,6=" + silent.path()}};
    const Outcome run = kav({"sam-id", "--all", "--json"}, vars);
    ASSERT_EQ(run.exit, 0) << run.out << run.err;
    const Json result = Json::parse(run.out);
    ASSERT_EQ(result.size(), 2u) << run.out;
    EXPECT_EQ(result[0]["port"], 1);
    EXPECT_EQ(result[1]["port"], 4);

    const Outcome none = kav({"status", "--all"}, {{"KAVIDCARD_DEVICES", "defaults=off"}});
    EXPECT_EQ(none.exit, 2);
}

TEST(KavManyPorts, SoakOnATerminalDrawsALineForEachPortAndSumsUp) {
    test::TempFolder photos;
    const Outcome run = test::runOnTerminal(
        KAV_CLI, {"soak", "--count", "2", "--port", "1-2", "--photo-dir", photos.path().string()},
        {{"KAVIDCARD_DEVICES", "defaults=off,1=virtual,2=virtual"}});
    EXPECT_EQ(run.exit, 0) << run.err;
    for (const char *port :
         {"port 1  soak 2/2  ok 2  failed 0", "port 2  soak 2/2  ok 2  failed 0"})
        EXPECT_NE(run.err.find(port), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("port 1 (SAM "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("port 2 (SAM "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("total: 2 ports, 4 reads: 4 ok, 0 failed"), std::string::npos)
        << run.out;
}

} // namespace

#include "network_server.h"

namespace {

TEST(KavNetworkPorts, PortsSaysWhichAnswerAndTheTraceNamesTheServer) {
    KAV_REQUIRE_SER2NET();
    test::ToolReader tool;
    test::Ser2net server(tool.path());
    ASSERT_TRUE(server.running());
    const std::string nobody = "tcp://127.0.0.1:" + std::to_string(test::freePort());
    const test::Vars vars{{"KAVIDCARD_DEVICES", "defaults=off,1=" + server.url() + ",2=" + nobody}};

    const Outcome ports = kav({"ports", "--json"}, vars);
    ASSERT_EQ(ports.exit, 0) << ports.err;
    const Json listed = Json::parse(ports.out)["ports"];
    ASSERT_EQ(listed.size(), 2u) << ports.out;
    EXPECT_EQ(listed[0]["device"], server.url());
    EXPECT_EQ(listed[0]["answers"], true);
    EXPECT_EQ(listed[1]["device"], nobody);
    EXPECT_EQ(listed[1]["answers"], false);
    EXPECT_EQ(listed[1]["access"], "no connection");

    const Outcome traced = kav({"--trace", "status"}, vars);
    EXPECT_EQ(traced.exit, 0) << traced.err;
    EXPECT_NE(traced.err.find(server.url() + "  →  AA AA AA 96 69"), std::string::npos)
        << traced.err;
}

} // namespace
