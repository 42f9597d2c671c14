// The scenario language's grammar, one entry a keyword: the parser (parser.cpp) reads a line by
// the same entry the step writer (step_text.cpp) writes it by, so that a written line reads back
// as the step it was written from.
#pragma once

#include "scenario/step.h"

#include <string>

namespace zeph::bench {

struct Grammar {
    const char* keyword;
    Step::Kind kind;
    Step::Class cls;
    bool toComponent; // the step calls the component itself (see needsComponent)
    // One code per argument: n number, N optional number, w word, W optional word, * any further
    // words, t text (the rest), T text that may be empty, ? optional text (absent: none), c
    // command, a an answer (a double-quoted text, or the bare word none: no text).
    const char* args;
    const char* usage;
};

// The entry of a kind; null for a kind no keyword has.
const Grammar* grammarOf(Step::Kind kind);

// What the shape of a line cannot tell: empty when the step is sound, else why not
// (step_check.cpp).
std::string checkStep(const Step& step);

} // namespace zeph::bench
