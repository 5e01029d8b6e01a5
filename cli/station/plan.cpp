#include "plan.h"

#include "regular_file.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <vector>

namespace kav::station {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kRates[] = {115200, 57600, 38400, 19200, 9600};
// Far more than a line needs; keeps a typo from holding a station for days.
constexpr int kMaxCount = 100000;
constexpr double kMaxLimitMs = 600000;

struct StepShape {
    PlanStep::Kind kind;
    const char *name;
    std::set<std::string> keys; // besides "step" and "comment"
};

const StepShape kShapes[] = {
    {PlanStep::Kind::SamStatus, "sam-status", {}},
    {PlanStep::Kind::SamId, "sam-id", {}},
    {PlanStep::Kind::Baud, "baud", {"rate"}},
    {PlanStep::Kind::Reads, "reads", {"count", "limitMs", "idNumber"}},
    {PlanStep::Kind::BaudRoundTrip, "baud-round-trip", {"via"}},
    {PlanStep::Kind::Soak, "soak", {"count", "minOkRatio", "p95Ms"}},
};

// The first problem found, as "place: what".
struct Problem {
    std::string place;
    std::string what;
};

std::string knownSteps() {
    std::string list;
    for (const StepShape &s : kShapes)
        list += std::string(list.empty() ? "" : ", ") + s.name;
    return list;
}

std::string ratesText() {
    std::string list;
    for (int r : kRates)
        list += (list.empty() ? "" : ", ") + std::to_string(r);
    return list;
}

std::optional<Problem> readCount(const Json &step, const std::string &place, int &count) {
    if (!step.contains("count"))
        return Problem{place, "\"count\" is missing"};
    const Json &v = step["count"];
    if (!v.is_number_integer() || v.get<long long>() < 1 || v.get<long long>() > kMaxCount)
        return Problem{place + ".count",
                       "must be a whole number from 1 to " + std::to_string(kMaxCount)};
    count = static_cast<int>(v.get<long long>());
    return std::nullopt;
}

std::optional<Problem> readMs(const Json &v, const std::string &place, double &ms) {
    if (!v.is_number() || !(v.get<double>() > 0) || v.get<double>() > kMaxLimitMs)
        return Problem{place, "must be a number of milliseconds above 0, at most " +
                                  std::to_string(static_cast<int>(kMaxLimitMs))};
    ms = v.get<double>();
    return std::nullopt;
}

std::optional<Problem> readRate(const Json &step, const std::string &place, const char *key,
                                int &rate) {
    if (!step.contains(key))
        return Problem{place, std::string("\"") + key + "\" is missing"};
    const Json &v = step[key];
    if (v.is_number_integer())
        for (int r : kRates)
            if (v.get<long long>() == r) {
                rate = r;
                return std::nullopt;
            }
    return Problem{place + "." + key, "must be a SAM rate (" + ratesText() + ")"};
}

std::optional<Problem> readStep(const Json &step, const std::string &place, PlanStep &out) {
    if (!step.is_object())
        return Problem{place, "must be an object such as {\"step\": \"sam-status\"}"};
    if (!step.contains("step") || !step["step"].is_string())
        return Problem{place, "\"step\" is missing or not a text (one of " + knownSteps() + ")"};
    const std::string name = step["step"].get<std::string>();
    const StepShape *shape = nullptr;
    for (const StepShape &s : kShapes)
        if (name == s.name)
            shape = &s;
    if (shape == nullptr)
        return Problem{place + ".step",
                       "unknown step \"" + name + "\" (one of " + knownSteps() + ")"};
    for (const auto &[key, value] : step.items())
        if (key != "step" && key != "comment" && shape->keys.count(key) == 0)
            return Problem{place + "." + key, "not a setting of step " + name};
    if (step.contains("comment") && !step["comment"].is_string())
        return Problem{place + ".comment", "must be a text"};
    out.kind = shape->kind;
    switch (shape->kind) {
    case PlanStep::Kind::SamStatus:
    case PlanStep::Kind::SamId:
        return std::nullopt;
    case PlanStep::Kind::Baud:
        return readRate(step, place, "rate", out.baud);
    case PlanStep::Kind::BaudRoundTrip:
        return readRate(step, place, "via", out.baud);
    case PlanStep::Kind::Reads:
        if (auto p = readCount(step, place, out.count))
            return p;
        if (!step.contains("limitMs"))
            return Problem{place, "\"limitMs\" is missing"};
        if (auto p = readMs(step["limitMs"], place + ".limitMs", out.limitMs))
            return p;
        if (step.contains("idNumber")) {
            const Json &id = step["idNumber"];
            if (!id.is_string() || id.get<std::string>().empty() ||
                id.get<std::string>().size() > 36)
                return Problem{place + ".idNumber", "must be the card's ID number as text"};
            out.idNumber = id.get<std::string>();
        }
        return std::nullopt;
    case PlanStep::Kind::Soak:
        if (auto p = readCount(step, place, out.count))
            return p;
        if (step.contains("minOkRatio")) {
            const Json &r = step["minOkRatio"];
            if (!r.is_number() || r.get<double>() < 0 || r.get<double>() > 1)
                return Problem{place + ".minOkRatio", "must be a number from 0 to 1"};
            out.minOkRatio = r.get<double>();
        }
        if (step.contains("p95Ms")) {
            double ms = 0;
            if (auto p = readMs(step["p95Ms"], place + ".p95Ms", ms))
                return p;
            out.p95Ms = ms;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<Problem> readPlan(const Json &plan, CheckPlan &out) {
    if (!plan.is_object())
        return Problem{"the top", "must be an object with \"name\" and \"steps\""};
    for (const auto &[key, value] : plan.items())
        if (key != "name" && key != "version" && key != "steps" && key != "comment")
            return Problem{key, "not a setting of a plan (name, version, steps, comment)"};
    if (plan.contains("comment") && !plan["comment"].is_string())
        return Problem{"comment", "must be a text"};
    if (!plan.contains("name") || !plan["name"].is_string() ||
        plan["name"].get<std::string>().empty())
        return Problem{"name", "missing or not a text: the plan needs a name"};
    out.name = plan["name"].get<std::string>();
    if (out.name.size() > 200)
        return Problem{"name", "longer than 200 bytes"};
    if (plan.contains("version")) {
        if (!plan["version"].is_string())
            return Problem{"version", "must be a text"};
        out.version = plan["version"].get<std::string>();
        if (out.version.size() > 200)
            return Problem{"version", "longer than 200 bytes"};
    }
    if (!plan.contains("steps") || !plan["steps"].is_array() || plan["steps"].empty())
        return Problem{"steps", "missing or not a list of at least one step"};
    const Json &steps = plan["steps"];
    for (std::size_t i = 0; i < steps.size(); ++i) {
        PlanStep step;
        if (auto p = readStep(steps[i], "steps[" + std::to_string(i) + "]", step))
            return p;
        out.steps.push_back(std::move(step));
    }
    return std::nullopt;
}

// Line and column of a byte offset, both from 1.
std::string lineAndColumn(const std::string &text, std::size_t offset) {
    offset = std::min(offset, text.size());
    int line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < offset; ++i)
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1);
}

} // namespace

const char *stepName(PlanStep::Kind kind) {
    for (const StepShape &s : kShapes)
        if (s.kind == kind)
            return s.name;
    return "?";
}

const std::string &defaultPlanText() {
    // A plan any working unit passes with the reference card on it: limits
    // a real reader meets with room (a card read takes about half a second).
    static const std::string text = R"({
  "name": "default",
  "comment": "kav's built-in plan: any reference card, limits a working reader meets",
  "steps": [
    {"step": "sam-status"},
    {"step": "sam-id"},
    {"step": "baud", "rate": 115200},
    {"step": "reads", "count": 3, "limitMs": 2000},
    {"step": "baud-round-trip", "via": 57600},
    {"step": "soak", "count": 5, "minOkRatio": 1.0, "p95Ms": 2000}
  ]
}
)";
    return text;
}

std::string textHash(const std::string &text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

std::optional<CheckPlan> parsePlan(const std::string &text, const std::string &source,
                                   std::string &error) {
    // A key given twice would silently lose one of its values: the parser
    // shows each object's keys as they come.
    std::vector<std::set<std::string>> keys;
    std::string twice;
    const Json::parser_callback_t noKeyTwice =
        [&keys, &twice](int, nlohmann::detail::parse_event_t event, Json &parsed) {
            using Event = nlohmann::detail::parse_event_t;
            if (event == Event::object_start)
                keys.emplace_back();
            else if (event == Event::object_end && !keys.empty())
                keys.pop_back();
            else if (event == Event::key && !keys.empty() &&
                     !keys.back().insert(parsed.get<std::string>()).second && twice.empty())
                twice = parsed.get<std::string>();
            return true;
        };
    Json plan;
    try {
        plan = Json::parse(text, noKeyTwice);
    } catch (const Json::parse_error &e) {
        // nlohmann's byte is one past the offending character.
        error =
            source + ": " + lineAndColumn(text, e.byte > 0 ? e.byte - 1 : 0) + ": not valid JSON";
        return std::nullopt;
    } catch (const Json::exception &) {
        // A number no double holds (1e400, thousands of digits).
        error = source + ": a number too large for any setting";
        return std::nullopt;
    }
    if (!twice.empty()) {
        error = source + ": \"" + twice + "\": given twice in one object";
        return std::nullopt;
    }
    CheckPlan out;
    if (std::optional<Problem> problem = readPlan(plan, out)) {
        error = source + ": " + problem->place + ": " + problem->what;
        return std::nullopt;
    }
    out.text = text;
    out.hash = textHash(text);
    return out;
}

std::optional<CheckPlan> loadPlan(const std::string &path, std::string &error) {
    if (path.empty())
        return parsePlan(defaultPlanText(), "the built-in plan", error);
    // A plan is a few hundred bytes; a huge file is a wrong one.
    const std::optional<std::string> text = readRegularFile(path, 1 << 20, error);
    if (!text) {
        error = path + ": cannot be read: " + error;
        return std::nullopt;
    }
    return parsePlan(*text, path, error);
}

} // namespace kav::station
