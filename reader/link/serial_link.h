// A Link over a serial device (a UART, a USB-serial bridge, a pty) through
// Qt SerialPort: 8N1, no flow control, opened exclusively.
//
// Blocking, with no event loop: reads wait with waitForReadyRead. Use an
// object from the thread that opened it; any thread will do (discovery
// probes ports on threads of its own), as long as the process has a
// QCoreApplication.
#pragma once

#include "protocol/link.h"

#include <QSerialPort>

#include <cstdint>
#include <memory>
#include <string>

namespace kav {

// What decides how an open failure reads, gathered from the file system.
struct DeviceFacts {
    bool exists = false;
    bool accessible = false; // read and write permitted to this process
    std::string group;       // the device's group, e.g. "dialout"
    bool inGroup = false;    // this process has that group
};
DeviceFacts deviceFacts(const std::string &path);

struct OpenFailure {
    int code = 0;        // KAV_E_NO_DEVICE, KAV_E_PERMISSION, KAV_E_BUSY or KAV_E_IO
    std::string message; // for the trace: the system's message and what to do
};

// The one place where a failed open becomes a result code. Qt reports a
// held lock file, an exclusive tty (TIOCEXCL, EBUSY) and a permission
// refusal (EACCES) alike as PermissionError; the file system's facts tell
// them apart.
OpenFailure classifyOpenFailure(const std::string &path, QSerialPort::SerialPortError error,
                                const std::string &systemMessage, const DeviceFacts &facts);

class SerialLink final : public Link {
  public:
    SerialLink();
    ~SerialLink() override;

    // Opens `device` (a path; symlinks are followed so the lock is the
    // device's) at `baud`: KAV_OK, KAV_E_NO_DEVICE, KAV_E_PERMISSION,
    // KAV_E_BUSY, KAV_E_BAD_ARGUMENT or KAV_E_IO. lastError() keeps why.
    int open(const std::string &device, std::uint32_t baud);
    void close();
    bool isOpen() const;
    const std::string &lastError() const { return lastError_; }
    std::uint32_t baudRate() const { return baud_; }

    std::string name() const override { return device_; }
    int write(std::span<const std::uint8_t> bytes) override;
    int read(std::vector<std::uint8_t> &out, Clock::time_point deadline) override;
    int setBaudRate(std::uint32_t baud) override;
    void discardInput() override;

  private:
    int fail(const std::string &what); // the link broke: trace, close, KAV_E_IO

    std::unique_ptr<QSerialPort> port_;
    std::string device_;
    std::string systemPath_;
    std::uint32_t baud_ = 115200;
    std::string lastError_;
};

} // namespace kav
