// kav's system calls on POSIX systems.
#include "platform/system.h"

#include "KavIDCardAPI.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
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

// The handler resets itself, so a second Ctrl-C ends kav at once.
void catchFirstInterrupt(volatile std::sig_atomic_t *flag) {
    static volatile std::sig_atomic_t *target = nullptr;
    target = flag;
    struct sigaction action {};
    action.sa_handler = [](int) { *target = 1; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, &previousInterrupt);
}

void restoreInterrupt() {
    sigaction(SIGINT, &previousInterrupt, nullptr);
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

std::string ruleDevice(int port) {
    struct Range {
        int first;
        const char *prefix;
    };
    static constexpr Range kRanges[] = {
        {1, "/dev/ttyUSB"}, {101, "/dev/ttyACM"}, {201, "/dev/ttyS"}};
    for (const Range &r : kRanges)
        if (port >= r.first && port < r.first + 100)
            return r.prefix + std::to_string(port - r.first);
    return {};
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
