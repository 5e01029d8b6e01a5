// Starting a program for a benchmark with its standard output on a pipe.
#pragma once

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

inline Child spawnReading(const std::vector<std::string> &args) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
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

} // namespace bench
