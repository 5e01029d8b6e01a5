#include "link/serial_link.h"

#include "KavIDCardAPI.h"
#include "protocol/protocol.h"
#include "protocol/trace.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace kav {
namespace {

// QSerialPort registers socket notifiers, which need an event dispatcher
// in the calling thread; a std::thread has none until something makes one.
// Nothing runs it: reads and writes wait with waitFor*.
void ensureEventDispatcher() {
    if (QCoreApplication::instance() != nullptr &&
        QAbstractEventDispatcher::instance(QThread::currentThread()) == nullptr) {
        QEventLoop makesTheDispatcher;
    }
}

int msUntil(Link::Clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Link::Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

} // namespace

DeviceFacts deviceFacts(const std::string &path) {
    DeviceFacts facts;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return facts;
    facts.exists = true;
    facts.accessible = ::access(path.c_str(), R_OK | W_OK) == 0;
    std::vector<char> buf(4096);
    group g{};
    group *found = nullptr;
    if (::getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        facts.group = found->gr_name;
    else
        facts.group = std::to_string(st.st_gid);
    facts.inGroup = ::getegid() == st.st_gid;
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        std::vector<gid_t> groups(static_cast<std::size_t>(n));
        if (::getgroups(n, groups.data()) == n)
            facts.inGroup =
                facts.inGroup || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    }
    return facts;
}

OpenFailure classifyOpenFailure(const std::string &path, QSerialPort::SerialPortError error,
                                const std::string &systemMessage, const DeviceFacts &facts) {
    const std::string why = " (" + systemMessage + ")";
    if (!facts.exists || error == QSerialPort::DeviceNotFoundError)
        return {KAV_E_NO_DEVICE, path + ": no such device" + why};
    if (error == QSerialPort::UnsupportedOperationError)
        return {KAV_E_NO_DEVICE, path + ": not a serial device" + why};
    if (!facts.accessible) {
        std::string hint =
            "; the device belongs to group " + facts.group + " and the user must be a member of it";
        if (facts.inGroup)
            hint += " (the user is: log in again for the membership to take effect)";
        return {KAV_E_PERMISSION, path + ": permission denied" + why + hint};
    }
    if (error == QSerialPort::PermissionError || error == QSerialPort::OpenError)
        return {KAV_E_BUSY, path + ": in use by another program or port" + why};
    return {KAV_E_IO, path + ": cannot be opened" + why};
}

SerialLink::SerialLink() = default;

SerialLink::~SerialLink() {
    close();
}

int SerialLink::open(const std::string &device, std::uint32_t baud) {
    close();
    device_ = device;
    lastError_.clear();
    if (baud == 0) {
        lastError_ = device + ": no baud rate";
        return KAV_E_BAD_ARGUMENT;
    }
    baud_ = baud;
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(device, ec);
    systemPath_ = ec ? device : resolved.string();

    ensureEventDispatcher();
    port_ = std::make_unique<QSerialPort>();
    port_->setPortName(QString::fromStdString(systemPath_));
    port_->setBaudRate(static_cast<qint32>(baud));
    port_->setDataBits(QSerialPort::Data8);
    port_->setParity(QSerialPort::NoParity);
    port_->setStopBits(QSerialPort::OneStop);
    port_->setFlowControl(QSerialPort::NoFlowControl);
    if (!port_->open(QIODevice::ReadWrite)) {
        const OpenFailure failure = classifyOpenFailure(
            device, port_->error(), port_->errorString().toStdString(), deviceFacts(systemPath_));
        port_.reset();
        lastError_ = failure.message;
        trace::line("open " + failure.message);
        return failure.code;
    }
    trace::line("open " + device + (systemPath_ != device ? " (" + systemPath_ + ")" : "") +
                " at " + std::to_string(baud) + " baud 8N1");
    return KAV_OK;
}

void SerialLink::close() {
    if (port_) {
        port_->close();
        port_.reset();
        trace::line("close " + device_);
    }
}

bool SerialLink::isOpen() const {
    return port_ && port_->isOpen();
}

int SerialLink::fail(const std::string &what) {
    lastError_ = device_ + ": " + what + " (" +
                 (port_ ? port_->errorString().toStdString() : std::string("not open")) + ")";
    trace::line(lastError_);
    if (port_) {
        port_->close();
        port_.reset();
    }
    return KAV_E_IO;
}

int SerialLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen())
        return fail("write on a closed link");
    port_->clearError();
    const qint64 n = port_->write(reinterpret_cast<const char *>(bytes.data()),
                                  static_cast<qint64>(bytes.size()));
    if (n != static_cast<qint64>(bytes.size()))
        return fail("write failed");
    // Without an event loop the bytes leave only while we wait for them;
    // allow their wire time and then some.
    const auto limit =
        Clock::now() + proto::wireTime(bytes.size(), baud_) + std::chrono::milliseconds{500};
    while (port_->bytesToWrite() > 0) {
        if (!port_->waitForBytesWritten(msUntil(limit))) {
            const auto e = port_->error();
            if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError)
                return fail("write failed");
            if (Clock::now() >= limit)
                return fail("write did not complete");
        }
    }
    return KAV_OK;
}

int SerialLink::read(std::vector<std::uint8_t> &out, Clock::time_point deadline) {
    if (!isOpen())
        return fail("read on a closed link");
    auto take = [&] {
        const QByteArray data = port_->readAll();
        out.insert(out.end(), data.begin(), data.end());
        return !data.isEmpty();
    };
    if (port_->bytesAvailable() > 0 && take())
        return KAV_OK;
    for (;;) {
        port_->clearError();
        const bool ready = port_->waitForReadyRead(msUntil(deadline));
        const auto e = port_->error();
        if (ready && take())
            return KAV_OK;
        if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError)
            return fail("read failed");
        if (Clock::now() >= deadline)
            return KAV_E_TIMEOUT;
        // Woken early with nothing to read: a device that vanished can
        // look like this. Its node goes with it.
        struct stat st {};
        if (::stat(systemPath_.c_str(), &st) != 0)
            return fail("device removed");
    }
}

int SerialLink::setBaudRate(std::uint32_t baud) {
    if (baud == 0)
        return KAV_E_BAD_ARGUMENT;
    if (!isOpen()) {
        baud_ = baud; // taken at the next open
        return KAV_OK;
    }
    if (!port_->setBaudRate(static_cast<qint32>(baud)))
        return fail("cannot set " + std::to_string(baud) + " baud");
    baud_ = baud;
    trace::line(device_ + ": now at " + std::to_string(baud) + " baud");
    return KAV_OK;
}

void SerialLink::discardInput() {
    if (!isOpen())
        return;
    port_->clear(QSerialPort::Input);
    port_->readAll();
}

} // namespace kav
