/* Loads one shared library with dlopen and prints how long it took and how
 * much resident memory it added, in one line: "<microseconds> <KiB>".
 *   load_probe [--cxx] LIBRARY
 * --cxx first loads the C++ runtime, as a host written in C++ has it. */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static long residentKiB(void) {
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f == NULL)
        return -1;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
        resident = -1;
    fclose(f);
    return resident * 4;
}

static double nowUs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

int main(int argc, char **argv) {
    const char *library = argv[argc - 1];
    long before, after;
    double start, took;
    void *handle;
    if (argc == 3 && strcmp(argv[1], "--cxx") == 0 &&
        dlopen("libstdc++.so.6", RTLD_NOW | RTLD_GLOBAL) == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    before = residentKiB();
    start = nowUs();
    handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    took = nowUs() - start;
    after = residentKiB();
    if (handle == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    printf("%.1f %ld\n", took, after - before);
    return 0;
}
