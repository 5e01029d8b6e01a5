#include "verdict_hook.h"

#include <cstring>

#ifndef _WIN32
#include <thread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace kav::cli {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32

bool verdictHooksSupported() {
    return false;
}

HookOutcome runVerdictHook(const std::string &, const std::string &, std::chrono::milliseconds) {
    HookOutcome outcome;
    outcome.error = "commands cannot be run on this system";
    return outcome;
}

#else

namespace {

// A pipe whose ends no other child inherits: a hook started at the same
// time on another port must not hold this one's input open.
bool privatePipe(int fds[2]) {
    if (pipe(fds) != 0)
        return false;
    for (int i = 0; i < 2; ++i)
        fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    return true;
}

// SIGPIPE held back on this thread while it writes to a command that may
// have ended without reading: the write fails instead of ending kav.
class PipeSignalHeld {
  public:
    PipeSignalHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
    }
    ~PipeSignalHeld() {
        // A SIGPIPE our write raised is taken here, not delivered later.
        const timespec now{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld &) = delete;
    PipeSignalHeld &operator=(const PipeSignalHeld &) = delete;

  private:
    sigset_t pipe_;
    sigset_t before_;
};

pid_t spawnShell(const std::string &command, int inputFd, std::string &error) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, inputFd, STDIN_FILENO);
    // Its output is for people: on our standard error, out of the JSON.
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    std::string text = command;
    char *argv[] = {shell, dashC, text.data(), nullptr};
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, shell, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        error = std::string("/bin/sh could not be started: ") + std::strerror(failed);
        return -1;
    }
    return pid;
}

} // namespace

bool verdictHooksSupported() {
    return true;
}

HookOutcome runVerdictHook(const std::string &command, const std::string &input,
                           std::chrono::milliseconds deadline) {
    HookOutcome outcome;
    int fds[2];
    if (!privatePipe(fds)) {
        outcome.error = std::string("no pipe for its input: ") + std::strerror(errno);
        return outcome;
    }
    const Clock::time_point endAt = Clock::now() + deadline;
    const pid_t pid = spawnShell(command, fds[0], outcome.error);
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        return outcome;
    }
    outcome.started = true;
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    int writeFd = fds[1];
    std::size_t sent = 0;
    int status = 0;
    {
        const PipeSignalHeld held;
        for (;;) {
            if (writeFd >= 0 && sent == input.size()) {
                close(writeFd); // the end of its input
                writeFd = -1;
            }
            if (writeFd >= 0) {
                pollfd ready{writeFd, POLLOUT, 0};
                if (poll(&ready, 1, 10) > 0) {
                    const ssize_t n = write(writeFd, input.data() + sent, input.size() - sent);
                    if (n > 0)
                        sent += static_cast<std::size_t>(n);
                    else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                        // It ended or closed its input without reading it all:
                        // its own business, its exit code says how it went.
                        close(writeFd);
                        writeFd = -1;
                    }
                }
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds{10});
            }
            const pid_t ended = waitpid(pid, &status, WNOHANG);
            if (ended == pid)
                break;
            if (ended < 0 && errno != EINTR) {
                outcome.error = std::string("lost track of it: ") + std::strerror(errno);
                if (writeFd >= 0)
                    close(writeFd);
                return outcome;
            }
            if (Clock::now() >= endAt) {
                // Whatever it started goes with it.
                kill(-pid, SIGKILL);
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                outcome.timedOut = true;
                break;
            }
        }
    }
    if (writeFd >= 0)
        close(writeFd);
    const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(deadline).count();
    if (outcome.timedOut) {
        outcome.error =
            "still running after " + std::to_string(seconds) + " s: killed with its process group";
    } else if (WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
        if (outcome.exitCode == 127)
            outcome.error = "not found (the shell's exit code 127)";
        else if (outcome.exitCode == 126)
            outcome.error = "could not be run (the shell's exit code 126)";
        else if (outcome.exitCode != 0)
            outcome.error = "exited with " + std::to_string(outcome.exitCode);
    } else if (WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
        outcome.error = "killed by signal " + std::to_string(outcome.signal) + " (" +
                        strsignal(outcome.signal) + ")";
    }
    return outcome;
}

#endif

nlohmann::ordered_json hookJson(const HookOutcome &outcome) {
    nlohmann::ordered_json body = nlohmann::ordered_json::object();
    if (outcome.started && !outcome.timedOut && outcome.signal == 0)
        body["exit"] = outcome.exitCode;
    if (outcome.signal != 0)
        body["signal"] = outcome.signal;
    if (outcome.timedOut)
        body["timedOut"] = true;
    if (!outcome.error.empty())
        body["error"] = outcome.error;
    return body;
}

std::string hookProblem(const HookOutcome &outcome) {
    return outcome.succeeded() ? std::string() : outcome.error;
}

} // namespace kav::cli
