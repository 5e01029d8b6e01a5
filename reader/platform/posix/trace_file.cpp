#include "protocol/trace_file.h"

#include "protocol/clock.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef KAV_LIBRARY_VERSION
#define KAV_LIBRARY_VERSION "unknown"
#endif

namespace kav::trace {

TraceFile::~TraceFile() {
    close();
}

void TraceFile::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void TraceFile::open(const std::string &path, std::size_t limit) {
    close();
    path_ = path;
    limit_ = limit;
    if (path_.empty() || path_.find('\0') != std::string::npos)
        return;
    // Resolved now, once: a host that changes folder later must not make
    // rotation rename some other file of the same name there.
    if (path_.front() != '/') {
        std::vector<char> folder(256);
        while (::getcwd(folder.data(), folder.size()) == nullptr) {
            if (errno != ERANGE || folder.size() > 65536)
                return; // no current folder: no trace rather than a wandering one
            folder.resize(folder.size() * 2);
        }
        path_ = std::string(folder.data()) + "/" + path_;
    }
    if (openNow())
        write(clock::localTimestamp(std::chrono::system_clock::now()) +
              " trace of the reader library " KAV_LIBRARY_VERSION ", process " +
              std::to_string(::getpid()) + "\n");
}

bool TraceFile::openNow() {
    // O_NONBLOCK: a FIFO without a reader fails at once instead of hanging
    // the caller; O_NOFOLLOW: a planted symlink is not written through.
    const int fd = ::open(path_.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                              O_CLOEXEC,
                          0600);
    if (fd < 0)
        return false;
    struct stat st {};
    // A hard link to someone else's file is refused like a symlink.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1) {
        ::close(fd);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    fd_ = fd;
    size_ = static_cast<std::size_t>(st.st_size);
    return true;
}

void TraceFile::rotate() {
    close();
    const std::string old = path_ + ".1";
    // Renaming replaces whatever is at NAME.1, never follows it.
    if (::rename(path_.c_str(), old.c_str()) != 0)
        return;
    if (openNow())
        write(clock::localTimestamp(std::chrono::system_clock::now()) +
              " trace continued; the earlier part is in " + old + "\n");
}

void TraceFile::write(const std::string &text) {
    if (fd_ < 0)
        return;
    if (size_ + text.size() > limit_ && size_ > 0) {
        rotate();
        if (fd_ < 0)
            return;
    }
    const char *p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a full disk loses trace lines, never the operation
        p += n;
        left -= static_cast<std::size_t>(n);
        size_ += static_cast<std::size_t>(n);
    }
}

} // namespace kav::trace
