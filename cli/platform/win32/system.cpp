// kav's system calls on Windows.
#include "platform/system.h"

#include <windows.h>

#include <io.h>
#include <shellapi.h>

#include <cstdio>

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

void catchFirstInterrupt(volatile std::sig_atomic_t *flag) {
    interruptFlag = flag;
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

void restoreInterrupt() {
    ::SetConsoleCtrlHandler(onControl, FALSE);
    interruptFlag = nullptr;
}

bool reopenMissingStreams() {
    // A program started without a stream gets none on Windows: its writes
    // fail, which the output check reports.
    return ::_fileno(stdout) < 0 || ::_get_osfhandle(::_fileno(stdout)) == -1;
}

void *libraryExport(const char *name) {
    HMODULE library = ::GetModuleHandleW(L"KavIDCardAPI.dll");
    if (library == nullptr)
        return nullptr;
    return reinterpret_cast<void *>(::GetProcAddress(library, name));
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

} // namespace kav::cli::platform
