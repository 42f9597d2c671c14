// The facility tests' bench: a facility with one probe component loaded, and every event it
// reports.
#pragma once

#include "facility/facility.h"
#include "probe_component.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace zeph::bench;
using namespace zeph::host;

namespace {

// A facility with one probe component loaded on endpoint 0, and every event it reports.
struct Bench {
    std::vector<Event> events;
    Facility f{[this](const Event& e) { events.push_back(e); }};
    int c = f.addEndpoint();
    ProbeComponent* probe = nullptr;

    Bench() {
        f.setName("pkg/mon1", 201, 7);
        f.setName("sdi", 5, std::nullopt);
        f.setDatabase(201, 1, 7, "40,Monitor 1");
        f.addRouter(5);
        f.setDatabase(5, 0, 12, "Camera 1");
        f.setDatabase(5, 0, 3, "Camera 3");
        EXPECT_TRUE(f.load(c, createProbe, ""));
        probe = static_cast<ProbeComponent*>(f.host(c).component());
    }
    // Makes the probe run `action` inside the next parent notification, as a component would.
    void inside(std::function<void(ProbeComponent&)> action) {
        probe->onParent = [action](ProbeComponent& p, parentNotify*) { action(p); };
        f.parent(c, "go");
        probe->onParent = nullptr;
    }
    std::vector<std::string> notified() const {
        std::vector<std::string> out;
        for (const Event& e : events)
            if (e.kind == Event::Kind::Notify)
                out.push_back(std::to_string(e.time) + " " + e.text);
        return out;
    }
    size_t hostErrors() const {
        size_t n = 0;
        for (const Event& e : events)
            n += e.kind == Event::Kind::HostError;
        return n;
    }
};

} // namespace
