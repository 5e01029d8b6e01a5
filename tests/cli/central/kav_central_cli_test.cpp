// kav given a central record's URI on the command line: never taken for a
// file name, never printing the URI's password.
#include "process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(KavCentralUri, IsNeverAFileAndNeverShowsThePassword) {
    const std::string secret = "Zq9SecretPw";
    const struct {
        std::vector<std::string> args;
    } cases[] = {
        {{"check", "--db", "postgresql://station:" + secret + "@127.0.0.1:1/line3"}},
        {{"results", "--db", "postgres://station:" + secret + "@127.0.0.1:1/line3"}},
        {{"results", "--json", "--db", "postgresql://127.0.0.1:1/line3?password=" + secret}},
    };
    for (const auto &c : cases) {
        test::TempFolder folder;
        const test::Outcome o =
            test::run("/bin/sh",
                      [&] {
                          std::vector<std::string> a{"-c", "cd \"$0\" && exec \"$@\"",
                                                     folder.path().string(), KAV_CLI};
                          a.insert(a.end(), c.args.begin(), c.args.end());
                          return a;
                      }(),
                      {{"XDG_DATA_HOME", folder.path().string()}});
        EXPECT_NE(o.exit, 0) << c.args[0];
        EXPECT_NE(o.err.find("results database postgres"), std::string::npos) << o.err;
        EXPECT_EQ((o.out + o.err).find(secret), std::string::npos) << o.out << o.err;
        // Nothing made in the working folder nor in the default record's place.
        EXPECT_TRUE(test::listing(folder.path()).empty()) << c.args[0];
    }
}
