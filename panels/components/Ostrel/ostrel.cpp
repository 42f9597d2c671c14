// The Ostrel selector's rules: configuration from the parent, arming, the take, tally and timers.
#include "ostrel.h"

namespace {

enum {
    POLL_TIMER = 1,
    POLL_PERIOD = 10000,
    TAKE_TIMER = 2,
    TAKE_PERIOD = 250,
    MAX_DEVICE = 999,
    SOURCE_DATABASE = 0,     // package device: package source -> router source
    DEST_DATABASE = 1,       // package device: package destination -> router destination
    SOURCE_NAME_DATABASE = 0 // router: the names of its sources
};

const char PANEL[] = "1";
const char PANEL_FILE[] = "MyMonitor.zeph_ui";
const char BUTTON[] = "Tarnel";
const char INDICATOR[] = "StateIndicate";
const char TALLY[] = "UMD";

bool isDevice(int n) {
    return n >= 1 && n <= MAX_DEVICE;
}

// Database entries read "<number>,<name>"; a text without a leading number gives a value below 1.
// toInt stops at the comma, so the entry needs no splitting.
int leadingNumber(const zeph_string& entry) {
    return entry.toInt();
}

} // namespace

Ostrel::Ostrel(zeph_client_callback* host, const char* path)
    : zeph_script_helper(host, path), sourceID(0), sdiSource(0), packageDevice(0), packageOffset(0),
      destIndex(0), sdiDevice(0), registeredDevice(0), armed(false), registered(false),
      revertiveSeen(false), clearPending(false) {
    panelShow(PANEL, PANEL_FILE, zeph_string());
    showState(offState);
}

Ostrel::~Ostrel() {
    if (registered)
        routerUnregister(registeredDevice);
    // Also sent by a selector that never polled: stopping an idle timer is harmless to the host.
    if (!revertiveSeen)
        timerStop(POLL_TIMER);
    if (clearPending)
        timerStop(TAKE_TIMER);
}

void Ostrel::updateRegistration() {
    // The poll belongs to the registration: it runs from registering until the first revertive.
    const bool polling = registered && !revertiveSeen;
    if (registered) {
        routerUnregister(registeredDevice);
        registered = false;
        registeredDevice = 0;
    }
    if (!isDevice(packageDevice) || packageOffset < 1 || sdiDevice < 1 || destIndex < 1) {
        if (polling)
            timerStop(POLL_TIMER);
        return;
    }
    // Cleared before registering: a host may deliver the destination's state inside the RR or RP
    // call, and that revertive already ends this registration's poll, so none is started.
    revertiveSeen = false;
    routerRegister(sdiDevice, destIndex, destIndex, false);
    registeredDevice = sdiDevice;
    registered = true;
    routerPoll(sdiDevice, destIndex, destIndex);
    if (!revertiveSeen)
        timerStart(POLL_TIMER, POLL_PERIOD);
}

zeph_string Ostrel::parentCallback(parentNotify* command) {
    const zeph_string name = command->getCommand();
    const zeph_string value = command->getValue();
    if (name == "sourceID") {
        take(value);
    } else if (name == "clear") {
        clear(value);
    } else if (name == "return") {
        return answerReturn(value);
    } else if (name == "instance") {
        setInstance(value);
    } else if (name == "sdiID") {
        setRouter(value);
    } else if (name == "offState") {
        offState = value;
        if (!armed)
            showState(offState);
    } else if (name == "onState") {
        onState = value;
        if (armed)
            showState(onState);
    } else if (name == "_events") {
        zeph_stringlist events;
        events << zeph_string("clear=*") << zeph_string("setindex=*");
        return events.toString('\n');
    } else if (name == "_commands") {
        zeph_stringlist commands;
        commands << zeph_string("sourceID=[value]") << zeph_string("clear=[value]");
        return commands.toString('\n');
    }
    return zeph_string();
}

void Ostrel::take(const zeph_string& value) {
    if (!armed)
        return;
    sourceID = value.toInt();
    if (sourceID >= 1) {
        // Emptied first: without a reply routerName leaves the text as it was.
        zeph_string entry;
        routerName(packageDevice, SOURCE_DATABASE, sourceID, entry);
        sdiSource = leadingNumber(entry);
        if (sdiSource >= 1)
            routerCrosspoint(sdiDevice, sdiSource, destIndex, zeph_string(), false);
    }
    // The parent is told to reset its selection after the delay, whether or not a route was made.
    timerStart(TAKE_TIMER, TAKE_PERIOD);
    clearPending = true;
}

void Ostrel::clear(const zeph_string& value) {
    if (!(value == "1") || !armed)
        return;
    showState(offState);
    armed = false;
}

zeph_string Ostrel::answerReturn(const zeph_string& key) const {
    if (key == "all") {
        zeph_stringlist all;
        all << zeph_string("sdiID=%1").arg(sdiID) << zeph_string("offState=%1").arg(offState)
            << zeph_string("onState=%1").arg(onState);
        return all.toString('\n');
    }
    const zeph_string* setting = nullptr;
    if (key == "myInstance")
        setting = &instance;
    else if (key == "offState")
        setting = &offState;
    else if (key == "onState")
        setting = &onState;
    if (!setting)
        return zeph_string();
    return zeph_string("%1=%2").arg(key).arg(*setting);
}

void Ostrel::setInstance(const zeph_string& value) {
    if (!(value != instance))
        return;
    // Stored before the look-up, so an unresolvable name is not looked up again until it changes.
    instance = value;
    int device = 0;
    int offset = 0;
    getDev(instance, &device, &offset);
    if (!isDevice(device))
        return;
    packageDevice = device;
    packageOffset = offset;
    if (packageOffset >= 1) {
        zeph_string entry;
        routerName(packageDevice, DEST_DATABASE, packageOffset, entry);
        destIndex = leadingNumber(entry);
    }
    updateRegistration();
}

void Ostrel::setRouter(const zeph_string& value) {
    if (!(value != sdiID))
        return;
    sdiID = value;
    int device = 0;
    getDev(sdiID, &device, nullptr);
    if (!isDevice(device))
        return;
    sdiDevice = device;
    updateRegistration();
}

void Ostrel::showState(const zeph_string& sheet) {
    textPut("statesheet", sheet, PANEL, INDICATOR);
}

void Ostrel::buttonCallback(buttonNotify* button) {
    if (!(button->panelId() == 1) || !(button->controlId() == BUTTON))
        return;
    if (!armed) {
        armed = true;
        showState(onState);
    }
    // Every press asks the parent to clear the other selectors, armed before or not.
    hostNotify("clear=1");
}

void Ostrel::revertiveCallback(revertiveNotify* revertive) {
    if (revertive->device() != sdiDevice || revertive->index() != destIndex)
        return;
    textPut("text", revertive->text(), PANEL, TALLY);
    if (!revertiveSeen) {
        revertiveSeen = true;
        timerStop(POLL_TIMER);
    }
}

void Ostrel::databaseCallback(revertiveNotify* change) {
    if (change->device() != sdiDevice || change->database() != SOURCE_NAME_DATABASE ||
        change->entry() != sdiSource)
        return;
    textPut("text", change->text(), PANEL, TALLY);
}

void Ostrel::timerCallback(int id) {
    switch (id) {
    case POLL_TIMER:
        routerPoll(sdiDevice, destIndex, destIndex);
        break;
    case TAKE_TIMER:
        hostNotify("setindex=-1");
        timerStop(TAKE_TIMER);
        clearPending = false;
        break;
    default:
        // Nothing of ours runs under any other id: make sure it stops ticking.
        timerStop(id);
        break;
    }
}

ZEPH_COMPONENT(Ostrel);
