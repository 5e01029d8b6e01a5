// 自动寻找读卡器: find the reader and prepare the port and baud boxes.
#include "DialogCore.h"
#include "KavIDCardAPI.h"
#include "Text.h"
#include "resource.h"

namespace {
constexpr int kToneHz = 4000;
constexpr int kToneMs = 200;
constexpr int kSettleMs = 200; // lets a serial reader settle before the baud query
} // namespace

void DialogCore::OnFindReader() {
    const int port = Kav_FindReader();
    std::string message;
    if (port == KAV_NO_PORT) {
        noteFailure("Kav_FindReader", KAV_NO_PORT); // no port: its own failure
        message = "没有找打读卡器";
    } else {
        frontEnd_.tone(kToneHz, kToneMs);
        if (port > KAV_LAST_SERIAL_PORT) {
            EnableDlgItem(IDC_BAUD, false);
            EnableDlgItem(IDC_SET_BAUD, false);
            message = textf("读卡器连接在USB端口 %d", port);
        } else {
            frontEnd_.pause(kSettleMs);
            unsigned int baud = 0;
            if (check("Kav_GetCOMBaud", Kav_GetCOMBaud(port, &baud)) != KAV_OK)
                baud = 0; // a failed query shows 0, whatever the library left
            SetDlgItemText(IDC_BAUD, textf("%u", baud));
            EnableDlgItem(IDC_BAUD, true);
            EnableDlgItem(IDC_SET_BAUD, true);
            message = textf("读卡器连接在串口 %d,当前SAM波特率为 %u", port, baud);
        }
        SetDlgItemText(IDC_PORT, textf("%d", port));
    }
    AddLog(message);
}
