// Loading the reader library into a host, against a C library of similar
// size loaded the same way (libturbojpeg): each sample is a fresh process
// that dlopens one library and reports the time and the resident memory
// added. The hosts: one with the C++ runtime loaded already (the usual
// integrator's program), and a plain C one, where our library also brings
// the C++ runtime in ("cold").
#include "child_process.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Sample {
    double us = 0;
    long kib = 0;
};

bool run(const std::vector<std::string> &args, Sample &out) {
    bench::Child child = bench::spawnReading(args);
    const std::string line = bench::firstLine(child);
    return bench::succeeded(child) && std::sscanf(line.c_str(), "%lf %ld", &out.us, &out.kib) == 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: load_bench PROBE OUR_LIBRARY REFERENCE_LIBRARY\n");
        return 2;
    }
    const std::string probe = argv[1];
    const std::string ours = argv[2];
    const std::string reference = argv[3];
    constexpr int kRuns = 41;
    for (const bool cxx : {true, false}) {
        std::vector<double> usOurs, usRef, kibOurs, kibRef;
        for (int i = 0; i < kRuns; ++i) {
            // Alternate, so both see the same machine.
            for (const std::string *lib : {&ours, &reference}) {
                std::vector<std::string> args{probe};
                if (cxx)
                    args.push_back("--cxx");
                args.push_back(*lib);
                Sample s;
                if (!run(args, s)) {
                    std::fprintf(stderr, "load_probe failed on %s\n", lib->c_str());
                    return 1;
                }
                (lib == &ours ? usOurs : usRef).push_back(s.us);
                (lib == &ours ? kibOurs : kibRef).push_back(static_cast<double>(s.kib));
            }
        }
        const double a = bench::median(usOurs), b = bench::median(usRef);
        std::printf("%s host: libKavIDCardAPI %.0f us, %.0f KiB added; libturbojpeg %.0f us, "
                    "%.0f KiB added; time ratio %.2fx (target <= 1.5x), memory %.2f MiB "
                    "(target <= 2 MiB)\n",
                    cxx ? "C++" : "C (cold: the library brings the C++ runtime)", a,
                    bench::median(kibOurs), b, bench::median(kibRef), a / b,
                    bench::median(kibOurs) / 1024.0);
    }
    return 0;
}
