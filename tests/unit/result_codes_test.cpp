// The table of result codes against the header as it stands: every code
// the header names has its row, under the header's name, with every text
// and an exit class, and the table has nothing the header lacks.
#include "result_codes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

using kav::results::Exit;

// Name -> value of every KAV_OK, KAV_E_* and KAV_SW_* in the header,
// whether an enumerator ("KAV_E_IO = -5,") or a macro ("#define KAV_E_IO (-5)").
std::map<std::string, int> headerCodes() {
    std::ifstream file(KAV_API_HEADER);
    std::stringstream text;
    text << file.rdbuf();
    const std::string header = text.str();
    const std::regex code(
        R"((?:^|[\s{,])(?:#define\s+)?(KAV_OK|KAV_E_\w+|KAV_SW_\w+)\s*=?\s*\(?\s*(-?(?:0[xX][0-9A-Fa-f]+|\d+))\s*\)?)");
    std::map<std::string, int> codes;
    for (std::sregex_iterator it(header.begin(), header.end(), code), end; it != end; ++it) {
        const std::string name = (*it)[1];
        const int value = std::stoi((*it)[2], nullptr, 0);
        EXPECT_TRUE(codes.emplace(name, value).second) << name << " defined twice";
    }
    return codes;
}

bool knownExit(Exit exit) {
    switch (exit) {
    case Exit::Ok:
    case Exit::NoDevice:
    case Exit::Access:
    case Exit::Link:
    case Exit::Refused:
    case Exit::Photo:
    case Exit::Other:
        return true;
    }
    return false;
}

} // namespace

TEST(ResultCodes, EveryCodeOfTheHeaderHasItsRowAndNoRowIsExtra) {
    const std::map<std::string, int> codes = headerCodes();
    // Far fewer would mean the header's form changed under the pattern.
    ASSERT_GE(codes.size(), 30u) << "read " << KAV_API_HEADER;
    ASSERT_TRUE(codes.contains("KAV_OK"));
    ASSERT_TRUE(codes.contains("KAV_SW_NO_CONTENT"));

    for (const auto &[name, value] : codes) {
        SCOPED_TRACE(name);
        const kav::results::Code *row = kav::results::find(value);
        ASSERT_NE(row, nullptr) << "no row for " << value;
        EXPECT_EQ(row->name, name);
        EXPECT_STRNE(row->english, "");
        EXPECT_STRNE(row->chinese, "");
        EXPECT_NE(row->hint, nullptr);
        EXPECT_TRUE(knownExit(row->exit));
    }
    for (const kav::results::Code &row : kav::results::table()) {
        SCOPED_TRACE(row.name);
        const auto it = codes.find(row.name);
        ASSERT_NE(it, codes.end()) << "a row the header lacks";
        EXPECT_EQ(it->second, row.value);
    }
    EXPECT_EQ(kav::results::table().size(), codes.size());
}

TEST(ResultCodes, TextsAreDistinctAndClassesFollowTheKindOfCode) {
    std::set<std::string> english, chinese;
    for (const kav::results::Code &row : kav::results::table()) {
        SCOPED_TRACE(row.name);
        // A status byte's English text may repeat a library code's ("success").
        if (!kav::results::isStatus(row.value)) {
            EXPECT_TRUE(english.insert(row.english).second) << row.english;
        }
        EXPECT_TRUE(chinese.insert(row.chinese).second) << row.chinese;
        if (kav::results::isStatus(row.value))
            EXPECT_EQ(row.exit, Exit::Refused);
        else
            EXPECT_EQ(row.exit == Exit::Ok, row.value == 0);
    }
}

TEST(ResultCodes, CodesOutsideTheTable) {
    struct Case {
        int value;
        Exit exit;
        const char *status;
    };
    const Case cases[] = {
        {-19, Exit::Other, "unknown status"},
        {-1000, Exit::Other, "unknown status"},
        {0x55, Exit::Refused, "unknown status"},
        {0x1234, Exit::Refused, "unknown status"},
        {0x80, Exit::Refused, "find card failed (no card)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(kav::results::exitClass(c.value), c.exit);
        EXPECT_STREQ(kav::results::statusText(c.value), c.status);
        if (kav::results::find(c.value) == nullptr) {
            EXPECT_EQ(kav::results::chineseText(c.value), "未知的结果代码");
        }
    }
    EXPECT_STREQ(kav::results::statusText(0), "unknown status") << "KAV_OK is no status byte";
}

TEST(ResultCodes, FailureStatusLines) {
    struct Case {
        const char *call;
        int value;
        const char *line;
    };
    const Case cases[] = {
        {"Kav_ReadMsg", -10, "Kav_ReadMsg = -10: 照片无法写入 (文件夹已删除、磁盘已满或权限不足)"},
        {"Kav_ReadMsg", 0x41, "Kav_ReadMsg = 65 (0x41): SAM: 读卡失败 (先寻卡、选卡,卡片不要移动)"},
        {"Kav_ReadAppendedAddress", 0x91,
         "Kav_ReadAppendedAddress = 145 (0x91): SAM: 证件内无此内容"},
        {"Kav_FindReader", 0, "Kav_FindReader = 0: 没有读卡器应答 (检查连接、端口映射和设备权限)"},
        {"Kav_OpenPort", -8, "Kav_OpenPort = -8: 参数无效"},
        {"Kav_OpenPort", 300, "Kav_OpenPort = 300: 未知的结果代码"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(kav::results::failureStatus(c.call, c.value), c.line);
}
