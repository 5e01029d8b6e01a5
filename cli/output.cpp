#include "output.h"

#include "KavIDCardAPI.h"
#include "codepage936.h"
#include "exit_codes.h"

#include <cstdio>

namespace kav::cli {
namespace {

void printLine(std::FILE *stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    if (text.empty() || text.back() != '\n')
        std::fputc('\n', stream);
    std::fflush(stream);
}

std::string dump(const Json &body) {
    // The texts were converted with U+FFFD for bad bytes already; replace
    // rather than throw should anything slip through.
    return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

std::string resultText(int code) {
    return cp936::toUtf8(Kav_ResultText(code));
}

std::string fieldUtf8(const char *span, std::size_t size) {
    return cp936::toUtf8(cp936::fieldText(span, size));
}

int Output::result(const Json &body, std::string_view human, int exitCode) const {
    if (json_)
        printLine(stdout, dump(body));
    else if (!human.empty())
        printLine(stdout, human);
    return exitCode;
}

int Output::success(const Json &body, std::string_view human) const {
    return result(body, human, kExitOk);
}

int Output::failure(std::string_view operation, int code) const {
    const std::string text = resultText(code);
    if (json_) {
        Json error;
        error["operation"] = operation;
        error["code"] = code;
        error["text"] = text;
        printLine(stdout, dump(Json{{"error", error}}));
    } else {
        printLine(stderr, "kav: " + std::string(operation) + " failed: " + std::to_string(code) +
                              " (" + text + ")");
    }
    return exitClass(code);
}

} // namespace kav::cli
