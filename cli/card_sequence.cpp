#include "command_parts.h"

#include "codepage936.h"

#include <cstring>
#include <filesystem>

namespace kav::cli {
namespace {

std::mutex photoMutex;

std::filesystem::path utf8Path(const std::string &text, bool gbk) {
    const std::string utf8 = gbk ? cp936::toUtf8(text) : text;
    return std::filesystem::u8path(utf8);
}

} // namespace

std::unique_lock<std::mutex> photoTurn(bool needed) {
    return needed ? std::unique_lock(photoMutex) : std::unique_lock<std::mutex>();
}

std::string photoNameForPort(const std::string &path, int port) {
    // ASCII only goes in, before the last dot of the file name: no byte of
    // a code page 936 character is a dot or a slash, so either encoding
    // stays whole.
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    const std::size_t at =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : path.size();
    return path.substr(0, at) + "-port" + std::to_string(port) + path.substr(at);
}

bool renamePhotoForPort(int port, char *field, std::size_t size, bool gbk) {
    const std::string old(field, strnlen(field, size));
    if (old.empty())
        return true;
    const std::string renamed = photoNameForPort(old, port);
    if (renamed.size() >= size)
        return false;
    std::error_code error;
    std::filesystem::rename(utf8Path(old, gbk), utf8Path(renamed, gbk), error);
    if (error)
        return false;
    std::memcpy(field, renamed.c_str(), renamed.size() + 1);
    return true;
}

Step setReadSettings(const PhotoOptions &photo) {
    host::setReadFieldFormats();
    if (photo.type)
        Kav_SetPhotoType(*photo.type);
    if (photo.scheme)
        Kav_SetPhotoName(*photo.scheme);
    if (photo.folderGbk)
        if (const int r = Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, photo.folderGbk->c_str());
            r != KAV_OK)
            return {"Kav_SetPhotoPath", r};
    return {};
}

Step readSequence(int port, IDCardRecord &record, KavCardData *last, bool portInName) {
    PortSession open(port);
    if (!open.isOpen())
        return {"Kav_OpenPort", open.openResult()};
    const std::unique_lock turn = photoTurn(portInName);
    const host::ReadSteps steps = host::readCard(port, record, host::AfterRefusal::Stop);
    // Only a read that was made took anything from the card.
    const bool readMade = steps.ok() || steps.read != KAV_OK;
    if (last != nullptr && readMade && !host::lastCard(port, *last))
        last->type = KAV_CARD_NONE;
    if (!steps.ok())
        return {steps.failedCall(), steps.failedCode()};
    if (portInName) {
        // The record's path names the file; the card's is the same in UTF-8.
        if (!renamePhotoForPort(port, record.photoFile, sizeof record.photoFile, true))
            return {"rename of the photo", KAV_E_PHOTO_WRITE};
        if (last != nullptr && last->type != KAV_CARD_NONE && last->photoFile[0] != '\0') {
            const std::string utf8 = cp936::toUtf8(record.photoFile);
            if (utf8.size() >= sizeof last->photoFile)
                return {"rename of the photo", KAV_E_PHOTO_WRITE};
            std::memcpy(last->photoFile, utf8.c_str(), utf8.size() + 1);
        }
    }
    return {};
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace kav::cli
