// kav-virtual-reader as a user runs it: its command line, and that it
// always ends on SIGTERM.
#include "process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Ran {
    int code;
    bool killed;
    std::string out, err;
};

Ran run(const std::vector<std::string> &args) {
    const test::Outcome o = test::run(KAV_VIRTUAL_READER_TOOL, args, {}, 3s);
    return {o.exit, o.exit == 128 + SIGKILL, o.out, o.err};
}

TEST(VirtualReaderToolCli, HelpAndVersionPrintAndSucceed) {
    const Ran version = run({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "kav-virtual-reader 1.0.0.1\n");
    const Ran help = run({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char *says : {"--card", "--no-card", "--baud", "--pace", "--wire-only", "--fault",
                             "--every", "--delay", "--link", "--version", "disconnect-mid-frame"})
        EXPECT_NE(help.out.find(says), std::string::npos) << says;
}

TEST(VirtualReaderToolCli, BadUsageExitsTwoWithOneLineAtOnce) {
    const std::string dir = testing::TempDir() + "kav_tool_" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    const std::string fifo = dir + "/card.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> args;
        const char *says;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"stray"}, "unexpected argument stray"},
        {{"--fault", "noise", "split"}, "unexpected argument split"},
        {{"--baud"}, "--baud"},
        {{"--baud", "12345"}, "--baud: 12345 is not one of the SAM's rates"},
        {{"--baud", "96OO"}, "--baud: 96OO is not one of the SAM's rates"},
        {{"--every", "0"}, "--every: a positive number"},
        {{"--every", "-1"}, "--every: a positive number"},
        {{"--delay", "soon"}, "--delay: a number of milliseconds"},
        {{"--card", dir + "/missing.json"}, "No such file"},
        {{"--card", fifo}, "not a regular file"}, // a plain open would wait for a writer
        {{"--card", "/dev/zero"}, "not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
        const Ran r = run(c.args);
        EXPECT_FALSE(r.killed) << "the tool blocked";
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("kav-virtual-reader: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    const Ran fault = run({"--fault", "nosuch"});
    EXPECT_EQ(fault.code, 2);
    EXPECT_EQ(fault.err.rfind("kav-virtual-reader: unknown fault nosuch\n", 0), 0u) << fault.err;
    std::filesystem::remove_all(dir);
}

// Whoever started the tool may never read its output; SIGTERM must still
// end it, and cleanly.
TEST(VirtualReaderToolCli, SigtermEndsItEvenWhenNobodyReadsItsOutput) {
    int full[2];
    ASSERT_EQ(::pipe2(full, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string junk(4096, 'x');
    while (::write(full[1], junk.data(), junk.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    ::fcntl(full[1], F_SETFL, 0); // the tool gets a blocking, full stdout

    const std::string link = testing::TempDir() + "kav_tool_full_" + std::to_string(::getpid());
    test::Child c(KAV_VIRTUAL_READER_TOOL, {"--link", link}, {}, full[1]);
    // The link appears once the pty is up, before the tool tries to say so.
    ASSERT_TRUE(test::waitUntil(
        [&] { return std::filesystem::is_symlink(std::filesystem::symlink_status(link)); }, 3s));
    c.signal(SIGTERM);
    EXPECT_EQ(c.wait(3s), 0) << "SIGTERM did not end it";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)))
        << "the link was cleaned up";
    ::close(full[0]);
    ::close(full[1]);
}

} // namespace
