// The trace file's rotation and lines, whatever the system; the file itself
// is reader/protocol/own_file.h.
#include "protocol/trace_file.h"

#include "protocol/clock.h"
#include "protocol/own_file.h"

#include <chrono>

#ifndef KAV_LIBRARY_VERSION
#define KAV_LIBRARY_VERSION "unknown"
#endif

namespace kav::trace {

TraceFile::~TraceFile() {
    close();
}

void TraceFile::close() {
    if (fd_ >= 0)
        ownfile::close(fd_);
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
    path_ = ownfile::absolute(path_);
    if (path_.empty())
        return; // no current folder: no trace rather than a wandering one
    if (openNow())
        write(clock::localTimestamp(std::chrono::system_clock::now()) +
              " trace of the reader library " KAV_LIBRARY_VERSION ", process " +
              std::to_string(ownfile::processId()) + "\n");
}

bool TraceFile::openNow() {
    fd_ = ownfile::openAppend(path_, size_);
    return fd_ >= 0;
}

void TraceFile::rotate() {
    close();
    const std::string old = path_ + ".1";
    if (!ownfile::replace(path_, old))
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
        const long n = ownfile::append(fd_, p, left);
        if (n <= 0)
            return; // a full disk loses trace lines, never the operation
        p += n;
        left -= static_cast<std::size_t>(n);
        size_ += static_cast<std::size_t>(n);
    }
}

} // namespace kav::trace
