#include "protocol/trace_file.h"

#include "protocol/clock.h"

#include "../win32/win32_text.h"

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <filesystem>

#ifndef KAV_LIBRARY_VERSION
#define KAV_LIBRARY_VERSION "unknown"
#endif

namespace kav::trace {

TraceFile::~TraceFile() {
    close();
}

void TraceFile::close() {
    if (fd_ >= 0)
        ::_close(fd_);
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
    std::error_code ec;
    const std::filesystem::path absolute =
        std::filesystem::absolute(std::filesystem::path(win32::wide(path_)), ec);
    if (ec)
        return;
    path_ = win32::utf8(absolute.wstring());
    if (openNow())
        write(clock::localTimestamp(std::chrono::system_clock::now()) +
              " trace of the reader library " KAV_LIBRARY_VERSION ", process " +
              std::to_string(::GetCurrentProcessId()) + "\n");
}

bool TraceFile::openNow() {
    // A link (reparse point) is opened as itself and refused, never
    // written through; a pipe or device is refused by its type.
    const HANDLE file = ::CreateFileW(
        win32::wide(path_).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1) {
        ::CloseHandle(file);
        return false;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(file);
        return false;
    }
    fd_ = fd;
    size_ = (static_cast<std::size_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

void TraceFile::rotate() {
    close();
    const std::string old = path_ + ".1";
    // Moving replaces whatever is at NAME.1, never follows it.
    if (!::MoveFileExW(win32::wide(path_).c_str(), win32::wide(old).c_str(),
                       MOVEFILE_REPLACE_EXISTING))
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
        const int n = ::_write(fd_, p, static_cast<unsigned>(std::min<std::size_t>(left, 1 << 20)));
        if (n <= 0)
            return; // a full disk loses trace lines, never the operation
        p += n;
        left -= static_cast<std::size_t>(n);
        size_ += static_cast<std::size_t>(n);
    }
}

} // namespace kav::trace
