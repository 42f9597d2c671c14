// Names of the event kinds, as the JSON transcript writes them.
#include "facility/event.h"

namespace zeph::bench {

const char* kindName(Event::Kind kind) {
    switch (kind) {
    case Event::Kind::Step:
        return "step";
    case Event::Kind::Notify:
        return "notify";
    case Event::Kind::Command:
        return "command";
    case Event::Kind::Answer:
        return "answer";
    case Event::Kind::Parent:
        return "parent";
    case Event::Kind::Note:
        return "note";
    case Event::Kind::HostError:
        return "host-error";
    case Event::Kind::Expect:
        return "expect";
    case Event::Kind::Failure:
        return "failure";
    case Event::Kind::Debug:
        return "debug";
    case Event::Kind::Warning:
        return "warning";
    }
    return "event";
}

} // namespace zeph::bench
