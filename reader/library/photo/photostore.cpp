#include "photostore.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <type_traits>
#include <vector>

#include "KavIDCardAPI.h"
#include "card/utf16.h"
#include "codepage936.h"
#include "photo/atomicfile.h"
#include "photo/photoname.h"

// stb_image is compiled here and nowhere else; JPEG is the one format a
// card photo we can show comes in.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#define STBI_NO_FAILURE_STRINGS
// The decoder's own bound, past ours: a second line, not the first.
#define STBI_MAX_DIMENSIONS 512
#include <stb_image.h> // a system include: its warnings are not ours

namespace kav::photo {
namespace {

constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);

bool isAbsolute(const std::string &folder) {
    return std::filesystem::path(folder).is_absolute();
}

// A card photo is 102 x 126. An image declaring sides beyond four times
// that is not a card photo: it is kept as the card's bytes, never decoded,
// so what we write stays bounded by what a card holds.
constexpr int kLargestWidth = 4 * 102;
constexpr int kLargestHeight = 4 * 126;
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

// The absolute folder for this read; nullopt when the current folder is gone.
std::optional<std::string> targetFolder(const PhotoSettings &settings) {
    std::string folder;
    switch (settings.pathOption()) {
    case PathOption::SystemRoot:
        return systemRoot();
    case PathOption::CurrentFolder:
        return currentFolder();
    case PathOption::GivenFolder:
        folder = settings.resolvedFolder();
        break;
    }
    if (!isAbsolute(folder)) {
        const std::optional<std::string> current = currentFolder();
        if (!current)
            return std::nullopt;
        folder = *current + kSeparator + folder;
    }
    while (folder.size() > 1 && folder.back() == kSeparator)
        folder.pop_back();
    return folder;
}

using Bytes = std::vector<std::uint8_t>;

struct Content {
    Bytes bytes;
    const char *extension = ".wlt";
    std::string description;
};

struct Decoded {
    int width = 0;
    int height = 0;
    Bytes rgb; // three bytes a pixel, top row first
};

// A JPEG within the size a card photo can have, decoded; nullopt for
// anything else. The declared size is checked before decoding so that a
// small header cannot make us allocate for a huge image.
std::optional<Decoded> decodedJpeg(std::span<const std::uint8_t> photo) {
    if (photo.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    const auto *data = photo.data();
    const int size = static_cast<int>(photo.size());
    int width = 0, height = 0, components = 0;
    if (stbi_info_from_memory(data, size, &width, &height, &components) == 0 || width <= 0 ||
        height <= 0 || width > kLargestWidth || height > kLargestHeight)
        return std::nullopt;
    // Asked for as RGB: a grayscale photo, as cards hold, comes expanded.
    stbi_uc *pixels = stbi_load_from_memory(data, size, &width, &height, &components, 3);
    if (pixels == nullptr)
        return std::nullopt;
    const std::size_t count =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
    Decoded image{width, height, Bytes(pixels, pixels + count)};
    stbi_image_free(pixels);
    return image;
}

void putLittleEndian(Bytes &out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i, value >>= 8)
        out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// A 24-bit bottom-up BMP: what every viewer reads, where an 8-bit one with
// a palette is not.
Bytes bmp24(const Decoded &image) {
    const auto width = static_cast<std::uint32_t>(image.width);
    const auto height = static_cast<std::uint32_t>(image.height);
    const std::uint32_t stride = (width * 3 + 3) & ~3u;
    constexpr std::uint32_t kHeaders = 14 + 40;
    Bytes out;
    out.reserve(kHeaders + stride * height);
    // BITMAPFILEHEADER
    out.push_back('B');
    out.push_back('M');
    putLittleEndian(out, kHeaders + stride * height, 4);
    putLittleEndian(out, 0, 4); // reserved
    putLittleEndian(out, kHeaders, 4);
    // BITMAPINFOHEADER: uncompressed, no palette, no stated resolution
    putLittleEndian(out, 40, 4);
    putLittleEndian(out, width, 4);
    putLittleEndian(out, height, 4); // positive: rows bottom-up
    putLittleEndian(out, 1, 2);      // planes
    putLittleEndian(out, 24, 2);     // bits per pixel
    putLittleEndian(out, 0, 4);      // BI_RGB
    putLittleEndian(out, stride * height, 4);
    putLittleEndian(out, 0, 4);
    putLittleEndian(out, 0, 4);
    putLittleEndian(out, 0, 4); // colours used
    putLittleEndian(out, 0, 4); // colours important
    for (std::uint32_t row = height; row-- > 0;) {
        const std::uint8_t *line = image.rgb.data() + row * width * 3;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint8_t *pixel = line + x * 3;
            out.insert(out.end(), {pixel[2], pixel[1], pixel[0]});
        }
        out.insert(out.end(), stride - width * 3, 0);
    }
    return out;
}

Bytes base64(std::span<const std::uint8_t> bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Bytes out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out.push_back(static_cast<std::uint8_t>(kAlphabet[(v >> shift) & 0x3F]));
    }
    if (const std::size_t rest = bytes.size() - i; rest > 0) {
        const std::uint32_t v = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
        out.push_back(static_cast<std::uint8_t>(kAlphabet[v >> 18]));
        out.push_back(static_cast<std::uint8_t>(kAlphabet[(v >> 12) & 0x3F]));
        out.push_back(rest == 2 ? static_cast<std::uint8_t>(kAlphabet[(v >> 6) & 0x3F]) : '=');
        out.push_back('=');
    }
    return out;
}

Content contentFor(PhotoType type, std::span<const std::uint8_t> photo) {
    const std::optional<Decoded> image = decodedJpeg(photo);
    if (!image) {
        return {Bytes(photo.begin(), photo.end()), ".wlt",
                "not a JPEG of a card photo's size (a card's own compressed format); its " +
                    std::to_string(photo.size()) + " bytes written unaltered"};
    }

    const std::string from =
        "JPEG " + std::to_string(image->width) + "x" + std::to_string(image->height);
    // The JPEG is kept byte for byte, trailing padding included: nothing of
    // what the card holds is dropped, and decoders stop at the image's end.
    switch (type) {
    case PhotoType::Bmp:
        return {bmp24(*image), ".bmp", from + " written as 24-bit BMP"};
    case PhotoType::Jpeg:
        return {Bytes(photo.begin(), photo.end()), ".jpg", from + " written unaltered"};
    case PhotoType::Base64:
        return {base64(photo), ".txt", from + " written as Base64 text of its JPEG bytes"};
    }
    return {};
}

} // namespace

int PhotoSettings::setPath(int option, std::string_view folder) {
    if (option == static_cast<int>(PathOption::GivenFolder) &&
        (folder.empty() || folder.find('\0') != std::string_view::npos))
        return KAV_E_BAD_ARGUMENT;
    const int rc = keep(pathOption_, option, static_cast<int>(PathOption::GivenFolder));
    if (rc == KAV_OK) {
        folder_ = pathOption_ == PathOption::GivenFolder ? std::string(folder) : std::string();
        resolved_ =
            folder_.empty() || !isAbsolute(folder_) ? folder_ : photo::resolvedFolder(folder_);
    }
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

int checkFolder(const PhotoSettings &settings, std::string &why) {
    const std::optional<std::string> folder = targetFolder(settings);
    if (!folder) {
        why = std::string("the current folder is unavailable: ") + std::strerror(errno);
        return KAV_E_BAD_ARGUMENT;
    }
    const std::optional<std::string> gbk = cp936::fromUtf8(*folder);
    if (!gbk || gbk->size() + 1 + KAV_PHOTO_NAME_MAX > KAV_PHOTO_PATH_MAX) {
        why = *folder + ": too long to hold a photo's name within " +
              std::to_string(KAV_PHOTO_PATH_MAX) + " bytes";
        return KAV_E_BAD_ARGUMENT;
    }
    why = folderProblem(*folder);
    return why.empty() ? KAV_OK : KAV_E_BAD_ARGUMENT;
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

    const WriteOutcome outcome = writeFileAtomically(*folder, fileName, content.bytes);
    if (!outcome.ok)
        return fail(KAV_E_PHOTO_WRITE, "photo not written to " + path + ": " + outcome.error);
    return {KAV_OK, path, std::move(*pathGbk), "photo " + content.description + " to " + path};
}

} // namespace kav::photo
