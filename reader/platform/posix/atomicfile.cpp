#include "photo/atomicfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kav::photo {
namespace {

constexpr std::string_view kTemporaryPrefix = ".kavphoto-";
constexpr std::string_view kTemporarySuffix = ".tmp";

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
    std::string name(kTemporaryPrefix);
    for (int i = 0; i < 16; ++i, bits >>= 4)
        name += kDigits[bits & 0x0F];
    return name + std::string(kTemporarySuffix);
}

bool isOurTemporaryName(std::string_view name) {
    return name.size() > kTemporaryPrefix.size() + kTemporarySuffix.size() &&
           name.starts_with(kTemporaryPrefix) && name.ends_with(kTemporarySuffix);
}

// Temporaries a killed process of ours left. Only regular files of this
// user old enough that no write can still be using them: another user's
// file, a link or a fresh file is never touched.
void removeStaleTemporaries(int dir) {
    const int listed = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0)
        return;
    DIR *entries = ::fdopendir(listed);
    if (entries == nullptr) {
        ::close(listed);
        return;
    }
    const std::time_t cutoff =
        std::time(nullptr) -
        std::chrono::duration_cast<std::chrono::seconds>(kStaleTemporaryAge).count();
    while (const dirent *entry = ::readdir(entries)) {
        if (!isOurTemporaryName(entry->d_name))
            continue;
        struct stat info {};
        if (::fstatat(dir, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_mtime < cutoff)
            ::unlinkat(dir, entry->d_name, 0);
    }
    ::closedir(entries);
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

// Writes and flushes; the step that failed, or nullptr.
const char *fill(int fd, std::span<const std::uint8_t> bytes, int &error) {
    if (!writeAll(fd, bytes, error))
        return "write";
    if (::fsync(fd) != 0) {
        error = errno;
        return "flush";
    }
    return nullptr;
}

// Gives the complete unnamed file a fresh temporary name: linkat cannot
// replace the target, so the rename that follows does. Linking by the
// descriptor itself needs a capability we may lack; its /proc path does not.
bool linkUnnamed(int file, int dir, std::string &tempName, int &error) {
    const std::string byProc = "/proc/self/fd/" + std::to_string(file);
    for (int attempt = 0; attempt < 32; ++attempt) {
        tempName = temporaryName();
        if (::linkat(file, "", dir, tempName.c_str(), AT_EMPTY_PATH) == 0)
            return true;
        if (errno == ENOENT || errno == EPERM) {
            if (::linkat(AT_FDCWD, byProc.c_str(), dir, tempName.c_str(), AT_SYMLINK_FOLLOW) == 0)
                return true;
        }
        if (errno != EEXIST) {
            error = errno;
            return false;
        }
    }
    error = EEXIST;
    return false;
}

// The named temporary is in place; renames it over the target, or removes it.
WriteOutcome renameIntoPlace(int dir, const std::string &tempName, const std::string &fileName) {
    if (::renameat(dir, tempName.c_str(), dir, fileName.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(dir, tempName.c_str(), 0);
        return failure("rename", error);
    }
    // Makes the rename itself durable; the file is complete either way.
    ::fsync(dir);
    return {true, {}};
}

WriteOutcome writeNamed(int dir, const std::string &fileName, std::span<const std::uint8_t> bytes) {
    removeStaleTemporaries(dir);
    std::string tempName;
    Descriptor file;
    for (int attempt = 0; attempt < 32 && file.get() < 0; ++attempt) {
        tempName = temporaryName();
        // O_EXCL never follows a symlink someone placed at the name.
        const int fd = ::openat(dir, tempName.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return failure("create temporary file", errno);
        file.reset(fd);
    }
    if (file.get() < 0)
        return failure("create temporary file", EEXIST);

    int error = 0;
    const char *step = fill(file.get(), bytes, error);
    if (step == nullptr && file.close() != 0)
        step = "close", error = errno;
    if (step != nullptr) {
        ::unlinkat(dir, tempName.c_str(), 0);
        return failure(step, error);
    }
    return renameIntoPlace(dir, tempName, fileName);
}

// Opens `folder` for writing into, following no symbolic link on the way:
// a folder chosen earlier and since replaced by a link to another one is
// refused, not written through. The descriptor, or -1 with `step` and
// errno set.
int openFolderNoLinks(const std::string &folder, std::string &step) {
    const bool absolute = !folder.empty() && folder.front() == '/';
    Descriptor at(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (at.get() < 0) {
        step = "open folder";
        return -1;
    }
    std::size_t begin = 0;
    while (begin < folder.size()) {
        std::size_t end = folder.find('/', begin);
        if (end == std::string::npos)
            end = folder.size();
        const std::string part = folder.substr(begin, end - begin);
        begin = end + 1;
        if (part.empty() || part == ".")
            continue;
        const int next =
            ::openat(at.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int error = errno;
            struct stat st {};
            const bool link = ::fstatat(at.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                              S_ISLNK(st.st_mode);
            step = link ? "open folder: " + part + " is a symbolic link now" : "open folder";
            errno = link ? ELOOP : error;
            return -1;
        }
        at.reset(next);
    }
    step = "open folder";
    return ::openat(at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

WriteOutcome writeFileAtomically(const std::string &folder, const std::string &fileName,
                                 std::span<const std::uint8_t> bytes, Staging staging) {
    if (fileName.empty() || fileName.find('/') != std::string::npos || fileName == "." ||
        fileName == "..")
        return failure("file name", EINVAL);

    // Everything below is relative to this descriptor, so the folder cannot
    // be swapped for another between the steps.
    std::string step;
    const Descriptor dir(openFolderNoLinks(folder, step));
    if (dir.get() < 0)
        return failure(step.c_str(), errno);
    if (staging == Staging::Named)
        return writeNamed(dir.get(), fileName, bytes);

    Descriptor file(::openat(dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (file.get() < 0) {
        // EISDIR and EINVAL: a kernel or file system without unnamed files.
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
            return writeNamed(dir.get(), fileName, bytes);
        return failure("create temporary file", errno);
    }
    // Until linked, the file has no name: a failure or a kill before then
    // leaves nothing, and closing it frees it.
    int error = 0;
    std::string tempName;
    if (const char *step = fill(file.get(), bytes, error))
        return failure(step, error);
    if (!linkUnnamed(file.get(), dir.get(), tempName, error)) {
        // Neither way of linking is open to us (no privilege, no /proc):
        // a named temporary still gives a whole file.
        if (error == ENOENT || error == EPERM)
            return writeNamed(dir.get(), fileName, bytes);
        return failure("link", error);
    }
    if (file.close() != 0) {
        error = errno;
        ::unlinkat(dir.get(), tempName.c_str(), 0);
        return failure("close", error);
    }
    return renameIntoPlace(dir.get(), tempName, fileName);
}

std::string systemRoot() {
    return "/";
}

std::optional<std::string> currentFolder() {
    std::vector<char> buffer(256);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() > 65536)
            return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

std::string folderProblem(const std::string &folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return folder + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return folder + ": not a folder";
    // The effective ids decide, as they will when the photo is written.
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return folder + ": " + std::strerror(errno);
    std::string step;
    const Descriptor opened(openFolderNoLinks(folder, step));
    if (opened.get() < 0)
        return folder + ": " + (errno == ELOOP ? "passes through a symbolic link" : step) + " (" +
               std::strerror(errno) + ")";
    return {};
}

std::string resolvedFolder(const std::string &folder) {
    char *resolved = ::realpath(folder.c_str(), nullptr);
    if (resolved == nullptr)
        return folder;
    std::string out(resolved);
    std::free(resolved);
    return out;
}

} // namespace kav::photo
