// The Windows backends: photo files written whole through a temporary in
// the folder, COM names for port numbers, and code page 936 through the
// system's tables with the private use area refused.
#include "codepage936.h"
#include "devicemap.h"
#include "photo/atomicfile.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class Folder {
  public:
    Folder() {
        path_ =
            fs::temp_directory_path() / ("kav-win32-" + std::to_string(::GetCurrentProcessId()) +
                                         "-" + std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path &path() const { return path_; }
    std::string text() const { return path_.string(); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto &entry : fs::directory_iterator(path_))
            out.push_back(entry.path().filename().string());
        return out;
    }

  private:
    static inline int counter_ = 0;
    fs::path path_;
};

std::string contents(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

TEST(AtomicFileWin32, WritesAndReplacesLeavingNoTemporary) {
    Folder folder;
    const auto first = bytes("first photo");
    const auto second = bytes("second");
    ASSERT_TRUE(kav::photo::writeFileAtomically(folder.text(), "a.bmp", first).ok);
    const auto outcome = kav::photo::writeFileAtomically(folder.text(), "a.bmp", second);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(contents(folder.path() / "a.bmp"), "second");
    EXPECT_EQ(folder.names(), std::vector<std::string>{"a.bmp"});
}

TEST(AtomicFileWin32, RefusesWhatIsNotOneNameInAnExistingFolder) {
    Folder folder;
    struct Case {
        std::string folder, name;
    } cases[] = {
        {folder.text(), "sub\\a.bmp"}, {folder.text(), "sub/a.bmp"},
        {folder.text(), "c:a.bmp"},    {folder.text(), ".."},
        {folder.text(), ""},           {folder.text() + "\\gone", "a.bmp"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.folder + " | " + c.name);
        const auto outcome = kav::photo::writeFileAtomically(c.folder, c.name, bytes("x"));
        EXPECT_FALSE(outcome.ok);
        EXPECT_FALSE(outcome.error.empty());
    }
    EXPECT_TRUE(folder.names().empty());
}

TEST(AtomicFileWin32, RemovesOnlyStaleTemporariesOfOurs) {
    Folder folder;
    const auto place = [&](const std::string &name, bool old) {
        std::ofstream(folder.path() / name) << "left";
        if (!old)
            return;
        const HANDLE file = ::CreateFileW((folder.path() / name).c_str(), FILE_WRITE_ATTRIBUTES, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        FILETIME longAgo{0x10000000, 0x01D00000}; // 2014
        ASSERT_TRUE(::SetFileTime(file, nullptr, nullptr, &longAgo));
        ::CloseHandle(file);
    };
    place(".kavphoto-0123456789abcdef.tmp", true);  // a killed writer's
    place(".kavphoto-fedcba9876543210.tmp", false); // a writer at work
    place("someone-else.tmp", true);
    ASSERT_TRUE(kav::photo::writeFileAtomically(folder.text(), "b.jpg", bytes("jpeg")).ok);
    auto names = folder.names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".kavphoto-fedcba9876543210.tmp", "b.jpg",
                                               "someone-else.tmp"}));
}

TEST(FolderWin32, ProblemsAndRoot) {
    Folder folder;
    std::ofstream(folder.path() / "file") << "x";
    EXPECT_EQ(kav::photo::folderProblem(folder.text()), "");
    EXPECT_NE(kav::photo::folderProblem((folder.path() / "file").string()), "");
    EXPECT_NE(kav::photo::folderProblem((folder.path() / "missing").string()), "");
    const std::string root = kav::photo::systemRoot();
    ASSERT_EQ(root.size(), 3u);
    EXPECT_EQ(root.substr(1), ":\\");
}

TEST(DeviceNamesWin32, PortNumbersAreComNames) {
    struct Case {
        int port;
        std::optional<std::string> device;
    } cases[] = {{1, "COM1"},       {5, "COM5"},          {300, "COM300"},
                 {1000, "COM1000"}, {1001, std::nullopt}, {0, std::nullopt}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(kav::defaultDevicePath(c.port), c.device);
    }
    const kav::DeviceMap map = kav::DeviceMap::fromVariable("2=COM9");
    ASSERT_TRUE(map.deviceFor(2).has_value());
    EXPECT_EQ(map.deviceFor(2)->path, "COM9");
}

TEST(CodePage936Win32, PrivateUseRefusedBothWays) {
    // GBK's user-defined rows: Windows gives them private-use characters.
    struct Case {
        std::string gbk;
        std::string utf8;
    } decoded[] = {
        {"\xAA\xA1", "\xEF\xBF\xBD"},                     // user-defined: refused
        {"\xD5\xC5\xC8\xFD", "\xE5\xBC\xA0\xE4\xB8\x89"}, // 张三
        {"a\x81", "a\xEF\xBF\xBD"},                       // cut off at the end
        {"\x81\x20x", "\xEF\xBF\xBD x"},                  // a bad trail byte is read afresh
        {"\xFF", "\xEF\xBF\xBD"},
    };
    for (const Case &c : decoded) {
        SCOPED_TRACE(c.gbk);
        EXPECT_EQ(kav::cp936::toUtf8(c.gbk), c.utf8);
    }
    EXPECT_EQ(kav::cp936::fromUtf8("\xEE\x80\x80"), std::nullopt);                       // U+E000
    EXPECT_EQ(kav::cp936::fromUtf8("\xE2\x82\xAC"), std::optional<std::string>("\x80")); // €
    EXPECT_EQ(kav::cp936::fromUtf8("\xF0\x9F\x98\x80"), std::nullopt); // outside the BMP
    EXPECT_EQ(kav::cp936::fromUtf8Lossy("x\xEE\x80\x80y\xC3"), "x?y?");
}

} // namespace
