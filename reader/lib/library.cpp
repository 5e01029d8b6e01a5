#include "library.h"

#include "link/memory_link.h"
#include "link/serial_link.h"
#include "protocol/transact.h"
#include "trace.h"
#include "virtual/card_file.h"
#include "virtual/virtual_reader.h"

#include <QThread>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace kav {
namespace {

DeviceMap devicesFromEnvironment() {
    const char *value = std::getenv("KAVIDCARD_DEVICES");
    DeviceMap map = DeviceMap::fromVariable(value ? value : "");
    for (const std::string &error : map.errors())
        trace::line("KAVIDCARD_DEVICES: " + error);
    return map;
}

bool nodeExists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::string portName(int port) { return "port " + std::to_string(port); }

} // namespace

Library &Library::instance() {
    static Library library;
    return library;
}

Library::Library() : devices_(devicesFromEnvironment()) {}

void Library::reset() {
    open_.clear();
    rates_.clear();
    virtual_.clear();
    formats_ = {};
    photo_ = {};
    devices_ = devicesFromEnvironment();
}

std::shared_ptr<virt::VirtualReader> Library::virtualReader(int port) {
    if (auto it = virtual_.find(port); it != virtual_.end())
        return it->second;
    const std::optional<Device> device = devices_.deviceFor(port);
    if (!device || device->kind != Device::Kind::Virtual)
        return nullptr;
    std::shared_ptr<virt::VirtualReader> reader;
    if (device->cardFile.empty()) {
        reader = std::make_shared<virt::VirtualReader>();
    } else {
        virt::CardResult loaded = virt::loadCardFile(device->cardFile);
        if (!loaded.card)
            trace::line(portName(port) + ": virtual reader without a card: " + loaded.error);
        reader = std::make_shared<virt::VirtualReader>(loaded.card);
    }
    virtual_.emplace(port, reader);
    return reader;
}

Library::Connection Library::connect(int port, std::uint32_t baud) {
    const std::optional<Device> device = devices_.deviceFor(port);
    const bool isVirtual = device && device->kind == Device::Kind::Virtual;
    return connect(port, device, isVirtual ? virtualReader(port) : nullptr, baud);
}

Library::Connection Library::connect(int port, const std::optional<Device> &device,
                                     std::shared_ptr<virt::VirtualReader> reader,
                                     std::uint32_t baud) {
    if (!device) {
        trace::line(portName(port) + ": no device is mapped to it");
        return {KAV_E_NO_DEVICE, nullptr};
    }
    if (device->kind == Device::Kind::Virtual)
        return {KAV_OK, std::make_unique<MemoryLink>(std::move(reader), baud,
                                                     "virtual@" + std::to_string(port))};
    auto serial = std::make_unique<SerialLink>();
    const int result = serial->open(device->path, baud);
    if (result != KAV_OK) {
        trace::line(portName(port) + ": " + serial->lastError());
        return {result, nullptr};
    }
    return {KAV_OK, std::move(serial)};
}

std::optional<std::uint32_t> Library::probe(Link &link, std::optional<std::uint32_t> first) {
    std::vector<std::uint32_t> order;
    if (first)
        order.push_back(*first);
    for (const proto::BaudRate &rate : proto::kBaudRates)
        if (!first || rate.baud != *first)
            order.push_back(rate.baud);
    for (std::uint32_t baud : order) {
        if (link.setBaudRate(baud) != KAV_OK)
            return std::nullopt;
        proto::Response answer;
        const int result = proto::transact(link, proto::kSamStatus, {}, answer,
                                           proto::commandTimeout(proto::kSamStatus, baud));
        // Any well-formed answer, even a failing status, means a SAM is there.
        if (result == KAV_OK)
            return baud;
        if (result == KAV_E_IO)
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Library::knownRate(int port) const {
    if (auto it = rates_.find(port); it != rates_.end())
        return it->second;
    return std::nullopt;
}

int Library::findReader() {
    struct Probe {
        int port;
        std::optional<Device> device;
        std::shared_ptr<virt::VirtualReader> reader;
        std::optional<std::uint32_t> known;
        std::optional<std::uint32_t> found;
    };
    std::vector<Probe> closed; // probed on threads of their own
    std::vector<Probe> opened; // already open here: probed through their link
    for (int port : devices_.candidatePorts(nodeExists)) {
        Probe p{port, devices_.deviceFor(port), nullptr, knownRate(port), std::nullopt};
        if (p.device && p.device->kind == Device::Kind::Virtual)
            p.reader = virtualReader(port);
        (open_.count(port) != 0 ? opened : closed).push_back(std::move(p));
    }

    // Every port at once: a silent port costs its own timeouts, not the sum
    // of all. A serial link belongs to the thread that opens it.
    std::vector<std::unique_ptr<QThread>> threads;
    for (Probe &p : closed) {
        threads.emplace_back(QThread::create([&p] {
            Connection connection =
                connect(p.port, p.device, p.reader, p.known.value_or(proto::kDefaultBaud));
            if (connection.result != KAV_OK) {
                trace::line(portName(p.port) + ": skipped while looking for readers");
                return;
            }
            p.found = probe(*connection.link, p.known.value_or(proto::kDefaultBaud));
        }));
        threads.back()->start();
    }
    for (Probe &p : opened) {
        OpenPort &open = open_[p.port];
        p.found = probe(*open.link, open.baud);
        open.link->setBaudRate(p.found.value_or(open.baud));
        open.baud = p.found.value_or(open.baud);
    }
    for (auto &thread : threads)
        thread->wait();

    int found = KAV_NO_PORT;
    for (const std::vector<Probe> *group : {&closed, &opened}) {
        for (const Probe &p : *group) {
            if (!p.found)
                continue;
            rates_[p.port] = *p.found;
            if (found == KAV_NO_PORT || p.port < found)
                found = p.port;
        }
    }
    return found;
}

int Library::open(int port) {
    if (open_.count(port) != 0)
        return KAV_OK;
    const std::optional<std::uint32_t> known = knownRate(port);
    Connection connection = connect(port, known.value_or(proto::kDefaultBaud));
    if (connection.result != KAV_OK)
        return connection.result;
    std::uint32_t baud = known.value_or(proto::kDefaultBaud);
    if (!known && !isUsb(port)) {
        // A SAM keeps a changed rate while powered: ask before assuming.
        if (auto found = probe(*connection.link, std::nullopt)) {
            baud = *found;
            rates_[port] = baud;
        } else {
            connection.link->setBaudRate(baud);
        }
    }
    open_[port] = OpenPort{std::move(connection.link), baud};
    return KAV_OK;
}

void Library::close(int port) { open_.erase(port); }

std::vector<int> Library::openPorts() const {
    std::vector<int> ports;
    for (const auto &[port, open] : open_)
        ports.push_back(port);
    return ports;
}

int Library::getBaud(int port, std::uint32_t &baud) {
    if (isUsb(port))
        return KAV_E_NOT_SUPPORTED;
    const std::optional<std::uint32_t> known = knownRate(port);
    std::unique_ptr<Link> borrowed;
    Link *link = nullptr;
    if (auto it = open_.find(port); it != open_.end()) {
        link = it->second.link.get();
    } else {
        Connection connection = connect(port, known.value_or(proto::kDefaultBaud));
        if (connection.result != KAV_OK)
            return connection.result;
        borrowed = std::move(connection.link);
        link = borrowed.get();
    }
    const std::optional<std::uint32_t> found = probe(*link, known);
    if (!found) {
        if (auto it = open_.find(port); it != open_.end())
            link->setBaudRate(it->second.baud);
        return KAV_E_TIMEOUT;
    }
    rates_[port] = *found;
    if (auto it = open_.find(port); it != open_.end())
        it->second.baud = *found;
    baud = *found;
    return KAV_OK;
}

int Library::setBaud(int port, std::uint32_t current, std::uint32_t next) {
    if (isUsb(port))
        return KAV_E_NOT_SUPPORTED;
    const std::optional<std::uint8_t> code = proto::baudCode(next);
    if (!code || !proto::baudCode(current))
        return KAV_E_BAD_ARGUMENT;
    std::unique_ptr<Link> borrowed;
    Link *link = nullptr;
    if (auto it = open_.find(port); it != open_.end()) {
        link = it->second.link.get();
        if (link->setBaudRate(current) != KAV_OK)
            return KAV_E_IO;
    } else {
        Connection connection = connect(port, current);
        if (connection.result != KAV_OK)
            return connection.result;
        borrowed = std::move(connection.link);
        link = borrowed.get();
    }
    proto::Response answer;
    const proto::Command command = proto::setBaudCommand(*code);
    int result = proto::transact(*link, command, {}, answer, proto::commandTimeout(command, current));
    if (result == KAV_OK && answer.sw3 != proto::kSuccess)
        result = answer.sw3 != 0 ? static_cast<int>(answer.sw3) : static_cast<int>(KAV_E_BAD_REPLY);
    // The SAM answers at the old rate, then switches.
    const std::uint32_t now = result == KAV_OK ? next : current;
    if (result == KAV_OK)
        rates_[port] = next;
    if (auto it = open_.find(port); it != open_.end()) {
        it->second.baud = now;
        link->setBaudRate(now);
    }
    return result;
}

int Library::command(int port, proto::Command command, std::span<const std::uint8_t> data,
                     std::uint8_t expected, proto::Response &answer) {
    auto it = open_.find(port);
    if (it == open_.end())
        return KAV_E_NOT_OPEN;
    OpenPort &open = it->second;
    const int result = proto::transact(*open.link, command, data, answer,
                                       proto::commandTimeout(command, open.baud));
    if (result != KAV_OK)
        return result;
    if (answer.sw3 == expected)
        return KAV_OK;
    // A status of 0 would read as success; the SAM never sends it.
    return answer.sw3 != 0 ? static_cast<int>(answer.sw3) : static_cast<int>(KAV_E_BAD_REPLY);
}

} // namespace kav
