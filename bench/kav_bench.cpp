// kav as a whole process, against references measured in the same run:
// - `kav read --json` on a pty whose virtual reader moves bytes at 115200
//   baud and answers at once, against the wire time of the read sequence's
//   frames plus the start and exit of a C "hello world" process;
// - `kav soak --count 200` on the same reader, its reads per minute against
//   the wire-time limit (60000 / one read sequence's wire time in ms).
#include "read_sequence.h"
#include "protocol/protocol.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// Runs a program to its end with standard output captured; -1 on failure.
int run(std::vector<std::string> args, std::string *out = nullptr) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return -1;
    }
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        if (out != nullptr)
            out->append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Wall time of one run of the program, in ms.
double timedRun(const std::vector<std::string> &args, bool *ok) {
    const auto start = Clock::now();
    std::string out;
    *ok = run(args, &out) == 0 && *ok;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Bytes on the wire for one command and its success answer.

// kav-virtual-reader --wire-only on a pty, stopped at the end.
class Reader {
  public:
    Reader() {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        char *argv[] = {const_cast<char *>(KAV_VIRTUAL_READER_TOOL),
                        const_cast<char *>("--wire-only"), nullptr};
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        out_ = fdopen(pipeFds[0], "r");
        char line[256] = {};
        if (pid_ > 0 && out_ != nullptr && std::fgets(line, sizeof line, out_) != nullptr) {
            path_ = line;
            path_.erase(path_.find_last_not_of('\n') + 1);
        }
    }
    ~Reader() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr)
            std::fclose(out_);
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    const std::string &path() const { return path_; }

  private:
    pid_t pid_ = -1;
    FILE *out_ = nullptr;
    std::string path_;
};

} // namespace

int main() {
    namespace proto = kav::proto;
    namespace fs = std::filesystem;
    Reader reader;
    if (reader.path().empty()) {
        std::fprintf(stderr, "kav_bench: no virtual reader\n");
        return 1;
    }
    setenv("KAVIDCARD_DEVICES", ("defaults=off,1=" + reader.path()).c_str(), 1);
    const fs::path folder = fs::temp_directory_path() / ("kav_bench_" + std::to_string(getpid()));
    fs::create_directories(folder);

    const std::size_t bytes = bench::readSequenceBytes();
    const double wireMs = bench::readSequenceWireMs();

    constexpr int kRuns = 30;
    bool ok = true;
    const std::vector<std::string> hello{HELLO_PATH};
    const std::vector<std::string> read{KAV_PATH, "read", "--json", "--photo-dir", folder.string()};
    timedRun(hello, &ok); // warm the page cache for both
    timedRun(read, &ok);
    // kav's own start, to tell it from the read in the figure.
    const std::vector<std::string> version{KAV_PATH, "--version"};
    std::vector<double> helloMs;
    std::vector<double> readMs;
    std::vector<double> versionMs;
    for (int i = 0; i < kRuns; ++i) {
        helloMs.push_back(timedRun(hello, &ok));
        readMs.push_back(timedRun(read, &ok));
        versionMs.push_back(timedRun(version, &ok));
    }
    if (!ok) {
        std::fprintf(stderr, "kav_bench: a run failed\n");
        return 1;
    }
    const double reference = wireMs + median(helloMs);
    std::printf("kav read --json, whole process, pty at 115200, %d runs (medians):\n"
                "  %.1f ms; reference %.1f ms = wire time %.1f ms (%zu bytes) + C hello world "
                "%.2f ms; %.3fx (target <= 1.10x)\n"
                "  kav --version alone (start and exit): %.2f ms\n",
                kRuns, median(readMs), reference, wireMs, bytes, median(helloMs),
                median(readMs) / reference, median(versionMs));

    constexpr int kSoak = 200;
    std::string out;
    const auto start = Clock::now();
    const int status = run({KAV_PATH, "soak", "--count", std::to_string(kSoak), "--json",
                            "--photo-dir", folder.string()},
                           &out);
    const double soakMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const nlohmann::json summary = nlohmann::json::parse(out, nullptr, false);
    if (status != 0 || summary.is_discarded() || summary.value("ok", 0) != kSoak) {
        std::fprintf(stderr, "kav_bench: soak failed: %s\n", out.c_str());
        return 1;
    }
    const double limit = 60000.0 / wireMs;
    const double perMinute = summary["readsPerMinute"].get<double>();
    std::printf("kav soak --count %d, same reader:\n"
                "  %.1f reads/min (the process: %.0f ms in all, median read %.1f ms); "
                "wire-time limit %.1f reads/min; %.3fx (target >= 0.95x)\n",
                kSoak, perMinute, soakMs, summary["ms"]["median"].get<double>(), limit,
                perMinute / limit);
    fs::remove_all(folder);
    return 0;
}
