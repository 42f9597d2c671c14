// A minimal component for testing the base: it records what reaches each handler and lets a test
// run any of the base's host operations from inside a notification, as a real component would.
#pragma once

#include "zeph_script_helper.h"

#include <functional>
#include <string>
#include <vector>

class ProbeComponent : public zeph_script_helper {
public:
    ProbeComponent(zeph_client_callback* host, const char* path) : zeph_script_helper(host, path) {}

    // What the handlers saw, in order, as readable lines ("button 1 Tarnel alarm reset", ...).
    std::vector<std::string> seen;
    // The answer parentCallback returns; onParent, when set, runs first and may change it.
    std::string answer;
    std::function<void(ProbeComponent&, parentNotify*)> onParent;

    void setAlarmHandling(bool on) { alarmHandling = on; }

    using zeph_script_helper::alarmAction;
    using zeph_script_helper::controlList;
    using zeph_script_helper::debugPrint;
    using zeph_script_helper::getDev;
    using zeph_script_helper::hostDetach;
    using zeph_script_helper::hostNotify;
    using zeph_script_helper::panelShow;
    using zeph_script_helper::routerCrosspoint;
    using zeph_script_helper::routerName;
    using zeph_script_helper::routerPoll;
    using zeph_script_helper::routerRegister;
    using zeph_script_helper::routerUnregister;
    using zeph_script_helper::textGet;
    using zeph_script_helper::textPut;
    using zeph_script_helper::timerStart;
    using zeph_script_helper::timerStop;

protected:
    void buttonCallback(buttonNotify* b) override;
    void revertiveCallback(revertiveNotify* r) override;
    zeph_string parentCallback(parentNotify* p) override;
    void extraCallback(extraNotify* e) override;
    void timerCallback(int id) override;
    void databaseCallback(revertiveNotify* d) override;
};

// Factory with the exported signature, for RecordingHost::create.
zeph_client_callback* createProbe(zeph_client_callback* host, const char* path);
