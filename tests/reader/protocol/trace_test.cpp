// What the trace hands on is UTF-8 without control characters, whatever
// bytes it was given: the file and the callback alike.
#include "../utf8.h"
#include "protocol/trace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace kav::trace {
namespace {

namespace fs = std::filesystem;

struct Seen {
    std::vector<std::string> texts;
    std::vector<std::string> links;
};

void KAV_CALL record(const KavTraceEvent *event, void *context) {
    auto *seen = static_cast<Seen *>(context);
    seen->texts.emplace_back(event->text);
    seen->links.emplace_back(event->link);
}

TEST(TraceText, AnyBytesComeOutAsUtf8) {
    const fs::path file =
        fs::temp_directory_path() / ("kav-trace-text-" + std::to_string(::getpid()));
    fs::remove(file);
    const char *given = std::getenv("KAVIDCARD_TRACE");
    const std::string before = given != nullptr ? given : "";
    setenv("KAVIDCARD_TRACE", file.c_str(), 1);
    reopenFile();
    const struct Case {
        const char *what;
        std::string in;
        std::string out;
    } cases[] = {
        {"plain ASCII", "port 1: /dev/ttyUSB0", "port 1: /dev/ttyUSB0"},
        {"Chinese, well formed", "\xe6\x9e\x97\xe6\x99\x93\xe8\x88\xaa",
         "\xe6\x9e\x97\xe6\x99\x93\xe8\x88\xaa"},
        {"four-byte character", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {"Latin-1 bytes", "caf\xe9", "caf\\xE9"},
        {"GBK bytes", "\xc1\xd6 x", "\\xC1\\xD6 x"},
        {"a stray continuation byte", "a\x80z", "a\\x80z"},
        {"cut short at the end", "ab\xe6\x9e", "ab\\xE6\\x9E"},
        {"overlong slash", "\xc0\xaf", "\\xC0\\xAF"},
        {"overlong three bytes", "\xe0\x80\xaf", "\\xE0\\x80\\xAF"},
        {"a surrogate", "\xed\xa0\x80", "\\xED\\xA0\\x80"},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        {"bytes never in UTF-8", "\xfe\xff", "\\xFE\\xFF"},
        {"newline and escape", "a\nb\x1b[2J", "a?b?[2J"},
        {"DEL", "a\x7f", "a?"},
        {"a C1 control (CSI)",
         "a\xc2\x9b"
         "2J",
         "a?2J"},
        {"NUL inside", std::string("a\0b", 3), "a?b"},
        {"no-break space stays", "a\xc2\xa0z", "a\xc2\xa0z"},
    };
    Seen seen;
    setCallback(record, &seen);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        seen = {};
        line(c.in);
        frame(c.in, Direction::FromReader, {}, c.in);
        ASSERT_EQ(seen.texts.size(), 2u);
        EXPECT_EQ(seen.texts[0], c.out);
        EXPECT_EQ(seen.links[1], c.out);
        EXPECT_EQ(seen.texts[1], c.out);
        for (const std::string &t : seen.texts)
            EXPECT_TRUE(test::isUtf8(t)) << t;
    }
    setCallback(nullptr, nullptr);
    setenv("KAVIDCARD_TRACE", before.c_str(), 1);
    reopenFile();

    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    fs::remove(file);
    const std::string written = text.str();
    EXPECT_TRUE(test::isUtf8(written));
    for (const Case &c : cases)
        EXPECT_NE(written.find(" " + c.out + "\n"), std::string::npos) << c.what;
}

} // namespace
} // namespace kav::trace
