// What a failed library call means, in Chinese, for the dialog's status
// line: one text per result code, and a hint where one helps. The texts are
// the table of result codes' (reader/result_codes.h); a front end without
// Qt takes the same UTF-8 lines from kav::results::chineseText and
// kav::results::failureStatus.
#pragma once

#include <QString>

// The text of a result code: the library's own codes and the SAM's status
// bytes; other codes read as unknown.
QString resultText(int code);

// The status line for a failed call: "Kav_ReadMsg = -10: 照片无法写入 (...)".
QString failureStatus(const char *call, int code);
