// Vigil, the alarm panel: the base's alarm actions on every "alm_" control, driven by the panel's
// "ActionAll" and "AckAll" buttons or by the parent; a press on one alarm tells the parent which.
#include "zeph_script_helper.h"

#include <string.h>

namespace {
const char PANEL[] = "1";
const char PANEL_FILE[] = "AlarmPanel.zeph_ui";
const char ALARM_PREFIX[] = "alm_";
} // namespace

class Vigil : public zeph_script_helper {
public:
    Vigil(zeph_client_callback* host, const char* path) : zeph_script_helper(host, path) {
        panelShow(PANEL, PANEL_FILE, zeph_string());
        // "ActionAll" (event command "alarm") and "AckAll" are consumed by the base from here on.
        alarmHandling = true;
    }

protected:
    // Reached by every press the alarm actions did not take, "ActionAll" with another event
    // command included. The panel id is not examined, as the alarm actions do not examine it.
    void buttonCallback(buttonNotify* button) override {
        const zeph_string control = button->controlId();
        if (strncmp(control, ALARM_PREFIX, sizeof ALARM_PREFIX - 1) == 0)
            hostNotify(zeph_string("alarm=") + control);
    }

    zeph_string parentCallback(parentNotify* command) override {
        const zeph_string name = command->getCommand();
        if (name == "action") {
            alarmAction(command->getValue());
        } else if (name == "ack") {
            alarmAction("4");
        } else if (name == "_events") {
            return "alarm=*";
        } else if (name == "_commands") {
            zeph_stringlist commands;
            commands << zeph_string("action=[value]") << zeph_string("ack=[value]");
            return commands.toString('\n');
        }
        return zeph_string();
    }

    // No router and no timer of its own: revertives and ticks are none of its business.
    void revertiveCallback(revertiveNotify* /*revertive*/) override {}
    void timerCallback(int /*id*/) override {}
};

ZEPH_COMPONENT(Vigil);
