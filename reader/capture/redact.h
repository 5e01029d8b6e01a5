// Redaction: the holder's personal fields in every read answer replaced by
// fictional values of the same length and layout, each frame's checksum
// recomputed so that a right one stays right and a wrong one stays wrong
// by the same bits. Every other byte, time and fault is kept.
#pragma once

#include "capture/capture.h"

#include <map>
#include <string>

namespace kav::capture {

class Redactor {
  public:
    // Redacts one record in place; records must come in capture order (an
    // answer is known by the command sent before it on its port).
    void apply(Record &record);
    // A text trace line's frame bytes, given its port's name and direction.
    void applyBytes(const std::string &port, Direction direction, std::vector<std::uint8_t> &bytes);
    // A text that may name the holder (a photo file named after them):
    // every personal value seen so far replaced by its fictional one.
    std::string applyText(std::string text) const;

  private:
    std::map<std::string, std::uint16_t> lastCommand_; // port -> CMD << 8 | PARA
    std::map<std::string, std::string> seen_;          // real value (UTF-8) -> fictional
    std::vector<std::string> portNames_;

  public:
    // The port names records' indexes refer to.
    void setPorts(const std::vector<Port> &ports);
};

void redact(Capture &capture);
// The text trace, line by line: frame bytes and texts redacted, the rest
// of every line as it was.
std::string redactTextTrace(std::string_view text);

} // namespace kav::capture
