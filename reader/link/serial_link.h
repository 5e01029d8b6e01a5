// A Link over a serial device (a UART, a USB-serial bridge, a pty): raw
// 8N1, no flow control, opened exclusively (an advisory lock on the device,
// which dies with the process that holds it).
//
// Blocking with bounded waits and no event loop, so it works in any host
// process and on any thread (discovery probes ports on threads of its
// own); one object is used by one thread at a time. The system calls live
// beneath it (link/serial_device.h), in one small file per system.
#pragma once

#include "link/serial_device.h"
#include "protocol/link.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kav {

// What decides how an open failure reads, gathered from the file system.
struct DeviceFacts {
    bool exists = false;
    bool accessible = false; // read and write permitted to this process
    std::string group;       // the device's group, e.g. "dialout"
    bool inGroup = false;    // this process has that group
};
// From the system: reader/platform/<system>/serial_device.cpp.
DeviceFacts deviceFacts(const std::string &path);

struct OpenFailure {
    int code = 0;        // KAV_E_NO_DEVICE, KAV_E_PERMISSION, KAV_E_BUSY or KAV_E_IO
    std::string message; // for the trace: the system's message and what to do
};

// The one place where a system error number becomes a result code, for a
// failed open (a broken link is always KAV_E_IO). `error` is the system's
// error number (errno; GetLastError() on Windows); ENOTTY stands for
// "opened, but not a serial device". The file system's facts add what to
// do about a refusal.
OpenFailure classifyOpenFailure(const std::string &path, int error,
                                const std::string &systemMessage, const DeviceFacts &facts);

class SerialLink final : public Link {
  public:
    SerialLink();
    ~SerialLink() override;
    SerialLink(const SerialLink &) = delete;
    SerialLink &operator=(const SerialLink &) = delete;

    // Opens `device` (a path; symlinks are followed so the lock is the
    // device's) at `baud`, one of the SAM's rates: KAV_OK, KAV_E_NO_DEVICE,
    // KAV_E_PERMISSION, KAV_E_BUSY, KAV_E_BAD_ARGUMENT or KAV_E_IO.
    // lastError() keeps why.
    int open(const std::string &device, std::uint32_t baud);
    void close();
    bool isOpen() const { return port_.isOpen(); }
    // Not open, or failed: a hang-up noticed now closes the link.
    bool broken() override;
    const std::string &lastError() const { return lastError_; }
    std::uint32_t baudRate() const { return baud_; }

    std::string name() const override { return device_; }
    int write(std::span<const std::uint8_t> bytes) override;
    int read(std::vector<std::uint8_t> &out, Clock::time_point deadline) override;
    int setBaudRate(std::uint32_t baud) override;
    void discardInput() override;

    // Bytes one read() takes at most, so a device that never stops sending
    // cannot hold the caller or grow its buffer without bound.
    static constexpr std::size_t kReadChunk = 4096;

  private:
    // The link broke: trace, close, KAV_E_IO. `why` is the system's message
    // or empty.
    int fail(const std::string &what, const std::string &why = {});
    // The device says what broke it.
    int fail(sys::Fault fault);
    int openFailure(int error, const std::string &systemMessage);

    sys::SerialDevice port_;
    std::string device_;
    std::string systemPath_;
    std::uint32_t baud_ = 115200;
    std::string lastError_;
};

} // namespace kav
