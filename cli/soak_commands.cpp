#include "command_parts.h"

#include "exit_codes.h"
#include "interrupt.h"
#include "optional_exports.h"
#include "platform/system.h"
#include "port_set.h"
#include "soak_stats.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

namespace kav::cli {
namespace {

// A reader that is gone fails its open at once: look for it again a few
// times a second, not thousands.
constexpr auto kAbsentReaderPause = std::chrono::milliseconds{100};

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
// portInName: other ports read into the same folder at once, so each
// photo takes its port's name.
SoakRun soakLoop(int port, const SoakOptions &soak, SoakProgress &progress, bool live,
                 bool portInName) {
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
        const Step step = readSequence(port, record, nullptr, portInName);
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
    const SoakRun run =
        soakLoop(port, soak, progress, platform::stderrIsTerminal(), photo.portInName);
    return soakReport(out, port, run);
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
                return soakLoop(ports[at], soak, progress[at], false, photo.portInName);
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
