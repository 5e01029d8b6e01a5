// 使用结构体返回信息: read the card into a record and log every field.
#include "DialogCore.h"
#include "KavIDCardAPI.h"
#include "Text.h"
#include "card_fields.h"
#include "port_session.h"
#include "read_sequence.h"
#include "resource.h"

#include <memory>

void DialogCore::OnReadCard() {
    const std::string portText = GetDlgItemText(IDC_PORT);
    kav::host::setReadFieldFormats();
    const int port = numberEntry(portText);
    const kav::host::PortSession session(port);
    if (check("Kav_OpenPort", session.openResult()) != KAV_OK) {
        AddLog("打开端口错误");
        return;
    }
    IDCardRecord record{};
    const kav::host::ReadSteps steps =
        kav::host::readCard(port, record, kav::host::AfterRefusal::GoOn);
    if (steps.maxRf != KAV_OK) {
        check("Kav_SetMaxRFByte", steps.maxRf);
        return;
    }
    // Only a card that is not the resident one needs more than the
    // record: its own fields, or the letter of a layout not known.
    auto card = std::make_unique<KavCardData>();
    const bool haveCard = (steps.read == KAV_OK || steps.read == KAV_E_UNKNOWN_LAYOUT) &&
                          kav::host::lastCard(port, *card);
    if (steps.read != KAV_OK) {
        // The status names the earliest step that failed.
        check(steps.failedCall(), steps.failedCode());
        if (steps.find == KAV_OK && steps.select == KAV_OK && haveCard)
            noteFailureDetail("证件类型字母 " + kav::host::cardTypeKey(*card));
        AddLog("读取身份证信息错误!");
    } else if (haveCard &&
               (card->type == KAV_CARD_FOREIGN_PERMANENT || card->type == KAV_CARD_HMT_RESIDENCE)) {
        AddLog("读取身份证信息成功!");
        AddLog("证件类型:" + kav::host::cardTypeName(card->type));
        for (const kav::host::CardField &field : kav::host::cardFields(*card))
            AddLog(std::string(field.label) + ':' + field.value);
    } else {
        AddLog("读取身份证信息成功!");
        for (const kav::host::CardField &field : kav::host::recordFields(record))
            AddLog(std::string(field.label) + ':' + field.value);
    }
}
