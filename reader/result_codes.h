// The one table of result codes: every code of KavIDCardAPI.h (the
// library's own and the SAM's status bytes) with its header name, its
// English text (traces, kav), its Chinese text and hint (the dialog's
// status line) and kav's exit class. Both sides of the C boundary look
// codes up here; it needs nothing but the public header.
#pragma once

#include <span>
#include <string>

namespace kav::results {

// kav's exit classes of result codes; kav's own exit codes (cli/exit_codes.h)
// have the same numbers.
enum class Exit : int {
    Ok = 0,
    NoDevice = 2, // no reader found, or no device behind the port
    Access = 3,   // permission denied, or the port is busy
    Link = 4,     // the link failed: I/O, timeout, bad frame, unexpected answer
    Refused = 5,  // the SAM or the card refused: a status byte
    Photo = 6,    // the photo could not be written
    Other = 7,    // anything else
};

struct Code {
    int value;
    const char *name;    // as the header spells it: "KAV_E_TIMEOUT"
    const char *english; // a status byte's follows "status 0xNN " in traces
    const char *chinese; // UTF-8
    const char *hint;    // UTF-8: what to do or what it usually means; may be ""
    Exit exit;
};

// Every row, the library's codes first, then the status bytes.
std::span<const Code> table();

// The row of a code, or nullptr.
const Code *find(int value);

// Whether a code is a status byte the SAM may answer with (known or not).
constexpr bool isStatus(int value) {
    return value > 0 && value <= 0xFF;
}

// The English text of a status byte, without "status 0xNN"; "unknown
// status" for a byte the table lacks.
const char *statusText(int status);

// The Chinese text of a code (UTF-8); other codes read as unknown.
std::string chineseText(int value);

// The dialog's status line for a failed call, in UTF-8:
// "Kav_ReadMsg = -10: 照片无法写入 (...)". Some calls give a code a meaning
// of their own (Kav_FindReader's 0 is no reader).
std::string failureStatus(const char *call, int value);

// kav's class of a code: a positive code the table lacks is still a refusal.
Exit exitClass(int value);

} // namespace kav::results
