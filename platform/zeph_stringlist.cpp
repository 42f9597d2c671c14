// The string library stand-in's lists: NUL-packed items in one buffer, and their iterator.
#include "zeph_string.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

// ---- zeph_stringlistIterator ----------------------------------------------------------------

zeph_stringlistIterator::zeph_stringlistIterator() : m_position(nullptr), m_end(nullptr) {}

zeph_stringlistIterator::zeph_stringlistIterator(const char* position, const char* end)
    : m_position(position), m_end(end) {}

zeph_stringlistIterator::~zeph_stringlistIterator() {}

zeph_string zeph_stringlistIterator::operator*() const {
    if (!m_position || m_position >= m_end)
        return zeph_string();
    return zeph_string(m_position);
}

bool zeph_stringlistIterator::operator!=(const zeph_stringlistIterator& other) const {
    return m_position != other.m_position;
}

zeph_stringlistIterator& zeph_stringlistIterator::operator++() {
    if (m_position && m_position < m_end)
        m_position += strlen(m_position) + 1;
    return *this;
}

// ---- zeph_stringlist ------------------------------------------------------------------------

zeph_stringlist::zeph_stringlist() : m_items(nullptr), m_used(0), m_capacity(0) {}

zeph_stringlist::zeph_stringlist(const char* text, char separator) : zeph_stringlist() {
    if (!text || !*text)
        return;
    // Sizes are ints: a text too long for them leaves the list empty instead of overflowing.
    const size_t size = strlen(text);
    if (size >= static_cast<size_t>(INT_MAX / 2))
        return;
    const int len = static_cast<int>(size);
    if (!append(text, len + 1))
        return;
    for (int i = 0; i < len; ++i) {
        if (m_items[i] == separator)
            m_items[i] = '\0';
    }
}

zeph_stringlist::zeph_stringlist(const zeph_stringlist& other) : zeph_stringlist() {
    append(other.m_items, other.m_used);
}

zeph_stringlist::~zeph_stringlist() {
    free(m_items);
}

zeph_stringlist& zeph_stringlist::operator=(const zeph_stringlist& other) {
    if (this == &other)
        return *this;
    zeph_stringlist copy(other);
    if (copy.m_used != other.m_used)
        return *this; // out of memory: keep what we had
    free(m_items);
    m_items = copy.m_items;
    m_used = copy.m_used;
    m_capacity = copy.m_capacity;
    copy.m_items = nullptr;
    copy.m_used = copy.m_capacity = 0;
    return *this;
}

zeph_stringlist& zeph_stringlist::operator<<(const zeph_string& item) {
    append(item, item.length() + 1);
    return *this;
}

bool zeph_stringlist::append(const char* bytes, int len) {
    if (len <= 0)
        return true;
    if (len > INT_MAX / 2 - m_used)
        return false;
    if (m_used + len > m_capacity) {
        int grown = m_capacity * 2;
        if (grown < m_used + len)
            grown = m_used + len;
        char* bigger = static_cast<char*>(realloc(m_items, static_cast<size_t>(grown)));
        if (!bigger)
            return false;
        m_items = bigger;
        m_capacity = grown;
    }
    memcpy(m_items + m_used, bytes, static_cast<size_t>(len));
    m_used += len;
    return true;
}

zeph_string zeph_stringlist::toString(char separator) const {
    zeph_string out;
    const char between[2] = {separator, '\0'};
    const char* end = m_items + m_used;
    for (const char* p = m_items; p && p < end; p += strlen(p) + 1) {
        if (p != m_items)
            out += between;
        out += p;
    }
    return out;
}

zeph_stringlistIterator zeph_stringlist::begin() const {
    return zeph_stringlistIterator(m_items, m_items + m_used);
}

zeph_stringlistIterator zeph_stringlist::end() const {
    return zeph_stringlistIterator(m_items + m_used, m_items + m_used);
}
