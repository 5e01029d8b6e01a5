// Whole files on Windows: a temporary in the folder, written, flushed, then
// moved over the final name with write-through.
#include "photo/atomicfile.h"

#include "../win32/win32_text.h"

#include <filesystem>
#include <random>
#include <string_view>
#include <vector>

namespace kav::photo {
namespace {

constexpr std::wstring_view kTemporaryPrefix = L".kavphoto-";
constexpr std::wstring_view kTemporarySuffix = L".tmp";

WriteOutcome failure(const char *step, DWORD error) {
    return {false, std::string(step) + ": " + win32::systemMessage(error)};
}

std::wstring temporaryName() {
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uint64_t bits = generator();
    std::wstring name(kTemporaryPrefix);
    for (int i = 0; i < 16; ++i, bits >>= 4)
        name += kDigits[bits & 0x0F];
    return name + std::wstring(kTemporarySuffix);
}

std::wstring joined(const std::wstring &folder, const std::wstring &name) {
    if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        return folder + name;
    return folder + L'\\' + name;
}

// Temporaries a killed process of ours left: only files old enough that no
// write can still be using them; a link or a folder is never touched.
void removeStaleTemporaries(const std::wstring &folder) {
    WIN32_FIND_DATAW found{};
    const std::wstring pattern =
        joined(folder, std::wstring(kTemporaryPrefix) + L"*" + std::wstring(kTemporarySuffix));
    const HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME &t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const std::uint64_t age =
        std::chrono::duration_cast<std::chrono::seconds>(kStaleTemporaryAge).count() *
        10'000'000ULL;
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                0 &&
            ticks(found.ftLastWriteTime) + age < ticks(now))
            ::DeleteFileW(joined(folder, found.cFileName).c_str());
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// The first link (reparse point) on the folder's own path, or empty.
std::wstring linkOnPath(const std::wstring &folder) {
    std::filesystem::path walked;
    for (const std::filesystem::path &part : std::filesystem::path(folder)) {
        walked /= part;
        if (!part.has_filename() || walked == walked.root_path() || part == L".")
            continue;
        const DWORD attributes = ::GetFileAttributesW(walked.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return part.wstring();
    }
    return {};
}

bool writeAll(HANDLE file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
        if (!::WriteFile(file, bytes.data(), want, &n, nullptr))
            return false;
        bytes = bytes.subspan(n);
    }
    return true;
}

} // namespace

WriteOutcome writeFileAtomically(const std::string &folder, const std::string &fileName,
                                 std::span<const std::uint8_t> bytes, Staging) {
    if (fileName.empty() || fileName.find_first_of("/\\:") != std::string::npos ||
        fileName == "." || fileName == "..")
        return failure("file name", ERROR_INVALID_NAME);
    const std::wstring dir = win32::wide(folder);
    if (const std::wstring link = linkOnPath(dir); !link.empty())
        return {false, "open folder: " + win32::utf8(link) + " is a symbolic link now"};
    const DWORD attributes = ::GetFileAttributesW(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failure("open folder", ::GetLastError());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return failure("open folder", ERROR_DIRECTORY);
    removeStaleTemporaries(dir);

    std::wstring temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 32 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = joined(dir, temporaryName());
        // CREATE_NEW never opens what someone placed at the name.
        file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            return failure("create temporary file", ::GetLastError());
    }
    if (file == INVALID_HANDLE_VALUE)
        return failure("create temporary file", ERROR_FILE_EXISTS);

    const char *step = nullptr;
    DWORD error = 0;
    if (!writeAll(file, bytes))
        step = "write", error = ::GetLastError();
    else if (!::FlushFileBuffers(file))
        step = "flush", error = ::GetLastError();
    if (!::CloseHandle(file) && step == nullptr)
        step = "close", error = ::GetLastError();
    if (step != nullptr) {
        ::DeleteFileW(temporary.c_str());
        return failure(step, error);
    }
    const std::wstring target = joined(dir, win32::wide(fileName));
    if (!::MoveFileExW(temporary.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ::GetLastError();
        ::DeleteFileW(temporary.c_str());
        return failure("rename", error);
    }
    return {true, {}};
}

std::string systemRoot() {
    wchar_t windows[MAX_PATH] = {};
    const UINT n = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (n >= 3 && n < MAX_PATH && windows[1] == L':')
        return win32::utf8(std::wstring(windows, 2)) + "\\";
    return "C:\\";
}

std::optional<std::string> currentFolder() {
    const DWORD n = ::GetCurrentDirectoryW(0, nullptr);
    if (n == 0)
        return std::nullopt;
    std::wstring buffer(n, L'\0');
    const DWORD got = ::GetCurrentDirectoryW(n, buffer.data());
    if (got == 0 || got >= n)
        return std::nullopt;
    buffer.resize(got);
    return win32::utf8(buffer);
}

std::string folderProblem(const std::string &folder) {
    const std::wstring dir = win32::wide(folder);
    const DWORD attributes = ::GetFileAttributesW(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return folder + ": " + win32::systemMessage(::GetLastError());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return folder + ": not a folder";
    if (!linkOnPath(dir).empty())
        return folder + ": passes through a symbolic link";
    return {};
}

std::string resolvedFolder(const std::string &folder) {
    std::error_code ec;
    const std::filesystem::path resolved =
        std::filesystem::canonical(std::filesystem::path(win32::wide(folder)), ec);
    return ec ? folder : win32::utf8(resolved.wstring());
}

} // namespace kav::photo
