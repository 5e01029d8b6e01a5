// SerialLink above the system's serial device (link/serial_device.h): the
// rate check, the trace, and every text a failure reads as.
#include "link/serial_link.h"

#include "KavIDCardAPI.h"
#include "protocol/protocol.h"
#include "protocol/trace.h"

namespace kav {
namespace {

const char *faultText(sys::Fault fault) {
    switch (fault) {
    case sys::Fault::ReadFailed:
        return "read failed";
    case sys::Fault::WriteFailed:
        return "write failed";
    case sys::Fault::WriteStuck:
        return "write did not complete";
    case sys::Fault::HungUp:
        return "the device hung up";
    case sys::Fault::Removed:
        return "device removed";
    case sys::Fault::Gone:
        return "the device is gone";
    case sys::Fault::RateRefused:
        break;
    }
    return "the device failed";
}

} // namespace

OpenFailure classifyOpenFailure(const std::string &path, int error,
                                const std::string &systemMessage, const DeviceFacts &facts) {
    const std::string why = " (" + systemMessage + ")";
    const sys::OpenFault fault = sys::openFault(error);
    if (!facts.exists || fault == sys::OpenFault::NoDevice)
        return {KAV_E_NO_DEVICE, path + ": no such device" + why};
    if (fault == sys::OpenFault::NotSerial)
        return {KAV_E_NO_DEVICE, path + ": not a serial device" + why};
    if (!facts.accessible || fault == sys::OpenFault::Refused) {
        std::string hint;
        if (!facts.accessible) {
            hint = "; the device belongs to group " + facts.group +
                   " and the user must be a member of it";
            if (facts.inGroup)
                hint += " (the user is: log in again for the membership to take effect)";
        }
        return {KAV_E_PERMISSION, path + ": permission denied" + why + hint};
    }
    if (fault == sys::OpenFault::Busy)
        return {KAV_E_BUSY, path + ": in use by another program or port" + why};
    return {KAV_E_IO, path + ": cannot be opened" + why};
}

SerialLink::SerialLink() = default;

SerialLink::~SerialLink() {
    close();
}

int SerialLink::openFailure(int error, const std::string &systemMessage) {
    port_.close();
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
    if (!proto::baudCode(baud)) {
        lastError_ = device + ": " + std::to_string(baud) + " is not one of the SAM's baud rates";
        return KAV_E_BAD_ARGUMENT;
    }
    baud_ = baud;
    systemPath_ = sys::SerialDevice::systemPath(device);
    if (!port_.open(systemPath_, baud))
        return openFailure(port_.error().code, port_.error().message);
    trace::line("open " + device + (systemPath_ != device ? " (" + systemPath_ + ")" : "") +
                " at " + std::to_string(baud) + " baud 8N1");
    return KAV_OK;
}

void SerialLink::close() {
    if (!port_.isOpen())
        return;
    port_.close();
    trace::line("close " + device_);
}

bool SerialLink::broken() {
    if (!port_.isOpen())
        return true;
    // A hang-up while the link lay idle (the device unplugged, the pty's
    // far end closed) shows before anything is sent, not as a lost answer.
    if (port_.gone()) {
        fail(port_.fault());
        return true;
    }
    return false;
}

int SerialLink::fail(const std::string &what, const std::string &why) {
    lastError_ = device_ + ": " + what;
    if (!why.empty())
        lastError_ += " (" + why + ")";
    trace::line(lastError_);
    port_.close();
    return KAV_E_IO;
}

int SerialLink::fail(sys::Fault fault) {
    return fail(faultText(fault), port_.error().code != 0 ? port_.error().message : "");
}

int SerialLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen())
        return fail("write on a closed link");
    // The bytes' wire time and then some: a port that takes longer is stuck
    // (flow control that never lets go, a bridge that stopped).
    const auto limit =
        Clock::now() + proto::wireTime(bytes.size(), baud_) + std::chrono::milliseconds{500};
    if (!port_.write(bytes.data(), bytes.size(), limit))
        return fail(port_.fault());
    return KAV_OK;
}

int SerialLink::read(std::vector<std::uint8_t> &out, Clock::time_point deadline) {
    if (!isOpen())
        return fail("read on a closed link");
    const std::size_t had = out.size();
    out.resize(had + kReadChunk);
    const long n = port_.read(out.data() + had, kReadChunk, deadline);
    out.resize(had + static_cast<std::size_t>(n > 0 ? n : 0));
    if (n < 0)
        return fail(port_.fault());
    return n > 0 ? KAV_OK : KAV_E_TIMEOUT;
}

int SerialLink::setBaudRate(std::uint32_t baud) {
    if (!proto::baudCode(baud))
        return KAV_E_BAD_ARGUMENT;
    if (!isOpen()) {
        baud_ = baud; // taken at the next open
        return KAV_OK;
    }
    if (!port_.setRate(baud))
        return fail("cannot set " + std::to_string(baud) + " baud",
                    port_.error().code != 0 ? port_.error().message : "");
    baud_ = baud;
    trace::line(device_ + ": now at " + std::to_string(baud) + " baud");
    return KAV_OK;
}

void SerialLink::discardInput() {
    if (isOpen())
        port_.drain(kReadChunk);
}

} // namespace kav
