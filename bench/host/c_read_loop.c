/* The dialog's read sequence, from a plain C host, N times in a row on
 * port 1: field formats, open, 80 bytes per radio exchange, find, select,
 * read, close. Prints the mean milliseconds of one sequence. With
 * "fingerprint" the read is Kav_ReadCard with its fingerprint data.
 *   c_read_loop N PHOTO_FOLDER [fingerprint] */
#define _POSIX_C_SOURCE 200809L
#include "KavIDCardAPI.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double nowMs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char **argv) {
    const int port = 1;
    IDCardRecord record;
    unsigned char find[KAV_FIND_BUFFER_SIZE];
    unsigned char select[KAV_SELECT_BUFFER_SIZE];
    static KavCardData card;
    double start = 0;
    int runs, i, fingerprint;
    if (argc < 3 || argc > 4 || (runs = atoi(argv[1])) <= 0 ||
        (argc == 4 && strcmp(argv[3], "fingerprint") != 0)) {
        fprintf(stderr, "usage: %s N PHOTO_FOLDER [fingerprint]\n", argv[0]);
        return 2;
    }
    fingerprint = argc == 4;
    if (Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, argv[2]) != KAV_OK)
        return 1;
    /* Once untimed: the port's rate is learnt on the first open. */
    for (i = -1; i < runs; ++i) {
        int result;
        if (i == 0)
            start = nowMs();
        Kav_SetSexType(KAV_SEX_TEXT);
        Kav_SetNationType(KAV_NATION_NAME);
        Kav_SetBornType(KAV_DATE_CHINESE);
        Kav_SetUserLifeBType(KAV_DATE_DOTS);
        Kav_SetUserLifeEType(KAV_DATE_SLASHES, KAV_NO_END_LONG_TERM);
        result = Kav_OpenPort(port);
        if (result == KAV_OK && (result = Kav_SetMaxRFByte(port, 80, 0)) == KAV_OK) {
            Kav_StartFindIDCard(port, find, 0);
            Kav_SelectIDCard(port, select, 0);
            if (fingerprint) {
                card.size = sizeof card;
                result = Kav_ReadCard(port, KAV_READ_FINGERPRINT, &card);
                if (result == KAV_OK && card.fingerprintSize <= 0)
                    result = KAV_E_BAD_REPLY; /* the bench needs a card with the data */
            } else {
                result = Kav_ReadMsg(port, 0, &record);
            }
        }
        Kav_ClosePort(port);
        if (result != KAV_OK) {
            fprintf(stderr, "read %d failed: %d (%s)\n", i, result, Kav_ResultText(result));
            return 1;
        }
    }
    printf("%.3f\n", (nowMs() - start) / runs);
    return 0;
}
