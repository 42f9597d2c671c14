// What a run reports: one event per thing that happened, in the order it happened.
#pragma once

#include "recording_host.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zeph::bench {

struct Event {
    enum class Kind {
        Step,      // a scenario step starts (text: the step as written)
        Notify,    // host -> component (text: readable form of the notification)
        Command,   // component -> host (text: the command; reply: the host's reply, if any)
        Answer,    // the component's answer to a parent command (reply: the text, nullopt for null)
        Parent,    // a text the component raised to its parent with HN
        Note,      // something the facility did or ignored
        HostError, // a breach of the host contract seen by the recording host
        Expect,    // an expectation met
        Failure,   // an expectation not met
        Warning,   // a doubt that does not fail the run (a text put to an undeclared control)
        Debug,     // what the component wrote to stderr during a notification (when captured)
    };
    Kind kind = Kind::Note;
    int64_t time = 0;
    int component = 0;
    std::string instance; // the scenario's name for the component; empty: unnamed
    std::string text;
    std::optional<std::string> reply;
    std::string file;
    int line = 0;
    std::optional<host::ErrorKind> error; // what a HostError was, for code that sorts them
};
using EventSink = std::function<void(const Event&)>;
const char* kindName(Event::Kind kind);

} // namespace zeph::bench
