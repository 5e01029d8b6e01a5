#include "commands.h"

#include "KavIDCardAPI.h"
#include "card_fields.h"
#include "exit_codes.h"
#include "host/trace_format.h"
#include "interrupt.h"
#include "optional_exports.h"
#include "platform/system.h"
#include "port_set.h"
#include "sha256.h"
#include "soak_stats.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace kav::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadMaxRfBytes = 80; // the dialog reads with this, whatever else is set
constexpr auto kSerialSettle =
    std::chrono::milliseconds{200}; // as the dialog, before the baud query

// The first call of a sequence that failed, or none.
struct Step {
    const char *operation = nullptr;
    int code = KAV_OK;
    bool ok() const { return operation == nullptr; }
};

// Closes the port however the sequence ends.
class OpenPort {
  public:
    explicit OpenPort(int port) : port_(port), result_(Kav_OpenPort(port)) {}
    ~OpenPort() { Kav_ClosePort(port_); }
    OpenPort(const OpenPort &) = delete;
    OpenPort &operator=(const OpenPort &) = delete;
    int result() const { return result_; }

  private:
    int port_;
    int result_;
};

// Open, one SAM command, close: status and reset.
int samCommand(const Output &out, int port, const char *operation, int (*command)(int, int),
               const char *human) {
    OpenPort open(port);
    if (open.result() != KAV_OK)
        return out.failure("Kav_OpenPort", open.result(), port);
    if (const int r = command(port, 0); r != KAV_OK)
        return out.failure(operation, r, port);
    return out.success(Json{{"ok", true}}, human);
}

std::uint32_t littleEndian32(const unsigned char *b) {
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

// The dialog's field formats, so that kav and the dialog read alike.
// A refused photo folder fails the command before any read: the library
// would otherwise keep its previous folder and the photo land elsewhere.
Step setReadSettings(const PhotoOptions &photo) {
    Kav_SetSexType(KAV_SEX_TEXT);
    Kav_SetNationType(KAV_NATION_NAME);
    Kav_SetBornType(KAV_DATE_CHINESE);
    Kav_SetUserLifeBType(KAV_DATE_DOTS);
    Kav_SetUserLifeEType(KAV_DATE_SLASHES, KAV_NO_END_LONG_TERM);
    if (photo.type)
        Kav_SetPhotoType(*photo.type);
    if (photo.scheme)
        Kav_SetPhotoName(*photo.scheme);
    if (photo.folderGbk)
        if (const int r = Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, photo.folderGbk->c_str());
            r != KAV_OK)
            return {"Kav_SetPhotoPath", r};
    return {};
}

// A reader that is gone fails its open at once: look for it again a few
// times a second, not thousands.
constexpr auto kAbsentReaderPause = std::chrono::milliseconds{100};

// The dialog's read sequence, stopping at the first call that fails (the
// dialog lets find and select go on to the read; a script wants to know
// which step refused): open, 80 RF bytes, find, select, then `read` (which
// returns its Step) while the port is still open.
template <typename Read> Step cardSequence(int port, Read read) {
    OpenPort open(port);
    if (open.result() != KAV_OK)
        return {"Kav_OpenPort", open.result()};
    if (const int r = Kav_SetMaxRFByte(port, kReadMaxRfBytes, 0); r != KAV_OK)
        return {"Kav_SetMaxRFByte", r};
    unsigned char found[KAV_FIND_BUFFER_SIZE] = {};
    if (const int r = Kav_StartFindIDCard(port, found, 0); r != KAV_OK)
        return {"Kav_StartFindIDCard", r};
    unsigned char selected[KAV_SELECT_BUFFER_SIZE] = {};
    if (const int r = Kav_SelectIDCard(port, selected, 0); r != KAV_OK)
        return {"Kav_SelectIDCard", r};
    return read();
}

// The read as the dialog makes it. With `last`, what the read took from the
// card (every field of its type, or the letter of a type not known) is
// asked for before the port closes, from a library that can say it;
// last->type stays KAV_CARD_NONE otherwise.
Step readSequence(int port, IDCardRecord &record, KavCardData *last = nullptr) {
    return cardSequence(port, [&]() -> Step {
        const int r = Kav_ReadMsg(port, 0, &record);
        if (const GetLastCardFn get = getLastCardExport(); last != nullptr && get != nullptr) {
            last->size = sizeof *last;
            if (get(port, last) != KAV_OK)
                last->type = KAV_CARD_NONE;
        }
        if (r != KAV_OK)
            return {"Kav_ReadMsg", r};
        return {};
    });
}

#define KAV_RECORD_FIELD(member) fieldUtf8(record.member, sizeof record.member)

Json recordJson(const IDCardRecord &record) {
    return Json{
        {"name", KAV_RECORD_FIELD(name)},
        {"sex", KAV_RECORD_FIELD(sex)},
        {"nation", KAV_RECORD_FIELD(nation)},
        {"born", KAV_RECORD_FIELD(born)},
        {"address", KAV_RECORD_FIELD(address)},
        {"idNumber", KAV_RECORD_FIELD(idNumber)},
        {"issuer", KAV_RECORD_FIELD(issuer)},
        {"validFrom", KAV_RECORD_FIELD(validFrom)},
        {"validUntil", KAV_RECORD_FIELD(validUntil)},
        {"photoFile", KAV_RECORD_FIELD(photoFile)},
    };
}

#undef KAV_RECORD_FIELD

// The card of any type: its type, then every field of its layout.
Json cardJson(const KavCardData &card) {
    Json body{{"cardType", host::cardTypeKey(card)},
              {"cardTypeName", host::cardTypeName(card.type)}};
    for (const host::CardField &field : host::cardFields(card))
        body[field.key] = field.value;
    return body;
}

std::string cardText(const KavCardData &card) {
    std::string text = "证件类型: " + host::cardTypeName(card.type);
    for (const host::CardField &field : host::cardFields(card))
        text += "\n" + std::string(field.label) + ": " + field.value;
    return text;
}

// A card of a type this library does not know: the letter and the raw text
// block, so that the user can see it and report it.
int unknownLayout(const Output &out, const Step &step, int port, const KavCardData &card) {
    const std::string letter = host::cardTypeKey(card);
    const std::string block = host::hexBytes(card.textBlock, sizeof card.textBlock, "");
    return out.failure(step.operation, step.code, port,
                       Json{{"cardType", letter}, {"textBlock", block}},
                       "; card type " + letter + "; text block " + block);
}

// No copy of fingerprint data stays in freed memory.
void wipe(KavCardData &card) {
    volatile unsigned char *p = card.fingerprint;
    for (std::size_t i = 0; i < sizeof card.fingerprint; ++i)
        p[i] = 0;
}

std::string recordText(const Json &record) {
    static const std::pair<const char *, const char *> kLabels[] = {
        {"name", "姓名"},
        {"sex", "性别"},
        {"nation", "民族"},
        {"born", "出生"},
        {"address", "住址"},
        {"idNumber", "身份证号"},
        {"issuer", "发证机关"},
        {"validFrom", "有效期开始"},
        {"validUntil", "有效期结束"},
        {"photoFile", "照片"},
    };
    std::string text;
    for (const auto &[key, label] : kLabels) {
        if (!text.empty())
            text += '\n';
        text += std::string(label) + ": " + record[key].get<std::string>();
    }
    return text;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Json optionalMs(const std::optional<double> &ms) {
    // Tenths of a millisecond: finer than that is the scheduler's noise.
    return ms ? Json(std::round(*ms * 10.0) / 10.0) : Json(nullptr);
}

// The pause between sequences, cut short by Ctrl-C.
void pause(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds{ms};
    while (!interruptRequested() && Clock::now() < until)
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::chrono::milliseconds{50}, until - Clock::now()));
}

// Commands the library sent twice on the port so far; nullopt from a
// library that does not count them.
std::optional<unsigned> retryCount(int port) {
    unsigned count = 0;
    const GetRetryCountFn get = getRetryCountExport();
    if (get == nullptr || get(port, &count) != KAV_OK)
        return std::nullopt;
    return count;
}

void showProgress(int done, int total, int ok, double elapsedMs) {
    const double perMinute = elapsedMs > 0 ? double(done) * 60000.0 / elapsedMs : 0;
    const double leftS = done > 0 ? elapsedMs / done * (total - done) / 1000.0 : 0;
    std::fprintf(stderr, "\rsoak %d/%d  ok %d  failed %d  %.1f/min  %d:%02d left ", done, total, ok,
                 done - ok, perMinute, int(leftS) / 60, int(leftS) % 60);
    std::fflush(stderr);
}

} // namespace

std::string samIdText(const unsigned char *b) {
    char text[64];
    std::snprintf(text, sizeof text, "%X%X-%X%X-%" PRIu32 "-%" PRIu32 "-%" PRIu32, b[1], b[0], b[3],
                  b[2], littleEndian32(b + 4), littleEndian32(b + 8), littleEndian32(b + 12));
    return text;
}

int runFind(const Output &out) {
    const int port = Kav_FindReader();
    if (port <= KAV_NO_PORT) {
        // A reader may well be behind a port this user may not open.
        std::string refusedText;
        const Json refused = refusedPorts(out, refusedText);
        Json body{{"port", 0}};
        std::string human = "no reader found";
        if (!refused.empty()) {
            body["refused"] = refused;
            human += "; " + std::to_string(refused.size()) +
                     (refused.size() == 1 ? " port" : " ports") +
                     " could not be opened:" + refusedText;
        }
        return out.result(body, human, kExitNoDevice);
    }
    if (port > KAV_LAST_SERIAL_PORT)
        return out.success(Json{{"port", port}, {"kind", "usb"}},
                           "reader on USB port " + std::to_string(port));
    std::this_thread::sleep_for(kSerialSettle);
    unsigned int baud = 0;
    if (const int r = Kav_GetCOMBaud(port, &baud); r != KAV_OK)
        return out.failure("Kav_GetCOMBaud", r, port);
    return out.success(Json{{"port", port}, {"kind", "serial"}, {"baud", baud}},
                       "reader on serial port " + std::to_string(port) + ", SAM at " +
                           std::to_string(baud) + " baud");
}

int runStatus(const Output &out, int port) {
    return samCommand(out, port, "Kav_GetSAMStatus", Kav_GetSAMStatus, "SAM status ok");
}

int runReset(const Output &out, int port) {
    return samCommand(out, port, "Kav_ResetSAM", Kav_ResetSAM, "SAM reset");
}

int runSamId(const Output &out, int port) {
    OpenPort open(port);
    if (open.result() != KAV_OK)
        return out.failure("Kav_OpenPort", open.result(), port);
    KavSamId id{};
    if (const int r = Kav_GetSAMID(port, id.bytes, 0); r != KAV_OK)
        return out.failure("Kav_GetSAMID", r, port);
    const std::string text = samIdText(id.bytes);
    return out.success(
        Json{{"samId", text}, {"hex", kav::host::hexBytes(id.bytes, sizeof id.bytes, "")}}, text);
}

int runBaud(const Output &out, int port, std::optional<int> newBaud) {
    unsigned int current = 0;
    if (const int r = Kav_GetCOMBaud(port, &current); r != KAV_OK)
        return out.failure("Kav_GetCOMBaud", r, port);
    if (!newBaud)
        return out.success(Json{{"baud", current}}, std::to_string(current) + " baud");
    if (const int r = Kav_SetCOMBaud(port, static_cast<int>(current), *newBaud); r != KAV_OK)
        return out.failure("Kav_SetCOMBaud", r, port);
    return out.success(Json{{"baud", *newBaud}}, "SAM now at " + std::to_string(*newBaud) +
                                                     " baud (was " + std::to_string(current) + ")");
}

int runMaxRf(const Output &out, int port, int count) {
    OpenPort open(port);
    if (open.result() != KAV_OK)
        return out.failure("Kav_OpenPort", open.result(), port);
    // As the dialog: make sure a reader answers before changing its setting.
    if (const int r = Kav_GetSAMStatus(port, 0); r != KAV_OK)
        return out.failure("Kav_GetSAMStatus", r, port);
    if (const int r = Kav_SetMaxRFByte(port, count, 0); r != KAV_OK)
        return out.failure("Kav_SetMaxRFByte", r, port);
    return out.success(Json{{"ok", true}}, "max RF bytes set to " + std::to_string(count));
}

int runRead(const Output &out, int port, const PhotoOptions &photo, const ReadOptions &options) {
    const bool withFingerprint = options.fingerprint || options.fingerprintOut.has_value();
    const ReadCardFn readCard = readCardExport();
    if (withFingerprint && readCard == nullptr) {
        std::fputs("kav: this library cannot read fingerprint data (it has no Kav_ReadCard)\n",
                   stderr);
        return kExitOther;
    }
    if (const Step set = setReadSettings(photo); !set.ok()) {
        out.failure(set.operation, set.code, port);
        return kExitPhoto;
    }
    IDCardRecord record{};
    auto card = std::make_unique<KavCardData>();
    struct Wipe {
        KavCardData &card;
        ~Wipe() { wipe(card); }
    } wiped{*card};
    const Step step = withFingerprint
                          ? cardSequence(port,
                                         [&]() -> Step {
                                             card->size = sizeof *card;
                                             const int r =
                                                 readCard(port, KAV_READ_FINGERPRINT, card.get());
                                             return r != KAV_OK ? Step{"Kav_ReadCard", r} : Step{};
                                         })
                          : readSequence(port, record, card.get());
    if (!step.ok()) {
        if (step.code == KAV_E_UNKNOWN_LAYOUT && card->type == KAV_CARD_UNKNOWN_LAYOUT)
            return unknownLayout(out, step, port, *card);
        return out.failure(step.operation, step.code, port);
    }
    // A library without the extended read still reads: its record, as ever.
    Json body = card->type != KAV_CARD_NONE ? cardJson(*card) : recordJson(record);
    std::string text = card->type != KAV_CARD_NONE ? cardText(*card) : recordText(body);
    if (withFingerprint) {
        const auto size = static_cast<std::size_t>(
            std::clamp(card->fingerprintSize, 0, static_cast<int>(sizeof card->fingerprint)));
        Json fingerprint{{"present", size > 0}, {"size", size}};
        if (size == 0) {
            text += "\nfingerprint: none on the card";
            if (options.fingerprintOut)
                text += "; " + *options.fingerprintOut + " not written";
        } else {
            const std::string digest = sha256Hex(std::span(card->fingerprint, size));
            fingerprint["sha256"] = digest;
            text += "\nfingerprint: " + std::to_string(size) + " bytes, SHA-256 " + digest;
            // Fingerprint data leaves kav only as its size and digest, or
            // into a new file of the user's own.
            if (options.fingerprintOut) {
                std::string error;
                if (!platform::writeNewPrivateFile(*options.fingerprintOut, card->fingerprint, size,
                                                   error)) {
                    std::fprintf(stderr, "kav: --fingerprint-out %s: %s\n",
                                 options.fingerprintOut->c_str(), error.c_str());
                    return kExitOther;
                }
                fingerprint["file"] = *options.fingerprintOut;
                text += ", written to " + *options.fingerprintOut;
            }
        }
        body["fingerprint"] = fingerprint;
    }
    return out.success(body, text);
}

int runAddress(const Output &out, int port) {
    const ReadAppendedAddressFn read = readAppendedAddressExport();
    if (read == nullptr) {
        std::fputs("kav: this library cannot read appended addresses (it has no "
                   "Kav_ReadAppendedAddress)\n",
                   stderr);
        return kExitOther;
    }
    char address[KAV_ADDRESS_TEXT_SIZE] = {};
    int present = 0;
    const Step step = cardSequence(port, [&]() -> Step {
        const int r = read(port, address, sizeof address, &present);
        return r != KAV_OK ? Step{"Kav_ReadAppendedAddress", r} : Step{};
    });
    if (!step.ok())
        return out.failure(step.operation, step.code, port);
    // No appended address is what the card says, not a failure.
    if (present == 0)
        return out.success(Json{{"present", false}, {"address", nullptr}},
                           "no appended address on the card");
    return out.success(Json{{"present", true}, {"address", address}},
                       std::string("追加住址: ") + address);
}

namespace {

// How far a port's soak has come, for the live lines.
struct SoakProgress {
    std::atomic<int> done{0};
    std::atomic<int> ok{0};
    std::atomic<bool> finished{false};
};

struct SoakRun {
    std::vector<SoakAttempt> attempts;
    double elapsedMs = 0;
    std::optional<unsigned> retriesBefore, retriesAfter;
};

// The read sequences of one port; `live` draws its one progress line.
SoakRun soakLoop(int port, const SoakOptions &soak, SoakProgress &progress, bool live) {
    SoakRun run;
    run.attempts.reserve(static_cast<std::size_t>(std::min(soak.count, 100'000)));
    int ok = 0;
    run.retriesBefore = retryCount(port);
    const Clock::time_point runStart = Clock::now();
    for (int i = 0; i < soak.count && !interruptRequested(); ++i) {
        if (i > 0 && soak.intervalMs > 0)
            pause(soak.intervalMs);
        if (interruptRequested())
            break;
        IDCardRecord record{};
        const Clock::time_point start = Clock::now();
        const Step step = readSequence(port, record);
        // A sequence the interrupt may have cut short says nothing of the reader.
        if (interruptRequested() && !step.ok())
            break;
        run.attempts.push_back({step.code, msSince(start), step.ok() ? "" : step.operation});
        ok += step.ok() ? 1 : 0;
        progress.ok.store(ok);
        progress.done.store(i + 1);
        if (!step.ok() && std::string_view(step.operation) == "Kav_OpenPort")
            pause(static_cast<int>(kAbsentReaderPause.count()));
        if (live)
            showProgress(i + 1, soak.count, ok, msSince(runStart));
    }
    if (live)
        std::fputc('\n', stderr);
    run.elapsedMs = msSince(runStart);
    run.retriesAfter = retryCount(port);
    progress.finished.store(true);
    return run;
}

// The summary of one port's soak, printed (or captured) through out.
int soakReport(const Output &out, int port, const SoakRun &run) {
    const SoakStats stats = summariseSoak(run.attempts, run.elapsedMs);

    Json failures = Json::object();
    for (const auto &[code, n] : stats.failures)
        failures[std::to_string(code)] = n;
    Json failedSteps = Json::array();
    std::string failureText;
    for (const FailedStep &step : stats.failedSteps) {
        failedSteps.push_back(Json{{"operation", step.operation},
                                   {"code", step.code},
                                   {"text", resultText(step.code)},
                                   {"count", step.count}});
        failureText += "\n  " + std::to_string(step.count) + " x " + step.operation + " " +
                       std::to_string(step.code) + " (" + resultText(step.code) + ")";
    }
    const double perMinute = std::round(stats.readsPerMinute * 10.0) / 10.0;
    Json body{
        {"count", stats.count},
        {"ok", stats.ok},
        {"failures", failures},
        {"failedSteps", failedSteps},
        {"ms", Json{{"min", optionalMs(stats.minMs)},
                    {"median", optionalMs(stats.medianMs)},
                    {"p95", optionalMs(stats.p95Ms)},
                    {"max", optionalMs(stats.maxMs)}}},
        {"readsPerMinute", perMinute},
    };
    // A line that degrades shows in its retries before its reads fail.
    std::string retriesText;
    if (run.retriesBefore && run.retriesAfter) {
        const unsigned retries = *run.retriesAfter - *run.retriesBefore;
        body["retries"] = retries;
        retriesText = "; " + std::to_string(retries) + (retries == 1 ? " retry" : " retries");
    }
    if (interruptRequested())
        body["interrupted"] = true;
    if (const Json warned = out.warningsJson(port); stats.ok < stats.count && !warned.empty()) {
        body["warnings"] = warned;
        for (const Json &w : warned)
            failureText += "\n  port " + std::to_string(port) + ": " + w["text"].get<std::string>();
    }
    char summary[200];
    std::snprintf(summary, sizeof summary, "%d reads: %d ok, %d failed; ", stats.count, stats.ok,
                  stats.count - stats.ok);
    std::string text = summary;
    // Timings are those of successful reads: none without one.
    if (stats.minMs) {
        std::snprintf(summary, sizeof summary, "ms min %.1f median %.1f p95 %.1f max %.1f; ",
                      *stats.minMs, stats.medianMs.value_or(0), stats.p95Ms.value_or(0),
                      stats.maxMs.value_or(0));
        text += summary;
    }
    std::snprintf(summary, sizeof summary, "%.1f reads/min", perMinute);
    text += summary + retriesText;
    return out.result(body, text + (interruptRequested() ? " (interrupted)" : "") + failureText,
                      stats.exitCode);
}

// The SAM's ID on a port, to label its line; nullopt when it does not say.
std::optional<std::string> samIdOf(int port) {
    OpenPort open(port);
    KavSamId id{};
    if (open.result() != KAV_OK || Kav_GetSAMID(port, id.bytes, 0) != KAV_OK)
        return std::nullopt;
    return samIdText(id.bytes);
}

struct PortResult {
    int port = 0;
    std::optional<std::string> samId;
    Output::Capture capture;
};

// Prints the ports' results, one line or object each; the worst exit class.
int printPortResults(const Output &out, const std::vector<PortResult> &results) {
    int worst = kExitOk;
    Json array = Json::array();
    for (const PortResult &r : results) {
        worst = std::max(worst, r.capture.exitCode);
        if (out.json()) {
            Json entry{{"port", r.port}, {"samId", r.samId ? Json(*r.samId) : Json(nullptr)}};
            for (const auto &[key, value] : r.capture.body.items())
                entry[key] = value;
            array.push_back(std::move(entry));
            continue;
        }
        std::string line = "port " + std::to_string(r.port) +
                           (r.samId ? " (SAM " + *r.samId + ")" : std::string()) + ": ";
        std::string text = r.capture.human;
        // One line a port: the read's field lines and a soak's failure
        // lines joined.
        for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos;) {
            std::size_t end = at + 1;
            while (end < text.size() && text[end] == ' ')
                ++end;
            text.replace(at, end - at, "; ");
        }
        printOut(line + text);
    }
    if (out.json())
        printOut(jsonLine(array));
    return worst;
}

// Redraws one line per port in place until every soak has finished.
void drawSoakLines(const std::vector<int> &ports, const std::vector<SoakProgress> &progress,
                   int total, Clock::time_point start, const std::atomic<bool> &finished) {
    bool drawn = false;
    for (;;) {
        const bool last = finished.load();
        std::string frame;
        if (drawn)
            frame += "\x1b[" + std::to_string(ports.size()) + "A";
        const double elapsed = msSince(start);
        for (std::size_t i = 0; i < ports.size(); ++i) {
            const int done = progress[i].done.load();
            const int ok = progress[i].ok.load();
            char line[160];
            std::snprintf(line, sizeof line,
                          "\r\x1b[Kport %d  soak %d/%d  ok %d  failed %d  %.1f/min%s\n", ports[i],
                          done, total, ok, done - ok,
                          elapsed > 0 ? double(done) * 60000.0 / elapsed : 0.0,
                          progress[i].finished.load() ? "  done" : "");
            frame += line;
        }
        std::fputs(frame.c_str(), stderr);
        std::fflush(stderr);
        drawn = true;
        if (last)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds{250});
    }
}

} // namespace

int runSoak(const Output &out, int port, const PhotoOptions &photo, const SoakOptions &soak) {
    if (const Step set = setReadSettings(photo); !set.ok()) {
        out.failure(set.operation, set.code, port);
        return kExitPhoto;
    }
    const InterruptEndsRun stopOnInterrupt;
    SoakProgress progress;
    const SoakRun run = soakLoop(port, soak, progress, platform::stderrIsTerminal());
    return soakReport(out, port, run);
}

int runOnPortsAtOnce(const Output &out, const std::vector<int> &ports, const PortCommand &command) {
    const std::vector<PortResult> results = runOnPorts<PortResult>(ports, [&](int port) {
        PortResult r;
        r.port = port;
        r.samId = samIdOf(port);
        const Output captured(out, r.capture);
        command(captured, port);
        return r;
    });
    return printPortResults(out, results);
}

int runSoakAtOnce(const Output &out, const std::vector<int> &ports, const PhotoOptions &photo,
                  const SoakOptions &soak) {
    if (const Step set = setReadSettings(photo); !set.ok()) {
        out.failure(set.operation, set.code, ports.empty() ? 0 : ports.front());
        return kExitPhoto;
    }
    const InterruptEndsRun stopOnInterrupt;
    std::vector<SoakProgress> progress(ports.size());
    std::vector<std::optional<std::string>> samIds(ports.size());
    std::vector<SoakRun> runs;
    std::atomic<bool> finished{false};
    const Clock::time_point start = Clock::now();
    {
        std::jthread work([&] {
            std::vector<int> index(ports.size());
            for (std::size_t i = 0; i < ports.size(); ++i)
                index[i] = static_cast<int>(i);
            runs = runOnPorts<SoakRun>(index, [&](int i) {
                const std::size_t at = static_cast<std::size_t>(i);
                samIds[at] = samIdOf(ports[at]);
                return soakLoop(ports[at], soak, progress[at], false);
            });
            finished.store(true);
        });
        if (platform::stderrIsTerminal())
            drawSoakLines(ports, progress, soak.count, start, finished);
    }
    const double elapsedMs = msSince(start);
    std::vector<PortResult> results(ports.size());
    int count = 0, ok = 0;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        results[i].port = ports[i];
        results[i].samId = samIds[i];
        const Output captured(out, results[i].capture);
        soakReport(captured, ports[i], runs[i]);
        count += static_cast<int>(runs[i].attempts.size());
        for (const SoakAttempt &a : runs[i].attempts)
            ok += a.result == KAV_OK ? 1 : 0;
    }
    const double perMinute =
        elapsedMs > 0 ? std::round(double(ok) * 60000.0 / elapsedMs * 10.0) / 10.0 : 0.0;
    if (!out.json()) {
        const int worst = printPortResults(out, results);
        char total[200];
        std::snprintf(total, sizeof total,
                      "total: %zu ports, %d reads: %d ok, %d failed; %.1f reads/min%s",
                      ports.size(), count, ok, count - ok, perMinute,
                      interruptRequested() ? " (interrupted)" : "");
        printOut(total);
        return worst;
    }
    // The total goes into the same array, as its last object.
    int worst = kExitOk;
    Json array = Json::array();
    for (const PortResult &r : results) {
        worst = std::max(worst, r.capture.exitCode);
        Json entry{{"port", r.port}, {"samId", r.samId ? Json(*r.samId) : Json(nullptr)}};
        for (const auto &[key, value] : r.capture.body.items())
            entry[key] = value;
        array.push_back(std::move(entry));
    }
    array.push_back(Json{{"port", nullptr},
                         {"total", true},
                         {"ports", ports.size()},
                         {"count", count},
                         {"ok", ok},
                         {"readsPerMinute", perMinute}});
    printOut(jsonLine(array));
    return worst;
}

} // namespace kav::cli
