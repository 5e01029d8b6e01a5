// Kav_ResultText: the one table of the library's result codes.
#include "KavIDCardAPI.h"
#include "protocol/protocol.h"

#include <string>

namespace {

struct ResultText {
    int code;
    const char *text;
};

constexpr ResultText kResults[] = {
    {KAV_OK, "success"},
    {KAV_E_NO_DEVICE, "no device is mapped to the port, or it does not exist"},
    {KAV_E_PERMISSION, "the device may not be opened (permission)"},
    {KAV_E_BUSY, "the device is held by another process or port"},
    {KAV_E_NOT_OPEN, "the port is not open"},
    {KAV_E_IO, "the link to the reader failed"},
    {KAV_E_TIMEOUT, "the reader did not answer in time"},
    {KAV_E_BAD_FRAME, "the reader's answer failed its length or checksum check"},
    {KAV_E_BAD_ARGUMENT, "an argument is out of range"},
    {KAV_E_NOT_SUPPORTED, "not supported on this port"},
    {KAV_E_PHOTO_WRITE, "the photo file could not be written"},
    {KAV_E_PHOTO_NAME, "the card data leaves no usable photo file name"},
    {KAV_E_BAD_REPLY, "the reader's answers did not fit the command"},
    {KAV_E_INTERNAL, "an unexpected failure inside the library"},
    {KAV_E_IN_CALLBACK, "called from inside the trace callback, which may not call the library"},
    {KAV_E_UNKNOWN_LAYOUT, "card layout not known to this library"},
};

// The header's names of the status bytes are the protocol's.
namespace proto = kav::proto;
constexpr int kStatusNames[][2] = {
    {KAV_SW_OK, proto::kSuccess},
    {KAV_SW_FIND_OK, proto::kFindSuccess},
    {KAV_SW_NO_CONTENT, proto::kNoContent},
    {KAV_SW_CHECKSUM_ERROR, proto::kChecksumError},
    {KAV_SW_LENGTH_ERROR, proto::kLengthError},
    {KAV_SW_COMMAND_ERROR, proto::kCommandError},
    {KAV_SW_NOT_PERMITTED, proto::kNotPermitted},
    {KAV_SW_UNRECOGNISED_ERROR, proto::kUnrecognisedError},
    {KAV_SW_CARD_AUTH_FAILED, proto::kCardAuthFailed},
    {KAV_SW_SAM_AUTH_FAILED, proto::kSamAuthFailed},
    {KAV_SW_VERIFY_ERROR, proto::kVerifyError},
    {KAV_SW_UNKNOWN_CARD_TYPE, proto::kUnknownCardType},
    {KAV_SW_READ_FAILED, proto::kReadFailed},
    {KAV_SW_RANDOM_FAILED, proto::kRandomFailed},
    {KAV_SW_SELF_TEST_FAILED, proto::kSelfTestFailed},
    {KAV_SW_NOT_AUTHORISED, proto::kNotAuthorised},
    {KAV_SW_NO_CARD, proto::kFindFailed},
    {KAV_SW_SELECT_FAILED, proto::kSelectFailed},
};
constexpr bool statusNamesMatch() {
    for (const auto &pair : kStatusNames)
        if (pair[0] != pair[1])
            return false;
    return true;
}
static_assert(statusNamesMatch());

} // namespace

extern "C" KAV_EXPORT const char *KAV_CALL Kav_ResultText(int result) {
    for (const ResultText &r : kResults)
        if (r.code == result)
            return r.text;
    if (result > 0 && result <= 0xFF) {
        // The SAM's own status: the protocol layer names it. A success
        // status is a failure here: it was some other command's success.
        const auto status = static_cast<std::uint8_t>(result);
        static thread_local std::string text;
        text = "the SAM answered " + kav::proto::describeStatus(status);
        if (status == kav::proto::kSuccess || status == kav::proto::kFindSuccess)
            text += ", not the status this command succeeds with";
        return text.c_str();
    }
    return "unknown result code";
}
