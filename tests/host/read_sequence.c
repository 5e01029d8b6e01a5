/* A host of the reader library written as an integrator would: C11, the
 * public header alone, no toolkit. It runs the dialog's read sequence on
 * the first reader it finds and prints what it read. Usage:
 *   kav_c_host PHOTO_FOLDER
 * Exit 0 on success; otherwise the step that failed and its result code
 * on standard error. */
#include "KavIDCardAPI.h"

#include <stdio.h>
#include <string.h>

static int failed(const char *step, int result) {
    fprintf(stderr, "%s: %d (%s)\n", step, result, Kav_ResultText(result));
    return 1;
}

int main(int argc, char **argv) {
    IDCardRecord record;
    unsigned char samId[KAV_SAM_ID_SIZE];
    unsigned char find[KAV_FIND_BUFFER_SIZE];
    unsigned char select[KAV_SELECT_BUFFER_SIZE];
    unsigned int baud = 0;
    int port;
    int result;

    if (argc != 2 || strlen(argv[1]) > (size_t)KAV_PHOTO_FOLDER_MAX) {
        fprintf(stderr, "usage: %s PHOTO_FOLDER\n", argv[0]);
        return 2;
    }
    port = Kav_FindReader();
    if (port == KAV_NO_PORT)
        return failed("Kav_FindReader", KAV_E_NO_DEVICE);
    if (port <= KAV_LAST_SERIAL_PORT && (result = Kav_GetCOMBaud(port, &baud)) != KAV_OK)
        return failed("Kav_GetCOMBaud", result);

    Kav_SetSexType(KAV_SEX_TEXT);
    Kav_SetNationType(KAV_NATION_NAME);
    Kav_SetBornType(KAV_DATE_CHINESE);
    Kav_SetUserLifeBType(KAV_DATE_DOTS);
    Kav_SetUserLifeEType(KAV_DATE_SLASHES, KAV_NO_END_LONG_TERM);
    if ((result = Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, argv[1])) != KAV_OK)
        return failed("Kav_SetPhotoPath", result);
    if ((result = Kav_SetPhotoType(KAV_PHOTO_BMP)) != KAV_OK)
        return failed("Kav_SetPhotoType", result);
    if ((result = Kav_SetPhotoName(KAV_PHOTO_NAME_TMP)) != KAV_OK)
        return failed("Kav_SetPhotoName", result);

    if ((result = Kav_OpenPort(port)) != KAV_OK) {
        Kav_ClosePort(port);
        return failed("Kav_OpenPort", result);
    }
    memset(samId, 0, sizeof samId);
    memset(&record, 0, sizeof record);
    if ((result = Kav_GetSAMStatus(port, 0)) != KAV_OK ||
        (result = Kav_GetSAMID(port, samId, 0)) != KAV_OK ||
        (result = Kav_SetMaxRFByte(port, 80, 0)) != KAV_OK ||
        (result = Kav_StartFindIDCard(port, find, 0)) != KAV_OK ||
        (result = Kav_SelectIDCard(port, select, 0)) != KAV_OK ||
        (result = Kav_ReadMsg(port, 0, &record)) != KAV_OK) {
        Kav_ClosePort(port);
        return failed("read sequence", result);
    }
    Kav_ClosePort(port);

    printf("port %d at %u baud\n", port, baud);
    printf("SAM %X%X-%X%X\n", samId[1], samId[0], samId[3], samId[2]);
    printf("name %s\nsex %s\nnation %s\nborn %s\naddress %s\nid %s\nissuer %s\n", record.name,
           record.sex, record.nation, record.born, record.address, record.idNumber, record.issuer);
    printf("valid %s - %s\nphoto %s\n", record.validFrom, record.validUntil, record.photoFile);
    return record.name[0] != '\0' && record.photoFile[0] != '\0' ? 0 : failed("empty record", 0);
}
