// kav's system calls on POSIX systems.
#include "platform/system.h"

#include "KavIDCardAPI.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kav::cli::platform {
namespace {

struct GroupCheck {
    std::string name;
    bool inGroup = false;      // this process has the group now
    bool listedMember = false; // the group lists the user: a new login brings it
};

GroupCheck checkGroup(gid_t gid) {
    GroupCheck check;
    const group *g = getgrgid(gid);
    check.name = g != nullptr ? g->gr_name : std::to_string(gid);
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(n, 0)));
    check.inGroup =
        getegid() == gid || std::find(groups.begin(), groups.end(), gid) != groups.end();
    if (g != nullptr) {
        const passwd *user = getpwuid(geteuid());
        for (char **member = g->gr_mem; user != nullptr && *member != nullptr; ++member)
            check.listedMember = check.listedMember || std::strcmp(*member, user->pw_name) == 0;
    }
    return check;
}

struct sigaction previousInterrupt {};

// The handlers only write the signal here; the thread that reads it cleans
// up, which a handler may not.
int endingPipe[2] = {-1, -1};

void endBySignal(int sig) {
    if (endingPipe[1] >= 0) {
        const unsigned char number = static_cast<unsigned char>(sig);
        if (write(endingPipe[1], &number, 1) == 1)
            return;
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

std::vector<std::string> utf8Arguments(int argc, char **argv) {
    return {argv, argv + argc};
}

bool stderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

bool stdoutIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

// A second Ctrl-C ends kav at once.
void catchFirstInterrupt(volatile std::sig_atomic_t *flag) {
    static volatile std::sig_atomic_t *target = nullptr;
    target = flag;
    struct sigaction action {};
    action.sa_handler = [](int sig) {
        if (*target != 0)
            endBySignal(sig);
        *target = 1;
    };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInterrupt);
}

void restoreInterrupt() {
    sigaction(SIGINT, &previousInterrupt, nullptr);
}

void cleanUpOnEndingSignals(void (*cleanup)()) {
    static void (*const registered)() = cleanup;
    if (registered != cleanup || endingPipe[0] >= 0 || pipe(endingPipe) != 0)
        return;
    fcntl(endingPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(endingPipe[1], F_SETFD, FD_CLOEXEC);
    std::thread([] {
        unsigned char sig = 0;
        while (read(endingPipe[0], &sig, 1) != 1)
            if (errno != EINTR)
                return;
        registered();
        signal(sig, SIG_DFL);
        // Blocked or not in this thread, the signal must end the process.
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, sig);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        raise(sig);
    }).detach();
    struct sigaction action {};
    action.sa_handler = endBySignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : {SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &action, nullptr);
    // Ctrl-C too, unless a run catches it now: its second comes here anyway.
    struct sigaction current {};
    sigaction(SIGINT, nullptr, &current);
    if (current.sa_handler == SIG_DFL)
        sigaction(SIGINT, &action, nullptr);
}

bool reopenMissingStreams() {
    bool stdoutMissing = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        stdoutMissing = stdoutMissing || fd == STDOUT_FILENO;
        // The lowest free descriptor: the one that is missing.
        const int held = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        (void)held;
    }
    return stdoutMissing;
}

bool mayBeThere(const std::string &device) {
    if (device.rfind("/", 0) != 0)
        return true;
    struct stat info {};
    return stat(device.c_str(), &info) == 0;
}

std::vector<std::string> deviceHolders(const std::string &device) {
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(device, error);
    if (error)
        return {};
    std::vector<std::string> found;
    const std::string self = std::to_string(getpid());
    // Every process's open files; those of other users stay unreadable.
    for (const auto &process : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::error_code unreadable;
        for (const auto &fd :
             std::filesystem::directory_iterator(process.path() / "fd", unreadable)) {
            std::error_code gone;
            if (std::filesystem::read_symlink(fd.path(), gone) != target)
                continue;
            std::string name;
            if (std::FILE *comm = std::fopen((process.path() / "comm").c_str(), "r")) {
                char line[64] = {};
                if (std::fgets(line, sizeof line, comm) != nullptr)
                    name = line;
                std::fclose(comm);
            }
            if (!name.empty() && name.back() == '\n')
                name.pop_back();
            found.push_back("PID " + pid + (name.empty() ? "" : " (" + name + ")"));
            break;
        }
    }
    return found;
}

void describeLocalDevice(const std::string &device, nlohmann::ordered_json &entry,
                         std::string &human) {
    struct stat info {};
    if (stat(device.c_str(), &info) != 0) {
        entry["exists"] = false;
        entry["access"] = "missing";
        human += "missing";
        return;
    }
    entry["exists"] = true;
    if (access(device.c_str(), R_OK | W_OK) == 0) {
        entry["access"] = "ok";
        human += "ok";
        return;
    }
    const int error = errno;
    entry["access"] = "denied";
    if (error != EACCES) {
        entry["reason"] = std::strerror(error);
        human += std::string("denied: ") + std::strerror(error);
        return;
    }
    const GroupCheck group = checkGroup(info.st_gid);
    entry["group"] = group.name;
    entry["inGroup"] = group.inGroup;
    const bool groupMayUse = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    std::string reason;
    // Joining the group helps only when the group may read and write, and
    // nobody should be told to join root's.
    const passwd *owner = getpwuid(info.st_uid);
    const std::string ownerName = owner != nullptr ? owner->pw_name : std::to_string(info.st_uid);
    if (!groupMayUse)
        reason = std::string("mode ") + mode + " lets only its owner " + ownerName +
                 " open it: ask an administrator for a udev rule giving it to a group";
    else if (info.st_gid == 0)
        reason = "only the owner and group root may open it: ask an administrator for a udev rule";
    else if (group.inGroup)
        reason = "the group " + group.name + " may use it, yet it was refused";
    else if (group.listedMember)
        reason = "you joined group " + group.name + " after logging in: log in again";
    else
        reason = "the device belongs to group " + group.name +
                 ", you are not in it: sudo usermod -aG " + group.name +
                 " $USER, then log in again";
    entry["reason"] = reason;
    human += "denied: " + reason;
    return;
}

std::string libraryFileName() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&Kav_OpenPort), &info) == 0 || info.dli_fname == nullptr)
        return "unknown";
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(info.dli_fname, ec);
    return (ec ? std::filesystem::path(info.dli_fname) : real).filename().string();
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "unknown";
    return name;
}

std::string makeTempFolder(const std::string &prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string{};
}

std::string makeRunFolder(const std::string &prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec)
        return makeTempFolder(prefix);
    const fs::path parent = base / ("kav-" + std::to_string(geteuid()));
    mkdir(parent.c_str(), 0700);
    // Only a folder of ours that no one else may write: another user's, or
    // a link, would let them put or take what goes in.
    struct stat info {};
    if (lstat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
        (info.st_mode & 077) != 0)
        return makeTempFolder(prefix);
    for (const fs::directory_entry &entry : fs::directory_iterator(parent, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0)
            continue;
        char *end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid <= 0 || *end != '-')
            continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
    std::string pattern = (parent / (prefix + std::to_string(getpid()) + "-XXXXXX")).string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string{};
}

bool mayCreateIn(const std::string &folder) {
    return access(folder.c_str(), W_OK | X_OK) == 0;
}

bool writeNewPrivateFile(const std::string &path, const unsigned char *bytes, std::size_t size,
                         std::string &error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // The umask may have taken bits the file needs to be ours alone.
    bool ok = ::fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; ok && done < size;) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = ::fsync(fd) == 0 && ok;
    if (!ok)
        error = std::strerror(errno != 0 ? errno : EIO);
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        ::unlink(path.c_str());
    return ok;
}

} // namespace kav::cli::platform
