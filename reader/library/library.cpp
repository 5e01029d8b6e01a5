#include "library.h"

#include "discovery.h"
#include "link/memory_link.h"
#include "link/network_link.h"
#include "link/serial_link.h"
#include "protocol/frame_parser.h"
#include "protocol/trace.h"
#include "protocol/transact.h"
#include "virtual/card_file.h"
#include "virtual/replay_capture.h"
#include "virtual/virtual_reader.h"

#include <cstdlib>
#include <cstring>
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
    return deviceExists(path);
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
    for (auto it = library.open_.begin(); it != library.open_.end();) {
        const auto lock = library.portLocks_.find(it->first);
        std::mutex *port = lock != library.portLocks_.end() ? lock->second.get() : nullptr;
        if (port == nullptr) {
            it = library.open_.erase(it);
        } else if (port->try_lock()) {
            it = library.open_.erase(it);
            port->unlock();
        } else {
            ++it;
        }
    }
    library.mutex_.unlock();
}

std::unique_lock<std::mutex> Library::lockPort(int port) {
    std::mutex *lock = nullptr;
    {
        std::lock_guard state(mutex_);
        std::unique_ptr<std::mutex> &slot = portLocks_[port];
        if (!slot)
            slot = std::make_unique<std::mutex>();
        lock = slot.get();
    }
    return std::unique_lock(*lock);
}

card::FieldFormats Library::formatsNow() {
    std::lock_guard state(mutex_);
    return formats_;
}

photo::PhotoSettings Library::photoNow() {
    std::lock_guard state(mutex_);
    return photo_;
}

std::optional<Device> Library::deviceFor(int port) {
    std::lock_guard state(mutex_);
    return devices_.deviceFor(port);
}

void Library::setRate(int port, std::uint32_t baud) {
    std::lock_guard state(mutex_);
    rates_[port] = baud;
}

Library::OpenPort *Library::openPort(int port) {
    std::lock_guard state(mutex_);
    const auto it = open_.find(port);
    return it != open_.end() ? &it->second : nullptr;
}

int Library::setPhotoPath(int option, const std::string &folder) {
    // A folder that cannot take photos is refused now, not at every read
    // that follows.
    photo::PhotoSettings wanted = photo_;
    int result =
        option == KAV_PHOTO_IN_FOLDER ? wanted.setPath(option, folder) : wanted.setPath(option);
    if (result != KAV_OK)
        return result;
    std::string why;
    if ((result = photo::checkFolder(wanted, why)) != KAV_OK) {
        trace::line("photo folder refused: " + why);
        return result;
    }
    photo_ = wanted;
    return KAV_OK;
}

void Library::reset() {
    open_.clear();
    rates_.clear();
    retries_.clear();
    lastCards_.clear();
    virtual_.clear();
    replays_.clear();
    cardErrors_.clear();
    failures_.clear();
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
    if (!device->samId.empty())
        if (const auto id = proto::samIdFromText(device->samId))
            reader->setSamId(*id);
    virtual_.emplace(port, reader);
    return reader;
}

Library::Target Library::target(int port) {
    std::lock_guard state(mutex_);
    Target t{devices_.deviceFor(port), nullptr};
    if (t.device && t.device->kind == Device::Kind::Virtual)
        t.reader = virtualReader(port);
    if (t.device && t.device->kind == Device::Kind::Replay)
        t.reader = replayReader(port, t.device->path);
    return t;
}

std::shared_ptr<Peer> Library::replayReader(int port, const std::string &file) {
    if (auto it = replays_.find(port); it != replays_.end())
        return it->second;
    try {
        auto reader = std::make_shared<virt::ReplayReader>(
            virt::scriptFromCapture(capture::readCapture(file)));
        reader->setMissHandler([port](const virt::ReplayReader::Miss &miss) {
            trace::line(portName(port) + ": no recorded answer: expected " +
                        trace::hex(miss.expected) + ", received " + trace::hex(miss.received));
        });
        replays_.emplace(port, reader);
        return reader;
    } catch (const std::exception &e) {
        // Not kept: a capture put right serves the next call.
        trace::line(portName(port) + ": replay " + file + ": " + e.what());
        return nullptr;
    }
}

Library::Connection Library::connect(int port, std::uint32_t baud) {
    Target t = target(port);
    Connection connection = connect(port, t.device, std::move(t.reader), baud);
    if (connection.result == KAV_OK)
        return connection;
    std::string why = connection.error;
    if (connection.result == KAV_E_BUSY && t.device) {
        // The system names no holder; this library knows its own.
        std::lock_guard state(mutex_);
        for (const auto &[other, open] : open_)
            if (other != port && devices_.deviceFor(other) == t.device)
                why += "; port " + std::to_string(other) + " of this program has it open";
    }
    noteFailure(port, why);
    return connection;
}

Library::Connection Library::connect(int port, const std::optional<Device> &device,
                                     std::shared_ptr<Peer> reader, std::uint32_t baud,
                                     const std::function<bool()> &stop) {
    if (!device) {
        const std::string why = portName(port) + ": no device is mapped to it";
        trace::line(why);
        return {KAV_E_NO_DEVICE, nullptr, why};
    }
    if (device->kind == Device::Kind::Replay) {
        if (!reader) {
            const std::string why =
                portName(port) + ": the capture " + device->path + " cannot be replayed";
            return {KAV_E_NO_DEVICE, nullptr, why};
        }
        return {
            KAV_OK,
            std::make_unique<MemoryLink>(std::move(reader), baud, "replay@" + std::to_string(port)),
            {}};
    }
    if (device->kind == Device::Kind::Virtual)
        return {KAV_OK,
                std::make_unique<MemoryLink>(std::move(reader), baud,
                                             "virtual@" + std::to_string(port)),
                {}};
    // A link that did not open says why.
    const auto opened = [port](auto link, int result) -> Connection {
        if (result == KAV_OK)
            return {KAV_OK, std::move(link), {}};
        trace::line(portName(port) + ": " + link->lastError());
        return {result, nullptr, link->lastError()};
    };
    if (device->isNetwork()) {
        auto network = std::make_unique<NetworkLink>(
            device->kind == Device::Kind::Rfc2217 ? NetworkLink::Mode::Rfc2217
                                                  : NetworkLink::Mode::Tcp,
            device->host, device->tcpPort,
            device->serverBaud != 0 ? device->serverBaud : NetworkLink::kTcpRate);
        const int result = network->open(baud, Link::Clock::now() + NetworkLink::kOpenTime, stop);
        return opened(std::move(network), result);
    }
    auto serial = std::make_unique<SerialLink>();
    const int result = serial->open(device->path, baud);
    return opened(std::move(serial), result);
}

std::optional<std::uint32_t> Library::knownRate(int port) {
    std::lock_guard state(mutex_);
    if (auto it = rates_.find(port); it != rates_.end())
        return it->second;
    return std::nullopt;
}

Library::OpenPort *Library::live(int port, int &result) {
    OpenPort *const found = openPort(port);
    if (found == nullptr) {
        result = KAV_E_NOT_OPEN;
        return nullptr;
    }
    OpenPort &open = *found;
    if (open.link && !open.link->broken()) {
        result = KAV_OK;
        return &open;
    }
    // A SAM keeps its rate while it has power: a device that stayed (a
    // hang-up, a network drop) is at the rate it had, one that was unplugged
    // and came back starts at the default. Whichever it is expected at is
    // asked first, the other once after it; asking at every rate would not
    // fit the call's time limit.
    open.link.reset(); // the old lock goes first
    open.deviceLeft = open.deviceLeft || deviceMissing(port);
    const std::uint32_t expected = open.deviceLeft ? proto::kDefaultBaud : open.baud;
    trace::line(portName(port) + ": its link failed; opening it again at " +
                std::to_string(expected) + " baud" +
                (open.deviceLeft ? " (its device was unplugged)" : ""));
    Connection connection = connect(port, expected);
    result = connection.result;
    if (result != KAV_OK) {
        open.deviceLeft = open.deviceLeft || deviceMissing(port);
        return nullptr;
    }
    open.link = std::move(connection.link);
    const std::uint32_t other = expected == proto::kDefaultBaud ? open.baud : proto::kDefaultBaud;
    std::uint32_t baud = expected;
    if (other != expected && !isUsb(port)) {
        const discovery::Probe found = discovery::probeOnce(*open.link, {expected, other});
        if (found.linkFailed) {
            open.link.reset();
            noteFailure(port, portName(port) + ": the link failed again as it was opened");
            result = KAV_E_IO;
            return nullptr;
        }
        if (found.rate && *found.rate != expected)
            trace::line(portName(port) + ": the SAM answers at " + std::to_string(*found.rate) +
                        " baud, not at " + std::to_string(expected));
        baud = found.rate.value_or(expected);
    }
    open.deviceLeft = false;
    keepRate(open, baud);
    setRate(port, baud);
    return &open;
}

bool Library::deviceMissing(int port) {
    const std::optional<Device> device = deviceFor(port);
    return device && device->kind == Device::Kind::Path && !deviceExists(device->path);
}

int Library::findReader() {
    std::vector<int> ports;
    {
        std::lock_guard state(mutex_);
        ports = devices_.candidatePorts(nodeExists);
    }
    // The search owns every port it probes until it ends: calls on those
    // ports wait for it, and it for them. Ascending, as every holder of
    // more than one port lock takes them, so two searches cannot deadlock.
    std::vector<std::unique_lock<std::mutex>> held;
    held.reserve(ports.size());
    for (int port : ports)
        held.push_back(lockPort(port));
    std::vector<discovery::Candidate> candidates;
    for (int port : ports) {
        discovery::Candidate c;
        c.port = port;
        c.known = knownRate(port);
        if (openPort(port) != nullptr) {
            int result = KAV_OK;
            OpenPort *open = live(port, result);
            if (open == nullptr)
                continue; // its device is gone: no reader there
            c.open = open->link.get();
            c.known = open->baud;
        } else {
            c.connect = [port, t = target(port)](std::uint32_t baud,
                                                 const std::function<bool()> &stop) {
                return connect(port, t.device, t.reader, baud, stop).link;
            };
        }
        candidates.push_back(std::move(c));
    }
    const int found = discovery::search(candidates);
    for (const discovery::Candidate &c : candidates) {
        if (c.found)
            setRate(c.port, *c.found);
        if (c.open != nullptr) {
            OpenPort &open = *openPort(c.port);
            keepRate(open, c.found.value_or(open.baud));
        }
    }
    return found;
}

int Library::open(int port) {
    const std::optional<std::uint32_t> known = knownRate(port);
    std::uint32_t baud = known.value_or(proto::kDefaultBaud);
    // An open port is only made live again.
    Lease link = lease(port, baud);
    if (link.open != nullptr || link.result != KAV_OK)
        return link.result;
    if (!known && !isUsb(port)) {
        // A SAM keeps a changed rate while powered: ask before assuming.
        const discovery::Probe found = discovery::probe(*link.link, std::nullopt);
        // A device that hung up while asked is no open port.
        if (found.linkFailed) {
            noteFailure(port, link.link->name() + ": the link failed while its rate was asked");
            return KAV_E_IO;
        }
        if (found.rate) {
            baud = *found.rate;
            setRate(port, baud);
        } else {
            link.link->setBaudRate(baud);
        }
    }
    std::lock_guard state(mutex_);
    open_[port] = OpenPort{std::move(link.owned), baud};
    return KAV_OK;
}

void Library::close(int port) {
    std::unique_ptr<Link> closing;
    {
        std::lock_guard state(mutex_);
        lastCards_.erase(port);
        const auto it = open_.find(port);
        if (it == open_.end())
            return;
        closing = std::move(it->second.link);
        open_.erase(it);
    }
    // Closed outside the state lock: closing traces, and a socket or tty
    // may take a moment.
    closing.reset();
}

const KavCardData *Library::lastCard(int port) {
    // The entry itself is the port's (its caller holds the port's lock);
    // the map is shared with calls on other ports.
    std::lock_guard state(mutex_);
    const auto it = lastCards_.find(port);
    return it != lastCards_.end() ? it->second.get() : nullptr;
}

void Library::setLastCard(int port, std::unique_ptr<KavCardData> card) {
    std::lock_guard state(mutex_);
    if (card)
        lastCards_[port] = std::move(card);
    else
        lastCards_.erase(port);
}

std::vector<std::pair<int, std::string>> Library::portMap() const {
    std::vector<std::pair<int, std::string>> map;
    for (int port : devices_.candidatePorts([](const std::string &) { return true; })) {
        if (const std::optional<Device> device = devices_.deviceFor(port))
            map.emplace_back(port, device->text());
    }
    return map;
}

unsigned Library::retries(int port) {
    std::lock_guard state(mutex_);
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
    if (openPort(port) != nullptr) {
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
    if (link.open != nullptr)
        keepRate(*link.open, found.value_or(link.open->baud));
    if (probe.linkFailed)
        return KAV_E_IO;
    if (!found)
        return KAV_E_TIMEOUT;
    setRate(port, *found);
    baud = *found;
    return KAV_OK;
}

int Library::setBaud(int port, std::uint32_t current, std::uint32_t next) {
    if (isUsb(port))
        return KAV_E_NOT_SUPPORTED;
    const std::optional<std::uint8_t> code = proto::baudCode(next);
    if (!code || !proto::baudCode(current))
        return KAV_E_BAD_ARGUMENT;
    if (const std::optional<Device> device = deviceFor(port);
        device && device->kind == Device::Kind::Tcp) {
        // Refused before the SAM hears of it: a SAM switched to a rate the
        // server cannot follow would answer nobody until its power goes.
        trace::line(portName(port) + " (" + device->text() +
                    "): a raw TCP port cannot change the server's rate, so the SAM's rate stays; "
                    "use rfc2217:// for a server with COM port control");
        return KAV_E_NOT_SUPPORTED;
    }
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
            setRate(port, *(answeredAt = found.rate));
    }
    // The SAM answers at the old rate, then switches.
    if (result == KAV_OK)
        setRate(port, next);
    if (link.open != nullptr)
        keepRate(*link.open, result == KAV_OK ? next : answeredAt.value_or(had));
    return result;
}

int Library::command(int port, proto::Command command, std::span<const std::uint8_t> data,
                     std::uint8_t expected, proto::Response &answer) {
    int result = KAV_OK;
    OpenPort *open = live(port, result);
    if (open == nullptr)
        return result;
    unsigned *retries = nullptr;
    {
        std::lock_guard state(mutex_);
        retries = &retries_[port]; // the node stays; its count is this port's lock holder's
    }
    result = proto::transactRepeating(*open->link, command, data, answer, open->baud, retries);
    if (result == KAV_OK)
        result = statusResult(answer, expected);
    if (result > 0) {
        // A virtual reader left without its card refuses every card
        // command; the card file says why.
        std::string why;
        {
            std::lock_guard state(mutex_);
            if (const auto it = cardErrors_.find(port); it != cardErrors_.end())
                why = "the virtual reader has no card: card file " + it->second;
        }
        if (!why.empty())
            noteFailure(port, why);
    }
    return result;
}

int Library::commandInto(int port, proto::Command command, std::uint8_t expected,
                         unsigned char *buffer, std::size_t size) {
    proto::Response answer;
    const int result = this->command(port, command, {}, expected, answer);
    if (result != KAV_OK)
        return result;
    if (answer.data.size() != size)
        return KAV_E_BAD_REPLY;
    if (buffer != nullptr)
        std::memcpy(buffer, answer.data.data(), size);
    return KAV_OK;
}

int Library::simpleCommand(int port, proto::Command command, std::span<const std::uint8_t> data) {
    proto::Response answer;
    return this->command(port, command, data, proto::kSuccess, answer);
}

int Library::sendFrame(int port, std::span<const std::uint8_t> frame,
                       std::vector<std::uint8_t> &answer) {
    int result = KAV_OK;
    OpenPort *open = live(port, result);
    if (open == nullptr)
        return result;
    Link &link = *open->link;
    // The time of the command the frame names; the longest for any other.
    const proto::Command named{frame.size() > 7 ? frame[7] : std::uint8_t{0},
                               frame.size() > 8 ? frame[8] : std::uint8_t{0}};
    const auto start = Link::Clock::now();
    const auto deadline = start + proto::commandTimeout(named, open->baud) + link.extraDelay();
    link.discardInput();
    trace::frame(link.name(), trace::Direction::ToReader, frame, "sent by hand");
    if (link.write(frame) != KAV_OK) {
        noteFailure(port, link.name() + ": the frame could not be written");
        return KAV_E_IO;
    }
    proto::FrameParser parser(proto::FrameKind::Response);
    std::vector<std::uint8_t> chunk;
    bool broken = false;
    while (Link::Clock::now() < deadline) {
        chunk.clear();
        const int rc = link.read(chunk, deadline);
        if (rc == KAV_E_TIMEOUT)
            continue;
        if (rc != KAV_OK)
            return KAV_E_IO;
        for (proto::ParseEvent &event : parser.feedAll(chunk)) {
            if (event.type == proto::ParseEvent::Type::Frame) {
                const auto decoded = proto::decodeResponse(event.bytes);
                trace::frame(link.name(), trace::Direction::FromReader, event.bytes,
                             decoded ? proto::describeResponse(*decoded) : "answer");
                answer = std::move(event.bytes);
                return KAV_OK;
            }
            if (event.type == proto::ParseEvent::Type::Noise) {
                trace::noise(link.name(), event.bytes.size());
                continue;
            }
            broken = true;
            trace::frame(link.name(), trace::Direction::FromReader, event.bytes, "broken");
        }
    }
    const std::vector<std::uint8_t> rest = parser.drain();
    if (!rest.empty())
        trace::frame(link.name(), trace::Direction::FromReader, rest, "incomplete, discarded");
    return broken || !rest.empty() ? KAV_E_BAD_FRAME : KAV_E_TIMEOUT;
}

void Library::keepRate(OpenPort &open, std::uint32_t baud) {
    open.baud = baud;
    open.link->setBaudRate(baud);
}

} // namespace kav
