// The photo store: writes the card's 1024-byte photo as a file per the
// photo settings of KavIDCardAPI.h.
#pragma once

#include "KavIDCardAPI.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kav::photo {

enum class PathOption {
    SystemRoot = KAV_PHOTO_IN_ROOT,
    CurrentFolder = KAV_PHOTO_IN_CURRENT,
    GivenFolder = KAV_PHOTO_IN_FOLDER
};
enum class PhotoType { Bmp = KAV_PHOTO_BMP, Jpeg = KAV_PHOTO_JPEG, Base64 = KAV_PHOTO_BASE64 };
enum class NameScheme {
    Tmp = KAV_PHOTO_NAME_TMP,
    HolderName = KAV_PHOTO_NAME_HOLDER,
    IdNumber = KAV_PHOTO_NAME_ID,
    NameAndIdNumber = KAV_PHOTO_NAME_BOTH
};

// The codes of Kav_SetPhotoPath, Kav_SetPhotoType and Kav_SetPhotoName,
// validated in one place. Setters answer KAV_OK, or KAV_E_BAD_ARGUMENT and
// keep the old value. Defaults: current folder, BMP, tmp.
class PhotoSettings {
  public:
    // folder (UTF-8) is used with option 2 only, and must then be non-empty
    // and free of NULs. An absolute folder is resolved now, once: photos go
    // into the folder it names now, never through a link put in its place
    // later. A relative folder is taken from the current folder at the time
    // of each read, and may not pass through a symbolic link.
    int setPath(int option, std::string_view folder = {});
    int setType(int type);
    int setNameScheme(int scheme);

    PathOption pathOption() const { return pathOption_; }
    const std::string &folder() const { return folder_; }
    // An absolute folder with the links on its way resolved when it was
    // set; a relative one as given.
    const std::string &resolvedFolder() const { return resolved_; }
    PhotoType type() const { return type_; }
    NameScheme nameScheme() const { return nameScheme_; }

  private:
    PathOption pathOption_ = PathOption::CurrentFolder;
    std::string folder_;
    std::string resolved_;
    PhotoType type_ = PhotoType::Bmp;
    NameScheme nameScheme_ = NameScheme::Tmp;
};

// Whether the folder the settings name can take a photo now: it exists, is
// a folder this process may write into, and leaves room for the longest
// photo name within the record's path (KAV_PHOTO_PATH_MAX). KAV_OK, or
// KAV_E_BAD_ARGUMENT with the reason in `why`.
int checkFolder(const PhotoSettings &settings, std::string &why);

// A GBK folder from Kav_SetPhotoPath as UTF-8, exactly: nullopt when its
// bytes are not valid GBK, so a path is never silently altered.
std::optional<std::string> folderFromGbk(std::string_view gbk);

struct StoredPhoto {
    int result = 0;      // KAV_OK, KAV_E_PHOTO_WRITE or KAV_E_PHOTO_NAME
    std::string path;    // the full path written, UTF-8; empty on failure
    std::string pathGbk; // the same for IDCardRecord::photoFile (fits with its NUL)
    std::string note;    // one line for the library's trace
};

// Writes the photo into the chosen folder under the name scheme's name:
// - a JPEG no larger than four times a card photo's 102 x 126 on either
//   side is written as the chosen type: BMP 24-bit (.bmp), the JPEG byte
//   for byte, padding included (.jpg), or the Base64 text of those bytes
//   (.txt, one line, no line breaks);
// - anything else (a real card's compressed photo, another image format,
//   a larger image) is written byte for byte as .wlt whatever the type, and
//   the note says so. What is written is thus bounded by what a card holds.
// Names come from the card and are untrusted: trimmed, stripped of path
// separators and control characters; nothing sound left fails with
// KAV_E_PHOTO_NAME. For name_ID number, an empty part is left out together
// with the underscore. A path that GBK cannot hold, or longer than 255 GBK
// bytes, fails with KAV_E_PHOTO_NAME. The file is written atomically: any
// failure leaves neither a partial nor a temporary file.
StoredPhoto storePhoto(const PhotoSettings &settings, std::span<const std::uint8_t> photo,
                       std::u16string_view name, std::u16string_view idNumber);

} // namespace kav::photo
