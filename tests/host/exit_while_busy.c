/* A host that returns from main() while its other threads are inside the
 * library: reads on in-process virtual readers, settings changes, searches
 * and a trace callback, all at once. Exit must not crash whatever the
 * threads are doing. Usage:
 *   kav_exit_host PHOTO_FOLDER
 * Exit 0, or the signal that killed it. */
#include "KavIDCardAPI.h"

#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

/* Each thread counts its calls: main() returns once every thread is busy. */
enum { kReaders = 4, kSetters = 2, kFinders = 1, kThreads = kReaders + kSetters + kFinders };
static atomic_int calls[kThreads];
static atomic_long events;

static void KAV_CALL onTrace(const KavTraceEvent *event, void *context) {
    (void)context;
    if (event->text != NULL)
        atomic_fetch_add(&events, 1);
}

static void *reader(void *arg) {
    const int index = (int)(size_t)arg;
    const int port = 1 + index % 2;
    IDCardRecord record;
    unsigned char find[KAV_FIND_BUFFER_SIZE];
    unsigned char select[KAV_SELECT_BUFFER_SIZE];
    for (;;) {
        Kav_OpenPort(port);
        Kav_StartFindIDCard(port, find, 0);
        Kav_SelectIDCard(port, select, 0);
        Kav_ReadMsg(port, 0, &record);
        Kav_ClosePort(port);
        atomic_fetch_add(&calls[index], 1);
    }
    return NULL;
}

static void *setter(void *arg) {
    const int index = (int)(size_t)arg;
    char device[64];
    int port = 0;
    for (int i = 0;; ++i) {
        Kav_SetSexType(i % 2);
        Kav_SetBornType(i % 5);
        Kav_SetPhotoName(i % 2 == 0 ? KAV_PHOTO_NAME_TMP : KAV_PHOTO_NAME_ID);
        Kav_GetMappedPort(i % 3, &port, device, (int)sizeof device);
        Kav_SetTraceCallback(i % 2 == 0 ? onTrace : NULL, NULL);
        (void)Kav_ResultText(-(i % 14));
        atomic_fetch_add(&calls[index], 1);
    }
    return NULL;
}

static void *finder(void *arg) {
    const int index = (int)(size_t)arg;
    for (;;) {
        Kav_FindReader();
        atomic_fetch_add(&calls[index], 1);
    }
    return NULL;
}

int main(int argc, char **argv) {
    pthread_t thread;
    int result;
    if (argc != 2 || strlen(argv[1]) > (size_t)KAV_PHOTO_FOLDER_MAX) {
        fprintf(stderr, "usage: %s PHOTO_FOLDER\n", argv[0]);
        return 2;
    }
    if ((result = Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, argv[1])) != KAV_OK) {
        fprintf(stderr, "Kav_SetPhotoPath: %d (%s)\n", result, Kav_ResultText(result));
        return 1;
    }
    Kav_SetTraceCallback(onTrace, NULL);
    for (int i = 0; i < kThreads; ++i) {
        void *(*body)(void *) = i < kReaders ? reader : i < kReaders + kSetters ? setter : finder;
        if (pthread_create(&thread, NULL, body, (void *)(size_t)i) != 0) {
            fprintf(stderr, "cannot start thread %d\n", i);
            return 1;
        }
        pthread_detach(thread);
    }
    /* Every thread has made calls, so exit finds them at work. */
    for (int i = 0; i < kThreads; ++i)
        while (atomic_load(&calls[i]) == 0)
            sched_yield();
    return 0;
}
