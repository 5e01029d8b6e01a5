#include "command_parts.h"

namespace kav::cli {

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

Step readSequence(int port, IDCardRecord &record, KavCardData *last) {
    PortSession open(port);
    if (!open.isOpen())
        return {"Kav_OpenPort", open.openResult()};
    const host::ReadSteps steps = host::readCard(port, record, host::AfterRefusal::Stop);
    // Only a read that was made took anything from the card.
    const bool readMade = steps.ok() || steps.read != KAV_OK;
    if (last != nullptr && readMade && !host::lastCard(port, *last))
        last->type = KAV_CARD_NONE;
    if (!steps.ok())
        return {steps.failedCall(), steps.failedCode()};
    return {};
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace kav::cli
