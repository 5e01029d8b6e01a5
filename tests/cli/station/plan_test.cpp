// Plans a station is handed, read alone: every bad one is a refusal that
// names the file and what is wrong, never a crash or a silent choice.
#include "station/plan.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <sys/stat.h>

namespace {

using kav::station::loadPlan;
using kav::station::parsePlan;

std::string withReads(const std::string &count, const std::string &limit = "100") {
    return R"({"name": "a", "steps": [{"step": "reads", "count": )" + count + R"(, "limitMs": )" +
           limit + "}]}";
}

TEST(CheckPlan, BadNumbersDuplicateKeysAndCommentsAreRefused) {
    struct Case {
        const char *name;
        std::string text;
        const char *fault;
    };
    const Case cases[] = {
        {"count 1e400", withReads("1e400"), "a number too large"},
        {"count -1e400", withReads("-1e400"), "a number too large"},
        {"count of 5000 digits", withReads(std::string(5000, '9')), "a number too large"},
        {"limit 1e400", withReads("1", "1e400"), "a number too large"},
        {"count past 64 bits", withReads("18446744073709551616"), "steps[0].count: must be"},
        {"count of 2^64-1", withReads("18446744073709551615"), "steps[0].count: must be"},
        {"count 1.5", withReads("1.5"), "steps[0].count: must be"},
        {"name twice", R"({"name": "a", "name": "b", "steps": [{"step": "sam-id"}]})",
         "\"name\": given twice"},
        {"step key twice",
         R"({"name": "a", "steps": [{"step": "reads", "count": 1, "count": 9, "limitMs": 5}]})",
         "\"count\": given twice"},
        {"top comment not text", R"({"name": "a", "comment": 5, "steps": [{"step": "sam-id"}]})",
         "comment: must be a text"},
        {"step comment not text", R"({"name": "a", "steps": [{"step": "sam-id", "comment": []}]})",
         "steps[0].comment: must be a text"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(parsePlan(c.text, "p.json", error));
        EXPECT_EQ(error.rfind("p.json: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.fault), std::string::npos) << error;
    }
    // The same key in two objects is no duplicate.
    std::string error;
    EXPECT_TRUE(parsePlan(R"({"name": "a", "comment": "x", "steps": [{"step": "sam-id",
        "comment": "y"}, {"step": "sam-status", "comment": "z"}]})",
                          "p.json", error))
        << error;
}

TEST(CheckPlan, APlanThatIsNoRegularFileIsRefusedWithoutReadingIt) {
    const test::TempFolder folder;
    const std::string fifo = (folder.path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = (folder.path() / "big.json").string();
    std::ofstream(big) << std::string((1 << 20) + 1, ' ');
    struct Case {
        std::string path, fault;
    };
    const Case cases[] = {
        {(folder.path() / "none.json").string(), "no such file"},
        {folder.path().string(), "a folder, not a file"},
        {fifo, "a pipe (FIFO), not a file"},
        {"/dev/zero", "a device, not a file"},
        {big, "larger than 1048576 bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        std::string error;
        EXPECT_FALSE(loadPlan(c.path, error));
        EXPECT_EQ(error, c.path + ": cannot be read: " + c.fault);
    }
}

} // namespace
