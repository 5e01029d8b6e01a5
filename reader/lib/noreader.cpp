// The library as it behaves on a machine with no reader attached: nothing is
// found, no port opens, and the settings are kept for reads that cannot
// happen. The program links and logs honest failures against it.
#include "KavIDCardAPI.h"

#include <cstring>

namespace {

struct Settings {
    int sex = 0, nation = 0, born = 0, lifeBegin = 0, lifeEnd = 0, lifeEndNoDate = 0;
    int photoPath = 1, photoType = 0, photoName = 0;
    char folder[260] = {};
} settings;

int keep(int &slot, int value, int first, int last) {
    if (value < first || value > last)
        return KAV_E_BAD_ARGUMENT;
    slot = value;
    return KAV_OK;
}

} // namespace

extern "C" {

KAV_EXPORT const char *KAV_CALL Kav_ResultText(int result) {
    return result == KAV_OK ? "success" : "no reader is attached";
}

KAV_EXPORT int KAV_CALL Kav_FindReader(void) { return KAV_NO_PORT; }
KAV_EXPORT int KAV_CALL Kav_OpenPort(int) { return KAV_E_NO_DEVICE; }
KAV_EXPORT int KAV_CALL Kav_ClosePort(int) { return KAV_OK; }
KAV_EXPORT int KAV_CALL Kav_GetCOMBaud(int, unsigned int *) { return KAV_E_NO_DEVICE; }
KAV_EXPORT int KAV_CALL Kav_SetCOMBaud(int, int, int) { return KAV_E_NO_DEVICE; }
KAV_EXPORT int KAV_CALL Kav_SetMaxRFByte(int, int, int) { return KAV_E_NOT_OPEN; }
KAV_EXPORT int KAV_CALL Kav_GetSAMStatus(int, int) { return KAV_E_NOT_OPEN; }
KAV_EXPORT int KAV_CALL Kav_ResetSAM(int, int) { return KAV_E_NOT_OPEN; }
KAV_EXPORT int KAV_CALL Kav_GetSAMID(int, unsigned char *, int) { return KAV_E_NOT_OPEN; }
KAV_EXPORT int KAV_CALL Kav_StartFindIDCard(int, unsigned char *, int) { return KAV_E_NOT_OPEN; }
KAV_EXPORT int KAV_CALL Kav_SelectIDCard(int, unsigned char *, int) { return KAV_E_NOT_OPEN; }
KAV_EXPORT int KAV_CALL Kav_ReadMsg(int, int, IDCardRecord *) { return KAV_E_NOT_OPEN; }

KAV_EXPORT int KAV_CALL Kav_SetSexType(int code) { return keep(settings.sex, code, 0, 1); }
KAV_EXPORT int KAV_CALL Kav_SetNationType(int code) { return keep(settings.nation, code, 0, 2); }
KAV_EXPORT int KAV_CALL Kav_SetBornType(int code) { return keep(settings.born, code, 0, 4); }
KAV_EXPORT int KAV_CALL Kav_SetUserLifeBType(int code) {
    return keep(settings.lifeBegin, code, 0, 4);
}
KAV_EXPORT int KAV_CALL Kav_SetUserLifeEType(int code, int noEndDateCode) {
    if (noEndDateCode < 0 || noEndDateCode > 1)
        return KAV_E_BAD_ARGUMENT;
    const int rc = keep(settings.lifeEnd, code, 0, 4);
    if (rc == KAV_OK)
        settings.lifeEndNoDate = noEndDateCode;
    return rc;
}

KAV_EXPORT int KAV_CALL Kav_SetPhotoPath(int option, const char *path) {
    if (option == 2) {
        if (path == nullptr || *path == '\0' || std::strlen(path) >= sizeof settings.folder)
            return KAV_E_BAD_ARGUMENT;
        std::strcpy(settings.folder, path);
    }
    return keep(settings.photoPath, option, 0, 2);
}
KAV_EXPORT int KAV_CALL Kav_SetPhotoType(int type) { return keep(settings.photoType, type, 0, 2); }
KAV_EXPORT int KAV_CALL Kav_SetPhotoName(int scheme) {
    return keep(settings.photoName, scheme, 0, 3);
}

} // extern "C"
