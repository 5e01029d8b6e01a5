// The trace file holds the holder's name and ID number, and its path comes
// from the environment: it must not be a way to block, overwrite or leak.
#include "protocol/trace_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kav::trace {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TraceFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kav-trace-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(TraceFileTest, OnlyARegularFileOfOurOwnIsWritten) {
    const struct Case {
        const char *what;
        std::function<void(const fs::path &)> prepare;
        bool opens;
    } cases[] = {
        {"a new file", [](const fs::path &) {}, true},
        {"our own file", [](const fs::path &p) { std::ofstream(p) << "earlier\n"; }, true},
        {"a FIFO", [](const fs::path &p) { ::mkfifo(p.c_str(), 0600); }, false},
        {"a symlink to another file",
         [](const fs::path &p) {
             std::ofstream(p.string() + ".victim") << "victim\n";
             fs::create_symlink(p.string() + ".victim", p);
         },
         false},
        {"a dangling symlink",
         [](const fs::path &p) { fs::create_symlink(p.string() + ".nowhere", p); }, false},
        {"a second hard link to a file",
         [](const fs::path &p) {
             std::ofstream(p.string() + ".victim") << "victim\n";
             fs::create_hard_link(p.string() + ".victim", p);
         },
         false},
        {"a folder", [](const fs::path &p) { fs::create_directory(p); }, false},
        {"a device", [](const fs::path &) {}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::path path = dir / "trace.log";
        fs::remove_all(dir);
        fs::create_directories(dir);
        if (std::string(c.what) == "a device")
            path = "/dev/null";
        c.prepare(path);
        TraceFile file;
        const auto start = std::chrono::steady_clock::now();
        file.open(path.string(), 1 << 20);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(file.isOpen(), c.opens);
        file.write("holder 林晓航\n");
        if (fs::exists(path.string() + ".victim")) {
            EXPECT_EQ(contents(path.string() + ".victim"), "victim\n");
        }
        if (!c.opens)
            continue;
        const std::string text = contents(path);
        EXPECT_NE(text.find("trace of the reader library"), std::string::npos) << text;
        EXPECT_NE(text.find("holder 林晓航\n"), std::string::npos);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        if (std::string(c.what) == "a new file") {
            EXPECT_EQ(st.st_mode & 0777, 0600u) << "only its owner may read a new trace";
        }
    }
}

TEST_F(TraceFileTest, PastItsLimitTheFileIsRotatedOnce) {
    const fs::path path = dir / "trace.log";
    TraceFile file;
    file.open(path.string(), 4096);
    ASSERT_TRUE(file.isOpen());
    const std::string line(100, 'x');
    for (int i = 0; i < 200; ++i)
        file.write(line + "\n");
    EXPECT_LE(fs::file_size(path), 4096u);
    ASSERT_TRUE(fs::exists(path.string() + ".1"));
    EXPECT_LE(fs::file_size(path.string() + ".1"), 4096u);
    EXPECT_FALSE(fs::exists(path.string() + ".2"));
    EXPECT_NE(contents(path).find("the earlier part is in"), std::string::npos);
}

// A relative path names the file in the folder current when tracing began;
// the host's later folder, with a file of the same name, is left alone.
TEST_F(TraceFileTest, ARelativePathStaysWhereTracingBegan) {
    const fs::path first = dir / "first";
    const fs::path later = dir / "later";
    fs::create_directories(first);
    fs::create_directories(later);
    std::ofstream(later / "trace.log") << "the host's own\n";
    // Back to where the test began, whatever fails.
    const struct Home {
        fs::path path = fs::current_path();
        ~Home() { fs::current_path(path); }
    } home;
    fs::current_path(first);
    TraceFile file;
    file.open("trace.log", 4096);
    fs::current_path(later);
    ASSERT_TRUE(file.isOpen());
    const std::string line(100, 'x');
    for (int i = 0; i < 60; ++i)
        file.write(line + "\n");
    EXPECT_TRUE(fs::exists(first / "trace.log.1")) << "the real trace rotated";
    EXPECT_NE(contents(first / "trace.log")
                  .find("the earlier part is in " + (first / "trace.log.1").string()),
              std::string::npos);
    EXPECT_EQ(contents(later / "trace.log"), "the host's own\n");
    EXPECT_FALSE(fs::exists(later / "trace.log.1"));
}

} // namespace
} // namespace kav::trace
