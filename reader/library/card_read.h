// Reading a card on an open port: the commands, the fallback when the SAM
// has no fingerprint read, the decoding by the card's layout, the photo,
// the last card. The caller holds the port's lock.
#pragma once

#include "KavIDCardAPI.h"

#include <string>

namespace kav {

class Library;

// The read behind Kav_ReadMsg and Kav_ReadCard: the card decoded by its
// type's layout, the record and the extended data filled (either may be
// null), the photo written. The last card is kept for Kav_GetLastCard. On
// an unknown layout data still holds the type and the raw blocks.
int readCard(Library &library, int port, bool withFingerprint, IDCardRecord *record,
             KavCardData *data);

// The fingerprint data alone into buffer (at least KAV_FINGERPRINT_MAX_SIZE
// bytes); a card without any gives size 0 and KAV_OK.
int readFingerprint(Library &library, int port, unsigned char *buffer, int &size);

// The appended address as UTF-8; present is false, text empty, when the
// card has none.
int readAppendedAddress(Library &library, int port, std::string &text, bool &present);

} // namespace kav
