// kav's system calls on Windows.
#include "platform/system.h"

#include "KavIDCardAPI.h"

#include <windows.h>

#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace kav::cli::platform {
namespace {

volatile std::sig_atomic_t *interruptFlag = nullptr;

std::string utf8(const wchar_t *text) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.pop_back(); // the terminating NUL
    return out;
}

// The first Ctrl-C sets the flag; the handler then steps aside, so the
// next one ends kav as usual.
BOOL WINAPI onControl(DWORD event) {
    if (event != CTRL_C_EVENT || interruptFlag == nullptr)
        return FALSE;
    *interruptFlag = 1;
    interruptFlag = nullptr;
    return TRUE;
}

std::string comName(const std::string &device) {
    return device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
}

bool isComName(const std::string &device) {
    const std::string name = comName(device);
    return name.size() > 3 && (name.rfind("COM", 0) == 0 || name.rfind("com", 0) == 0);
}

} // namespace

std::vector<std::string> utf8Arguments(int argc, char **argv) {
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
    int count = 0;
    wchar_t **wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr)
        return {argv, argv + argc};
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(utf8(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

bool stderrIsTerminal() {
    return ::_isatty(::_fileno(stderr)) != 0;
}

bool stdoutIsTerminal() {
    return ::_isatty(::_fileno(stdout)) != 0;
}

void catchFirstInterrupt(volatile std::sig_atomic_t *flag) {
    interruptFlag = flag;
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

void restoreInterrupt() {
    ::SetConsoleCtrlHandler(onControl, FALSE);
    interruptFlag = nullptr;
}

// Windows ends a console program on Ctrl-C through the handler's thread;
// its folders are left to the system's temporary-file clean-up.
void cleanUpOnEndingSignals(void (*)()) {}

bool reopenMissingStreams() {
    // A program started without a stream gets none on Windows: its writes
    // fail, which the output check reports.
    return ::_fileno(stdout) < 0 || ::_get_osfhandle(::_fileno(stdout)) == -1;
}

bool mayBeThere(const std::string &device) {
    if (!isComName(device))
        return true;
    char target[1024];
    return ::QueryDosDeviceA(comName(device).c_str(), target, sizeof target) != 0;
}

void describeLocalDevice(const std::string &device, nlohmann::ordered_json &entry,
                         std::string &human) {
    if (!mayBeThere(device)) {
        entry["exists"] = false;
        entry["access"] = "missing";
        human += "missing";
        return;
    }
    entry["exists"] = true;
    // A COM port has no per-user rights: it is free, or another program has it.
    const std::string path = "\\\\.\\" + comName(device);
    const HANDLE port = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        ::CloseHandle(port);
        entry["access"] = "ok";
        human += "ok";
        return;
    }
    const DWORD error = ::GetLastError();
    entry["access"] = "denied";
    const std::string reason = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                                   ? "another program has the port open"
                                   : "the system refused it (error " + std::to_string(error) + ")";
    entry["reason"] = reason;
    human += "denied: " + reason;
}

// Windows does not say which program holds a COM port.
std::vector<std::string> deviceHolders(const std::string &) {
    return {};
}

std::string libraryFileName() {
    HMODULE library = nullptr;
    wchar_t name[MAX_PATH] = {};
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                 GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&Kav_OpenPort), &library) == 0 ||
        ::GetModuleFileNameW(library, name, MAX_PATH) == 0)
        return "unknown";
    return utf8(std::filesystem::path(name).filename().c_str());
}

std::string hostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &size) != 0 ? utf8(name) : "unknown";
}

std::string makeTempFolder(const std::string &prefix) {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec)
        return {};
    // A name no one else has: CreateDirectory fails on one that exists.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path folder =
            base / (prefix + std::to_string(::GetCurrentProcessId()) + "-" +
                    std::to_string(::GetTickCount64() + attempt));
        if (::CreateDirectoryW(folder.c_str(), nullptr) != 0)
            return utf8(folder.c_str());
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            return {};
    }
    return {};
}

// Windows folders' rights are lists no single call answers: the file's
// own creation says.
bool mayCreateIn(const std::string &) {
    return true;
}

std::string makeRunFolder(const std::string &prefix) {
    return makeTempFolder(prefix);
}

bool writeNewPrivateFile(const std::string &path, const unsigned char *bytes, std::size_t size,
                         std::string &error) {
    const std::filesystem::path file = std::filesystem::u8path(path);
    // CREATE_NEW never opens an existing name; no one else may open it while
    // it is written. Its rights are the folder's, as Windows gives them.
    const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = ::GetLastError() == ERROR_FILE_EXISTS ? "the file exists"
                                                      : "the system refused to create it";
        return false;
    }
    bool ok = true;
    for (std::size_t done = 0; ok && done < size;) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 20));
        ok = ::WriteFile(handle, bytes + done, chunk, &written, nullptr) != 0 && written > 0;
        done += written;
    }
    ok = ok && ::FlushFileBuffers(handle) != 0;
    ok = ::CloseHandle(handle) != 0 && ok;
    if (!ok) {
        error = "the file could not be written";
        ::DeleteFileW(file.c_str());
    }
    return ok;
}

} // namespace kav::cli::platform
