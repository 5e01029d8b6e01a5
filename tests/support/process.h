// Programs started by tests: run to their end, kept in the background, or a
// piece of the test itself in a forked child. Every wait is bounded, so a
// hang fails its test instead of stalling the suite.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace test {

using Vars = std::map<std::string, std::string>;

struct Outcome {
    int exit = -1; // the exit code, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// The environment a child gets: ours without the library's KAVIDCARD_*
// variables, plus vars.
std::vector<std::string> environment(const Vars &vars);

// Runs a program to its end with its standard output and error piped;
// SIGKILLed at `limit`. `watch` sees the standard error so far each time
// more arrives (to signal the child mid-run).
using Watch = std::function<void(pid_t, const std::string &err)>;
Outcome run(const std::string &program, std::vector<std::string> args, const Vars &vars = {},
            std::chrono::milliseconds limit = std::chrono::seconds{20}, const Watch &watch = {});

// As run(), with standard error on a terminal (a pty) instead of a pipe.
Outcome runOnTerminal(const std::string &program, std::vector<std::string> args,
                      const Vars &vars = {},
                      std::chrono::milliseconds limit = std::chrono::seconds{20});

// A program in the background with its standard output and error piped;
// SIGKILLed and reaped when destroyed.
class Child {
  public:
    // stdoutFd: standard output goes there instead of a pipe.
    Child(const std::string &program, std::vector<std::string> args, const Vars &vars = {},
          int stdoutFd = -1);
    // A piece of the test in a forked process, fn's return value its exit
    // code; no pipes.
    explicit Child(const std::function<int()> &fn);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    // One line of standard output without its newline; "" at its end or
    // when none came within the limit.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds{5});
    // The standard error that has arrived so far.
    std::string err();
    void signal(int sig);
    // The exit code or 128 + signal; SIGKILLed at the limit.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds{10});

  private:
    void collect(int fd, std::string &into);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int status_ = -1;
    std::string outBuffer_;
    std::string errBuffer_;
};

// Runs fn in a forked child, its return value the exit code, and waits:
// the exit code, or 128 + signal (SIGKILLed at the limit).
int inChild(const std::function<int()> &fn,
            std::chrono::milliseconds limit = std::chrono::seconds{10});

// Waits until `done` holds or the limit passes; whether it held.
bool waitUntil(const std::function<bool()> &done,
               std::chrono::milliseconds limit = std::chrono::seconds{5});

} // namespace test
