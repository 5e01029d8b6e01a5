// 复位SAM(慎用), 获得SAM状态, 获得SAM序列号: one open-command-close cycle each.
#include "KavIDCardAPI.h"
#include "VelkartDlg.h"
#include "resource.h"

#include <cstdint>

namespace {

const QString kOpenFailure = QStringLiteral("打开端口错误");

std::uint32_t littleEndian32(const unsigned char *bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace

void CVelkartDlg::OnResetSAM() {
    const int port = GetDlgItemNumber(IDC_PORT);
    AddLog(runOnOpenPort(port, kOpenFailure, [this, port] {
        return check("Kav_ResetSAM", Kav_ResetSAM(port, 0)) == KAV_OK
                   ? QStringLiteral("复位SAM模块成功")
                   : QStringLiteral("复位SAM模块失败");
    }));
}

void CVelkartDlg::OnGetSAMStatus() {
    const int port = GetDlgItemNumber(IDC_PORT);
    AddLog(runOnOpenPort(port, kOpenFailure, [this, port] {
        return check("Kav_GetSAMStatus", Kav_GetSAMStatus(port, 0)) == KAV_OK
                   ? QStringLiteral("SAM模块状态正常")
                   : QStringLiteral("获得SAM模块状态失败");
    }));
}

void CVelkartDlg::OnGetSAMID() {
    const int port = GetDlgItemNumber(IDC_PORT);
    AddLog(runOnOpenPort(port, kOpenFailure, [this, port] {
        KavSamId id{};
        if (check("Kav_GetSAMID", Kav_GetSAMID(port, id.bytes, 0)) != KAV_OK)
            return QStringLiteral("读取SAM ID号错误");
        const unsigned char *b = id.bytes;
        return QString::asprintf(
            "按16字节获得SAM模块ID成功,SAM模块ID为: %X%X-%X%X-%u-%u-%u", b[1], b[0], b[3], b[2],
            littleEndian32(b + 4), littleEndian32(b + 8), littleEndian32(b + 12));
    }));
}
