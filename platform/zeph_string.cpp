// The string library stand-in: value-semantics texts with an inline buffer (the lists:
// zeph_stringlist.cpp).
#include "zeph_string.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Renders n in base 2..36 into out (at least 34 bytes); returns the length.
int renderInt(int n, int base, char* out) {
    if (base < 2 || base > 36)
        base = 10;
    char digits[34];
    int count = 0;
    // Work on the magnitude as unsigned so INT_MIN does not overflow.
    unsigned int magnitude =
        n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
    do {
        const unsigned int d = magnitude % static_cast<unsigned int>(base);
        digits[count++] = static_cast<char>(d < 10 ? '0' + d : 'a' + (d - 10));
        magnitude /= static_cast<unsigned int>(base);
    } while (magnitude != 0);
    int len = 0;
    if (n < 0)
        out[len++] = '-';
    while (count > 0)
        out[len++] = digits[--count];
    out[len] = '\0';
    return len;
}

// Finds the lowest placeholder number (1..99) present in text; 0 when there is none.
int lowestPlaceholder(const char* text, int len) {
    int lowest = 0;
    for (int i = 0; i + 1 < len; ++i) {
        if (text[i] != '%' || text[i + 1] < '0' || text[i + 1] > '9')
            continue;
        int number = text[i + 1] - '0';
        if (i + 2 < len && text[i + 2] >= '0' && text[i + 2] <= '9')
            number = number * 10 + (text[i + 2] - '0');
        if (number >= 1 && (lowest == 0 || number < lowest))
            lowest = number;
    }
    return lowest;
}

// Length of the placeholder number at text[i] ("%7" -> 1, "%12" -> 2) if it equals number, else 0.
int placeholderAt(const char* text, int len, int i, int number) {
    if (text[i] != '%' || i + 1 >= len || text[i + 1] < '0' || text[i + 1] > '9')
        return 0;
    int value = text[i + 1] - '0';
    int digits = 1;
    if (i + 2 < len && text[i + 2] >= '0' && text[i + 2] <= '9') {
        value = value * 10 + (text[i + 2] - '0');
        digits = 2;
    }
    return value == number ? digits : 0;
}

} // namespace

// ---- zeph_string ----------------------------------------------------------------------------

zeph_string::zeph_string() : m_data(m_inline), m_length(0), m_capacity(INLINE_CAPACITY - 1) {
    m_inline[0] = '\0';
}

zeph_string::zeph_string(const char* text) : zeph_string() {
    if (!text)
        return;
    // Most texts fit inside: copied as they are measured, in one pass.
    int n = 0;
    while (n < INLINE_CAPACITY - 1 && text[n] != '\0') {
        m_inline[n] = text[n];
        ++n;
    }
    if (text[n] == '\0') {
        m_inline[n] = '\0';
        m_length = n;
        return;
    }
    m_inline[0] = '\0';
    assign(text, static_cast<int>(strlen(text)));
}

zeph_string::zeph_string(const zeph_string& other) : zeph_string() {
    assign(other.m_data, other.m_length);
}

zeph_string::zeph_string(int n, char fill, unsigned width, int base) : zeph_string() {
    char digits[36];
    const int len = renderInt(n, base, digits);
    if (width > 1024)
        width = 1024;
    const char pad = fill ? fill : ' ';
    for (int i = len; i < static_cast<int>(width); ++i)
        append(&pad, 1);
    append(digits, len);
}

zeph_string::~zeph_string() {
    if (m_data != m_inline)
        free(m_data);
}

zeph_string& zeph_string::operator=(const zeph_string& other) {
    if (this != &other)
        assign(other.m_data, other.m_length);
    return *this;
}

zeph_string& zeph_string::operator=(const char* text) {
    if (!text)
        text = "";
    // Copied as it is measured while it fits the room there is. A text inside this string fits,
    // and lies at or after the place each byte goes, so the forward copy reads it intact.
    int n = 0;
    while (n < m_capacity && text[n] != '\0') {
        m_data[n] = text[n];
        ++n;
    }
    if (text[n] == '\0') {
        m_data[n] = '\0';
        m_length = n;
        return *this;
    }
    assign(text, static_cast<int>(strlen(text)));
    return *this;
}

zeph_string& zeph_string::operator+=(const zeph_string& other) {
    append(other.m_data, other.m_length);
    return *this;
}

zeph_string& zeph_string::operator+=(const char* text) {
    if (text)
        append(text, static_cast<int>(strlen(text)));
    return *this;
}

bool zeph_string::reserve(int capacity) {
    if (capacity <= m_capacity)
        return true;
    int grown = m_capacity * 2;
    if (grown < capacity)
        grown = capacity;
    char* bigger = static_cast<char*>(malloc(static_cast<size_t>(grown) + 1));
    if (!bigger)
        return false;
    memcpy(bigger, m_data, static_cast<size_t>(m_length) + 1);
    if (m_data != m_inline)
        free(m_data);
    m_data = bigger;
    m_capacity = grown;
    return true;
}

void zeph_string::assign(const char* text, int len) {
    if (text == m_data && len == m_length)
        return;
    if (len > m_capacity) {
        // The source may live in our own buffer, so build the new one before letting go.
        char* fresh = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
        if (!fresh) {
            m_length = 0;
            m_data[0] = '\0';
            return;
        }
        memcpy(fresh, text, static_cast<size_t>(len));
        fresh[len] = '\0';
        if (m_data != m_inline)
            free(m_data);
        m_data = fresh;
        m_capacity = len;
        m_length = len;
        return;
    }
    memmove(m_data, text, static_cast<size_t>(len));
    m_data[len] = '\0';
    m_length = len;
}

void zeph_string::append(const char* text, int len) {
    if (len <= 0)
        return;
    if (len > INT_MAX / 2 - m_length)
        return;
    // Appending a string to itself: keep the source readable across the reallocation.
    const bool self = text >= m_data && text <= m_data + m_length;
    const int offset = self ? static_cast<int>(text - m_data) : 0;
    if (!reserve(m_length + len))
        return;
    if (self)
        text = m_data + offset;
    memmove(m_data + m_length, text, static_cast<size_t>(len));
    m_length += len;
    m_data[m_length] = '\0';
}

zeph_string zeph_string::arg(const zeph_string& value) const {
    const int number = lowestPlaceholder(m_data, m_length);
    if (number == 0)
        return *this;
    zeph_string out;
    int start = 0;
    for (int i = 0; i < m_length; ++i) {
        const int digits = placeholderAt(m_data, m_length, i, number);
        if (digits == 0)
            continue;
        out.append(m_data + start, i - start);
        out.append(value.m_data, value.m_length);
        i += digits;
        start = i + 1;
    }
    out.append(m_data + start, m_length - start);
    return out;
}

zeph_string zeph_string::arg(int n, char fill, unsigned width, int base) const {
    return arg(zeph_string(n, fill, width, base));
}

int zeph_string::length() const {
    return m_length;
}

int zeph_string::toInt() const {
    const char* p = m_data;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value <= static_cast<long long>(INT_MAX) + 1)
            value = value * 10 + (*p - '0');
        ++p;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

void zeph_string::split(char separator, zeph_string& left, zeph_string& right) const {
    const char* at =
        static_cast<const char*>(memchr(m_data, separator, static_cast<size_t>(m_length)));
    if (&left != this && &right != this) {
        const int cut = at ? static_cast<int>(at - m_data) : m_length;
        left.assign(m_data, cut);
        if (at)
            right.assign(at + 1, m_length - cut - 1);
        else
            right.assign("", 0);
        return;
    }
    // Copy first: left or right is this very string.
    zeph_string whole(*this);
    if (!at) {
        left = whole;
        right = "";
        return;
    }
    const int cut = static_cast<int>(at - m_data);
    left.assign(whole.m_data, cut);
    right.assign(whole.m_data + cut + 1, whole.m_length - cut - 1);
}

zeph_string::operator const char*() const {
    return m_data;
}

zeph_string operator+(const zeph_string& a, const zeph_string& b) {
    zeph_string out(a);
    out += b;
    return out;
}

zeph_string operator+(const zeph_string& a, const char* b) {
    zeph_string out(a);
    out += b;
    return out;
}

zeph_string operator+(const char* a, const zeph_string& b) {
    zeph_string out(a);
    out += b;
    return out;
}

bool operator==(const zeph_string& a, const char* b) {
    if (!b)
        return a.length() == 0;
    // Compared in place: the texts are short names, where a library call costs more.
    const char* s = a;
    while (*s != '\0' && *s == *b) {
        ++s;
        ++b;
    }
    return *s == *b;
}

bool operator==(const zeph_string& a, int n) {
    // Rendered in base 10 as a constant, where a division is a multiplication, and compared in
    // place: ids are a digit or two, where a library call costs more than the bytes.
    char digits[12];
    char* d = digits + sizeof digits;
    *--d = '\0';
    unsigned int magnitude =
        n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
    do {
        *--d = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (n < 0)
        *--d = '-';
    return a == d;
}

bool operator!=(const zeph_string& a, const zeph_string& b) {
    return a.length() != b.length() ||
           memcmp(static_cast<const char*>(a), static_cast<const char*>(b),
                  static_cast<size_t>(a.length())) != 0;
}
