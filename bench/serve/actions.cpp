// The page's actions: each JSON body becomes one step line for the session, addressed to an
// instance when the body names one ("instance"). Every field is read
// strictly (a text is a text, a number a whole number within the field's range), and every text
// is quoted into the line, so that a request cannot add a word, a step or a line of its own.
#include "serve/actions.h"

#include "scenario/parser.h"

#include <nlohmann/json.hpp>

#include <climits>
#include <functional>
#include <map>

namespace zeph::bench {

namespace {

using nlohmann::json;

// Parent commands are a few words; this leaves room for quoting within the session's line limit.
constexpr size_t kMaxParentText = 2048;

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A malformed request: the body or one of its fields is not what the action takes.
struct BadRequest {
    std::string why;
    int status = 400;
};

json parseBody(const std::string& body) {
    json j = json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        throw BadRequest{"malformed request: the body must be one JSON object"};
    return j;
}

std::string text(const json& j, const char* key, std::optional<std::string> fallback = {}) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) {
        if (fallback)
            return *fallback;
        throw BadRequest{std::string("malformed request: \"") + key + "\" is missing"};
    }
    if (!it->is_string())
        throw BadRequest{std::string("malformed request: \"") + key + "\" must be a text"};
    return it->get<std::string>();
}

// A whole number within [0, INT32_MAX], the range every number of a step takes. A larger one is
// refused, not wrapped: 2^64-1 must not become -1.
long long number(const json& j, const char* key) {
    auto it = j.find(key);
    const std::string range = std::string("malformed request: \"") + key +
                              "\" must be a whole number from 0 to " + std::to_string(INT32_MAX);
    if (it == j.end() || !it->is_number_integer())
        throw BadRequest{range};
    if (it->is_number_unsigned()) {
        const unsigned long long n = it->get<unsigned long long>();
        if (n > static_cast<unsigned long long>(INT32_MAX))
            throw BadRequest{range};
        return static_cast<long long>(n);
    }
    const long long n = it->get<long long>();
    if (n < 0 || n > INT32_MAX)
        throw BadRequest{range};
    return n;
}

// The instance the optional "instance" field addresses; empty for the unnamed one. Checked here,
// so that a name cannot bring words of its own into the line.
std::string addressed(const json& j) {
    const std::string name = text(j, "instance", std::string());
    if (!name.empty() && !validInstanceName(name))
        throw BadRequest{"malformed request: \"instance\" is an instance's name (letters, "
                         "digits, '_', '-', '.')"};
    return name;
}

// Plays a step the request describes, written as a scenario line.
ActionResult play(Session& s, Step::Kind kind, std::vector<long long> numbers,
                  std::vector<std::string> words = {}, std::optional<std::string> text = {},
                  std::string instance = {}) {
    return s.play(stepText(makeStep(kind, std::move(numbers), std::move(words), std::move(text),
                                    std::move(instance))));
}

std::string answerJson(const ActionResult& r) {
    if (!r.ok())
        return errorJson(r.error);
    json out = {{"ok", true}, {"seq", r.seq}};
    if (r.answered)
        out["answer"] = r.answer ? json(*r.answer) : json(nullptr);
    return dump(out);
}

using Action = std::function<ActionResult(Session&, const json&)>;

ActionResult tooLong(size_t size) {
    ActionResult r;
    r.status = 413;
    r.error = "the parent text is " + std::to_string(size) +
              " bytes long; the page sends at most " + std::to_string(kMaxParentText);
    return r;
}

const std::map<std::string, Action>& actions() {
    static const std::map<std::string, Action> table = {
        {"/api/press",
         [](Session& s, const json& j) {
             // Read in order, so that the first malformed field is the one named.
             std::vector<std::string> words = {text(j, "panel"), text(j, "control")};
             std::string event = text(j, "event", std::string());
             return play(s, Step::Kind::Press, {}, std::move(words), std::move(event),
                         addressed(j));
         }},
        {"/api/parent",
         [](Session& s, const json& j) {
             const std::string t = text(j, "text");
             const std::string at = addressed(j);
             // Refused before it is quoted, so that the limit reads in the client's own bytes.
             return t.size() > kMaxParentText ? tooLong(t.size())
                                              : play(s, Step::Kind::Parent, {}, {}, t, at);
         }},
        {"/api/advance",
         [](Session& s, const json& j) { return play(s, Step::Kind::Advance, {number(j, "ms")}); }},
        {"/api/next", [](Session& s, const json&) { return s.advanceToNextDue(); }},
        {"/api/route",
         [](Session& s, const json& j) {
             return play(s, Step::Kind::Route,
                         {number(j, "router"), number(j, "source"), number(j, "destination")});
         }},
        {"/api/router",
         [](Session& s, const json& j) {
             const long long device = number(j, "router");
             const std::string mode = text(j, "mode");
             if (mode == "normal")
                 return play(s, Step::Kind::Router, {device}, {"normal"});
             if (mode == "delay")
                 return play(s, Step::Kind::Router, {device},
                             {"delay", std::to_string(number(j, "ms"))});
             if (mode != "drop")
                 throw BadRequest{"malformed request: \"mode\" is normal, delay or drop"};
             auto count = j.find("count");
             if (count == j.end() || (count->is_string() && *count == "all"))
                 return play(s, Step::Kind::Router, {device}, {"drop", "all"});
             return play(s, Step::Kind::Router, {device},
                         {"drop", std::to_string(number(j, "count"))});
         }},
        {"/api/step",
         [](Session& s, const json& j) {
             const std::string line = text(j, "line");
             std::string why;
             const std::optional<Step> step = parseLine(line, 0, why);
             if (step && step->kind == Step::Kind::Raw)
                 throw BadRequest{"raw is a test tool for scenario files and the shell; the page "
                                  "does not play it",
                                  403};
             return s.play(line);
         }},
    };
    return table;
}

} // namespace

std::string errorJson(const std::string& why) {
    return dump(json{{"ok", false}, {"error", why}});
}

ActionReply pageAction(Session& session, const std::string& path, const std::string& body) {
    const auto& table = actions();
    const auto it = table.find(path);
    if (it == table.end())
        return {404, errorJson("no such action")};
    try {
        const ActionResult r = it->second(session, parseBody(body));
        return {r.status, answerJson(r)};
    } catch (const BadRequest& e) {
        return {e.status, errorJson(e.why)};
    }
}

} // namespace zeph::bench
