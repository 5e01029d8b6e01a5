// kav send: one frame by hand, its answer decoded. kav watch: a card's
// arrival and departure, found by polling, until Ctrl+C.
#include "command_parts.h"

#include "exit_codes.h"
#include "interrupt.h"
#include "optional_exports.h"
#include "result_codes.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace kav::cli {
namespace {

using SendFrameFn = int(KAV_CALL *)(int, const unsigned char *, int, int, unsigned char *, int,
                                    int *);

std::string hexText(const std::vector<std::uint8_t> &bytes, std::size_t from = 0,
                    std::size_t to = std::string::npos) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = from; i < bytes.size() && i < to; ++i) {
        if (!text.empty())
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

// "2026-12-08T09:01:02.345Z"
std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &seconds);
#else
    gmtime_r(&seconds, &tm);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms.count() % 1000));
    return text;
}

} // namespace

std::optional<std::vector<std::uint8_t>> parseHex(const std::string &text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == ':' || c == ',' || c == '\t')
            continue;
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        if (v < 0)
            return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty())
        return std::nullopt;
    return bytes;
}

int runSend(const Output &out, int port, const std::vector<std::uint8_t> &bytes, bool raw) {
    const auto send = host::optionalExport<SendFrameFn>("Kav_SendFrame");
    if (send == nullptr)
        return out.failure("Kav_SendFrame", KAV_E_NOT_SUPPORTED, port);
    PortSession open(port);
    if (!open.isOpen())
        return out.failure("Kav_OpenPort", open.openResult(), port);
    std::vector<std::uint8_t> answer(KAV_SEND_ANSWER_MAX_SIZE);
    int length = 0;
    if (const int r =
            send(port, bytes.data(), static_cast<int>(bytes.size()), raw ? KAV_SEND_RAW : 0,
                 answer.data(), static_cast<int>(answer.size()), &length);
        r != KAV_OK)
        return out.failure("Kav_SendFrame", r, port);
    answer.resize(static_cast<std::size_t>(length));
    // The library hands back only whole, checked frames: preamble, length,
    // SW1 SW2 SW3, data, checksum.
    if (answer.size() < 11)
        return out.failure("Kav_SendFrame", KAV_E_BAD_REPLY, port);
    const int status = answer[9];
    const std::size_t dataSize = answer.size() - 11;
    const std::string statusName = results::statusText(status);
    char head[64];
    std::snprintf(head, sizeof head, "status 0x%02X %s", status, statusName.c_str());
    std::string human = head;
    if (dataSize > 0)
        human += ", " + std::to_string(dataSize) +
                 " data bytes: " + hexText(answer, 10, answer.size() - 1);
    human += "\nanswer " + hexText(answer);
    return out.success(Json{{"answer", hexText(answer)},
                            {"sw1", answer[7]},
                            {"sw2", answer[8]},
                            {"status", status},
                            {"statusText", statusName},
                            {"data", hexText(answer, 10, answer.size() - 1)}},
                       human);
}

int runWatch(const Output &out, int port, int intervalMs) {
    PortSession open(port);
    if (!open.isOpen())
        return out.failure("Kav_OpenPort", open.openResult(), port);
    InterruptEndsRun interrupt;
    bool present = false;
    unsigned events = 0;
    while (!interruptRequested()) {
        unsigned char found[KAV_FIND_BUFFER_SIZE] = {};
        const int r = Kav_StartFindIDCard(port, found, 0);
        // Only "no card in the field" is an answer; anything else ends it.
        if (r != KAV_OK && r != KAV_SW_NO_CARD)
            return out.failure("Kav_StartFindIDCard", r, port);
        if ((r == KAV_OK) != present) {
            present = r == KAV_OK;
            ++events;
            const std::string time = utcNow();
            const char *event = present ? "arrival" : "departure";
            if (out.json())
                printOut(jsonLine(Json{{"time", time}, {"port", port}, {"event", event}}));
            else
                printOut(time + " port " + std::to_string(port) + ": card " +
                         (present ? "arrived" : "departed"));
        }
        // Cut short by Ctrl+C.
        for (int waited = 0; waited < intervalMs && !interruptRequested(); waited += 10)
            std::this_thread::sleep_for(
                std::chrono::milliseconds{std::min(10, intervalMs - waited)});
    }
    if (!out.json())
        std::fprintf(stderr, "kav: watch ended, %u events\n", events);
    return kExitOk;
}

} // namespace kav::cli
