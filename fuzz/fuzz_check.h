// Failure reporting shared by the fuzz targets: a broken invariant prints what broke and aborts, so
// libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zeph::fuzz {

[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what.c_str());
    std::abort();
}

// A printable rendering of a text for failure messages.
inline std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out + "\"";
}

} // namespace zeph::fuzz

#define ZEPH_FUZZ_CHECK(cond, what)                                                                \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::zeph::fuzz::fail(__FILE__, __LINE__, std::string(#cond) + ": " + (what));            \
    } while (0)
