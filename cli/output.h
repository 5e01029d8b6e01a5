// What a command prints: one JSON object on standard output with --json,
// short UTF-8 lines otherwise. Failures go the same way and return their
// exit class.
#pragma once

#include "optional_exports.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace kav::cli {

using Json = nlohmann::ordered_json;

class Output {
  public:
    // What one port's command would have printed, kept instead, so that a
    // command on many ports prints one labelled line (or object) per port.
    struct Capture {
        Json body;         // the JSON object the command would print
        std::string human; // its text; for a failure without the "kav: " in front
        int exitCode = 0;
        bool failed = false;
    };

    // warnings: the library's, whose texts failures on their port carry.
    explicit Output(bool json, std::vector<LibraryWarning> warnings = {})
        : json_(json), warnings_(std::move(warnings)) {}
    // Like `base`, but keeping the result in `capture` instead of printing.
    Output(const Output &base, Capture &capture)
        : json_(base.json_), warnings_(base.warnings_), capture_(&capture) {}

    bool json() const { return json_; }
    const std::vector<LibraryWarning> &warnings() const { return warnings_; }
    // The warnings about one port: [{"port","text"}], and as one text
    // ("; port 1: card file ...") to follow a failure's line, leaving out
    // those the line says already (`said`).
    Json warningsJson(int port) const;
    std::string warningsText(int port, std::string_view said = {}) const;

    // Prints the result (body with --json, else the human text on standard
    // output) and returns kExitOk.
    int success(const Json &body, std::string_view human) const;

    // Prints {"error":{"operation","code","text"}} on standard output with
    // --json, else one line on standard error; returns the code's class.
    // A failure on a port the library warned about carries those warnings
    // ("warnings" in the error object); one the library can say more about
    // carries its text ("detail", and after the code's text on the line).
    int failure(std::string_view operation, int code, int port = 0) const;
    // The same with more to say: details' members join the error object,
    // detailsText follows the line.
    int failure(std::string_view operation, int code, int port, const Json &details,
                std::string_view detailsText) const;

    // A failure of kav's own, not of a library call: {"error":{"operation",
    // "text"}} on standard output with --json, else "kav: operation: text"
    // on standard error; returns exitCode.
    int error(std::string_view operation, std::string_view text, int exitCode) const;

    // A result that is also a failure class (find without a reader): the
    // body as for success, the given exit code.
    int result(const Json &body, std::string_view human, int exitCode) const;

  private:
    // The library's last failure on the port, when it says more than the
    // code's text; empty otherwise.
    std::string failureDetail(int port, int code) const;

    bool json_;
    std::vector<LibraryWarning> warnings_;
    Capture *capture_ = nullptr;
};

// Prints a line on standard output, noting a failure to write it.
void printOut(std::string_view line);
// A JSON value as kav prints it: one line.
std::string jsonLine(const Json &body);

// Standard output must be able to take what kav prints: a closed one is
// replaced by /dev/null, so that no device or file the library opens lands
// on descriptor 1, and noted as unwritable. Call before anything else.
void guardStandardStreams();

// The exit code once everything is printed: exitCode, or kExitOutput with a
// line on standard error when standard output could not take it all (a
// failure's own class stays).
int finishOutput(int exitCode);

// Kav_ResultText as UTF-8.
std::string resultText(int code);

// A GBK field of the interface, up to its NUL, as UTF-8.
std::string fieldUtf8(const char *span, std::size_t size);

} // namespace kav::cli
