// Looking for a SAM: the rate probe that opening a port and the baud query
// use, and discovery's search of every port at once, which stops shortly
// after the first reader answers.
#pragma once

#include "protocol/link.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

namespace kav::discovery {

// When discovery's probes stop: never, until a reader answers; then a
// moment later, so that readers answering together all get heard.
class StopTime {
  public:
    Link::Clock::time_point get() const;
    // The first call sets the time; later ones change nothing.
    void answered();

  private:
    static constexpr Link::Clock::duration::rep kNever = Link::Clock::duration::max().count();
    std::atomic<Link::Clock::duration::rep> at_{kNever};
};

struct Probe {
    // The rate that got a well-formed status answer, with the link left at
    // it; nullopt when none did.
    std::optional<std::uint32_t> rate;
    // The link failed (the device went away): not worth another attempt.
    bool linkFailed = false;
};

// Asks for the SAM's status at each rate, `first` first; a rate the link
// cannot take (a raw network port's server has its own) is skipped. A rate that
// answers only after an earlier one went unanswered is asked again, and
// taken only if it answers again; if not, the rates go round once more.
// Starts no attempt but the first after `stop`'s time.
Probe probe(Link &link, std::optional<std::uint32_t> first, const StopTime *stop = nullptr);

// Asks for the SAM's status once at each of `rates`, in order, and stops at
// the first that answers (the link left at it). Costs at most one status
// exchange per rate.
Probe probeOnce(Link &link, std::initializer_list<std::uint32_t> rates);

// One port to search.
struct Candidate {
    int port = 0;
    std::optional<std::uint32_t> known; // the rate last found there
    // Opens a link of the candidate's own, on the probing thread (a serial
    // link belongs to the thread that opens it); null when it cannot be
    // opened. A connection that takes time (a network port) gives up when
    // `stop` says the search has ended. Used when `open` is null.
    std::function<std::unique_ptr<Link>(std::uint32_t baud, const std::function<bool()> &stop)>
        connect;
    Link *open = nullptr;               // the port is already open here: probe through this link
    std::optional<std::uint32_t> found; // out: the rate a reader answered at
};

// Probes every candidate at once, each closed one on a thread of its own.
// The first answer ends the search a moment later; silent ports cost the
// time the reader takes to answer, not their own timeouts at every rate.
// A port whose thread cannot start is probed on the caller's thread after
// the others. Returns the lowest port among those that answered, 0 when
// none did.
int search(std::vector<Candidate> &candidates);

// For tests: every probe thread fails to start, as under a process limit.
void refuseThreadsForTesting(bool refuse);

} // namespace kav::discovery
