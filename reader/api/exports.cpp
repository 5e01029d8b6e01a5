// The exported operations: thin wrappers over the library's layers. Each
// one takes its turn (the lock of its port, or for a moment the state
// lock), traces its arguments and result, and lets no exception cross the
// C boundary.
#include "KavIDCardAPI.h"

#include "card/carddata.h"
#include "card/cardtext.h"
#include "card/record.h"
#include "card/utf16.h"
#include "codepage936.h"
#include "library.h"
#include "photo/photostore.h"
#include "protocol/trace.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

using kav::Library;
namespace proto = kav::proto;

enum class Returns { ResultCode, Port };

// Whose turn a call waits for: a call on a port holds that port's lock for
// all its exchanges, so calls on other ports run meanwhile; a settings call
// holds the state lock for its moment; the search takes the locks of the
// ports it probes itself.
struct Turn {
    enum class Kind { Settings, Port, Search };
    Kind kind = Kind::Settings;
    int port = 0;
};
constexpr Turn kSettings{};
constexpr Turn kSearch{Turn::Kind::Search, 0};
constexpr Turn onPort(int port) {
    return {Turn::Kind::Port, port};
}

template <typename Body>
int guarded(const std::string &call, Body body, Returns returns = Returns::ResultCode,
            Turn turn = kSettings) {
    if (kav::trace::insideCallback()) {
        // The lock is held by the call that traced, on this thread or one
        // waiting for this one: waiting for it would never end.
        const int refused = returns == Returns::Port ? static_cast<int>(KAV_NO_PORT)
                                                     : static_cast<int>(KAV_E_IN_CALLBACK);
        kav::trace::line(call + " refused: called from inside the trace callback");
        return refused;
    }
    Library &library = Library::instance();
    std::unique_lock<std::mutex> lock;
    if (turn.kind == Turn::Kind::Port)
        lock = library.lockPort(turn.port);
    else if (turn.kind == Turn::Kind::Settings)
        lock = std::unique_lock(library.mutex());
    // A search that failed found nothing; any other call failed.
    int result =
        returns == Returns::Port ? static_cast<int>(KAV_NO_PORT) : static_cast<int>(KAV_E_INTERNAL);
    try {
        result = body(library);
    } catch (const std::exception &e) {
        kav::trace::line(call + ": " + e.what());
    } catch (...) {
        kav::trace::line(call + ": unexpected failure");
    }
    if (returns == Returns::Port)
        kav::trace::operation(call + " = port " + std::to_string(result), result);
    else
        kav::trace::operation(
            call + " = " + std::to_string(result) + " (" + Kav_ResultText(result) + ")", result);
    return result;
}

std::string args(int a) {
    return std::to_string(a);
}
template <typename... Rest> std::string args(int a, Rest... rest) {
    return std::to_string(a) + ", " + args(rest...);
}

// A command whose success answer carries `size` bytes for the caller's buffer.
int commandInto(Library &library, int port, proto::Command command, std::uint8_t expected,
                unsigned char *buffer, std::size_t size) {
    proto::Response answer;
    const int result = library.command(port, command, {}, expected, answer);
    if (result != KAV_OK)
        return result;
    if (answer.data.size() != size)
        return KAV_E_BAD_REPLY;
    if (buffer != nullptr)
        std::memcpy(buffer, answer.data.data(), size);
    return KAV_OK;
}

int simpleCommand(Library &library, int port, proto::Command command,
                  std::span<const std::uint8_t> data = {}) {
    proto::Response answer;
    return library.command(port, command, data, proto::kSuccess, answer);
}

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

// One read: the plain one, or with the fingerprint. A SAM that answers the
// fingerprint read with "no such content" instead of a zero length gets the
// card found, selected and read again without it.
int readBlocks(Library &library, int port, bool withFingerprint, proto::Response &answer,
               ReadBlocks &blocks) {
    if (withFingerprint) {
        int result = library.command(port, proto::kReadFingerprint, {}, proto::kSuccess, answer);
        if (result == KAV_OK) {
            const std::optional<proto::FingerprintReadAnswer> read =
                proto::decodeFingerprintReadAnswer(answer.data);
            if (!read)
                return KAV_E_BAD_REPLY;
            blocks = {read->text, read->photo, read->fingerprint};
            return KAV_OK;
        }
        if (result != KAV_SW_NO_CONTENT)
            return result;
        kav::trace::line(kav::portName(port) +
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

std::string letterForTrace(const kav::card::CardText &card) {
    char code[8];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(card.letter));
    const std::string shown = kav::card::letterText(card.letter);
    return std::string(code) + (shown.empty() ? "" : " '" + shown + "'");
}

// The read behind Kav_ReadMsg and Kav_ReadCard: the card decoded by its
// type's layout, the record and the extended data filled (either may be
// null), the photo written. The last card is kept for Kav_GetLastCard.
int readCard(Library &library, int port, bool withFingerprint, IDCardRecord *record,
             KavCardData *data) {
    namespace card = kav::card;
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
        kav::trace::line("card type letter " + letterForTrace(text) +
                         ": a layout this library does not know; nothing decoded, no photo "
                         "written");
        if (record != nullptr)
            std::memset(record, 0, sizeof *record);
        return handOver(KAV_E_UNKNOWN_LAYOUT);
    }
    const proto::CardLayout *layout = card::layoutOf(text);
    if (text.type != card::CardType::Resident)
        kav::trace::line(std::string("card type ") + letterForTrace(text) + ": " + layout->name);

    IDCardRecord filledRecord;
    for (card::Field cut : card::fillRecord(text, formats, filledRecord))
        kav::trace::line("field " + std::to_string(static_cast<int>(cut)) +
                         " cut to fit the record");
    // The photo is named after the record's name and number, as mapped.
    const std::array<std::u16string, card::kFieldCount> mapped = card::recordFields(text);
    const kav::photo::StoredPhoto stored = kav::photo::storePhoto(
        library.photoNow(), blocks.photo, mapped[static_cast<std::size_t>(card::Field::Name)],
        mapped[static_cast<std::size_t>(card::Field::IdNumber)]);
    kav::trace::line(stored.note);
    if (stored.result != KAV_OK) {
        if (record != nullptr)
            std::memset(record, 0, sizeof *record);
        if (data != nullptr)
            std::memset(reinterpret_cast<unsigned char *>(data) + sizeof data->size, 0,
                        sizeof *data - sizeof data->size);
        return stored.result;
    }
    kav::cp936::copyToField(stored.pathGbk, filledRecord.photoFile, sizeof filledRecord.photoFile);
    card::copyUtf8(stored.path, filled->photoFile, sizeof filled->photoFile);
    if (record != nullptr)
        *record = filledRecord;
    return handOver(KAV_OK);
}

// A caller's KavCardData: present and at least this header's size.
bool usable(const KavCardData *data) {
    return data != nullptr && data->size >= sizeof(KavCardData);
}

void clearCardData(KavCardData &data) {
    std::memset(&data, 0, sizeof data);
    data.size = sizeof data;
}

} // namespace

extern "C" {

KAV_EXPORT int KAV_CALL Kav_FindReader(void) {
    return guarded(
        "Kav_FindReader()", [](Library &l) -> int { return l.findReader(); }, Returns::Port,
        kSearch);
}

KAV_EXPORT int KAV_CALL Kav_OpenPort(int port) {
    return guarded(
        "Kav_OpenPort(" + args(port) + ")", [=](Library &l) -> int { return l.open(port); },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_ClosePort(int port) {
    return guarded(
        "Kav_ClosePort(" + args(port) + ")",
        [=](Library &l) -> int {
            l.close(port);
            return KAV_OK;
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_GetCOMBaud(int port, unsigned int *baud) {
    return guarded(
        "Kav_GetCOMBaud(" + args(port) + ")",
        [=](Library &l) -> int {
            if (baud == nullptr)
                return KAV_E_BAD_ARGUMENT;
            std::uint32_t found = 0;
            const int result = l.getBaud(port, found);
            if (result == KAV_OK)
                *baud = found;
            return result;
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_SetCOMBaud(int port, int currentBaud, int newBaud) {
    return guarded(
        "Kav_SetCOMBaud(" + args(port, currentBaud, newBaud) + ")",
        [=](Library &l) -> int {
            if (currentBaud <= 0 || newBaud <= 0)
                return KAV_E_BAD_ARGUMENT;
            return l.setBaud(port, static_cast<std::uint32_t>(currentBaud),
                             static_cast<std::uint32_t>(newBaud));
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_SetMaxRFByte(int port, int count, int flag) {
    return guarded(
        "Kav_SetMaxRFByte(" + args(port, count, flag) + ")",
        [=](Library &l) -> int {
            if (count < proto::kMinMaxRf || count > proto::kMaxMaxRf)
                return KAV_E_BAD_ARGUMENT;
            const std::uint8_t data[] = {static_cast<std::uint8_t>(count)};
            return simpleCommand(l, port, proto::kSetMaxRf, data);
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_GetSAMStatus(int port, int flag) {
    return guarded(
        "Kav_GetSAMStatus(" + args(port, flag) + ")",
        [=](Library &l) -> int { return simpleCommand(l, port, proto::kSamStatus); },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_ResetSAM(int port, int flag) {
    return guarded(
        "Kav_ResetSAM(" + args(port, flag) + ")",
        [=](Library &l) -> int { return simpleCommand(l, port, proto::kResetSam); },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_GetSAMID(int port, unsigned char *samId, int flag) {
    return guarded(
        "Kav_GetSAMID(" + args(port, flag) + ")",
        [=](Library &l) -> int {
            if (samId == nullptr)
                return KAV_E_BAD_ARGUMENT;
            return commandInto(l, port, proto::kSamId, proto::kSuccess, samId, KAV_SAM_ID_SIZE);
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_StartFindIDCard(int port, unsigned char *findBuffer, int flag) {
    return guarded(
        "Kav_StartFindIDCard(" + args(port, flag) + ")",
        [=](Library &l) -> int {
            return commandInto(l, port, proto::kFindCard, proto::kFindSuccess, findBuffer,
                               KAV_FIND_BUFFER_SIZE);
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_SelectIDCard(int port, unsigned char *selectBuffer, int flag) {
    return guarded(
        "Kav_SelectIDCard(" + args(port, flag) + ")",
        [=](Library &l) -> int {
            return commandInto(l, port, proto::kSelectCard, proto::kSuccess, selectBuffer,
                               KAV_SELECT_BUFFER_SIZE);
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_ReadMsg(int port, int flag, IDCardRecord *record) {
    return guarded(
        "Kav_ReadMsg(" + args(port, flag) + ")",
        [=](Library &l) -> int {
            if (record == nullptr)
                return KAV_E_BAD_ARGUMENT;
            return readCard(l, port, false, record, nullptr);
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_ReadCard(int port, int flags, KavCardData *data) {
    return guarded(
        "Kav_ReadCard(" + args(port, flags) + ")",
        [=](Library &l) -> int {
            if (!usable(data) || (flags & ~KAV_READ_FINGERPRINT) != 0)
                return KAV_E_BAD_ARGUMENT;
            clearCardData(*data);
            const int result =
                readCard(l, port, (flags & KAV_READ_FINGERPRINT) != 0, nullptr, data);
            if (result != KAV_OK && result != KAV_E_UNKNOWN_LAYOUT)
                clearCardData(*data);
            return result;
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_GetLastCard(int port, KavCardData *data) {
    return guarded(
        "Kav_GetLastCard(" + args(port) + ")",
        [=](Library &l) -> int {
            if (!usable(data))
                return KAV_E_BAD_ARGUMENT;
            if (const KavCardData *last = l.lastCard(port))
                *data = *last;
            else
                clearCardData(*data);
            return KAV_OK;
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_ReadFingerprint(int port, unsigned char *buffer, int bufferSize,
                                            int *size) {
    return guarded(
        "Kav_ReadFingerprint(" + args(port, bufferSize) + ")",
        [=](Library &l) -> int {
            if (buffer == nullptr || size == nullptr || bufferSize < KAV_FINGERPRINT_MAX_SIZE)
                return KAV_E_BAD_ARGUMENT;
            proto::Response answer;
            const Wiped wiped(answer.data);
            int result = l.command(port, proto::kReadFingerprint, {}, proto::kSuccess, answer);
            if (result == KAV_SW_NO_CONTENT) {
                *size = 0;
                return KAV_OK;
            }
            if (result != KAV_OK)
                return result;
            const std::optional<proto::FingerprintReadAnswer> read =
                proto::decodeFingerprintReadAnswer(answer.data);
            if (!read)
                return KAV_E_BAD_REPLY;
            std::copy(read->fingerprint.begin(), read->fingerprint.end(), buffer);
            *size = static_cast<int>(read->fingerprint.size());
            return KAV_OK;
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_ReadAppendedAddress(int port, char *address, int addressSize,
                                                int *present) {
    return guarded(
        "Kav_ReadAppendedAddress(" + args(port, addressSize) + ")",
        [=](Library &l) -> int {
            if (address == nullptr || present == nullptr || addressSize <= 0)
                return KAV_E_BAD_ARGUMENT;
            proto::Response answer;
            const int result = l.command(port, proto::kReadAddress, {}, proto::kSuccess, answer);
            std::string text;
            if (result == KAV_OK) {
                if (answer.data.size() != proto::kAddressSize)
                    return KAV_E_BAD_REPLY;
                text = kav::card::toUtf8(kav::card::decodeTextField(answer.data));
            } else if (result != KAV_SW_NO_CONTENT) {
                return result;
            }
            if (text.size() >= static_cast<std::size_t>(addressSize))
                return KAV_E_BAD_ARGUMENT;
            std::memcpy(address, text.c_str(), text.size() + 1);
            *present = result == KAV_OK ? 1 : 0;
            return KAV_OK;
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_SetSexType(int code) {
    return guarded("Kav_SetSexType(" + args(code) + ")",
                   [=](Library &l) -> int { return l.formats().setSex(code); });
}

KAV_EXPORT int KAV_CALL Kav_SetNationType(int code) {
    return guarded("Kav_SetNationType(" + args(code) + ")",
                   [=](Library &l) -> int { return l.formats().setNation(code); });
}

KAV_EXPORT int KAV_CALL Kav_SetBornType(int code) {
    return guarded("Kav_SetBornType(" + args(code) + ")",
                   [=](Library &l) -> int { return l.formats().setBorn(code); });
}

KAV_EXPORT int KAV_CALL Kav_SetUserLifeBType(int code) {
    return guarded("Kav_SetUserLifeBType(" + args(code) + ")",
                   [=](Library &l) -> int { return l.formats().setValidFrom(code); });
}

KAV_EXPORT int KAV_CALL Kav_SetUserLifeEType(int code, int noEndDateCode) {
    return guarded(
        "Kav_SetUserLifeEType(" + args(code, noEndDateCode) + ")",
        [=](Library &l) -> int { return l.formats().setValidUntil(code, noEndDateCode); });
}

KAV_EXPORT int KAV_CALL Kav_SetPhotoPath(int option, const char *path) {
    // Never read past the buffer the interface allows, NUL or not.
    const std::string_view given = path != nullptr
                                       ? std::string_view(path, strnlen(path, KAV_PATH_BUFFER_SIZE))
                                       : std::string_view();
    const std::string shown = path != nullptr ? kav::cp936::toUtf8(given) : std::string("(null)");
    return guarded(
        "Kav_SetPhotoPath(" + args(option) + ", \"" + shown + "\")", [=](Library &l) -> int {
            // A folder that cannot take photos is refused now, not at every
            // read that follows.
            kav::photo::PhotoSettings wanted = l.photo();
            int result = KAV_OK;
            if (option != KAV_PHOTO_IN_FOLDER) {
                result = wanted.setPath(option);
            } else {
                if (path == nullptr || given.size() > KAV_PHOTO_FOLDER_MAX)
                    return KAV_E_BAD_ARGUMENT;
                const std::optional<std::string> folder = kav::photo::folderFromGbk(given);
                if (!folder)
                    return KAV_E_BAD_ARGUMENT;
                result = wanted.setPath(option, *folder);
            }
            if (result != KAV_OK)
                return result;
            std::string why;
            if ((result = kav::photo::checkFolder(wanted, why)) != KAV_OK) {
                kav::trace::line("photo folder refused: " + why);
                return result;
            }
            l.photo() = wanted;
            return KAV_OK;
        });
}

KAV_EXPORT int KAV_CALL Kav_GetMappedPort(int index, int *port, char *device, int deviceSize) {
    return guarded("Kav_GetMappedPort(" + args(index) + ")", [=](Library &l) -> int {
        if (port == nullptr || device == nullptr || deviceSize <= 0 || index < 0)
            return KAV_E_BAD_ARGUMENT;
        const std::vector<std::pair<int, std::string>> map = l.portMap();
        if (static_cast<std::size_t>(index) >= map.size())
            return KAV_E_NO_DEVICE;
        const auto &[mapped, name] = map[static_cast<std::size_t>(index)];
        if (name.size() >= static_cast<std::size_t>(deviceSize))
            return KAV_E_BAD_ARGUMENT;
        std::memcpy(device, name.c_str(), name.size() + 1);
        *port = mapped;
        return KAV_OK;
    });
}

KAV_EXPORT int KAV_CALL Kav_GetWarning(int index, int *port, char *text, int textSize) {
    return guarded("Kav_GetWarning(" + args(index) + ")", [=](Library &l) -> int {
        if (port == nullptr || text == nullptr || textSize <= 0 || index < 0)
            return KAV_E_BAD_ARGUMENT;
        const std::vector<Library::Warning> warnings = l.warnings();
        if (static_cast<std::size_t>(index) >= warnings.size())
            return KAV_E_NO_DEVICE;
        const Library::Warning &warning = warnings[static_cast<std::size_t>(index)];
        if (warning.text.size() >= static_cast<std::size_t>(textSize))
            return KAV_E_BAD_ARGUMENT;
        std::memcpy(text, warning.text.c_str(), warning.text.size() + 1);
        *port = warning.port;
        return KAV_OK;
    });
}

KAV_EXPORT int KAV_CALL Kav_GetRetryCount(int port, unsigned int *count) {
    return guarded(
        "Kav_GetRetryCount(" + args(port) + ")",
        [=](Library &l) -> int {
            if (count == nullptr)
                return KAV_E_BAD_ARGUMENT;
            *count = l.retries(port);
            return KAV_OK;
        },
        Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_SetTraceCallback(KavTraceCallback callback, void *context) {
    // Not under the library's lock: a host may switch its monitor while
    // another thread is inside a long operation, and the callback may
    // remove or replace itself.
    kav::trace::setCallback(callback, context);
    kav::trace::line(callback != nullptr ? "trace callback set" : "trace callback removed");
    return KAV_OK;
}

KAV_EXPORT int KAV_CALL Kav_SetPhotoType(int type) {
    return guarded("Kav_SetPhotoType(" + args(type) + ")",
                   [=](Library &l) -> int { return l.photo().setType(type); });
}

KAV_EXPORT int KAV_CALL Kav_SetPhotoName(int scheme) {
    return guarded("Kav_SetPhotoName(" + args(scheme) + ")",
                   [=](Library &l) -> int { return l.photo().setNameScheme(scheme); });
}

} // extern "C"
