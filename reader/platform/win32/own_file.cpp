#include "protocol/own_file.h"

#include "../win32/win32_text.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <filesystem>

namespace kav::ownfile {

std::string absolute(const std::string &path) {
    std::error_code ec;
    const std::filesystem::path full =
        std::filesystem::absolute(std::filesystem::path(win32::wide(path)), ec);
    return ec ? std::string() : win32::utf8(full.wstring());
}

int openAppend(const std::string &path, std::size_t &size) {
    // A link (reparse point) is opened as itself and refused, never
    // written through; a pipe or device is refused by its type.
    const HANDLE file = ::CreateFileW(
        win32::wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1) {
        ::CloseHandle(file);
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(file);
        return -1;
    }
    // A 32-bit build cannot count past 4 GiB: such a file counts as full.
    const std::uint64_t whole =
        (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    size = static_cast<std::size_t>(std::min<std::uint64_t>(whole, SIZE_MAX));
    return fd;
}

long append(int fd, const char *bytes, std::size_t count) {
    return ::_write(fd, bytes, static_cast<unsigned>(std::min<std::size_t>(count, 1 << 20)));
}

void close(int fd) {
    ::_close(fd);
}

bool replace(const std::string &from, const std::string &to) {
    return ::MoveFileExW(win32::wide(from).c_str(), win32::wide(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING) != 0;
}

unsigned long processId() {
    return ::GetCurrentProcessId();
}

} // namespace kav::ownfile
