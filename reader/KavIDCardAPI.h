/*
 * KavIDCardAPI: the C interface of the identity-card reader library.
 *
 * The program links whichever library exports these symbols when it loads;
 * ours speaks the reader's SAM protocol over serial links and carries a
 * virtual reader. Every operation is blocking, ends within its own time
 * limit whatever the device sends, and returns 0 on success. Calls on
 * different ports run in parallel; calls on one port are taken one at a
 * time (see Threads below).
 *
 * A port stays open until Kav_ClosePort, whatever happens to its device. When
 * its link fails (the reader unplugged, its pty closed, a hang-up in the
 * middle of an answer) the call that saw it fails with KAV_E_IO, and the next
 * call on the port, whichever it is, first opens the same device again, then
 * goes on. A device that went away meanwhile (unplugged: its SAM starts again
 * at 115200) is opened at 115200; one that stayed (a hang-up, a network drop)
 * at the rate the port had. When the port's rate was not 115200, the SAM's
 * status is asked at that expected rate and, if it is silent, once at the
 * other one, so the reopen costs at most two status waits more (under 0.6 s
 * when both are silent, a network port's allowance included). While the
 * device is not back, that call fails at once with the open's failure
 * (KAV_E_NO_DEVICE, KAV_E_IO, ...), and the next one tries again.
 *
 * Time limits: each command waits for its answer the SAM's own time for it
 * plus the wire time of the command and of its answer at the port's rate,
 * and a fixed allowance for the bridge (a network port adds 100 ms for
 * the server and the network; connecting to one takes at most 2 s). A
 * line that damages an answer costs
 * a retry, not the operation: a command that changes nothing on the SAM or
 * the card (status, SAM ID, find, select, read, max RF bytes) is sent once
 * more when its answer failed its checksum or length check or stopped
 * short, and its limit then counts both sends (for a read, also finding
 * and selecting the card again, as every read needs). Never when nothing
 * came: silence is a missing device or a wrong rate. A reset and a baud
 * change are never repeated. Kav_GetRetryCount counts the retries.
 *
 * Integers are 32-bit signed unless marked otherwise. Texts are code page
 * 936 (GBK), NUL-terminated, unless marked UTF-8. Buffers are owned by the
 * caller. Valid C11 and C++; the library needs no toolkit.
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

/* ---- Version of this interface -------------------------------------------
 * MAJOR changes when a host built with an older header may no longer work
 * with the library (a function, record or meaning changed or went); it is
 * the number in the shared library's name (libKavIDCardAPI.so.1). MINOR
 * grows with each addition an older host never meets (an optional export,
 * a flag, a result code), PATCH with fixes that change no declaration. The
 * program's own version (1.0.0.1) adds a build number that is not part of
 * the interface. */
#define KAV_VERSION_MAJOR 1
#define KAV_VERSION_MINOR 0
#define KAV_VERSION_PATCH 0

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
 * 0 means no reader; 1 to 1000 are serial ports; above 1000 USB ports. A
 * port names a device by the library's rule: 1-100 /dev/ttyUSB0-99, 101-200
 * /dev/ttyACM0-99, 201-300 /dev/ttyS0-99, changed or extended by the
 * variable KAVIDCARD_DEVICES (see the README). A port may name a serial
 * port on another machine behind a serial-port server:
 * "rfc2217://HOST:PORT" (the server's rate follows the SAM's, so it works
 * as a local port) or "tcp://HOST:PORT" (raw: the server's rate is taken
 * to be 115200, or the rate "tcp://HOST:PORT?baud=57600" names, and
 * Kav_SetCOMBaud fails with KAV_E_NOT_SUPPORTED before anything is sent to
 * the SAM). */
enum { KAV_NO_PORT = 0, KAV_LAST_SERIAL_PORT = 1000 };

/* ---- Result codes -------------------------------------------------------
 * 0 is success. Negative codes are the library's own; a positive code is
 * the status byte the SAM answered with when it was not the command's
 * success (for example 0x80 = 128: no card in the field; 0x66 = 102: SAM
 * not authorised). Kav_ResultText names both. */
enum KavResult {
    KAV_OK = 0,
    KAV_E_NO_DEVICE = -1,     /* no device mapped to the port, or it does not exist */
    KAV_E_PERMISSION = -2,    /* the device exists but may not be opened */
    KAV_E_BUSY = -3,          /* another process or port holds the device */
    KAV_E_NOT_OPEN = -4,      /* the operation needs Kav_OpenPort first */
    KAV_E_IO = -5,            /* the link failed (device removed, hung up, write error) */
    KAV_E_TIMEOUT = -6,       /* the reader did not answer in time */
    KAV_E_BAD_FRAME = -7,     /* the answer failed its length or checksum check */
    KAV_E_BAD_ARGUMENT = -8,  /* a value out of range, a null pointer, an unusable folder */
    KAV_E_NOT_SUPPORTED = -9, /* e.g. a baud rate on a USB port */
    KAV_E_PHOTO_WRITE = -10,  /* the photo file could not be written */
    KAV_E_PHOTO_NAME = -11,   /* the card data leaves no usable photo file name */
    KAV_E_BAD_REPLY = -12,    /* well-formed answers came, none that fits the command */
    KAV_E_INTERNAL = -13,     /* an unexpected failure inside the library */
    KAV_E_IN_CALLBACK = -14, /* called from inside the trace callback (see Threads); nothing done */
    KAV_E_UNKNOWN_LAYOUT = -15, /* the card's type letter names no layout this library knows */
    KAV_E_UNKNOWN_HOST = -16,   /* a network port's host name does not resolve (or not in time) */
    KAV_E_REFUSED = -17,        /* a network port's server refused the connection */
    KAV_E_UNREACHABLE = -18     /* a network port's server was not reached (no answer, no route) */
};

/* ---- Threads --------------------------------------------------------------
 * Any function may be called from any thread. Calls on different ports
 * run in parallel: each port has its own turn, held for the whole call, so
 * a call on a port waits only for another thread's call on the same port.
 * Calls that change or read settings (formats, photo settings, the port
 * map, warnings) wait only for each other, briefly, never for a port's
 * exchange with its reader. Kav_FindReader takes the turn of every port it
 * searches until it ends: calls on those ports wait for it. Two functions
 * take no turn: Kav_ResultText (no lock at all) and Kav_SetTraceCallback
 * (which waits only for a trace event being delivered). A read uses the
 * field formats and photo settings as they are when its answer arrives.
 * Kav_FindReader probes ports on threads of its
 * own, and falls back to probing them one after another on the caller's
 * thread when no thread can be started; it still returns only once every
 * probe has ended. The trace callback is called on whichever thread does
 * the work, never two calls at once.
 *
 * From inside the trace callback, Kav_SetTraceCallback (to remove or
 * replace the callback, itself included) and Kav_ResultText work; every
 * other function returns at once without doing anything: KAV_E_IN_CALLBACK,
 * or KAV_NO_PORT for Kav_FindReader, which never returns a negative code.
 *
 * A host may return from main() or call exit() while other threads are
 * inside the library: nothing the library uses is torn down at exit. When
 * no call is at work then, the open ports are closed as Kav_ClosePort
 * would; otherwise the system closes them. */

/* Kav_ResultText: a short English text for any result code, for traces and
 * tools: the library's own codes, the SAM's status bytes, and "unknown
 * result code" for anything else. Never NULL; the text is static, or, for a
 * status byte, valid until the same thread calls it again. Changes
 * nothing. */
KAV_EXPORT const char *KAV_CALL Kav_ResultText(int result);

/* ---- The flag argument ---------------------------------------------------
 * Several operations take `int flag`: it is kept for compatibility with the
 * interface's other implementations, where it selected a reader model's
 * variant. This library ignores it; pass 0. */

/* ---- Reader discovery and ports ---------------------------------------- */

/* Kav_FindReader: looks for a reader on every mapped port whose device
 * exists, all at once, asking each SAM for its status at each baud rate in
 * turn (115200 first, or the rate last found on that port). The first
 * reader to answer ends the search: readers answering within 50 ms of it
 * answered together, and the lowest of their ports is returned (a port
 * whose probe began late, on a busy machine, still gets 50 ms from its own
 * first question). Ports
 * already open are probed through their open link and stay open.
 *
 * Returns the port (1 or more), or 0 (KAV_NO_PORT) when no reader answered;
 * never a negative code. Remembers each found port's rate for the
 * operations that follow. An open port whose link failed is opened again
 * first, and skipped when its device is not back. Takes at most about a
 * second when nothing answers. */
KAV_EXPORT int KAV_CALL Kav_FindReader(void);

/* Kav_OpenPort: opens the port's device exclusively (no other process or
 * port using this library, or locking the device with flock, may use it
 * while it is open; the lock goes with the process, however it ends) and, on
 * a serial port whose rate the library does not know yet, asks the SAM for
 * its status at each rate to learn it. A rate that answers only after an
 * earlier one went unanswered is asked a second time before it is believed
 * (the first answer may be a late one to the earlier rate); if it does not
 * answer again, the rates are tried once more. A device that answers at no
 * rate is still opened at 115200; a device that hangs up or fails meanwhile
 * is not. Opening an open port changes nothing, unless its link failed:
 * then its device is opened again at the rate the port had.
 *
 * Returns KAV_OK, KAV_E_NO_DEVICE, KAV_E_PERMISSION, KAV_E_BUSY, KAV_E_IO,
 * KAV_E_INTERNAL, or for a network port KAV_E_UNKNOWN_HOST, KAV_E_REFUSED
 * or KAV_E_UNREACHABLE. The trace and Kav_GetLastFailure say why an open
 * failed and what to do (for example: the group the user must belong to). */
KAV_EXPORT int KAV_CALL Kav_OpenPort(int port);

/* Kav_ClosePort: closes the port and releases its device. Harmless on a
 * port that is not open. Always returns KAV_OK. */
KAV_EXPORT int KAV_CALL Kav_ClosePort(int port);

/* ---- Link settings ------------------------------------------------------
 * The baud rates are 115200, 57600, 38400, 19200 and 9600. */

/* Kav_GetCOMBaud: asks the SAM on a serial port for its status at each rate
 * and stores the rate it answered at in *baud. Works on a port that is not
 * open (the device is opened for the call and closed again) and on an open
 * one (which stays open, at the rate found).
 *
 * Returns KAV_OK; KAV_E_BAD_ARGUMENT (baud is NULL), KAV_E_NOT_SUPPORTED (a
 * USB port), KAV_E_TIMEOUT (no rate got an answer), or an open failure
 * (KAV_E_NO_DEVICE, KAV_E_PERMISSION, KAV_E_BUSY, KAV_E_IO). *baud changes
 * only on success. */
KAV_EXPORT int KAV_CALL Kav_GetCOMBaud(int port, unsigned int *baud);

/* Kav_SetCOMBaud: tells the SAM to switch from currentBaud (the rate it
 * listens at now) to newBaud. The SAM answers at the old rate and then
 * switches, until it loses power. Works on a port that is not open; an open
 * port follows the SAM to the new rate, and stays at the rate it had when
 * the change fails (a wrong currentBaud, a refusal).
 *
 * Returns KAV_OK; KAV_E_BAD_ARGUMENT (either rate not in the list),
 * KAV_E_NOT_SUPPORTED (a USB port), a link failure (KAV_E_TIMEOUT,
 * KAV_E_BAD_FRAME, KAV_E_BAD_REPLY, KAV_E_IO), an open failure, or the
 * SAM's refusing status. */
KAV_EXPORT int KAV_CALL Kav_SetCOMBaud(int port, int currentBaud, int newBaud);

/* Kav_SetMaxRFByte: sets the most bytes the SAM moves in one radio exchange
 * with the card, count from 24 to 255; the SAM keeps it until reset or
 * power loss. The port must be open.
 *
 * Returns KAV_OK; KAV_E_BAD_ARGUMENT (count out of range; nothing sent),
 * KAV_E_NOT_OPEN, a link failure, or the SAM's refusing status. */
enum { KAV_MIN_MAX_RF = 24, KAV_MAX_MAX_RF = 255 };
KAV_EXPORT int KAV_CALL Kav_SetMaxRFByte(int port, int count, int flag);

/* ---- SAM commands ---------------------------------------------------------
 * Each needs an open port and returns KAV_OK; KAV_E_NOT_OPEN; a link
 * failure (KAV_E_TIMEOUT, KAV_E_BAD_FRAME, KAV_E_BAD_REPLY, KAV_E_IO); or
 * the SAM's status when it refused (for example 0x60 = 96: self-test
 * failed). */

/* Kav_GetSAMStatus: asks the SAM whether it works. Changes nothing. */
KAV_EXPORT int KAV_CALL Kav_GetSAMStatus(int port, int flag);

/* Kav_ResetSAM: resets the SAM, which runs its self-test again and goes
 * back to its default radio setting; a card found or selected before must
 * be found and selected again. */
KAV_EXPORT int KAV_CALL Kav_ResetSAM(int port, int flag);

/* Kav_GetSAMID: fills samId with the SAM's KAV_SAM_ID_SIZE-byte identifier
 * exactly as the SAM sends it. Also KAV_E_BAD_ARGUMENT when samId is NULL.
 * samId changes only on success. */
KAV_EXPORT int KAV_CALL Kav_GetSAMID(int port, unsigned char *samId, int flag);

/* ---- Card reading -------------------------------------------------------
 * Find and select must precede every read, on an open port. */

/* Kav_StartFindIDCard: looks for a card in the reader's field. On success
 * findBuffer (may be NULL) receives the KAV_FIND_BUFFER_SIZE bytes the SAM
 * sends. Returns KAV_OK, 0x80 = 128 when there is no card, or a failure as
 * for the SAM commands. */
KAV_EXPORT int KAV_CALL Kav_StartFindIDCard(int port, unsigned char *findBuffer, int flag);

/* Kav_SelectIDCard: selects the card found. On success selectBuffer (may be
 * NULL) receives KAV_SELECT_BUFFER_SIZE bytes. Returns KAV_OK, 0x81 = 129
 * when selecting failed, or a failure as for the SAM commands. */
KAV_EXPORT int KAV_CALL Kav_SelectIDCard(int port, unsigned char *selectBuffer, int flag);

/* Kav_ReadMsg: reads the selected card's text and photo. Fills *record per
 * the field formats (below), control characters replaced, and writes the
 * photo file per the photo settings, then puts its full path (GBK) in
 * record->photoFile. An answer that is not exactly the protocol's read
 * answer (256 text and 1024 photo bytes) is never taken for one.
 *
 * Returns KAV_OK; KAV_E_BAD_ARGUMENT (record is NULL); KAV_E_NOT_OPEN; a
 * link failure; the SAM's status (0x41 = 65: reading failed, for example
 * without find and select); KAV_E_PHOTO_NAME (the card leaves no usable
 * file name, or the path would not fit the record); KAV_E_PHOTO_WRITE (the
 * file could not be written: the folder is gone, full, not writable or
 * replaced by a symbolic link). On a photo failure the record is zeroed and
 * no file is left behind; on other failures the record is untouched.
 *
 * Cards of every type the reader reads come through here, each decoded by
 * its own layout and mapped into the record as "Card types" (below) says.
 * A card whose type letter names no layout this library knows fails with
 * KAV_E_UNKNOWN_LAYOUT: the record is zeroed, no photo is written, and
 * Kav_GetLastCard hands over the letter and the raw text block. */
KAV_EXPORT int KAV_CALL Kav_ReadMsg(int port, int flag, IDCardRecord *record);

/* ---- Field formats ------------------------------------------------------
 * How the following reads fill IDCardRecord. Each setter returns KAV_OK, or
 * KAV_E_BAD_ARGUMENT for a code outside its table and leaves the setting as
 * it was. Defaults before any call: 0 for every code. */

/* Kav_SetSexType: KAV_SEX_CODE the card's code: 0, 1, 2 or 9;
 * KAV_SEX_TEXT 男, 女, 未知 or 未说明 (the field's six bytes hold 未说 of
 * the last). */
enum { KAV_SEX_CODE = 0, KAV_SEX_TEXT = 1 };
KAV_EXPORT int KAV_CALL Kav_SetSexType(int code);

/* Kav_SetNationType: KAV_NATION_CODE the card's two digits, e.g. 01;
 * KAV_NATION_NAME the nation's name, e.g. 汉, 蒙古; KAV_NATION_NAME_ZU the
 * name with 族, e.g. 汉族 (其他 and 外国血统 stay as they are). */
enum { KAV_NATION_CODE = 0, KAV_NATION_NAME = 1, KAV_NATION_NAME_ZU = 2 };
KAV_EXPORT int KAV_CALL Kav_SetNationType(int code);

/* Date formats, for the birth date and both validity dates:
 * KAV_DATE_AS_CARD 20010203, KAV_DATE_DASHES 2001-02-03,
 * KAV_DATE_CHINESE 2001年02月03日, KAV_DATE_DOTS 2001.02.03,
 * KAV_DATE_SLASHES 2001/02/03. A date the card holds malformed is shown as
 * it is. */
enum {
    KAV_DATE_AS_CARD = 0,
    KAV_DATE_DASHES = 1,
    KAV_DATE_CHINESE = 2,
    KAV_DATE_DOTS = 3,
    KAV_DATE_SLASHES = 4
};
/* Kav_SetBornType: the birth date's format. */
KAV_EXPORT int KAV_CALL Kav_SetBornType(int code);
/* Kav_SetUserLifeBType: the validity start's format. */
KAV_EXPORT int KAV_CALL Kav_SetUserLifeBType(int code);
/* Kav_SetUserLifeEType: the validity end's date format, and how a card
 * without end date reads: KAV_NO_END_EMPTY empty, KAV_NO_END_LONG_TERM 长期.
 * Both codes are checked before either is kept. */
enum { KAV_NO_END_EMPTY = 0, KAV_NO_END_LONG_TERM = 1 };
KAV_EXPORT int KAV_CALL Kav_SetUserLifeEType(int code, int noEndDateCode);

/* ---- Photo settings -----------------------------------------------------
 * Where, how and under which name the following reads write the photo.
 * Defaults before any call: the current folder, BMP, tmp. Each setter
 * returns KAV_OK, or KAV_E_BAD_ARGUMENT and leaves the setting as it was.
 *
 * The photo's full path (folder, separator, file name) must fit
 * IDCardRecord::photoFile: at most KAV_PHOTO_PATH_MAX GBK bytes. The
 * longest file name a read writes is KAV_PHOTO_NAME_MAX bytes (name_ID
 * number with the longest name and ID a card holds), so a folder may take
 * at most KAV_PHOTO_FOLDER_MAX bytes. Callers pass the folder in a buffer
 * of at most KAV_PATH_BUFFER_SIZE bytes, NUL included. */
enum {
    KAV_PHOTO_PATH_MAX = 255,
    KAV_PHOTO_NAME_MAX = 71,
    KAV_PHOTO_FOLDER_MAX = KAV_PHOTO_PATH_MAX - 1 - KAV_PHOTO_NAME_MAX,
    KAV_PATH_BUFFER_SIZE = 260
};

/* Kav_SetPhotoPath: the folder. option KAV_PHOTO_IN_ROOT the root of the
 * system drive (/ here), KAV_PHOTO_IN_CURRENT the process's current folder
 * at the time of each read, KAV_PHOTO_IN_FOLDER the folder in path (GBK,
 * NUL-terminated; relative to the current folder at each read when not
 * absolute). path is read only with KAV_PHOTO_IN_FOLDER and may then not
 * be NULL, empty, invalid GBK or longer than KAV_PHOTO_FOLDER_MAX bytes.
 * An absolute folder is resolved now, symbolic links on its way followed
 * once: reads write into that folder (and put its resolved path in
 * photoFile), and fail with KAV_E_PHOTO_WRITE when a symbolic link has
 * taken its place, or an ancestor's, since. A relative folder may not pass
 * through a symbolic link. */
enum { KAV_PHOTO_IN_ROOT = 0, KAV_PHOTO_IN_CURRENT = 1, KAV_PHOTO_IN_FOLDER = 2 };
KAV_EXPORT int KAV_CALL Kav_SetPhotoPath(int option, const char *path);

/* Kav_SetPhotoType: KAV_PHOTO_BMP a 24-bit BMP (.bmp), KAV_PHOTO_JPEG the
 * card's JPEG bytes (.jpg), KAV_PHOTO_BASE64 the Base64 text of those bytes
 * on one line (.txt). A photo this library cannot decode (a real card's own
 * compressed format) is kept byte for byte as .wlt whatever the type. */
enum { KAV_PHOTO_BMP = 0, KAV_PHOTO_JPEG = 1, KAV_PHOTO_BASE64 = 2 };
KAV_EXPORT int KAV_CALL Kav_SetPhotoType(int type);

/* Kav_SetPhotoName: KAV_PHOTO_NAME_TMP tmp, KAV_PHOTO_NAME_HOLDER the
 * holder's name, KAV_PHOTO_NAME_ID the ID number, KAV_PHOTO_NAME_BOTH
 * name_ID number. Names from the card are cleaned: separators, control
 * characters and leading dots go; characters GBK cannot hold become _. */
enum {
    KAV_PHOTO_NAME_TMP = 0,
    KAV_PHOTO_NAME_HOLDER = 1,
    KAV_PHOTO_NAME_ID = 2,
    KAV_PHOTO_NAME_BOTH = 3
};
KAV_EXPORT int KAV_CALL Kav_SetPhotoName(int scheme);

/* ---- Port map -------------------------------------------------------------
 * Optional, for tools that list ports: a host that looks it up at run time
 * works with libraries that lack it. */

/* Kav_GetMappedPort: the index-th (from 0) port of the port map, in
 * ascending order, whether its device exists or not, with the device as
 * text: a path such as "/dev/ttyUSB0", "virtual" or "virtual:<card file>".
 * Returns KAV_OK; KAV_E_NO_DEVICE past the last port; KAV_E_BAD_ARGUMENT
 * for a NULL pointer, a negative index or a device buffer too small for the
 * text and its NUL (*port and device then unchanged). */
KAV_EXPORT int KAV_CALL Kav_GetMappedPort(int index, int *port, char *device, int deviceSize);

/* ---- Configuration warnings -----------------------------------------------
 * Optional, for hosts that show the user what is wrong with the library's
 * configuration: a host that looks it up at run time works with libraries
 * that lack it. */

/* Kav_GetWarning: the index-th (from 0) warning about the library's
 * configuration: first each entry of KAVIDCARD_DEVICES that was ignored
 * (*port 0), then each virtual port whose card file is missing or bad (*port
 * the port; its reader holds no card) and each network port where the
 * library has none (the Windows build: *port the port). text receives UTF-8 without control
 * characters, at most KAV_WARNING_TEXT_SIZE bytes with its NUL, e.g.
 * `KAVIDCARD_DEVICES: ignored "garbage": expected <port>=<device>, ...` or
 * `card file /no/such.json: No such file or directory`. The list is the
 * same until the process ends.
 * Returns KAV_OK; KAV_E_NO_DEVICE past the last warning; KAV_E_BAD_ARGUMENT
 * for a NULL pointer, a negative index or a text buffer too small (*port
 * and text then unchanged). */
enum { KAV_WARNING_TEXT_SIZE = 1024 };
KAV_EXPORT int KAV_CALL Kav_GetWarning(int index, int *port, char *text, int textSize);

/* Kav_GetLastFailure: why the port's last call that reached for its device
 * failed, in the words its result code has no room for: the system's message
 * (`/dev/ttyUSB9: no such device (No such file or directory)`, a server's
 * `Connection refused`), for a device that may not be opened its group and
 * whether this user is in it, another port of this program that holds the
 * device, a virtual port's card file that could not be used, the letter of
 * an unknown card layout, a photo that could not be written. Where the
 * library knows nothing beyond the code, the code's Kav_ResultText. Optional,
 * looked up at run time like Kav_GetWarning, and worded like its texts:
 * UTF-8 without control characters, at most KAV_WARNING_TEXT_SIZE bytes with
 * its NUL. The calls that reach for the device are every call on a port but
 * Kav_ClosePort, Kav_GetLastCard, Kav_GetRetryCount and this one, which leave
 * the text as it was; a search (Kav_FindReader) notes an open port whose
 * device it cannot open again.
 * Returns KAV_OK with the text, an empty text when the port's last such call
 * succeeded or none was made; KAV_E_BAD_ARGUMENT for a NULL text or a text
 * buffer too small (text then unchanged). */
KAV_EXPORT int KAV_CALL Kav_GetLastFailure(int port, char *text, int textSize);

/* Kav_GetRetryCount: how many commands were sent a second time on the port
 * since the library was loaded, because their first answer came broken
 * (see Time limits, above): a line that starts to degrade shows here before
 * it fails. Optional, looked up at run time like Kav_GetMappedPort. Works
 * on any port, open or not. Returns KAV_OK, or KAV_E_BAD_ARGUMENT for a
 * NULL count. */
KAV_EXPORT int KAV_CALL Kav_GetRetryCount(int port, unsigned int *count);

/* Kav_GetVersion: the KAV_VERSION_* of the header the loaded library was
 * built with. A host works with the library it loaded when the majors are
 * equal and the library's minor is at least the one the host was built
 * with; a host that finds no Kav_GetVersion (optional, looked up at run
 * time) has a library from before it, version 1.0. Takes no turn and works
 * inside the trace callback. Returns KAV_OK, or KAV_E_BAD_ARGUMENT for a
 * NULL pointer (nothing then written). */
KAV_EXPORT int KAV_CALL Kav_GetVersion(int *major, int *minor, int *patch);

/* ---- Trace ----------------------------------------------------------------
 * Every frame and operation can reach the host as it happens, whether or
 * not the trace file (KAVIDCARD_TRACE) is on. Optional: a host that looks
 * this function up at run time works with libraries that lack it. */

enum KavTraceKind {
    KAV_TRACE_TO_READER = 0, /* a frame the library sent: bytes and meaning */
    KAV_TRACE_FROM_READER =
        1,                   /* bytes from the reader: a frame, or a bad or stray one (text says) */
    KAV_TRACE_NOISE = 2,     /* bytes skipped as noise: byteCount says how many, bytes is NULL */
    KAV_TRACE_OPERATION = 3, /* a Kav_* call with its arguments and result */
    KAV_TRACE_NOTE = 4       /* anything else: a device opened or refused, a photo written */
};

typedef struct KavTraceEvent {
    int kind;                   /* a KavTraceKind */
    long long timeMs;           /* wall-clock time, milliseconds since 1970 UTC */
    const char *link;           /* the device, e.g. "/dev/ttyUSB0", "virtual@1"; "" if none */
    const unsigned char *bytes; /* the frame's bytes, or NULL */
    size_t byteCount;           /* how many bytes (for noise: how many were skipped) */
    const char *text;           /* UTF-8, no control characters: meaning, call and result, note
                                   (bytes that are not UTF-8 are shown as \xNN) */
    int result;                 /* for an operation: its result code (a port for Kav_FindReader) */
} KavTraceEvent;

/* Called on the thread doing the work (discovery's probes run on threads of
 * their own), never two calls at once. The event and its strings are valid
 * during the call only. The callback must return quickly; it may remove or
 * replace itself with Kav_SetTraceCallback and call Kav_ResultText, while
 * any other call returns KAV_E_IN_CALLBACK at once (see Threads). */
typedef void(KAV_CALL *KavTraceCallback)(const KavTraceEvent *event, void *context);

/* Kav_SetTraceCallback: sets the callback and the context it gets; NULL
 * turns it off. Once it returns, the previous callback is never called
 * again (called from inside the callback: once the callback returns).
 * Returns KAV_OK. */
KAV_EXPORT int KAV_CALL Kav_SetTraceCallback(KavTraceCallback callback, void *context);

/* ---- SAM status bytes ------------------------------------------------------
 * The status byte (SW3) of the SAM's answers, as positive result codes
 * carry them. */
enum KavSamStatus {
    KAV_SW_OK = 0x90,             /* success */
    KAV_SW_FIND_OK = 0x9F,        /* find card: a card is in the field */
    KAV_SW_NO_CONTENT = 0x91,     /* the card holds no such content (appended address) */
    KAV_SW_CHECKSUM_ERROR = 0x10, /* the host's frame failed its checksum */
    KAV_SW_LENGTH_ERROR = 0x11,   /* the host's frame had a wrong length */
    KAV_SW_COMMAND_ERROR = 0x21,  /* bad value or logic in the command */
    KAV_SW_NOT_PERMITTED = 0x23,  /* operation not permitted */
    KAV_SW_UNRECOGNISED_ERROR = 0x24,
    KAV_SW_CARD_AUTH_FAILED = 0x31,  /* the card failed to authenticate the SAM */
    KAV_SW_SAM_AUTH_FAILED = 0x32,   /* the SAM failed to authenticate the card */
    KAV_SW_VERIFY_ERROR = 0x33,      /* information verification error */
    KAV_SW_UNKNOWN_CARD_TYPE = 0x40, /* a card the SAM does not recognise */
    KAV_SW_READ_FAILED = 0x41,       /* reading the card failed (or no find and select first) */
    KAV_SW_RANDOM_FAILED = 0x47,     /* getting a random number failed */
    KAV_SW_SELF_TEST_FAILED = 0x60,  /* the SAM failed its self-test and takes no commands */
    KAV_SW_NOT_AUTHORISED = 0x66,    /* the SAM is not authorised */
    KAV_SW_NO_CARD = 0x80,           /* find card: no card in the field */
    KAV_SW_SELECT_FAILED = 0x81      /* select card failed */
};

/* ---- Card types ------------------------------------------------------------
 * The character at offset 248 of the card's text block names its type:
 * a space the resident identity card, I the foreigner's permanent residence
 * identity card (2017 layout), J the residence permit for Hong Kong, Macao
 * and Taiwan residents. Each is decoded by its own layout. Any other
 * character (Y, the 2023 foreigner's card, among them) is a layout this
 * library does not know: it is never decoded as something it is not.
 *
 * What Kav_ReadMsg puts in IDCardRecord, field by field (formatted and cut
 * to the record as for the resident card):
 *
 *   record field  resident card       I card                        J card
 *   name          name                Chinese name; the English     name
 *                                     name where it is blank, cut
 *                                     on a character boundary
 *   sex           sex                 sex                           sex
 *   nation        nation              nationality code (e.g. CAN)   empty
 *   born          birth date          birth date                    birth date
 *   address       address             empty                         address
 *   idNumber      ID number           card number (15 characters)   ID number
 *   issuer        issuing authority   issuing authority's code      issuing authority
 *   validFrom     validity start      validity start                validity start
 *   validUntil    validity end        validity end                  validity end
 *   photoFile     the photo's path, named (KAV_PHOTO_NAME_*) after the
 *                 record's name and idNumber as mapped here
 *
 * The I card's version and the J card's pass number and issuance count have
 * no place in the record: Kav_ReadCard and Kav_GetLastCard hand them over. */
enum KavCardType {
    KAV_CARD_NONE = 0,              /* nothing read (Kav_GetLastCard) */
    KAV_CARD_RESIDENT = 1,          /* resident identity card: type letter space */
    KAV_CARD_FOREIGN_PERMANENT = 2, /* foreigner's permanent residence card: I */
    KAV_CARD_HMT_RESIDENCE = 3,     /* Hong Kong, Macao and Taiwan residence permit: J */
    KAV_CARD_UNKNOWN_LAYOUT = 4     /* any other letter: not decoded */
};

/* ---- The extended read -----------------------------------------------------
 * Optional, for hosts that know more than IDCardRecord holds: a host that
 * looks these functions up at run time works with libraries that lack
 * them. Texts here are UTF-8, NUL-terminated. */

enum {
    KAV_TEXT_BLOCK_SIZE = 256,
    KAV_PHOTO_DATA_SIZE = 1024,
    KAV_FINGERPRINT_MAX_SIZE = 1024, /* two 512-byte templates */
    KAV_ADDRESS_TEXT_SIZE = 112      /* an address (35 characters) in UTF-8, NUL included */
};

/* Every field of every layout: a field the card's layout lacks is empty.
 * Fields are formatted per the field formats (Kav_Set...Type) as in
 * IDCardRecord, but never cut. The structure grows at its end only: the
 * caller sets size to sizeof(KavCardData) (of the header it was built
 * with); the library fills that many bytes at most and sets size to how
 * many it filled. */
typedef struct KavCardData {
    unsigned int size;     /* in: sizeof(KavCardData); out: bytes filled */
    int type;              /* a KavCardType */
    char typeLetter[4];    /* the letter at offset 248 in UTF-8 (" ", "I", "J", "Y"); empty
                              when it is no printable character */
    unsigned int typeCode; /* the UCS-2 code unit at offset 248, as the card holds it */
    char name[48];         /* resident, J */
    char englishName[184]; /* I */
    char chineseName[48];  /* I, may be empty */
    char sex[16];          /* all */
    char nation[24];       /* resident */
    char nationality[16];  /* I: three letters */
    char born[32];         /* all */
    char address[KAV_ADDRESS_TEXT_SIZE]; /* resident, J */
    char idNumber[56];                   /* resident, J */
    char cardNumber[48];                 /* I */
    char passNumber[32];                 /* J */
    char issuanceCount[8];               /* J */
    char issuer[48];                     /* resident, J */
    char issuerCode[16];                 /* I */
    char validFrom[32];                  /* all */
    char validUntil[32];                 /* all */
    char cardVersion[8];                 /* I */
    char photoFile[512];                 /* the photo file the read wrote; empty when none was */
    unsigned char textBlock[KAV_TEXT_BLOCK_SIZE]; /* the raw text block, as the card holds it */
    unsigned char photo[KAV_PHOTO_DATA_SIZE];     /* the photo's bytes, as the card holds them */
    int fingerprintRead;                          /* 1 when this read asked for fingerprint data */
    int fingerprintSize; /* its bytes: 0 when the card holds none, 512 or 1024 */
    unsigned char fingerprint[KAV_FINGERPRINT_MAX_SIZE];
} KavCardData;

/* Flags of Kav_ReadCard. */
enum { KAV_READ_FINGERPRINT = 1 };

/* Kav_ReadCard: reads the selected card as Kav_ReadMsg does (field formats,
 * photo settings, photo file written), into *data. With
 * KAV_READ_FINGERPRINT it reads text, photo and fingerprint data in one
 * command (0x30 0x10) and fills fingerprintRead, fingerprintSize and
 * fingerprint; without it, those stay 0 and the command is the plain read.
 *
 * Fingerprint data is biometric. It is read only when asked for here or
 * by Kav_ReadFingerprint; the trace (file and callback) shows the size of
 * the answer that carries it and that its bytes were withheld, never the
 * bytes; it is never written to a file, kept for Kav_GetLastCard, or put
 * in a log. Hosts should treat it likewise.
 *
 * Returns as Kav_ReadMsg, and KAV_E_BAD_ARGUMENT for a NULL data, a size
 * smaller than this header's KavCardData, or flags other than 0 and
 * KAV_READ_FINGERPRINT. On KAV_E_UNKNOWN_LAYOUT, *data holds the type,
 * letter and code, the raw text block and the photo bytes, and no field
 * and no photo file. On other failures *data is zeroed but for size. */
KAV_EXPORT int KAV_CALL Kav_ReadCard(int port, int flags, KavCardData *data);

/* Kav_GetLastCard: what the port's last read (Kav_ReadMsg or Kav_ReadCard)
 * took from the card, as Kav_ReadCard hands it over but without any
 * fingerprint data. Sends nothing to the reader: a host that calls
 * Kav_ReadMsg reaches the fields that IDCardRecord has no place for, or
 * the letter of a card that failed with KAV_E_UNKNOWN_LAYOUT. type is
 * KAV_CARD_NONE when the port's last read took nothing from a card (it
 * failed before an answer came) or none was made since the port was
 * opened; closing the port forgets it.
 * Returns KAV_OK, or KAV_E_BAD_ARGUMENT (data NULL or size too small). */
KAV_EXPORT int KAV_CALL Kav_GetLastCard(int port, KavCardData *data);

/* Kav_ReadFingerprint: reads the selected card's fingerprint data (command
 * 0x30 0x10: text, photo and fingerprint; only the fingerprint is kept, no
 * photo written) into buffer, which holds bufferSize bytes, at least
 * KAV_FINGERPRINT_MAX_SIZE; *size receives its length, 0 when the card
 * holds none (which is a success). Find and select must precede it.
 * Returns KAV_OK; KAV_E_BAD_ARGUMENT (NULL pointers, buffer too small);
 * KAV_E_NOT_OPEN; a link failure; or the SAM's status. */
KAV_EXPORT int KAV_CALL Kav_ReadFingerprint(int port, unsigned char *buffer, int bufferSize,
                                            int *size);

/* Kav_ReadAppendedAddress: reads the newest address appended to the
 * selected card (command 0x30 0x03; a card keeps up to four) into address
 * (UTF-8, control characters replaced, at most addressSize bytes with its
 * NUL; KAV_ADDRESS_TEXT_SIZE always suffices). *present receives 1, or 0
 * when the card holds no appended address (the SAM answers
 * KAV_SW_NO_CONTENT): that is a result, not a failure, and address is "".
 * Find and select must precede it.
 * Returns KAV_OK; KAV_E_BAD_ARGUMENT (NULL pointers, addressSize too small
 * for the text); KAV_E_NOT_OPEN; a link failure; or the SAM's status. */
KAV_EXPORT int KAV_CALL Kav_ReadAppendedAddress(int port, char *address, int addressSize,
                                                int *present);

/* Kav_SendFrame: one frame sent by hand on an open port, for trying a
 * command. With flags 0, frame holds CMD, PARA and any data (frameSize at
 * least 2): the preamble, length and checksum are added. With
 * KAV_SEND_RAW, frame is sent byte for byte as given (frameSize at least
 * 1). The first well-formed answer frame that comes within the command's
 * time, whole (preamble to checksum), goes into answer, which holds
 * answerSize bytes (KAV_SEND_ANSWER_MAX_SIZE always suffices); *answerSize
 * receives its length. Stale input is dropped first; it is never sent again.
 * Returns KAV_OK when a frame came, whatever the SAM's status in it;
 * KAV_E_TIMEOUT (nothing), KAV_E_BAD_FRAME (only broken frames),
 * KAV_E_BAD_ARGUMENT (NULL pointers, sizes), KAV_E_NOT_OPEN or KAV_E_IO. */
enum { KAV_SEND_RAW = 1, KAV_SEND_ANSWER_MAX_SIZE = 4103 };
KAV_EXPORT int KAV_CALL Kav_SendFrame(int port, const unsigned char *frame, int frameSize,
                                      int flags, unsigned char *answer, int answerSize,
                                      int *answerLength);

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
static_assert(offsetof(IDCardRecord, validUntil) == 236 && sizeof(IDCardRecord::validUntil) == 56);
static_assert(offsetof(IDCardRecord, photoFile) == 292 && sizeof(IDCardRecord::photoFile) == 256);
static_assert(sizeof(KavSamId) == KAV_SAM_ID_SIZE, "the SAM ID block is 16 bytes");
static_assert(offsetof(KavCardData, size) == 0, "KavCardData begins with its size");
static_assert(offsetof(KavCardData, textBlock) == 1288 && offsetof(KavCardData, photo) == 1544 &&
                  offsetof(KavCardData, fingerprint) == 2576 && sizeof(KavCardData) == 3600,
              "KavCardData's first version: its layout is part of the interface");
#else
_Static_assert(sizeof(IDCardRecord) == 548, "IDCardRecord is 548 bytes");
_Static_assert(offsetof(IDCardRecord, photoFile) == 292, "photo field offset");
_Static_assert(sizeof(KavSamId) == KAV_SAM_ID_SIZE, "the SAM ID block is 16 bytes");
#endif

#endif /* KAV_IDCARD_API_H */
