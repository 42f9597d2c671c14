// The parent-command parser, the reply tokenizer and the record views.
#include "zeph_notify.h"

#include <stdlib.h>
#include <string.h>

const char zeph_empty_text[1] = {'\0'};

namespace {
// A private, NUL-terminated copy of text, in room (of roomSize bytes) when it fits there; null for
// a null or empty text or when memory runs out.
char* copyText(const char* text, size_t* length, char* room = nullptr, size_t roomSize = 0) {
    *length = 0;
    if (!text || !*text)
        return nullptr;
    const size_t len = strlen(text);
    char* buffer = len < roomSize ? room : static_cast<char*>(malloc(len + 1));
    if (!buffer)
        return nullptr;
    memcpy(buffer, text, len + 1);
    *length = len;
    return buffer;
}
} // namespace

parentNotify::parentNotify(const char* text)
    : command(zeph_empty_text), value(zeph_empty_text), subCount(0), hasValue(false),
      buffer(nullptr) {
    for (int i = 0; i < ZEPH_MAX_FIELDS; ++i)
        sub[i] = zeph_empty_text;
    size_t len = 0;
    buffer = copyText(text, &len, shortText, sizeof shortText);
    if (!buffer)
        return;
    for (size_t i = 0; i < len && subCount < ZEPH_MAX_FIELDS; ++i) {
        if (buffer[i] == '.') {
            if (command == zeph_empty_text)
                command = buffer;
            buffer[i] = '\0';
            sub[subCount++] = buffer + i + 1;
        } else if (buffer[i] == '=') {
            if (command == zeph_empty_text)
                command = buffer;
            buffer[i] = '\0';
            hasValue = true;
            value = buffer + i + 1;
            break;
        }
    }
    if (command == zeph_empty_text)
        command = buffer;
}

parentNotify::~parentNotify() {
    if (buffer != shortText)
        free(buffer);
}

decodeZEPHString::decodeZEPHString(const char* text, char quoteChar)
    : count(0), buffer(nullptr), quote(quoteChar) {
    for (int i = 0; i < ZEPH_MAX_FIELDS; ++i)
        token[i] = zeph_empty_text;
    size_t len = 0;
    buffer = copyText(text, &len);
    if (!buffer)
        return;
    token[0] = buffer;
    bool inQuote = false;
    for (size_t i = 0; i < len; ++i) {
        const char c = buffer[i];
        const bool afterNul = i != 0 && buffer[i - 1] == '\0';
        if (!inQuote && (c == quote || c == ' ')) {
            buffer[i] = '\0';
            inQuote = c == quote;
            continue;
        }
        if (inQuote && c == quote) {
            buffer[i] = '\0';
            inQuote = false;
            if (afterNul) {
                // An empty quoted text is a token of its own.
                if (count == ZEPH_MAX_FIELDS - 1)
                    break;
                token[++count] = buffer + i;
            }
            continue;
        }
        if (afterNul) {
            if (count == ZEPH_MAX_FIELDS - 1)
                break;
            token[++count] = buffer + i;
        }
    }
    ++count;
}

decodeZEPHString::~decodeZEPHString() {
    free(buffer);
}

zeph_string buttonNotify::panelId() const {
    return zeph_string(m_record ? m_record->panel : nullptr);
}

zeph_string buttonNotify::controlId() const {
    return zeph_string(m_record ? m_record->control : nullptr);
}

zeph_string buttonNotify::eventCommand() const {
    return zeph_string(m_record && m_record->event ? m_record->event->command : nullptr);
}

zeph_string buttonNotify::eventValue() const {
    return zeph_string(m_record && m_record->event ? m_record->event->value : nullptr);
}

zeph_string revertiveNotify::text() const {
    return zeph_string(m_record ? reinterpret_cast<const char*>(m_record) + 16 : nullptr);
}
