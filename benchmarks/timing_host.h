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
    TimingHost() = default;
    TimingHost(const TimingHost&) = delete;
    TimingHost& operator=(const TimingHost&) = delete;

    // The reply to every later command with this mnemonic, a query's.
    void setReply(const char* mnemonic, const char* text) {
        Slot* slot = slotFor(mnemonic);
        if (!slot || std::strlen(text) >= sizeof slot->text)
            fail("cannot set that reply");
        std::strcpy(slot->text, text);
        slot->set = true;
    }

    char* callback(void* data, int type) override {
        if (type == ZEPH_RELEASE) {
            for (Slot& slot : m_slots) {
                if (slot.outstanding && data == slot.text) {
                    slot.outstanding = false;
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
        if (!command[0] || !command[1])
            return nullptr;
        const zeph_command_info* info = zeph_command_of(command);
        if (info && info->answered && !info->query)
            return m_accepted; // PS: a flag the host keeps
        Slot* slot = slotFor(command);
        if (!slot || !slot->set)
            return nullptr;
        if (slot->outstanding)
            m_breach = true; // the previous reply was never handed back
        slot->outstanding = true;
        return slot->text;
    }

    uint64_t commands() const { return m_commands; }

    void verify() const {
        bool open = false;
        for (const Slot& slot : m_slots)
            open = open || slot.outstanding;
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

    // The slot of a query command (or mnemonic); null for any other text.
    Slot* slotFor(const char* command) {
        const zeph_command_info* info = zeph_command_of(command);
        return info && info->query ? &m_slots[info - zeph_commands] : nullptr;
    }

    Slot m_slots[ZEPH_COMMAND_COUNT];
    char m_accepted[2] = "1";
    uint64_t m_commands = 0;
    bool m_breach = false;
};

} // namespace zeph::perf
