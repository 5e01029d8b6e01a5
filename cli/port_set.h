// Many ports at once: which ports a command runs on (--port 1,3,5, ranges
// --port 1-16, --all), and running one job per port, each on a thread of
// its own, with the results handed back in port order. Generic on purpose:
// every command that works on many ports uses these and prints its own
// results.
//
//   std::string error;
//   const std::optional<std::vector<int>> ports = parsePortList("1,3-5", error); // {1,3,4,5}
//   const std::vector<Outcome> outcomes =
//       runOnPorts<Outcome>(*ports, [](int port) { return checkOne(port); });
//
// The library's calls on different ports run in parallel, so N ports take
// about as long as the slowest one.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kav::cli {

// Port numbers from a list of numbers and ranges separated by commas
// ("1,3,5", "1-16", "2,5-7"), ascending. nullopt, with `error` saying why,
// for empty parts, text that is no number, zero or negative numbers,
// reversed ranges ("5-3"), ports named twice and lists of more than 1024
// ports.
std::optional<std::vector<int>> parsePortList(std::string_view text, std::string &error);

// Every port where discovery finds a reader, ascending: each mapped port
// whose device may be there (a device node that exists, a network or a
// virtual device) is opened and asked for the SAM's status, all at once;
// those that get an answer (a failing status too: a SAM is there) count.
// Empty when none answers or the library gives no port map.
std::vector<int> portsWithReaders();

// Runs job(port) for every port, each on a thread of its own (on the
// calling thread when no thread can be started), and returns the results in
// the order of `ports`. Returns once every job has.
template <typename Result>
std::vector<Result> runOnPorts(const std::vector<int> &ports,
                               const std::function<Result(int port)> &job) {
    std::vector<std::optional<Result>> slots(ports.size());
    {
        std::vector<std::jthread> threads;
        threads.reserve(ports.size());
        std::vector<std::size_t> here;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            try {
                threads.emplace_back(
                    [&slots, &job, &ports, i] { slots[i].emplace(job(ports[i])); });
            } catch (const std::exception &) {
                here.push_back(i); // under a process limit: later, on this thread
            }
        }
        for (std::size_t i : here)
            slots[i].emplace(job(ports[i]));
    } // joins
    std::vector<Result> results;
    results.reserve(slots.size());
    for (std::optional<Result> &slot : slots)
        results.push_back(std::move(*slot));
    return results;
}

} // namespace kav::cli
