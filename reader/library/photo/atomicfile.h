// Writing a file so that it appears whole or not at all, and the folder
// facts the photo store needs. One implementation per system, in
// reader/platform/<system>/atomicfile.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kav::photo {

struct WriteOutcome {
    bool ok = false;
    std::string error; // the failed step and the system's message
};

// How the file is written before it takes its name.
enum class Staging {
    // An unnamed file in the folder, given a name only once complete: a
    // killed process leaves nothing behind. Falls back to Named where the
    // file system cannot make one.
    Unnamed,
    // A temporary ".kavphoto-*.tmp" file. A killed process leaves it, so
    // ours older than kStaleTemporaryAge are removed before each write.
    Named,
};

// Writing a photo takes milliseconds: a temporary file of ours this old was
// left by a process that died, never one still being written.
inline constexpr std::chrono::minutes kStaleTemporaryAge{5};

// Writes bytes to folder/fileName through a file created exclusively in
// folder (never through a symlink), flushed to disk, then renamed over
// fileName: a symlink or file already there is replaced, never followed or
// written through. fileName must be a single path component. A symbolic
// link anywhere on the folder's own path fails the write: callers pass the
// folder resolved when it was chosen. On failure no temporary file is left
// behind. Permissions are 0666 less the umask.
// The system's root folder: "/" on Linux, "C:\" on Windows.
std::string systemRoot();

// The process's current folder; nullopt (errno set) when it is gone.
std::optional<std::string> currentFolder();

// Why photos cannot be written into `folder` now: it does not exist, is not
// a folder, this process may not create files in it, or it is reached
// through a symbolic link. Empty when it can.
std::string folderProblem(const std::string &folder);

// `folder` with every symbolic link on its way resolved; as given when it
// cannot be resolved (it does not exist).
std::string resolvedFolder(const std::string &folder);

WriteOutcome writeFileAtomically(const std::string &folder, const std::string &fileName,
                                 std::span<const std::uint8_t> bytes,
                                 Staging staging = Staging::Unnamed);

} // namespace kav::photo
