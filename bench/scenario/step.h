// One line of a scenario file, parsed: a facility line, a step or an expectation.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zeph::bench {

struct Step {
    enum class Kind {
        Comment, // a blank line or a '#' comment, kept so that a recording reads like its source
        // The facility (allowed anywhere, applied in order)
        Name,
        Db,
        Source,
        Router,
        Control,
        PanelFile,
        // Steps
        Load,
        Unload,
        Parent,
        Press,
        Revertive,
        DbChange,
        Route,
        Tick,
        Advance,
        Raw,
        Skip,
        // Expectations
        Answer,
        Expect,
        ExpectNone,
        ExpectParent,
        ExpectControl,
        ExpectRoute,
        ExpectTimer,
        ExpectDebug,
    };
    // What a step is for; each keyword's class is written once, in the grammar table.
    enum class Class {
        None,        // a comment
        Facility,    // describes the world: applied to the facility, the component not told
        Stimulus,    // stirs the facility or the component: a parent text, a press, a record...
        Lifecycle,   // creates or destroys the component, or moves the expectations' mark
        Time,        // moves the virtual clock
        Expectation, // checks what was sent, heard, answered or shown
    };
    Kind kind = Kind::Comment;
    int line = 0;
    std::string source;              // the line as written
    std::vector<long long> numbers;  // numeric arguments in order
    std::vector<std::string> words;  // word arguments in order (panel, control, name, mode...)
    std::optional<std::string> text; // the trailing text argument (none: "answer none", "raw 7")
    // The instance a line addresses ("@mon2 press 1 Tarnel"); empty: the unnamed one.
    std::string instance;
};

// What a load line asks for:
// `[@NAME] load [BASE-PATH] [module=M] [panel=P,...] [base=PATH|null] [host=null]`.
struct LoadRequest {
    std::string module; // a module's stem, looked up beside the run's; empty: the run's
    std::vector<std::string> panels; // the facility panels that are the component's 1, 2, ...
    std::optional<std::string> base; // the base path; none: the run's
    // The factory called as a host may call it: with a null host (host=null), a null base path
    // (base=null).
    bool nullHost = false;
    bool nullBase = false;
};
LoadRequest loadRequest(const Step& step);
// Whether a line may be addressed to an instance with "@NAME".
bool addressable(Step::Kind kind);

Step::Class classOf(Step::Kind kind);
bool isExpectation(Step::Kind kind);
// A step that stirs the facility or the component (a parent text, a press, a record, a route, a
// tick, a raw call), as opposed to describing, loading, waiting or expecting.
bool isStimulus(Step::Kind kind);
// A line that describes the facility rather than drive the component.
bool describesFacility(Step::Kind kind);
// A step that calls the component itself, and so cannot be played without one (a route or a
// database change reaches only the components that are there).
bool needsComponent(Step::Kind kind);

struct Scenario {
    std::string file;
    std::vector<Step> steps;
    // Whether any line names an instance: only then do reports say which one.
    bool namesInstances() const;
};

} // namespace zeph::bench
