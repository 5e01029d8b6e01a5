/*
 * KavIDCardAPI: the C interface of the identity-card reader library.
 *
 * The program links whichever library exports these symbols when it loads;
 * ours speaks the reader's SAM protocol over serial links and carries a
 * virtual reader. Every operation is blocking and returns 0 on success.
 *
 * Integers are 32-bit signed unless marked otherwise. Texts are code page
 * 936 (GBK), NUL-terminated. Buffers are owned by the caller.
 */
#ifndef KAV_IDCARD_API_H
#define KAV_IDCARD_API_H

#include <stddef.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KAV_CALL __stdcall
#else
#define KAV_CALL
#endif

#if defined(_WIN32)
#if defined(KAV_BUILDING_LIBRARY)
#define KAV_EXPORT __declspec(dllexport)
#else
#define KAV_EXPORT __declspec(dllimport)
#endif
#else
#define KAV_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Records that cross the boundary ---------------------------------- */

/* One card as the library hands it over: 548 bytes, every field a
 * NUL-terminated GBK text inside its span. */
typedef struct IDCardRecord {
    char name[32];
    char sex[6];
    char nation[20];
    char born[18];
    char address[72];
    char idNumber[38];
    char issuer[32];
    char validFrom[18];
    char validUntil[56];
    char photoFile[256]; /* full path of the photo file written by the read */
} IDCardRecord;

enum { KAV_SAM_ID_SIZE = 16, KAV_FIND_BUFFER_SIZE = 4, KAV_SELECT_BUFFER_SIZE = 8 };

/* The SAM's identifier exactly as the SAM sends it. */
typedef struct KavSamId {
    unsigned char bytes[KAV_SAM_ID_SIZE];
} KavSamId;

/* ---- Port numbers -------------------------------------------------------
 * 0 means no reader; 1 to 1000 are serial ports; above 1000 USB ports. */
enum { KAV_NO_PORT = 0, KAV_LAST_SERIAL_PORT = 1000 };

/* ---- Result codes -------------------------------------------------------
 * 0 is success. Negative codes are the library's own; a positive code is
 * the status byte the SAM answered with when it was not success (for
 * example 0x80 = 128: no card in the field). Kav_ResultText names both. */
enum KavResult {
    KAV_OK = 0,
    KAV_E_NO_DEVICE = -1,    /* no device mapped to the port, or it does not exist */
    KAV_E_PERMISSION = -2,   /* the device exists but may not be opened */
    KAV_E_BUSY = -3,         /* another process or port holds the device */
    KAV_E_NOT_OPEN = -4,     /* the operation needs Kav_OpenPort first */
    KAV_E_IO = -5,           /* the link failed (device removed, write error) */
    KAV_E_TIMEOUT = -6,      /* the reader did not answer in time */
    KAV_E_BAD_FRAME = -7,    /* the answer failed its length or checksum check */
    KAV_E_BAD_ARGUMENT = -8, /* a value out of range or a null pointer */
    KAV_E_NOT_SUPPORTED = -9, /* e.g. a baud rate on a USB port */
    KAV_E_PHOTO_WRITE = -10, /* the photo file could not be written */
    KAV_E_PHOTO_NAME = -11,  /* the card data leaves no usable photo file name */
    KAV_E_BAD_REPLY = -12,   /* a well-formed answer with unexpected contents */
    KAV_E_INTERNAL = -13     /* an unexpected failure inside the library */
};

/* A short English text for any result code, for traces and tools. Never NULL. */
KAV_EXPORT const char *KAV_CALL Kav_ResultText(int result);

/* ---- Reader discovery and ports ---------------------------------------- */

/* Looks for a reader on every known port at once, trying each rate in turn
 * (a port's remembered rate first); returns the port of the first reader
 * to answer, 0 when none did. Readers answering within 50 ms of the first
 * answered together: the lowest of their ports is returned. The other
 * ports' probes stop then. Remembers the baud rate it found. */
KAV_EXPORT int KAV_CALL Kav_FindReader(void);
KAV_EXPORT int KAV_CALL Kav_OpenPort(int port);
/* Harmless on a port that is not open. */
KAV_EXPORT int KAV_CALL Kav_ClosePort(int port);

/* ---- Link settings ------------------------------------------------------
 * Both baud operations work on a port that is not open. The rates are
 * 115200, 57600, 38400, 19200 and 9600. */
KAV_EXPORT int KAV_CALL Kav_GetCOMBaud(int port, unsigned int *baud);
KAV_EXPORT int KAV_CALL Kav_SetCOMBaud(int port, int currentBaud, int newBaud);
/* Maximum bytes per radio exchange, 24 to 255. */
KAV_EXPORT int KAV_CALL Kav_SetMaxRFByte(int port, int count, int flag);

/* ---- SAM commands ------------------------------------------------------- */
KAV_EXPORT int KAV_CALL Kav_GetSAMStatus(int port, int flag);
KAV_EXPORT int KAV_CALL Kav_ResetSAM(int port, int flag);
/* Fills KAV_SAM_ID_SIZE bytes. */
KAV_EXPORT int KAV_CALL Kav_GetSAMID(int port, unsigned char *samId, int flag);

/* ---- Card reading -------------------------------------------------------
 * Find and select must precede every read. The find buffer receives
 * KAV_FIND_BUFFER_SIZE bytes, the select buffer KAV_SELECT_BUFFER_SIZE. */
KAV_EXPORT int KAV_CALL Kav_StartFindIDCard(int port, unsigned char *findBuffer, int flag);
KAV_EXPORT int KAV_CALL Kav_SelectIDCard(int port, unsigned char *selectBuffer, int flag);
/* Fills the record per the field formats and writes the photo per the
 * photo settings. */
KAV_EXPORT int KAV_CALL Kav_ReadMsg(int port, int flag, IDCardRecord *record);

/* ---- Field formats ------------------------------------------------------
 * Kept for the following reads.
 *
 *   operation              code  the field reads
 *   Kav_SetSexType          0    the card's code: 0, 1, 2 or 9
 *                           1    男, 女, 未知 or 未说明 (the field's six
 *                                bytes hold 未说 of the last)
 *   Kav_SetNationType       0    the card's two digits, e.g. 01
 *                           1    the nation's name, e.g. 汉, 蒙古
 *                           2    the name with 族, e.g. 汉族 (其他 and
 *                                外国血统 stay as they are)
 *   Kav_SetBornType,        0    20010203 (as on the card)
 *   Kav_SetUserLifeBType,   1    2001-02-03
 *   Kav_SetUserLifeEType    2    2001年02月03日
 *   (first code)            3    2001.02.03
 *                           4    2001/02/03
 *   Kav_SetUserLifeEType    0    a card without end date reads empty
 *   (second code)           1    a card without end date reads 长期
 *
 * Defaults before any call: 0 for every code. A code outside the table
 * answers KAV_E_BAD_ARGUMENT and leaves the setting as it was. */
KAV_EXPORT int KAV_CALL Kav_SetSexType(int code);
KAV_EXPORT int KAV_CALL Kav_SetNationType(int code);
KAV_EXPORT int KAV_CALL Kav_SetBornType(int code);
KAV_EXPORT int KAV_CALL Kav_SetUserLifeBType(int code);
KAV_EXPORT int KAV_CALL Kav_SetUserLifeEType(int code, int noEndDateCode);

/* ---- Photo settings -----------------------------------------------------
 *   Kav_SetPhotoPath  0 the root of the system drive, 1 the process's
 *                     current folder, 2 the folder in path (GBK)
 *   Kav_SetPhotoType  0 BMP (24-bit), 1 JPEG, 2 Base64 text
 *   Kav_SetPhotoName  0 tmp, 1 the holder's name, 2 the ID number,
 *                     3 name_ID number
 * Defaults before any call: current folder, BMP, tmp. */
KAV_EXPORT int KAV_CALL Kav_SetPhotoPath(int option, const char *path);
KAV_EXPORT int KAV_CALL Kav_SetPhotoType(int type);
KAV_EXPORT int KAV_CALL Kav_SetPhotoName(int scheme);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(IDCardRecord) == 548, "IDCardRecord is 548 bytes");
static_assert(offsetof(IDCardRecord, name) == 0 && sizeof(IDCardRecord::name) == 32);
static_assert(offsetof(IDCardRecord, sex) == 32 && sizeof(IDCardRecord::sex) == 6);
static_assert(offsetof(IDCardRecord, nation) == 38 && sizeof(IDCardRecord::nation) == 20);
static_assert(offsetof(IDCardRecord, born) == 58 && sizeof(IDCardRecord::born) == 18);
static_assert(offsetof(IDCardRecord, address) == 76 && sizeof(IDCardRecord::address) == 72);
static_assert(offsetof(IDCardRecord, idNumber) == 148 && sizeof(IDCardRecord::idNumber) == 38);
static_assert(offsetof(IDCardRecord, issuer) == 186 && sizeof(IDCardRecord::issuer) == 32);
static_assert(offsetof(IDCardRecord, validFrom) == 218 && sizeof(IDCardRecord::validFrom) == 18);
static_assert(offsetof(IDCardRecord, validUntil) == 236 &&
              sizeof(IDCardRecord::validUntil) == 56);
static_assert(offsetof(IDCardRecord, photoFile) == 292 && sizeof(IDCardRecord::photoFile) == 256);
static_assert(sizeof(KavSamId) == KAV_SAM_ID_SIZE, "the SAM ID block is 16 bytes");
#else
_Static_assert(sizeof(IDCardRecord) == 548, "IDCardRecord is 548 bytes");
_Static_assert(offsetof(IDCardRecord, photoFile) == 292, "photo field offset");
_Static_assert(sizeof(KavSamId) == KAV_SAM_ID_SIZE, "the SAM ID block is 16 bytes");
#endif

#endif /* KAV_IDCARD_API_H */
