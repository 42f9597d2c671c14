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

// Parses a whole file; the first bad line gives nullopt and "file:line: reason" in error.
std::optional<Scenario> parseScenario(const std::string& text, const std::string& file,
                                      std::string& error);
// Reads and parses a file; a file that cannot be read is reported the same way.
std::optional<Scenario> loadScenario(const std::string& path, std::string& error);

} // namespace zeph::bench
