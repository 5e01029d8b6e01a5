// What a command prints: one JSON object on standard output with --json,
// short UTF-8 lines otherwise. Failures go the same way and return their
// exit class.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace kav::cli {

using Json = nlohmann::ordered_json;

class Output {
  public:
    explicit Output(bool json) : json_(json) {}

    bool json() const { return json_; }

    // Prints the result (body with --json, else the human text on standard
    // output) and returns kExitOk.
    int success(const Json &body, std::string_view human) const;

    // Prints {"error":{"operation","code","text"}} on standard output with
    // --json, else one line on standard error; returns the code's class.
    int failure(std::string_view operation, int code) const;

    // A result that is also a failure class (find without a reader): the
    // body as for success, the given exit code.
    int result(const Json &body, std::string_view human, int exitCode) const;

  private:
    bool json_;
};

// Kav_ResultText as UTF-8.
std::string resultText(int code);

// A GBK field of the interface, up to its NUL, as UTF-8.
std::string fieldUtf8(const char *span, std::size_t size);

} // namespace kav::cli
