// The dialog's read sequence from a plain C host over a pty at 115200,
// against the wire time of its frames: kav-virtual-reader moves bytes at
// the wire's speed and answers at once, so the wire time is the floor. A
// card of each type (their read answers are alike), and the read that
// brings the fingerprint data too, against its own wire time.
#include "child_process.h"
#include "read_sequence.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: c_read_bench C_READ_LOOP VIRTUAL_READER_TOOL\n");
        return 2;
    }
    const std::string loop = argv[1];
    const std::string tool = argv[2];
    const std::string cards = KAV_CARDS_DIR;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kav-c-read-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);

    struct Run {
        const char *what;
        std::vector<std::string> toolOptions;
        bool fingerprint;
    };
    const Run runs[] = {
        {"resident card", {}, false},
        {"I card", {"--card", cards + "/foreigner-permanent.json"}, false},
        {"J card", {"--card", cards + "/residence-permit.json"}, false},
        {"J card with its fingerprint data", {"--card", cards + "/residence-permit.json"}, true},
    };
    int failed = 0;
    for (const Run &r : runs) {
        bool ok = false;
        std::string result;
        {
            const bench::ServedReader reader(tool, r.toolOptions);
            ::setenv("KAVIDCARD_DEVICES", ("defaults=off,1=" + reader.path()).c_str(), 1);
            std::vector<std::string> args{loop, "30", folder.string()};
            if (r.fingerprint)
                args.push_back("fingerprint");
            bench::Child run = bench::spawnReading(args);
            result = bench::firstLine(run);
            ok = bench::succeeded(run);
        }
        if (!ok || result.empty()) {
            std::fprintf(stderr, "the C host's reads of the %s failed\n", r.what);
            ++failed;
            continue;
        }
        const double readMs = std::atof(result.c_str());
        const std::size_t bytes = bench::readSequenceBytes(r.fingerprint);
        const double wireMs = bench::readSequenceWireMs(kav::proto::kDefaultBaud, r.fingerprint);
        std::printf("C host read sequence, %s, over a pty at 115200: %.1f ms; wire time of its "
                    "%zu bytes %.1f ms; ratio %.3fx (target <= 1.05x)\n",
                    r.what, readMs, bytes, wireMs, readMs / wireMs);
    }
    std::filesystem::remove_all(folder);
    return failed == 0 ? 0 : 1;
}
