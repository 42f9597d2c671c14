// How the host commands' texts are written: on the stack when they fit, by their pieces, numbers as
// their digits. Private to zeph_host_commands.cpp, the one file that writes commands.
#ifndef ZEPH_COMMAND_TEXT_H
#define ZEPH_COMMAND_TEXT_H

#include "zeph_string.h"

#include <stdlib.h>
#include <string.h>

namespace {

const int NUMERIC_LIMIT = 31; // the numeric commands fit a 32-byte buffer

// The decimal digits of n's magnitude (INT_MIN's included) and how many there are: a number goes
// straight to its place, with no string object and no copy.
unsigned int magnitudeOf(int n) {
    return n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
}
int digitCount(unsigned int magnitude) {
    static const unsigned int POWERS[] = {1u,      10u,      100u,      1000u,      10000u,
                                          100000u, 1000000u, 10000000u, 100000000u, 1000000000u};
    int count = 1;
    while (count < 10 && magnitude >= POWERS[count])
        ++count;
    return count;
}
// Writes the digits of magnitude backwards, the last one just before end.
void writeDigits(char* end, unsigned int magnitude) {
    do {
        *--end = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
}

// Fills "%1".."%9" of a template in one pass, so an argument that itself holds "%2" stays as it is.
// Each literal run and each value goes to out.append(begin, end); false as soon as out has no room.
template <class Out>
bool expand(const char* format, const char* const* values, int count, Out& out) {
    const char* start = format;
    for (const char* p = format; *p; ++p) {
        if (p[0] != '%' || p[1] < '1' || p[1] > '9' || p[1] - '0' > count)
            continue;
        const char* value = values[p[1] - '1'] ? values[p[1] - '1'] : "";
        if (!out.append(start, p) || !out.append(value, value + strlen(value)))
            return false;
        ++p;
        start = p + 1;
    }
    return out.append(start, start + strlen(start));
}

// A text of any length; zeph_string takes NUL-terminated pieces only, so runs go in by chunks.
class StringText {
public:
    bool append(const char* begin, const char* end) {
        char run[64];
        while (begin < end) {
            size_t n = static_cast<size_t>(end - begin);
            if (n > sizeof run - 1)
                n = sizeof run - 1;
            memcpy(run, begin, n);
            run[n] = '\0';
            m_text += run;
            begin += n;
        }
        return true;
    }
    const zeph_string& text() const { return m_text; }

private:
    zeph_string m_text;
};

// Writes a command's pieces into out while they fit in room bytes (its NUL included). The
// template's pieces are constants, each copied as a block of known size; the values go byte by
// byte, a few characters each, where a length and a copy call would cost more than the bytes. A
// value is never read again for placeholders, so one that holds "%2" goes out as it is.
class CommandWriter {
public:
    CommandWriter(char* out, size_t room) : m_at(out), m_last(out + room - 1), m_fits(true) {}

    template <size_t N> CommandWriter& text(const char (&piece)[N]) {
        if (static_cast<size_t>(m_last - m_at) < N - 1)
            return overflow();
        memcpy(m_at, piece, N - 1);
        m_at += N - 1;
        return *this;
    }
    // The place is kept in a register while the bytes go: a byte written through char* may alias
    // the members, so a loop on them reloads m_at after every byte.
    CommandWriter& value(const char* v) {
        if (!v)
            return *this;
        char* at = m_at;
        for (; *v; ++v) {
            if (at == m_last)
                return overflow();
            *at++ = *v;
        }
        m_at = at;
        return *this;
    }
    CommandWriter& number(int n) {
        const unsigned int magnitude = magnitudeOf(n);
        const size_t width = static_cast<size_t>(digitCount(magnitude)) + (n < 0 ? 1 : 0);
        if (static_cast<size_t>(m_last - m_at) < width)
            return overflow();
        if (n < 0)
            *m_at = '-';
        m_at += width;
        writeDigits(m_at, magnitude);
        return *this;
    }
    // NUL-terminates what was written; false when a piece did not fit.
    bool finish() {
        if (m_fits)
            *m_at = '\0';
        return m_fits;
    }

private:
    CommandWriter& overflow() {
        m_fits = false;
        m_at = m_last; // no later piece fits either
        return *this;
    }

    char* m_at;
    char* const m_last; // the NUL's place
    bool m_fits;
};

// The length the same pieces add up to, for a command too long for the stack.
class CommandLength {
public:
    CommandLength() : length(0) {}
    template <size_t N> CommandLength& text(const char (&)[N]) {
        length += N - 1;
        return *this;
    }
    CommandLength& value(const char* v) {
        length += v ? strlen(v) : 0;
        return *this;
    }
    CommandLength& number(int n) {
        length += static_cast<size_t>(digitCount(magnitudeOf(n))) + (n < 0 ? 1 : 0);
        return *this;
    }
    size_t length;
};

// A command written by pieces(out), called with a CommandWriter or a CommandLength: on the stack
// when it fits in 255 characters (commands are short, and the host's latency is what they cost),
// else in one heap block of its own size.
class Command {
public:
    // The stack's writing is the one call of the pieces with a CommandWriter, so the compiler puts
    // it in line and keeps the writer in registers; the long way writes through a type of its own.
    template <class Pieces> explicit Command(const Pieces& pieces) : m_long(0) {
        CommandWriter stack(m_short, sizeof m_short);
        pieces(stack);
        if (!stack.finish())
            writeLong(pieces);
    }
    ~Command() { free(m_long); }

    operator const char*() const { return m_long ? m_long : m_short; }

private:
    struct LongWriter : CommandWriter {
        LongWriter(char* out, size_t room) : CommandWriter(out, room) {}
    };

    template <class Pieces> void writeLong(const Pieces& pieces) {
        m_short[0] = '\0'; // what goes out should the block not be had
        CommandLength length;
        pieces(length);
        m_long = static_cast<char*>(malloc(length.length + 1));
        if (m_long) {
            LongWriter heap(m_long, length.length + 1);
            pieces(heap);
            heap.finish();
        }
    }

    Command(const Command&);
    Command& operator=(const Command&);

    char m_short[256];
    char* m_long;
};

// Appends " <n>" in decimal to buf at *len, its width found first so that the digits go straight
// to their place; false when it would pass the limit (the numeric commands' by default).
bool appendNumber(char* buf, int* len, int n, int limit = NUMERIC_LIMIT) {
    const unsigned int magnitude = magnitudeOf(n);
    const int width = digitCount(magnitude) + (n < 0 ? 1 : 0);
    if (*len + 1 + width > limit)
        return false;
    char* out = buf + *len;
    *out = ' ';
    if (n < 0)
        out[1] = '-';
    writeDigits(out + 1 + width, magnitude);
    *len += 1 + width;
    return true;
}

} // namespace

#endif
