// The host command set: every command a component sends with ZEPH_COMMAND opens with one of these
// two-letter mnemonics, followed by a blank or nothing. The one list of which commands are
// queries: the recording host, the bridge, the benchmarks' timing host and the reports all read it
// here. Plain C, so the bridge (a C program) and component code can include it.
#ifndef ZEPH_COMMANDS_H
#define ZEPH_COMMANDS_H

struct zeph_command_info {
    char mnemonic[3];
    // The host answers with a reply the component reads and must hand back with ZEPH_RELEASE
    // before its notification returns.
    unsigned char query;
    // Only numbers follow the mnemonic, and the whole text stays within ZEPH_NUMERIC_LIMIT: a
    // command whose numbers would not fit is never sent, since a cut one addresses something else.
    unsigned char numeric;
    // The host answers it at all: the queries, and PS, whose answer is a flag the host keeps.
    unsigned char answered;
};

#define ZEPH_NUMERIC_LIMIT 31

static const struct zeph_command_info zeph_commands[] = {
    {"HN", 0, 0, 0}, // notify the parent
    {"TP", 0, 0, 0}, // put a text property of a control
    {"TG", 1, 0, 1}, // get a text property of a control
    {"PS", 0, 0, 1}, // show a panel
    {"SD", 1, 0, 1}, // look a device up by name
    {"XI", 1, 0, 1}, // list a panel's controls
    {"RN", 1, 0, 1}, // a router database entry's name
    {"RC", 0, 0, 0}, // make a crosspoint
    {"RR", 0, 1, 0}, // register for revertives
    {"RP", 0, 1, 0}, // poll revertives
    {"RU", 0, 1, 0}, // unregister revertives
    {"ET", 0, 1, 0}, // start or stop a timer
    {"AS", 0, 0, 0}, // detach: the last command
};

#define ZEPH_COMMAND_COUNT (sizeof zeph_commands / sizeof zeph_commands[0])

// The entry for a command text's mnemonic; null for a text that opens with none of them.
static inline const struct zeph_command_info* zeph_command_of(const char* text) {
    unsigned i;
    if (!text || !text[0] || !text[1] || (text[2] != ' ' && text[2] != '\0'))
        return 0;
    for (i = 0; i < ZEPH_COMMAND_COUNT; ++i)
        if (text[0] == zeph_commands[i].mnemonic[0] && text[1] == zeph_commands[i].mnemonic[1])
            return &zeph_commands[i];
    return 0;
}

static inline int zeph_command_is_query(const char* text) {
    const struct zeph_command_info* c = zeph_command_of(text);
    return c && c->query;
}

#endif
