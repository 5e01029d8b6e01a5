// The exported operations: thin wrappers over the library's layers. Each
// one takes its turn (the lock of its port, or for a moment the state
// lock), traces its arguments and result, and lets no exception cross the
// C boundary.
#include "KavIDCardAPI.h"

#include "card/cardtext.h"
#include "card/record.h"
#include "codepage936.h"
#include "library.h"
#include "photo/photostore.h"
#include "protocol/trace.h"

#include <cstring>
#include <exception>
#include <string>

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
    int result = returns == Returns::Port ? static_cast<int>(KAV_NO_PORT)
                                          : static_cast<int>(KAV_E_INTERNAL);
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

std::string args(int a) { return std::to_string(a); }
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

int readCard(Library &library, int port, IDCardRecord &record) {
    proto::Response answer;
    int result = library.command(port, proto::kReadCard, {}, proto::kSuccess, answer);
    if (result != KAV_OK)
        return result;
    // transact took only an answer of the protocol's fixed layout; decoding
    // again keeps this safe on its own.
    const std::optional<proto::ReadAnswer> read = proto::decodeReadAnswer(answer.data);
    if (!read)
        return KAV_E_BAD_REPLY;
    const std::span<const std::uint8_t> photo = read->photo;

    const kav::card::CardText card = kav::card::decodeTextBlock(read->text);
    // The settings as they are now: another thread may change them while
    // this port works.
    const kav::card::FieldFormats formats = library.formatsNow();
    for (kav::card::Field cut : kav::card::fillRecord(card, formats, record))
        kav::trace::line("field " + std::to_string(static_cast<int>(cut)) +
                         " cut to fit the record");
    const kav::photo::StoredPhoto stored = kav::photo::storePhoto(
        library.photoNow(), photo, card[kav::card::Field::Name], card[kav::card::Field::IdNumber]);
    kav::trace::line(stored.note);
    if (stored.result != KAV_OK) {
        std::memset(&record, 0, sizeof record);
        return stored.result;
    }
    kav::cp936::copyToField(stored.pathGbk, record.photoFile, sizeof record.photoFile);
    return KAV_OK;
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
    return guarded("Kav_ClosePort(" + args(port) + ")", [=](Library &l) -> int {
        l.close(port);
        return KAV_OK;
    }, Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_GetCOMBaud(int port, unsigned int *baud) {
    return guarded("Kav_GetCOMBaud(" + args(port) + ")", [=](Library &l) -> int {
        if (baud == nullptr)
            return KAV_E_BAD_ARGUMENT;
        std::uint32_t found = 0;
        const int result = l.getBaud(port, found);
        if (result == KAV_OK)
            *baud = found;
        return result;
    }, Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_SetCOMBaud(int port, int currentBaud, int newBaud) {
    return guarded("Kav_SetCOMBaud(" + args(port, currentBaud, newBaud) + ")", [=](Library &l) -> int {
        if (currentBaud <= 0 || newBaud <= 0)
            return KAV_E_BAD_ARGUMENT;
        return l.setBaud(port, static_cast<std::uint32_t>(currentBaud),
                         static_cast<std::uint32_t>(newBaud));
    }, Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_SetMaxRFByte(int port, int count, int flag) {
    return guarded("Kav_SetMaxRFByte(" + args(port, count, flag) + ")", [=](Library &l) -> int {
        if (count < proto::kMinMaxRf || count > proto::kMaxMaxRf)
            return KAV_E_BAD_ARGUMENT;
        const std::uint8_t data[] = {static_cast<std::uint8_t>(count)};
        return simpleCommand(l, port, proto::kSetMaxRf, data);
    }, Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_GetSAMStatus(int port, int flag) {
    return guarded("Kav_GetSAMStatus(" + args(port, flag) + ")",
                   [=](Library &l) -> int { return simpleCommand(l, port, proto::kSamStatus); },
                   Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_ResetSAM(int port, int flag) {
    return guarded("Kav_ResetSAM(" + args(port, flag) + ")",
                   [=](Library &l) -> int { return simpleCommand(l, port, proto::kResetSam); },
                   Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_GetSAMID(int port, unsigned char *samId, int flag) {
    return guarded("Kav_GetSAMID(" + args(port, flag) + ")", [=](Library &l) -> int {
        if (samId == nullptr)
            return KAV_E_BAD_ARGUMENT;
        return commandInto(l, port, proto::kSamId, proto::kSuccess, samId, KAV_SAM_ID_SIZE);
    }, Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_StartFindIDCard(int port, unsigned char *findBuffer, int flag) {
    return guarded("Kav_StartFindIDCard(" + args(port, flag) + ")", [=](Library &l) -> int {
        return commandInto(l, port, proto::kFindCard, proto::kFindSuccess, findBuffer,
                           KAV_FIND_BUFFER_SIZE);
    }, Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_SelectIDCard(int port, unsigned char *selectBuffer, int flag) {
    return guarded("Kav_SelectIDCard(" + args(port, flag) + ")", [=](Library &l) -> int {
        return commandInto(l, port, proto::kSelectCard, proto::kSuccess, selectBuffer,
                           KAV_SELECT_BUFFER_SIZE);
    }, Returns::ResultCode, onPort(port));
}

KAV_EXPORT int KAV_CALL Kav_ReadMsg(int port, int flag, IDCardRecord *record) {
    return guarded("Kav_ReadMsg(" + args(port, flag) + ")", [=](Library &l) -> int {
        if (record == nullptr)
            return KAV_E_BAD_ARGUMENT;
        return readCard(l, port, *record);
    }, Returns::ResultCode, onPort(port));
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
    return guarded("Kav_SetUserLifeEType(" + args(code, noEndDateCode) + ")",
                   [=](Library &l) -> int { return l.formats().setValidUntil(code, noEndDateCode); });
}

KAV_EXPORT int KAV_CALL Kav_SetPhotoPath(int option, const char *path) {
    // Never read past the buffer the interface allows, NUL or not.
    const std::string_view given =
        path != nullptr ? std::string_view(path, strnlen(path, KAV_PATH_BUFFER_SIZE))
                        : std::string_view();
    const std::string shown = path != nullptr ? kav::cp936::toUtf8(given) : std::string("(null)");
    return guarded("Kav_SetPhotoPath(" + args(option) + ", \"" + shown + "\")", [=](Library &l) -> int {
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
    return guarded("Kav_GetRetryCount(" + args(port) + ")", [=](Library &l) -> int {
        if (count == nullptr)
            return KAV_E_BAD_ARGUMENT;
        *count = l.retries(port);
        return KAV_OK;
    }, Returns::ResultCode, onPort(port));
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
