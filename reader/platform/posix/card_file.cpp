// Reading a card file: the one place the virtual reader touches the file
// system.
#include "virtual/card_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kav::virt {

std::optional<std::vector<char>> readCardFile(const std::string &path, std::size_t limit,
                                              std::string &error) {
    // Only a regular file: a FIFO would block, a device could read forever.
    // Opening without blocking and checking what was opened leaves no gap
    // between the check and the read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = !S_ISREG(st.st_mode) && st.st_mode != 0 ? kNotRegularFile : std::strerror(errno);
        ::close(fd);
        return std::nullopt;
    }
    // One byte past the limit tells a file that is too large, whatever its
    // size said when it was checked.
    std::vector<char> data(limit + 1);
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    data.resize(got);
    return data;
}

} // namespace kav::virt
