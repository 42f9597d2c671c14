// Text and text lists as the platform's string library provides them to every script component.
//
// This is our own stand-in for the platform library: the same classes and operations, built as the
// shared library zeph_string (zeph_string.dll on Windows). It uses malloc/free only, throws nothing
// and needs no C++ runtime, so it links into the 32-bit Windows build unchanged.
//
// Decisions where the platform leaves the behaviour open:
//  - Comparisons are case-sensitive, byte for byte over the whole text.
//  - toInt(): skips leading white space (as atoi does), takes one optional '+' or '-', then the
//    decimal digits up to the first other character; trailing text is ignored. Text with no
//    digits gives 0, so text that holds no number is always below 1. Values beyond the 32-bit
//    range saturate at INT_MIN/INT_MAX.
//  - split(): left gets the text before the first separator and right the text after it; without
//    the separator left gets the whole text and right is emptied.
//  - Lists from text: every separator ends an item, so empty items are kept ("a,,b" has three items
//    and "a," two); the empty text gives an empty list.
//  - arg(): the placeholders are "%1" to "%99"; every occurrence of the lowest-numbered one still
//    present is replaced. Without a placeholder the text comes back unchanged.
//  - Allocation failure never crashes: the string concerned is left empty (a list: unchanged).
//
// Short texts live inside the object, so most commands are built without touching the heap.
#ifndef ZEPH_STRING_H
#define ZEPH_STRING_H

#include "zeph_export.h"

class ZEPH_STRING_API zeph_string {
public:
    zeph_string();
    zeph_string(const char* text);
    zeph_string(const zeph_string& other);
    // Decimal rendering; the platform's callers always pass (n, 0, 0, 10). A non-zero width pads on
    // the left with fill (a blank when fill is 0); base may be 2 to 36.
    zeph_string(int n, char fill, unsigned width, int base);
    virtual ~zeph_string();

    zeph_string& operator=(const zeph_string& other);
    zeph_string& operator=(const char* text);
    zeph_string& operator+=(const zeph_string& other);
    zeph_string& operator+=(const char* text);

    // A copy with the lowest-numbered placeholder still present replaced by the argument.
    zeph_string arg(const zeph_string& value) const;
    zeph_string arg(int n, char fill, unsigned width, int base) const;

    int length() const;
    int toInt() const;
    void split(char separator, zeph_string& left, zeph_string& right) const;

    // Valid while this string lives and is not changed; never null.
    operator const char*() const;

private:
    enum { INLINE_CAPACITY = 64 };
    bool reserve(int capacity);
    void assign(const char* text, int len);
    void append(const char* text, int len);

    char* m_data;
    int m_length;
    int m_capacity;
    char m_inline[INLINE_CAPACITY];
};

ZEPH_STRING_API zeph_string operator+(const zeph_string& a, const zeph_string& b);
ZEPH_STRING_API zeph_string operator+(const zeph_string& a, const char* b);
ZEPH_STRING_API zeph_string operator+(const char* a, const zeph_string& b);
ZEPH_STRING_API bool operator==(const zeph_string& a, const char* b);
ZEPH_STRING_API bool operator==(const zeph_string& a, int n);
ZEPH_STRING_API bool operator!=(const zeph_string& a, const zeph_string& b);

class zeph_stringlist;

// Forward iterator over a list; invalid once the list changes or goes.
class ZEPH_STRING_API zeph_stringlistIterator {
public:
    zeph_stringlistIterator();
    zeph_stringlistIterator(const char* position, const char* end);
    virtual ~zeph_stringlistIterator();

    zeph_string operator*() const;
    bool operator!=(const zeph_stringlistIterator& other) const;
    zeph_stringlistIterator& operator++();

private:
    const char* m_position;
    const char* m_end;
};

// Items are kept back to back, each ended by a NUL, in one heap block.
class ZEPH_STRING_API zeph_stringlist {
public:
    zeph_stringlist();
    zeph_stringlist(const char* text, char separator);
    zeph_stringlist(const zeph_stringlist& other);
    virtual ~zeph_stringlist();

    zeph_stringlist& operator=(const zeph_stringlist& other);
    zeph_stringlist& operator<<(const zeph_string& item);

    zeph_string toString(char separator) const;
    zeph_stringlistIterator begin() const;
    zeph_stringlistIterator end() const;

private:
    bool append(const char* bytes, int len);

    char* m_items;
    int m_used;
    int m_capacity;
};

#endif
