#include "discovery.h"

#include "KavIDCardAPI.h"
#include "devicemap.h"
#include "protocol/protocol.h"
#include "protocol/trace.h"
#include "protocol/transact.h"

#include <algorithm>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

namespace kav::discovery {
namespace {

using Clock = Link::Clock;

// How soon a probe waiting on a silent port notices that it may stop.
constexpr std::chrono::milliseconds kStopCheck{10};
// Readers whose answers come this close to the first one's answered
// together: the lower port wins, whichever thread ran first.
constexpr std::chrono::milliseconds kAnswerGrace{50};

// A link whose waits end, as timeouts, at the stop time: discovery stops the
// probes still waiting on silent ports once a reader has answered. Never
// before the grace has passed since this probe began, though: on a busy
// machine a probe may start after another reader answered, and its reader
// gets the same time to answer as the others had.
class StoppableLink final : public Link {
  public:
    StoppableLink(Link &inner, const StopTime &stop)
        : inner_(inner), stop_(stop), floor_(Clock::now() + kAnswerGrace) {}

    std::string name() const override { return inner_.name(); }
    int write(std::span<const std::uint8_t> bytes) override { return inner_.write(bytes); }
    int read(std::vector<std::uint8_t> &out, Clock::time_point deadline) override {
        for (;;) {
            const Clock::time_point stop = std::max(stop_.get(), floor_);
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
    bool broken() override { return inner_.broken(); }
    std::chrono::milliseconds extraDelay() const override { return inner_.extraDelay(); }

  private:
    Link &inner_;
    const StopTime &stop_;
    const Clock::time_point floor_;
};

// One status exchange at `baud`: KAV_OK for any well-formed answer.
int askStatus(Link &link, std::uint32_t baud) {
    proto::Response answer;
    return proto::transact(link, proto::kSamStatus, {}, answer,
                           proto::commandTimeout(proto::kSamStatus, baud));
}

} // namespace

Link::Clock::time_point StopTime::get() const {
    return Clock::time_point{Clock::duration{at_.load(std::memory_order_acquire)}};
}

void StopTime::answered() {
    auto unset = Clock::duration::rep{kNever};
    const auto at = (Clock::now() + kAnswerGrace).time_since_epoch().count();
    at_.compare_exchange_strong(unset, at, std::memory_order_acq_rel);
}

Probe probe(Link &link, std::optional<std::uint32_t> first, const StopTime *stop) {
    std::vector<std::uint32_t> order;
    if (first)
        order.push_back(*first);
    for (const proto::BaudRate &rate : proto::kBaudRates)
        if (!first || rate.baud != *first)
            order.push_back(rate.baud);
    // An answer that came only after an earlier rate went unanswered may be
    // that earlier rate's answer, late (the SAM was still busy, say, sending
    // a read to a client that was killed): it counts once a second status
    // at the same rate is answered too. When that one is not, the rates go
    // round once more, the SAM no longer busy.
    bool missed = false;
    bool asked = false;
    for (int round = 0; round < 2; ++round) {
        bool unconfirmed = false;
        for (std::uint32_t baud : order) {
            // The first rate is always asked: a probe that began late is
            // still heard (its link gives it the grace).
            if (asked && stop != nullptr && Clock::now() >= stop->get())
                return {};
            const int set = link.setBaudRate(baud);
            if (set == KAV_E_NOT_SUPPORTED)
                continue;
            if (set != KAV_OK)
                return {std::nullopt, true};
            asked = true;
            int result = askStatus(link, baud);
            if (result == KAV_OK && missed) {
                trace::line(link.name() + ": answered at " + std::to_string(baud) +
                            " baud after a silence; asking again at that rate");
                result = askStatus(link, baud);
                unconfirmed = result != KAV_OK && result != KAV_E_IO;
                if (unconfirmed)
                    break;
            }
            // Any well-formed answer, even a failing status, means a SAM is there.
            if (result == KAV_OK)
                return {baud, false};
            if (result == KAV_E_IO)
                return {std::nullopt, true};
            missed = true;
        }
        if (!unconfirmed)
            break;
    }
    return {};
}

Probe probeOnce(Link &link, std::initializer_list<std::uint32_t> rates) {
    for (std::uint32_t baud : rates) {
        const int set = link.setBaudRate(baud);
        if (set == KAV_E_NOT_SUPPORTED)
            continue;
        if (set != KAV_OK)
            return {std::nullopt, true};
        const int result = askStatus(link, baud);
        if (result == KAV_OK)
            return {baud, false};
        if (result == KAV_E_IO)
            return {std::nullopt, true};
    }
    return {};
}

namespace {

// Set by the tests: starting a thread fails as under a process limit.
std::atomic<bool> threadsRefused{false};

std::jthread startThread(std::function<void()> body) {
    if (threadsRefused.load(std::memory_order_relaxed))
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "thread refused for testing");
    return std::jthread(std::move(body));
}

// One closed candidate, on whichever thread runs it.
void probeClosed(Candidate &c, StopTime &stop) {
    // A connection still pending when the search has ended (an address
    // that never answers) is given up then, after the same grace a
    // started probe gets.
    const Clock::time_point floor = Clock::now() + kAnswerGrace;
    const std::unique_ptr<Link> link =
        c.connect(c.known.value_or(proto::kDefaultBaud),
                  [&stop, floor] { return Clock::now() >= std::max(stop.get(), floor); });
    if (!link) {
        trace::line(portName(c.port) + ": skipped while looking for readers");
        return;
    }
    StoppableLink stoppable(*link, stop);
    c.found = probe(stoppable, c.known.value_or(proto::kDefaultBaud), &stop).rate;
    if (c.found)
        stop.answered();
}

} // namespace

void refuseThreadsForTesting(bool refuse) {
    threadsRefused.store(refuse, std::memory_order_relaxed);
}

int search(std::vector<Candidate> &candidates) {
    StopTime stop;
    std::vector<std::jthread> threads;
    threads.reserve(candidates.size());
    // Under a process or memory limit a thread may not start: those ports
    // are probed here, one after another, never skipped.
    std::vector<Candidate *> here;
    here.reserve(candidates.size());
    for (Candidate &c : candidates) {
        if (c.open != nullptr)
            continue;
        try {
            threads.push_back(startThread([&c, &stop] { probeClosed(c, stop); }));
        } catch (const std::exception &e) { // std::system_error, or no memory for one
            trace::line(portName(c.port) + ": no thread to probe it on (" + e.what() +
                        "); probed after the others");
            here.push_back(&c);
        }
    }
    // Ports open here are probed through their own link, on this thread,
    // while the others run.
    for (Candidate &c : candidates) {
        if (c.open == nullptr)
            continue;
        StoppableLink stoppable(*c.open, stop);
        c.found = probe(stoppable, c.known, &stop).rate;
        if (c.found)
            stop.answered();
    }
    for (Candidate *c : here)
        probeClosed(*c, stop);
    threads.clear(); // joins

    int found = KAV_NO_PORT;
    for (const Candidate &c : candidates)
        if (c.found && (found == KAV_NO_PORT || c.port < found))
            found = c.port;
    if (found != KAV_NO_PORT)
        trace::line(portName(found) + ": a reader answered; the other ports' probes stopped");
    return found;
}

} // namespace kav::discovery
