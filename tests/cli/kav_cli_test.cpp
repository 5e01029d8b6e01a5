// kav end to end, as a script runs it: the built binary, its standard
// output parsed as JSON, its exit code, against the in-process virtual
// reader and against kav-virtual-reader on a pty with its faults.
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
#include <functional>
#include <map>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kExitUsage = 1;
constexpr int kExitNoDevice = 2;
constexpr int kExitAccess = 3;
constexpr int kExitLink = 4;
constexpr int kExitRefused = 5;
constexpr int kExitPhoto = 6;

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;

    Json json() const {
        Json parsed = Json::parse(out, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << out;
        return parsed;
    }
};

// The environment kav gets: ours without the library's variables, plus these.
std::vector<std::string> environment(const std::map<std::string, std::string> &vars) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "KAVIDCARD_", 10) != 0)
            env.emplace_back(*e);
    for (const auto &[name, value] : vars)
        env.push_back(name + "=" + value);
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Spawns a program with pipes on standard output and error; killed if it
// outlives the limit, so a hang fails the test instead of stalling it.
// watch, if given, sees the standard error so far each time more arrives.
using Watch = std::function<void(pid_t, const std::string &err)>;
Outcome runProgram(const std::string &program, std::vector<std::string> args,
                   const std::map<std::string, std::string> &vars, const Watch &watch = {},
                   std::chrono::seconds limit = std::chrono::seconds{20}) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    args.insert(args.begin(), program);
    std::vector<char *> argv = pointers(args);
    std::vector<std::string> envStrings = environment(vars);
    std::vector<char *> envp = pointers(envStrings);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    Outcome run;
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
                if (i == 1 && watch)
                    watch(pid, run.err);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd &f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

Outcome kav(std::vector<std::string> args, const std::map<std::string, std::string> &vars) {
    return runProgram(KAV_CLI, std::move(args), vars);
}

const std::map<std::string, std::string> kInProcess{
    {"KAVIDCARD_DEVICES", "defaults=off,1=virtual"}};

// A folder of its own for each test, for photos and traces.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "kav_cli_XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    const fs::path &path() const { return path_; }

  private:
    fs::path path_;
};

std::string fileText(const fs::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// kav-virtual-reader on a pty, with the options given; stopped at the end.
class ToolReader {
  public:
    explicit ToolReader(std::vector<std::string> options) {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        options.insert(options.begin(), KAV_VIRTUAL_READER_TOOL);
        std::vector<char *> argv = pointers(options);
        const int spawned =
            posix_spawn(&pid_, KAV_VIRTUAL_READER_TOOL, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawned != 0) {
            pid_ = -1;
            close(out[0]);
            return;
        }
        stdout_ = fdopen(out[0], "r");
        char line[256] = {};
        if (stdout_ != nullptr && std::fgets(line, sizeof line, stdout_) != nullptr) {
            path_ = line;
            while (!path_.empty() && path_.back() == '\n')
                path_.pop_back();
        }
    }
    ~ToolReader() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ != nullptr)
            std::fclose(stdout_);
    }
    ToolReader(const ToolReader &) = delete;
    ToolReader &operator=(const ToolReader &) = delete;

    const std::string &path() const { return path_; }
    std::map<std::string, std::string> devices() const {
        return {{"KAVIDCARD_DEVICES", "defaults=off,1=" + path_}};
    }

  private:
    pid_t pid_ = -1;
    FILE *stdout_ = nullptr;
    std::string path_;
};

void expectError(const Outcome &run, int exitCode, const char *operation,
                 std::optional<int> code = std::nullopt) {
    EXPECT_EQ(run.exit, exitCode) << run.out << run.err;
    const Json json = run.json();
    ASSERT_TRUE(json.contains("error")) << run.out;
    EXPECT_EQ(json["error"]["operation"], operation);
    if (code) {
        EXPECT_EQ(json["error"]["code"], *code);
    }
    EXPECT_FALSE(json["error"]["text"].get<std::string>().empty());
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
           Json::array(
               {{{"port", 1}, {"device", "virtual"}, {"exists", true}, {"access", "ok"}}})},
          {"warnings", Json::array()}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.front());
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const Outcome run = kav(args, kInProcess);
        EXPECT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(run.json(), c.expected);
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
        const Json card = run.json();
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
    EXPECT_EQ(run.json(), Json({{"port", 0}}));
}

TEST(KavCommands, PortWithoutDeviceIsClassTwo) {
    expectError(kav({"--port", "7", "status", "--json"}, kInProcess), kExitNoDevice, "Kav_OpenPort",
                -1);
}

TEST(KavCommands, HelpOnEveryCommandAndVersion) {
    for (const char *command :
         {"ports", "find", "status", "reset", "sam-id", "baud", "max-rf", "read", "soak"}) {
        SCOPED_TRACE(command);
        const Outcome run = kav({command, "--help"}, {});
        EXPECT_EQ(run.exit, 0);
        EXPECT_NE(run.out.find(command), std::string::npos);
        EXPECT_NE(run.out.find("Exit status"), std::string::npos);
    }
    const Outcome version = kav({"--version"}, {});
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.out, "kav " KAV_VERSION "\n");
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
    const std::map<std::string, std::string> env{{"LD_LIBRARY_PATH", folder.path().string()}};

    const Outcome traced = kav({"--trace", "status", "--json"}, env);
    EXPECT_EQ(traced.exit, 0) << traced.err;
    EXPECT_EQ(traced.json(), Json({{"ok", true}}));
    EXPECT_NE(traced.err.find("reports no frames"), std::string::npos) << traced.err;

    const Outcome ports = kav({"ports", "--json"}, env);
    EXPECT_EQ(ports.exit, 7);
    EXPECT_EQ(ports.json()["error"]["operation"], "Kav_GetMappedPort") << ports.out;
#endif
}

// ---- Bad arguments ---------------------------------------------------------

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
        {{"--port", "-3", "read"}, "--port"},
        {{"--port", "x", "find"}, "--port"},
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
        EXPECT_EQ(run.out, "");
    }
    const std::string traced = fileText(trace);
    EXPECT_EQ(traced.find("Kav_OpenPort"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("Kav_FindReader"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("Kav_GetCOMBaud"), std::string::npos) << traced;
}

// ---- File permissions (they do not bind root: ctest runs these as nobody) --

TEST(KavAccess, DeviceWithoutPermissionIsClassThreeAndPortsSaysWhy) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    TempFolder folder;
    const fs::path device = folder.path() / "ttyLocked";
    std::ofstream(device) << "";
    ASSERT_EQ(chmod(device.c_str(), 0), 0);
    const std::map<std::string, std::string> devices{
        {"KAVIDCARD_DEVICES", "defaults=off,1=" + device.string()}};

    expectError(kav({"status", "--json"}, devices), kExitAccess, "Kav_OpenPort", -2);
    const Outcome ports = kav({"ports", "--json"}, devices);
    EXPECT_EQ(ports.exit, 0);
    const Json entry = ports.json()["ports"][0];
    EXPECT_EQ(entry["device"], device.string());
    EXPECT_EQ(entry["exists"], true);
    EXPECT_EQ(entry["access"], "denied");
    EXPECT_FALSE(entry["group"].get<std::string>().empty());
    EXPECT_TRUE(entry.contains("inGroup"));
}

TEST(KavAccess, PhotoFolderNotWritableIsClassSix) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    TempFolder folder;
    ASSERT_EQ(chmod(folder.path().c_str(), 0500), 0);
    expectError(kav({"read", "--json", "--photo-dir", folder.path().string()}, kInProcess),
                kExitPhoto, "Kav_ReadMsg", -10);
    chmod(folder.path().c_str(), 0700);
}

// ---- Over a pty, as a serial reader ---------------------------------------

TEST(KavOnPty, ReadsAndChangesTheRate) {
    ToolReader tool({});
    ASSERT_FALSE(tool.path().empty());
    TempFolder folder;
    const Outcome read =
        kav({"read", "--json", "--photo-dir", folder.path().string()}, tool.devices());
    ASSERT_EQ(read.exit, 0) << read.out << read.err;
    EXPECT_EQ(read.json()["idNumber"], "990102198805120135");

    const Outcome set = kav({"baud", "--set", "38400", "--json"}, tool.devices());
    EXPECT_EQ(set.exit, 0) << set.out << set.err;
    EXPECT_EQ(set.json(), Json({{"baud", 38400}}));
    // A new process knows no rate: it finds the SAM where it went.
    const Outcome get = kav({"baud", "--json"}, tool.devices());
    EXPECT_EQ(get.json(), Json({{"baud", 38400}}));
    const Outcome find = kav({"find", "--json"}, tool.devices());
    EXPECT_EQ(find.json(), Json({{"port", 1}, {"kind", "serial"}, {"baud", 38400}}));
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
    const Json summary = run.json();
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

TEST(KavCommands, InterruptedSoakStillSumsUp) {
    TempFolder folder;
    bool sent = false;
    // Interrupted once the first read is done, as seen in the trace.
    const Outcome run = runProgram(
        KAV_CLI,
        {"--trace", "soak", "--count", "100000", "--json", "--photo-dir", folder.path().string()},
        kInProcess, [&sent](pid_t pid, const std::string &err) {
            if (!sent && err.find("Kav_ReadMsg(1, 0) = 0") != std::string::npos)
                sent = kill(pid, SIGINT) == 0;
        });
    ASSERT_TRUE(sent);
    EXPECT_EQ(run.exit, 0) << run.err.substr(run.err.size() -
                                             std::min<std::size_t>(400, run.err.size()));
    const Json summary = run.json();
    EXPECT_EQ(summary["interrupted"], true);
    EXPECT_GE(summary["count"].get<int>(), 1);
    EXPECT_LT(summary["count"].get<int>(), 100000);
    EXPECT_EQ(summary["ok"], summary["count"]);
}

TEST(KavCommands, SoakShowsProgressOnATerminal) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    TempFolder folder;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, slave, STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, master);
    std::vector<std::string> args{KAV_CLI, "soak",        "--count",
                                  "3",     "--photo-dir", folder.path().string()};
    std::vector<char *> argv = pointers(args);
    std::vector<std::string> envStrings = environment(kInProcess);
    std::vector<char *> envp = pointers(envStrings);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, KAV_CLI, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(slave);
    std::string shown;
    char buffer[1024];
    ssize_t n = 0;
    // The master reads EIO once the child has closed its side.
    while ((n = read(master, buffer, sizeof buffer)) > 0)
        shown.append(buffer, static_cast<std::size_t>(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(shown.find("\rsoak 1/3  ok 1  failed 0"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\rsoak 3/3  ok 3  failed 0"), std::string::npos) << shown;
}

TEST(KavOnPty, SoakWithEveryReadGoodExitsZero) {
    ToolReader tool({});
    ASSERT_FALSE(tool.path().empty());
    TempFolder folder;
    const Outcome run = kav(
        {"soak", "--count", "3", "--json", "--photo-dir", folder.path().string()}, tool.devices());
    EXPECT_EQ(run.exit, 0) << run.out << run.err;
    EXPECT_EQ(run.json()["ok"], 3);
    EXPECT_EQ(run.json()["failures"], Json::object());
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
    return runProgram("/bin/sh", args, kInProcess);
}

} // namespace diagnostics

TEST(KavWarnings, EveryCommandWarnsOncePerIgnoredDeviceEntry) {
    const std::map<std::string, std::string> devices{
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
    const std::map<std::string, std::string> devices{
        {"KAVIDCARD_DEVICES", "defaults=off,1=virtual:/no/such.json,2=virtual,3=virtual:" +
                                  broken.string() + ",junk"}};
    const Outcome run = kav({"ports", "--json"}, devices);
    ASSERT_EQ(run.exit, 0) << run.err;
    const Json listing = run.json();
    struct Case {
        int port;
        const char *access;
        const char *reason; // part of it
    };
    const Case cases[] = {{1, "bad card file", "card file /no/such.json: No such file"},
                          {2, "ok", nullptr},
                          {3, "bad card file", "not valid JSON"}};
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
    EXPECT_NE(text.out.find("\nwarning: KAVIDCARD_DEVICES: ignored \"junk\""), std::string::npos)
        << text.out;
}

TEST(KavWarnings, AFailureOnAPortWithABadCardFileSaysWhy) {
    const std::map<std::string, std::string> devices{
        {"KAVIDCARD_DEVICES", "defaults=off,1=virtual:/no/such.json,2=virtual:/no/other.json"}};
    const Outcome text = kav({"read"}, devices);
    EXPECT_EQ(text.exit, kExitRefused);
    EXPECT_NE(text.err.find("kav: Kav_StartFindIDCard failed: 128 ("), std::string::npos);
    EXPECT_NE(text.err.find("); port 1: card file /no/such.json: No such file or directory\n"),
              std::string::npos)
        << text.err;
    EXPECT_EQ(text.err.find("other.json"), std::string::npos) << "only the port's own warnings";

    const Outcome json = kav({"read", "--json"}, devices);
    expectError(json, kExitRefused, "Kav_StartFindIDCard", 128);
    EXPECT_EQ(json.json()["error"]["warnings"],
              Json::array({{{"port", 1},
                            {"text", "card file /no/such.json: No such file or directory"}}}));
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
    const std::map<std::string, std::string> noCard{
        {"KAVIDCARD_DEVICES", "defaults=off,1=virtual:/no/such.json"}};
    const Outcome text = kav({"soak", "--count", "3"}, noCard);
    EXPECT_EQ(text.exit, kExitRefused);
    EXPECT_EQ(text.out.find("ms "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("3 reads: 0 ok, 3 failed; "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\n  3 x Kav_StartFindIDCard 128 (the SAM answered"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("\n  port 1: card file /no/such.json"), std::string::npos) << text.out;

    const Json summary = kav({"soak", "--count", "3", "--json"}, noCard).json();
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
    const fs::path device = folder.path() / "ttyLocked";
    std::ofstream(device) << "";
    ASSERT_EQ(chmod(device.c_str(), 0), 0);
    const std::map<std::string, std::string> devices{
        {"KAVIDCARD_DEVICES", "defaults=off,1=" + device.string() + ",2=" +
                                  (folder.path() / "ttyGone").string()}};

    const Outcome json = kav({"find", "--json"}, devices);
    EXPECT_EQ(json.exit, kExitNoDevice);
    const Json found = json.json();
    EXPECT_EQ(found["port"], 0);
    ASSERT_EQ(found["refused"].size(), 1u) << json.out;
    EXPECT_EQ(found["refused"][0]["port"], 1);
    EXPECT_EQ(found["refused"][0]["access"], "denied");
    EXPECT_FALSE(found["refused"][0]["reason"].get<std::string>().empty());

    const Outcome text = kav({"find"}, devices);
    EXPECT_NE(text.out.find("no reader found; 1 port could not be opened:\n  1  " +
                            device.string() + "  denied: "),
              std::string::npos)
        << text.out;
}
