// The exported operations: thin wrappers over the library's layers. Each
// one takes its turn (the lock of its port, or for a moment the state
// lock), traces its arguments and result, and lets no exception cross the
// C boundary.
#include "KavIDCardAPI.h"

#include "card_read.h"
#include "codepage936.h"
#include "library.h"
#include "photo/photostore.h"
#include "protocol/trace.h"

#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

using kav::Library;
namespace proto = kav::proto;

enum class Returns { ResultCode, Port };

// Whose turn a call waits for: a call on a port holds that port's lock for
// all its exchanges, so calls on other ports run meanwhile; a settings call
// holds the state lock for its moment; the search takes the locks of the
// ports it probes itself. A call that reaches for the port's device also
// leaves the port's last failure (or clears it).
struct Turn {
    enum class Kind { Settings, Port, Device, Search };
    Kind kind = Kind::Settings;
    int port = 0;
};
constexpr Turn kSettings{};
constexpr Turn kSearch{Turn::Kind::Search, 0};
constexpr Turn onPort(int port) {
    return {Turn::Kind::Port, port};
}
constexpr Turn onDevice(int port) {
    return {Turn::Kind::Device, port};
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
    const bool device = turn.kind == Turn::Kind::Device;
    if (turn.kind == Turn::Kind::Port || device)
        lock = library.lockPort(turn.port);
    else if (turn.kind == Turn::Kind::Settings)
        lock = std::unique_lock(library.mutex());
    // A search that failed found nothing; any other call failed.
    int result =
        returns == Returns::Port ? static_cast<int>(KAV_NO_PORT) : static_cast<int>(KAV_E_INTERNAL);
    std::string failure; // what an exception said
    try {
        if (device)
            library.beginCall(turn.port);
        result = body(library);
    } catch (const std::exception &e) {
        failure = call + ": " + e.what();
        kav::trace::line(failure);
    } catch (...) {
        failure = call + ": unexpected failure";
        kav::trace::line(failure);
    }
    if (device) {
        try {
            library.endCall(turn.port, result, failure.empty() ? Kav_ResultText(result) : failure);
        } catch (...) {
            // Out of memory for a text: the result still goes back.
        }
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
        Returns::ResultCode, onDevice(port));
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
        Returns::ResultCode, onDevice(port));
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
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_SetMaxRFByte(int port, int count, int flag) {
    return guarded(
        "Kav_SetMaxRFByte(" + args(port, count, flag) + ")",
        [=](Library &l) -> int {
            if (count < proto::kMinMaxRf || count > proto::kMaxMaxRf)
                return KAV_E_BAD_ARGUMENT;
            const std::uint8_t data[] = {static_cast<std::uint8_t>(count)};
            return l.simpleCommand(port, proto::kSetMaxRf, data);
        },
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_GetSAMStatus(int port, int flag) {
    return guarded(
        "Kav_GetSAMStatus(" + args(port, flag) + ")",
        [=](Library &l) -> int { return l.simpleCommand(port, proto::kSamStatus); },
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_ResetSAM(int port, int flag) {
    return guarded(
        "Kav_ResetSAM(" + args(port, flag) + ")",
        [=](Library &l) -> int { return l.simpleCommand(port, proto::kResetSam); },
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_GetSAMID(int port, unsigned char *samId, int flag) {
    return guarded(
        "Kav_GetSAMID(" + args(port, flag) + ")",
        [=](Library &l) -> int {
            if (samId == nullptr)
                return KAV_E_BAD_ARGUMENT;
            return l.commandInto(port, proto::kSamId, proto::kSuccess, samId, KAV_SAM_ID_SIZE);
        },
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_StartFindIDCard(int port, unsigned char *findBuffer, int flag) {
    return guarded(
        "Kav_StartFindIDCard(" + args(port, flag) + ")",
        [=](Library &l) -> int {
            return l.commandInto(port, proto::kFindCard, proto::kFindSuccess, findBuffer,
                                 KAV_FIND_BUFFER_SIZE);
        },
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_SelectIDCard(int port, unsigned char *selectBuffer, int flag) {
    return guarded(
        "Kav_SelectIDCard(" + args(port, flag) + ")",
        [=](Library &l) -> int {
            return l.commandInto(port, proto::kSelectCard, proto::kSuccess, selectBuffer,
                                 KAV_SELECT_BUFFER_SIZE);
        },
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_ReadMsg(int port, int flag, IDCardRecord *record) {
    return guarded(
        "Kav_ReadMsg(" + args(port, flag) + ")",
        [=](Library &l) -> int {
            if (record == nullptr)
                return KAV_E_BAD_ARGUMENT;
            return kav::readCard(l, port, false, record, nullptr);
        },
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_ReadCard(int port, int flags, KavCardData *data) {
    return guarded(
        "Kav_ReadCard(" + args(port, flags) + ")",
        [=](Library &l) -> int {
            if (!usable(data) || (flags & ~KAV_READ_FINGERPRINT) != 0)
                return KAV_E_BAD_ARGUMENT;
            clearCardData(*data);
            const int result =
                kav::readCard(l, port, (flags & KAV_READ_FINGERPRINT) != 0, nullptr, data);
            if (result != KAV_OK && result != KAV_E_UNKNOWN_LAYOUT)
                clearCardData(*data);
            return result;
        },
        Returns::ResultCode, onDevice(port));
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
            int read = 0;
            const int result = kav::readFingerprint(l, port, buffer, read);
            if (result == KAV_OK)
                *size = read;
            return result;
        },
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_ReadAppendedAddress(int port, char *address, int addressSize,
                                                int *present) {
    return guarded(
        "Kav_ReadAppendedAddress(" + args(port, addressSize) + ")",
        [=](Library &l) -> int {
            if (address == nullptr || present == nullptr || addressSize <= 0)
                return KAV_E_BAD_ARGUMENT;
            std::string text;
            bool found = false;
            if (const int result = kav::readAppendedAddress(l, port, text, found); result != KAV_OK)
                return result;
            if (text.size() >= static_cast<std::size_t>(addressSize))
                return KAV_E_BAD_ARGUMENT;
            std::memcpy(address, text.c_str(), text.size() + 1);
            *present = found ? 1 : 0;
            return KAV_OK;
        },
        Returns::ResultCode, onDevice(port));
}

KAV_EXPORT int KAV_CALL Kav_SendFrame(int port, const unsigned char *frame, int frameSize,
                                      int flags, unsigned char *answer, int answerSize,
                                      int *answerLength) {
    return guarded(
        "Kav_SendFrame(" + args(port, frameSize, flags, answerSize) + ")",
        [=](Library &l) -> int {
            const bool raw = (flags & KAV_SEND_RAW) != 0;
            if (frame == nullptr || answer == nullptr || answerLength == nullptr ||
                (flags & ~KAV_SEND_RAW) != 0 || frameSize < (raw ? 1 : 2) ||
                frameSize > static_cast<int>(proto::kMaxCommandLength) + 7 || answerSize <= 0)
                return KAV_E_BAD_ARGUMENT;
            std::vector<std::uint8_t> bytes(frame, frame + frameSize);
            if (!raw)
                bytes = proto::encodeCommand(bytes[0], bytes[1], std::span(bytes).subspan(2));
            std::vector<std::uint8_t> got;
            if (const int result = l.sendFrame(port, bytes, got); result != KAV_OK)
                return result;
            if (got.size() > static_cast<std::size_t>(answerSize))
                return KAV_E_BAD_ARGUMENT;
            std::memcpy(answer, got.data(), got.size());
            *answerLength = static_cast<int>(got.size());
            return KAV_OK;
        },
        Returns::ResultCode, onDevice(port));
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
    return guarded("Kav_SetPhotoPath(" + args(option) + ", \"" + shown + "\")",
                   [=](Library &l) -> int {
                       if (option != KAV_PHOTO_IN_FOLDER)
                           return l.setPhotoPath(option, {});
                       if (path == nullptr || given.size() > KAV_PHOTO_FOLDER_MAX)
                           return KAV_E_BAD_ARGUMENT;
                       const std::optional<std::string> folder = kav::photo::folderFromGbk(given);
                       if (!folder)
                           return KAV_E_BAD_ARGUMENT;
                       return l.setPhotoPath(option, *folder);
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

KAV_EXPORT int KAV_CALL Kav_GetLastFailure(int port, char *text, int textSize) {
    return guarded(
        "Kav_GetLastFailure(" + args(port) + ")",
        [=](Library &l) -> int {
            if (text == nullptr || textSize <= 0)
                return KAV_E_BAD_ARGUMENT;
            const std::string failure = l.lastFailure(port);
            if (failure.size() >= static_cast<std::size_t>(textSize))
                return KAV_E_BAD_ARGUMENT;
            std::memcpy(text, failure.c_str(), failure.size() + 1);
            return KAV_OK;
        },
        Returns::ResultCode, onPort(port));
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
