// A reader library for the dialog tests: the same C interface, with results
// and buffers scripted per test and every call journalled.
#include "FakeReader.h"

#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>

namespace {

struct State {
    std::vector<std::string> journal;
    std::map<std::string, std::deque<int>> results;
    std::map<std::string, std::function<void()>> actions;
    unsigned int baud = 0;
    std::array<unsigned char, KAV_SAM_ID_SIZE> samId{};
    IDCardRecord record{};
    std::optional<KavCardData> lastCard;
    std::vector<std::pair<int, std::string>> warnings;
} state;

std::string bufferState(const void *buffer, std::size_t size) {
    if (buffer == nullptr)
        return "null";
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    for (std::size_t i = 0; i < size; ++i)
        if (bytes[i] != 0)
            return "dirty";
    return "zeroed";
}

template <typename... Args> std::string argumentList(const Args &...args) {
    std::string out;
    ((out += (out.empty() ? "" : ",") + std::string(args)), ...);
    return out;
}

std::string str(int value) {
    return std::to_string(value);
}

int call(const char *operation, const std::string &arguments, int fallback = KAV_OK) {
    state.journal.push_back(std::string(operation) + "(" + arguments + ")");
    if (auto action = state.actions.find(operation); action != state.actions.end())
        action->second();
    auto it = state.results.find(operation);
    if (it == state.results.end() || it->second.empty())
        return fallback;
    const int result = it->second.front();
    it->second.pop_front();
    return result;
}

} // namespace

namespace fake {

void reset() {
    state = State{};
}
std::vector<std::string> journal() {
    return state.journal;
}
void script(const std::string &operation, std::vector<int> results) {
    state.results[operation] = std::deque<int>(results.begin(), results.end());
}
void note(const std::string &line) {
    state.journal.push_back(line);
}
void during(const std::string &operation, std::function<void()> action) {
    state.actions[operation] = std::move(action);
}
void setBaud(unsigned int baud) {
    state.baud = baud;
}
void setSamId(const std::array<unsigned char, KAV_SAM_ID_SIZE> &id) {
    state.samId = id;
}
void setRecord(const IDCardRecord &record) {
    state.record = record;
}
void setLastCard(const KavCardData &card) {
    state.lastCard = card;
}
void setWarnings(std::vector<std::pair<int, std::string>> warnings) {
    state.warnings = std::move(warnings);
}

} // namespace fake

extern "C" {

KAV_EXPORT const char *KAV_CALL Kav_ResultText(int) {
    return "fake";
}

KAV_EXPORT int KAV_CALL Kav_FindReader(void) {
    return call("Kav_FindReader", "", KAV_NO_PORT);
}
KAV_EXPORT int KAV_CALL Kav_OpenPort(int port) {
    return call("Kav_OpenPort", str(port));
}
KAV_EXPORT int KAV_CALL Kav_ClosePort(int port) {
    return call("Kav_ClosePort", str(port));
}

KAV_EXPORT int KAV_CALL Kav_GetCOMBaud(int port, unsigned int *baud) {
    const int result = call("Kav_GetCOMBaud", argumentList(str(port), baud ? "ptr" : "null"));
    if (baud != nullptr)
        *baud = state.baud;
    return result;
}
KAV_EXPORT int KAV_CALL Kav_SetCOMBaud(int port, int currentBaud, int newBaud) {
    return call("Kav_SetCOMBaud", argumentList(str(port), str(currentBaud), str(newBaud)));
}
KAV_EXPORT int KAV_CALL Kav_SetMaxRFByte(int port, int count, int flag) {
    return call("Kav_SetMaxRFByte", argumentList(str(port), str(count), str(flag)));
}
KAV_EXPORT int KAV_CALL Kav_GetSAMStatus(int port, int flag) {
    return call("Kav_GetSAMStatus", argumentList(str(port), str(flag)));
}
KAV_EXPORT int KAV_CALL Kav_ResetSAM(int port, int flag) {
    return call("Kav_ResetSAM", argumentList(str(port), str(flag)));
}
KAV_EXPORT int KAV_CALL Kav_GetSAMID(int port, unsigned char *samId, int flag) {
    const int result = call(
        "Kav_GetSAMID", argumentList(str(port), bufferState(samId, KAV_SAM_ID_SIZE), str(flag)));
    if (samId != nullptr)
        std::memcpy(samId, state.samId.data(), state.samId.size());
    return result;
}
KAV_EXPORT int KAV_CALL Kav_StartFindIDCard(int port, unsigned char *buffer, int flag) {
    return call("Kav_StartFindIDCard",
                argumentList(str(port), bufferState(buffer, KAV_FIND_BUFFER_SIZE), str(flag)));
}
KAV_EXPORT int KAV_CALL Kav_SelectIDCard(int port, unsigned char *buffer, int flag) {
    return call("Kav_SelectIDCard",
                argumentList(str(port), bufferState(buffer, KAV_SELECT_BUFFER_SIZE), str(flag)));
}
KAV_EXPORT int KAV_CALL Kav_ReadMsg(int port, int flag, IDCardRecord *record) {
    const int result = call(
        "Kav_ReadMsg", argumentList(str(port), str(flag), bufferState(record, sizeof *record)));
    if (record != nullptr)
        *record = state.record;
    return result;
}

KAV_EXPORT int KAV_CALL Kav_SetSexType(int code) {
    return call("Kav_SetSexType", str(code));
}
KAV_EXPORT int KAV_CALL Kav_SetNationType(int code) {
    return call("Kav_SetNationType", str(code));
}
KAV_EXPORT int KAV_CALL Kav_SetBornType(int code) {
    return call("Kav_SetBornType", str(code));
}
KAV_EXPORT int KAV_CALL Kav_SetUserLifeBType(int code) {
    return call("Kav_SetUserLifeBType", str(code));
}
KAV_EXPORT int KAV_CALL Kav_SetUserLifeEType(int code, int noEndDateCode) {
    return call("Kav_SetUserLifeEType", argumentList(str(code), str(noEndDateCode)));
}

KAV_EXPORT int KAV_CALL Kav_SetPhotoPath(int option, const char *path) {
    return call("Kav_SetPhotoPath",
                argumentList(str(option), path ? "\"" + std::string(path) + "\"" : "null"));
}
KAV_EXPORT int KAV_CALL Kav_SetPhotoType(int type) {
    return call("Kav_SetPhotoType", str(type));
}
KAV_EXPORT int KAV_CALL Kav_SetPhotoName(int scheme) {
    return call("Kav_SetPhotoName", str(scheme));
}

KAV_EXPORT int KAV_CALL Kav_GetLastCard(int port, KavCardData *data) {
    if (!state.lastCard) {
        if (data != nullptr && data->size >= sizeof *data) {
            std::memset(data, 0, sizeof *data);
            data->size = sizeof *data;
        }
        return KAV_OK;
    }
    const int result = call("Kav_GetLastCard", argumentList(str(port), data ? "data" : "null"));
    if (data != nullptr)
        *data = *state.lastCard;
    return result;
}

KAV_EXPORT int KAV_CALL Kav_GetWarning(int index, int *port, char *text, int textSize) {
    if (port == nullptr || text == nullptr || textSize <= 0 || index < 0)
        return KAV_E_BAD_ARGUMENT;
    if (static_cast<std::size_t>(index) >= state.warnings.size())
        return KAV_E_NO_DEVICE;
    const auto &[warnedPort, warning] = state.warnings[static_cast<std::size_t>(index)];
    if (warning.size() >= static_cast<std::size_t>(textSize))
        return KAV_E_BAD_ARGUMENT;
    std::memcpy(text, warning.c_str(), warning.size() + 1);
    *port = warnedPort;
    return KAV_OK;
}

} // extern "C"
