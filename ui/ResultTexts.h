// What a failed library call means, in Chinese, for the dialog's status
// line: one text per result code, and a hint where one helps.
#pragma once

#include <QString>

#include <string>

// The text of a result code: the library's own codes and the SAM's status
// bytes; other codes read as unknown.
QString resultText(int code);

// The status line for a failed call: "Kav_ReadMsg = -10: 照片无法写入 (...)".
QString failureStatus(const char *call, int code);

// The same in UTF-8, for the toolkit-free handlers.
std::string failureStatusText(const char *call, int code);
