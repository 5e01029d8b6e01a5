// Files a station reads that a user names (a plan, the results database):
// only a regular file is read, so a pipe or a device named by mistake can
// neither block kav nor feed it without end.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kav::station {

struct FileKind {
    bool exists = false;
    bool regular = false;
    std::string what;  // when it exists but is no regular file: "a folder", "a pipe (FIFO)", ...
    std::string error; // when it cannot be looked at: the system's reason
};

// What is at `path`, looked at without following it into a blocking open.
FileKind fileKind(const std::string &path);

// The whole of the regular file at `path`, at most `limit` bytes; nullopt
// with `error` saying why not ("no such file", "a folder, not a file",
// "larger than 1048576 bytes").
std::optional<std::string> readRegularFile(const std::string &path, std::size_t limit,
                                           std::string &error);

} // namespace kav::station
