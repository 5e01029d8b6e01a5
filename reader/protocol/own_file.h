// A file of this user's own, appended to and renamed: what the trace file
// needs of the system. One implementation per system, in
// reader/platform/<system>/own_file.cpp.
#pragma once

#include <cstddef>
#include <string>

namespace kav::ownfile {

// `path` made absolute against the current folder; empty when the system
// cannot tell the folder.
std::string absolute(const std::string &path);

// Opens `path` for appending, creating it readable by its owner alone.
// Refuses (-1) anything but a regular file of this user with one link, and
// never follows a link nor waits on a FIFO or device. `size` is its length.
int openAppend(const std::string &path, std::size_t &size);

// Writes some of `bytes`: how many, or <= 0 when nothing could be written.
long append(int fd, const char *bytes, std::size_t count);

void close(int fd);

// Renames `from` to `to`, replacing whatever is at `to` without following it.
bool replace(const std::string &from, const std::string &to);

unsigned long processId();

} // namespace kav::ownfile
