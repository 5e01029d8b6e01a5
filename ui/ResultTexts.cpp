#include "ResultTexts.h"

#include "result_codes.h"

QString resultText(int code) {
    return QString::fromStdString(kav::results::chineseText(code));
}

QString failureStatus(const char *call, int code) {
    return QString::fromStdString(kav::results::failureStatus(call, code));
}
