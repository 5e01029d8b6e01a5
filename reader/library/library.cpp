#include "library.h"

#include "link/memory_link.h"
#include "discovery.h"
#include "link/serial_link.h"
#include "protocol/transact.h"
#include "protocol/trace.h"
#include "virtual/card_file.h"
#include "virtual/virtual_reader.h"

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


// The SAM's status as a result: 0 when it is the expected one, otherwise
// the status itself (a status of 0 would read as success; no SAM sends it).
int statusResult(const proto::Response &answer, std::uint8_t expected) {
    if (answer.sw3 == expected)
        return KAV_OK;
    return answer.sw3 != 0 ? static_cast<int>(answer.sw3) : static_cast<int>(KAV_E_BAD_REPLY);
}

} // namespace

Library &Library::instance() {
    // Made once and never destroyed: a host may return from main() while
    // its other threads are inside a call. The system closes the devices.
    static Library *const library = new Library;
    return *library;
}

Library::Library() : devices_(devicesFromEnvironment()) {
    std::atexit(releaseAtExit);
}

void Library::releaseAtExit() {
    // A clean exit releases the devices as closing them would, unless a
    // call is still at work with them: that one keeps them.
    if (trace::insideCallback())
        return;
    Library &library = instance();
    if (!library.mutex_.try_lock())
        return;
    library.open_.clear();
    library.mutex_.unlock();
}

void Library::reset() {
    open_.clear();
    rates_.clear();
    retries_.clear();
    lastCards_.clear();
    virtual_.clear();
    cardErrors_.clear();
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
        // A card file that cannot be used leaves the reader without a
        // card; it never takes the port, or the search, down with it.
        virt::CardResult loaded;
        try {
            loaded = virt::loadCardFile(device->cardFile);
        } catch (const std::exception &e) {
            loaded = {std::nullopt, device->cardFile + ": " + e.what()};
        }
        if (!loaded.card) {
            trace::line(portName(port) + ": virtual reader without a card: " + loaded.error);
            cardErrors_[port] = loaded.error;
        }
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

std::optional<std::uint32_t> Library::knownRate(int port) const {
    if (auto it = rates_.find(port); it != rates_.end())
        return it->second;
    return std::nullopt;
}

Library::OpenPort *Library::live(int port, int &result) {
    auto it = open_.find(port);
    if (it == open_.end()) {
        result = KAV_E_NOT_OPEN;
        return nullptr;
    }
    OpenPort &open = it->second;
    if (open.link && !open.link->broken()) {
        result = KAV_OK;
        return &open;
    }
    // At the rate it had: the SAM keeps its rate while it has power, and
    // asking at every rate would not fit the call's time limit.
    trace::line(portName(port) + ": its link failed; opening it again at " +
                std::to_string(open.baud) + " baud");
    open.link.reset(); // the old lock goes first
    Connection connection = connect(port, open.baud);
    result = connection.result;
    if (result != KAV_OK)
        return nullptr;
    open.link = std::move(connection.link);
    return &open;
}

int Library::findReader() {
    std::vector<discovery::Candidate> candidates;
    for (int port : devices_.candidatePorts(nodeExists)) {
        discovery::Candidate c;
        c.port = port;
        c.known = knownRate(port);
        if (open_.count(port) != 0) {
            int result = KAV_OK;
            OpenPort *open = live(port, result);
            if (open == nullptr)
                continue; // its device is gone: no reader there
            c.open = open->link.get();
            c.known = open->baud;
        } else {
            const std::optional<Device> device = devices_.deviceFor(port);
            std::shared_ptr<virt::VirtualReader> reader =
                device && device->kind == Device::Kind::Virtual ? virtualReader(port) : nullptr;
            c.connect = [port, device, reader](std::uint32_t baud) {
                return connect(port, device, reader, baud).link;
            };
        }
        candidates.push_back(std::move(c));
    }
    const int found = discovery::search(candidates);
    for (const discovery::Candidate &c : candidates) {
        if (c.found)
            rates_[c.port] = *c.found;
        if (c.open != nullptr) {
            OpenPort &open = open_[c.port];
            open.baud = c.found.value_or(open.baud);
            open.link->setBaudRate(open.baud);
        }
    }
    return found;
}

int Library::open(int port) {
    if (open_.count(port) != 0) {
        int result = KAV_OK;
        live(port, result);
        return result;
    }
    const std::optional<std::uint32_t> known = knownRate(port);
    Connection connection = connect(port, known.value_or(proto::kDefaultBaud));
    if (connection.result != KAV_OK)
        return connection.result;
    std::uint32_t baud = known.value_or(proto::kDefaultBaud);
    if (!known && !isUsb(port)) {
        // A SAM keeps a changed rate while powered: ask before assuming.
        const discovery::Probe found = discovery::probe(*connection.link, std::nullopt);
        // A device that hung up while asked is no open port.
        if (found.linkFailed)
            return KAV_E_IO;
        if (found.rate) {
            baud = *found.rate;
            rates_[port] = baud;
        } else {
            connection.link->setBaudRate(baud);
        }
    }
    open_[port] = OpenPort{std::move(connection.link), baud};
    return KAV_OK;
}

void Library::close(int port) {
    open_.erase(port);
    lastCards_.erase(port);
}

const KavCardData *Library::lastCard(int port) const {
    const auto it = lastCards_.find(port);
    return it != lastCards_.end() ? it->second.get() : nullptr;
}

void Library::setLastCard(int port, std::unique_ptr<KavCardData> card) {
    if (card)
        lastCards_[port] = std::move(card);
    else
        lastCards_.erase(port);
}

std::vector<std::pair<int, std::string>> Library::portMap() const {
    std::vector<std::pair<int, std::string>> map;
    for (int port : devices_.candidatePorts([](const std::string &) { return true; })) {
        const std::optional<Device> device = devices_.deviceFor(port);
        if (!device)
            continue;
        if (device->kind == Device::Kind::Path)
            map.emplace_back(port, device->path);
        else
            map.emplace_back(port, device->cardFile.empty() ? "virtual"
                                                            : "virtual:" + device->cardFile);
    }
    return map;
}

unsigned Library::retries(int port) const {
    const auto it = retries_.find(port);
    return it != retries_.end() ? it->second : 0;
}

std::vector<int> Library::openPorts() const {
    std::vector<int> ports;
    for (const auto &[port, open] : open_)
        ports.push_back(port);
    return ports;
}

Library::Lease Library::lease(int port, std::uint32_t baud) {
    Lease lease;
    if (open_.count(port) != 0) {
        lease.open = live(port, lease.result);
        lease.link = lease.open != nullptr ? lease.open->link.get() : nullptr;
        return lease;
    }
    Connection connection = connect(port, baud);
    lease.result = connection.result;
    lease.owned = std::move(connection.link);
    lease.link = lease.owned.get();
    return lease;
}

int Library::getBaud(int port, std::uint32_t &baud) {
    if (isUsb(port))
        return KAV_E_NOT_SUPPORTED;
    const std::optional<std::uint32_t> known = knownRate(port);
    Lease link = lease(port, known.value_or(proto::kDefaultBaud));
    if (link.result != KAV_OK)
        return link.result;
    const discovery::Probe probe = discovery::probe(*link.link, known);
    const std::optional<std::uint32_t> found = probe.rate;
    if (link.open != nullptr) {
        link.open->baud = found.value_or(link.open->baud);
        link.link->setBaudRate(link.open->baud);
    }
    if (probe.linkFailed)
        return KAV_E_IO;
    if (!found)
        return KAV_E_TIMEOUT;
    rates_[port] = *found;
    baud = *found;
    return KAV_OK;
}

int Library::setBaud(int port, std::uint32_t current, std::uint32_t next) {
    if (isUsb(port))
        return KAV_E_NOT_SUPPORTED;
    const std::optional<std::uint8_t> code = proto::baudCode(next);
    if (!code || !proto::baudCode(current))
        return KAV_E_BAD_ARGUMENT;
    Lease link = lease(port, current);
    if (link.result != KAV_OK)
        return link.result;
    // `current` is the caller's word, not a fact: a refused or unanswered
    // change leaves the open port at the rate it had.
    const std::uint32_t had = link.open != nullptr ? link.open->baud : current;
    if (link.open != nullptr && link.link->setBaudRate(current) != KAV_OK)
        return KAV_E_IO;
    proto::Response answer;
    const proto::Command command = proto::setBaudCommand(*code);
    int result =
        proto::transact(*link.link, command, {}, answer, proto::commandTimeout(command, current));
    if (result == KAV_OK)
        result = statusResult(answer, proto::kSuccess);
    std::optional<std::uint32_t> answeredAt;
    if (result == KAV_E_BAD_FRAME) {
        // A broken answer may hide a change that took: never send it again
        // blindly, ask the SAM where it is, the new rate first.
        const discovery::Probe found = discovery::probe(*link.link, next);
        trace::line(portName(port) + ": the answer to the rate change came broken; " +
                    (found.rate ? "the SAM answers at " + std::to_string(*found.rate) + " baud"
                                : std::string("the SAM does not answer")));
        if (found.rate == next)
            result = KAV_OK;
        else if (found.rate)
            rates_[port] = *(answeredAt = found.rate);
    }
    // The SAM answers at the old rate, then switches.
    if (result == KAV_OK)
        rates_[port] = next;
    if (link.open != nullptr) {
        link.open->baud = result == KAV_OK ? next : answeredAt.value_or(had);
        link.link->setBaudRate(link.open->baud);
    }
    return result;
}

int Library::command(int port, proto::Command command, std::span<const std::uint8_t> data,
                     std::uint8_t expected, proto::Response &answer) {
    int result = KAV_OK;
    OpenPort *open = live(port, result);
    if (open == nullptr)
        return result;
    result = proto::transactRepeating(*open->link, command, data, answer, open->baud,
                                      &retries_[port]);
    return result != KAV_OK ? result : statusResult(answer, expected);
}

} // namespace kav
