// Control of the fake reader library used by the dialog tests: scripted
// results and buffers, and a journal of every call with its arguments.
#pragma once

#include "KavIDCardAPI.h"

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fake {

// Forgets the journal and every script.
KAV_EXPORT void reset();

// Every call so far, e.g. "Kav_OpenPort(1)" or "Kav_GetSAMID(1,zeroed,0)".
// Buffers the caller passes show as "zeroed", "dirty" (not zero-filled) or
// "null"; texts are quoted as the GBK bytes the library received.
KAV_EXPORT std::vector<std::string> journal();

// Adds a line of the test's own to the journal (a tone, a pause), so the
// order of platform services and library calls can be checked together.
KAV_EXPORT void note(const std::string &line);

// The results an operation (by name, e.g. "Kav_OpenPort") returns, one per
// call in order; when they run out, the operation returns 0 (Kav_FindReader:
// no reader).
KAV_EXPORT void script(const std::string &operation, std::vector<int> results);

// Runs action inside every later call of the operation, after journalling
// it: the dialog is then blocked in the library, as during a slow read.
KAV_EXPORT void during(const std::string &operation, std::function<void()> action);

// What the filling operations write, whatever their result.
KAV_EXPORT void setBaud(unsigned int baud);
KAV_EXPORT void setSamId(const std::array<unsigned char, KAV_SAM_ID_SIZE> &id);
KAV_EXPORT void setRecord(const IDCardRecord &record);

// What Kav_GetLastCard gives from now on (it sends nothing to a reader).
// Until this is called, the fake has no card to give: Kav_GetLastCard
// answers KAV_CARD_NONE and is not journalled, so journals of libraries
// without it read the same.
KAV_EXPORT void setLastCard(const KavCardData &card);

// What Kav_GetWarning gives: (port, UTF-8 text) pairs; none after reset().
// Not journalled: the dialog reads the warnings once, as it starts.
KAV_EXPORT void setWarnings(std::vector<std::pair<int, std::string>> warnings);

} // namespace fake
