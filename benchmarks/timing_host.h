// The timing host: a host that costs next to nothing, so that a benchmark times the component and
// not the host.
//
// It answers the query commands (zeph_commands.h) from fixed buffers, answers PS, and checks that
// every reply it hands out comes back once before the next one of its kind; verify() ends the run
// if not. The recording host in host/ does the full checking; this one only keeps the benchmark
// honest.
#pragma once

#include "zeph_client_callback.h"
#include "zeph_commands.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zeph::perf {

class TimingHost : public zeph_client_callback {
public:
    // The table is read once, into an index by the mnemonic's two letters: a command then costs
    // one lookup, not a walk of the table.
    TimingHost() {
        for (const zeph_command_info& c : zeph_commands) {
            Entry& e = m_index[(c.mnemonic[0] - 'A') * 26 + (c.mnemonic[1] - 'A')];
            e.answered = c.answered != 0;
            e.slot = c.query ? &m_slots[m_slotCount++] : nullptr;
        }
    }
    TimingHost(const TimingHost&) = delete;
    TimingHost& operator=(const TimingHost&) = delete;

    // The reply to every later command with this mnemonic, a query's.
    void setReply(const char* mnemonic, const char* text) {
        const Entry* entry = entryOf(mnemonic);
        Slot* slot = entry ? entry->slot : nullptr;
        if (!slot || std::strlen(text) >= sizeof slot->text)
            fail("cannot set that reply");
        std::strcpy(slot->text, text);
        slot->set = true;
    }

    char* callback(void* data, int type) override {
        if (type == ZEPH_RELEASE) {
            for (size_t i = 0; i < m_slotCount; ++i) {
                if (m_slots[i].outstanding && data == m_slots[i].text) {
                    m_slots[i].outstanding = false;
                    return nullptr;
                }
            }
            m_breach = true; // foreign, null or repeated release
            return nullptr;
        }
        if (type != ZEPH_COMMAND || !data) {
            m_breach = true;
            return nullptr;
        }
        ++m_commands;
        const char* command = static_cast<const char*>(data);
        const Entry* entry = entryOf(command);
        if (!entry || !entry->answered)
            return nullptr;
        Slot* slot = entry->slot;
        if (!slot)
            return m_accepted; // PS: a flag the host keeps
        if (!slot->set)
            return nullptr;
        if (slot->outstanding)
            m_breach = true; // the previous reply was never handed back
        slot->outstanding = true;
        return slot->text;
    }

    uint64_t commands() const { return m_commands; }

    void verify() const {
        bool open = false;
        for (size_t i = 0; i < m_slotCount; ++i)
            open = open || m_slots[i].outstanding;
        if (m_breach || open)
            fail("a reply was not handed back exactly once");
    }

private:
    struct Slot {
        char text[128] = {};
        bool set = false;
        bool outstanding = false;
    };

    [[noreturn]] static void fail(const char* why) {
        std::fprintf(stderr, "timing host: %s\n", why);
        std::exit(1);
    }

    struct Entry {
        bool answered = false;
        Slot* slot = nullptr; // a query's reply
    };

    // The entry of a command text's (or a bare mnemonic's) two letters; null for anything else.
    const Entry* entryOf(const char* command) const {
        const unsigned a = unsigned(command[0] - 'A');
        const unsigned b = a < 26 ? unsigned(command[1] - 'A') : 26;
        if (a >= 26 || b >= 26 || (command[2] != ' ' && command[2] != '\0'))
            return nullptr;
        return &m_index[a * 26 + b];
    }

    Slot m_slots[ZEPH_COMMAND_COUNT];
    size_t m_slotCount = 0;
    Entry m_index[26 * 26];
    char m_accepted[2] = "1";
    uint64_t m_commands = 0;
    bool m_breach = false;
};

} // namespace zeph::perf
