// A failed invariant in a fuzz target must end the run the way a sanitizer
// report does, so libFuzzer keeps the input; the message says which one.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace velkart::fuzz {

[[noreturn]] inline void fail(const char *what, const char *file, int line) {
    std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", what, file, line);
    std::abort();
}

} // namespace velkart::fuzz

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::velkart::fuzz::fail(#cond, __FILE__, __LINE__);                                      \
    } while (0)
