// What SerialLink needs of the system: a serial device opened exclusively,
// raw 8N1 without flow control, read with a deadline, written, drained and
// closed. One implementation per system, in
// reader/platform/<system>/serial_device.cpp; the texts, the rate check and
// the trace are SerialLink's.
#pragma once

#include "protocol/link.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kav::sys {

// A system error: its number (errno; GetLastError() on Windows) and message.
struct SystemError {
    int code = 0;
    std::string message;
};

// How the system's error number for a failed open reads.
enum class OpenFault { NoDevice, NotSerial, Refused, Busy, Other };
OpenFault openFault(int error);

// What broke an open device.
enum class Fault { ReadFailed, WriteFailed, WriteStuck, HungUp, Removed, Gone, RateRefused };

class SerialDevice {
  public:
    using Clock = Link::Clock;

    SerialDevice() = default;
    ~SerialDevice() { close(); }
    SerialDevice(const SerialDevice &) = delete;
    SerialDevice &operator=(const SerialDevice &) = delete;

    // The name the system opens for `device` (symlinks resolved, \\.\COM3).
    static std::string systemPath(const std::string &device);

    // Opens `systemPath` at `baud` (a rate the protocol knows): false with
    // error() set; "not a serial device" comes as ENOTTY (POSIX) or
    // ERROR_NOT_SUPPORTED (Windows).
    bool open(const std::string &systemPath, std::uint32_t baud);
    void close();
    bool isOpen() const { return handle_ != -1; }
    bool setRate(std::uint32_t baud);

    // Up to `max` bytes into `into`, waiting until `deadline` for the
    // first: how many, 0 when none came in time, -1 when the device broke
    // (fault() and error() say how).
    long read(std::uint8_t *into, std::size_t max, Clock::time_point deadline);
    // All of `bytes` by `deadline`, or false (fault() and error()).
    bool write(const std::uint8_t *bytes, std::size_t count, Clock::time_point deadline);
    // Drops what arrived, and a bounded amount of what was in flight.
    void drain(std::size_t chunk);
    // A device that went away while idle: true, with fault() and error().
    bool gone();

    Fault fault() const { return fault_; }
    const SystemError &error() const { return error_; }

  private:
    bool failed(Fault fault, int code);

    long long handle_ = -1;
    std::string systemPath_;
    Fault fault_ = Fault::ReadFailed;
    SystemError error_;
};

} // namespace kav::sys
