#include "photo/photostore.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonValue>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

#include "KavIDCardAPI.h"
#include "card/cardtext.h"
#include "codepage936.h"

namespace kav::photo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPhotoSize = 1024;

Bytes padded(const QByteArray &data) {
    Bytes out(data.begin(), data.end());
    out.resize(kPhotoSize, 0);
    return out;
}

// A head and shoulders, in gray as a card photo shows it unless asked for
// colour, encoded by Qt.
QByteArray encodedImage(const char *format, int width, int height, int quality = 25,
                        bool colour = false) {
    QImage image(width, height, colour ? QImage::Format_RGB32 : QImage::Format_Grayscale8);
    image.fill(colour ? qRgb(200, 170, 120) : qRgb(210, 210, 210));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int dx = x - width / 2, dy = y - height * 36 / 100;
            if (dx * dx + dy * dy < width * width / 20 ||
                (y > height * 2 / 3 && std::abs(dx) < y / 3))
                image.setPixel(x, y, colour ? qRgb(40, 60, 110) : qRgb(70, 70, 70));
        }
    }
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, quality);
    return data;
}

Bytes bytesOf(const QByteArray &data) {
    return Bytes(data.begin(), data.end());
}

// A card-like photo: a 102 x 126 grayscale head and shoulders, as a small
// JPEG padded with zeros.
Bytes cardJpeg(const char *format = "JPG", int width = 102, int height = 126) {
    const QByteArray data = encodedImage(format, width, height);
    EXPECT_LE(data.size(), static_cast<qsizetype>(kPhotoSize)) << "the test photo outgrew a card";
    return padded(data);
}

// The photo of a sample card of the virtual reader.
Bytes samplePhoto(const char *card) {
    QFile file(QString(VELKART_CARDS_DIR) + "/" + card);
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot read " << file.fileName().toStdString();
        return {};
    }
    const QJsonDocument json = QJsonDocument::fromJson(file.readAll());
    return bytesOf(QByteArray::fromBase64(json["photo"].toString().toLatin1()));
}

// Stands in for a card's own compressed photo: no image format Qt knows.
Bytes opaquePhoto() {
    Bytes out(kPhotoSize);
    std::uint32_t state = 0x57A11CE5;
    for (auto &b : out) {
        state = state * 1664525 + 1013904223;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    out[0] = 0x01;
    out[kPhotoSize - 1] = 0x00; // trailing zeros must survive too
    return out;
}

using test::listing;
using test::readFile;

QImage decoded(const Bytes &bytes, QByteArray *format = nullptr) {
    QByteArray data(reinterpret_cast<const char *>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    QImageReader reader(&buffer);
    if (format != nullptr)
        *format = reader.format();
    return reader.read();
}

class PhotoStore : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kavphoto-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        folder_ = root_ / "photos";
        fs::create_directory(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }

    PhotoSettings settings(PhotoType type = PhotoType::Bmp,
                           NameScheme scheme = NameScheme::Tmp) const {
        PhotoSettings s;
        EXPECT_EQ(s.setPath(2, folder_.string()), KAV_OK);
        EXPECT_EQ(s.setType(static_cast<int>(type)), KAV_OK);
        EXPECT_EQ(s.setNameScheme(static_cast<int>(scheme)), KAV_OK);
        return s;
    }

    fs::path root_;
    fs::path folder_;
};

TEST_F(PhotoStore, WritesADecodablePhotoInEachType) {
    const Bytes jpeg = cardJpeg();
    struct Case {
        PhotoType type;
        const char *file;
    };
    for (const Case &c : {Case{PhotoType::Bmp, "tmp.bmp"}, Case{PhotoType::Jpeg, "tmp.jpg"},
                          Case{PhotoType::Base64, "tmp.txt"}}) {
        SCOPED_TRACE(c.file);
        fs::remove_all(folder_);
        fs::create_directory(folder_);
        const StoredPhoto stored = storePhoto(settings(c.type), jpeg, u"", u"");
        ASSERT_EQ(stored.result, KAV_OK) << stored.note;
        EXPECT_EQ(stored.path, (folder_ / c.file).string());
        EXPECT_EQ(stored.pathGbk, stored.path);
        EXPECT_EQ(listing(folder_), std::vector<std::string>{c.file});

        Bytes image = readFile(stored.path);
        if (c.type == PhotoType::Bmp) {
            ASSERT_GT(image.size(), 30u);
            EXPECT_EQ(image[0], 'B');
            EXPECT_EQ(image[28] | image[29] << 8, 24) << "bits per pixel";
        } else if (c.type == PhotoType::Jpeg) {
            EXPECT_EQ(image, jpeg) << "a JPEG is written byte for byte, padding included";
        } else {
            const QByteArray expected =
                QByteArray(reinterpret_cast<const char *>(jpeg.data()), kPhotoSize).toBase64();
            ASSERT_EQ(QByteArray(reinterpret_cast<const char *>(image.data()),
                                 static_cast<qsizetype>(image.size())),
                      expected);
            image = padded(QByteArray::fromBase64(expected));
        }
        const QImage photo = decoded(image);
        EXPECT_EQ(photo.width(), 102);
        EXPECT_EQ(photo.height(), 126);
    }
}

// What is written stays bounded by what a card holds: a few bytes that
// declare a huge image must not become a huge BMP.
TEST_F(PhotoStore, AnythingButAJpegOfCardPhotoSizeIsKeptAsWlt) {
    Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 0x00, 0x10, 0x00, 0x10, 0xF0, 0x00, 0x00};
    gif.resize(35, 0);
    // Start of image, then a baseline frame header of 4096 x 4096, 3 components.
    const Bytes jpegHeader = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x10, 0x00, 0x10, 0x00,
                              0x03, 0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
    Bytes cutJpeg = cardJpeg();
    cutJpeg.resize(300);
    struct Case {
        const char *what;
        Bytes photo;
    };
    const Case cases[] = {
        {"GIF header declaring 4096 x 4096", gif},
        {"JPEG header declaring 4096 x 4096", jpegHeader},
        {"JPEG one pixel too wide", bytesOf(encodedImage("JPG", 4 * 102 + 1, 8))},
        {"JPEG one pixel too high", bytesOf(encodedImage("JPG", 8, 4 * 126 + 1))},
        {"JPEG cut short", cutJpeg},
        {"PNG", cardJpeg("PNG", 24, 30)},
        {"card's own format", opaquePhoto()},
        {"nothing", {}},
    };
    for (const Case &c : cases) {
        for (PhotoType type : {PhotoType::Bmp, PhotoType::Jpeg, PhotoType::Base64}) {
            SCOPED_TRACE(std::string(c.what) + ", type " + std::to_string(static_cast<int>(type)));
            fs::remove_all(folder_);
            fs::create_directory(folder_);
            const StoredPhoto stored = storePhoto(settings(type), c.photo, u"", u"");
            ASSERT_EQ(stored.result, KAV_OK) << stored.note;
            EXPECT_EQ(listing(folder_), std::vector<std::string>{"tmp.wlt"});
            EXPECT_EQ(readFile(folder_ / "tmp.wlt"), c.photo);
        }
    }
}

// Both bounds are inclusive: a JPEG of exactly four times a card photo's
// sides is still a photo.
TEST_F(PhotoStore, BmpOfAJpegHasItsSizeRowPaddingAndPixels) {
    struct Case {
        const char *what;
        Bytes jpeg;
    };
    const Case cases[] = {
        {"ordinary.json", samplePhoto("ordinary.json")},
        {"mongol-female.json", samplePhoto("mongol-female.json")},
        {"card size", cardJpeg()},
        {"rows need no padding", bytesOf(encodedImage("JPG", 100, 7))},
        {"one byte of padding", bytesOf(encodedImage("JPG", 101, 7))},
        {"three bytes of padding", bytesOf(encodedImage("JPG", 103, 7))},
        {"one pixel wide", bytesOf(encodedImage("JPG", 1, 9))},
        {"largest", bytesOf(encodedImage("JPG", 4 * 102, 4 * 126))},
        {"colour", bytesOf(encodedImage("JPG", 33, 20, 90, true))},
    };
    const auto le = [](const Bytes &b, std::size_t at, int size) {
        std::uint32_t v = 0;
        for (int i = size - 1; i >= 0; --i)
            v = v << 8 | b.at(at + static_cast<std::size_t>(i));
        return v;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder_);
        fs::create_directory(folder_);
        QByteArray format;
        const QImage reference = decoded(c.jpeg, &format).convertToFormat(QImage::Format_RGB888);
        ASSERT_EQ(format, "jpeg");
        ASSERT_FALSE(reference.isNull());
        const auto width = static_cast<std::uint32_t>(reference.width());
        const auto height = static_cast<std::uint32_t>(reference.height());

        const StoredPhoto stored = storePhoto(settings(PhotoType::Bmp), c.jpeg, u"", u"");
        ASSERT_EQ(stored.result, KAV_OK) << stored.note;
        ASSERT_EQ(listing(folder_), std::vector<std::string>{"tmp.bmp"});
        const Bytes bmp = readFile(folder_ / "tmp.bmp");
        const std::uint32_t stride = (width * 3 + 3) / 4 * 4;
        ASSERT_EQ(bmp.size(), 54 + stride * height);
        EXPECT_EQ(bmp[0], 'B');
        EXPECT_EQ(bmp[1], 'M');
        EXPECT_EQ(le(bmp, 2, 4), bmp.size()) << "file size";
        EXPECT_EQ(le(bmp, 10, 4), 54u) << "pixel offset";
        EXPECT_EQ(le(bmp, 14, 4), 40u) << "info header size";
        EXPECT_EQ(le(bmp, 18, 4), width);
        EXPECT_EQ(le(bmp, 22, 4), height) << "positive: bottom-up";
        EXPECT_EQ(le(bmp, 26, 2), 1u) << "planes";
        EXPECT_EQ(le(bmp, 28, 2), 24u) << "bits per pixel";
        EXPECT_EQ(le(bmp, 30, 4), 0u) << "uncompressed";
        EXPECT_EQ(le(bmp, 34, 4), stride * height) << "image size";
        EXPECT_EQ(le(bmp, 46, 4), 0u) << "no palette";

        int worst = 0;
        bool paddingZero = true;
        for (std::uint32_t y = 0; y < height; ++y) {
            const std::size_t row = 54 + (height - 1 - y) * stride;
            const uchar *expected = reference.constScanLine(static_cast<int>(y));
            for (std::uint32_t x = 0; x < width; ++x) {
                for (int channel = 0; channel < 3; ++channel) {
                    const int bgr = bmp[row + x * 3 + static_cast<std::size_t>(2 - channel)];
                    worst = std::max(worst, std::abs(bgr - expected[x * 3 + channel]));
                }
            }
            for (std::uint32_t pad = width * 3; pad < stride; ++pad)
                paddingZero = paddingZero && bmp[row + pad] == 0;
        }
        EXPECT_LE(worst, 2) << "largest difference to Qt's decoding, in levels";
        EXPECT_TRUE(paddingZero);
    }
}

// Every length modulo 3, so each kind of Base64 ending shows.
TEST_F(PhotoStore, Base64IsTheJpegBytesOnOneLine) {
    const Bytes jpeg = cardJpeg();
    for (std::size_t size : {kPhotoSize - 2, kPhotoSize - 1, kPhotoSize}) {
        SCOPED_TRACE(size);
        const Bytes photo(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(size));
        const StoredPhoto stored = storePhoto(settings(PhotoType::Base64), photo, u"", u"");
        ASSERT_EQ(stored.result, KAV_OK) << stored.note;
        const QByteArray expected = QByteArray(reinterpret_cast<const char *>(photo.data()),
                                               static_cast<qsizetype>(photo.size()))
                                        .toBase64();
        EXPECT_EQ(readFile(stored.path), bytesOf(expected));
    }
}

TEST_F(PhotoStore, UndecodablePhotoIsKeptByteForByteAsWlt) {
    const Bytes photo = opaquePhoto();
    for (PhotoType type : {PhotoType::Bmp, PhotoType::Jpeg, PhotoType::Base64}) {
        SCOPED_TRACE(static_cast<int>(type));
        const StoredPhoto stored = storePhoto(settings(type), photo, u"", u"");
        ASSERT_EQ(stored.result, KAV_OK) << stored.note;
        EXPECT_EQ(stored.path, (folder_ / "tmp.wlt").string());
        EXPECT_EQ(readFile(stored.path), photo);
        EXPECT_NE(stored.note.find("unaltered"), std::string::npos) << stored.note;
    }
    EXPECT_EQ(listing(folder_), std::vector<std::string>{"tmp.wlt"});
}

TEST_F(PhotoStore, NameSchemes) {
    struct Case {
        NameScheme scheme;
        std::u16string name, id;
        const char *file; // nullptr: KAV_E_PHOTO_NAME
    };
    const Case cases[] = {
        {NameScheme::Tmp, u"林晓雯", u"53010219850412002X", "tmp.wlt"},
        {NameScheme::HolderName, u"林晓雯", u"53010219850412002X", "林晓雯.wlt"},
        {NameScheme::IdNumber, u"林晓雯", u"53010219850412002X", "53010219850412002X.wlt"},
        {NameScheme::NameAndIdNumber, u"林晓雯", u"53010219850412002X",
         "林晓雯_53010219850412002X.wlt"},
        {NameScheme::NameAndIdNumber, u"林晓雯 ", u"  ", "林晓雯.wlt"},
        {NameScheme::NameAndIdNumber, u"", u"53010219850412002X", "53010219850412002X.wlt"},
        {NameScheme::NameAndIdNumber, u" ", u"", nullptr},
        {NameScheme::HolderName, u"", u"53010219850412002X", nullptr},
        {NameScheme::IdNumber, u"林晓雯", u"", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file ? c.file : "no name");
        fs::remove_all(folder_);
        fs::create_directory(folder_);
        const StoredPhoto stored =
            storePhoto(settings(PhotoType::Bmp, c.scheme), opaquePhoto(), c.name, c.id);
        if (c.file == nullptr) {
            EXPECT_EQ(stored.result, KAV_E_PHOTO_NAME);
            EXPECT_TRUE(stored.path.empty());
            EXPECT_TRUE(listing(folder_).empty());
            continue;
        }
        ASSERT_EQ(stored.result, KAV_OK) << stored.note;
        EXPECT_EQ(stored.path, (folder_ / c.file).string());
        EXPECT_EQ(stored.pathGbk, cp936::fromUtf8(stored.path).value());
        EXPECT_EQ(listing(folder_), std::vector<std::string>{c.file});
    }
}

TEST_F(PhotoStore, NamesFromTheCardCannotLeaveTheFolder) {
    struct Case {
        std::u16string name;
        const char *file; // nullptr: KAV_E_PHOTO_NAME
    };
    const Case cases[] = {
        {u"../x", "x.wlt"}, // leading dots would hide the file
        {u".profile", "profile.wlt"},
        {u"a.b.", "a.b..wlt"},
        {u"/etc/x", "etcx.wlt"},
        {u"a/b", "ab.wlt"},
        {u"a\\b", "ab.wlt"},
        {std::u16string(u"a\0b", 3), "ab.wlt"},
        {u"a\x01\x1F\x7F\x85"
         u"b\n",
         "ab.wlt"},
        {u"a\x202E"
         u"gpj.exe",
         "agpj.exe.wlt"},
        {u" ../../x ", "x.wlt"},
        {u"a?b?", "ab.wlt"},
        {u".", nullptr},
        {u"..", nullptr},
        {u"../..", nullptr},
        {u"/", nullptr},
        {u"   ", nullptr},
        {u"\x3000\x3000", nullptr},
        {std::u16string(3, u'\0'), nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file ? c.file : "no name");
        fs::remove_all(folder_);
        fs::create_directory(folder_);
        const StoredPhoto stored = storePhoto(settings(PhotoType::Jpeg, NameScheme::HolderName),
                                              opaquePhoto(), c.name, u"");
        EXPECT_EQ(listing(root_), std::vector<std::string>{"photos"});
        EXPECT_FALSE(fs::exists("/etc/x.wlt"));
        if (c.file == nullptr) {
            EXPECT_EQ(stored.result, KAV_E_PHOTO_NAME);
            EXPECT_TRUE(listing(folder_).empty());
        } else {
            ASSERT_EQ(stored.result, KAV_OK) << stored.note;
            EXPECT_EQ(stored.path, (folder_ / c.file).string());
            EXPECT_EQ(listing(folder_), std::vector<std::string>{c.file});
        }
    }
}

TEST_F(PhotoStore, SymlinkAtTheFinalNameIsReplacedNotFollowed) {
    const fs::path outside = root_ / "outside.wlt";
    for (bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
        fs::remove(outside);
        if (!dangling)
            std::ofstream(outside) << "keep";
        fs::remove(folder_ / "tmp.wlt");
        fs::create_symlink(outside, folder_ / "tmp.wlt");

        const StoredPhoto stored = storePhoto(settings(), opaquePhoto(), u"", u"");
        ASSERT_EQ(stored.result, KAV_OK) << stored.note;
        EXPECT_FALSE(fs::is_symlink(folder_ / "tmp.wlt"));
        EXPECT_EQ(readFile(folder_ / "tmp.wlt"), opaquePhoto());
        EXPECT_EQ(fs::exists(outside), !dangling);
        if (!dangling) {
            EXPECT_EQ(readFile(outside), (Bytes{'k', 'e', 'e', 'p'}));
        }
        EXPECT_EQ(listing(folder_), std::vector<std::string>{"tmp.wlt"});
    }
}

TEST_F(PhotoStore, UnusableFolderFailsAndLeavesNothing) {
    struct Case {
        const char *what;
        void (*prepare)(const fs::path &folder);
    };
    const Case cases[] = {
        {"folder missing", [](const fs::path &f) { fs::remove_all(f); }},
        {"folder is a file",
         [](const fs::path &f) {
             fs::remove_all(f);
             std::ofstream(f) << "x";
         }},
        {"a folder at the final name",
         [](const fs::path &f) { fs::create_directories(f / "tmp.wlt" / "inside"); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder_);
        fs::create_directory(folder_);
        c.prepare(folder_);
        const auto before =
            fs::is_directory(folder_) ? listing(folder_) : std::vector<std::string>{};
        const StoredPhoto stored = storePhoto(settings(), opaquePhoto(), u"", u"");
        EXPECT_EQ(stored.result, KAV_E_PHOTO_WRITE) << stored.note;
        EXPECT_TRUE(stored.path.empty());
        EXPECT_FALSE(stored.note.empty());
        if (fs::is_directory(folder_)) {
            EXPECT_EQ(listing(folder_), before) << "a temporary file was left";
        }
    }
}

TEST_F(PhotoStore, ReadOnlyFolderFailsAndLeavesNothing) {
    fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    if (::access(folder_.c_str(), W_OK) == 0)
        GTEST_SKIP() << "running as root: a read-only folder is still writable";
    const StoredPhoto stored = storePhoto(settings(), opaquePhoto(), u"", u"");
    EXPECT_EQ(stored.result, KAV_E_PHOTO_WRITE) << stored.note;
    EXPECT_TRUE(listing(folder_).empty());
}

// A full disk seen by write(): the file-size limit fails writes the same way.
TEST_F(PhotoStore, FailedWriteLeavesNoTemporaryFile) {
    const StoredPhoto stored = [&] {
        test::FileSizeLimit full(100);
        return storePhoto(settings(), opaquePhoto(), u"", u"");
    }();

    EXPECT_EQ(stored.result, KAV_E_PHOTO_WRITE);
    EXPECT_NE(stored.note.find("write"), std::string::npos) << stored.note;
    EXPECT_TRUE(listing(folder_).empty());
}

TEST_F(PhotoStore, PathMustFitTheRecordInGbk) {
    // Pads the folder so that the full path takes exactly `length` GBK bytes;
    // 林 is two of them, the rest ASCII.
    const std::string prefix = folder_.string() + "/";
    const std::size_t fixed = prefix.size() + std::string("/林.wlt").size() - 1;
    struct Case {
        std::size_t length;
        int result;
    };
    for (const Case &c : {Case{255, KAV_OK}, Case{256, KAV_E_PHOTO_NAME}}) {
        SCOPED_TRACE(c.length);
        fs::remove_all(folder_);
        const fs::path deep = prefix + std::string(c.length - fixed, 'd');
        fs::create_directories(deep);
        PhotoSettings s;
        ASSERT_EQ(s.setPath(2, deep.string()), KAV_OK);
        ASSERT_EQ(s.setNameScheme(1), KAV_OK);
        const StoredPhoto stored = storePhoto(s, opaquePhoto(), u"林", u"");
        EXPECT_EQ(stored.result, c.result) << stored.note;
        EXPECT_EQ(listing(deep).size(), c.result == KAV_OK ? 1u : 0u);
        if (c.result == KAV_OK) {
            EXPECT_EQ(stored.pathGbk.size(), c.length);
            EXPECT_LT(stored.pathGbk.size(), sizeof(IDCardRecord::photoFile));
        }
    }
}

// 90 Chinese characters fit the record in GBK (180 bytes) but make a
// 274-byte UTF-8 file name, past what the file system takes.
TEST_F(PhotoStore, FileNameTooLongForTheFileSystemFailsBeforeWriting) {
    const StoredPhoto stored = storePhoto(settings(PhotoType::Bmp, NameScheme::HolderName),
                                          opaquePhoto(), std::u16string(90, u'林'), u"");
    EXPECT_EQ(stored.result, KAV_E_PHOTO_NAME) << stored.note;
    EXPECT_TRUE(listing(folder_).empty());
}

TEST_F(PhotoStore, NameCharactersGbkCannotHoldBecomeUnderscores) {
    const StoredPhoto byName = storePhoto(settings(PhotoType::Bmp, NameScheme::HolderName),
                                          opaquePhoto(), u"李\xD83D\xDE00\xFFFD明", u"");
    ASSERT_EQ(byName.result, KAV_OK) << byName.note;
    EXPECT_EQ(fs::path(byName.path).filename().string(), "李__明.wlt");
    EXPECT_EQ(byName.pathGbk, cp936::fromUtf8(byName.path).value());
}

// Names as the card text decoder gives them: its replacement for a control
// character does not reach the file name either.
TEST_F(PhotoStore, NameFromACardBlockWithControlCharacters) {
    struct Case {
        std::u16string name;
        const char *file;
    };
    const Case cases[] = {
        {u"a\nb\tc\x1B"
         u"d",
         "abcd.wlt"},
        {u"\x202E"
         u"gpj.exe",
         "gpj.exe.wlt"},
        {u"李明\x85", "李明.wlt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        fs::remove_all(folder_);
        fs::create_directory(folder_);
        std::vector<std::uint8_t> block(card::kTextBlockSize, 0);
        for (std::size_t i = 0; i < c.name.size(); ++i) {
            block[2 * i] = static_cast<std::uint8_t>(c.name[i] & 0xFF);
            block[2 * i + 1] = static_cast<std::uint8_t>(c.name[i] >> 8);
        }
        block[248] = ' '; // the resident card's type letter
        const card::CardText text = card::decodeTextBlock(block);
        const StoredPhoto stored = storePhoto(settings(PhotoType::Bmp, NameScheme::HolderName),
                                              opaquePhoto(), text.name, text.idNumber);
        ASSERT_EQ(stored.result, KAV_OK) << stored.note;
        EXPECT_EQ(listing(folder_), std::vector<std::string>{c.file});
    }
}

TEST_F(PhotoStore, FolderGbkCannotHoldFailsBeforeWriting) {

    const fs::path hangul = root_ / "사진";
    fs::create_directory(hangul);
    PhotoSettings s;
    ASSERT_EQ(s.setPath(2, hangul.string()), KAV_OK);
    const StoredPhoto byFolder = storePhoto(s, opaquePhoto(), u"", u"");
    EXPECT_EQ(byFolder.result, KAV_E_PHOTO_NAME);
    EXPECT_TRUE(listing(folder_).empty());
    EXPECT_TRUE(listing(hangul).empty());
}

TEST_F(PhotoStore, CurrentAndRelativeFoldersAreTakenAtTheTimeOfTheRead) {
    const fs::path saved = fs::current_path();
    fs::create_directory(folder_ / "sub");
    fs::current_path(folder_);
    PhotoSettings current; // the default: current folder
    const StoredPhoto inCurrent = storePhoto(current, opaquePhoto(), u"", u"");
    PhotoSettings relative;
    ASSERT_EQ(relative.setPath(2, "sub/"), KAV_OK);
    const StoredPhoto inRelative = storePhoto(relative, opaquePhoto(), u"", u"");
    fs::current_path(saved);

    ASSERT_EQ(inCurrent.result, KAV_OK) << inCurrent.note;
    EXPECT_EQ(inCurrent.path, (folder_ / "tmp.wlt").string());
    ASSERT_EQ(inRelative.result, KAV_OK) << inRelative.note;
    EXPECT_EQ(inRelative.path, (folder_ / "sub" / "tmp.wlt").string());
    EXPECT_TRUE(fs::is_regular_file(folder_ / "sub" / "tmp.wlt"));
}

// Photos go into the folder that was chosen, resolved when it was set:
// never through a link put in its place, or in an ancestor's, later.
TEST_F(PhotoStore, WritesOnlyIntoTheFolderThatWasChosen) {
    struct Case {
        const char *what;
        // Makes the folders under base; returns the folder to choose.
        fs::path (*choose)(const fs::path &base);
        void (*after)(const fs::path &base); // between choosing and writing
        int result;
        const char *writtenIn; // under base, when written
        const char *untouched; // under base: must stay empty
    };
    const Case cases[] = {
        {"replaced by a link to another folder",
         [](const fs::path &b) {
             fs::create_directories(b / "other");
             fs::create_directories(b / "chosen");
             return b / "chosen";
         },
         [](const fs::path &b) {
             fs::remove_all(b / "chosen");
             fs::create_directory_symlink(b / "other", b / "chosen");
         },
         KAV_E_PHOTO_WRITE, nullptr, "other"},
        {"an ancestor replaced by a link",
         [](const fs::path &b) {
             fs::create_directories(b / "elsewhere" / "chosen");
             fs::create_directories(b / "parent" / "chosen");
             return b / "parent" / "chosen";
         },
         [](const fs::path &b) {
             fs::rename(b / "parent", b / "parent.old");
             fs::create_directory_symlink(b / "elsewhere", b / "parent");
         },
         KAV_E_PHOTO_WRITE, nullptr, "elsewhere/chosen"},
        {"a link when chosen",
         [](const fs::path &b) {
             fs::create_directories(b / "real");
             fs::create_directory_symlink(b / "real", b / "link");
             return b / "link";
         },
         [](const fs::path &) {}, KAV_OK, "real", nullptr},
        {"a link when chosen, pointed elsewhere since",
         [](const fs::path &b) {
             fs::create_directories(b / "real");
             fs::create_directories(b / "other");
             fs::create_directory_symlink(b / "real", b / "link");
             return b / "link";
         },
         [](const fs::path &b) {
             fs::remove(b / "link");
             fs::create_directory_symlink(b / "other", b / "link");
         },
         KAV_OK, "real", "other"},
        // The same path, a real folder again: the one the user chose.
        {"removed and made again",
         [](const fs::path &b) {
             fs::create_directories(b / "chosen");
             return b / "chosen";
         },
         [](const fs::path &b) {
             fs::remove_all(b / "chosen");
             fs::create_directory(b / "chosen");
         },
         KAV_OK, "chosen", nullptr},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path base = root_ / ("case" + std::to_string(index++));
        PhotoSettings s;
        ASSERT_EQ(s.setPath(KAV_PHOTO_IN_FOLDER, c.choose(base).string()), KAV_OK);
        std::string why;
        ASSERT_EQ(checkFolder(s, why), KAV_OK) << why;
        c.after(base);
        const StoredPhoto stored = storePhoto(s, opaquePhoto(), u"", u"");
        EXPECT_EQ(stored.result, c.result) << stored.note;
        if (c.writtenIn != nullptr) {
            EXPECT_EQ(stored.path, (base / c.writtenIn / "tmp.wlt").string());
            EXPECT_EQ(readFile(base / c.writtenIn / "tmp.wlt"), opaquePhoto());
        }
        if (c.untouched != nullptr) {
            EXPECT_TRUE(listing(base / c.untouched).empty());
        }
    }
}

// A relative folder is found anew at each read, so it has no resolved
// form to hold on to: one reached through a link is refused when chosen.
TEST_F(PhotoStore, ARelativeFolderThroughALinkIsRefused) {
    const struct Home {
        fs::path path = fs::current_path();
        ~Home() { fs::current_path(path); }
    } home;
    fs::create_directory(root_ / "real");
    fs::create_directory_symlink(root_ / "real", folder_ / "linked");
    fs::current_path(folder_);
    PhotoSettings s;
    ASSERT_EQ(s.setPath(KAV_PHOTO_IN_FOLDER, "linked"), KAV_OK);
    std::string why;
    EXPECT_EQ(checkFolder(s, why), KAV_E_BAD_ARGUMENT);
    EXPECT_NE(why.find("symbolic link"), std::string::npos) << why;
    EXPECT_EQ(storePhoto(s, opaquePhoto(), u"", u"").result, KAV_E_PHOTO_WRITE);
    EXPECT_TRUE(listing(root_ / "real").empty());
}

TEST(PhotoSettings, DefaultsAndValidation) {
    PhotoSettings s;
    EXPECT_EQ(s.pathOption(), PathOption::CurrentFolder);
    EXPECT_EQ(s.type(), PhotoType::Bmp);
    EXPECT_EQ(s.nameScheme(), NameScheme::Tmp);

    EXPECT_EQ(s.setPath(2, "/data/photos"), KAV_OK);
    for (auto [option, folder] : {std::pair{3, "/x"}, {-1, "/x"}, {2, ""}}) {
        EXPECT_EQ(s.setPath(option, folder), KAV_E_BAD_ARGUMENT) << option;
    }
    EXPECT_EQ(s.setPath(2, std::string_view("/a\0b", 4)), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(s.pathOption(), PathOption::GivenFolder);
    EXPECT_EQ(s.folder(), "/data/photos");
    EXPECT_EQ(s.setPath(0), KAV_OK);
    EXPECT_EQ(s.pathOption(), PathOption::SystemRoot);

    EXPECT_EQ(s.setType(3), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(s.setType(2), KAV_OK);
    EXPECT_EQ(s.setType(-1), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(s.type(), PhotoType::Base64);
    EXPECT_EQ(s.setNameScheme(4), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(s.setNameScheme(3), KAV_OK);
    EXPECT_EQ(s.nameScheme(), NameScheme::NameAndIdNumber);
}

TEST(PhotoSettings, FolderFromGbkIsExact) {
    EXPECT_EQ(folderFromGbk("/home/\xD5\xC5\xC8\xFD"), "/home/张三");
    EXPECT_EQ(folderFromGbk("/home/\x81"), std::nullopt) << "a cut double-byte character";
    EXPECT_EQ(folderFromGbk("/home/\xFF\xFF"), std::nullopt);
}

} // namespace
} // namespace kav::photo
