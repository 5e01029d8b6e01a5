// Which device a port names: the default rule and the library's variable.
#include "devicemap.h"

#include <gtest/gtest.h>

#include <set>

using kav::Device;
using kav::DeviceMap;

namespace {
Device path(const char *p) {
    return {Device::Kind::Path, p, {}, {}, 0};
}
Device virtualReader(const char *card = "") {
    return {Device::Kind::Virtual, {}, card, {}, 0};
}
Device network(Device::Kind kind, const char *host, std::uint16_t port) {
    return {kind, {}, {}, host, port};
}
} // namespace

TEST(DeviceMap, DefaultRule) {
    const DeviceMap map = DeviceMap::fromVariable("");
    struct Case {
        int port;
        std::optional<Device> device;
    };
    const Case cases[] = {
        {0, std::nullopt},           {1, path("/dev/ttyUSB0")},    {100, path("/dev/ttyUSB99")},
        {101, path("/dev/ttyACM0")}, {200, path("/dev/ttyACM99")}, {201, path("/dev/ttyS0")},
        {300, path("/dev/ttyS99")},  {301, std::nullopt},          {1000, std::nullopt},
        {1001, std::nullopt},        {-1, std::nullopt},
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
    const DeviceMap replay = DeviceMap::fromVariable("4=replay:/lab/site 1.pcapng");
    const Device recorded{Device::Kind::Replay, "/lab/site 1.pcapng", {}, {}, 0};
    EXPECT_EQ(replay.deviceFor(4), recorded);
    EXPECT_EQ(recorded.text(), "replay:/lab/site 1.pcapng");
}

TEST(DeviceMap, BadEntriesAreSkippedAndSaid) {
    const char *bad[] = {"x=virtual",   "=virtual",   "0=virtual", "-1=virtual",
                         "1=",          "1virtual",   "3=replay:", "99999999999=virtual",
                         "1.5=virtual", "2=virtual=x"};
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

// A virtual reader with a SAM ID of its own: taken, spelt back the same,
// and a SAM ID that is none is said and skips the entry.
TEST(DeviceMap, AVirtualReaderTakesItsSamId) {
    struct Case {
        const char *target;
        const char *card;  // nullptr: the entry is refused
        const char *samId; // as kept
    };
    const Case cases[] = {
        {"virtual?sam-id=05-01-1-2-3", "", "05-01-1-2-3"},
        {"virtual:/cards/a.json?sam-id=0f-A0-0-0-4294967295", "/cards/a.json",
         "0f-A0-0-0-4294967295"},
        {"virtual:/cards/a?b.json", "/cards/a?b.json", ""},
        {"virtual?sam-id=05-01-1-2", nullptr, ""},
        {"virtual?sam-id=", nullptr, ""},
        {"virtual:/c.json?sam-id=05-01-1-2-4294967296", nullptr, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        const DeviceMap map = DeviceMap::fromVariable(std::string("4=") + c.target);
        if (c.card == nullptr) {
            EXPECT_EQ(map.deviceFor(4), path("/dev/ttyUSB3"));
            ASSERT_EQ(map.errors().size(), 1u);
            EXPECT_NE(map.errors()[0].find("not a SAM ID"), std::string::npos) << map.errors()[0];
            continue;
        }
        Device expected = virtualReader(c.card);
        expected.samId = c.samId;
        EXPECT_EQ(map.deviceFor(4), expected);
        EXPECT_EQ(expected.text(), c.target);
        EXPECT_TRUE(map.errors().empty());
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

TEST(DeviceMap, NetworkPorts) {
    using K = Device::Kind;
    const auto atRate = [](std::optional<Device> device, std::uint32_t baud) {
        device->serverBaud = baud;
        return device;
    };
    struct Case {
        const char *target;
        std::optional<Device> device; // nullopt: refused, and said why
        const char *text = "";        // how the port map shows it
    };
    const Case cases[] = {
        {"rfc2217://127.0.0.1:3001", network(K::Rfc2217, "127.0.0.1", 3001),
         "rfc2217://127.0.0.1:3001"},
        {"tcp://bench-3.lab:4001", network(K::Tcp, "bench-3.lab", 4001), "tcp://bench-3.lab:4001"},
        {"rfc2217://[::1]:65535", network(K::Rfc2217, "::1", 65535), "rfc2217://[::1]:65535"},
        {"tcp://[fe80::1%eth0]:1", network(K::Tcp, "fe80::1%eth0", 1), "tcp://[fe80::1%eth0]:1"},
        {"tcp://host:4001?baud=57600", atRate(network(K::Tcp, "host", 4001), 57600),
         "tcp://host:4001?baud=57600"},
        {"tcp://[::1]:7?baud=9600", atRate(network(K::Tcp, "::1", 7), 9600),
         "tcp://[::1]:7?baud=9600"},
        {"tcp://host:4001?baud=4800", std::nullopt}, // not a SAM rate
        {"tcp://host:4001?baud=", std::nullopt},
        {"tcp://host:4001?rate=57600", std::nullopt},
        {"tcp://host:4001?baud=57600x", std::nullopt},
        {"rfc2217://host:3001?baud=57600", std::nullopt}, // its rate follows the SAM's
        {"rfc2217://host", std::nullopt},
        {"rfc2217://host:", std::nullopt},
        {"rfc2217://:3001", std::nullopt},
        {"rfc2217://host:0", std::nullopt},
        {"rfc2217://host:65536", std::nullopt},
        {"rfc2217://host:30x", std::nullopt},
        {"rfc2217://::1:3001", std::nullopt}, // IPv6 without brackets
        {"tcp://[::1]3001", std::nullopt},
        {"tcp://[::1", std::nullopt},
        {"tcp://[]:1", std::nullopt},
        {"tcp://ho st:1", std::nullopt},
        {"tcp://[not v6]:1", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        const DeviceMap map = DeviceMap::fromVariable(std::string("4=") + c.target + ",9=virtual");
        EXPECT_EQ(map.deviceFor(9), virtualReader()) << "the next entry still counts";
        if (c.device) {
            EXPECT_EQ(map.deviceFor(4), c.device);
            EXPECT_EQ(map.deviceFor(4)->text(), c.text);
            EXPECT_TRUE(map.errors().empty());
        } else {
            // Refused, not taken for a device path.
            EXPECT_EQ(map.deviceFor(4), path("/dev/ttyUSB3"));
            ASSERT_EQ(map.errors().size(), 1u);
            EXPECT_NE(map.errors()[0].find(c.target), std::string::npos);
        }
    }
}

TEST(DeviceMap, EntriesThatLookLikeAMisspeltKeywordAreTakenAndSaid) {
    const struct Case {
        const char *target;
        const char *keyword; // "": looks like none
    } cases[] = {
        {"virtal", "virtual"},
        {"Virtual", "virtual"}, // keywords are lower case
        {"virutal", "virtual"}, // two letters swapped
        {"virtul:/cards/mine.json", "virtual:"},
        {"nnone", "none"},
        {"tpc://bench:4001", "tcp://"},
        {"RFC2217://bench:3001", "rfc2217://"},
        {"rfc2271://bench:3001", "rfc2217://"},
        {"/dev/ttyUSB0", ""},
        {"/dev/virtual", ""}, // a path is a path
        {"ttyUSB0", ""},
        {"COM3", ""},
        {"http://bench:80", ""},
        {"vt", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(kav::misspeltKeyword(c.target), c.keyword);
        const DeviceMap map = DeviceMap::fromVariable(std::string("4=") + c.target);
        EXPECT_EQ(map.deviceFor(4), path(c.target)) << "taken as the path it is";
        EXPECT_TRUE(map.errors().empty());
        if (*c.keyword == '\0') {
            EXPECT_TRUE(map.hints().empty());
            continue;
        }
        ASSERT_EQ(map.hints().size(), 1u);
        EXPECT_EQ(map.hints()[0].port, 4);
        EXPECT_NE(map.hints()[0].text.find(std::string("did you mean `") + c.keyword + "`?"),
                  std::string::npos)
            << map.hints()[0].text;
    }
}
