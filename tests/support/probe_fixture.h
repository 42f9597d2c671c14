// A probe component attached to the recording host, destroyed and checked after every test.
#pragma once

#include "probe_component.h"
#include "recording_host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Commands = std::vector<std::string>;

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.create(createProbe, ""));
        probe = static_cast<ProbeComponent*>(host.component());
    }

    void TearDown() override {
        host.destroy();
        EXPECT_EQ(host.errors(), Commands{});
    }

    // Runs fn inside a parent notification, as a component's handler would, and returns the
    // commands it sent.
    template <typename Fn> Commands during(Fn fn) {
        host.takeCommands();
        probe->onParent = [fn](ProbeComponent& c, parentNotify*) { fn(c); };
        host.parent("run");
        probe->onParent = nullptr;
        return host.takeCommands();
    }

    zeph::host::RecordingHost host;
    ProbeComponent* probe = nullptr;
};
