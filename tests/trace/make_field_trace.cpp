// Writes a trace of one kind of field traffic through the trace writer, as the field tap would:
//   make_field_trace SHAPE OUT
// field       the clean test component's session as a field host answers it (PS "ok")
// instances   two of its components on one host, their calls interleaved
// null-host   a factory called with a null host
// null-base   a factory called with a null base path
// null-parent a parent notification with null data
// newline     a command holding a line feed
// odd         what a scenario replays by other means or names in a note: releases by the host
//             (foreign, again), the component's diagnostics, a type 7 with a pointer, an unknown
//             type, button sub-fields a press line cannot give
// killed      the host killed inside a parent notification, which never returned
#include "trace/trace_records.h"
#include "trace_format.h"
#include "zeph_client_callback.h"
#include "zeph_records.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
namespace zt = zeph::bench::trace;

struct Tape {
    FILE* f;
    zt_writer w{};
    uint64_t us = 0;
    static int sink(void* context, const void* data, size_t size) {
        return std::fwrite(data, 1, size, static_cast<FILE*>(context)) == size ? 0 : -1;
    }
    explicit Tape(FILE* out) : f(out) {
        zt_writer_init(&w, sink, f, 0);
        zt_header h{};
        h.tap_version = 3;
        h.pid = 4242;
        h.component = zb_text_of("test_component_clean.dll");
        zt_write_header(&w, &h);
    }
    ~Tape() { zt_writer_free(&w); }
    void put(const zb_message& m) { zt_write(&w, us += 10, 1, &m); }
    void create(uint32_t host, const char* path) { put(zt::createRecord(host, path)); }
    void value(uint64_t v) { put(zt::valueRecord(v)); } // the RETURN of a CREATE or a DESTROY
    void call(uint64_t target, int type, const void* data, bool toHost) {
        put(zt::callRecord(target, type, data, toHost));
    }
    void ret(const char* result) { put(zt::returnRecord(result)); }
    // A command and the host's reply; a query's reply handed back.
    void command(uint32_t host, const char* text, char* reply = nullptr) {
        call(host, ZEPH_COMMAND, text, true);
        ret(reply);
        if (reply && std::strncmp(text, "PS", 2) != 0) {
            call(host, ZEPH_RELEASE, reply, true);
            ret(nullptr);
        }
    }
    void destroy(uint64_t handle, uint32_t host) {
        zb_message m{};
        m.kind = ZB_DESTROY;
        m.u.destroy.handle = handle;
        put(m);
        command(host, "AS");
        value(0);
    }
    void debug(const char* text) {
        zb_message m{};
        m.kind = ZB_DEBUG;
        m.u.debug.text = zb_text_of(text);
        put(m);
    }
};

char g_ok[] = "ok";
char g_names[4][8] = {"201 7", "201 7", "201 7", "201 7"};
char g_hi[] = "hi", g_yo[] = "yo";

// The clean component: PS on creation, SD for an echo, which it answers, ET and AS at the end.
void load(Tape& t, uint32_t host, uint64_t handle, const char* path = "") {
    t.create(host, path);
    if (host)
        t.command(host, "PS '1' 'test.zeph_ui'", g_ok);
    t.value(handle);
}

void echo(Tape& t, uint32_t host, uint64_t handle, const char* text, char* name, char* answer) {
    t.call(handle, ZEPH_PARENT, text, false);
    t.command(host, "SD 'pkg/mon1'", name);
    t.ret(answer);
    t.call(handle, ZEPH_RELEASE, answer, false);
    t.ret(nullptr);
}

void odd(Tape& t) {
    static char answer[] = "hi", stray[] = "stray";
    load(t, 1, 0x5000);
    echo(t, 1, 0x5000, "echo=hi", g_names[0], answer);
    t.call(0x5000, ZEPH_RELEASE, answer, false); // the host hands the answer back again
    t.ret(nullptr);
    t.call(0x5000, ZEPH_RELEASE, stray, false); // and a text it never had
    t.ret(nullptr);
    t.call(0x5000, ZEPH_RELEASE, nullptr, false);
    t.ret(nullptr);
    t.call(0x5000, ZEPH_PARENT, "quiet", false); // diagnostics inside a notification
    t.debug("said inside");
    t.ret(nullptr);
    t.call(0x5000, ZEPH_SPARE, stray, false); // a pointer nobody follows
    t.ret(nullptr);
    t.call(0x5000, 12, nullptr, false);
    t.ret(nullptr);
    // As a host fills an event: every sub-field a text, empty past the last.
    const auto event = [](zeph_parent_event& e, const char* command, const char* a, const char* b,
                          const char* value) {
        e.command = command;
        for (const char*& sub : e.sub)
            sub = "";
        e.sub[0] = a;
        e.sub[1] = b;
        e.value = value;
    };
    zeph_parent_event gap{};
    event(gap, "take", "", "b", ""); // an empty sub-field before a full one, and word 0 set
    zeph_button_record shifted{3, 0, "1", "Go", &gap};
    t.call(0x5000, ZEPH_BUTTON, &shifted, false);
    t.ret(nullptr);
    zeph_parent_event full{};
    event(full, "take", "a", "b", "7");
    zeph_button_record press{0, 0, "1", "Go", &full};
    t.call(0x5000, ZEPH_BUTTON, &press, false);
    t.ret(nullptr);
    t.destroy(0x5000, 1);
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_field_trace SHAPE OUT\n");
        return 2;
    }
    const std::string shape = argv[1];
    FILE* f = std::fopen(argv[2], "wb");
    if (!f)
        return 2;
    {
        Tape t(f);
        if (shape == "field") {
            load(t, 1, 0x5000);
            echo(t, 1, 0x5000, "echo=hi", g_names[0], g_hi);
            t.destroy(0x5000, 1);
        } else if (shape == "instances") {
            load(t, 1, 0x5000);
            load(t, 2, 0x6000);
            echo(t, 1, 0x5000, "echo=hi", g_names[0], g_hi);
            echo(t, 2, 0x6000, "echo=yo", g_names[1], g_yo);
            t.destroy(0x6000, 2);
            echo(t, 1, 0x5000, "echo=yo", g_names[2], g_yo);
            t.destroy(0x5000, 1);
        } else if (shape == "null-host") {
            load(t, 0, 0x5000);
            t.call(0x5000, ZEPH_TIMER, nullptr, false);
            t.ret(nullptr);
            zb_message m{};
            m.kind = ZB_DESTROY;
            m.u.destroy.handle = 0x5000;
            t.put(m);
            t.value(0);
        } else if (shape == "null-base") {
            load(t, 1, 0x5000, nullptr);
            t.destroy(0x5000, 1);
        } else if (shape == "null-parent") {
            load(t, 1, 0x5000);
            t.call(0x5000, ZEPH_PARENT, nullptr, false);
            t.ret(nullptr);
            t.destroy(0x5000, 1);
        } else if (shape == "newline") {
            load(t, 1, 0x5000);
            t.call(0x5000, ZEPH_PARENT, "say", false);
            t.command(1, "HN 'two\nlines'");
            t.ret(nullptr);
            t.destroy(0x5000, 1);
        } else if (shape == "odd") {
            odd(t);
        } else if (shape == "killed") {
            load(t, 1, 0x5000);
            t.call(0x5000, ZEPH_PARENT, "echo=hi", false);
            t.command(1, "SD 'pkg/mon1'", g_names[0]);
        } else {
            std::fprintf(stderr, "make_field_trace: no shape %s\n", shape.c_str());
            return 2;
        }
    }
    return std::fclose(f) == 0 ? 0 : 2;
}
