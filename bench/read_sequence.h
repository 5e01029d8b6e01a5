// The bytes the dialog's read sequence moves (80 bytes per radio exchange,
// find, select, read, each command and its answer) and their wire time: the
// floor of a card read over a serial line, the reference of the read
// benchmarks.
#pragma once

#include "protocol/protocol.h"

#include <cstddef>
#include <vector>

namespace bench {

inline std::size_t exchangeBytes(kav::proto::Command command, std::size_t dataOut,
                                 std::size_t dataBack) {
    namespace proto = kav::proto;
    return proto::encodeCommand(command, std::vector<std::uint8_t>(dataOut)).size() +
           proto::encodeResponse(0, 0, proto::kSuccess, std::vector<std::uint8_t>(dataBack)).size();
}

// With fingerprint, the read is the one that brings it too: 1,024 bytes more.
inline std::size_t readSequenceBytes(bool fingerprint = false) {
    namespace proto = kav::proto;
    return exchangeBytes(proto::kSetMaxRf, 1, 0) +
           exchangeBytes(proto::kFindCard, 0, proto::kFindDataSize) +
           exchangeBytes(proto::kSelectCard, 0, proto::kSelectDataSize) +
           (fingerprint
                ? exchangeBytes(proto::kReadFingerprint, 0, proto::kFingerprintReadMaxDataSize)
                : exchangeBytes(proto::kReadCard, 0, proto::kReadDataSize));
}

inline double readSequenceWireMs(std::uint32_t baud = kav::proto::kDefaultBaud,
                                 bool fingerprint = false) {
    return double(kav::proto::wireTimeUs(readSequenceBytes(fingerprint), baud).count()) / 1000.0;
}

} // namespace bench
