// How the bench reads numbers and command fields, in one place for the facility, the scenario
// language and the reports.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
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
// The same fields without a copy: visit(text, quoted) for each in turn, until it returns false.
template <class Visit> void eachCommandField(std::string_view command, Visit&& visit) {
    size_t i = command.find(' ');
    const size_t n = command.size();
    while (i < n) {
        while (i < n && command[i] == ' ')
            ++i;
        if (i >= n)
            break;
        if (command[i] == '\'') {
            size_t j = i + 1;
            while (j < n && !(command[j] == '\'' && (j + 1 == n || command[j + 1] == ' ')))
                ++j;
            if (!visit(command.substr(i + 1, j - i - 1), true))
                return;
            i = j + 1;
        } else {
            const size_t j = std::min(command.find(' ', i), n);
            if (!visit(command.substr(i, j - i), false))
                return;
            i = j;
        }
    }
}
// The texts of splitCommand, quotes removed.
std::vector<std::string> commandFields(const std::string& command);

} // namespace zeph::bench
