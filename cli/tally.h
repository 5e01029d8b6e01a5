// What a station's run came to, said when it ends: how many checks, of
// which verdicts, and the first-pass yield (the distinct units whose first
// check passed, over the distinct units).
#pragma once

#include "station/unit.h"

#include <mutex>
#include <set>
#include <string>

namespace kav::cli {

class Tally {
  public:
    // One verdict; `identity` is the unit's serial, or its SAM ID, or empty
    // when neither is known (a unit of its own, then, that no later check
    // can be matched with). Safe to call from each port's thread.
    void add(station::Verdict verdict, const std::string &identity);

    // {"units","passed","failed","error","aborted","distinctUnits",
    //  "firstPassed","firstPassYield"}; the yield is null before any unit.
    station::Json json() const;
    std::string text() const;

  private:
    mutable std::mutex mutex_;
    long long units_ = 0, passed_ = 0, failed_ = 0, error_ = 0, aborted_ = 0;
    long long anonymous_ = 0, anonymousPassed_ = 0;
    std::set<std::string> seen_;
    long long firstPassed_ = 0;
};

} // namespace kav::cli
