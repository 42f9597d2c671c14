// A trace written record by record through the C writer, into memory, for the trace tests: each
// record's end is kept, and writes can be made to fail from a given one on.
#pragma once

#include "trace/trace_records.h"
#include "trace/trace_tools.h"
#include "zeph_client_callback.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace zeph::test {

struct Tape {
    std::vector<unsigned char> bytes;
    std::vector<size_t> boundaries; // where each record ends
    int writes = 0, failFrom = -1;
    zt_writer w{};

    explicit Tape(uint64_t limit = 0) {
        std::memset(&w, 0xA5, sizeof w); // a writer on the stack: init assumes nothing of it
        zt_writer_init(&w, sink, this, limit);
    }
    ~Tape() { zt_writer_free(&w); }
    static int sink(void* context, const void* data, size_t size) {
        Tape& t = *static_cast<Tape*>(context);
        if (t.failFrom >= 0 && t.writes >= t.failFrom)
            return -1;
        ++t.writes;
        const auto* p = static_cast<const unsigned char*>(data);
        t.bytes.insert(t.bytes.end(), p, p + size);
        return 0;
    }
    void header(const char* component) {
        zt_header h{};
        h.tap_version = 3;
        h.pid = 42;
        h.component = zb_text_of(component);
        h.component_size = 1234;
        h.component_time = 1700000000;
        ASSERT_EQ(zt_write_header(&w, &h), 0);
        boundaries.push_back(bytes.size());
    }
    int put(const zb_message& m, uint32_t thread = 1) {
        const int r = zt_write(&w, 10 * boundaries.size(), thread, &m);
        boundaries.push_back(bytes.size());
        return r;
    }
    void create(uint32_t host, const char* path) { put(bench::trace::createRecord(host, path)); }
    void call(uint64_t target, int type, const void* data, bool toHost) {
        put(bench::trace::callRecord(target, type, data, toHost));
    }
    // The RETURN of a CREATE: the component's handle, which its notifications then target.
    void created(uint64_t handle) { put(bench::trace::valueRecord(handle)); }
    void ret(const char* result) { put(bench::trace::returnRecord(result)); }
};

inline zeph::bench::trace::Trace parsed(const std::vector<unsigned char>& bytes) {
    zeph::bench::trace::Trace t;
    std::string error;
    EXPECT_TRUE(t.parse(bytes, error)) << error;
    return t;
}

} // namespace zeph::test
