// kav end to end, as a script runs it: the built binary, its standard
// output parsed as JSON, its exit code, against the in-process virtual
// reader and against kav-virtual-reader on a pty with its faults.
#include "KavIDCardAPI.h"
#include "network_server.h"
#include "process.h"
#include "reader_tool.h"
#include "test_files.h"
#include "test_pty.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kExitUsage = 1;
constexpr int kExitNoDevice = 2;
constexpr int kExitAccess = 3;
constexpr int kExitLink = 4;
constexpr int kExitRefused = 5;
constexpr int kExitPhoto = 6;

using test::Outcome;

Json json(const Outcome &run) {
    Json parsed = Json::parse(run.out, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << run.out;
    return parsed;
}

Outcome kav(std::vector<std::string> args, const test::Vars &vars) {
    return test::run(KAV_CLI, std::move(args), vars);
}

const test::Vars kInProcess{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"}};

using test::TempFolder;

std::string fileText(const fs::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

using test::ToolReader;

void expectError(const Outcome &run, int exitCode, const char *operation,
                 std::optional<int> code = std::nullopt) {
    EXPECT_EQ(run.exit, exitCode) << run.out << run.err;
    const Json parsed = json(run);
    ASSERT_TRUE(parsed.contains("error")) << run.out;
    EXPECT_EQ(parsed["error"]["operation"], operation);
    if (code) {
        EXPECT_EQ(parsed["error"]["code"], *code);
    }
    EXPECT_FALSE(parsed["error"]["text"].get<std::string>().empty());
}

// ---- Each command on a reader that works -----------------------------------

TEST(KavCommands, EachPrintsItsObjectAndExitsZero) {
    struct Case {
        std::vector<std::string> args;
        Json expected;
    };
    const Case cases[] = {
        {{"find"}, {{"port", 1}, {"kind", "serial"}, {"baud", 115200}}},
        {{"status"}, {{"ok", true}}},
        {{"reset"}, {{"ok", true}}},
        {{"baud"}, {{"baud", 115200}}},
        {{"max-rf", "200"}, {{"ok", true}}},
        // The virtual SAM's identifier, in the dialog's form and byte for byte.
        {{"sam-id"},
         {{"samId", "05-01-20069995-12345-1234567890"},
          {"hex", "050001006B3E320139300000D2029649"}}},
        {{"ports"},
         {{"ports",
           Json::array({{{"port", 1}, {"device", "virtual"}, {"exists", true}, {"access", "ok"}}})},
          {"warnings", Json::array()}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.front());
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const Outcome run = kav(args, kInProcess);
        EXPECT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(json(run), c.expected);
    }
}

TEST(KavCommands, ReadGivesTheCardInUtf8AndWritesThePhotoAsAsked) {
    struct Case {
        const char *format;
        const char *scheme;
        const char *fileName;
    };
    const Case cases[] = {
        {"bmp", "tmp", "tmp.bmp"},
        {"jpeg", "id", "990102198805120135.jpg"},
        {"base64", "name-id", "林晓航_990102198805120135.txt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        TempFolder folder;
        const Outcome run = kav({"read", "--json", "--photo-dir", folder.path().string(),
                                 "--photo-format", c.format, "--photo-name", c.scheme},
                                kInProcess);
        ASSERT_EQ(run.exit, 0) << run.out << run.err;
        const Json card = json(run);
        EXPECT_EQ(card["name"], "林晓航");
        EXPECT_EQ(card["sex"], "男");
        EXPECT_EQ(card["born"], "1988年05月12日");
        EXPECT_EQ(card["idNumber"], "990102198805120135");
        EXPECT_EQ(card["validUntil"], "2035/06/10");
        EXPECT_EQ(card["photoFile"], (folder.path() / c.fileName).string());
        EXPECT_GT(fs::file_size(folder.path() / c.fileName), 0u);
    }
}

TEST(KavCommands, HumanOutputIsShortUtf8Lines) {
    const Outcome run =
        kav({"read", "--photo-dir", TempFolder().path().parent_path().string()}, kInProcess);
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_NE(run.out.find("姓名: 林晓航\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('{'), std::string::npos);
}

TEST(KavCommands, FindWithoutReaderSaysPortZeroAndExitsTwo) {
    const Outcome run = kav({"find", "--json"}, {{"KAVIDCARD_DEVICES", "defaults=off"}});
    EXPECT_EQ(run.exit, kExitNoDevice);
    EXPECT_EQ(json(run), Json({{"port", 0}}));
}

TEST(KavCommands, PortWithoutDeviceIsClassTwo) {
    expectError(kav({"--port", "7", "status", "--json"}, kInProcess), kExitNoDevice, "Kav_OpenPort",
                -1);
}

TEST(KavCommands, HelpOnEveryCommandAndVersion) {
    // Options with their metavar, none of CLI11's type names or links.
    const auto plain = [](const std::string &help) {
        for (const char *noise : {"TEXT", "INT", "Excludes", "Subcommands", "REQUIRED"})
            EXPECT_EQ(help.find(noise), std::string::npos) << noise << " in\n" << help;
    };
    const Outcome top = kav({"--help"}, {});
    EXPECT_EQ(top.exit, 0);
    EXPECT_EQ(top.out.find("Usage: kav [OPTIONS] COMMAND"), top.out.find('\n') + 1) << top.out;
    EXPECT_NE(top.out.find("  -p,--port PORT "), std::string::npos) << top.out;
    EXPECT_NE(top.out.find("\nCommands:\n"), std::string::npos) << top.out;
    EXPECT_NE(top.out.find("Exit status"), std::string::npos);
    plain(top.out);
    const struct Case {
        const char *command;
        const char *usage;
        const char *option; // one of its options with its metavar
    } cases[] = {
        {"ports", "Usage: kav [OPTIONS] ports\n", "-h,--help"},
        {"find", "Usage: kav [OPTIONS] find\n", "-h,--help"},
        {"status", "Usage: kav [OPTIONS] status\n", "-h,--help"},
        {"reset", "Usage: kav [OPTIONS] reset\n", "-h,--help"},
        {"sam-id", "Usage: kav [OPTIONS] sam-id\n", "-h,--help"},
        {"baud", "Usage: kav [OPTIONS] baud [COMMAND OPTIONS]\n", "--set RATE "},
        {"max-rf", "Usage: kav [OPTIONS] max-rf COUNT\n", "COUNT "},
        {"read", "Usage: kav [OPTIONS] read [COMMAND OPTIONS]\n", "--fingerprint-out FILE "},
        {"address", "Usage: kav [OPTIONS] address\n", "-h,--help"},
        {"soak", "Usage: kav [OPTIONS] soak [COMMAND OPTIONS]\n", "--interval MS "},
        {"check", "Usage: kav [OPTIONS] check [COMMAND OPTIONS]\n", "--plan FILE "},
        {"results", "Usage: kav [OPTIONS] results [COMMAND OPTIONS]\n", "--since DATE "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        const Outcome run = kav({c.command, "--help"}, {});
        EXPECT_EQ(run.exit, 0);
        EXPECT_NE(run.out.find(c.usage), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(c.option), std::string::npos) << run.out;
        // The exit table once, in kav --help, which the footer names.
        EXPECT_EQ(run.out.find("Exit status"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("kav --help"), std::string::npos) << run.out;
        plain(run.out);
    }
    const Outcome version = kav({"--version"}, {});
    EXPECT_EQ(version.exit, 0);
    // The library's version too: the one loaded may be another than kav's.
    EXPECT_EQ(version.out, "kav " KAV_VERSION "\nlibrary " + std::to_string(KAV_VERSION_MAJOR) +
                               "." + std::to_string(KAV_VERSION_MINOR) + "." +
                               std::to_string(KAV_VERSION_PATCH) + "\n");
}

// What a library or system call throws ends kav as a failure of its class
// (anything else), said in both forms, never by abort().
TEST(KavCommands, NothingEscapesUnreported) {
    TempFolder folder;
    const test::Vars vars{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"},
                          {"TMPDIR", (folder.path() / "gone").string()}};
    const std::string db = (folder.path() / "r.sqlite").string();
    for (const bool asJson : {false, true}) {
        SCOPED_TRACE(asJson);
        std::vector<std::string> args{"check", "--db", db};
        if (asJson)
            args.push_back("--json");
        const Outcome run = kav(args, vars);
        EXPECT_EQ(run.exit, 7) << run.out << run.err;
        if (asJson) {
            EXPECT_EQ(json(run)["error"]["operation"], "internal error");
            EXPECT_NE(json(run)["error"]["text"].get<std::string>().find("temp_directory_path"),
                      std::string::npos);
        } else {
            EXPECT_EQ(run.out, "");
            EXPECT_NE(run.err.find("kav: internal error: "), std::string::npos) << run.err;
        }
    }
}

TEST(KavCommands, TraceShowsFramesAsTheMonitorDoes) {
    const Outcome run = kav({"--trace", "status"}, kInProcess);
    EXPECT_EQ(run.exit, 0);
    EXPECT_NE(run.err.find("  virtual@1  →  AA AA AA 96 69 00 03 11 FF ED  SAM status\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("  ←  AA AA AA 96 69 00 04 00 00 90 94  "), std::string::npos);
    EXPECT_NE(run.err.find("Kav_GetSAMStatus(1, 0) = 0"), std::string::npos);
    EXPECT_EQ(run.out, "SAM status ok\n");
}

// A library without the optional exports: kav looks them up when it runs.
TEST(KavCommands, LibraryWithoutOptionalExportsStillWorks) {
#ifndef KAV_CORE_ONLY_LIBRARY
    GTEST_SKIP() << "no core-only library in this build";
#else
    TempFolder folder;
    // The name kav asks the loader for, in a folder searched before its own.
    fs::copy_file(KAV_CORE_ONLY_LIBRARY, folder.path() / "libKavIDCardAPI.so.1");
    const test::Vars env{{"LD_LIBRARY_PATH", folder.path().string()}};

    const Outcome traced = kav({"--trace", "status", "--json"}, env);
    EXPECT_EQ(traced.exit, 0) << traced.err;
    EXPECT_EQ(json(traced), Json({{"ok", true}}));
    EXPECT_NE(traced.err.find("reports no frames"), std::string::npos) << traced.err;

    const Outcome ports = kav({"ports", "--json"}, env);
    EXPECT_EQ(ports.exit, 7);
    EXPECT_EQ(json(ports)["error"]["operation"], "Kav_GetMappedPort") << ports.out;
#endif
}

// ---- Bad arguments ---------------------------------------------------------

// A slip of a letter or two, or two swapped, is answered with the name
// meant; a word near nothing gets no guess.
TEST(KavArguments, AMisspeltCommandOrOptionGetsTheNearestName) {
    const struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"raed"}, "unknown command raed; did you mean read?"},
        {{"stauts"}, "unknown command stauts; did you mean status?"},
        {{"sam-di"}, "unknown command sam-di; did you mean sam-id?"},
        {{"xyzzy"}, "unknown command xyzzy (kav --help"},
        {{"status", "--prot", "2"}, "unknown option --prot; did you mean --port?"},
        {{"--jsno", "status"}, "unknown option --jsno; did you mean --json?"},
        {{"results", "--dv", "x"}, "unknown option --dv; did you mean --db?"},
        {{"read", "--fingerprnt"}, "unknown option --fingerprnt; did you mean --fingerprint?"},
        {{"read", "--zzzzzz"}, "unknown option --zzzzzz (kav --help"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        const Outcome run = kav(c.args, kInProcess);
        EXPECT_EQ(run.exit, kExitUsage);
        EXPECT_NE(run.err.find("kav: " + c.message), std::string::npos) << run.err;
    }
}

TEST(KavArguments, RefusedWithOneLineNamingTheArgumentBeforeAnyPortIsTouched) {
    TempFolder folder;
    const fs::path notGbk = folder.path() / "照片😀";
    fs::create_directory(notGbk);
    const fs::path aFile = folder.path() / "file";
    std::ofstream(aFile) << "x";
    struct Case {
        std::vector<std::string> args;
        std::string named;
    };
    const Case cases[] = {
        {{"frob"}, "frob"},
        {{}, "command"},
        {{"--port", "0", "status"}, "--port"},
        {{"-p", "0", "status"}, "--port"},
        {{"--port", "-3", "read"}, "--port"},
        {{"--port", "x", "find"}, "--port"},
        {{"--port", "1,,3", "status"}, "--port"},
        {{"--port", "5-3", "status"}, "reversed"},
        {{"--port", "0-2", "status"}, "--port"},
        {{"--port", "1,2-4,3", "sam-id"}, "twice"},
        {{"--port", "1-5000", "soak", "--count", "1"}, "--port"},
        {{"--port", "1-2", "reset"}, "--port"},
        {{"--port", "1-2", "read", "--fingerprint-out", "/tmp/kav-fingerprint-never-made"},
         "one port"},
        {{"--all", "baud"}, "--port"},
        {{"--all", "--port", "2", "status"}, "--port"},
        {{"baud", "--set", "12345"}, "--set"},
        {{"soak", "--count", "0"}, "--count"},
        {{"soak"}, "--count"},
        {{"soak", "--count", "2", "--interval", "-1"}, "--interval"},
        {{"max-rf", "23"}, "COUNT"},
        {{"max-rf", "256"}, "COUNT"},
        {{"read", "--photo-dir", (folder.path() / "gone").string()}, "--photo-dir"},
        {{"read", "--photo-dir", aFile.string()}, "--photo-dir"},
        {{"read", "--photo-dir", notGbk.string()}, "--photo-dir"},
        {{"read", "--photo-format", "png"}, "--photo-format"},
        {{"status", "--bogus"}, "--bogus"},
        {{"read", "--fingerprint-out", aFile.string()}, "--fingerprint-out"},
    };
    const fs::path trace = folder.path() / "trace.log";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.named);
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const Outcome run = kav(args, {{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"},
                                       {"KAVIDCARD_TRACE", trace.string()}});
        EXPECT_EQ(run.exit, kExitUsage);
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        // A script that asked for JSON gets the error object, one line, the
        // same text as the line on standard error.
        ASSERT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        const Json error = json(run)["error"];
        EXPECT_EQ(error["operation"], "usage") << run.out;
        const std::string text = error["text"].get<std::string>();
        EXPECT_NE(text.find(c.named), std::string::npos) << run.out;
        EXPECT_NE(run.err.find("kav: " + text + " (kav --help"), std::string::npos) << run.err;
    }
    const std::string traced = fileText(trace);
    EXPECT_EQ(traced.find("Kav_OpenPort"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("Kav_FindReader"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("Kav_GetCOMBaud"), std::string::npos) << traced;
}

// ---- File permissions (they do not bind root: ctest runs these as nobody) --

// A device node nobody but root may open.
fs::path lockedDevice(const TempFolder &folder) {
    const fs::path device = folder.path() / "ttyLocked";
    std::ofstream(device) << "";
    chmod(device.c_str(), 0);
    return device;
}

TEST(KavAccess, DeviceWithoutPermissionIsClassThreeAndPortsSaysWhy) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    TempFolder folder;
    const fs::path device = lockedDevice(folder);
    const test::Vars devices{{"KAVIDCARD_DEVICES", "defaults=off,1=" + device.string()}};

    const Outcome status = kav({"status", "--json"}, devices);
    expectError(status, kExitAccess, "Kav_OpenPort", -2);
    const Outcome ports = kav({"ports", "--json"}, devices);
    EXPECT_EQ(ports.exit, 0);
    const Json entry = json(ports)["ports"][0];
    EXPECT_EQ(entry["device"], device.string());
    EXPECT_EQ(entry["exists"], true);
    EXPECT_EQ(entry["access"], "denied");
    EXPECT_FALSE(entry["group"].get<std::string>().empty());
    EXPECT_TRUE(entry.contains("inGroup"));
    // The open failure says what ports says: the device's group and the fix.
    const std::string diagnosis = json(status)["error"]["diagnosis"];
    EXPECT_EQ(diagnosis.rfind("port 1 (" + device.string() + "): permission denied: ", 0), 0u)
        << diagnosis;
    EXPECT_NE(diagnosis.find(entry["reason"].get<std::string>()), std::string::npos) << diagnosis;
}

TEST(KavAccess, PhotoFolderNotWritableIsClassSix) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    TempFolder folder;
    ASSERT_EQ(chmod(folder.path().c_str(), 0500), 0);
    // Refused when chosen, before anything is read: the photo never lands
    // in the library's previous folder instead.
    expectError(kav({"read", "--json", "--photo-dir", folder.path().string()}, kInProcess),
                kExitPhoto, "Kav_SetPhotoPath", -8);
    chmod(folder.path().c_str(), 0700);
}

// ---- Over a pty, as a serial reader ---------------------------------------

TEST(KavOnPty, ReadsAndChangesTheRate) {
    ToolReader tool;
    ASSERT_FALSE(tool.path().empty());
    TempFolder folder;
    const Outcome read =
        kav({"read", "--json", "--photo-dir", folder.path().string()}, tool.devices());
    ASSERT_EQ(read.exit, 0) << read.out << read.err;
    EXPECT_EQ(json(read)["idNumber"], "990102198805120135");

    const Outcome set = kav({"baud", "--set", "38400", "--json"}, tool.devices());
    EXPECT_EQ(set.exit, 0) << set.out << set.err;
    EXPECT_EQ(json(set), Json({{"baud", 38400}}));
    // A new process knows no rate: it finds the SAM where it went.
    const Outcome get = kav({"baud", "--json"}, tool.devices());
    EXPECT_EQ(json(get), Json({{"baud", 38400}}));
    const Outcome find = kav({"find", "--json"}, tool.devices());
    EXPECT_EQ(json(find), Json({{"port", 1}, {"kind", "serial"}, {"baud", 38400}}));
}

TEST(KavOnPty, EachFaultGivesItsClass) {
    struct Case {
        std::vector<std::string> toolOptions;
        std::vector<std::string> args;
        int exit;
        const char *operation;
        std::optional<int> code;
    };
    const Case cases[] = {
        {{"--no-card"}, {"read"}, kExitRefused, "Kav_StartFindIDCard", 128},
        {{"--fault", "no-card"}, {"read"}, kExitRefused, "Kav_StartFindIDCard", 128},
        {{"--fault", "sam-not-authorised"}, {"status"}, kExitRefused, "Kav_GetSAMStatus", 102},
        {{"--fault", "read-failure"}, {"read"}, kExitRefused, "Kav_ReadMsg", 65},
        {{"--fault", "sam-self-test"}, {"sam-id"}, kExitRefused, "Kav_GetSAMID", 96},
        {{"--fault", "delay"}, {"status"}, kExitLink, "Kav_GetSAMStatus", -6},
        {{"--fault", "bad-checksum"}, {"reset"}, kExitLink, "Kav_ResetSAM", std::nullopt},
        // The line goes away: the open that probes the rate sees it.
        {{"--fault", "disconnect"}, {"status"}, kExitLink, "Kav_OpenPort", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.toolOptions.back());
        ToolReader tool(c.toolOptions);
        ASSERT_FALSE(tool.path().empty());
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        expectError(kav(args, tool.devices()), c.exit, c.operation, c.code);
    }
}

TEST(KavOnPty, SoakCountsFailuresByCodeAndExitsWithTheirClass) {
    // Every second search finds no card.
    ToolReader tool({"--fault", "no-card", "--every", "2"});
    ASSERT_FALSE(tool.path().empty());
    TempFolder folder;
    const Outcome run = kav({"soak", "--count", "6", "--interval", "5", "--json", "--photo-dir",
                             folder.path().string()},
                            tool.devices());
    EXPECT_EQ(run.exit, kExitRefused) << run.err;
    const Json summary = json(run);
    EXPECT_EQ(summary["count"], 6);
    EXPECT_EQ(summary["ok"], 3);
    EXPECT_EQ(summary["failures"], Json({{"128", 3}}));
    ASSERT_EQ(summary["failedSteps"].size(), 1u) << summary;
    EXPECT_EQ(summary["failedSteps"][0]["operation"], "Kav_StartFindIDCard");
    EXPECT_EQ(summary["failedSteps"][0]["count"], 3);
    const Json &ms = summary["ms"];
    EXPECT_GT(ms["min"].get<double>(), 0);
    EXPECT_LE(ms["min"].get<double>(), ms["median"].get<double>());
    EXPECT_LE(ms["median"].get<double>(), ms["p95"].get<double>());
    EXPECT_LE(ms["p95"].get<double>(), ms["max"].get<double>());
    EXPECT_GT(summary["readsPerMinute"].get<double>(), 0);
    // Not a terminal: no progress line.
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("soak "), std::string::npos) << run.err;
}

// A noisy line costs retries, not reads, and the soak and the trace say so.
TEST(KavOnPty, SoakOnANoisyLineCountsItsRetries) {
    ToolReader tool({"--fault", "bad-checksum", "--every", "5"});
    ASSERT_FALSE(tool.path().empty());
    TempFolder folder;
    const Outcome run = test::run(
        KAV_CLI,
        {"--trace", "soak", "--count", "4", "--json", "--photo-dir", folder.path().string()},
        tool.devices());
    EXPECT_EQ(run.exit, 0) << run.out;
    const Json summary = json(run);
    EXPECT_EQ(summary["ok"], 4);
    EXPECT_GE(summary["retries"].get<int>(), 2) << run.out;
    EXPECT_NE(run.err.find("the answer came broken; sending the command once more"),
              std::string::npos);
}

TEST(KavCommands, InterruptedSoakStillSumsUp) {
    TempFolder folder;
    bool sent = false;
    // Interrupted once the first read is done, as seen in the trace.
    const Outcome run = test::run(
        KAV_CLI,
        {"--trace", "soak", "--count", "100000", "--json", "--photo-dir", folder.path().string()},
        kInProcess, std::chrono::seconds{20}, [&sent](pid_t pid, const std::string &err) {
            if (!sent && err.find("Kav_ReadMsg(1, 0) = 0") != std::string::npos)
                sent = kill(pid, SIGINT) == 0;
        });
    ASSERT_TRUE(sent);
    EXPECT_EQ(run.exit, 0) << run.err.substr(run.err.size() -
                                             std::min<std::size_t>(400, run.err.size()));
    const Json summary = json(run);
    EXPECT_EQ(summary["interrupted"], true);
    EXPECT_GE(summary["count"].get<int>(), 1);
    EXPECT_LT(summary["count"].get<int>(), 100000);
    EXPECT_EQ(summary["ok"], summary["count"]);
}

TEST(KavCommands, SoakShowsProgressOnATerminal) {
    TempFolder folder;
    const Outcome run = test::runOnTerminal(
        KAV_CLI, {"soak", "--count", "3", "--photo-dir", folder.path().string()}, kInProcess);
    EXPECT_EQ(run.exit, 0) << run.err;
    const std::string &shown = run.err;
    EXPECT_NE(shown.find("\rsoak 1/3  ok 1  failed 0"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\rsoak 3/3  ok 3  failed 0"), std::string::npos) << shown;
}

TEST(KavOnPty, SoakWithEveryReadGoodExitsZero) {
    ToolReader tool;
    ASSERT_FALSE(tool.path().empty());
    TempFolder folder;
    const Outcome run = kav(
        {"soak", "--count", "3", "--json", "--photo-dir", folder.path().string()}, tool.devices());
    EXPECT_EQ(run.exit, 0) << run.out << run.err;
    EXPECT_EQ(json(run)["ok"], 3);
    EXPECT_EQ(json(run)["failures"], Json::object());
}

// A reader pulled out in the middle of a soak and plugged back in on the
// same path: the reads fail while it is away, succeed again once it is back,
// and the soak sums up both instead of ending at the first failure.
TEST(KavOnPty, SoakGoesOnAcrossAnUnplug) {
    ToolReader tool;
    ASSERT_TRUE(tool.running());
    TempFolder folder;
    enum class Phase { Reading, Away, Back, Done } phase = Phase::Reading;
    std::size_t since = 0; // where the phase began in the trace
    const auto seen = [&since](const std::string &err, const std::string &what) {
        int n = 0;
        for (std::size_t at = err.find(what, since); at != std::string::npos;
             at = err.find(what, at + 1))
            ++n;
        return n;
    };
    const std::string readOk = "Kav_ReadMsg(1, 0) = 0 ";
    const Outcome run =
        test::run(KAV_CLI,
                  {"--trace", "soak", "--count", "100000", "--interval", "20", "--json",
                   "--photo-dir", folder.path().string()},
                  tool.devices(), std::chrono::seconds{60}, [&](pid_t pid, const std::string &err) {
                      if (phase == Phase::Reading && seen(err, readOk) >= 2) {
                          tool.stop(SIGKILL);
                          phase = Phase::Away;
                          since = err.size();
                      } else if (phase == Phase::Away && seen(err, "Kav_OpenPort(1) = -") >= 2) {
                          tool.start();
                          phase = Phase::Back;
                          since = err.size();
                      } else if (phase == Phase::Back && seen(err, readOk) >= 2) {
                          kill(pid, SIGINT);
                          phase = Phase::Done;
                      }
                  });
    ASSERT_EQ(phase, Phase::Done) << run.err.substr(run.err.size() -
                                                    std::min<std::size_t>(800, run.err.size()));
    const Json summary = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(summary.is_object()) << run.out;
    EXPECT_EQ(summary["interrupted"], true);
    const int count = summary["count"].get<int>();
    const int ok = summary["ok"].get<int>();
    EXPECT_GE(ok, 4) << "two reads before the unplug and two after";
    EXPECT_GE(count - ok, 2) << "the reads while it was away failed";
    EXPECT_FALSE(summary["failures"].empty());
}

} // namespace

// ---- What the library's configuration got wrong ----------------------------

namespace diagnostics {

std::vector<std::string> linesStartingWith(const std::string &text, const std::string &prefix) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

// kav with standard output sent where the shell line says.
Outcome kavWithStdout(const std::string &redirect, std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" " + redirect, KAV_CLI});
    return test::run("/bin/sh", args, kInProcess);
}

} // namespace diagnostics

TEST(KavWarnings, EveryCommandWarnsOncePerIgnoredDeviceEntry) {
    const test::Vars devices{
        {"KAVIDCARD_DEVICES", "defaults=off,garbage,1=virtual,2=,0=virtual,99999999999=virtual"}};
    const char *const ignored[] = {"\"garbage\"", "\"2=\"", "\"0=virtual\"",
                                   "\"99999999999=virtual\""};
    struct Case {
        std::vector<std::string> args;
        int exit;
    };
    const Case cases[] = {
        {{"status"}, 0}, {{"ports"}, 0}, {{"find"}, 0}, {{"--port", "5", "reset"}, kExitNoDevice}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        const Outcome run = kav(c.args, devices);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        const std::vector<std::string> warnings =
            diagnostics::linesStartingWith(run.err, "kav: warning: KAVIDCARD_DEVICES: ignored ");
        ASSERT_EQ(warnings.size(), std::size(ignored)) << run.err;
        for (std::size_t i = 0; i < warnings.size(); ++i)
            EXPECT_NE(warnings[i].find(ignored[i]), std::string::npos) << warnings[i];
    }
    EXPECT_EQ(kav({"status"}, kInProcess).err, "") << "a sound setting warns of nothing";
}

TEST(KavWarnings, PortsListsIgnoredEntriesAndBadCardFiles) {
    TempFolder folder;
    const fs::path broken = folder.path() / "broken.json";
    std::ofstream(broken) << "{\"name\": ";
    const std::string refusing = "tcp://127.0.0.1:" + std::to_string(test::freePort());
    const test::Vars devices{
        {"KAVIDCARD_DEVICES", "defaults=off,1=virtual:/no/such.json,2=virtual,3=virtual:" +
                                  broken.string() + ",4=" + refusing + ",junk"}};
    const Outcome run = kav({"ports", "--json"}, devices);
    ASSERT_EQ(run.exit, 0) << run.err;
    const Json listing = json(run);
    struct Case {
        int port;
        const char *access;
        const char *reason; // part of it
    };
    const Case cases[] = {{1, "bad card file", "card file /no/such.json: No such file"},
                          {2, "ok", nullptr},
                          {3, "bad card file", "not valid JSON"},
                          // The code's text, then the library's words.
                          {4, "no connection", ": cannot connect (Connection refused)"}};
    ASSERT_EQ(listing["ports"].size(), std::size(cases)) << run.out;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].port);
        const Json &entry = listing["ports"][i];
        EXPECT_EQ(entry["port"], cases[i].port);
        EXPECT_EQ(entry["access"], cases[i].access);
        if (cases[i].reason != nullptr) {
            EXPECT_NE(entry["reason"].get<std::string>().find(cases[i].reason), std::string::npos)
                << entry;
        } else {
            EXPECT_FALSE(entry.contains("reason"));
        }
    }
    const Json &warnings = listing["warnings"];
    ASSERT_EQ(warnings.size(), 3u) << run.out;
    EXPECT_EQ(warnings[0]["port"], 0);
    EXPECT_NE(warnings[0]["text"].get<std::string>().find("\"junk\""), std::string::npos);
    EXPECT_EQ(warnings[1]["port"], 1);
    EXPECT_EQ(warnings[2]["port"], 3);

    const Outcome text = kav({"ports"}, devices);
    EXPECT_NE(text.out.find("1  virtual:/no/such.json  bad card file: card file /no/such.json"),
              std::string::npos)
        << text.out;
    // Once, as every command says it, not again in the listing.
    EXPECT_EQ(text.out.find("ignored \"junk\""), std::string::npos) << text.out;
    EXPECT_NE(text.err.find("kav: warning: KAVIDCARD_DEVICES: ignored \"junk\""), std::string::npos)
        << text.err;
    EXPECT_NE(text.out.find("4  " + refusing + "  no connection: "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(refusing + ": cannot connect (Connection refused)"), std::string::npos)
        << text.out;
}

// ---- Why a port did not open -------------------------------------------------

// Every command names the port, its device and what to do, in one wording.
TEST(KavOpenFailure, EveryCommandNamesThePortItsDeviceAndWhatToDo) {
    const test::Pty pty;
    const int holder = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0)
        << "the test holds the device, as a terminal program would";
    const std::string refusing = "tcp://127.0.0.1:" + std::to_string(test::freePort());
    const test::Vars vars{
        {"KAVIDCARD_DEVICES", "defaults=off,1=/no/such/ttyUSB0,3=" + refusing +
                                  ",4=tcp://no-such-host.invalid:4001,5=" + pty.slave()}};
    const struct Case {
        const char *port;
        int exit;
        int code;
        std::string says;
    } cases[] = {
        {"1", kExitNoDevice, KAV_E_NO_DEVICE,
         "port 1 (/no/such/ttyUSB0): no such device: is the reader plugged in? (kav ports lists "
         "what is there)"},
        {"9", kExitNoDevice, KAV_E_NO_DEVICE,
         "port 9: no device is mapped to it: map one in KAVIDCARD_DEVICES"},
        {"3", kExitNoDevice, KAV_E_REFUSED,
         "port 3 (" + refusing +
             "): the server refused the connection: is the serial-port server "
             "running"},
        {"4", kExitNoDevice, KAV_E_UNKNOWN_HOST,
         "port 4 (tcp://no-such-host.invalid:4001): unknown host: check the host name"},
        {"5", kExitAccess, KAV_E_BUSY,
         "port 5 (" + pty.slave() + "): busy: held by PID " + std::to_string(getpid()) + " ("},
    };
    for (const Case &c : cases) {
        for (const char *command : {"status", "read", "sam-id", "reset"}) {
            SCOPED_TRACE(std::string(command) + " on port " + c.port);
            const Outcome text = kav({"--port", c.port, command}, vars);
            EXPECT_EQ(text.exit, c.exit);
            EXPECT_EQ(text.err.rfind(
                          "kav: Kav_OpenPort failed: " + std::to_string(c.code) + ": " + c.says, 0),
                      0u)
                << text.err;
            const Outcome asJson = kav({"--port", c.port, command, "--json"}, vars);
            expectError(asJson, c.exit, "Kav_OpenPort", c.code);
            EXPECT_EQ(json(asJson)["error"]["diagnosis"].get<std::string>().rfind(c.says, 0), 0u)
                << asJson.out;
        }
    }
    ::close(holder);
}

// kav ports shows every port mapped by hand, and says when an entry looks
// like a misspelt keyword; each warning once.
TEST(KavPorts, ListsEveryPortMappedByHandAndSpotsMisspeltKeywords) {
    const test::Vars vars{
        {"KAVIDCARD_DEVICES",
         "1=/no/such/ttyX,2=virtal,3=tpc://127.0.0.1:4001,4=nnone,5=virtul:/no/card.json,junk"}};
    const Outcome run = kav({"ports"}, vars);
    ASSERT_EQ(run.exit, 0) << run.err;
    const struct Case {
        const char *line;
    } cases[] = {
        {"\n1  /no/such/ttyX  missing\n"},
        {"\n2  virtal  missing: KAVIDCARD_DEVICES: \"2=virtal\" is taken as the device path "
         "\"virtal\": did you mean `virtual`?\n"},
        {"\n3  tpc://127.0.0.1:4001  missing: KAVIDCARD_DEVICES: \"3=tpc://127.0.0.1:4001\" is "
         "taken as the device path \"tpc://127.0.0.1:4001\": did you mean `tcp://`?\n"},
        {"did you mean `none`?"},
        {"did you mean `virtual:`?"},
        {" more ports of the default rule have no device"},
    };
    const std::string out = "\n" + run.out;
    for (const Case &c : cases)
        EXPECT_NE(out.find(c.line), std::string::npos) << c.line << "\n" << run.out;
    const auto count = [](const std::string &text, const std::string &part) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size())
            ++n;
        return n;
    };
    EXPECT_EQ(count(run.out + run.err, "ignored \"junk\""), 1u) << run.out << run.err;
    EXPECT_EQ(count(run.out + run.err, "did you mean `virtual`?"), 1u) << run.out << run.err;
}

TEST(KavPorts, FindSaysWhichPortsAndRatesItTried) {
    const std::string refusing = "tcp://127.0.0.1:" + std::to_string(test::freePort());
    const test::Vars vars{{"KAVIDCARD_DEVICES", "defaults=off,1=/no/such/ttyX,2=" + refusing +
                                                    "?baud=57600,1001=/no/such/usb"}};
    const Outcome text = kav({"find"}, vars);
    EXPECT_EQ(text.exit, kExitNoDevice);
    EXPECT_NE(text.out.find("\ntried port 1 (/no/such/ttyX) at 115200, 57600, 38400, 19200 and "
                            "9600 baud; port 2 (" +
                            refusing +
                            "?baud=57600) at 57600 baud (its server's); port 1001 "
                            "(/no/such/usb) (USB: no rate)"),
              std::string::npos)
        << text.out;
    const Json tried = json(kav({"find", "--json"}, vars))["tried"];
    ASSERT_EQ(tried.size(), 3u) << tried;
    EXPECT_EQ(tried[0]["rates"].size(), 5u);
    EXPECT_EQ(tried[1]["rates"], Json::array({57600}));
    EXPECT_EQ(tried[2]["rates"], Json::array());
}

TEST(KavWarnings, AFailureOnAPortWithABadCardFileSaysWhy) {
    const test::Vars devices{
        {"KAVIDCARD_DEVICES", "defaults=off,1=virtual:/no/such.json,2=virtual:/no/other.json"}};
    const Outcome text = kav({"read"}, devices);
    EXPECT_EQ(text.exit, kExitRefused);
    EXPECT_NE(text.err.find("kav: Kav_StartFindIDCard failed: 128 ("), std::string::npos);
    // The library's last failure says why; the warning it repeats is left out.
    const std::string why = "card file /no/such.json: No such file or directory";
    EXPECT_NE(text.err.find("): the virtual reader has no card: " + why + "\n"), std::string::npos)
        << text.err;
    EXPECT_EQ(text.err.find(why), text.err.rfind(why)) << "said once: " << text.err;
    EXPECT_EQ(text.err.find("other.json"), std::string::npos) << "only the port's own warnings";

    const Outcome structured = kav({"read", "--json"}, devices);
    expectError(structured, kExitRefused, "Kav_StartFindIDCard", 128);
    EXPECT_EQ(json(structured)["error"]["detail"], "the virtual reader has no card: " + why);
    EXPECT_EQ(json(structured)["error"]["warnings"],
              Json::array(
                  {{{"port", 1}, {"text", "card file /no/such.json: No such file or directory"}}}));
}

TEST(KavOutput, UnwritableStandardOutputIsAFailure) {
    struct Case {
        const char *redirect;
        std::vector<std::string> args;
        int exit;
        const char *reason;
    };
    const Case cases[] = {
        {">/dev/full", {"status"}, 8, "No space left on device"},
        {">/dev/full", {"ports", "--json"}, 8, "No space left on device"},
        {">&-", {"status"}, 8, "Bad file descriptor"},
        {">&-", {"sam-id", "--json"}, 8, "Bad file descriptor"},
        {">/dev/full", {"--help"}, 8, ""},
        // A failure keeps its own class.
        {">/dev/full", {"--port", "7", "status", "--json"}, kExitNoDevice, "No space left"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.redirect) + " " + c.args.front());
        const Outcome run = diagnostics::kavWithStdout(c.redirect, c.args);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        EXPECT_NE(run.err.find(std::string("kav: standard output could not be written") +
                               (*c.reason != '\0' ? ": " : "") + c.reason),
                  std::string::npos)
            << run.err;
    }
    EXPECT_EQ(diagnostics::kavWithStdout(">/dev/null", {"status"}).exit, 0);
}

TEST(KavCommands, SoakWithEveryReadFailedShowsNoTimingsAndNamesTheFailedCall) {
    const test::Vars noCard{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual:/no/such.json"}};
    const Outcome text = kav({"soak", "--count", "3"}, noCard);
    EXPECT_EQ(text.exit, kExitRefused);
    EXPECT_EQ(text.out.find("ms "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("3 reads: 0 ok, 3 failed; "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\n  3 x Kav_StartFindIDCard 128 (the SAM answered"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("\n  port 1: card file /no/such.json"), std::string::npos) << text.out;

    const Json summary = json(kav({"soak", "--count", "3", "--json"}, noCard));
    EXPECT_EQ(summary["failures"], Json({{"128", 3}}));
    ASSERT_EQ(summary["failedSteps"].size(), 1u) << summary;
    EXPECT_EQ(summary["failedSteps"][0]["operation"], "Kav_StartFindIDCard");
    EXPECT_EQ(summary["failedSteps"][0]["code"], 128);
    EXPECT_EQ(summary["failedSteps"][0]["count"], 3);
    EXPECT_TRUE(summary["ms"]["min"].is_null());
}

TEST(KavAccess, FindWithoutReaderSaysWhichPortsCouldNotBeOpenedAndWhy) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    TempFolder folder;
    const fs::path device = lockedDevice(folder);
    const test::Vars devices{{"KAVIDCARD_DEVICES", "defaults=off,1=" + device.string() + ",2=" +
                                                       (folder.path() / "ttyGone").string()}};

    const Outcome structured = kav({"find", "--json"}, devices);
    EXPECT_EQ(structured.exit, kExitNoDevice);
    const Json found = json(structured);
    EXPECT_EQ(found["port"], 0);
    ASSERT_EQ(found["refused"].size(), 1u) << structured.out;
    EXPECT_EQ(found["refused"][0]["port"], 1);
    EXPECT_EQ(found["refused"][0]["access"], "denied");
    EXPECT_FALSE(found["refused"][0]["reason"].get<std::string>().empty());

    const Outcome text = kav({"find"}, devices);
    EXPECT_NE(text.out.find("no reader found; 1 port could not be opened:\n  1  " +
                            device.string() + "  denied: "),
              std::string::npos)
        << text.out;
}
