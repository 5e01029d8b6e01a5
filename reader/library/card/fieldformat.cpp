#include "fieldformat.h"

#include <algorithm>
#include <array>

#include "KavIDCardAPI.h"

namespace kav::card {
namespace {

int keep(int &slot, int code, int last) {
    if (code < 0 || code > last)
        return KAV_E_BAD_ARGUMENT;
    slot = code;
    return KAV_OK;
}

// GB 3304, in code order from 01.
constexpr std::array<std::u16string_view, 56> kNations{
    u"汉",     u"蒙古",   u"回",       u"藏",     u"维吾尔",   u"苗",   u"彝",     u"壮",
    u"布依",   u"朝鲜",   u"满",       u"侗",     u"瑶",       u"白",   u"土家",   u"哈尼",
    u"哈萨克", u"傣",     u"黎",       u"傈僳",   u"佤",       u"畲",   u"高山",   u"拉祜",
    u"水",     u"东乡",   u"纳西",     u"景颇",   u"柯尔克孜", u"土",   u"达斡尔", u"仫佬",
    u"羌",     u"布朗",   u"撒拉",     u"毛南",   u"仡佬",     u"锡伯", u"阿昌",   u"普米",
    u"塔吉克", u"怒",     u"乌孜别克", u"俄罗斯", u"鄂温克",   u"德昂", u"保安",   u"裕固",
    u"京",     u"塔塔尔", u"独龙",     u"鄂伦春", u"赫哲",     u"门巴", u"珞巴",   u"基诺",
};
constexpr int kOtherNation = 97;
constexpr int kForeignOrigin = 98;

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

bool allDigits(std::u16string_view text) {
    return std::all_of(text.begin(), text.end(), isDigit);
}

int number(std::u16string_view digits) {
    int value = 0;
    for (char16_t c : digits)
        value = value * 10 + (c - u'0');
    return value;
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool isDate(std::u16string_view text) {
    if (text.size() != 8 || !allDigits(text))
        return false;
    const int year = number(text.substr(0, 4));
    const int month = number(text.substr(4, 2));
    const int day = number(text.substr(6, 2));
    static constexpr std::array<int, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return false;
    const int last = kDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
    return day <= last;
}

} // namespace

int FieldFormats::setSex(int code) {
    return keep(sex_, code, kLastSexCode);
}
int FieldFormats::setNation(int code) {
    return keep(nation_, code, kLastNationCode);
}
int FieldFormats::setBorn(int code) {
    return keep(born_, code, kLastDateCode);
}
int FieldFormats::setValidFrom(int code) {
    return keep(validFrom_, code, kLastDateCode);
}

int FieldFormats::setValidUntil(int code, int noEndDateCode) {
    if (noEndDateCode < 0 || noEndDateCode > kLastNoEndDateCode)
        return KAV_E_BAD_ARGUMENT;
    const int rc = keep(validUntil_, code, kLastDateCode);
    if (rc == KAV_OK)
        noEndDate_ = noEndDateCode;
    return rc;
}

std::u16string_view nationName(int code) {
    if (code >= 1 && code <= static_cast<int>(kNations.size()))
        return kNations[static_cast<std::size_t>(code - 1)];
    if (code == kOtherNation)
        return u"其他";
    if (code == kForeignOrigin)
        return u"外国血统";
    return {};
}

std::u16string formatSex(std::u16string_view code, int format) {
    if (format == KAV_SEX_TEXT) {
        if (code == u"0")
            return u"未知";
        if (code == u"1")
            return u"男";
        if (code == u"2")
            return u"女";
        if (code == u"9")
            return u"未说明";
    }
    return std::u16string(code);
}

std::u16string formatNation(std::u16string_view code, int format) {
    if ((format != KAV_NATION_NAME && format != KAV_NATION_NAME_ZU) || code.size() != 2 ||
        !allDigits(code))
        return std::u16string(code);
    const int value = number(code);
    const std::u16string_view name = nationName(value);
    if (name.empty())
        return std::u16string(code);
    std::u16string out(name);
    if (format == KAV_NATION_NAME_ZU && value != kOtherNation && value != kForeignOrigin)
        out += u"族";
    return out;
}

std::u16string formatDate(std::u16string_view yyyymmdd, int format) {
    if (format < KAV_DATE_DASHES || format > KAV_DATE_SLASHES || !isDate(yyyymmdd))
        return std::u16string(yyyymmdd);
    const std::u16string_view year = yyyymmdd.substr(0, 4);
    const std::u16string_view month = yyyymmdd.substr(4, 2);
    const std::u16string_view day = yyyymmdd.substr(6, 2);
    std::u16string out(year);
    switch (format) {
    case KAV_DATE_DASHES:
        out.append(u"-").append(month).append(u"-").append(day);
        break;
    case KAV_DATE_CHINESE:
        out.append(u"年").append(month).append(u"月").append(day).append(u"日");
        break;
    case KAV_DATE_DOTS:
        out.append(u".").append(month).append(u".").append(day);
        break;
    default:
        out.append(u"/").append(month).append(u"/").append(day);
        break;
    }
    return out;
}

std::u16string formatValidUntil(std::u16string_view text, int dateFormat, int noEndDateCode) {
    // A malformed date still holds digits and is shown as it came; only a
    // value with no digit at all is the card's word for "no end date".
    const bool noEndDate = !text.empty() && std::none_of(text.begin(), text.end(), isDigit);
    if (!noEndDate)
        return formatDate(text, dateFormat);
    return noEndDateCode == KAV_NO_END_LONG_TERM ? u"长期" : u"";
}

CardText formatFields(const CardText &card, const FieldFormats &formats) {
    CardText out = card;
    out.sex = formatSex(card.sex, formats.sex());
    out.nation = formatNation(card.nation, formats.nation());
    out.born = formatDate(card.born, formats.born());
    out.validFrom = formatDate(card.validFrom, formats.validFrom());
    out.validUntil = formatValidUntil(card.validUntil, formats.validUntil(), formats.noEndDate());
    return out;
}

} // namespace kav::card
