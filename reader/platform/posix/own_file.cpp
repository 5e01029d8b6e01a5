#include "protocol/own_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kav::ownfile {

std::string absolute(const std::string &path) {
    if (!path.empty() && path.front() == '/')
        return path;
    std::vector<char> folder(256);
    while (::getcwd(folder.data(), folder.size()) == nullptr) {
        if (errno != ERANGE || folder.size() > 65536)
            return {};
        folder.resize(folder.size() * 2);
    }
    return std::string(folder.data()) + "/" + path;
}

int openAppend(const std::string &path, std::size_t &size) {
    // O_NONBLOCK: a FIFO without a reader fails at once instead of hanging
    // the caller; O_NOFOLLOW: a planted symlink is not written through.
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st {};
    // A hard link to someone else's file is refused like a symlink.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    size = static_cast<std::size_t>(st.st_size);
    return fd;
}

long append(int fd, const char *bytes, std::size_t count) {
    for (;;) {
        const ssize_t n = ::write(fd, bytes, count);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

void close(int fd) {
    ::close(fd);
}

bool replace(const std::string &from, const std::string &to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

unsigned long processId() {
    return static_cast<unsigned long>(::getpid());
}

} // namespace kav::ownfile
