// The ten photo buttons: one call and one line each, with the result code.
#include "DialogFixture.h"

struct PhotoCase {
    int button;
    const char *call;
    const char *operation;
    int result;
    const char *message;
};

void PrintTo(const PhotoCase &c, std::ostream *os) {
    *os << c.call << " -> " << c.message;
}

class PhotoButtonTest : public DialogTest, public ::testing::WithParamInterface<PhotoCase> {};

TEST_P(PhotoButtonTest, MakesOneCallAndLogsItsResult) {
    const PhotoCase &c = GetParam();
    fake::script(c.operation, {c.result, c.result});
    click(c.button);
    click(c.button); // no check for an unchanged setting
    EXPECT_EQ(calls(), (Calls{c.call, c.call}));
    const QString line = QString::fromUtf8(c.message);
    EXPECT_EQ(messages(), (QStringList{line, line}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhotoButtonTest,
    ::testing::Values(PhotoCase{IDC_PATH_ROOT, "Kav_SetPhotoPath(0,\"\")", "Kav_SetPhotoPath", 0,
                                "照片存放路径设置为 C:,nRet = 0"},
                      PhotoCase{IDC_PATH_ROOT, "Kav_SetPhotoPath(0,\"\")", "Kav_SetPhotoPath", -10,
                                "照片存放路径设置错误,nRet = -10"},
                      PhotoCase{IDC_PATH_CURRENT, "Kav_SetPhotoPath(1,\"\")", "Kav_SetPhotoPath", 0,
                                "照片存放路径设置为 当前路径,nRet = 0"},
                      PhotoCase{IDC_PATH_CURRENT, "Kav_SetPhotoPath(1,\"\")", "Kav_SetPhotoPath", 7,
                                "照片存放路径设置错误,nRet = 7"},
                      PhotoCase{IDC_TYPE_BMP, "Kav_SetPhotoType(0)", "Kav_SetPhotoType", 0,
                                "照片保存格式设置为 Bmp,nRet = 0"},
                      PhotoCase{IDC_TYPE_JPEG, "Kav_SetPhotoType(1)", "Kav_SetPhotoType", 0,
                                "照片保存格式设置为 Jpeg,nRet = 0"},
                      PhotoCase{IDC_TYPE_BASE64, "Kav_SetPhotoType(2)", "Kav_SetPhotoType", 0,
                                "照片保存格式设置为 Base64,nRet = 0"},
                      PhotoCase{IDC_TYPE_JPEG, "Kav_SetPhotoType(1)", "Kav_SetPhotoType", -8,
                                "照片保存格式设置失败,nRet = -8"},
                      PhotoCase{IDC_NAME_TMP, "Kav_SetPhotoName(0)", "Kav_SetPhotoName", 0,
                                "照片保存文件名格式设置为 tmp,nRet = 0"},
                      PhotoCase{IDC_NAME_NAME, "Kav_SetPhotoName(1)", "Kav_SetPhotoName", 0,
                                "照片保存文件名格式设置为 姓名,nRet = 0"},
                      PhotoCase{IDC_NAME_IDNO, "Kav_SetPhotoName(2)", "Kav_SetPhotoName", 0,
                                "照片保存文件名格式设置为 身份证号,nRet = 0"},
                      PhotoCase{IDC_NAME_BOTH, "Kav_SetPhotoName(3)", "Kav_SetPhotoName", 0,
                                "照片保存文件名格式设置为 姓名_身份证号,nRet = 0"},
                      PhotoCase{IDC_NAME_BOTH, "Kav_SetPhotoName(3)", "Kav_SetPhotoName", 1,
                                "照片保存文件名格式设置失败,nRet = 1"}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

struct ChooseCase {
    const char *title;
    FolderChoice::Outcome outcome;
    QString path;
    int result;
    Calls calls;
    QStringList log;
};

void PrintTo(const ChooseCase &c, std::ostream *os) {
    *os << c.title;
}

class PathChooseTest : public DialogTest, public ::testing::WithParamInterface<ChooseCase> {};

TEST_P(PathChooseTest, CallsTheLibraryOnlyWithAUsableFolder) {
    const ChooseCase &c = GetParam();
    platform.folderChoice = {c.outcome, c.path};
    fake::script("Kav_SetPhotoPath", {c.result});
    click(IDC_PATH_CHOOSE);
    EXPECT_EQ(calls(), c.calls);
    EXPECT_EQ(messages(), c.log);
}

namespace {
const std::string kPicker = "chooseFolder(请选择照片存放路径路径)";
const QString kLong259 = "/" + QString(258, 'd');
const QString kLong260 = "/" + QString(259, 'd');
const QString kChinese259 = "/" + QString(129, u'照'); // 1 + 129 * 2 bytes in GBK
std::string chinese259Gbk() {
    std::string out = "/";
    for (int i = 0; i < 129; ++i)
        out += "\xD5\xD5";
    return out;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(
    Cases, PathChooseTest,
    ::testing::Values(
        ChooseCase{
            "cancelled", FolderChoice::Outcome::Cancelled, {}, 0, {kPicker}, {"没有选取路径！"}},
        ChooseCase{"no file-system folder",
                   FolderChoice::Outcome::NotFileSystem,
                   {},
                   0,
                   {kPicker},
                   {"选取路径失败！"}},
        ChooseCase{
            "empty path", FolderChoice::Outcome::Chosen, "", 0, {kPicker}, {"选取路径失败！"}},
        ChooseCase{"picker unavailable",
                   FolderChoice::Outcome::Unavailable,
                   {},
                   0,
                   {kPicker, "messageBox(选择下载目录操作出错)"},
                   {}},
        ChooseCase{"chosen",
                   FolderChoice::Outcome::Chosen,
                   "/home/user/photos",
                   0,
                   {kPicker, "Kav_SetPhotoPath(2,\"/home/user/photos\")"},
                   {"照片存放路径设置为 /home/user/photos,nRet = 0"}},
        ChooseCase{"chosen, library fails",
                   FolderChoice::Outcome::Chosen,
                   "/srv/x",
                   -1,
                   {kPicker, "Kav_SetPhotoPath(2,\"/srv/x\")"},
                   {"照片存放路径设置错误,nRet = -1"}},
        ChooseCase{"chinese path goes as gbk",
                   FolderChoice::Outcome::Chosen,
                   "/tmp/照片",
                   0,
                   {kPicker, "Kav_SetPhotoPath(2,\"/tmp/\xD5\xD5\xC6\xAC\")"},
                   {"照片存放路径设置为 /tmp/照片,nRet = 0"}},
        ChooseCase{"not representable in gbk",
                   FolderChoice::Outcome::Chosen,
                   QString::fromUtf8("/tmp/\xF0\x9F\x98\x80"),
                   0,
                   {kPicker},
                   {"选取路径失败！"}},
        ChooseCase{"259 bytes fit",
                   FolderChoice::Outcome::Chosen,
                   kLong259,
                   0,
                   {kPicker, "Kav_SetPhotoPath(2,\"" + kLong259.toStdString() + "\")"},
                   {"照片存放路径设置为 " + kLong259 + ",nRet = 0"}},
        ChooseCase{"260 bytes do not",
                   FolderChoice::Outcome::Chosen,
                   kLong260,
                   0,
                   {kPicker},
                   {"选取路径失败！"}},
        ChooseCase{"259 bytes of gbk fit",
                   FolderChoice::Outcome::Chosen,
                   kChinese259,
                   0,
                   {kPicker, "Kav_SetPhotoPath(2,\"" + chinese259Gbk() + "\")"},
                   {"照片存放路径设置为 " + kChinese259 + ",nRet = 0"}},
        ChooseCase{"261 bytes of gbk do not",
                   FolderChoice::Outcome::Chosen,
                   kChinese259 + QString(u'照'),
                   0,
                   {kPicker},
                   {"选取路径失败！"}}),
    [](const auto &info) { return "case" + std::to_string(info.index); });
