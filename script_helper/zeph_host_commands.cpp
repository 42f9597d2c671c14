// One operation per host command. Every command reaches the host through send(), the one seam.
#include "zeph_script_helper.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include "zeph_win32.h"
#endif

namespace {

const int NUMERIC_LIMIT = 31; // the numeric commands fit a 32-byte buffer

// Decimal text of n with no leading zeros, kept on the stack: a number costs no string object.
struct Decimal {
    explicit Decimal(int n) {
        char digits[12];
        int count = 0;
        unsigned int magnitude =
            n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        int len = 0;
        if (n < 0)
            text[len++] = '-';
        while (count > 0)
            text[len++] = digits[--count];
        text[len] = '\0';
        length = len;
    }
    char text[12];
    int length;
};

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
    CommandWriter& value(const char* v) {
        for (; v && *v; ++v) {
            if (m_at == m_last)
                return overflow();
            *m_at++ = *v;
        }
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
    size_t length;
};

// A command written by pieces(out), called with a CommandWriter or a CommandLength: on the stack
// when it fits in 255 characters (commands are short, and the host's latency is what they cost),
// else in one heap block of its own size.
class Command {
public:
    template <class Pieces> explicit Command(const Pieces& pieces) : m_long(0) {
        CommandWriter stack(m_short, sizeof m_short);
        pieces(stack);
        if (stack.finish())
            return;
        m_short[0] = '\0'; // what goes out should the block not be had
        CommandLength length;
        pieces(length);
        m_long = static_cast<char*>(malloc(length.length + 1));
        if (m_long) {
            CommandWriter heap(m_long, length.length + 1);
            pieces(heap);
            heap.finish();
        }
    }
    ~Command() { free(m_long); }

    operator const char*() const { return m_long ? m_long : m_short; }

private:
    Command(const Command&);
    Command& operator=(const Command&);

    char m_short[256];
    char* m_long;
};

// Appends " <n>" in decimal to buf at *len, its width found first so that the digits go straight
// to their place; false when it would pass the limit (the numeric commands' by default).
bool appendNumber(char* buf, int* len, int n, int limit = NUMERIC_LIMIT) {
    static const unsigned int POWERS[] = {1u,      10u,      100u,      1000u,      10000u,
                                          100000u, 1000000u, 10000000u, 100000000u, 1000000000u};
    unsigned int magnitude =
        n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
    int count = 1;
    while (count < 10 && magnitude >= POWERS[count])
        ++count;
    const int width = count + (n < 0 ? 1 : 0);
    if (*len + 1 + width > limit)
        return false;
    char* out = buf + *len;
    *out++ = ' ';
    if (n < 0)
        *out++ = '-';
    for (char* d = out + count; d != out; magnitude /= 10)
        *--d = static_cast<char>('0' + magnitude % 10);
    *len += 1 + width;
    return true;
}

} // namespace

char* zeph_script_helper::send(const char* command) {
    return host->callback(const_cast<char*>(command), ZEPH_COMMAND);
}

void zeph_script_helper::release(char* reply) {
    if (reply)
        host->callback(reply, ZEPH_RELEASE);
}

void zeph_script_helper::sendNumeric(const char* mnemonic, const int* numbers, int count,
                                     const char* suffix) {
    if (!host)
        return;
    char buf[NUMERIC_LIMIT + 1];
    int len = 0;
    for (; mnemonic[len] != '\0'; ++len)
        buf[len] = mnemonic[len];
    for (int i = 0; i < count; ++i) {
        if (!appendNumber(buf, &len, numbers[i]))
            return; // a cut command would address another device or index
    }
    for (; *suffix != '\0'; ++suffix) {
        if (len == NUMERIC_LIMIT)
            return;
        buf[len++] = *suffix;
    }
    buf[len] = '\0';
    send(buf);
}

void zeph_script_helper::hostNotify(const zeph_string& text) {
    if (!host)
        return;
    send(Command([&](auto& out) { out.text("HN '").value(text).text("'"); }));
}

void zeph_script_helper::textPut(const zeph_string& property, const zeph_string& value,
                                 const zeph_string& panel, const zeph_string& control) {
    if (!host)
        return;
    send(Command([&](auto& out) {
        out.text("TP '").value(property).text("=").value(value).text("' '").value(panel);
        out.text("' '").value(control).text("'");
    }));
}

void zeph_script_helper::textGet(const zeph_string& property, const zeph_string& panel,
                                 const zeph_string& control, zeph_string& value) {
    if (!host) {
        value = "";
        return;
    }
    char* reply = send(Command([&](auto& out) {
        out.text("TG '").value(panel).text("' '").value(control).text("' '").value(property);
        out.text("'");
    }));
    if (!reply) {
        value = "";
        return;
    }
    const zeph_string text(reply);
    release(reply);
    if (property == "all") {
        value = text;
        return;
    }
    zeph_string name;
    zeph_string returned;
    text.split('=', name, returned);
    if (name.length() == property.length() &&
        memcmp(static_cast<const char*>(name), static_cast<const char*>(property),
               static_cast<size_t>(name.length())) == 0) {
        value = returned;
        return;
    }
    const zeph_string none;
    debugPrint("textGet: value returned \"%1\" was not the value requested \"%2\" (value returned "
               "was \"%3\" from control \"%4\", on panel \"%5\")",
               name, property, text, control, panel, none, none, none, none);
    value = "";
}

bool zeph_script_helper::panelShow(const zeph_string& panel, const zeph_string& file,
                                   const zeph_string& parameters) {
    if (!host)
        return true;
    zeph_string command;
    command = "PS '";
    command += panel;
    command += "' '";
    if (path.length() != 0) {
        command += path;
        command += "/";
    }
    command += file;
    command += "'";
    if (parameters.length() != 0) {
        command += " '";
        command += parameters;
        command += "'";
    }
    return send(command) != nullptr;
}

bool zeph_script_helper::getDev(zeph_string name, int* device, int* offset) {
    if (device)
        *device = 0;
    if (offset)
        *offset = 0;
    if (!host)
        return false;
    char* reply = send(Command([&](auto& out) { out.text("SD '").value(name).text("'"); }));
    if (!reply)
        return false;
    {
        // toInt reads as atoi does (white space, sign, digits), without its overflow.
        decodeZEPHString tokens(reply, '\'');
        if (device)
            *device = zeph_string(tokens.token[0]).toInt();
        if (offset)
            *offset = zeph_string(tokens.token[1]).toInt();
    }
    release(reply);
    return true;
}

zeph_stringlist zeph_script_helper::controlList(const zeph_string& panel,
                                                const zeph_string& prefix) {
    if (!host)
        return zeph_stringlist();
    char* reply = send(Command(
        [&](auto& out) { out.text("XI '").value(panel).text("' '").value(prefix).text("'"); }));
    if (!reply)
        return zeph_stringlist();
    zeph_stringlist list(reply, ',');
    release(reply);
    return list;
}

void zeph_script_helper::routerName(int device, int database, int index, zeph_string& name) {
    if (!host)
        return;
    // Three numbers always fit: "RN" and three blanks and signed 10-digit numbers, 38 characters.
    char command[48] = "RN";
    int len = 2;
    const int numbers[] = {device, database, index};
    for (int n : numbers)
        appendNumber(command, &len, n, static_cast<int>(sizeof command) - 1);
    command[len] = '\0';
    char* reply = send(command);
    if (!reply)
        return; // nothing to hand back: the host is never sent a null release
    name = reply;
    release(reply);
}

void zeph_script_helper::routerCrosspoint(int device, int source, int destination,
                                          const zeph_string& extra, bool flag) {
    if (!host)
        return;
    const Decimal d(device), s(source), t(destination);
    send(Command([&](auto& out) {
        out.text("RC ").value(d.text).text(" ").value(s.text).text(" ").value(t.text);
        out.text(" ',").value(extra).text(flag ? "' 1" : "' 0");
    }));
}

void zeph_script_helper::routerRegister(int device, int first, int last, bool add) {
    const int numbers[] = {device, first, last};
    sendNumeric("RR", numbers, 3, add ? " 'ADD'" : "");
}

void zeph_script_helper::routerPoll(int device, int first, int last) {
    const int numbers[] = {device, first, last};
    sendNumeric("RP", numbers, 3, "");
}

void zeph_script_helper::routerUnregister(int device) {
    sendNumeric("RU", &device, 1, "");
}

void zeph_script_helper::timerStart(int id, int period) {
    const int numbers[] = {id, period};
    sendNumeric("ET", numbers, period != 0 ? 2 : 1, "");
}

void zeph_script_helper::timerStop(int id) {
    sendNumeric("ET", &id, 1, "");
}

void zeph_script_helper::hostDetach() {
    if (host)
        send("AS");
}

void zeph_script_helper::debugPrint(const zeph_string& format, const zeph_string& v1,
                                    const zeph_string& v2, const zeph_string& v3,
                                    const zeph_string& v4, const zeph_string& v5,
                                    const zeph_string& v6, const zeph_string& v7,
                                    const zeph_string& v8, const zeph_string& v9) {
    const char* values[] = {v1, v2, v3, v4, v5, v6, v7, v8, v9};
    StringText line;
    expand(format, values, 9, line);
#if defined(_WIN32)
    OutputDebugStringA(line.text());
#else
    fputs(line.text(), stderr);
    fflush(stderr);
#endif
}
