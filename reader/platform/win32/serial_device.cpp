// The serial device on Windows: a communications device (\\.\COMn) opened
// exclusively, with a DCB for 8N1 and COMMTIMEOUTS for each wait.
//
// Reads ask for exact byte counts: one byte with the time left (returns at
// the first byte), then exactly what the driver holds, at once. The "return
// at the first byte" timeout settings (MAXDWORD interval and multiplier)
// are not used: some drivers, and wine, wait their whole total with them.
#include "link/serial_device.h"

#include "link/serial_link.h"
#include "link/wait.h"

#include "../win32/win32_text.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace kav {
namespace {

// Raw 8N1 at `baud`, no flow control of either kind, the modem lines ignored.
bool configure(HANDLE port, std::uint32_t baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port, &dcb))
        return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    return ::SetCommState(port, &dcb) != 0;
}

// A read of what is there now, or a write bounded by `totalMs`.
bool setTimeouts(HANDLE port, DWORD readTotalMs, bool immediateRead, DWORD writeTotalMs) {
    COMMTIMEOUTS t{};
    if (immediateRead) {
        t.ReadIntervalTimeout = MAXDWORD; // with zero totals: return at once
    } else {
        t.ReadTotalTimeoutConstant = std::max<DWORD>(readTotalMs, 1);
    }
    t.WriteTotalTimeoutConstant = writeTotalMs;
    return ::SetCommTimeouts(port, &t) != 0;
}

// Bytes the driver holds now; nullopt when the port is gone.
std::optional<DWORD> queued(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port, &errors, &status))
        return std::nullopt;
    return status.cbInQue;
}

} // namespace

DeviceFacts deviceFacts(const std::string &path) {
    DeviceFacts facts;
    const std::string name = path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
    char target[1024];
    facts.exists = ::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
    facts.accessible = facts.exists; // Windows has no per-user rights on COM ports
    facts.inGroup = true;
    return facts;
}

namespace sys {

OpenFault openFault(int error) {
    switch (static_cast<DWORD>(error)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
        return OpenFault::NoDevice;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return OpenFault::NotSerial;
    // A COM port is opened by one program at a time: the system says
    // "access denied" when another has it.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return OpenFault::Busy;
    default:
        return OpenFault::Other;
    }
}

namespace {

HANDLE handleOf(long long handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

} // namespace

std::string SerialDevice::systemPath(const std::string &device) {
    // COMn or \\.\COMn as the name CreateFile needs.
    if (device.rfind("\\\\", 0) == 0)
        return device;
    return "\\\\.\\" + device;
}

bool SerialDevice::failed(Fault fault, int code) {
    fault_ = fault;
    error_ = {code, code != 0 ? win32::systemMessage(static_cast<DWORD>(code)) : ""};
    return false;
}

bool SerialDevice::open(const std::string &systemPath, std::uint32_t baud) {
    close();
    systemPath_ = systemPath;
    const auto refused = [this](DWORD code, const std::string &message) {
        close();
        error_ = {static_cast<int>(code), message};
        return false;
    };
    // No sharing: the port is this link's alone until closed, and the
    // system frees it with the process.
    const HANDLE port = ::CreateFileW(win32::wide(systemPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return refused(error, win32::systemMessage(error));
    }
    handle_ = static_cast<long long>(reinterpret_cast<intptr_t>(port));
    if (::GetFileType(port) != FILE_TYPE_CHAR)
        return refused(ERROR_NOT_SUPPORTED, "not a character device");
    if (!configure(port, baud)) {
        const DWORD error = ::GetLastError();
        return refused(error == ERROR_INVALID_FUNCTION ? ERROR_NOT_SUPPORTED : error,
                       win32::systemMessage(error));
    }
    ::PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return true;
}

void SerialDevice::close() {
    if (handle_ == -1)
        return;
    ::CloseHandle(handleOf(handle_));
    handle_ = -1;
}

bool SerialDevice::setRate(std::uint32_t baud) {
    if (configure(handleOf(handle_), baud))
        return true;
    return failed(Fault::RateRefused, static_cast<int>(::GetLastError()));
}

bool SerialDevice::gone() {
    if (queued(handleOf(handle_)))
        return false;
    failed(Fault::Gone, static_cast<int>(::GetLastError()));
    return true;
}

bool SerialDevice::write(const std::uint8_t *bytes, std::size_t count, Clock::time_point deadline) {
    const HANDLE port = handleOf(handle_);
    std::size_t done = 0;
    while (done < count) {
        const DWORD ms = static_cast<DWORD>(msUntil<Clock>(deadline));
        if (ms == 0)
            return failed(Fault::WriteStuck, 0);
        if (!setTimeouts(port, 0, true, ms))
            return failed(Fault::WriteFailed, static_cast<int>(::GetLastError()));
        DWORD n = 0;
        if (!::WriteFile(port, bytes + done, static_cast<DWORD>(count - done), &n, nullptr))
            return failed(Fault::WriteFailed, static_cast<int>(::GetLastError()));
        done += n;
    }
    return true;
}

long SerialDevice::read(std::uint8_t *into, std::size_t max, Clock::time_point deadline) {
    const HANDLE port = handleOf(handle_);
    const auto broke = [this](DWORD code) {
        failed(Fault::ReadFailed, static_cast<int>(code));
        return -1L;
    };
    for (;;) {
        const std::optional<DWORD> waiting = queued(port);
        if (!waiting)
            return broke(::GetLastError());
        const DWORD ms = static_cast<DWORD>(msUntil<Clock>(deadline));
        // What is there now, at once; else one byte, waiting at most the
        // time left.
        const DWORD want = *waiting > 0 ? std::min<DWORD>(*waiting, static_cast<DWORD>(max)) : 1;
        if (*waiting == 0 && ms == 0)
            return 0;
        if (!setTimeouts(port, ms, *waiting > 0, 0))
            return broke(::GetLastError());
        DWORD n = 0;
        if (!::ReadFile(port, into, want, &n, nullptr))
            return broke(::GetLastError());
        if (n > 0) {
            // The first byte is seldom alone: take what followed it too.
            if (const std::optional<DWORD> more = queued(port); more && *more > 0) {
                const DWORD extra = std::min<DWORD>(*more, static_cast<DWORD>(max - n));
                if (extra > 0 && setTimeouts(port, 0, true, 0)) {
                    DWORD got = 0;
                    ::ReadFile(port, into + n, extra, &got, nullptr);
                    n += got;
                }
            }
            return static_cast<long>(n);
        }
        // Nothing: the wait may have ended a little before the deadline.
        if (Clock::now() >= deadline)
            return 0;
    }
}

void SerialDevice::drain(std::size_t chunk) {
    const HANDLE port = handleOf(handle_);
    ::PurgeComm(port, PURGE_RXCLEAR);
    // What a bridge had in flight lands after the purge; take that too, but
    // only a bounded amount, as a device may never stop sending.
    std::vector<std::uint8_t> scrap(chunk);
    for (int i = 0; i < 16; ++i) {
        const std::optional<DWORD> waiting = queued(port);
        if (!waiting || *waiting == 0 || !setTimeouts(port, 0, true, 0))
            break;
        DWORD n = 0;
        if (!::ReadFile(port, scrap.data(),
                        std::min<DWORD>(*waiting, static_cast<DWORD>(scrap.size())), &n, nullptr) ||
            n == 0)
            break;
    }
}

} // namespace sys
} // namespace kav
