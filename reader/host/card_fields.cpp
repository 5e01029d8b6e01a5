#include "card_fields.h"

#include "codepage936.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace kav::host {
namespace {

struct Row {
    const char *key;
    const char *label;
    std::size_t offset;
    std::size_t size;
};

#define KAV_ROW(member, label)                                                                     \
    Row {                                                                                          \
#member, label, offsetof(KavCardData, member), sizeof(KavCardData::member)                 \
    }

// The resident card's labels are the dialog's record lines; the others' are
// those printed on each card.
const Row kResident[] = {
    KAV_ROW(name, "姓名"),
    KAV_ROW(sex, "性别"),
    KAV_ROW(nation, "民族"),
    KAV_ROW(born, "出生"),
    KAV_ROW(address, "住址"),
    KAV_ROW(idNumber, "身份证号"),
    KAV_ROW(issuer, "发证机关"),
    KAV_ROW(validFrom, "有效期开始"),
    KAV_ROW(validUntil, "有效期结束"),
    KAV_ROW(photoFile, "照片"),
};
const Row kForeign[] = {
    KAV_ROW(chineseName, "中文姓名"),
    KAV_ROW(englishName, "英文姓名"),
    KAV_ROW(sex, "性别"),
    KAV_ROW(nationality, "国籍"),
    KAV_ROW(born, "出生"),
    KAV_ROW(cardNumber, "证件号码"),
    KAV_ROW(issuerCode, "受理机关代码"),
    KAV_ROW(validFrom, "有效期开始"),
    KAV_ROW(validUntil, "有效期结束"),
    KAV_ROW(cardVersion, "证件版本"),
    KAV_ROW(photoFile, "照片"),
};
const Row kPermit[] = {
    KAV_ROW(name, "姓名"),
    KAV_ROW(sex, "性别"),
    KAV_ROW(born, "出生"),
    KAV_ROW(address, "住址"),
    KAV_ROW(idNumber, "公民身份号码"),
    KAV_ROW(issuer, "签发机关"),
    KAV_ROW(validFrom, "有效期开始"),
    KAV_ROW(validUntil, "有效期结束"),
    KAV_ROW(passNumber, "通行证号码"),
    KAV_ROW(issuanceCount, "签发次数"),
    KAV_ROW(photoFile, "照片"),
};

// The record of Kav_ReadMsg: the same fields as the resident card, in GBK.
#define KAV_RECORD_ROW(member, label)                                                              \
    Row {                                                                                          \
#member, label, offsetof(IDCardRecord, member), sizeof(IDCardRecord::member)               \
    }
const Row kRecord[] = {
    KAV_RECORD_ROW(name, "姓名"),
    KAV_RECORD_ROW(sex, "性别"),
    KAV_RECORD_ROW(nation, "民族"),
    KAV_RECORD_ROW(born, "出生"),
    KAV_RECORD_ROW(address, "住址"),
    KAV_RECORD_ROW(idNumber, "身份证号"),
    KAV_RECORD_ROW(issuer, "发证机关"),
    KAV_RECORD_ROW(validFrom, "有效期开始"),
    KAV_RECORD_ROW(validUntil, "有效期结束"),
    KAV_RECORD_ROW(photoFile, "照片"),
};
#undef KAV_RECORD_ROW

#undef KAV_ROW

// A field up to its NUL or the end of its span, whichever comes first.
std::string text(const KavCardData &card, const Row &row) {
    const char *span = reinterpret_cast<const char *>(&card) + row.offset;
    return std::string(span, strnlen(span, row.size));
}

} // namespace

std::string cardTypeName(int type) {
    switch (type) {
    case KAV_CARD_RESIDENT:
        return "居民身份证";
    case KAV_CARD_FOREIGN_PERMANENT:
        return "外国人永久居留身份证";
    case KAV_CARD_HMT_RESIDENCE:
        return "港澳台居民居住证";
    default:
        return "";
    }
}

std::string cardTypeKey(const KavCardData &card) {
    switch (card.type) {
    case KAV_CARD_RESIDENT:
        return "resident";
    case KAV_CARD_FOREIGN_PERMANENT:
        return "I";
    case KAV_CARD_HMT_RESIDENCE:
        return "J";
    default:
        break;
    }
    const std::string letter(card.typeLetter, strnlen(card.typeLetter, sizeof card.typeLetter));
    if (!letter.empty() && letter != " ")
        return letter;
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", card.typeCode & 0xFFFF);
    return code;
}

std::vector<CardField> cardFields(const KavCardData &card) {
    const Row *begin = nullptr, *end = nullptr;
    switch (card.type) {
    case KAV_CARD_RESIDENT:
        begin = std::begin(kResident), end = std::end(kResident);
        break;
    case KAV_CARD_FOREIGN_PERMANENT:
        begin = std::begin(kForeign), end = std::end(kForeign);
        break;
    case KAV_CARD_HMT_RESIDENCE:
        begin = std::begin(kPermit), end = std::end(kPermit);
        break;
    default:
        return {};
    }
    std::vector<CardField> fields;
    for (const Row *row = begin; row != end; ++row)
        fields.push_back({row->key, row->label, text(card, *row)});
    return fields;
}

std::vector<CardField> recordFields(const IDCardRecord &record) {
    std::vector<CardField> fields;
    const char *bytes = reinterpret_cast<const char *>(&record);
    for (const Row &row : kRecord)
        fields.push_back(
            {row.key, row.label, cp936::toUtf8(cp936::fieldText(bytes + row.offset, row.size))});
    return fields;
}

} // namespace kav::host
