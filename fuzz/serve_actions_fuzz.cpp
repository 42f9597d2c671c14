// The serve page's actions without sockets: one session with a probe component, driven by the
// input's lines. A line "/api/NAME BODY" posts BODY to that action; any other line is played as
// a step, as the page's step field sends it (so a workout file is an input). A body goes through
// the server's JSON limits first, as it would over HTTP. Every answer is one JSON object saying
// whether it worked, and whatever was played, the session's recording parses.
#include "fuzz_check.h"
#include "probe_component.h"
#include "scenario/parser.h"
#include "serve/actions.h"
#include "serve/json_limits.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace {

const char* const kFacility = "router 5\nsource 5 12 Camera 1\ncontrol 1 UMD\ncontrol 1 Btn\n";

std::string stepBody(const std::string& line) {
    return nlohmann::json{{"line", line}}.dump(-1, ' ', false,
                                               nlohmann::json::error_handler_t::replace);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zeph::bench;
    std::string error;
    static const Scenario facility = *parseScenario(kFacility, "facility", error);
    Session session(createProbe, SessionOptions{});
    session.start({facility});

    const std::string input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start < input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        const std::string line = input.substr(start, end - start);
        start = end + 1;
        const bool action = line.rfind("/api/", 0) == 0;
        const size_t space = line.find(' ');
        const std::string body =
            action ? (space == std::string::npos ? "" : line.substr(space + 1)) : stepBody(line);
        const JsonCheck limits = checkJson(body);
        const ActionReply r =
            limits.status ? ActionReply{limits.status, errorJson(limits.why)}
                          : pageAction(session, action ? line.substr(0, space) : "/api/step", body);
        const nlohmann::json reply = nlohmann::json::parse(r.json, nullptr, false);
        ZEPH_FUZZ_CHECK(reply.is_object() && reply.contains("ok") && reply["ok"].is_boolean(),
                        r.json);
        ZEPH_FUZZ_CHECK(reply["ok"] == (r.status == 200), std::to_string(r.status) + " " + r.json);
    }
    const std::string recording = session.recording();
    ZEPH_FUZZ_CHECK(parseScenario(recording, "recorded", error).has_value(),
                    error + " in " + zeph::fuzz::quoted(recording));
    return 0;
}
