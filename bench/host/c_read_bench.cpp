// The dialog's read sequence from a plain C host over a pty at 115200,
// against the wire time of its frames: kav-virtual-reader moves bytes at
// the wire's speed and answers at once, so the wire time is the floor.
#include "child_process.h"
#include "read_sequence.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: c_read_bench C_READ_LOOP VIRTUAL_READER_TOOL\n");
        return 2;
    }
    const std::string loop = argv[1];
    const std::string tool = argv[2];
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kav-c-read-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);

    bool ok = false;
    std::string result;
    {
        const bench::ServedReader reader(tool);
        ::setenv("KAVIDCARD_DEVICES", ("defaults=off,1=" + reader.path()).c_str(), 1);
        bench::Child run = bench::spawnReading({loop, "30", folder.string()});
        result = bench::firstLine(run);
        ok = bench::succeeded(run);
    }
    std::filesystem::remove_all(folder);
    if (!ok || result.empty()) {
        std::fprintf(stderr, "the C host's reads failed\n");
        return 1;
    }
    const double readMs = std::atof(result.c_str());
    const std::size_t bytes = bench::readSequenceBytes();
    const double wireMs = bench::readSequenceWireMs();
    std::printf("C host read sequence over a pty at 115200: %.1f ms; wire time of its %zu "
                "bytes %.1f ms; ratio %.3fx (target <= 1.05x)\n",
                readMs, bytes, wireMs, readMs / wireMs);
    return 0;
}
