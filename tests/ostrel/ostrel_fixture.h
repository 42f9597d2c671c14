// Drives the built Ostrel module the way a panel host does: loaded from its file, created through
// its factory, and spoken to through the callback only.
#pragma once

#include "built_paths.h"
#include "module_loader.h"
#include "recording_host.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using Commands = std::vector<std::string>;

class OstrelTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(module.open(zeph::built::ostrelModule)) << module.error(); }

    void TearDown() override {
        host.destroy();
        EXPECT_EQ(host.errors(), Commands());
    }

    void create(const char* path = "") { ASSERT_TRUE(host.create(module.factory(), path)); }

    // A selector serving package entry "pkg" (device 201, destination 3 -> router destination 40)
    // on router "rtr" (device 5), states "off"/"on", registered and polling; commands forgotten.
    void configure() {
        create();
        host.setReply("SD 'pkg'", "201 3");
        host.setReply("RN 201 1 3", "40,Mon 1");
        host.setReply("SD 'rtr'", "5");
        host.setReply("RN 201 0 7", "12,Camera 1");
        host.parent("instance=pkg");
        host.parent("sdiID=rtr");
        host.parent("offState=off");
        host.parent("onState=on");
        host.takeCommands();
    }

    void arm() {
        host.press("1", "Tarnel");
        host.takeCommands();
    }

    // Plays one notification written as "parent <text>", "press <panel> <control>",
    // "revertive <device> <index> <text>", "database <device> <db> <index> <text>" or "tick <id>",
    // and returns the commands it made the selector send.
    Commands play(const std::string& step) {
        std::istringstream in(step);
        std::string kind, panel, control, text;
        int device = 0, db = 0, index = 0;
        in >> kind;
        if (kind == "parent") {
            std::getline(in >> std::ws, text);
            EXPECT_EQ(host.parent(text), std::nullopt) << step;
        } else if (kind == "press") {
            in >> panel >> control;
            host.press(panel, control);
        } else if (kind == "revertive") {
            in >> device >> index;
            std::getline(in >> std::ws, text);
            host.revertive(device, index, text);
        } else if (kind == "database") {
            in >> device >> db >> index;
            std::getline(in >> std::ws, text);
            host.database(device, db, index, text);
        } else if (kind == "tick") {
            in >> index;
            host.tick(index);
        } else {
            ADD_FAILURE() << "unknown step " << step;
        }
        return host.takeCommands();
    }

    struct Step {
        std::string notification;
        Commands expected;
    };
    void playAll(const std::vector<Step>& steps) {
        for (const Step& s : steps)
            EXPECT_EQ(play(s.notification), s.expected) << s.notification;
    }

    // Destroys the selector and returns what it sent while going.
    Commands destroy() {
        host.takeCommands();
        host.destroy();
        return host.takeCommands();
    }

    zeph::host::Module module;
    zeph::host::RecordingHost host;
};
