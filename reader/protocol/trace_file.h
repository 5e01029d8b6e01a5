// The trace file: opened safely, size-bounded. It holds the holder's name
// and ID number, so only its owner may read it. The file's system calls
// are in reader/platform/<system>/own_file.cpp.
#pragma once

#include <cstddef>
#include <string>

namespace kav::trace {

class TraceFile {
  public:
    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile &) = delete;
    TraceFile &operator=(const TraceFile &) = delete;

    // Opens `path` for appending; an empty path closes. A relative path is
    // taken from the current folder now, once, for good. Refuses, leaving the
    // trace off, anything but a regular file of this user with one link: a
    // symlink is not followed, a FIFO or device is not waited on, and a new
    // file is readable by its owner alone. Begins with a line naming the
    // library's version.
    void open(const std::string &path, std::size_t limit);
    bool isOpen() const { return fd_ >= 0; }

    // Appends; past the limit the file is renamed to path.1 first.
    void write(const std::string &text);

  private:
    void close();
    bool openNow();
    void rotate();

    int fd_ = -1;
    std::string path_;
    std::size_t limit_ = 0;
    std::size_t size_ = 0;
};

} // namespace kav::trace
