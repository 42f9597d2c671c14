// What the bench prints: a readable transcript, one JSON object per event, and JUnit reports.
#pragma once

#include "facility/facility.h"

#include <ostream>
#include <string>
#include <vector>

namespace zeph::bench {

// A readable transcript: virtual time, each notification in, each command out with its reply,
// each answer, and every expectation that failed. Colour only when asked (on a terminal).
class TextTranscript {
public:
    TextTranscript(std::ostream& out, bool colour, bool showExpectations = false);
    void operator()(const Event& e);

private:
    std::string paint(const char* code, const std::string& text) const;
    std::ostream& m_out;
    bool m_colour;
    bool m_showExpectations;
};

// One JSON object per line for every event.
class JsonTranscript {
public:
    explicit JsonTranscript(std::ostream& out) : m_out(out) {}
    void operator()(const Event& e);

private:
    std::ostream& m_out;
};

std::string eventJson(const Event& e);
// The closing object of a scenario run in --json output.
std::string summaryJson(const std::string& file, int expectations,
                        const std::vector<std::string>& failures);

struct JUnitCase {
    std::string name;
    std::string className;
    double seconds = 0;
    std::vector<std::string> failures; // empty: passed
    bool error = false;                // crashed or did not run, rather than failed
    std::string output;                // system-out
    bool skipped = false;              // could not apply; output says why
};

// Writes a JUnit XML report with one suite; false when the file cannot be written.
bool writeJUnit(const std::string& path, const std::string& suite,
                const std::vector<JUnitCase>& cases);
std::string xmlEscape(const std::string& text);

} // namespace zeph::bench
