// Tests that need a real part of the machine (a program, a font): without
// it they skip on a developer's machine, but fail where the variable CI is
// set, since CI installs every part and a missing one is a broken set-up.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#define KAV_REQUIRE_PART(present, why)                                                             \
    do {                                                                                           \
        if (!(present)) {                                                                          \
            if (std::getenv("CI") != nullptr)                                                      \
                FAIL() << why;                                                                     \
            GTEST_SKIP() << why;                                                                   \
        }                                                                                          \
    } while (false)
