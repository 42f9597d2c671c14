// The bridge's frame codec on its own: every kind survives a round trip, and a frame cut short,
// padded or lying about its size is refused rather than read past.
#include "bridge/bridge_codec.h"
#include "bridge/bridge_connection.h"
#include "bridge/bridge_proxy.h"
#include "bridge/bridge_ring.h"
#include "recording_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>

namespace {

zb_text text(const char* t) {
    return zb_text_of(t);
}

std::string str(zb_text t) {
    return t.data ? std::string(t.data, t.size) : "<null>";
}

zb_message sample(uint32_t kind) {
    zb_message m{};
    m.kind = kind;
    switch (kind) {
    case ZB_HELLO:
        m.u.hello = {ZB_MAGIC, ZB_VERSION, ZB_LOAD_FAILED, 126, text("no such file")};
        break;
    case ZB_CREATE:
        m.u.create = {0, 7, text("C:\\base")};
        break;
    case ZB_CREATE_IN:
        m.u.create = {3, 7, text("C:\\base")};
        break;
    case ZB_LOAD:
        m.u.load.path = text("Z:\\bin\\Vigil.dll");
        break;
    case ZB_SHARE:
        m.u.share = {text("/dev/shm/zeph-bridge-x"), 4096, 0x80000041u};
        break;
    case ZB_ONE_WAY:
        m.u.one_way = 0x80000443u;
        break;
    case ZB_CALL:
    case ZB_POST:
    case ZB_QUEUE: {
        m.u.call.target = 0x1122334455667788ull;
        m.u.call.type = 2;
        zb_button_data& b = m.u.call.data.button;
        m.u.call.data.kind = ZB_DATA_BUTTON;
        b.word0 = -1;
        b.word1 = 5;
        b.panel = text("1");
        b.control = text("Tarnel");
        b.has_event = 1;
        b.command = text("route");
        b.value = zb_text{nullptr, 0};
        b.sub_count = 1;
        b.has_value = 1;
        for (auto& s : b.sub)
            s = text("");
        b.sub[0] = text("dest");
        break;
    }
    case ZB_DESTROY:
        m.u.destroy.handle = 42;
        break;
    case ZB_RETURN:
        m.u.ret = {0xdeadbeef, ZB_TERMINATED, text("SD 1 2")};
        break;
    case ZB_FAULT:
        m.u.fault = {0xC0000005, 0x1000, 1, 0x20, text("Ostrel.dll+0x1a2b")};
        break;
    case ZB_DEBUG:
        m.u.debug.text = text("debug line");
        break;
    default:
        break;
    }
    return m;
}

std::vector<unsigned char> encode(const zb_message& m) {
    zb_writer w;
    zb_writer_init(&w);
    EXPECT_EQ(zb_encode(&w, &m), 0) << m.kind;
    std::vector<unsigned char> bytes(w.data, w.data + w.size);
    zb_writer_free(&w);
    return bytes;
}

// The frame's body decoded as the frame's kind says.
int decodeFrame(const std::vector<unsigned char>& frame, zb_message& out) {
    return zb_decode(frame[4], frame.data() + 8, frame.size() - 8, &out);
}

const uint32_t kKinds[] = {ZB_HELLO, ZB_CREATE, ZB_CALL, ZB_DESTROY, ZB_RETURN,
                           ZB_FAULT, ZB_DEBUG,  ZB_HEAP, ZB_LOAD,    ZB_CREATE_IN,
                           ZB_SHARE, ZB_WAKE,   ZB_POST, ZB_ONE_WAY, ZB_QUEUE};

TEST(bridge_codec, every_kind_survives_a_round_trip_byte_for_byte) {
    for (uint32_t kind : kKinds) {
        const std::vector<unsigned char> frame = encode(sample(kind));
        zb_message back;
        ASSERT_EQ(decodeFrame(frame, back), 0) << kind;
        EXPECT_EQ(encode(back), frame) << kind;
    }
    // Texts point into the frame, which must outlive them.
    const std::vector<unsigned char> press = encode(sample(ZB_CALL));
    zb_message call;
    ASSERT_EQ(decodeFrame(press, call), 0);
    EXPECT_EQ(str(call.u.call.data.button.control), "Tarnel");
    EXPECT_EQ(str(call.u.call.data.button.value), "<null>");
    EXPECT_EQ(str(call.u.call.data.button.sub[0]), "dest");
    EXPECT_EQ(call.u.call.target, 0x1122334455667788ull);
}

TEST(bridge_codec, every_data_kind_survives_a_round_trip) {
    zb_payload datas[6] = {};
    datas[0].kind = ZB_DATA_NULL;
    datas[1].kind = ZB_DATA_TEXT;
    datas[1].text = text("PS 1 2");
    datas[2].kind = ZB_DATA_VALUE;
    datas[2].value = uint64_t(-3);
    datas[3].kind = ZB_DATA_RECORD;
    datas[3].text = text("CAM 1");
    datas[3].words[0] = 9;
    datas[3].words[3] = -4;
    datas[4].kind = ZB_DATA_HANDED;
    datas[4].value = 0xabcdef;
    datas[5].kind = ZB_DATA_FOREIGN;
    for (const zb_payload& d : datas) {
        zb_message m{};
        m.kind = ZB_CALL;
        m.u.call.data = d;
        const auto frame = encode(m);
        zb_message back;
        ASSERT_EQ(decodeFrame(frame, back), 0) << d.kind;
        EXPECT_EQ(back.u.call.data.kind, d.kind);
        EXPECT_EQ(back.u.call.data.value, d.value);
        EXPECT_EQ(str(back.u.call.data.text), str(d.text));
        EXPECT_EQ(std::memcmp(back.u.call.data.words, d.words, sizeof d.words), 0);
    }
}

TEST(bridge_codec, a_body_cut_short_or_padded_is_refused) {
    for (uint32_t kind : kKinds) {
        const std::vector<unsigned char> frame = encode(sample(kind));
        zb_message back;
        for (size_t cut = 8; cut < frame.size(); ++cut)
            EXPECT_EQ(zb_decode(kind, frame.data() + 8, cut - 8, &back), -1) << kind << " " << cut;
        std::vector<unsigned char> padded(frame.begin() + 8, frame.end());
        padded.push_back(0);
        EXPECT_EQ(zb_decode(kind, padded.data(), padded.size(), &back), -1) << kind;
    }
    const unsigned char unknownData[] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 99, 0, 0, 0};
    zb_message back;
    EXPECT_EQ(zb_decode(ZB_CALL, unknownData, sizeof unknownData, &back), -1);
    EXPECT_EQ(zb_decode(99, nullptr, 0, &back), -1);
    // A press whose parser would count more sub-fields than it has slots for.
    for (int32_t count : {ZB_EVENT_SUBS + 1, -1}) {
        zb_message press = sample(ZB_CALL);
        press.u.call.data.button.sub_count = count;
        EXPECT_EQ(decodeFrame(encode(press), back), -1) << count;
    }
}

// A source that hands out one byte per read, as a slow pipe may.
int dribble(void* memory, void* buffer, size_t size) {
    return zb_read_memory(memory, buffer, size ? 1 : 0);
}

TEST(bridge_codec, frames_are_read_back_from_a_stream_in_order) {
    std::vector<unsigned char> stream;
    for (uint32_t kind : kKinds) {
        const auto frame = encode(sample(kind));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    for (zb_read_fn read : {zb_read_memory, dribble}) {
        zb_memory source{stream.data(), stream.size(), 0};
        auto in = std::make_unique<zb_input>();
        zb_input_init(in.get(), read, &source);
        for (uint32_t kind : kKinds) {
            zb_frame f;
            ASSERT_EQ(zb_read_frame(in.get(), &f), ZB_READ_FRAME);
            zb_message m;
            EXPECT_EQ(f.kind, kind);
            EXPECT_EQ(zb_decode(f.kind, f.body, f.size, &m), 0) << kind;
            zb_frame_free(&f);
        }
        zb_frame f;
        EXPECT_EQ(zb_read_frame(in.get(), &f), ZB_READ_END);
        zb_frame_free(&f);
    }
}

// A body that fits is read into the frame itself, a larger one onto the heap (growing past the
// input's buffer): either way the text comes back whole, at each edge.
TEST(bridge_codec, a_body_comes_back_whole_in_the_frame_or_on_the_heap) {
    const size_t small = sizeof(zb_frame::small);
    for (size_t body : {size_t{4}, small - 1, small, small + 1, size_t{70000}}) {
        const std::string said(body - 4, 'x');
        zb_message m{};
        m.kind = ZB_DEBUG;
        m.u.debug.text = zb_text{said.data(), uint32_t(said.size())};
        std::vector<unsigned char> stream = encode(m);
        stream.insert(stream.end(), stream.begin(), stream.end()); // twice: the frame is reused
        zb_memory source{stream.data(), stream.size(), 0};
        auto in = std::make_unique<zb_input>();
        zb_input_init(in.get(), zb_read_memory, &source);
        for (int twice = 0; twice < 2; ++twice) {
            zb_frame f;
            ASSERT_EQ(zb_read_frame(in.get(), &f), ZB_READ_FRAME) << body;
            EXPECT_EQ(f.body == f.small, body <= small) << body;
            zb_message back;
            ASSERT_EQ(zb_decode(f.kind, f.body, f.size, &back), 0) << body;
            EXPECT_EQ(str(back.u.debug.text), said) << body;
            zb_frame_free(&f);
        }
    }
}

TEST(bridge_codec, a_stream_that_lies_about_sizes_is_refused) {
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        zb_read_result result;
    };
    const Case cases[] = {
        {"size below the kind", {3, 0, 0, 0, 5, 0, 0, 0}, ZB_READ_GARBLED},
        {"size over the limit", {1, 0, 0x80, 0, 5, 0, 0, 0}, ZB_READ_GARBLED},
        // Eight megabytes announced, four sent: the end comes, not an eight-megabyte buffer.
        {"body never sent", {0, 0, 0x80, 0, 5, 0, 0, 0, 1, 2, 3, 4}, ZB_READ_CUT},
        {"head cut", {12, 0, 0}, ZB_READ_CUT},
    };
    for (const Case& c : cases) {
        zb_memory source{c.bytes.data(), c.bytes.size(), 0};
        auto in = std::make_unique<zb_input>();
        zb_input_init(in.get(), zb_read_memory, &source);
        zb_frame f;
        EXPECT_EQ(zb_read_frame(in.get(), &f), c.result) << c.name;
        zb_frame_free(&f);
    }
}

TEST(bridge_codec, a_fixed_buffer_too_small_fails_rather_than_overflows) {
    unsigned char buffer[16];
    zb_writer w;
    zb_writer_fixed(&w, buffer, sizeof buffer);
    zb_fault f = {1, 2, 3, 4, text("a place name longer than the buffer")};
    EXPECT_EQ(zb_encode_fault(&w, &f), -1);
    zb_destroy d = {5};
    EXPECT_EQ(zb_encode_destroy(&w, &d), 0);
    EXPECT_EQ(w.size, 16u);
}

// The bridge's side of a pipe in memory: what it says is given, what the bench writes is dropped.
class SaidPipe final : public zeph::host::bridge::Transport {
public:
    explicit SaidPipe(std::vector<unsigned char> said) : m_said(std::move(said)) {}
    int read(void* buffer, size_t size, zeph::host::bridge::Clock::time_point) override {
        const size_t n = std::min(size, m_said.size() - m_pos);
        std::memcpy(buffer, m_said.data() + m_pos, n);
        m_pos += n;
        return int(n);
    }
    bool write(const void*, size_t) override { return true; }

private:
    std::vector<unsigned char> m_said;
    size_t m_pos = 0;
};

TEST(bridge_codec, a_bridge_that_hands_a_host_a_bare_value_breaks_the_protocol) {
    // A host takes a command as a text it reads: a value would be read as an address.
    zb_message call{};
    call.kind = ZB_CALL;
    call.u.call.target = 1;
    call.u.call.type = ZEPH_COMMAND;
    call.u.call.data.kind = ZB_DATA_VALUE;
    call.u.call.data.value = 0x10;
    zeph::host::bridge::Launch launch;
    launch.module = "probe";
    auto c = zeph::host::bridge::Connection::over(
        std::make_unique<SaidPipe>(encode(call)), launch,
        [](const std::string& line, int) { throw std::runtime_error(line); });
    zeph::host::RecordingHost host;
    try {
        zeph::host::bridge::createProxy(*c, 0, "probe", &host, "X:/ui");
        ADD_FAILURE() << "no protocol error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "probe: the bridge broke the protocol during creation (base path "
                               "\"X:/ui\")");
    }
    c->abandon();
    EXPECT_TRUE(host.commands().empty());
}

} // namespace
