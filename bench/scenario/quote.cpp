// The escapes of scenario texts, written and read.
#include "scenario/quote.h"

namespace zeph::bench {

namespace {
struct Escape {
    char byte;
    char letter; // written after a backslash
};
constexpr Escape kEscapes[] = {{'\n', 'n'}, {'\t', 't'}, {'\r', 'r'}, {'\\', '\\'}, {'"', '"'}};

int hexDigit(char h) {
    return (h >= '0' && h <= '9')   ? h - '0'
           : (h >= 'a' && h <= 'f') ? h - 'a' + 10
           : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                    : -1;
}

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20;
}
} // namespace

std::string quoteText(const std::string& text, bool always) {
    bool plain = !always && !text.empty() && text.front() != '"' && text.front() != ' ' &&
                 text.back() != ' ' && text.front() != '#';
    for (char c : text)
        plain = plain && !isControl(c);
    if (plain)
        return text;
    std::string out = "\"";
    for (char c : text) {
        const Escape* escape = nullptr;
        for (const Escape& e : kEscapes)
            if (e.byte == c)
                escape = &e;
        if (escape) {
            out += '\\';
            out += escape->letter;
        } else if (isControl(c)) {
            static const char* hex = "0123456789abcdef";
            out += "\\x";
            out += hex[(c >> 4) & 15];
            out += hex[c & 15];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string quoteWord(const std::string& word) {
    return quoteText(word, word.find(' ') != std::string::npos);
}

std::optional<std::string> readQuoted(const std::string& line, size_t open, size_t& end,
                                      std::string& error) {
    std::string out;
    for (size_t i = open + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            end = i + 1;
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= line.size())
            break;
        const char letter = line[i];
        const Escape* escape = nullptr;
        for (const Escape& e : kEscapes)
            if (e.letter == letter)
                escape = &e;
        if (escape) {
            out += escape->byte;
        } else if (letter == 'x') {
            const int hi = i + 1 < line.size() ? hexDigit(line[i + 1]) : -1;
            const int lo = i + 2 < line.size() ? hexDigit(line[i + 2]) : -1;
            if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) {
                error = "\\x needs two hex digits, not 00";
                return std::nullopt;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            error = std::string("unknown escape \\") + letter;
            return std::nullopt;
        }
    }
    error = "missing closing quote";
    return std::nullopt;
}

} // namespace zeph::bench
