// Start-up, process start to the dialog shown: the program against a bare
// QDialog program built the same way. Each is started many times, in turn,
// with a probe preloaded that reports when the first window has been
// exposed and painted; the medians are compared.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

extern char **environ;

namespace {

long long monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Milliseconds from spawning `program` to its probe's report.
std::optional<double> startOnce(const std::string &program, const char *argument,
                                const std::string &probe) {
    int out[2];
    if (pipe(out) != 0)
        return std::nullopt;
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0)
            env.emplace_back(*e);
    }
    env.push_back("LD_PRELOAD=" + probe);
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = program;
    std::string arg = argument != nullptr ? argument : "";
    char *argv[] = {path.data(), argument != nullptr ? arg.data() : nullptr, nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    pid_t pid = 0;
    const long long start = monotonicNs();
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return std::nullopt;
    }
    std::string text;
    char buffer[64];
    ssize_t n = 0;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const long long shown = std::atoll(text.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || shown <= start)
        return std::nullopt;
    return static_cast<double>(shown - start) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

} // namespace

int main(int argc, char **argv) {
    int runs = 30;
    if (argc > 1)
        runs = std::max(1, std::atoi(argv[1]));
    // No display: the offscreen platform, as the tests use.
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Qt complains on every start without it.
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        static char dir[] = "/tmp/startup-bench-XXXXXX";
        if (mkdtemp(dir) != nullptr)
            setenv("XDG_RUNTIME_DIR", dir, 1);
    }
    // The program's start must not depend on what readers are attached.
    setenv("KAVIDCARD_DEVICES", "none", 1);

    const std::string program = VELKART_PROGRAM_PATH;
    const std::string reference = BARE_DIALOG_PATH;
    const std::string probe = STARTUP_PROBE_PATH;
    std::vector<double> ours;
    std::vector<double> bare;
    std::vector<double> label;
    for (int i = -3; i < runs; ++i) { // three rounds to warm the caches
        const std::optional<double> a = startOnce(program, nullptr, probe);
        const std::optional<double> b = startOnce(reference, nullptr, probe);
        const std::optional<double> c = startOnce(reference, "--label", probe);
        if (!a || !b || !c) {
            std::fprintf(stderr, "startup_bench: %s did not show its window\n",
                         !a ? program.c_str() : reference.c_str());
            return 1;
        }
        if (i >= 0) {
            ours.push_back(*a);
            bare.push_back(*b);
            label.push_back(*c);
        }
    }
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    const char *display = std::getenv("DISPLAY");
    const std::string where = platform != nullptr  ? std::string(platform) + " platform"
                              : display != nullptr ? std::string("X11 display ") + display
                                                   : std::string("default platform");
    std::printf("Start-up to the dialog shown, median of %d runs each (%s)\n", runs, where.c_str());
    std::printf("  velkart %.1f ms; bare QDialog %.1f ms; %.2fx (target <= 1.5x)\n", median(ours),
                median(bare), median(ours) / median(bare));
    std::printf("  the same QDialog with one line of Chinese text: %.1f ms; velkart %.2fx of it\n",
                median(label), median(ours) / median(label));
    return 0;
}
