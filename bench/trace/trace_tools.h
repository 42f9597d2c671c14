// What the bench does with a trace: show it, compare two, turn one into a scenario.
#pragma once

#include "trace/trace_reader.h"

#include <ostream>
#include <string>
#include <vector>

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
// The same, the reading notes after the conversion's (each a # NOTE line at the end too).
std::string toScenarioNoted(const Trace& t, std::vector<std::string>& notes);

} // namespace zeph::bench::trace
