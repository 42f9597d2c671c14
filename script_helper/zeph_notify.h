// Parsers and read-only views that turn what the host hands over into values handlers can compare.
//
// Neither parser allocates more than one buffer or reports an error: missing text yields empty
// fields. The views hold the host's record pointer only for the duration of one notification;
// handlers copy what they keep into zeph_string values.
#ifndef ZEPH_NOTIFY_H
#define ZEPH_NOTIFY_H

#include "zeph_records.h"
#include "zeph_string.h"

enum { ZEPH_MAX_FIELDS = 32 };

// The read-only empty text that unfilled fields point at.
extern const char zeph_empty_text[1];

// A parent command "command.sub1.sub2=value" split in place: "a.b.d=x.y" gives command "a",
// sub-fields "b" and "d", value "x.y"; "=5" an empty command and value "5"; "return" the command
// alone. Every field not found points at the shared empty text, never null. The walk stops at the
// first '=' or at the 32nd sub-field (a later '=' is then not seen). Its first words are laid out
// as a button's event record (zeph_parent_event), which the asserts below hold it to.
class parentNotify {
public:
    const char* command;              // text before the first '.' or '='; empty for no text
    const char* sub[ZEPH_MAX_FIELDS]; // dotted sub-fields in order; sub[subCount..] are empty
    const char* value;                // everything after the first '=', dots and '=' included
    int32_t subCount;                 // 0 to 32
    bool hasValue;                    // an '=' was found ("x=" has one, with an empty value)
    char* buffer;                     // private NUL-split copy; null for a null or empty text
    // The copy's room when the text fits, as a parent command mostly does: no heap block for it.
    char shortText[64];

    explicit parentNotify(const char* text);
    ~parentNotify();

    zeph_string getCommand() const { return zeph_string(command); }
    zeph_string getValue() const { return zeph_string(value); }

private:
    parentNotify(const parentNotify&) = delete;
    parentNotify& operator=(const parentNotify&) = delete;
};

// A parsed parent command can stand in for a button's event: its words sit where the record's do.
static_assert(offsetof(parentNotify, command) == offsetof(zeph_parent_event, command),
              "parentNotify command is the event's word 0");
static_assert(offsetof(parentNotify, sub) == offsetof(zeph_parent_event, sub),
              "parentNotify sub-fields are the event's words 1 to 32");
static_assert(offsetof(parentNotify, value) == offsetof(zeph_parent_event, value),
              "parentNotify value is the event's word 33");
static_assert(offsetof(parentNotify, subCount) == offsetof(zeph_parsed_event, sub_count) &&
                  offsetof(parentNotify, hasValue) == offsetof(zeph_parsed_event, has_value) &&
                  offsetof(parentNotify, buffer) == offsetof(zeph_parsed_event, buffer),
              "parentNotify keeps its count, flag and buffer where a rebuilt event has them");

// A host reply split into blank-separated tokens; the quote character groups blanks into a token.
// With quote '\'': "101 4" gives "101" and "4"; "'a b' d" gives "", "a b" and "d" (a text that
// starts with a blank or a quote has an empty first token); "x ''" gives "x" and "". At most 32
// tokens are kept.
class decodeZEPHString {
public:
    const char* token[ZEPH_MAX_FIELDS]; // in order; token[count..] point at the empty text
    int32_t count;                      // tokens found, 0 for a null or empty text
    char* buffer;                       // private NUL-split copy; null for a null or empty text
    char quote;

    decodeZEPHString(const char* text, char quoteChar);
    virtual ~decodeZEPHString();

private:
    decodeZEPHString(const decodeZEPHString&) = delete;
    decodeZEPHString& operator=(const decodeZEPHString&) = delete;
};

// Views of the host's records. A null record reads as zeros and empty texts. Each accessor copies
// into a fresh zeph_string, so a handler may keep what it reads.
class buttonNotify {
public:
    explicit buttonNotify(const void* record)
        : m_record(static_cast<const zeph_button_record*>(record)) {}
    zeph_string panelId() const;
    zeph_string controlId() const;
    zeph_string eventCommand() const; // the press's event text before its first '.' or '='
    zeph_string eventValue() const;   // and after its first '='
    const zeph_button_record* record() const { return m_record; }

private:
    const zeph_button_record* m_record;
};

// Revertives and database changes share this view; each handler reads the words it needs.
class revertiveNotify {
public:
    explicit revertiveNotify(const void* record) : m_record(static_cast<const int32_t*>(record)) {}
    int device() const { return word(0); }
    int database() const { return word(1); } // database record
    int index() const { return word(2); }    // revertive record: the destination
    int entry() const { return word(3); }    // database record: the entry index
    zeph_string text() const;                // from byte 16

private:
    int word(int n) const { return m_record ? m_record[n] : 0; }
    const int32_t* m_record;
};

class extraNotify {
public:
    explicit extraNotify(const void* record) : m_record(record) {}
    const void* record() const { return m_record; }

private:
    const void* m_record;
};

#endif
