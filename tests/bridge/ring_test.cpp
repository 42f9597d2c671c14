// The shared region's rings on their own: a stream passes through in pieces both ways, counters
// that do not add up break the ring, and a sleeping end is woken once, for what it waits for.
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

struct Region {
    std::vector<uint64_t> memory = std::vector<uint64_t>(ZB_REGION_SIZE / 8 + 1);
    zb_link bench{}, bridge{};
    Region() {
        zb_region_init(memory.data());
        EXPECT_EQ(zb_link_init(&bench, memory.data(), ZB_BENCH), 0);
        EXPECT_EQ(zb_link_init(&bridge, memory.data(), ZB_BRIDGE), 0);
    }
    zb_region_header& header() { return *reinterpret_cast<zb_region_header*>(memory.data()); }
};

// Four times the ring's size in uneven pieces, both ways: every byte comes out as it went in,
// across every wrap of the counters and the ring's end.
TEST(bridge_ring, a_stream_larger_than_the_ring_passes_in_pieces_both_ways) {
    Region r;
    for (zb_ring_control& ring : r.header().ring) // counters about to wrap
        ring.head = ring.tail = 0xfffff000u;
    for (auto [from, to] : {std::pair{&r.bench, &r.bridge}, std::pair{&r.bridge, &r.bench}}) {
        std::vector<unsigned char> sent(size_t{4} * ZB_RING_SIZE), got;
        for (size_t i = 0; i < sent.size(); ++i)
            sent[i] = static_cast<unsigned char>(i * 7 + i / 251);
        size_t at = 0;
        std::vector<unsigned char> buffer(70001);
        while (got.size() < sent.size()) {
            const long wrote =
                zb_link_write(from, sent.data() + at, std::min<size_t>(sent.size() - at, 100003));
            ASSERT_GE(wrote, 0);
            at += size_t(wrote);
            const long read = zb_link_read(to, buffer.data(), buffer.size());
            ASSERT_GE(read, 0);
            got.insert(got.end(), buffer.begin(), buffer.begin() + read);
        }
        EXPECT_TRUE(got == sent);
        EXPECT_EQ(zb_link_readable(to), 0);
        EXPECT_EQ(zb_link_room(from), long(ZB_RING_SIZE));
    }
}

// Counters the other end wrote that do not add up are a broken ring, never a copy out of bounds.
TEST(bridge_ring, counters_that_do_not_add_up_break_the_ring) {
    const struct {
        const char* name;
        uint32_t head, tail;
    } cases[] = {
        {"more written than the ring holds", ZB_RING_SIZE + 1, 0},
        {"more read than was written", 10, 11},
        {"far apart", 0x80000000u, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Region r;
        r.bridge.out->head = c.head;
        r.bridge.out->tail = c.tail;
        unsigned char buffer[16];
        EXPECT_EQ(zb_link_readable(&r.bench), -1);
        EXPECT_EQ(zb_link_read(&r.bench, buffer, sizeof buffer), -1);
        EXPECT_EQ(zb_link_room(&r.bridge), -1);
        EXPECT_EQ(zb_link_write(&r.bridge, buffer, sizeof buffer), -1);
        EXPECT_EQ(zb_link_sleep(&r.bench, 0), 0); // looked at, and found broken
    }
    Region r;
    r.header().magic = 0;
    zb_link l;
    EXPECT_EQ(zb_link_init(&l, r.memory.data(), ZB_BENCH), -1);
}

// A sleeping end is woken once for each sleep, and only by what it waits for: a reader asleep for
// data by a write, a writer asleep for room by a read.
TEST(bridge_ring, a_sleeper_is_woken_once_and_only_for_what_it_waits_for) {
    Region r;
    std::vector<unsigned char> bytes(ZB_RING_SIZE);
    EXPECT_EQ(zb_link_sleep(&r.bridge, 0), 1);
    EXPECT_EQ(zb_link_read(&r.bench, bytes.data(), 1), 0);
    EXPECT_EQ(zb_link_wake_peer(&r.bench, ZB_WAIT_ROOM), 0); // a read frees no data
    EXPECT_EQ(zb_link_write(&r.bench, bytes.data(), 1), 1);
    EXPECT_EQ(zb_link_wake_peer(&r.bench, ZB_WAIT_DATA), 1);
    EXPECT_EQ(zb_link_wake_peer(&r.bench, ZB_WAIT_DATA), 0);
    EXPECT_EQ(zb_link_sleep(&r.bridge, 0), 0); // a byte waits: no sleep
    // The bench fills the ring and sleeps for room; the bridge's write wakes nobody, its read does.
    EXPECT_EQ(zb_link_write(&r.bench, bytes.data(), bytes.size()), long(ZB_RING_SIZE) - 1);
    EXPECT_EQ(zb_link_sleep(&r.bench, 1), 1);
    EXPECT_EQ(zb_link_write(&r.bridge, bytes.data(), 1), 1);
    EXPECT_EQ(zb_link_wake_peer(&r.bridge, ZB_WAIT_DATA), 0);
    EXPECT_EQ(zb_link_read(&r.bridge, bytes.data(), 1), 1);
    EXPECT_EQ(zb_link_wake_peer(&r.bridge, ZB_WAIT_ROOM), 1);
}

// A dozing end is woken through the region by the write it waits for, with no WAKE for the pipe;
// one that nothing wakes gives up after its time. Neither dozes unless both can, nor once the
// bench is letting the bridge go (the bridge then finds its pipe closed).
TEST(bridge_ring, a_dozing_end_is_woken_through_the_region_not_its_pipe) {
    Region r;
    const unsigned char byte = 1;
    EXPECT_EQ(zb_link_doze(&r.bridge, 0, 1), -1);
    ASSERT_EQ(zb_link_offer_doze(&r.bench), 1);
    EXPECT_EQ(zb_link_doze(&r.bridge, 0, 1), -1);
    ASSERT_EQ(zb_link_offer_doze(&r.bridge), 1);
    EXPECT_EQ(zb_link_doze(&r.bridge, 0, 1), 0);
    EXPECT_EQ(*r.bridge.asleep, uint32_t(ZB_AWAKE));
    std::thread bench([&] {
        while (__atomic_load_n(r.bridge.asleep, __ATOMIC_ACQUIRE) == ZB_AWAKE)
            sched_yield();
        EXPECT_EQ(zb_link_write(&r.bench, &byte, 1), 1);
        EXPECT_EQ(zb_link_wake_peer(&r.bench, ZB_WAIT_DATA), 0);
    });
    EXPECT_EQ(zb_link_doze(&r.bridge, 0, 60000), 1);
    bench.join();
    EXPECT_EQ(*r.bridge.asleep, uint32_t(ZB_AWAKE));
    r.header().closing = 1;
    EXPECT_EQ(zb_link_doze(&r.bench, 0, 60000), 0);
}

} // namespace
