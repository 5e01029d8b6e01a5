// The card read as the hosts make it, on a port already open: the field
// formats the dialog shows, a fixed 80 bytes per radio exchange (whatever
// the host's own setting), find, select, the read; and what the read took
// from the card, for a library that can say it.
#pragma once

#include "KavIDCardAPI.h"

namespace kav::host {

// Bytes per radio exchange while reading.
inline constexpr int kReadMaxRfBytes = 80;

// Sex as text, nation by name, birth date in Chinese, validity with dots
// and slashes, 长期 for no end.
void setReadFieldFormats();

enum class AfterRefusal {
    GoOn, // find and select leave their verdict to the read (the dialog)
    Stop, // the first refusal ends the sequence (a script wants to know which)
};

// Each step's result; a step not taken stays KAV_OK.
struct ReadSteps {
    int maxRf = KAV_OK;
    int find = KAV_OK;
    int select = KAV_OK;
    int read = KAV_OK;

    bool ok() const { return failedCall() == nullptr; }
    // The earliest step that failed ("Kav_SetMaxRFByte", ...), or nullptr;
    // no card says more than the read that could not follow.
    const char *failedCall() const;
    int failedCode() const;
};

// The steps after the open; the record is filled by the read.
ReadSteps readCard(int port, IDCardRecord &record, AfterRefusal afterRefusal);

// What the last read of `port` took from the card (Kav_GetLastCard, which
// sends nothing to the reader): false from a library without it, or when
// it has no card to tell.
bool lastCard(int port, KavCardData &card);

} // namespace kav::host
