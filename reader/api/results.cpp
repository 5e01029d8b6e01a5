// Kav_ResultText: the English texts of the table of result codes.
#include "KavIDCardAPI.h"
#include "protocol/protocol.h"
#include "result_codes.h"

#include <string>

namespace {

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
    if (kav::results::isStatus(result)) {
        // The SAM's own status: the protocol layer names it. A success
        // status is a failure here: it was some other command's success.
        const auto status = static_cast<std::uint8_t>(result);
        static thread_local std::string text;
        text = "the SAM answered " + kav::proto::describeStatus(status);
        if (status == kav::proto::kSuccess || status == kav::proto::kFindSuccess)
            text += ", not the status this command succeeds with";
        return text.c_str();
    }
    const kav::results::Code *row = kav::results::find(result);
    return row != nullptr ? row->english : "unknown result code";
}
