// Untrusted input end to end: card contents that try to leave the photo
// folder or overrun the record, folders that cannot take a photo, and a
// long session on a flaky reader.
#include "EndToEndFixture.h"

#include "virtual/card_file.h"

#include <QDirIterator>

#include <map>
#include <unistd.h>

using kav::virt::Card;
using kav::virt::Fault;

namespace {

// A card whose fields hold exactly these UTF-16 texts, padded with spaces
// unless pad is false (then the text fills the field with whatever it is).
Card cardWith(const std::map<std::string, std::u16string> &fields, bool pad = true) {
    Card card = kav::virt::defaultCard();
    for (const kav::virt::TextField &f : kav::virt::textFields()) {
        auto it = fields.find(std::string(f.key));
        if (it == fields.end())
            continue;
        for (std::size_t i = 0; i < f.bytes / 2; ++i) {
            const char16_t c = i < it->second.size() ? it->second[i] : (pad ? u' ' : u'\0');
            card.text[f.offset + 2 * i] = static_cast<std::uint8_t>(c & 0xFF);
            card.text[f.offset + 2 * i + 1] = static_cast<std::uint8_t>(c >> 8);
        }
    }
    return card;
}

// Every file under dir, relative to it.
QStringList filesUnder(const QString &dir) {
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class HostileCardTest : public EndToEndTest {
  protected:
    void SetUp() override {
        EndToEndTest::SetUp();
        mapDevices("defaults=off,1=virtual");
        // Photos go one level down, so a file that escaped would show beside them.
        photos = inFolder("photos");
        ASSERT_TRUE(QDir().mkpath(photos));
        platform.folderChoice = {FolderChoice::Outcome::Chosen, photos};
        click(IDC_PATH_CHOOSE);
        click(IDC_NAME_BOTH);
        click(IDC_CLEAR_LOG);
    }
    QString photos;
};

TEST_F(HostileCardTest, NamesFromTheCardStayInTheFolder) {
    struct Case {
        std::u16string name;
        std::u16string id;
        QString file; // empty: no sound file name remains, the read fails
    };
    const Case cases[] = {
        {u"../../../x", u"990102198805120135", "x_990102198805120135.bmp"},
        {u"/etc/passwd", u"", "etcpasswd.bmp"},
        {u"a\\b", u"..\\..\\c", "ab_c.bmp"},
        {u".hidden", u"", "hidden.bmp"},
        {u"\u0001\u001f\u007f王", u"1\u000a2", "王_12.bmp"},
        {std::u16string(u"x\0y", 3), u"1", "x_y_1.bmp"}, // NUL shows as U+FFFD, not in GBK
        {u"李\xD83D\xDE00", u"1", "李__1.bmp"},          // nor is an emoji
        {u"..", u"", ""},
        {u".", u".", ""},
        {u"", u"", ""},
        {u"   ", u"\u3000", ""},
        {u"/", u"/..", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        reader(1)->insertCard(cardWith({{"name", c.name}, {"idNumber", c.id}}));
        click(IDC_READ_CARD);
        if (c.file.isEmpty()) {
            EXPECT_EQ(messages().first(), "读取身份证信息错误!");
        } else {
            ASSERT_EQ(messages().first(), "照片:" + photos + "/" + c.file);
            EXPECT_TRUE(QFile::remove(photos + "/" + c.file));
        }
        EXPECT_EQ(filesUnder(folder.path()), QStringList{}) << "nothing else was written";
    }
}

TEST_F(HostileCardTest, FieldsAtFullWidthWithoutPaddingStayInsideTheRecord) {
    const std::u16string longest =
        u"一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一二三四五";
    reader(1)->insertCard(cardWith({{"name", longest.substr(0, 15)},
                                    {"address", longest.substr(0, 35)},
                                    {"issuer", longest.substr(0, 15)},
                                    {"idNumber", u"123456789012345678"},
                                    {"birthDate", u"19991231"},
                                    {"validFrom", u"20000101"},
                                    {"validUntil", u"20991231"}},
                                   false));
    click(IDC_READ_CARD);
    ASSERT_EQ(messages().size(), 11);
    const QString all = QString::fromStdU16String(longest);
    EXPECT_EQ(messages().at(9), "姓名:" + all.left(15));
    EXPECT_EQ(messages().at(5), "住址:" + all.left(35));
    EXPECT_EQ(messages().at(3), "发证机关:" + all.left(15));
    EXPECT_EQ(messages().at(4), "身份证号:123456789012345678");
    EXPECT_EQ(messages().at(1), "有效期结束:2099/12/31");
}

TEST_F(HostileCardTest, InvalidTextShowsAsReplacementCharacters) {
    reader(1)->insertCard(cardWith({{"name", std::u16string{u'A', char16_t(0xD800), u'B'}},
                                    {"sex", u"7"},
                                    {"nation", u"99"},
                                    {"birthDate", u"19991341"}}));
    click(IDC_READ_CARD);
    ASSERT_EQ(messages().size(), 11);
    EXPECT_EQ(messages().at(9), "姓名:A?B"); // the record is GBK: U+FFFD becomes '?'
    EXPECT_EQ(messages().at(8), "性别:7");   // unknown codes show as on the card
    EXPECT_EQ(messages().at(7), "民族:99");
    EXPECT_EQ(messages().at(6), "出生:19991341"); // never an invented date
}

TEST_F(HostileCardTest, FolderThatVanishedAfterItWasChosen) {
    ASSERT_TRUE(QDir(photos).removeRecursively());
    click(IDC_READ_CARD);
    EXPECT_EQ(messages(), QStringList{"读取身份证信息错误!"});
    EXPECT_FALSE(QFileInfo::exists(photos));
    EXPECT_EQ(filesUnder(folder.path()), QStringList{});
    ASSERT_TRUE(QDir().mkpath(photos));
    click(IDC_READ_CARD);
    EXPECT_EQ(messages().first(), "照片:" + photos + "/林晓航_990102198805120135.bmp");
}

TEST_F(HostileCardTest, FolderThatIsNotWritable) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes anywhere; ctest runs this case as an unprivileged user";
    ASSERT_TRUE(QFile::setPermissions(photos, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    click(IDC_READ_CARD);
    EXPECT_EQ(messages(), QStringList{"读取身份证信息错误!"});
    EXPECT_EQ(filesUnder(photos), QStringList{});
    ASSERT_TRUE(QFile::setPermissions(photos, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner));
}

// ---- A long session on a flaky reader, over a real tty ------------------------

namespace {
int openDescriptors() {
    return static_cast<int>(QDir("/proc/self/fd").entryList(QDir::System).size());
}
} // namespace

TEST_F(EndToEndTest, AThousandReadsOnAReaderThatFailsEveryThirdRead) {
    ServedReader pty;
    std::string error;
    ASSERT_TRUE(pty.start(devices.filePath("reader-tty").toStdString(), &error)) << error;
    mapDevices("defaults=off,5=" + pty.link);
    type(IDC_PORT, "5");
    click(IDC_FIND_READER);
    for (int i = 0; i < 3; ++i)
        click(IDC_READ_CARD); // warm-up: the first reads load the image codecs
    click(IDC_CLEAR_LOG);
    const int descriptors = openDescriptors();

    // Every third read fails; noise before every other answer must not.
    pty.reader->setFault(Fault::ReadFailure, 3);
    pty.reader->setFault(Fault::Noise, 2);
    constexpr int kPresses = 1000;
    for (int i = 0; i < kPresses; ++i)
        click(IDC_READ_CARD);

    const QStringList lines = messages();
    EXPECT_EQ(lines.count("读取身份证信息错误!"), kPresses / 3);
    EXPECT_EQ(lines.count("读取身份证信息成功!"), kPresses - kPresses / 3);
    EXPECT_EQ(lines.size(), kPresses / 3 + 11 * (kPresses - kPresses / 3));
    EXPECT_TRUE(kav::testing::openPorts().empty());
    EXPECT_EQ(openDescriptors(), descriptors) << "no descriptor leaked";
    EXPECT_EQ(photoFiles(), QStringList{"tmp.bmp"});
    pty.stop();
}

// Every button once, then a hundred reads: run under LeakSanitizer by the
// sanitizer build.
TEST_F(EndToEndTest, FullSessionEveryButtonAndAHundredReads) {
    platform.folderChoice = {FolderChoice::Outcome::Chosen, folder.path()};
    const int buttons[] = {IDC_FIND_READER, IDC_SET_MAXRF, IDC_SET_BAUD,  IDC_RESET_SAM,
                           IDC_SAM_STATUS,  IDC_SAM_ID,    IDC_PATH_ROOT, IDC_PATH_CURRENT,
                           IDC_PATH_CHOOSE, IDC_TYPE_BMP,  IDC_TYPE_JPEG, IDC_TYPE_BASE64,
                           IDC_NAME_TMP,    IDC_NAME_NAME, IDC_NAME_IDNO, IDC_NAME_BOTH,
                           IDC_READ_CARD,   IDC_CLEAR_LOG};
    for (int id : buttons)
        click(id);
    EXPECT_EQ(dlg->log().rowCount(), 0);
    for (int i = 0; i < 100; ++i)
        click(IDC_READ_CARD);
    EXPECT_EQ(messages().count("读取身份证信息成功!"), 100);
    EXPECT_TRUE(QFileInfo::exists(inFolder("林晓航_990102198805120135.txt")));
}
