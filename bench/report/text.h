// The readable transcript of a run, the soak's figures, and the one colour painter of the bench's
// output.
#pragma once

#include "facility/event.h"
#include "soak/soak.h"

#include <ostream>
#include <string>

namespace zeph::bench {

// Wraps a text in an ANSI colour code when colour is on; leaves it alone otherwise.
class Painter {
public:
    explicit Painter(bool on) : m_on(on) {}
    std::string operator()(const char* code, const std::string& text) const;
    bool on() const { return m_on; }

private:
    bool m_on;
};

// A text with line ends shown as \n and other control characters as '?', for one output line.
std::string printable(const std::string& text);

// A readable transcript: virtual time, each notification in, each command out with its reply,
// each answer, and every expectation that failed. Colour only when asked (on a terminal).
class TextTranscript {
public:
    TextTranscript(std::ostream& out, bool colour, bool showExpectations = false);
    void operator()(const Event& e);

private:
    std::ostream& m_out;
    Painter m_paint;
    bool m_showExpectations;
};

// The figures of a soak run, one per line.
void printSoak(std::ostream& out, const std::string& module, const SoakResult& r);

} // namespace zeph::bench
