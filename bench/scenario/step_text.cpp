// Writes steps as scenario lines, by the grammar entry that reads them back (parser.cpp).
#include "scenario/parser.h"

#include "scenario/grammar.h"
#include "scenario/quote.h"

namespace zeph::bench {

namespace {

// Writes the arguments of a step by its grammar: the inverse of the parser's readArguments.
void writeArguments(const Grammar& g, const Step& step, std::string& out) {
    size_t number = 0, word = 0;
    const auto put = [&](const std::string& argument) {
        out += ' ';
        out += argument;
    };
    for (const char* a = g.args; *a; ++a) {
        switch (*a) {
        case 'n':
        case 'N':
            if (number < step.numbers.size())
                put(std::to_string(step.numbers[number++]));
            break;
        case 'w':
        case 'W':
            if (word < step.words.size())
                put(quoteWord(step.words[word++]));
            break;
        case '*':
            while (word < step.words.size())
                put(quoteWord(step.words[word++]));
            break;
        case 't':
        case 'c':
            // Empty, it is written "" (the line would miss its text); a command holding a line
            // feed or a text with a blank at either end is quoted.
            put(quoteText(step.text.value_or("")));
            break;
        case 'T':
            // An empty text is what a missing one reads as.
            if (step.text && !step.text->empty())
                put(quoteText(*step.text));
            break;
        case '?':
            if (step.text)
                put(quoteText(*step.text));
            break;
        case 'a':
            put(step.text ? quoteText(*step.text, true) : std::string("none"));
            break;
        }
    }
}

} // namespace

std::string stepText(const Step& step) {
    const Grammar* g = grammarOf(step.kind);
    if (!g)
        return step.source;
    std::string out;
    out.reserve(64);
    if (!step.instance.empty()) {
        out += '@';
        out += step.instance;
        out += ' ';
    }
    out += g->keyword;
    writeArguments(*g, step, out);
    return out;
}

Step makeStep(Step::Kind kind, std::vector<long long> numbers, std::vector<std::string> words,
              std::optional<std::string> text, std::string instance) {
    Step step;
    step.kind = kind;
    step.numbers = std::move(numbers);
    step.words = std::move(words);
    step.text = std::move(text);
    step.instance = std::move(instance);
    step.source = stepText(step);
    return step;
}

} // namespace zeph::bench
