#include "check.h"
#include "record_store.h"
#include "report.h"

#include "KavIDCardAPI.h"
#include "host/port_session.h"
#include "host/read_sequence.h"
#include "host/sam_id.h"
#include "open_failure.h"
#include "output.h"
#include "soak_stats.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace kav::station {
namespace {

using cli::fieldUtf8;
using cli::resultText;
using Clock = std::chrono::steady_clock;
using Kind = PlanStep::Kind;
using Status = StepOutcome::Status;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double tenths(double ms) {
    return std::round(ms * 10.0) / 10.0;
}

std::string msText(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", ms);
    return text;
}

StepFailure callFailure(const char *operation, int code) {
    return {operation, std::to_string(code), resultText(code)};
}

// A failure after which the unit cannot answer any further step: it went away.
bool unitGone(int code) {
    return code == KAV_E_NO_DEVICE || code == KAV_E_IO;
}

struct ReadOutcome {
    const char *operation = nullptr; // the call that failed; nullptr: read
    int code = KAV_OK;
    double ms = 0;
    std::string idNumber;
};

// One read sequence on the open port, as kav read does it.
ReadOutcome readOnce(int port) {
    ReadOutcome out;
    const Clock::time_point start = Clock::now();
    const auto fail = [&](const char *operation, int code) {
        out.operation = operation;
        out.code = code;
        out.ms = msSince(start);
        return out;
    };
    IDCardRecord record{};
    if (const host::ReadSteps steps = host::readCard(port, record, host::AfterRefusal::Stop);
        !steps.ok())
        return fail(steps.failedCall(), steps.failedCode());
    out.ms = msSince(start);
    out.idNumber = fieldUtf8(record.idNumber, sizeof record.idNumber);
    return out;
}

// Failures that share a call and a code are one line with a count.
void addCounted(std::vector<StepFailure> &failures, std::vector<int> &counts,
                const StepFailure &failure) {
    for (std::size_t i = 0; i < failures.size(); ++i)
        if (failures[i].operation == failure.operation && failures[i].code == failure.code) {
            ++counts[i];
            return;
        }
    failures.push_back(failure);
    counts.push_back(1);
}

void finishCounted(StepOutcome &step, std::vector<StepFailure> failures,
                   const std::vector<int> &counts) {
    for (std::size_t i = 0; i < failures.size(); ++i) {
        failures[i].count = counts[i];
        step.failures.push_back(std::move(failures[i]));
    }
}

int stepReads(const PlanStep &plan, int port, StepOutcome &step, UnitResult &unit) {
    std::vector<StepFailure> failures;
    std::vector<int> counts;
    Json times = Json::array();
    int ok = 0;
    int lastCode = KAV_OK;
    for (int i = 0; i < plan.count; ++i) {
        const ReadOutcome read = readOnce(port);
        if (read.operation != nullptr) {
            addCounted(failures, counts, callFailure(read.operation, read.code));
            lastCode = read.code;
            if (unitGone(read.code))
                break;
            continue;
        }
        times.push_back(tenths(read.ms));
        unit.readMs.push_back(read.ms);
        bool good = true;
        if (read.ms > plan.limitMs) {
            addCounted(failures, counts,
                       {"", "over-limit", "a read took longer than " + msText(plan.limitMs)});
            good = false;
        }
        if (!plan.idNumber.empty() && read.idNumber != plan.idNumber) {
            addCounted(failures, counts,
                       {"", "wrong-id-number",
                        "the card read " + read.idNumber + ", the plan expects " + plan.idNumber});
            good = false;
        }
        ok += good ? 1 : 0;
    }
    step.figures =
        Json{{"count", plan.count}, {"ok", ok}, {"ms", times}, {"limitMs", plan.limitMs}};
    if (!plan.idNumber.empty())
        step.figures["idNumber"] = plan.idNumber;
    finishCounted(step, std::move(failures), counts);
    return lastCode;
}

int stepSoak(const PlanStep &plan, int port, StepOutcome &step, UnitResult &unit) {
    std::vector<cli::SoakAttempt> attempts;
    int lastCode = KAV_OK;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < plan.count; ++i) {
        const ReadOutcome read = readOnce(port);
        attempts.push_back({read.code, read.ms, read.operation ? read.operation : ""});
        if (read.operation == nullptr)
            unit.readMs.push_back(read.ms);
        lastCode = read.code;
        if (unitGone(read.code))
            break;
    }
    // Reads the unit never got to count as failed.
    const int missing = plan.count - static_cast<int>(attempts.size());
    const cli::SoakStats stats = cli::summariseSoak(attempts, msSince(start));
    const double ratio = double(stats.ok) / double(plan.count);
    step.figures = Json{{"count", plan.count},
                        {"ok", stats.ok},
                        {"okRatio", std::round(ratio * 1000.0) / 1000.0},
                        {"p95Ms", stats.p95Ms ? Json(tenths(*stats.p95Ms)) : Json(nullptr)},
                        {"minOkRatio", plan.minOkRatio}};
    if (plan.p95Ms)
        step.figures["p95LimitMs"] = *plan.p95Ms;
    for (const cli::FailedStep &failed : stats.failedSteps)
        step.failures.push_back(
            {failed.operation, std::to_string(failed.code), resultText(failed.code), failed.count});
    if (missing > 0)
        step.failures.push_back({"", "not-run", "reads not run: the unit went away", missing});
    if (ratio < plan.minOkRatio) {
        char text[120];
        std::snprintf(text, sizeof text, "%d of %d reads succeeded, the plan wants %.1f%%",
                      stats.ok, plan.count, plan.minOkRatio * 100.0);
        step.failures.push_back({"", "ok-ratio", text});
    }
    if (plan.p95Ms && stats.p95Ms && *stats.p95Ms > *plan.p95Ms)
        step.failures.push_back(
            {"", "p95",
             "p95 " + msText(*stats.p95Ms) + ", the plan allows " + msText(*plan.p95Ms)});
    // Failed reads the ratio allows do not fail the step.
    if (ratio >= plan.minOkRatio && !(plan.p95Ms && stats.p95Ms && *stats.p95Ms > *plan.p95Ms))
        step.failures.clear();
    return lastCode;
}

int stepBaudRoundTrip(const PlanStep &plan, int port, StepOutcome &step) {
    const Clock::time_point start = Clock::now();
    unsigned int current = 0;
    if (const int r = Kav_GetCOMBaud(port, &current); r != KAV_OK) {
        step.failures.push_back(callFailure("Kav_GetCOMBaud", r));
        return r;
    }
    step.figures = Json{{"from", current}, {"via", plan.baud}};
    const int from = static_cast<int>(current);
    if (const int r = Kav_SetCOMBaud(port, from, plan.baud); r != KAV_OK) {
        // Refused before the SAM heard of it (a raw TCP port, whose server
        // keeps its own rate): the unit is not at fault.
        if (r == KAV_E_NOT_SUPPORTED) {
            step.status = Status::Skipped;
            step.figures = Json{{"reason", "this port cannot change the rate (Kav_SetCOMBaud " +
                                               std::to_string(r) + ")"}};
            return KAV_OK;
        }
        step.failures.push_back(callFailure("Kav_SetCOMBaud", r));
        return r;
    }
    int code = Kav_GetSAMStatus(port, 0);
    if (code != KAV_OK)
        step.failures.push_back(callFailure("Kav_GetSAMStatus", code));
    // Back to where it was, whatever happened at the other rate.
    if (const int r = Kav_SetCOMBaud(port, plan.baud, from); r != KAV_OK) {
        step.failures.push_back(callFailure("Kav_SetCOMBaud", r));
        return r;
    }
    if (const int r = Kav_GetSAMStatus(port, 0); r != KAV_OK) {
        step.failures.push_back(callFailure("Kav_GetSAMStatus", r));
        code = r;
    }
    step.figures["ms"] = tenths(msSince(start));
    return code;
}

// Runs one step on the open port; the code that failed it last, or KAV_OK.
int runStep(const PlanStep &plan, int port, StepOutcome &step, UnitResult &unit) {
    const Clock::time_point start = Clock::now();
    switch (plan.kind) {
    case Kind::SamStatus: {
        const int r = Kav_GetSAMStatus(port, 0);
        if (r != KAV_OK)
            step.failures.push_back(callFailure("Kav_GetSAMStatus", r));
        step.figures = Json{{"ms", tenths(msSince(start))}};
        return r;
    }
    case Kind::SamId: {
        KavSamId id{};
        const int r = Kav_GetSAMID(port, id.bytes, 0);
        if (r != KAV_OK) {
            step.failures.push_back(callFailure("Kav_GetSAMID", r));
            return r;
        }
        unit.samId = host::samIdText(id);
        step.figures = Json{{"samId", unit.samId}};
        return r;
    }
    case Kind::Baud: {
        if (port > KAV_LAST_SERIAL_PORT) {
            step.status = Status::Skipped;
            step.figures = Json{{"reason", "a USB port has no rate"}};
            return KAV_OK;
        }
        unsigned int baud = 0;
        const int r = Kav_GetCOMBaud(port, &baud);
        if (r != KAV_OK) {
            step.failures.push_back(callFailure("Kav_GetCOMBaud", r));
            return r;
        }
        step.figures = Json{{"baud", baud}, {"expected", plan.baud}};
        if (static_cast<int>(baud) != plan.baud)
            step.failures.push_back({"", "wrong-rate",
                                     "the SAM is at " + std::to_string(baud) + ", the plan wants " +
                                         std::to_string(plan.baud)});
        return r;
    }
    case Kind::Reads:
        return stepReads(plan, port, step, unit);
    case Kind::BaudRoundTrip:
        if (port > KAV_LAST_SERIAL_PORT) {
            step.status = Status::Skipped;
            step.figures = Json{{"reason", "a USB port has no rate"}};
            return KAV_OK;
        }
        return stepBaudRoundTrip(plan, port, step);
    case Kind::Soak:
        return stepSoak(plan, port, step, unit);
    }
    return KAV_OK;
}

// A big word from a five-line font: PASS and FAIL, legible across a bench.
std::string bigWord(const std::string &word) {
    struct Glyph {
        char c;
        const char *rows[5];
    };
    static constexpr Glyph kGlyphs[] = {
        {'P', {"#### ", "#   #", "#### ", "#    ", "#    "}},
        {'A', {" ### ", "#   #", "#####", "#   #", "#   #"}},
        {'S', {" ####", "#    ", " ### ", "    #", "#### "}},
        {'F', {"#####", "#    ", "#### ", "#    ", "#    "}},
        {'I', {"#####", "  #  ", "  #  ", "  #  ", "#####"}},
        {'L', {"#    ", "#    ", "#    ", "#    ", "#####"}},
    };
    std::string text;
    for (int row = 0; row < 5; ++row) {
        text += "   ";
        for (char c : word)
            for (const Glyph &g : kGlyphs)
                if (g.c == c)
                    text += std::string(g.rows[row]) + "  ";
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        text += '\n';
    }
    return text;
}

} // namespace

const char *statusName(StepOutcome::Status status) {
    switch (status) {
    case Status::Passed:
        return "pass";
    case Status::Failed:
        return "fail";
    case Status::Skipped:
        return "skipped";
    }
    return "?";
}

std::string utcNow() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[96];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

UnitResult checkUnit(const CheckPlan &plan, int port) {
    UnitResult unit;
    unit.port = port;
    unit.at = utcNow();
    const Clock::time_point start = Clock::now();
    const host::PortSession open(port);
    if (!open.isOpen()) {
        StepOutcome step;
        step.step = "open";
        step.status = Status::Failed;
        const int code = open.openResult();
        step.failures.push_back({"Kav_OpenPort", std::to_string(code),
                                 cli::openFailureText(port, code, cli::lastFailureText(port))});
        unit.steps.push_back(std::move(step));
    } else {
        bool gone = false;
        for (const PlanStep &planned : plan.steps) {
            StepOutcome step;
            step.step = stepName(planned.kind);
            if (gone) {
                step.status = Status::Skipped;
                step.figures = Json{{"reason", "not run: the unit went away"}};
            } else {
                gone = unitGone(runStep(planned, port, step, unit));
                if (step.status != Status::Skipped)
                    step.status = step.failures.empty() ? Status::Passed : Status::Failed;
            }
            unit.steps.push_back(std::move(step));
        }
    }
    bool passed = true;
    for (const StepOutcome &step : unit.steps)
        passed = passed && step.status != Status::Failed;
    unit.verdict = passed ? Verdict::Pass : Verdict::Fail;
    unit.ms = msSince(start);
    unit.endedAt = utcNow();
    unit.stepResults = stepResultsOf(unit.steps);
    return unit;
}

Json unitJson(const UnitResult &unit, const CheckRun &run, const Json &record) {
    Json steps = Json::array();
    for (const StepOutcome &step : unit.steps) {
        Json failures = Json::array();
        for (const StepFailure &f : step.failures)
            failures.push_back(Json{{"operation", f.operation},
                                    {"code", f.code},
                                    {"text", f.text},
                                    {"count", f.count}});
        steps.push_back(Json{{"step", step.step},
                             {"status", statusName(step.status)},
                             {"figures", step.figures},
                             {"failures", failures}});
    }
    Json body{{"port", unit.port},
              {"verdict", verdictName(unit.verdict)},
              {"samId", unit.samId.empty() ? Json(nullptr) : Json(unit.samId)},
              {"at", unit.at},
              {"ms", tenths(unit.ms)},
              {"plan", Json{{"name", run.plan->name}, {"hash", run.plan->hash}}},
              {"steps", steps}};
    if (!record.is_null())
        body["record"] = record;
    return body;
}

std::string unitBanner(const UnitResult &unit, const CheckRun &run, bool colour) {
    const char *word = verdictName(unit.verdict);
    // White on green or on red, the whole block.
    const std::string on = colour ? (unit.passed() ? "\033[1;97;42m" : "\033[1;97;41m") : "";
    const std::string off = colour ? "\033[0m" : "";
    std::string text = on + "\n" + bigWord(word) + "\n" + off;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", unit.ms / 1000.0);
    text += std::string(word) + "  port " + std::to_string(unit.port) + "  SAM " +
            (unit.samId.empty() ? "?" : printableLine(unit.samId)) + "  plan " +
            printableLine(run.plan->name) + "  " + seconds + "\n";
    for (const StepOutcome &step : unit.steps) {
        const char *mark = step.status == Status::Passed   ? "ok  "
                           : step.status == Status::Failed ? "FAIL"
                                                           : "skip";
        text += "  " + std::string(mark) + "  " + printableLine(step.step);
        if (step.status == Status::Skipped && step.figures.contains("reason"))
            text += ": " + printableLine(step.figures["reason"].get<std::string>());
        text += '\n';
        // Card and device texts reach these lines too: nothing raw.
        for (const StepFailure &f : step.failures)
            text += "        " +
                    (f.operation.empty() ? std::string() : printableLine(f.operation) + " ") +
                    printableLine(f.code) + ": " + printableLine(f.text) +
                    (f.count > 1 ? " (" + std::to_string(f.count) + " times)" : "") + '\n';
    }
    return text;
}

} // namespace kav::station
