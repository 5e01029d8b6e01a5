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

std::string portName(int port) {
    return "port " + std::to_string(port);
}

// The SAM's status as a result: 0 when it is the expected one, otherwise
// the status itself (a status of 0 would read as success; no SAM sends it).
int statusResult(const proto::Response &answer, std::uint8_t expected) {
    if (answer.sw3 == expected)
        return KAV_OK;
    return answer.sw3 != 0 ? static_cast<int>(answer.sw3) : static_cast<int>(KAV_E_BAD_REPLY);
}

// How soon a probe waiting on a silent port notices that it may stop.
constexpr std::chrono::milliseconds kStopCheck{10};
// Readers whose answers come this close to the first one's answered
// together: the lower port wins, whichever thread ran first.
constexpr std::chrono::milliseconds kAnswerGrace{50};

// A link whose waits end, as timeouts, at the stop time: discovery stops the
// probes still waiting on silent ports once a reader has answered.
class StoppableLink final : public Link {
  public:
    StoppableLink(Link &inner, const StopTime &stop) : inner_(inner), stop_(stop) {}

    std::string name() const override { return inner_.name(); }
    int write(std::span<const std::uint8_t> bytes) override { return inner_.write(bytes); }
    int read(std::vector<std::uint8_t> &out, Clock::time_point deadline) override {
        for (;;) {
            const Clock::time_point stop = stop_.get();
            const Clock::time_point now = Clock::now();
            if (now >= stop)
                return KAV_E_TIMEOUT;
            const Clock::time_point until = std::min({deadline, now + kStopCheck, stop});
            const int result = inner_.read(out, until);
            if (result != KAV_E_TIMEOUT || until >= deadline)
                return result;
        }
    }
    int setBaudRate(std::uint32_t baud) override { return inner_.setBaudRate(baud); }
    void discardInput() override { inner_.discardInput(); }

  private:
    Link &inner_;
    const StopTime &stop_;
};

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

Link::Clock::time_point StopTime::get() const {
    return Link::Clock::time_point{Link::Clock::duration{at_.load(std::memory_order_acquire)}};
}

void StopTime::answered() {
    auto unset = Link::Clock::duration::rep{kNever};
    const auto at = (Link::Clock::now() + kAnswerGrace).time_since_epoch().count();
    at_.compare_exchange_strong(unset, at, std::memory_order_acq_rel);
}

std::optional<std::uint32_t> Library::probe(Link &link, std::optional<std::uint32_t> first,
                                            const StopTime *stop) {
    std::vector<std::uint32_t> order;
    if (first)
        order.push_back(*first);
    for (const proto::BaudRate &rate : proto::kBaudRates)
        if (!first || rate.baud != *first)
            order.push_back(rate.baud);
    for (std::uint32_t baud : order) {
        if (stop != nullptr && Link::Clock::now() >= stop->get())
            return std::nullopt;
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

    // Every port at once, and the first answer ends the search (after a
    // moment for others answering together): silent ports cost the time
    // the reader takes to answer, not their own timeouts at every rate. A
    // serial link belongs to the thread that opens it.
    StopTime stop;
    std::vector<std::unique_ptr<QThread>> threads;
    for (Probe &p : closed) {
        threads.emplace_back(QThread::create([&p, &stop] {
            Connection connection =
                connect(p.port, p.device, p.reader, p.known.value_or(proto::kDefaultBaud));
            if (connection.result != KAV_OK) {
                trace::line(portName(p.port) + ": skipped while looking for readers");
                return;
            }
            StoppableLink link(*connection.link, stop);
            p.found = probe(link, p.known.value_or(proto::kDefaultBaud), &stop);
            if (p.found)
                stop.answered();
        }));
        threads.back()->start();
    }
    for (Probe &p : opened) {
        OpenPort &open = open_[p.port];
        StoppableLink link(*open.link, stop);
        p.found = probe(link, open.baud, &stop);
        if (p.found)
            stop.answered();
        open.link->setBaudRate(p.found.value_or(open.baud));
        open.baud = p.found.value_or(open.baud);
    }
    for (auto &thread : threads)
        thread->wait();

    // Readers that answered together: the lower port.
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
    if (found != KAV_NO_PORT)
        trace::line(portName(found) + ": a reader answered; the other ports' probes stopped");
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

void Library::close(int port) {
    open_.erase(port);
}

std::vector<int> Library::openPorts() const {
    std::vector<int> ports;
    for (const auto &[port, open] : open_)
        ports.push_back(port);
    return ports;
}

Library::Lease Library::lease(int port, std::uint32_t baud) {
    Lease lease;
    if (auto it = open_.find(port); it != open_.end()) {
        lease.open = &it->second;
        lease.link = it->second.link.get();
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
    const std::optional<std::uint32_t> found = probe(*link.link, known);
    if (link.open != nullptr) {
        link.open->baud = found.value_or(link.open->baud);
        link.link->setBaudRate(link.open->baud);
    }
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
    if (link.open != nullptr && link.link->setBaudRate(current) != KAV_OK)
        return KAV_E_IO;
    proto::Response answer;
    const proto::Command command = proto::setBaudCommand(*code);
    int result =
        proto::transact(*link.link, command, {}, answer, proto::commandTimeout(command, current));
    if (result == KAV_OK)
        result = statusResult(answer, proto::kSuccess);
    // The SAM answers at the old rate, then switches.
    if (result == KAV_OK)
        rates_[port] = next;
    if (link.open != nullptr) {
        link.open->baud = result == KAV_OK ? next : current;
        link.link->setBaudRate(link.open->baud);
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
    return result != KAV_OK ? result : statusResult(answer, expected);
}

} // namespace kav
