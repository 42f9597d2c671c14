// What the files of the bench's end of the pipe share (bridge_connection.cpp: start, HELLO and
// failures; _calls: the call loop and the replies' ledger; _ahead: the calls sent ahead; _wire: the
// ring and the pipes). Private to them.
#pragma once

#include "bridge/bridge_connection.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

namespace zeph::host::bridge {

// One frame read, and its message, whose texts point into the frame's body.
struct Connection::Frame {
    zb_frame frame{};
    zb_message message{};
    Frame() = default;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame() { zb_frame_free(&frame); }
};

// The jobs of an overlap(), dealt to a few fibers, each on a stack of its own.
struct Connection::Overlap {
    struct Fiber {
        void* sp = nullptr;    // its stack pointer while it is not running
        size_t job = SIZE_MAX; // the job it runs
        bool idle = true;      // waiting for a job it may start
    };
    const std::function<void(size_t)>* job = nullptr;
    const std::function<void(size_t)>* onTurn = nullptr;
    size_t count = 0, apart = 0, next = 0;
    std::vector<char> ended; // by job
    void* main = nullptr;
    std::vector<Fiber> fibers;
    int current = -1; // the fiber running; -1: overlap() itself
    size_t told = SIZE_MAX;

    void tell(size_t i) {
        if (told != i && i != SIZE_MAX)
            (*onTurn)(told = i);
    }
    // Job next touches what job next - apart touched: it waits until that one has ended.
    bool canStart() const { return next < count && (next < apart || ended[next - apart]); }
    void resume(int i);
    // Fiber i on its stack, to take jobs from its first resume on.
    void prepare(size_t i, char* stack);
    // From a fiber: back to overlap(), until it resumes this one.
    void park();
};

namespace detail {

inline std::string textOf(const zb_text& t, std::string fallback = "") {
    return t.data ? std::string(t.data, t.size) : fallback;
}

// This process's id, asked for once and again after each fork: a call asks on every call.
pid_t selfPid();

// Set for good once anything of this process may answer RC or RP inline; a process forked after
// keeps it.
extern bool g_inlineAnswers;

// The one-way set with RC and RP in it (routes) or not: they may bring revertives back inline,
// inside the call, before it returns.
uint32_t oneWaySetOf(bool routes);

} // namespace detail

} // namespace zeph::host::bridge
