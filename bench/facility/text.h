// How the bench reads numbers and command fields, in one place for the facility, the scenario
// language and the reports.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zeph::bench {

// A decimal integer with an optional sign and at most 18 digits, the whole text and nothing else.
std::optional<long long> toNumber(const std::string& text);
bool isNumber(const std::string& text);
// toNumber within the 32-bit range.
std::optional<int> toInt(const std::string& text);

// One field of a command after its mnemonic.
struct CommandField {
    std::string text; // without the apostrophes of a quoted field
    bool quoted = false;
};
// Splits the fields of a command after its mnemonic: 'quoted texts' and bare words. A quoted field
// ends at an apostrophe followed by a blank or by the end of the text, so a value holding an
// apostrophe or a blank still reads as one field.
std::vector<CommandField> splitCommand(const std::string& command);
// The texts of splitCommand, quotes removed.
std::vector<std::string> commandFields(const std::string& command);

} // namespace zeph::bench
