// Network ports on Windows: refused with KAV_E_NOT_SUPPORTED, and said so
// among the configuration warnings, never taken for a server that is down.
#include "KavIDCardAPI.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

TEST(NetworkPortsWin32, RefusedAndWarnedAbout) {
    ASSERT_EQ(::_putenv_s("KAVIDCARD_DEVICES",
                          "defaults=off,2=tcp://127.0.0.1:4001,3=rfc2217://[::1]:3001,4=virtual"),
              0);
    for (int port : {2, 3}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(Kav_OpenPort(port), KAV_E_NOT_SUPPORTED);
        Kav_ClosePort(port);
    }
    EXPECT_EQ(Kav_OpenPort(4), KAV_OK); // the rest of the map still works
    Kav_ClosePort(4);

    std::vector<std::pair<int, std::string>> warnings;
    for (int index = 0;; ++index) {
        int port = 0;
        char text[KAV_WARNING_TEXT_SIZE] = {};
        if (Kav_GetWarning(index, &port, text, sizeof text) != KAV_OK)
            break;
        warnings.emplace_back(port, text);
    }
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].first, 2);
    EXPECT_NE(warnings[0].second.find("tcp://127.0.0.1:4001"), std::string::npos);
    EXPECT_NE(warnings[0].second.find("not supported"), std::string::npos);
    EXPECT_EQ(warnings[1].first, 3);
}
