// 使用结构体返回信息: read the card into a record and log every field.
#include "Gbk.h"
#include "KavIDCardAPI.h"
#include "NumberEntry.h"
#include "VelkartDlg.h"
#include "card_fields.h"
#include "resource.h"

#include <cstddef>
#include <memory>

#include <dlfcn.h>

namespace {

struct RecordField {
    std::size_t offset;
    std::size_t size;
    const char *label;
};

#define KAV_FIELD(member, label)                                                                   \
    RecordField {                                                                                  \
        offsetof(IDCardRecord, member), sizeof(IDCardRecord::member), label                        \
    }

// In logging order; the log shows them newest first.
const RecordField kRecordFields[] = {
    KAV_FIELD(name, "姓名:"),
    KAV_FIELD(sex, "性别:"),
    KAV_FIELD(nation, "民族:"),
    KAV_FIELD(born, "出生:"),
    KAV_FIELD(address, "住址:"),
    KAV_FIELD(idNumber, "身份证号:"),
    KAV_FIELD(issuer, "发证机关:"),
    KAV_FIELD(validFrom, "有效期开始:"),
    KAV_FIELD(validUntil, "有效期结束:"),
    KAV_FIELD(photoFile, "照片:"),
};

#undef KAV_FIELD

constexpr int kReadMaxRFBytes = 80; // fixed for reading, whatever IDC_MAXRF holds

// What the read took from the card, through Kav_GetLastCard: an optional
// export looked up at run time, which sends nothing to the reader. Null
// from a library without it, or when it has nothing.
std::unique_ptr<KavCardData> lastCard(int port) {
    using Getter = int(KAV_CALL *)(int, KavCardData *);
    const auto get = reinterpret_cast<Getter>(dlsym(RTLD_DEFAULT, "Kav_GetLastCard"));
    if (get == nullptr)
        return nullptr;
    auto card = std::make_unique<KavCardData>();
    card->size = sizeof *card;
    if (get(port, card.get()) != KAV_OK || card->type == KAV_CARD_NONE)
        return nullptr;
    return card;
}

void setFieldFormats() {
    Kav_SetSexType(KAV_SEX_TEXT);
    Kav_SetNationType(KAV_NATION_NAME);
    Kav_SetBornType(KAV_DATE_CHINESE);
    Kav_SetUserLifeBType(KAV_DATE_DOTS);
    Kav_SetUserLifeEType(KAV_DATE_SLASHES, KAV_NO_END_LONG_TERM);
}

} // namespace

void CVelkartDlg::OnReadCard() {
    const QString portText = GetDlgItemText(IDC_PORT);
    setFieldFormats();
    const int port = numberFromText(portText);
    if (check("Kav_OpenPort", Kav_OpenPort(port)) != KAV_OK) {
        AddLog(QStringLiteral("打开端口错误"));
    } else if (check("Kav_SetMaxRFByte", Kav_SetMaxRFByte(port, kReadMaxRFBytes, 0)) == KAV_OK) {
        // Find and select leave their verdict to the read that follows.
        unsigned char findBuffer[KAV_FIND_BUFFER_SIZE] = {};
        unsigned char selectBuffer[KAV_SELECT_BUFFER_SIZE] = {};
        const int found = Kav_StartFindIDCard(port, findBuffer, 0);
        const int selected = Kav_SelectIDCard(port, selectBuffer, 0);
        IDCardRecord record{};
        const int read = Kav_ReadMsg(port, 0, &record);
        // Only a card that is not the resident one needs more than the
        // record: its own fields, or the letter of a layout not known.
        const std::unique_ptr<KavCardData> card =
            read == KAV_OK || read == KAV_E_UNKNOWN_LAYOUT ? lastCard(port) : nullptr;
        if (read != KAV_OK) {
            // The status names the earliest step that failed: no card says
            // more than the read that could not follow.
            if (found != KAV_OK)
                check("Kav_StartFindIDCard", found);
            else if (selected != KAV_OK)
                check("Kav_SelectIDCard", selected);
            else
                check("Kav_ReadMsg", read);
            if (found == KAV_OK && selected == KAV_OK && card)
                noteFailureDetail(QStringLiteral("证件类型字母 ") +
                                  QString::fromStdString(kav::format::cardTypeKey(*card)));
            AddLog(QStringLiteral("读取身份证信息错误!"));
        } else if (card && (card->type == KAV_CARD_FOREIGN_PERMANENT ||
                            card->type == KAV_CARD_HMT_RESIDENCE)) {
            AddLog(QStringLiteral("读取身份证信息成功!"));
            AddLog(QStringLiteral("证件类型:") +
                   QString::fromStdString(kav::format::cardTypeName(card->type)));
            for (const kav::format::CardField &field : kav::format::cardFields(*card))
                AddLog(QString::fromUtf8(field.label) + QLatin1Char(':') +
                       QString::fromStdString(field.value));
        } else {
            AddLog(QStringLiteral("读取身份证信息成功!"));
            const auto *bytes = reinterpret_cast<const char *>(&record);
            for (const RecordField &field : kRecordFields)
                AddLog(QString::fromUtf8(field.label) +
                       gbk::fieldToQString(bytes + field.offset, field.size));
        }
    }
    Kav_ClosePort(port);
}
