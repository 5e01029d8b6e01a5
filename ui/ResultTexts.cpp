#include "ResultTexts.h"

#include "KavIDCardAPI.h"

#include <cstring>

namespace {

struct CodeText {
    int code;
    const char *text;
    const char *hint; // what to do or what it usually means; may be empty
};

// The one table: the library's codes, then the SAM's status bytes.
constexpr CodeText kCodes[] = {
    {KAV_OK, "成功", ""},
    {KAV_E_NO_DEVICE, "端口上没有设备", "检查连接和端口映射 (KAVIDCARD_DEVICES)"},
    {KAV_E_PERMISSION, "无权打开设备", "设备权限不足: 请把用户加入设备所属的组,如 dialout"},
    {KAV_E_BUSY, "设备被其他程序或端口占用", ""},
    {KAV_E_NOT_OPEN, "端口没有打开", ""},
    {KAV_E_IO, "通讯链路故障", "设备被拔出或断开"},
    {KAV_E_TIMEOUT, "读卡器没有及时应答", "检查连接和波特率"},
    {KAV_E_BAD_FRAME, "应答长度或校验和错误", ""},
    {KAV_E_BAD_ARGUMENT, "参数无效", ""},
    {KAV_E_NOT_SUPPORTED, "此端口不支持该操作", ""},
    {KAV_E_PHOTO_WRITE, "照片无法写入", "文件夹已删除、磁盘已满或权限不足"},
    {KAV_E_PHOTO_NAME, "卡内信息无法组成照片文件名", "照片路径过长或姓名、身份证号不可用"},
    {KAV_E_BAD_REPLY, "读卡器的应答与命令不符", ""},
    {KAV_E_INTERNAL, "读卡器库内部错误", ""},
    {KAV_E_IN_CALLBACK, "在跟踪回调中调用了读卡器库",
     "跟踪回调中只能调用 Kav_SetTraceCallback 和 Kav_ResultText"},
    {KAV_E_UNKNOWN_LAYOUT, "读卡器库不认识此证件的格式", "请报告证件类型字母"},
    {0x10, "SAM: 命令帧校验和错误", ""},
    {0x11, "SAM: 命令帧长度错误", ""},
    {0x21, "SAM: 命令错误", ""},
    {0x23, "SAM: 操作不允许", ""},
    {0x24, "SAM: 无法识别的错误", ""},
    {0x31, "SAM: 卡片认证SAM失败", ""},
    {0x32, "SAM: SAM认证卡片失败", ""},
    {0x33, "SAM: 信息验证错误", ""},
    {0x40, "SAM: 无法识别的卡类型", ""},
    {0x41, "SAM: 读卡失败", "先寻卡、选卡,卡片不要移动"},
    {0x47, "SAM: 取随机数失败", ""},
    {0x60, "SAM: 自检失败,不接受命令", ""},
    {0x66, "SAM: 未经授权", ""},
    {0x80, "SAM: 寻卡失败", "无卡"},
    {0x81, "SAM: 选卡失败", "卡片已移开或无卡"},
    // A success status answering a command it does not belong to.
    {0x90, "SAM: 应答了其他命令的成功状态", ""},
    {0x9F, "SAM: 应答了寻卡的成功状态", ""},
};

// Where a code means something particular for one call.
struct CallText {
    const char *call;
    int code;
    const char *text;
    const char *hint;
};

constexpr CallText kCalls[] = {
    {"Kav_FindReader", KAV_NO_PORT, "没有读卡器应答", "检查连接、端口映射和设备权限"},
    {"Kav_SetPhotoPath", KAV_E_BAD_ARGUMENT, "照片存放路径不可用",
     "文件夹不存在、不是文件夹、不可写或路径过长"},
};

const CodeText *findCode(int code) {
    for (const CodeText &entry : kCodes)
        if (entry.code == code)
            return &entry;
    return nullptr;
}

} // namespace

QString resultText(int code) {
    const CodeText *entry = findCode(code);
    return entry != nullptr ? QString::fromUtf8(entry->text) : QStringLiteral("未知的结果代码");
}

QString failureStatus(const char *call, int code) {
    QString text = resultText(code);
    QString hint;
    if (const CodeText *entry = findCode(code))
        hint = QString::fromUtf8(entry->hint);
    for (const CallText &entry : kCalls) {
        if (entry.code == code && std::strcmp(entry.call, call) == 0) {
            text = QString::fromUtf8(entry.text);
            hint = QString::fromUtf8(entry.hint);
        }
    }
    QString line = QString::fromLatin1(call) + QStringLiteral(" = ") + QString::number(code);
    if (code > 0 && code <= 0xFF) // a SAM status byte, as the protocol writes it
        line += QString::asprintf(" (0x%02X)", code);
    line += QStringLiteral(": ") + text;
    if (!hint.isEmpty())
        line += QStringLiteral(" (") + hint + QLatin1Char(')');
    return line;
}

std::string failureStatusText(const char *call, int code) {
    return failureStatus(call, code).toStdString();
}
