// One operation per host command. Every command reaches the host through send(), the one seam.
#include "zeph_script_helper.h"
#include "zeph_command_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include "zeph_win32.h"
#endif

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
    send(Command([&](auto& out) {
        out.text("RC ").number(device).text(" ").number(source).text(" ").number(destination);
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
