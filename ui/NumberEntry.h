#pragma once

#include <QString>

// A number typed into an edit box, read the way atoi reads it: leading
// white space, an optional sign, then ASCII digits up to the first other
// character; no digits gives 0. Beyond 32 bits it saturates at the limit
// (ops/Text.h's numberEntry, which the handlers use).
int numberFromText(const QString &text);
