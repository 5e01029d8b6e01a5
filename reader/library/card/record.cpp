#include "record.h"

#include <cstring>

#include "card/utf16.h"
#include "codepage936.h"

namespace kav::card {
namespace {

struct RecordSpan {
    char *data;
    std::size_t size;
};

RecordSpan spanOf(IDCardRecord &record, Field field) {
    switch (field) {
    case Field::Name:
        return {record.name, sizeof record.name};
    case Field::Sex:
        return {record.sex, sizeof record.sex};
    case Field::Nation:
        return {record.nation, sizeof record.nation};
    case Field::Born:
        return {record.born, sizeof record.born};
    case Field::Address:
        return {record.address, sizeof record.address};
    case Field::IdNumber:
        return {record.idNumber, sizeof record.idNumber};
    case Field::Issuer:
        return {record.issuer, sizeof record.issuer};
    case Field::ValidFrom:
        return {record.validFrom, sizeof record.validFrom};
    case Field::ValidUntil:
        break;
    }
    return {record.validUntil, sizeof record.validUntil};
}

} // namespace

std::vector<Field> fillRecord(const CardText &card, const FieldFormats &formats,
                              IDCardRecord &record) {
    std::memset(&record, 0, sizeof record);
    const CardText shown = formatFields(card, formats);
    std::vector<Field> cut;
    for (const FieldLayout &layout : kTextLayout) {
        const std::string gbk = cp936::fromUtf8Lossy(toUtf8(shown[layout.field]));
        const RecordSpan span = spanOf(record, layout.field);
        if (!cp936::copyToField(gbk, span.data, span.size))
            cut.push_back(layout.field);
    }
    return cut;
}

} // namespace kav::card
