// The scenario language: lines into steps. Language reference in tools/zeph_host/README.md.
#pragma once

#include "scenario/step.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zeph::bench {

// Parses one line. A bad line gives nullopt and the reason in error (without file and line).
std::optional<Step> parseLine(const std::string& line, int number, std::string& error);
// A step as a scenario line, written by the same grammar entry that reads it, so that parseLine
// gives back its kind, instance, numbers, words and text: "@NAME " when it addresses an instance,
// words and texts quoted only where they must be. A comment (or a blank line) is its source.
std::string stepText(const Step& step);
// Whether parseLine reads stepText(step) back as this very step, refusing nothing, told without
// writing or reading the line: a player of many made steps (the trace converter) spares itself
// the round trip where this says yes. No means only that the line must be read to know.
bool readsBack(const Step& step);
// A step with its source written by stepText, to be played as though read from a file.
Step makeStep(Step::Kind kind, std::vector<long long> numbers = {},
              std::vector<std::string> words = {}, std::optional<std::string> text = std::nullopt,
              std::string instance = {});

// What a control line declares: its kind ("button", "text", "indicator", "alarm"; empty when the
// line names none) and its properties.
struct ControlDeclaration {
    std::string kind;
    std::map<std::string, std::string> properties;
};
ControlDeclaration controlDeclaration(const Step& step);
// The kinds a control line may declare, in order.
std::vector<std::string> controlKinds();
// The usage of each keyword of a class, in the grammar's order (the shell's help is made of them,
// so it names every keyword there is).
std::vector<std::string> usagesOf(Step::Class c);

// An instance's name as "@NAME" may give it: letters, digits, '_', '-' and '.'.
bool validInstanceName(const std::string& name);

// The order a scenario's lines must keep across lines: a load of an instance not loaded already,
// an addressed line after its instance's load, an answer right after its parent line. A file is
// checked with it; a player of one line at a time (the shell, the page) checks each line the same
// way, so that what it records reads back.
class LineOrder {
public:
    // Why the step cannot come next ("file:line: " not included); empty when it can.
    std::string refusal(const Step& step) const;
    // Whether it is a load of an instance loaded already: the one refusal that a player of one
    // line at a time leaves to the runner, which fails it and keeps the first component.
    bool loadsAgain(const Step& step) const;
    // Takes the step in as played.
    void take(const Step& step);

private:
    std::optional<std::string> m_afterParent; // the instance the last parent line addressed
    // Each instance by name, with the line that loaded it while it is loaded (0 once unloaded).
    std::map<std::string, int> m_loadedAt;
};

// Parses a whole file; the first bad line gives nullopt and "file:line: reason" in error.
std::optional<Scenario> parseScenario(const std::string& text, const std::string& file,
                                      std::string& error);
// Reads and parses a file; a file that cannot be read is reported the same way.
std::optional<Scenario> loadScenario(const std::string& path, std::string& error);

} // namespace zeph::bench
