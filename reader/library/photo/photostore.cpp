#include "photostore.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <cerrno>
#include <cstring>
#include <type_traits>
#include <unistd.h>
#include <vector>

#include "KavIDCardAPI.h"
#include "card/utf16.h"
#include "codepage936.h"
#include "photo/atomicfile.h"
#include "photo/photoname.h"

namespace kav::photo {
namespace {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// A card photo is 102 x 126; anything far larger is not a photo, and
// decoding it would cost memory for nothing.
constexpr int kLargestSide = 4096;
// The record's photo field with its NUL.
constexpr std::size_t kLargestPathGbk = sizeof(IDCardRecord::photoFile) - 1;
// The longest single file name Linux file systems take.
constexpr std::size_t kLargestFileName = 255;

int keep(auto &slot, int code, int last) {
    if (code < 0 || code > last)
        return KAV_E_BAD_ARGUMENT;
    slot = static_cast<std::remove_reference_t<decltype(slot)>>(code);
    return KAV_OK;
}

StoredPhoto fail(int result, std::string note) {
    return {result, {}, {}, std::move(note)};
}

std::optional<std::string> currentFolder() {
    std::vector<char> buffer(256);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() > 65536)
            return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

// The absolute folder for this read; nullopt when the current folder is gone.
std::optional<std::string> targetFolder(const PhotoSettings &settings) {
    std::string folder;
    switch (settings.pathOption()) {
    case PathOption::SystemRoot:
        return systemRoot();
    case PathOption::CurrentFolder:
        return currentFolder();
    case PathOption::GivenFolder:
        folder = settings.folder();
        break;
    }
    if (folder.front() != '/') {
        const std::optional<std::string> current = currentFolder();
        if (!current)
            return std::nullopt;
        folder = *current + kSeparator + folder;
    }
    while (folder.size() > 1 && folder.back() == kSeparator)
        folder.pop_back();
    return folder;
}

struct Content {
    QByteArray bytes;
    const char *extension = ".wlt";
    std::string description;
};

QByteArray encoded(const QImage &image, const char *format) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    return writer.write(image) ? out : QByteArray();
}

std::string sizeText(const QImage &image) {
    return std::to_string(image.width()) + "x" + std::to_string(image.height());
}

// What goes into the file. bytes is empty only when Qt failed to encode an
// image it had decoded.
Content contentFor(PhotoType type, std::span<const std::uint8_t> photo) {
    const QByteArray raw = QByteArray::fromRawData(reinterpret_cast<const char *>(photo.data()),
                                                   static_cast<qsizetype>(photo.size()));
    QBuffer source;
    source.setData(raw);
    source.open(QIODevice::ReadOnly);
    QImageReader reader(&source);
    const QByteArray format = reader.format();
    const QSize size = reader.size();
    QImage image;
    if (!format.isEmpty() && size.isValid() && size.width() <= kLargestSide &&
        size.height() <= kLargestSide)
        image = reader.read();

    if (image.isNull()) {
        // Deliberately a deep copy: raw only borrows the caller's bytes.
        return {QByteArray(raw.constData(), raw.size()), ".wlt",
                "not an image this library can decode (a card's own compressed format); its " +
                    std::to_string(photo.size()) + " bytes written unaltered"};
    }

    const std::string from = format.toStdString() + " " + sizeText(image);
    const bool isJpeg = format == "jpeg";
    // A JPEG is kept byte for byte, trailing padding included: nothing of
    // what the card holds is dropped, and decoders stop at the image's end.
    const auto jpegBytes = [&] {
        return isJpeg ? QByteArray(raw.constData(), raw.size()) : encoded(image, "jpeg");
    };
    switch (type) {
    case PhotoType::Bmp:
        // Qt writes 8-bit BMPs for grayscale images; 24-bit is what readers expect.
        return {encoded(image.convertToFormat(QImage::Format_RGB888), "bmp"), ".bmp",
                from + " written as 24-bit BMP"};
    case PhotoType::Jpeg:
        return {jpegBytes(), ".jpg", from + (isJpeg ? " written unaltered" : " written as JPEG")};
    case PhotoType::Base64: {
        const QByteArray jpeg = jpegBytes();
        return {jpeg.isEmpty() ? QByteArray() : jpeg.toBase64(), ".txt",
                from + " written as Base64 text of its JPEG bytes"};
    }
    }
    return {};
}

} // namespace

int PhotoSettings::setPath(int option, std::string_view folder) {
    if (option == static_cast<int>(PathOption::GivenFolder) &&
        (folder.empty() || folder.find('\0') != std::string_view::npos))
        return KAV_E_BAD_ARGUMENT;
    const int rc = keep(pathOption_, option, static_cast<int>(PathOption::GivenFolder));
    if (rc == KAV_OK)
        folder_ = pathOption_ == PathOption::GivenFolder ? std::string(folder) : std::string();
    return rc;
}

int PhotoSettings::setType(int type) {
    return keep(type_, type, static_cast<int>(PhotoType::Base64));
}

int PhotoSettings::setNameScheme(int scheme) {
    return keep(nameScheme_, scheme, static_cast<int>(NameScheme::NameAndIdNumber));
}

std::optional<std::string> folderFromGbk(std::string_view gbk) {
    std::string utf8 = cp936::toUtf8(gbk);
    if (cp936::fromUtf8(utf8) != std::optional<std::string>(gbk))
        return std::nullopt;
    return utf8;
}

std::string systemRoot() {
#if defined(_WIN32)
    return "C:\\";
#else
    return "/";
#endif
}

StoredPhoto storePhoto(const PhotoSettings &settings, std::span<const std::uint8_t> photo,
                       std::u16string_view name, std::u16string_view idNumber) {
    const std::optional<std::u16string> base = photoBaseName(settings.nameScheme(), name, idNumber);
    if (!base)
        return fail(KAV_E_PHOTO_NAME, "photo not written: the card leaves no usable file name");

    const std::optional<std::string> folder = targetFolder(settings);
    if (!folder)
        return fail(KAV_E_PHOTO_WRITE,
                    std::string("photo not written: the current folder is unavailable: ") +
                        std::strerror(errno));

    Content content = contentFor(settings.type(), photo);
    const std::string fileName = card::toUtf8(*base) + content.extension;
    std::string path = *folder;
    if (path.back() != kSeparator)
        path += kSeparator;
    path += fileName;

    std::optional<std::string> pathGbk = cp936::fromUtf8(path);
    if (!pathGbk)
        return fail(KAV_E_PHOTO_NAME, "photo not written: GBK cannot hold the path " + path);
    if (pathGbk->size() > kLargestPathGbk || fileName.size() > kLargestFileName)
        return fail(KAV_E_PHOTO_NAME, "photo not written: the path is too long: " + path);
    if (content.bytes.isEmpty() && !photo.empty())
        return fail(KAV_E_PHOTO_WRITE, "photo not written: encoding it failed");

    const WriteOutcome outcome =
        writeFileAtomically(*folder, fileName,
                            {reinterpret_cast<const std::uint8_t *>(content.bytes.constData()),
                             static_cast<std::size_t>(content.bytes.size())});
    if (!outcome.ok)
        return fail(KAV_E_PHOTO_WRITE, "photo not written to " + path + ": " + outcome.error);
    return {KAV_OK, path, std::move(*pathGbk), "photo " + content.description + " to " + path};
}

} // namespace kav::photo
