#include "NumberEntry.h"

#include "Text.h"

int numberFromText(const QString &text) {
    // The rules read only ASCII: UTF-8 keeps every other character a non-digit.
    return numberEntry(text.toStdString());
}
