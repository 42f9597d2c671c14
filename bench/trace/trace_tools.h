// What the bench does with a trace: show it, compare two, turn one into a scenario.
#pragma once

#include "facility/event.h"
#include "trace/trace_reader.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace zeph::bench {
class Runner;
struct Step;
} // namespace zeph::bench

namespace zeph::bench::trace {

// The header in words: the component file, its size and time stamp, who wrote the trace and when.
std::string headerLine(const Header& h);
// A call's kind as show --json names it ("notification", "command", ...).
const char* kindName(Call::Kind k);
// What came back, in words (" -> \"1\"", " -> null", " (never returned)"); empty for the rest.
std::string outcome(const Call& c);

// What reading the trace found that is not a call, one line each: where a last record written in
// part cut it short. Empty for a whole trace.
std::vector<std::string> readingNotes(const Trace& t);
// A call's nesting as the text shows it: two spaces a level, then past kIndentLevels the depth as
// a number, so that no line grows with the nesting.
constexpr int kIndentLevels = 16;
std::string indent(int depth);

// The header, then one line per call with its time, thread and what came back, nested calls
// indented under the call they were made in.
void showText(const Trace& t, std::ostream& out);
// The same as one JSON object per line: the header first, then each call.
void showJson(const Trace& t, std::ostream& out);

// Where two traces part: empty when every call and what the component gave back are the same
// (times, threads and addresses aside), else a few lines naming the first call that differs in
// each. The host's replies to commands are compared only with replies: a field host and the bench
// answer alike in what matters (a shown panel) and apart in the words (PS "ok" and "1").
std::string firstDifference(const Trace& a, const Trace& b, bool replies = false);

// The session as a scenario: facility lines from the host's replies (changed where the replies
// changed), the notifications as steps, the component's commands and answers as expectations.
// notes gets one line per thing the scenario cannot say (the file carries it as a comment too).
std::string toScenario(const Trace& t, std::vector<std::string>& notes);

// Who watches a conversion as it plays (the trace page): every hook may be left empty.
struct PlayWatch {
    // The runner the trace plays on, before anything is played: its facility is the panel.
    std::function<void(Runner&)> begin;
    // The trace's call about to be played: a top-level call, or a command the component makes
    // inside one. What the facility does from here on is that call's, up to the next; told the
    // number of calls once the last is played. False stops the play before the next top-level
    // call.
    std::function<bool(size_t call)> call;
    // A line the play made (a facility line, a step), once played.
    std::function<void(const Step&)> played;
    // Every event of the run.
    EventSink events;
    // Each note as it is made, in place of the notes list: a watcher that keeps only some (the
    // page) holds no more of a trace that is all notes than it shows.
    std::function<void(const std::string&)> note;
    // Each line of the scenario as it is made, in place of the text returned (then empty): a
    // watcher that keeps the scenario in a file holds none of it in memory.
    std::function<void(const std::string& line)> recording;
};
// The conversion itself, watched: what toScenario returns and what the page steps through are
// one play.
std::string playTrace(const Trace& t, std::vector<std::string>& notes, const PlayWatch& watch);
// The same, the reading notes after the conversion's (each a # NOTE line at the end too).
std::string toScenarioNoted(const Trace& t, std::vector<std::string>& notes);

} // namespace zeph::bench::trace
