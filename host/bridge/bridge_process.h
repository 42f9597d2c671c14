// The bridge as a process: starting it with its pipes, reading and writing them with a time
// limit, its stderr kept aside, and ending and reaping it so that nothing of it outlives the bench.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zeph::host::bridge {

using Clock = std::chrono::steady_clock;
Clock::time_point after(double seconds);

// Waits up to seconds for the child to end; true when it has (and is reaped).
bool reap(pid_t pid, double seconds, int* status = nullptr);
void writeAll(int fd, const char* data, size_t n);
// Dies of sig as a crashing module would, whatever handler the bench has for it.
[[noreturn]] void dieOf(int sig);

// The pipe to a bridge as the call loop sees it: a process, or bytes in memory for tests and
// fuzzing, whose peer has no process to wait for.
class Transport {
public:
    Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    virtual ~Transport() = default;

    enum { TimedOut = -1 };
    // Reads what is there, waiting until the deadline: the count, 0 at the end, or TimedOut.
    virtual int read(void* buffer, size_t size, Clock::time_point deadline) = 0;
    // Whether a read would return at once (bytes, or the end): for a caller that also waits on
    // something else. Unsure, it says so.
    virtual bool readable() { return true; }
    // Writes it all; false when the pipe is broken (the bridge has gone).
    virtual bool write(const void* data, size_t size) = 0;
    virtual void closeInput() {}
    // Waits up to seconds for the bridge to end; true (and reaped, with its status) when it has.
    virtual bool wait(double /*seconds*/, int* /*status*/) { return false; }
    // Ends the bridge: gently, by the end of its input, or at once.
    virtual void stop(bool /*gently*/) {}
    // Inherited through fork: lets go of this process's copies without touching the bridge.
    virtual void abandon() {}
    // The last line the bridge (or Wine) wrote to stderr, when it was kept.
    virtual std::string stderrTail() const { return ""; }
};

class Process final : public Transport {
public:
    Process() = default;
    ~Process() override = default;

    // Starts argv with its standard input and output as pipes to this process; false when it
    // could not be started (no pipe, no fork), with the reason's words in why.
    bool start(const std::vector<std::string>& argv, std::string& why);

    int read(void* buffer, size_t size, Clock::time_point deadline) override;
    bool readable() override;
    // Never raises SIGPIPE.
    bool write(const void* data, size_t size) override;
    void closeInput() override;
    bool wait(double seconds, int* status) override;
    void stop(bool gently) override;
    void abandon() override;
    std::string stderrTail() const override;

private:
    pid_t m_child = -1;
    int m_to = -1, m_from = -1, m_err = -1;
};

} // namespace zeph::host::bridge
