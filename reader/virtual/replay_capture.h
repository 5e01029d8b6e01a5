// A capture turned into what the replaying reader answers.
#pragma once

#include "capture/capture.h"
#include "virtual/replay.h"

#include <string>

namespace kav::virt {

// The exchanges of one port of the capture: the first port that received
// a command unless `port` names one (by its interface name). Throws
// std::runtime_error when no port fits.
ReplayScript scriptFromCapture(const capture::Capture &capture, const std::string &port = {});

} // namespace kav::virt
