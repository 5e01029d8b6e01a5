// The Win32 backend of SerialLink: a communications device (\\.\COMn)
// opened exclusively, with a DCB for 8N1 and COMMTIMEOUTS for each wait.
// The handle is kept as a C runtime descriptor so the class looks the same
// on every system.
//
// Reads ask for exact byte counts: one byte with the time left (returns at
// the first byte), then exactly what the driver holds, at once. The "return
// at the first byte" timeout settings (MAXDWORD interval and multiplier)
// are not used: some drivers, and wine, wait their whole total with them.
#include "link/serial_link.h"

#include "KavIDCardAPI.h"
#include "protocol/protocol.h"
#include "protocol/trace.h"

#include "../win32/win32_text.h"

#include <io.h>

#include <algorithm>
#include <optional>

namespace kav {
namespace {

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// Whole milliseconds, rounded up: the system's waits may end up to a
// millisecond early, and the caller checks its deadline again anyway.
DWORD msUntil(Link::Clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Link::Clock::now()).count();
    return static_cast<DWORD>(std::clamp<long long>(left, 0, 60'000));
}

bool isSamRate(std::uint32_t baud) {
    return baud == 115200 || baud == 57600 || baud == 38400 || baud == 19200 || baud == 9600;
}

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

// COMn or \\.\COMn as the name CreateFile needs.
std::string systemName(const std::string &device) {
    if (device.rfind("\\\\", 0) == 0)
        return device;
    return "\\\\.\\" + device;
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

OpenFailure classifyOpenFailure(const std::string &path, int error,
                                const std::string &systemMessage, const DeviceFacts &facts) {
    const std::string why = " (" + systemMessage + ")";
    switch (static_cast<DWORD>(error)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
        return {KAV_E_NO_DEVICE, path + ": no such device" + why};
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return {KAV_E_NO_DEVICE, path + ": not a serial device" + why};
    // A COM port is opened by one program at a time: the system says
    // "access denied" when another has it.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return {KAV_E_BUSY, path + ": in use by another program or port" + why};
    default:
        if (!facts.exists)
            return {KAV_E_NO_DEVICE, path + ": no such device" + why};
        return {KAV_E_IO, path + ": cannot be opened" + why};
    }
}

SerialLink::SerialLink() = default;

SerialLink::~SerialLink() {
    close();
}

int SerialLink::openFailure(int error, const std::string &systemMessage) {
    if (fd_ >= 0) {
        ::_close(fd_);
        fd_ = -1;
    }
    const OpenFailure failure =
        classifyOpenFailure(device_, error, systemMessage, deviceFacts(systemPath_));
    lastError_ = failure.message;
    trace::line("open " + failure.message);
    return failure.code;
}

int SerialLink::open(const std::string &device, std::uint32_t baud) {
    close();
    device_ = device;
    lastError_.clear();
    if (!isSamRate(baud)) {
        lastError_ = device + ": " + std::to_string(baud) + " is not one of the SAM's baud rates";
        return KAV_E_BAD_ARGUMENT;
    }
    baud_ = baud;
    systemPath_ = systemName(device);
    // No sharing: the port is this link's alone until closed, and the
    // system frees it with the process.
    const HANDLE port =
        ::CreateFileW(win32::wide(systemPath_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return openFailure(static_cast<int>(error), win32::systemMessage(error));
    }
    fd_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(port), 0);
    if (fd_ < 0) {
        ::CloseHandle(port);
        return openFailure(ERROR_TOO_MANY_OPEN_FILES, "no descriptor left");
    }
    if (::GetFileType(port) != FILE_TYPE_CHAR)
        return openFailure(ERROR_NOT_SUPPORTED, "not a character device");
    if (!configure(port, baud)) {
        const DWORD error = ::GetLastError();
        return openFailure(
            static_cast<int>(error == ERROR_INVALID_FUNCTION ? ERROR_NOT_SUPPORTED : error),
            win32::systemMessage(error));
    }
    ::PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    trace::line("open " + device + (systemPath_ != device ? " (" + systemPath_ + ")" : "") +
                " at " + std::to_string(baud) + " baud 8N1");
    return KAV_OK;
}

void SerialLink::close() {
    if (fd_ < 0)
        return;
    ::_close(fd_);
    fd_ = -1;
    trace::line("close " + device_);
}

bool SerialLink::isOpen() const {
    return fd_ >= 0;
}

bool SerialLink::broken() {
    if (fd_ < 0)
        return true;
    // A port that went away while the link lay idle shows before anything
    // is sent, not as a lost answer.
    if (!queued(handleOf(fd_))) {
        fail("the device is gone", static_cast<int>(::GetLastError()));
        return true;
    }
    return false;
}

int SerialLink::fail(const std::string &what, int error) {
    lastError_ = device_ + ": " + what;
    if (error != 0)
        lastError_ += " (" + win32::systemMessage(static_cast<DWORD>(error)) + ")";
    trace::line(lastError_);
    if (fd_ >= 0) {
        ::_close(fd_);
        fd_ = -1;
    }
    return KAV_E_IO;
}

int SerialLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen())
        return fail("write on a closed link");
    // The bytes' wire time and then some: a port that takes longer is stuck
    // (flow control that never lets go, a bridge that stopped).
    const auto limit =
        Clock::now() + proto::wireTime(bytes.size(), baud_) + std::chrono::milliseconds{500};
    const HANDLE port = handleOf(fd_);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD ms = msUntil(limit);
        if (ms == 0)
            return fail("write did not complete");
        if (!setTimeouts(port, 0, true, ms))
            return fail("write failed", static_cast<int>(::GetLastError()));
        DWORD n = 0;
        if (!::WriteFile(port, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n,
                         nullptr))
            return fail("write failed", static_cast<int>(::GetLastError()));
        done += n;
    }
    return KAV_OK;
}

int SerialLink::read(std::vector<std::uint8_t> &out, Clock::time_point deadline) {
    if (!isOpen())
        return fail("read on a closed link");
    const HANDLE port = handleOf(fd_);
    for (;;) {
        const std::optional<DWORD> waiting = queued(port);
        if (!waiting)
            return fail("read failed", static_cast<int>(::GetLastError()));
        const DWORD ms = msUntil(deadline);
        // What is there now, at once; else one byte, waiting at most the
        // time left.
        const DWORD want =
            *waiting > 0 ? std::min<DWORD>(*waiting, static_cast<DWORD>(kReadChunk)) : 1;
        if (*waiting == 0 && ms == 0)
            return KAV_E_TIMEOUT;
        if (!setTimeouts(port, ms, *waiting > 0, 0))
            return fail("read failed", static_cast<int>(::GetLastError()));
        const std::size_t had = out.size();
        out.resize(had + want);
        DWORD n = 0;
        const BOOL ok = ::ReadFile(port, out.data() + had, want, &n, nullptr);
        const DWORD error = ::GetLastError();
        out.resize(had + n);
        if (!ok)
            return fail("read failed", static_cast<int>(error));
        if (n > 0) {
            // The first byte is seldom alone: take what followed it too.
            if (const std::optional<DWORD> more = queued(port); more && *more > 0) {
                const DWORD extra = std::min<DWORD>(*more, static_cast<DWORD>(kReadChunk - n));
                if (extra > 0 && setTimeouts(port, 0, true, 0)) {
                    const std::size_t at = out.size();
                    out.resize(at + extra);
                    DWORD got = 0;
                    ::ReadFile(port, out.data() + at, extra, &got, nullptr);
                    out.resize(at + got);
                }
            }
            return KAV_OK;
        }
        // Nothing: the wait may have ended a little before the deadline.
        if (Clock::now() >= deadline)
            return KAV_E_TIMEOUT;
    }
}

int SerialLink::setBaudRate(std::uint32_t baud) {
    if (!isSamRate(baud))
        return KAV_E_BAD_ARGUMENT;
    if (!isOpen()) {
        baud_ = baud; // taken at the next open
        return KAV_OK;
    }
    if (!configure(handleOf(fd_), baud))
        return fail("cannot set " + std::to_string(baud) + " baud",
                    static_cast<int>(::GetLastError()));
    baud_ = baud;
    trace::line(device_ + ": now at " + std::to_string(baud) + " baud");
    return KAV_OK;
}

void SerialLink::discardInput() {
    if (!isOpen())
        return;
    const HANDLE port = handleOf(fd_);
    ::PurgeComm(port, PURGE_RXCLEAR);
    // What a bridge had in flight lands after the purge; take that too, but
    // only a bounded amount, as a device may never stop sending.
    std::uint8_t scrap[kReadChunk];
    for (int i = 0; i < 16; ++i) {
        const std::optional<DWORD> waiting = queued(port);
        if (!waiting || *waiting == 0 || !setTimeouts(port, 0, true, 0))
            break;
        DWORD n = 0;
        if (!::ReadFile(port, scrap, std::min<DWORD>(*waiting, sizeof scrap), &n, nullptr) ||
            n == 0)
            break;
    }
}

} // namespace kav
