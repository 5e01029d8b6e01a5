// The library's trace events, as its callback gives them, turned into
// capture records as they happen: kav --capture writes them at once.
#pragma once

#include "KavIDCardAPI.h"
#include "capture/capture.h"
#include "capture/redact.h"

#include <map>
#include <optional>

namespace kav::capture {

class TraceRecorder {
  public:
    // redact: the holder's fields never reach the writer.
    TraceRecorder(PcapngWriter &writer, bool redact) : writer_(writer), redact_(redact) {}
    void add(const KavTraceEvent &event);

    // The record an event makes; its port is added to the writer when new.
    Record record(const KavTraceEvent &event);

  private:
    PcapngWriter &writer_;
    bool redact_;
    std::optional<Redactor> redactor_;
    std::vector<Port> ports_;
    std::map<std::string, std::size_t> portIndex_;
    std::map<std::string, std::string> rates_; // device -> "115200 8N1", from its open
};

} // namespace kav::capture
