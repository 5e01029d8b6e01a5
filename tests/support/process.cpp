#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

extern char **environ;

namespace test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int exitOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reaps pid, SIGKILLing it at the deadline.
int reap(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return exitOf(status);
        if (done < 0)
            return -1;
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return exitOf(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{2});
    }
}

// Starts program with pipes on standard output and error; read ends out.
// With a terminal's slave given, standard error goes there instead; with
// stdoutFd, standard output.
pid_t spawn(const std::string &program, std::vector<std::string> args, const Vars &vars, int &out,
            int &err, int terminal = -1, int stdoutFd = -1) {
    int o[2];
    int e[2];
    if (::pipe2(o, O_CLOEXEC) != 0)
        return -1;
    if (::pipe2(e, O_CLOEXEC) != 0) {
        ::close(o[0]);
        ::close(o[1]);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd >= 0 ? stdoutFd : o[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, terminal >= 0 ? terminal : e[1], STDERR_FILENO);
    args.insert(args.begin(), program);
    std::vector<char *> argv = pointers(args);
    std::vector<std::string> envStrings = environment(vars);
    std::vector<char *> envp = pointers(envStrings);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(o[1]);
    ::close(e[1]);
    if (pid <= 0) {
        ::close(o[0]);
        ::close(e[0]);
        return -1;
    }
    out = o[0];
    err = e[0];
    return pid;
}

} // namespace

std::vector<std::string> environment(const Vars &vars) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "KAVIDCARD_", 10) != 0)
            env.emplace_back(*e);
    for (const auto &[name, value] : vars)
        env.push_back(name + "=" + value);
    return env;
}

namespace {

// Collects a started program's output until both streams end (a pty's
// master reads EIO once the program has closed its side).
Outcome collect(pid_t pid, int out, int err, std::chrono::milliseconds limit, const Watch &watch) {
    Outcome run;
    const Clock::time_point deadline = Clock::now() + limit;
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        const int left = msLeft(deadline);
        if (left == 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, left) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
                if (i == 1 && watch)
                    watch(pid, run.err);
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd &f : fds)
        if (f.fd >= 0)
            ::close(f.fd);
    run.exit = reap(pid, Clock::now() + std::chrono::seconds{5});
    return run;
}

} // namespace

Outcome run(const std::string &program, std::vector<std::string> args, const Vars &vars,
            std::chrono::milliseconds limit, const Watch &watch) {
    int out = -1;
    int err = -1;
    const pid_t pid = spawn(program, std::move(args), vars, out, err);
    if (pid < 0)
        return {};
    return collect(pid, out, err, limit, watch);
}

Outcome runOnTerminal(const std::string &program, std::vector<std::string> args, const Vars &vars,
                      std::chrono::milliseconds limit) {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return {};
    int out = -1;
    int pipeErr = -1;
    const pid_t pid = spawn(program, std::move(args), vars, out, pipeErr, slave);
    ::close(slave);
    if (pid < 0) {
        ::close(master);
        return {};
    }
    ::close(pipeErr);
    return collect(pid, out, master, limit, {});
}

Child::Child(const std::string &program, std::vector<std::string> args, const Vars &vars,
             int stdoutFd) {
    pid_ = spawn(program, std::move(args), vars, out_, err_, -1, stdoutFd);
    if (pid_ > 0)
        ::fcntl(err_, F_SETFL, ::fcntl(err_, F_GETFL) | O_NONBLOCK);
}

Child::Child(const std::function<int()> &fn) {
    pid_ = ::fork();
    if (pid_ == 0)
        ::_exit(fn());
}

Child::~Child() {
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, err_})
        if (fd >= 0)
            ::close(fd);
}

void Child::collect(int fd, std::string &into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        into.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string Child::readLine(std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        if (const auto newline = outBuffer_.find('\n'); newline != std::string::npos) {
            std::string line = outBuffer_.substr(0, newline);
            outBuffer_.erase(0, newline + 1);
            return line;
        }
        pollfd p{out_, POLLIN, 0};
        if (out_ < 0 || ::poll(&p, 1, msLeft(deadline)) <= 0)
            return {};
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0)
            return {};
        outBuffer_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string Child::err() {
    if (err_ >= 0)
        collect(err_, errBuffer_);
    return errBuffer_;
}

void Child::signal(int sig) {
    if (pid_ > 0 && status_ < 0)
        ::kill(pid_, sig);
}

int Child::wait(std::chrono::milliseconds limit) {
    if (pid_ > 0 && status_ < 0)
        status_ = reap(pid_, Clock::now() + limit);
    return status_;
}

int inChild(const std::function<int()> &fn, std::chrono::milliseconds limit) {
    Child child(fn);
    return child.started() ? child.wait(limit) : -1;
}

bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds{5});
    }
    return true;
}

} // namespace test
