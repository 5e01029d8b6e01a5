#include "regular_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kav::station {
namespace {

#ifndef _WIN32
std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a pipe (FIFO)";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "no regular file";
}

// Open without blocking (a FIFO with no writer would wait for one), then
// look at what was opened rather than at the name, which may change.
int openAndLook(const std::string &path, FileKind &kind) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        struct stat info {};
        if (err == ENOENT) {
            kind.error = "no such file";
        } else if (::stat(path.c_str(), &info) == 0) {
            kind.exists = true;
            kind.regular = S_ISREG(info.st_mode);
            if (!kind.regular)
                kind.what = kindOf(info.st_mode);
            kind.error = std::strerror(err);
        } else {
            kind.error = std::strerror(err);
        }
        return -1;
    }
    struct stat info {};
    kind.exists = true;
    if (::fstat(fd, &info) != 0) {
        kind.error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    kind.regular = S_ISREG(info.st_mode);
    if (!kind.regular)
        kind.what = kindOf(info.st_mode);
    return fd;
}
#endif

} // namespace

FileKind fileKind(const std::string &path) {
    FileKind kind;
#ifndef _WIN32
    const int fd = openAndLook(path, kind);
    if (fd >= 0)
        ::close(fd);
    if (!kind.exists && kind.error == "no such file")
        kind.error.clear();
#else
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    kind.exists = std::filesystem::exists(status);
    kind.regular = std::filesystem::is_regular_file(status);
    if (kind.exists && !kind.regular)
        kind.what = std::filesystem::is_directory(status) ? "a folder" : "no regular file";
#endif
    return kind;
}

std::optional<std::string> readRegularFile(const std::string &path, std::size_t limit,
                                           std::string &error) {
    std::string text;
#ifndef _WIN32
    FileKind kind;
    const int fd = openAndLook(path, kind);
    if (kind.exists && !kind.regular) {
        if (fd >= 0)
            ::close(fd);
        error = kind.what + ", not a file";
        return std::nullopt;
    }
    if (fd < 0) {
        error = kind.error;
        return std::nullopt;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > limit)
            break;
    }
    ::close(fd);
#else
    const FileKind kind = fileKind(path);
    if (!kind.exists) {
        error = "no such file";
        return std::nullopt;
    }
    if (!kind.regular) {
        error = kind.what + ", not a file";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    char buffer[65536];
    while (in && text.size() <= limit) {
        in.read(buffer, sizeof buffer);
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        error = "cannot be read";
        return std::nullopt;
    }
#endif
    if (text.size() > limit) {
        error = "larger than " + std::to_string(limit) + " bytes";
        return std::nullopt;
    }
    return text;
}

} // namespace kav::station
