// 最大通讯字节数 and 设置通讯波特率: the radio exchange size and the serial rate.
#include "DialogCore.h"
#include "KavIDCardAPI.h"
#include "Text.h"
#include "resource.h"

void DialogCore::OnSetMaxRF() {
    const int port = GetDlgItemNumber(IDC_PORT);
    const int count = GetDlgItemNumber(IDC_MAXRF); // passed as typed; the library judges it
    AddLog(runOnOpenPort(port, "打开端口错误！", [this, port, count] {
        if (check("Kav_GetSAMStatus", Kav_GetSAMStatus(port, 0)) != KAV_OK)
            return textf("端口 %d 上没有连接读卡器!", port);
        if (check("Kav_SetMaxRFByte", Kav_SetMaxRFByte(port, count, 0)) != KAV_OK)
            return std::string("设置最大通讯字节数出错!");
        return textf("设置最大通讯字节数成功,最大通讯字节数为 %d", count);
    }));
}

void DialogCore::OnSetBaud() {
    // The rate change works on a closed port; only the way to it closes it.
    const int port = GetDlgItemNumber(IDC_PORT);
    unsigned int currentBaud = 0;
    if (check("Kav_GetCOMBaud", Kav_GetCOMBaud(port, &currentBaud)) != KAV_OK) {
        AddLog("获得当前读卡器波特率失败");
        return;
    }
    const int newBaud = GetDlgItemNumber(IDC_BAUD);
    Kav_ClosePort(port);
    if (check("Kav_SetCOMBaud", Kav_SetCOMBaud(port, static_cast<int>(currentBaud), newBaud)) ==
        KAV_OK)
        AddLog(textf("设置读卡器波特率成功,当前波特率为 %d ", newBaud));
    else
        AddLog("设置读卡器波特率失败");
}
