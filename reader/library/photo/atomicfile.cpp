#include "atomicfile.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace kav::photo {
namespace {

// Every system failure becomes the same outcome, keeping the system's words.
WriteOutcome failure(const char *step, int error) {
    return {false, std::string(step) + ": " + std::strerror(error)};
}

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes now, reporting the error a deferred write may only show here.
    int close() {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

  private:
    int fd_;
};

std::string temporaryName() {
    static constexpr char kDigits[] = "0123456789abcdef";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uint64_t bits = generator();
    std::string name = ".kavphoto-";
    for (int i = 0; i < 16; ++i, bits >>= 4)
        name += kDigits[bits & 0x0F];
    return name + ".tmp";
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes, int &error) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

WriteOutcome writeFileAtomically(const std::string &folder, const std::string &fileName,
                                 std::span<const std::uint8_t> bytes) {
    if (fileName.empty() || fileName.find('/') != std::string::npos || fileName == "." ||
        fileName == "..")
        return failure("file name", EINVAL);

    // Everything below is relative to this descriptor, so the folder cannot
    // be swapped for another between the steps.
    const Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return failure("open folder", errno);

    std::string tempName;
    Descriptor file;
    for (int attempt = 0; attempt < 32 && file.get() < 0; ++attempt) {
        tempName = temporaryName();
        // O_EXCL never follows a symlink someone placed at the name.
        const int fd = ::openat(dir.get(), tempName.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return failure("create temporary file", errno);
        file.reset(fd);
    }
    if (file.get() < 0)
        return failure("create temporary file", EEXIST);

    int error = 0;
    const char *step = nullptr;
    if (!writeAll(file.get(), bytes, error))
        step = "write";
    else if (::fsync(file.get()) != 0)
        step = "flush", error = errno;
    else if (file.close() != 0)
        step = "close", error = errno;
    else if (::renameat(dir.get(), tempName.c_str(), dir.get(), fileName.c_str()) != 0)
        step = "rename", error = errno;
    if (step != nullptr) {
        ::unlinkat(dir.get(), tempName.c_str(), 0);
        return failure(step, error);
    }
    // Makes the rename itself durable; the file is complete either way.
    ::fsync(dir.get());
    return {true, {}};
}

} // namespace kav::photo
