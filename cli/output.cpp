#include "output.h"

#include "KavIDCardAPI.h"
#include "codepage936.h"
#include "exit_codes.h"
#include "open_failure.h"
#include "platform/system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kav::cli {
namespace {

int stdoutError = 0; // the first error writing standard output, 0 while none

void printLine(std::FILE *stream, std::string_view text) {
    bool ok = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    if (text.empty() || text.back() != '\n')
        ok = std::fputc('\n', stream) != EOF && ok;
    ok = std::fflush(stream) == 0 && ok;
    if (!ok && stream == stdout && stdoutError == 0)
        stdoutError = errno != 0 ? errno : EIO;
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

std::string jsonLine(const Json &body) {
    return dump(body);
}

void printOut(std::string_view line) {
    printLine(stdout, line);
}

int Output::result(const Json &body, std::string_view human, int exitCode) const {
    if (capture_ != nullptr) {
        *capture_ = {body, std::string(human), exitCode, false};
        return exitCode;
    }
    if (json_)
        printLine(stdout, dump(body));
    else if (!human.empty())
        printLine(stdout, human);
    return exitCode;
}

int Output::error(std::string_view operation, std::string_view text, int exitCode) const {
    const Json body{{"error", Json{{"operation", operation}, {"text", text}}}};
    const std::string line = std::string(operation) + ": " + std::string(text);
    if (capture_ != nullptr) {
        *capture_ = {body, line, exitCode, true};
        return exitCode;
    }
    if (json_)
        printLine(stdout, dump(body));
    else
        printLine(stderr, "kav: " + line);
    return exitCode;
}

int Output::success(const Json &body, std::string_view human) const {
    return result(body, human, kExitOk);
}

Json Output::warningsJson(int port) const {
    Json list = Json::array();
    for (const LibraryWarning &w : warnings_)
        if (w.port == port)
            list.push_back(Json{{"port", w.port}, {"text", w.text}});
    return list;
}

std::string Output::warningsText(int port, std::string_view said) const {
    std::string text;
    for (const LibraryWarning &w : warnings_)
        if (w.port == port && port != 0 && said.find(w.text) == std::string_view::npos)
            text += "; port " + std::to_string(port) + ": " + w.text;
    return text;
}

std::string Output::failureDetail(int port, int code) const {
    if (port == 0)
        return {};
    std::string detail = lastFailureText(port);
    // Where the library knows no more than the code, the line says it once.
    if (detail == resultText(code) || detail == Kav_ResultText(code))
        return {};
    return detail;
}

int Output::failure(std::string_view operation, int code, int port) const {
    return failure(operation, code, port, Json::object(), {});
}

int Output::failure(std::string_view operation, int code, int port, const Json &details,
                    std::string_view detailsText) const {
    const std::string text = resultText(code);
    const std::string detail = failureDetail(port, code);
    // A port that did not open is named with its device and what to do,
    // in place of the code's text.
    const bool open = port != 0 && operation == "Kav_OpenPort";
    const std::string diagnosis = open ? openFailureText(port, code, detail) : std::string();
    const std::string detailText = open             ? ": " + diagnosis
                                   : detail.empty() ? " (" + text + ")"
                                                    : " (" + text + "): " + detail;
    Json error;
    error["operation"] = operation;
    error["code"] = code;
    error["text"] = text;
    if (!detail.empty())
        error["detail"] = detail;
    if (open)
        error["diagnosis"] = diagnosis;
    if (const Json warned = warningsJson(port); port != 0 && !warned.empty())
        error["warnings"] = warned;
    if (capture_ != nullptr) {
        *capture_ = {Json{{"error", error}},
                     std::string(operation) + " failed: " + std::to_string(code) + detailText +
                         warningsText(port, detail),
                     exitClass(code), true};
        return capture_->exitCode;
    }
    if (json_) {
        for (const auto &[key, value] : details.items())
            error[key] = value;
        printLine(stdout, dump(Json{{"error", error}}));
    } else {
        printLine(stderr, "kav: " + std::string(operation) + " failed: " + std::to_string(code) +
                              detailText + std::string(detailsText) + warningsText(port, detail));
    }
    return exitClass(code);
}

void guardStandardStreams() {
    if (platform::reopenMissingStreams())
        stdoutError = EBADF;
}

int finishOutput(int exitCode) {
    if (std::fflush(stdout) != 0 && stdoutError == 0)
        stdoutError = errno != 0 ? errno : EIO;
    if (stdoutError == 0)
        return exitCode;
    std::fprintf(stderr, "kav: standard output could not be written: %s\n",
                 std::strerror(stdoutError));
    return exitCode == kExitOk ? kExitOutput : exitCode;
}

} // namespace kav::cli
