// 复位SAM(慎用), 获得SAM状态, 获得SAM序列号: one open-command-close cycle each.
#include "DialogCore.h"
#include "KavIDCardAPI.h"
#include "resource.h"
#include "sam_id.h"

namespace {
const char *const kOpenFailure = "打开端口错误";
} // namespace

void DialogCore::OnResetSAM() {
    const int port = GetDlgItemNumber(IDC_PORT);
    AddLog(runOnOpenPort(port, kOpenFailure, [this, port] {
        return std::string(check("Kav_ResetSAM", Kav_ResetSAM(port, 0)) == KAV_OK
                               ? "复位SAM模块成功"
                               : "复位SAM模块失败");
    }));
}

void DialogCore::OnGetSAMStatus() {
    const int port = GetDlgItemNumber(IDC_PORT);
    AddLog(runOnOpenPort(port, kOpenFailure, [this, port] {
        return std::string(check("Kav_GetSAMStatus", Kav_GetSAMStatus(port, 0)) == KAV_OK
                               ? "SAM模块状态正常"
                               : "获得SAM模块状态失败");
    }));
}

void DialogCore::OnGetSAMID() {
    const int port = GetDlgItemNumber(IDC_PORT);
    AddLog(runOnOpenPort(port, kOpenFailure, [this, port] {
        KavSamId id{};
        if (check("Kav_GetSAMID", Kav_GetSAMID(port, id.bytes, 0)) != KAV_OK)
            return std::string("读取SAM ID号错误");
        return "按16字节获得SAM模块ID成功,SAM模块ID为: " + kav::host::samIdText(id);
    }));
}
