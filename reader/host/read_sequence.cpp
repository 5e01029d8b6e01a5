#include "read_sequence.h"

#include "exports.h"

#include <initializer_list>

namespace kav::host {

void setReadFieldFormats() {
    Kav_SetSexType(KAV_SEX_TEXT);
    Kav_SetNationType(KAV_NATION_NAME);
    Kav_SetBornType(KAV_DATE_CHINESE);
    Kav_SetUserLifeBType(KAV_DATE_DOTS);
    Kav_SetUserLifeEType(KAV_DATE_SLASHES, KAV_NO_END_LONG_TERM);
}

const char *ReadSteps::failedCall() const {
    if (maxRf != KAV_OK)
        return "Kav_SetMaxRFByte";
    if (find != KAV_OK)
        return "Kav_StartFindIDCard";
    if (select != KAV_OK)
        return "Kav_SelectIDCard";
    if (read != KAV_OK)
        return "Kav_ReadMsg";
    return nullptr;
}

int ReadSteps::failedCode() const {
    for (const int code : {maxRf, find, select, read})
        if (code != KAV_OK)
            return code;
    return KAV_OK;
}

ReadSteps readCard(int port, IDCardRecord &record, AfterRefusal afterRefusal) {
    ReadSteps steps;
    const bool stop = afterRefusal == AfterRefusal::Stop;
    if ((steps.maxRf = Kav_SetMaxRFByte(port, kReadMaxRfBytes, 0)) != KAV_OK)
        return steps;
    unsigned char findBuffer[KAV_FIND_BUFFER_SIZE] = {};
    if ((steps.find = Kav_StartFindIDCard(port, findBuffer, 0)) != KAV_OK && stop)
        return steps;
    unsigned char selectBuffer[KAV_SELECT_BUFFER_SIZE] = {};
    if ((steps.select = Kav_SelectIDCard(port, selectBuffer, 0)) != KAV_OK && stop)
        return steps;
    steps.read = Kav_ReadMsg(port, 0, &record);
    return steps;
}

bool lastCard(int port, KavCardData &card) {
    const LastCardGetter get = lastCardGetterExport();
    if (get == nullptr)
        return false;
    card = KavCardData{};
    card.size = sizeof card;
    return get(port, &card) == KAV_OK && card.type != KAV_CARD_NONE;
}

} // namespace kav::host
