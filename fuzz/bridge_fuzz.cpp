// Fuzzes the bench's end of the bridge with what a misbehaving bridge could write: the input is the
// byte stream from the bridge. It goes to the frame decoder on its own, then to the call loop over
// a pipe in memory while the bench creates a component, sends it a parent command, releases its
// answer and destroys it, with a recording host serving the bridge's calls in between. Whatever
// comes, the loop ends in a protocol error (or the bridge's end) rather than a crash or a hang.
#include "bridge/bridge_codec.h"
#include "bridge/bridge_connection.h"
#include "bridge/bridge_proxy.h"
#include "fuzz_check.h"
#include "recording_host.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace zeph::host::bridge;

// The bridge's side of the pipe: what it says is the input, what the bench writes is dropped.
class MemoryPipe final : public Transport {
public:
    MemoryPipe(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    int read(void* buffer, size_t size, Clock::time_point) override {
        const size_t n = std::min(size, m_size - m_pos);
        std::memcpy(buffer, m_data + m_pos, n);
        m_pos += n;
        return int(n);
    }
    bool write(const void*, size_t) override { return true; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

struct BridgeFailed {
    std::string line;
};

// Every frame that decodes encodes back to the very same bytes.
void decodeAll(const uint8_t* data, size_t size) {
    zb_memory source{data, size, 0};
    auto in = std::make_unique<zb_input>();
    zb_input_init(in.get(), zb_read_memory, &source);
    zb_writer w;
    zb_writer_init(&w);
    for (;;) {
        zb_frame f;
        if (zb_read_frame(in.get(), &f) != ZB_READ_FRAME) {
            zb_frame_free(&f);
            break;
        }
        zb_message m;
        if (zb_decode(f.kind, f.body, f.size, &m) == 0) {
            ZEPH_FUZZ_CHECK(zb_encode(&w, &m) == 0, "kind " + std::to_string(f.kind));
            ZEPH_FUZZ_CHECK(w.size == f.size + 8 &&
                                (f.size == 0 || std::memcmp(w.data + 8, f.body, f.size) == 0),
                            "kind " + std::to_string(f.kind) + " does not encode back");
        }
        zb_frame_free(&f);
    }
    zb_writer_free(&w);
}

// One component's life through the call loop.
void live(Connection& c, zeph::host::RecordingHost& host, zeph_client_callback*& proxy) {
    proxy = createProxy(c, 0, "fuzzed.dll", &host, "X:/ui");
    if (!proxy)
        return;
    char text[] = "sourceID=7";
    if (char* answer = proxy->callback(text, ZEPH_PARENT))
        proxy->callback(answer, ZEPH_RELEASE);
    zb_message destroy{};
    destroy.kind = ZB_DESTROY;
    c.call(destroy, Activity{"destruction"});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decodeAll(data, size);

    Launch launch;
    launch.module = "fuzzed.dll";
    auto c = Connection::over(std::make_unique<MemoryPipe>(data, size), launch,
                              [](const std::string& line, int) { throw BridgeFailed{line}; });
    zeph::host::RecordingHost host;
    zeph_client_callback* proxy = nullptr;
    try {
        live(*c, host, proxy);
    } catch (const BridgeFailed& failed) {
        ZEPH_FUZZ_CHECK(failed.line.rfind("fuzzed.dll: the bridge ", 0) == 0 ||
                            failed.line.find(" (exception 0x") != std::string::npos,
                        zeph::fuzz::quoted(failed.line));
    }
    // The stand-in goes without a word to the bridge: it was destroyed there, or the bridge failed.
    c->abandon();
    delete proxy;
    return 0;
}
