#include "result_codes.h"

#include "KavIDCardAPI.h"

#include <cstdio>
#include <cstring>

namespace kav::results {
namespace {

#define KAV_ROW(code) code, #code

constexpr Code kCodes[] = {
    {KAV_ROW(KAV_OK), "success", "成功", "", Exit::Ok},
    {KAV_ROW(KAV_E_NO_DEVICE), "no device is mapped to the port, or it does not exist",
     "端口上没有设备", "检查连接和端口映射 (KAVIDCARD_DEVICES)", Exit::NoDevice},
    {KAV_ROW(KAV_E_PERMISSION), "the device may not be opened (permission)", "无权打开设备",
     "设备权限不足: 请把用户加入设备所属的组,如 dialout", Exit::Access},
    {KAV_ROW(KAV_E_BUSY), "the device is held by another process or port",
     "设备被其他程序或端口占用", "", Exit::Access},
    {KAV_ROW(KAV_E_NOT_OPEN), "the port is not open", "端口没有打开", "", Exit::Other},
    {KAV_ROW(KAV_E_IO), "the link to the reader failed", "通讯链路故障", "设备被拔出或断开",
     Exit::Link},
    {KAV_ROW(KAV_E_TIMEOUT), "the reader did not answer in time", "读卡器没有及时应答",
     "检查连接和波特率", Exit::Link},
    {KAV_ROW(KAV_E_BAD_FRAME), "the reader's answer failed its length or checksum check",
     "应答长度或校验和错误", "", Exit::Link},
    {KAV_ROW(KAV_E_BAD_ARGUMENT), "an argument is out of range", "参数无效", "", Exit::Other},
    {KAV_ROW(KAV_E_NOT_SUPPORTED), "not supported on this port", "此端口不支持该操作", "",
     Exit::Other},
    {KAV_ROW(KAV_E_PHOTO_WRITE), "the photo file could not be written", "照片无法写入",
     "文件夹已删除、磁盘已满或权限不足", Exit::Photo},
    {KAV_ROW(KAV_E_PHOTO_NAME), "the card data leaves no usable photo file name",
     "卡内信息无法组成照片文件名", "照片路径过长或姓名、身份证号不可用", Exit::Photo},
    {KAV_ROW(KAV_E_BAD_REPLY), "the reader's answers did not fit the command",
     "读卡器的应答与命令不符", "", Exit::Link},
    {KAV_ROW(KAV_E_INTERNAL), "an unexpected failure inside the library", "读卡器库内部错误", "",
     Exit::Other},
    {KAV_ROW(KAV_E_IN_CALLBACK),
     "called from inside the trace callback, which may not call the library",
     "在跟踪回调中调用了读卡器库", "跟踪回调中只能调用 Kav_SetTraceCallback 和 Kav_ResultText",
     Exit::Other},
    {KAV_ROW(KAV_E_UNKNOWN_LAYOUT), "card layout not known to this library",
     "读卡器库不认识此证件的格式", "请报告证件类型字母", Exit::Other},
    {KAV_ROW(KAV_E_UNKNOWN_HOST), "the network port's host name does not resolve",
     "网络端口的主机名无法解析", "检查主机名拼写和域名服务 (KAVIDCARD_DEVICES)", Exit::NoDevice},
    {KAV_ROW(KAV_E_REFUSED), "the serial-port server refused the connection", "串口服务器拒绝连接",
     "检查服务器是否运行、TCP 端口是否正确", Exit::NoDevice},
    {KAV_ROW(KAV_E_UNREACHABLE), "the serial-port server could not be reached",
     "无法连接到串口服务器", "检查网络、地址和防火墙", Exit::NoDevice},

    // A success status answering a command it does not belong to.
    {KAV_ROW(KAV_SW_OK), "success", "SAM: 应答了其他命令的成功状态", "", Exit::Refused},
    {KAV_ROW(KAV_SW_FIND_OK), "find card success", "SAM: 应答了寻卡的成功状态", "", Exit::Refused},
    {KAV_ROW(KAV_SW_NO_CONTENT), "no such content on the card", "SAM: 证件内无此内容", "",
     Exit::Refused},
    {KAV_ROW(KAV_SW_CHECKSUM_ERROR), "checksum error in the command", "SAM: 命令帧校验和错误", "",
     Exit::Refused},
    {KAV_ROW(KAV_SW_LENGTH_ERROR), "length error in the command", "SAM: 命令帧长度错误", "",
     Exit::Refused},
    {KAV_ROW(KAV_SW_COMMAND_ERROR), "command error", "SAM: 命令错误", "", Exit::Refused},
    {KAV_ROW(KAV_SW_NOT_PERMITTED), "operation not permitted", "SAM: 操作不允许", "",
     Exit::Refused},
    {KAV_ROW(KAV_SW_UNRECOGNISED_ERROR), "unrecognised error", "SAM: 无法识别的错误", "",
     Exit::Refused},
    {KAV_ROW(KAV_SW_CARD_AUTH_FAILED), "card failed to authenticate the SAM",
     "SAM: 卡片认证SAM失败", "", Exit::Refused},
    {KAV_ROW(KAV_SW_SAM_AUTH_FAILED), "SAM failed to authenticate the card", "SAM: SAM认证卡片失败",
     "", Exit::Refused},
    {KAV_ROW(KAV_SW_VERIFY_ERROR), "information verification error", "SAM: 信息验证错误", "",
     Exit::Refused},
    {KAV_ROW(KAV_SW_UNKNOWN_CARD_TYPE), "unrecognised card type", "SAM: 无法识别的卡类型", "",
     Exit::Refused},
    {KAV_ROW(KAV_SW_READ_FAILED), "reading the card failed", "SAM: 读卡失败",
     "先寻卡、选卡,卡片不要移动", Exit::Refused},
    {KAV_ROW(KAV_SW_RANDOM_FAILED), "getting a random number failed", "SAM: 取随机数失败", "",
     Exit::Refused},
    {KAV_ROW(KAV_SW_SELF_TEST_FAILED), "SAM self-test failed", "SAM: 自检失败,不接受命令", "",
     Exit::Refused},
    {KAV_ROW(KAV_SW_NOT_AUTHORISED), "SAM not authorised", "SAM: 未经授权", "", Exit::Refused},
    {KAV_ROW(KAV_SW_NO_CARD), "find card failed (no card)", "SAM: 寻卡失败", "无卡", Exit::Refused},
    {KAV_ROW(KAV_SW_SELECT_FAILED), "select card failed", "SAM: 选卡失败", "卡片已移开或无卡",
     Exit::Refused},
};

#undef KAV_ROW

// Where a code means something particular for one call.
struct CallText {
    const char *call;
    int value;
    const char *chinese;
    const char *hint;
};

constexpr CallText kCalls[] = {
    {"Kav_FindReader", KAV_NO_PORT, "没有读卡器应答", "检查连接、端口映射和设备权限"},
    {"Kav_SetPhotoPath", KAV_E_BAD_ARGUMENT, "照片存放路径不可用",
     "文件夹不存在、不是文件夹、不可写或路径过长"},
};

constexpr const char *kUnknownChinese = "未知的结果代码";

} // namespace

std::span<const Code> table() {
    return kCodes;
}

const Code *find(int value) {
    for (const Code &row : kCodes)
        if (row.value == value)
            return &row;
    return nullptr;
}

const char *statusText(int status) {
    const Code *row = isStatus(status) ? find(status) : nullptr;
    return row != nullptr ? row->english : "unknown status";
}

std::string chineseText(int value) {
    const Code *row = find(value);
    return row != nullptr ? row->chinese : kUnknownChinese;
}

std::string failureStatus(const char *call, int value) {
    const Code *row = find(value);
    std::string text = row != nullptr ? row->chinese : kUnknownChinese;
    std::string hint = row != nullptr ? row->hint : "";
    for (const CallText &entry : kCalls) {
        if (entry.value == value && std::strcmp(entry.call, call) == 0) {
            text = entry.chinese;
            hint = entry.hint;
        }
    }
    std::string line = std::string(call) + " = " + std::to_string(value);
    if (isStatus(value)) { // as the protocol writes a status byte
        char hex[16];
        std::snprintf(hex, sizeof hex, " (0x%02X)", static_cast<unsigned>(value));
        line += hex;
    }
    line += ": " + text;
    if (!hint.empty())
        line += " (" + hint + ")";
    return line;
}

Exit exitClass(int value) {
    if (const Code *row = find(value))
        return row->exit;
    return value > 0 ? Exit::Refused : Exit::Other;
}

} // namespace kav::results
