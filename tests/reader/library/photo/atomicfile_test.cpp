#include "photo/atomicfile.h"
#include "process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kav::photo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using test::listing;
using test::readFile;

// Sets a file's (or link's own) modification time to `age` ago.
void age(const fs::path &path, std::chrono::seconds ago) {
    const timespec when{std::time(nullptr) - ago.count(), 0};
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class AtomicFile : public ::testing::TestWithParam<Staging> {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kavatomic-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    WriteOutcome write(const Bytes &bytes, const std::string &name = "photo.bmp") const {
        return writeFileAtomically(folder_.string(), name, bytes, GetParam());
    }

    fs::path folder_;
};

INSTANTIATE_TEST_SUITE_P(Staging, AtomicFile, ::testing::Values(Staging::Unnamed, Staging::Named),
                         [](const auto &info) {
                             return info.param == Staging::Unnamed ? std::string("Unnamed")
                                                                   : std::string("Named");
                         });

// After success the folder holds the target and what was there before;
// after failure only what was there before.
TEST_P(AtomicFile, LeavesOnlyTheTarget) {
    const Bytes bytes(5000, 0xA5);
    struct Case {
        const char *what;
        void (*prepare)(const fs::path &folder);
        bool ok;
        std::vector<std::string> after;
    };
    const Case cases[] = {
        {"empty folder", [](const fs::path &) {}, true, {"photo.bmp"}},
        {"file replaced",
         [](const fs::path &f) { std::ofstream(f / "photo.bmp") << "old photo, longer than new"; },
         true,
         {"photo.bmp"}},
        {"symlink replaced",
         [](const fs::path &f) { fs::create_symlink(f / "elsewhere", f / "photo.bmp"); },
         true,
         {"photo.bmp"}},
        {"other files kept",
         [](const fs::path &f) { std::ofstream(f / "a.wlt") << "a"; },
         true,
         {"a.wlt", "photo.bmp"}},
        {"folder at the name: rename fails",
         [](const fs::path &f) { fs::create_directories(f / "photo.bmp" / "x"); },
         false,
         {"photo.bmp"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder_);
        fs::create_directory(folder_);
        c.prepare(folder_);
        const WriteOutcome outcome = write(bytes);
        EXPECT_EQ(outcome.ok, c.ok) << outcome.error;
        EXPECT_EQ(listing(folder_), c.after);
        if (c.ok) {
            EXPECT_FALSE(fs::is_symlink(folder_ / "photo.bmp"));
            EXPECT_EQ(readFile(folder_ / "photo.bmp"), bytes);
        }
    }
}

// A full disk seen by write(): the file-size limit fails writes the same way.
TEST_P(AtomicFile, FailedWriteLeavesNothing) {
    const WriteOutcome outcome = [&] {
        test::FileSizeLimit full(100);
        return write(Bytes(1000, 1));
    }();

    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error.rfind("write", 0), 0u) << outcome.error;
    EXPECT_TRUE(listing(folder_).empty());
}

TEST_P(AtomicFile, PermissionsAreTheUsualOnes) {
    const mode_t previous = ::umask(027);
    const WriteOutcome outcome = write(Bytes(10, 1));
    ::umask(previous);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    struct stat info {};
    ASSERT_EQ(::stat((folder_ / "photo.bmp").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// Whether the file being written shows in the folder through the child's
// descriptors: then the child is past creating it and busy writing.
bool writing(pid_t child, const fs::path &folder) {
    std::error_code error;
    for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(child) + "/fd", error)) {
        const fs::path target = fs::read_symlink(fd.path(), error);
        if (!error && target.parent_path() == folder)
            return true;
    }
    return false;
}

// A process killed while writing leaves no temporary file with unnamed
// staging; with named staging it does, and the next write removes it once
// it is old enough.
TEST_P(AtomicFile, KilledWhileWriting) {
    const Bytes big(64u << 20, 0x5A); // long enough to be caught while flushing
    test::Child child([&] {
        writeFileAtomically(folder_.string(), "photo.bmp", big, GetParam());
        return 0;
    });
    ASSERT_TRUE(child.started());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool caught = false;
    while (!caught && std::chrono::steady_clock::now() < deadline) {
        caught = writing(child.pid(), folder_);
        if (!caught)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    child.signal(SIGKILL);
    ASSERT_TRUE(caught) << "the child's file never showed";
    ASSERT_EQ(child.wait(), 128 + SIGKILL) << "the child finished before it was killed";

    const std::vector<std::string> left = listing(folder_);
    if (GetParam() == Staging::Unnamed) {
        EXPECT_TRUE(left.empty()) << left.front();
        return;
    }
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(left.front().starts_with(".kavphoto-")) << left.front();
    age(folder_ / left.front(), kStaleTemporaryAge + std::chrono::seconds(1));
    ASSERT_TRUE(write(Bytes(10, 1)).ok);
    EXPECT_EQ(listing(folder_), std::vector<std::string>{"photo.bmp"});
}

TEST(AtomicFileStale, OnlyOurOldTemporariesAreRemoved) {
    std::string pattern = (fs::temp_directory_path() / "kavatomic-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path folder = pattern;
    const auto old = kStaleTemporaryAge + std::chrono::seconds(5);
    enum Kind { File, Link, Folder };
    struct Case {
        const char *name;
        Kind kind;
        std::chrono::seconds age;
        bool foreign; // owned by another user
        bool removed;
    };
    const bool root = ::geteuid() == 0;
    const Case cases[] = {
        {".kavphoto-0123456789abcdef.tmp", File, old, false, true},
        {".kavphoto-x.tmp", File, std::chrono::hours(24 * 400), false, true},
        {".kavphoto-fresh.tmp", File, std::chrono::seconds(0), false, false},
        {".kavphoto-almost.tmp", File, kStaleTemporaryAge - std::chrono::seconds(30), false, false},
        {".kavphoto-foreign.tmp", File, old, true, false},
        {".kavphoto-link.tmp", Link, old, false, false},
        {".kavphoto-folder.tmp", Folder, old, false, false},
        {".kavphoto-.tmp", File, old, false, false},
        {"kavphoto-0123.tmp", File, old, false, false},
        {".kavphoto-0123.tmp.bmp", File, old, false, false},
        {".kavphoto-0123.TMP", File, old, false, false},
        {"tmp.bmp", File, old, false, false},
    };
    std::vector<std::string> expected{"photo.bmp"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = folder / c.name;
        if (c.foreign && !root)
            continue; // another user's file cannot be made without privileges
        if (c.kind == File)
            std::ofstream(path) << "left over";
        else if (c.kind == Link)
            fs::create_symlink(folder / "tmp.bmp", path);
        else
            fs::create_directory(path);
        if (c.foreign) {
            ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0);
        }
        age(path, c.age);
        if (!c.removed)
            expected.push_back(c.name);
    }
    std::sort(expected.begin(), expected.end());

    const WriteOutcome outcome =
        writeFileAtomically(folder.string(), "photo.bmp", Bytes(10, 1), Staging::Named);
    EXPECT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(listing(folder), expected);
    EXPECT_EQ(readFile(folder / "tmp.bmp"), (Bytes{'l', 'e', 'f', 't', ' ', 'o', 'v', 'e', 'r'}))
        << "the link's target is not touched";
    fs::remove_all(folder);
}

} // namespace
} // namespace kav::photo
