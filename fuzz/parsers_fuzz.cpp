// Fuzzes the two notification parsers: the parent-command splitter and the reply tokenizer.
//
// Beyond "no crash, no leak", every result is checked against what the text itself implies: the
// parts of a parent command put back together give the text again, and the tokens of a reply are
// the reply with its separators and quote characters taken out.
#include "fuzz_check.h"
#include "zeph_notify.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using zeph::fuzz::quoted;

namespace {

bool inside(const char* p, const char* buffer, size_t len) {
    return p >= buffer && p <= buffer + len;
}

bool hasAny(const char* text, const char* chars) {
    return std::strpbrk(text, chars) != nullptr;
}

void checkParent(const std::string& text) {
    const parentNotify parsed(text.c_str());
    const size_t len = text.size();
    const std::string where = "parent text " + quoted(text);

    ZEPH_FUZZ_CHECK(parsed.subCount >= 0 && parsed.subCount <= ZEPH_MAX_FIELDS, where);
    for (int i = parsed.subCount; i < ZEPH_MAX_FIELDS; ++i)
        ZEPH_FUZZ_CHECK(parsed.sub[i] == zeph_empty_text, where);
    if (len == 0) {
        ZEPH_FUZZ_CHECK(parsed.buffer == nullptr, where);
        ZEPH_FUZZ_CHECK(parsed.command == zeph_empty_text && parsed.value == zeph_empty_text,
                        where);
        ZEPH_FUZZ_CHECK(parsed.subCount == 0 && !parsed.hasValue, where);
        return;
    }
    ZEPH_FUZZ_CHECK(parsed.buffer != nullptr, where);
    ZEPH_FUZZ_CHECK(parsed.command == parsed.buffer, where);
    for (int i = 0; i < parsed.subCount; ++i)
        ZEPH_FUZZ_CHECK(inside(parsed.sub[i], parsed.buffer, len), where);
    ZEPH_FUZZ_CHECK(parsed.hasValue ? inside(parsed.value, parsed.buffer, len)
                                    : parsed.value == zeph_empty_text,
                    where);

    // The walk stops at the first '=' or at the 32nd '.', so until then no field holds either.
    ZEPH_FUZZ_CHECK(!hasAny(parsed.command, ".="), where);
    const bool walkCut = parsed.subCount == ZEPH_MAX_FIELDS && !parsed.hasValue;
    for (int i = 0; i < parsed.subCount; ++i) {
        if (!(walkCut && i == parsed.subCount - 1))
            ZEPH_FUZZ_CHECK(!hasAny(parsed.sub[i], ".="), where + ", sub " + std::to_string(i));
    }

    std::string rebuilt = parsed.command;
    for (int i = 0; i < parsed.subCount; ++i)
        rebuilt += std::string(".") + parsed.sub[i];
    if (parsed.hasValue)
        rebuilt += std::string("=") + parsed.value;
    ZEPH_FUZZ_CHECK(rebuilt == text, where + " rebuilt as " + quoted(rebuilt));
}

// The reply with every quote character and every blank outside quotes taken out.
std::string withoutSeparators(const std::string& text, char quote) {
    std::string out;
    bool inQuote = false;
    for (char c : text) {
        if (c == quote)
            inQuote = !inQuote;
        else if (c != ' ' || inQuote)
            out += c;
    }
    return out;
}

void checkReply(const std::string& text, char quote) {
    const decodeZEPHString tokens(text.c_str(), quote);
    const size_t len = text.size();
    const std::string where =
        "reply " + quoted(text) + " quoted by " + quoted(std::string(1, quote));

    ZEPH_FUZZ_CHECK(tokens.quote == quote, where);
    ZEPH_FUZZ_CHECK(tokens.count >= 0 && tokens.count <= ZEPH_MAX_FIELDS, where);
    for (int i = tokens.count; i < ZEPH_MAX_FIELDS; ++i)
        ZEPH_FUZZ_CHECK(tokens.token[i] == zeph_empty_text, where);
    if (len == 0) {
        ZEPH_FUZZ_CHECK(tokens.buffer == nullptr && tokens.count == 0, where);
        return;
    }
    ZEPH_FUZZ_CHECK(tokens.buffer != nullptr && tokens.count >= 1, where);
    ZEPH_FUZZ_CHECK(tokens.token[0] == tokens.buffer, where);

    std::string joined;
    const char* previous = nullptr;
    for (int i = 0; i < tokens.count; ++i) {
        const char* t = tokens.token[i];
        ZEPH_FUZZ_CHECK(inside(t, tokens.buffer, len), where + ", token " + std::to_string(i));
        ZEPH_FUZZ_CHECK(previous == nullptr || t > previous, where + ", tokens out of order");
        ZEPH_FUZZ_CHECK(std::strchr(t, quote) == nullptr || quote == '\0', where);
        previous = t;
        joined += t;
    }
    // A reply cut after 32 tokens keeps a prefix; otherwise no character may go missing.
    const std::string expected = withoutSeparators(text, quote);
    if (tokens.count < ZEPH_MAX_FIELDS)
        ZEPH_FUZZ_CHECK(joined == expected, where + " joined as " + quoted(joined));
    else
        ZEPH_FUZZ_CHECK(expected.compare(0, joined.size(), joined) == 0,
                        where + " joined as " + quoted(joined));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The host hands over NUL-terminated texts, so whatever follows a NUL never reaches a parser.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string text(raw.c_str());

    checkParent(text);
    checkReply(text, '\'');
    // Any quote character: the last byte of the input picks one.
    if (size > 0 && data[size - 1] != 0)
        checkReply(text, static_cast<char>(data[size - 1]));
    return 0;
}
