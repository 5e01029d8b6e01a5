/* A C host of KavIDCardAPI.dll as integrators write them, built two ways:
 * linked through the import library, and (KAV_HOST_BY_NAME) loading the
 * DLL and finding every function by its plain name with GetProcAddress.
 * Runs a read on the in-process virtual reader (KAVIDCARD_DEVICES maps
 * port 1) through the functions it found; on x86 each call must leave the
 * stack as it found it, which a caller and a DLL that disagree on the
 * calling convention do not. Prints each failed step; exits 0 when all
 * passed. */
#include "KavIDCardAPI.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "host_names.h" /* KAV_HOST_NAMES: the .def's names, one string each */

typedef struct {
    const char *(KAV_CALL *resultText)(int);
    int(KAV_CALL *getVersion)(int *, int *, int *);
    int(KAV_CALL *openPort)(int);
    int(KAV_CALL *closePort)(int);
    int(KAV_CALL *getSAMID)(int, unsigned char *, int);
    int(KAV_CALL *startFind)(int, unsigned char *, int);
    int(KAV_CALL *select)(int, unsigned char *, int);
    int(KAV_CALL *readCard)(int, int, KavCardData *);
    int(KAV_CALL *setSexType)(int);
} Functions;

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++failures;
    }
}

static void *stackPointer(void) {
#if defined(__i386__)
    void *sp;
    __asm__ volatile("movl %%esp, %0" : "=r"(sp));
    return sp;
#else
    return NULL;
#endif
}

/* Functions through a pointer the compiler cannot see through, so that a
 * mismatched convention shows in the stack pointer and is not optimised
 * around. */
#define CALL(result, call, what)                                                                   \
    do {                                                                                           \
        void *before = stackPointer();                                                             \
        result = call;                                                                             \
        check(stackPointer() == before, what " left the stack moved");                             \
    } while (0)

#if defined(KAV_HOST_BY_NAME)
static int find(Functions *f) {
    static const char *const names[] = {KAV_HOST_NAMES};
    HMODULE dll = LoadLibraryW(L"KavIDCardAPI.dll");
    size_t i;
    if (!dll) {
        printf("FAILED: KavIDCardAPI.dll did not load (%lu)\n", (unsigned long)GetLastError());
        return 0;
    }
    for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (!GetProcAddress(dll, names[i])) {
            printf("FAILED: GetProcAddress(\"%s\") found nothing\n", names[i]);
            ++failures;
        }
    }
#define FIND(field, name)                                                                          \
    do {                                                                                           \
        FARPROC found = GetProcAddress(dll, name);                                                 \
        memcpy(&f->field, &found, sizeof found);                                                   \
    } while (0)
    FIND(resultText, "Kav_ResultText");
    FIND(getVersion, "Kav_GetVersion");
    FIND(openPort, "Kav_OpenPort");
    FIND(closePort, "Kav_ClosePort");
    FIND(getSAMID, "Kav_GetSAMID");
    FIND(startFind, "Kav_StartFindIDCard");
    FIND(select, "Kav_SelectIDCard");
    FIND(readCard, "Kav_ReadCard");
    FIND(setSexType, "Kav_SetSexType");
    return failures == 0;
}
#else
static int find(Functions *f) {
    f->resultText = Kav_ResultText;
    f->getVersion = Kav_GetVersion;
    f->openPort = Kav_OpenPort;
    f->closePort = Kav_ClosePort;
    f->getSAMID = Kav_GetSAMID;
    f->startFind = Kav_StartFindIDCard;
    f->select = Kav_SelectIDCard;
    f->readCard = Kav_ReadCard;
    f->setSexType = Kav_SetSexType;
    return 1;
}
#endif

int main(void) {
    static volatile Functions fs;
    Functions f;
    static KavCardData card;
    unsigned char sam[KAV_SAM_ID_SIZE] = {0}, found[KAV_FIND_BUFFER_SIZE],
                  selected[KAV_SELECT_BUFFER_SIZE];
    const char *text;
    int major = -1, minor = -1, patch = -1, result, i;
    size_t b;
    int samSet = 0;

    if (!find(&f))
        return 1;
    fs = f; /* through memory: the calls below are indirect */
    f = fs;

    CALL(result, f.getVersion(&major, &minor, &patch), "Kav_GetVersion");
    check(result == KAV_OK && major == KAV_VERSION_MAJOR && minor >= 0 && patch >= 0,
          "Kav_GetVersion gives the header's major version");
    CALL(text, f.resultText(KAV_OK), "Kav_ResultText");
    check(text && *text, "Kav_ResultText(KAV_OK) has a text");
    /* Many calls in a row: a convention mismatch that the check above missed
     * would run the stack away here. */
    for (i = 0; i < 100000 && !failures; ++i)
        CALL(result, f.setSexType(i % 2), "Kav_SetSexType");
    check(result == KAV_OK, "Kav_SetSexType");

    CALL(result, f.openPort(1), "Kav_OpenPort");
    check(result == KAV_OK, "Kav_OpenPort(1) on the virtual reader");
    CALL(result, f.getSAMID(1, sam, 0), "Kav_GetSAMID");
    for (b = 0; b < sizeof sam; ++b)
        samSet |= sam[b] != 0;
    check(result == KAV_OK && samSet, "Kav_GetSAMID fills the identifier");
    CALL(result, f.startFind(1, found, 0), "Kav_StartFindIDCard");
    check(result == KAV_OK, "Kav_StartFindIDCard");
    CALL(result, f.select(1, selected, 0), "Kav_SelectIDCard");
    check(result == KAV_OK, "Kav_SelectIDCard");
    card.size = sizeof card;
    CALL(result, f.readCard(1, 0, &card), "Kav_ReadCard");
    check(result == KAV_OK && card.idNumber[0] != '\0' && card.photoFile[0] != '\0',
          "Kav_ReadCard reads the card and writes its photo");
    CALL(result, f.closePort(1), "Kav_ClosePort");
    check(result == KAV_OK, "Kav_ClosePort");

    printf("%s: %d failed\n", failures ? "FAILED" : "passed", failures);
    return failures != 0;
}
