// The ready-made "ActionAll" / "AckAll" handling for components that turn alarmHandling on.
#include "zeph_script_helper.h"

namespace {
const int ACKNOWLEDGE = 4;
const int NO_CODE = -1;

int actionCode(const zeph_string& action) {
    if (action == "ack")
        return ACKNOWLEDGE;
    if (action.length() == 1)
        return action.toInt();
    return NO_CODE;
}

// An acknowledged control keeps its value when it reads back one of these.
bool keepsValueOnAck(int readBack) {
    return readBack == 0 || (readBack >= 2 && readBack <= 5);
}
} // namespace

bool zeph_script_helper::dispatchAlarm(const buttonNotify& button) {
    if (button.controlId() == "ActionAll" && button.eventCommand() == "alarm") {
        alarmAction(button.eventValue());
        return true;
    }
    if (button.controlId() == "AckAll") {
        alarmAction("4");
        return true;
    }
    return false;
}

void zeph_script_helper::alarmAction(const zeph_string& action) {
    const int code = actionCode(action);
    const zeph_string panel("1");
    const zeph_stringlist controls = controlList(panel, "alm_");
    for (zeph_stringlistIterator it = controls.begin(); it != controls.end(); ++it) {
        const zeph_string control = *it;
        textPut("alarm", action, panel, control);
        if (code == ACKNOWLEDGE) {
            zeph_string value;
            textGet("value", panel, control, value);
            if (!keepsValueOnAck(value.toInt()))
                textPut("value", "4", panel, control);
        } else if (code != NO_CODE) {
            textPut("value", zeph_string(code, 0, 0, 10), panel, control);
        }
    }
}
