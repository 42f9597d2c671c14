// Texts as a scenario writes them: bare, or in double quotes with escapes. One table of escapes
// serves both directions, so what is written reads back the same.
#pragma once

#include <optional>
#include <string>

namespace zeph::bench {

// Bare when that reads back the same (and always is false), else in double quotes with escapes.
std::string quoteText(const std::string& text, bool always = false);

// A word of a line (a panel, a control, a name): as quoteText, and quoted too when it holds a
// blank, which would end it.
std::string quoteWord(const std::string& word);

// Reads the double-quoted text whose opening quote is at line[open]. Gives the text and sets end
// just past the closing quote; nullopt and the reason in error when it is malformed.
std::optional<std::string> readQuoted(const std::string& line, size_t open, size_t& end,
                                      std::string& error);

} // namespace zeph::bench
