// The soak run: N configured selectors on one facility, M notifications dealt round-robin.
#include "soak/soak.h"

#include "facility/facility.h"
#include "validate/validate.h"

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace zeph::bench {

namespace {
constexpr int kSources = 16;

size_t residentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
} // namespace

SoakResult soak(zeph_factory_fn factory, const SoakOptions& o) {
    SoakResult r;
    const int n = std::max(1, o.components);
    r.components = n;
    Facility f;
    // Component i (from 1) controls destination 100 + i of router 5 through package entry i.
    f.setName("sdi", 5, std::nullopt);
    f.addRouter(5);
    for (int s = 1; s <= kSources; ++s) {
        f.setDatabase(201, 0, s, std::to_string(s + 1) + ",Camera " + std::to_string(s));
        f.setDatabase(5, 0, s + 1, "Camera " + std::to_string(s));
    }
    for (int i = 1; i <= n; ++i) {
        f.setName("pkg/mon" + std::to_string(i), 201, i);
        f.setDatabase(201, 1, i, std::to_string(100 + i) + ",Monitor " + std::to_string(i));
    }

    const size_t heap0 = heapInUse(), rss0 = residentBytes();
    for (int i = 0; i < n; ++i)
        f.addEndpoint();
    const size_t heap1 = heapInUse();
    for (int i = 0; i < n; ++i) {
        if (!f.load(i, factory, o.basePath)) {
            r.loadFailed = true;
            return r;
        }
        f.parent(i, "offState=off");
        f.parent(i, "onState=on");
        f.parent(i, "instance=pkg/mon" + std::to_string(i + 1));
        f.parent(i, "sdiID=sdi");
    }
    for (int i = 0; i < n; ++i)
        f.forgetRecords(i);
    const size_t heap2 = heapInUse(), rss2 = residentBytes();
    r.hostPerComponent = double(heap1 - heap0) / n;
    r.heapPerComponent = double(heap2 > heap1 ? heap2 - heap1 : 0) / n;
    r.rssPerComponent = double(rss2 > rss0 ? rss2 - rss0 : 0) / n;

    const size_t delivered0 = f.notificationsDelivered();
    size_t commands0 = 0;
    for (int i = 0; i < n; ++i)
        commands0 += f.host(i).totalCommands();
    const auto start = std::chrono::steady_clock::now();
    for (long long j = 0; j < o.notifications; ++j) {
        const int c = static_cast<int>(j % n);
        const long long round = j / n;
        switch (round % 6) {
        case 0:
            f.press(c, "1", "Tarnel", "");
            break;
        case 1:
            f.parent(c, "sourceID=" + std::to_string(1 + (round / 6 + c) % kSources));
            break;
        case 2:
            f.revertive(c, 5, 100 + c + 1, "Camera");
            break;
        case 3:
            f.tick(c, 2);
            break;
        case 4:
            f.parent(c, "return=all");
            break;
        default:
            f.parent(c, "clear=1");
            break;
        }
        // The virtual clock moves 1 ms per round, so that the hosts' timers run as well.
        if (c == n - 1) {
            f.advance(1);
            for (int i = 0; i < n; ++i)
                f.forgetRecords(i);
        }
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.sent = o.notifications;
    r.delivered = f.notificationsDelivered() - delivered0;
    for (int i = 0; i < n; ++i)
        r.commands += f.host(i).totalCommands();
    r.commands -= commands0;
    r.perSecond = r.seconds > 0 ? double(r.delivered) / r.seconds : 0;
    for (int i = 0; i < n; ++i)
        f.unload(i);
    r.hostErrors = f.hostErrors();
    return r;
}

} // namespace zeph::bench
