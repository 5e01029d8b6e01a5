// Reading a card file: the one place the virtual reader touches the file
// system.
#include "virtual/card_file.h"

#include "../win32/win32_text.h"

namespace kav::virt {

std::optional<std::vector<char>> readCardFile(const std::string &path, std::size_t limit,
                                              std::string &error) {
    const HANDLE file = ::CreateFileW(win32::wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = win32::systemMessage(::GetLastError());
        return std::nullopt;
    }
    // Only a disk file: a pipe would block, a device could read forever.
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        error = kNotRegularFile;
        return std::nullopt;
    }
    std::vector<char> data(limit + 1);
    std::size_t got = 0;
    while (got < data.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size() - got, 1 << 20));
        if (!::ReadFile(file, data.data() + got, want, &n, nullptr)) {
            error = win32::systemMessage(::GetLastError());
            ::CloseHandle(file);
            return std::nullopt;
        }
        if (n == 0)
            break;
        got += n;
    }
    ::CloseHandle(file);
    data.resize(got);
    return data;
}

} // namespace kav::virt
