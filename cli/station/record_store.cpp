#include "record_store.h"

#include "sha256.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace kav::station {

namespace {

Json textOrNull(const std::string &text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

Json numberOrNull(const std::optional<double> &value) {
    return value ? Json(*value) : Json(nullptr);
}

} // namespace

const char *verdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Pass:
        return "PASS";
    case Verdict::Fail:
        return "FAIL";
    case Verdict::Error:
        return "ERROR";
    case Verdict::Aborted:
        return "ABORTED";
    }
    return "ERROR";
}

std::optional<Verdict> verdictFromName(std::string_view name) {
    std::string upper(name);
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (Verdict v : {Verdict::Pass, Verdict::Fail, Verdict::Error, Verdict::Aborted})
        if (upper == verdictName(v))
            return v;
    return std::nullopt;
}

Json runPayload(const StoredUnit &unit) {
    Json failures = Json::array();
    for (const FailureCount &f : unit.failures)
        failures.push_back(Json{{"step", f.step},
                                {"operation", f.operation},
                                {"code", f.code},
                                {"text", f.text},
                                {"count", f.count}});
    Json steps = Json::parse(unit.steps, nullptr, false);
    if (steps.is_discarded())
        steps = unit.steps; // kept as text rather than lost
    Json results = Json::array();
    for (const StepResult &r : unit.stepResults)
        results.push_back(Json{{"position", r.position},
                               {"step", r.step},
                               {"outcome", r.outcome},
                               {"measured", numberOrNull(r.measured)},
                               {"units", textOrNull(r.units)},
                               {"low", numberOrNull(r.low)},
                               {"high", numberOrNull(r.high)}});
    return Json{{"run_id", unit.runId},
                {"at", unit.at},
                {"ended_at", unit.endedAt},
                {"station", unit.station},
                {"operator", textOrNull(unit.operatorId)},
                {"serial", textOrNull(unit.serial)},
                {"sequence", unit.sequence},
                {"port", unit.port},
                {"sam_id", textOrNull(unit.samId)},
                {"plan_name", unit.planName},
                {"plan_version", unit.planVersion},
                {"plan_hash", unit.planHash},
                {"verdict", verdictName(unit.verdict)},
                {"ms", unit.ms},
                {"library_version", unit.libraryVersion},
                {"kav_version", unit.kavVersion},
                {"steps", steps},
                {"failures", failures},
                {"read_times", unit.readMs},
                {"step_results", results}};
}

std::string payloadText(const StoredUnit &unit) {
    // Card text may hold bytes that are not UTF-8: replaced, never a throw.
    return runPayload(unit).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string payloadHash(const StoredUnit &unit) {
    const std::string text = payloadText(unit);
    return cli::sha256Hex({reinterpret_cast<const std::uint8_t *>(text.data()), text.size()});
}

std::string newRunId() {
    unsigned char bytes[16];
    bool filled = false;
#ifndef _WIN32
    if (std::FILE *random = std::fopen("/dev/urandom", "rb")) {
        filled = std::fread(bytes, 1, sizeof bytes, random) == sizeof bytes;
        std::fclose(random);
    }
#endif
    if (!filled) {
        std::random_device random;
        for (unsigned char &b : bytes)
            b = static_cast<unsigned char>(random());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // the RFC variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

namespace {

std::optional<double> number(const Json &figures, const char *key) {
    if (figures.is_object() && figures.contains(key) && figures[key].is_number())
        return figures[key].get<double>();
    return std::nullopt;
}

} // namespace

std::vector<StepResult> stepResultsOf(const std::vector<StepOutcome> &steps) {
    std::vector<StepResult> results;
    for (const StepOutcome &step : steps) {
        StepResult r;
        r.position = static_cast<long long>(results.size());
        r.step = step.step;
        r.outcome = step.status == StepOutcome::Status::Passed   ? "PASS"
                    : step.status == StepOutcome::Status::Failed ? "FAIL"
                                                                 : "SKIPPED";
        const Json &f = step.figures;
        if (step.step == "reads") {
            // The slowest read is what the limit is held against.
            if (f.contains("ms") && f["ms"].is_array() && !f["ms"].empty()) {
                double slowest = 0;
                for (const Json &ms : f["ms"])
                    if (ms.is_number())
                        slowest = std::max(slowest, ms.get<double>());
                r.measured = slowest;
            }
            r.units = "ms";
            r.high = number(f, "limitMs");
        } else if (step.step == "soak") {
            r.measured = number(f, "okRatio");
            r.units = "ratio";
            r.low = number(f, "minOkRatio");
        } else if (step.step == "baud") {
            r.measured = number(f, "baud");
            r.units = "baud";
            r.low = r.high = number(f, "expected");
        } else if (number(f, "ms")) {
            r.measured = number(f, "ms");
            r.units = "ms";
        }
        if (!r.measured && !r.low && !r.high)
            r.units.clear();
        results.push_back(std::move(r));
    }
    return results;
}

std::vector<StepResult> stepResultsOf(const std::string &stepsJson) {
    const Json steps = Json::parse(stepsJson, nullptr, false);
    std::vector<StepOutcome> outcomes;
    if (!steps.is_array())
        return {};
    for (const Json &step : steps) {
        if (!step.is_object())
            continue;
        StepOutcome o;
        o.step = step.value("step", std::string());
        const std::string status = step.value("status", std::string());
        o.status = status == "pass"   ? StepOutcome::Status::Passed
                   : status == "fail" ? StepOutcome::Status::Failed
                                      : StepOutcome::Status::Skipped;
        o.figures = step.value("figures", Json::object());
        outcomes.push_back(std::move(o));
    }
    return stepResultsOf(outcomes);
}

StoredUnit storedUnitOf(const UnitResult &unit, const CheckRun &run, const Json &steps) {
    StoredUnit u;
    u.runId = unit.runId.empty() ? newRunId() : unit.runId;
    u.at = unit.at;
    u.endedAt = unit.endedAt.empty() ? timeAfter(unit.at, unit.ms) : unit.endedAt;
    u.station = run.station;
    u.operatorId = run.operatorId;
    u.serial = !run.serial.empty() ? run.serial : unit.samId;
    u.port = unit.port;
    u.samId = unit.samId;
    u.planName = run.plan->name;
    u.planVersion = run.plan->version;
    u.planHash = run.plan->hash;
    u.verdict = unit.verdict;
    u.ms = unit.ms;
    u.libraryVersion = run.libraryVersion;
    u.kavVersion = run.kavVersion;
    u.steps = steps.dump(-1, ' ', false, Json::error_handler_t::replace);
    for (const StepOutcome &step : unit.steps)
        for (const StepFailure &f : step.failures) {
            u.failures.push_back({step.step, f.operation, f.code, f.text, f.count});
            if (std::find(u.failedSteps.begin(), u.failedSteps.end(), step.step) ==
                u.failedSteps.end())
                u.failedSteps.push_back(step.step);
        }
    u.readMs = unit.readMs;
    u.stepResults = unit.stepResults.empty() ? stepResultsOf(unit.steps) : unit.stepResults;
    return u;
}

std::string timeAfter(const std::string &at, double ms) {
    using namespace std::chrono;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, milli = 0;
    char zone = 0;
    if (std::sscanf(at.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi, &sec, &milli,
                    &zone) != 8 ||
        zone != 'Z')
        return at;
    const year_month_day date{year(y), month(static_cast<unsigned>(mo)),
                              day(static_cast<unsigned>(d))};
    if (!date.ok())
        return at;
    const auto start = sys_days(date) + hours(h) + minutes(mi) + seconds(sec) + milliseconds(milli);
    const auto end = start + milliseconds(static_cast<long long>(std::llround(ms)));
    const auto dayOf = floor<days>(end);
    const year_month_day endDate{dayOf};
    const hh_mm_ss time{end - dayOf};
    char text[96];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(endDate.year()),
        static_cast<unsigned>(endDate.month()), static_cast<unsigned>(endDate.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string defaultRecordsPath() {
    namespace fs = std::filesystem;
    const char *data = std::getenv("XDG_DATA_HOME");
    fs::path base;
    if (data != nullptr && *data == '/') {
        base = data;
    } else {
        const char *home = std::getenv("HOME");
        base = fs::path(home != nullptr && *home != '\0' ? home : ".") / ".local" / "share";
    }
    return (base / "velkart" / "results.sqlite").string();
}

} // namespace kav::station
