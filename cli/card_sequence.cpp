#include "command_parts.h"

#include "optional_exports.h"

namespace kav::cli {

Step setReadSettings(const PhotoOptions &photo) {
    Kav_SetSexType(KAV_SEX_TEXT);
    Kav_SetNationType(KAV_NATION_NAME);
    Kav_SetBornType(KAV_DATE_CHINESE);
    Kav_SetUserLifeBType(KAV_DATE_DOTS);
    Kav_SetUserLifeEType(KAV_DATE_SLASHES, KAV_NO_END_LONG_TERM);
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
    return cardSequence(port, [&]() -> Step {
        const int r = Kav_ReadMsg(port, 0, &record);
        if (const GetLastCardFn get = getLastCardExport(); last != nullptr && get != nullptr) {
            last->size = sizeof *last;
            if (get(port, last) != KAV_OK)
                last->type = KAV_CARD_NONE;
        }
        if (r != KAV_OK)
            return {"Kav_ReadMsg", r};
        return {};
    });
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace kav::cli
