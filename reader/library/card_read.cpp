#include "card_read.h"

#include "card/carddata.h"
#include "card/cardtext.h"
#include "card/record.h"
#include "card/utf16.h"
#include "codepage936.h"
#include "library.h"
#include "photo/photostore.h"
#include "protocol/trace.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace kav {
namespace {

// Overwrites a buffer that held fingerprint data, so no copy of it stays
// in freed memory.
void wipe(std::vector<std::uint8_t> &bytes) {
    volatile std::uint8_t *p = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        p[i] = 0;
    bytes.clear();
}

class Wiped {
  public:
    explicit Wiped(std::vector<std::uint8_t> &bytes) : bytes_(bytes) {}
    ~Wiped() { wipe(bytes_); }
    Wiped(const Wiped &) = delete;
    Wiped &operator=(const Wiped &) = delete;

  private:
    std::vector<std::uint8_t> &bytes_;
};

// What a card read brought: the blocks point into the answer.
struct ReadBlocks {
    std::span<const std::uint8_t> text, photo, fingerprint;
};

// The read with the fingerprint: the SAM's status as the result, the
// answer decoded when it is a success.
int fingerprintRead(Library &library, int port, proto::Response &answer,
                    std::optional<proto::FingerprintReadAnswer> &read) {
    const int result = library.command(port, proto::kReadFingerprint, {}, proto::kSuccess, answer);
    if (result != KAV_OK)
        return result;
    read = proto::decodeFingerprintReadAnswer(answer.data);
    return read ? KAV_OK : KAV_E_BAD_REPLY;
}

// One read: the plain one, or with the fingerprint. A SAM that answers the
// fingerprint read with "no such content" instead of a zero length gets the
// card found, selected and read again without it.
int readBlocks(Library &library, int port, bool withFingerprint, proto::Response &answer,
               ReadBlocks &blocks) {
    if (withFingerprint) {
        std::optional<proto::FingerprintReadAnswer> read;
        int result = fingerprintRead(library, port, answer, read);
        if (result == KAV_OK) {
            blocks = {read->text, read->photo, read->fingerprint};
            return KAV_OK;
        }
        if (result != KAV_SW_NO_CONTENT)
            return result;
        trace::line(portName(port) +
                    ": no fingerprint data on the card (status 0x91); reading text and "
                    "photo alone");
        if ((result = library.command(port, proto::kFindCard, {}, proto::kFindSuccess, answer)) !=
                KAV_OK ||
            (result = library.command(port, proto::kSelectCard, {}, proto::kSuccess, answer)) !=
                KAV_OK)
            return result;
    }
    const int result = library.command(port, proto::kReadCard, {}, proto::kSuccess, answer);
    if (result != KAV_OK)
        return result;
    // transact took only an answer of the protocol's fixed layout; decoding
    // again keeps this safe on its own.
    const std::optional<proto::ReadAnswer> read = proto::decodeReadAnswer(answer.data);
    if (!read)
        return KAV_E_BAD_REPLY;
    blocks = {read->text, read->photo, {}};
    return KAV_OK;
}

std::string letterForTrace(const card::CardText &card) {
    char code[8];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(card.letter));
    const std::string shown = card::letterText(card.letter);
    return std::string(code) + (shown.empty() ? "" : " '" + shown + "'");
}

} // namespace

int readCard(Library &library, int port, bool withFingerprint, IDCardRecord *record,
             KavCardData *data) {
    library.setLastCard(port, nullptr);
    proto::Response answer;
    const Wiped wiped(answer.data);
    ReadBlocks blocks;
    if (const int result = readBlocks(library, port, withFingerprint, answer, blocks);
        result != KAV_OK)
        return result;

    const card::CardText text = card::decodeTextBlock(blocks.text);
    // The settings as they are now: another thread may change them while
    // this port works.
    const card::FieldFormats formats = library.formatsNow();
    auto filled = std::make_unique<KavCardData>();
    card::fillCardData(text, formats, blocks.text, blocks.photo, *filled);

    const auto handOver = [&](int result) {
        library.setLastCard(port, std::make_unique<KavCardData>(*filled));
        if (data == nullptr)
            return result;
        *data = *filled;
        if (withFingerprint) {
            data->fingerprintRead = 1;
            data->fingerprintSize = static_cast<int>(blocks.fingerprint.size());
            std::copy(blocks.fingerprint.begin(), blocks.fingerprint.end(), data->fingerprint);
        }
        return result;
    };

    if (text.type == card::CardType::Unknown) {
        const std::string why =
            "card type letter " + letterForTrace(text) + ": a layout this library does not know";
        trace::line(why + "; nothing decoded, no photo written");
        library.noteFailure(port, why);
        if (record != nullptr)
            std::memset(record, 0, sizeof *record);
        return handOver(KAV_E_UNKNOWN_LAYOUT);
    }
    const proto::CardLayout *layout = card::layoutOf(text);
    if (text.type != card::CardType::Resident)
        trace::line(std::string("card type ") + letterForTrace(text) + ": " + layout->name);

    IDCardRecord filledRecord;
    for (card::Field cut : card::fillRecord(text, formats, filledRecord))
        trace::line("field " + std::to_string(static_cast<int>(cut)) + " cut to fit the record");
    // The photo is named after the record's name and number, as mapped.
    const std::array<std::u16string, card::kFieldCount> mapped = card::recordFields(text);
    const photo::StoredPhoto stored = photo::storePhoto(
        library.photoNow(), blocks.photo, mapped[static_cast<std::size_t>(card::Field::Name)],
        mapped[static_cast<std::size_t>(card::Field::IdNumber)]);
    trace::line(stored.note);
    if (stored.result != KAV_OK) {
        library.noteFailure(port, stored.note);
        if (record != nullptr)
            std::memset(record, 0, sizeof *record);
        if (data != nullptr)
            std::memset(reinterpret_cast<unsigned char *>(data) + sizeof data->size, 0,
                        sizeof *data - sizeof data->size);
        return stored.result;
    }
    cp936::copyToField(stored.pathGbk, filledRecord.photoFile, sizeof filledRecord.photoFile);
    card::copyUtf8(stored.path, filled->photoFile, sizeof filled->photoFile);
    if (record != nullptr)
        *record = filledRecord;
    return handOver(KAV_OK);
}

int readFingerprint(Library &library, int port, unsigned char *buffer, int &size) {
    proto::Response answer;
    const Wiped wiped(answer.data);
    std::optional<proto::FingerprintReadAnswer> read;
    const int result = fingerprintRead(library, port, answer, read);
    if (result == KAV_SW_NO_CONTENT) {
        size = 0;
        return KAV_OK;
    }
    if (result != KAV_OK)
        return result;
    std::copy(read->fingerprint.begin(), read->fingerprint.end(), buffer);
    size = static_cast<int>(read->fingerprint.size());
    return KAV_OK;
}

int readAppendedAddress(Library &library, int port, std::string &text, bool &present) {
    proto::Response answer;
    const int result = library.command(port, proto::kReadAddress, {}, proto::kSuccess, answer);
    text.clear();
    present = result == KAV_OK;
    if (result == KAV_SW_NO_CONTENT)
        return KAV_OK;
    if (result != KAV_OK)
        return result;
    if (answer.data.size() != proto::kAddressSize)
        return KAV_E_BAD_REPLY;
    text = card::toUtf8(card::decodeTextField(answer.data));
    return KAV_OK;
}

} // namespace kav
