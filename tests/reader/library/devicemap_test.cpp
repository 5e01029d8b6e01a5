// Which device a port names: the default rule and the library's variable.
#include "devicemap.h"

#include <gtest/gtest.h>

#include <set>

using kav::Device;
using kav::DeviceMap;

namespace {
Device path(const char *p) { return {Device::Kind::Path, p, {}}; }
Device virtualReader(const char *card = "") { return {Device::Kind::Virtual, {}, card}; }
} // namespace

TEST(DeviceMap, DefaultRule) {
    const DeviceMap map = DeviceMap::fromVariable("");
    struct Case {
        int port;
        std::optional<Device> device;
    };
    const Case cases[] = {
        {0, std::nullopt},          {1, path("/dev/ttyUSB0")},   {100, path("/dev/ttyUSB99")},
        {101, path("/dev/ttyACM0")}, {200, path("/dev/ttyACM99")}, {201, path("/dev/ttyS0")},
        {300, path("/dev/ttyS99")}, {301, std::nullopt},         {1000, std::nullopt},
        {1001, std::nullopt},       {-1, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(map.deviceFor(c.port), c.device);
    }
    EXPECT_TRUE(map.errors().empty());
}

TEST(DeviceMap, VariableAddsOverridesAndRemoves) {
    const DeviceMap map = DeviceMap::fromVariable(
        " 1=virtual , 5=/dev/pts/7;1001=virtual:/cards/a b.json;3=none;;7 = /dev/ttyS4 ");
    EXPECT_EQ(map.deviceFor(1), virtualReader());
    EXPECT_EQ(map.deviceFor(5), path("/dev/pts/7"));
    EXPECT_EQ(map.deviceFor(1001), virtualReader("/cards/a b.json"));
    EXPECT_EQ(map.deviceFor(3), std::nullopt);
    EXPECT_EQ(map.deviceFor(7), path("/dev/ttyS4"));
    EXPECT_EQ(map.deviceFor(2), path("/dev/ttyUSB1")); // untouched by the variable
    EXPECT_TRUE(map.errors().empty());
}

TEST(DeviceMap, BadEntriesAreSkippedAndSaid) {
    const char *bad[] = {"x=virtual", "=virtual", "0=virtual", "-1=virtual", "1=", "1virtual",
                         "99999999999=virtual", "1.5=virtual", "2=virtual=x"};
    for (const char *entry : bad) {
        SCOPED_TRACE(entry);
        const DeviceMap map = DeviceMap::fromVariable(std::string(entry) + ",9=virtual");
        // The good entry after a bad one still counts.
        EXPECT_EQ(map.deviceFor(9), virtualReader());
        if (std::string(entry) == "2=virtual=x") {
            // A device path may hold '=': only the first one separates.
            EXPECT_EQ(map.deviceFor(2), path("virtual=x"));
            EXPECT_TRUE(map.errors().empty());
        } else {
            EXPECT_EQ(map.errors().size(), 1u);
        }
    }
}

TEST(DeviceMap, CandidatesAreExistingDefaultsAndEveryMappedPort) {
    const std::set<std::string> present = {"/dev/ttyUSB0", "/dev/ttyACM3", "/dev/ttyS0"};
    const auto exists = [&](const std::string &p) { return present.count(p) != 0; };
    EXPECT_EQ(DeviceMap::fromVariable("").candidatePorts(exists), (std::vector<int>{1, 104, 201}));
    EXPECT_EQ(DeviceMap::fromVariable("201=none,1001=virtual,50=/dev/pts/3").candidatePorts(exists),
              (std::vector<int>{1, 50, 104, 1001}));
    EXPECT_EQ(DeviceMap::fromVariable("defaults=off,1001=virtual").candidatePorts(exists),
              (std::vector<int>{1001}));
    EXPECT_EQ(DeviceMap::fromVariable("defaults=off").deviceFor(1), std::nullopt);
}
