// Starting programs for the benchmarks with their standard output on a
// pipe, a virtual reader served on a pty for the length of a benchmark, and
// the median the figures are taken from.
#pragma once

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

namespace bench {

struct Child {
    pid_t pid = -1;
    int out = -1; // the child's standard output
};

// quiet: standard error goes to /dev/null.
inline Child spawnReading(const std::vector<std::string> &args, bool quiet = false) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    Child child;
    const int rc = posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return {};
    }
    child.out = fds[0];
    return child;
}

// Reads the first line of the child's output.
inline std::string firstLine(const Child &child) {
    std::string line;
    char c = 0;
    while (::read(child.out, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// Waits for the child; true when it exited with 0.
inline bool succeeded(Child &child) {
    int status = 0;
    if (child.out >= 0)
        ::close(child.out);
    return child.pid > 0 && ::waitpid(child.pid, &status, 0) == child.pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Runs a program to its end: true when it exited with 0; its output in *out.
inline bool runToEnd(const std::vector<std::string> &args, std::string *out = nullptr) {
    Child child = spawnReading(args, true);
    char buffer[4096];
    ssize_t n = 0;
    while (child.out >= 0 && (n = ::read(child.out, buffer, sizeof buffer)) > 0)
        if (out != nullptr)
            out->append(buffer, static_cast<std::size_t>(n));
    return succeeded(child);
}

// kav-virtual-reader --wire-only on a pty, stopped when this ends. path()
// is empty when it did not start.
class ServedReader {
  public:
    // options: the tool's, after --wire-only (faults, for a noisy line).
    explicit ServedReader(const std::string &tool, std::vector<std::string> options = {})
        : child_(spawnReading(withOptions({tool, "--wire-only"}, std::move(options)), true)),
          path_(firstLine(child_)) {}
    ~ServedReader() {
        if (child_.pid > 0)
            ::kill(child_.pid, SIGTERM);
        succeeded(child_);
    }
    ServedReader(const ServedReader &) = delete;
    ServedReader &operator=(const ServedReader &) = delete;
    const std::string &path() const { return path_; }

  private:
    static std::vector<std::string> withOptions(std::vector<std::string> args,
                                                std::vector<std::string> options) {
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }

    Child child_;
    std::string path_;
};

inline double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace bench
