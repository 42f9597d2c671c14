// Whole trace records as a recorder makes them (the bench's tap, the trace tests, the trace's
// benchmark): a call with its data read as zt_payload reads it, what a call returned (a text, or a
// value such as a CREATE's handle), and a factory's CREATE.
#pragma once

#include "trace_format.h"

namespace zeph::bench::trace {

inline zb_message callRecord(uint64_t target, int type, const void* data, bool toHost) {
    zb_message m{};
    m.kind = ZB_CALL;
    m.u.call.target = target;
    m.u.call.type = type;
    zt_payload(type, data, toHost, &m.u.call.data);
    return m;
}

inline zb_message returnRecord(const char* result) {
    zb_message m{};
    m.kind = ZB_RETURN;
    zt_result(result, &m.u.ret);
    return m;
}

inline zb_message valueRecord(uint64_t value) {
    zb_message m{};
    m.kind = ZB_RETURN;
    m.u.ret.value = value;
    return m;
}

inline zb_message createRecord(uint32_t host, const char* path) {
    zb_message m{};
    m.kind = ZB_CREATE;
    m.u.create.host = host;
    m.u.create.path = zb_text_of(path);
    return m;
}

} // namespace zeph::bench::trace
