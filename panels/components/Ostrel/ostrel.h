// The Ostrel monitor selector: armed by its button, it routes the source its parent names to its
// one router destination and shows the routed source's name on its tally.
#ifndef OSTREL_H
#define OSTREL_H

#include "zeph_script_helper.h"

class Ostrel : public zeph_script_helper {
public:
    // Called by the factory; shows the panel and puts the indicator into the off state.
    Ostrel(zeph_client_callback* host, const char* path);
    // Unregisters the destination and stops the timers still running; the base then sends "AS".
    ~Ostrel() override;

protected:
    void buttonCallback(buttonNotify* button) override;
    void revertiveCallback(revertiveNotify* revertive) override;
    zeph_string parentCallback(parentNotify* command) override;
    void timerCallback(int id) override;
    void databaseCallback(revertiveNotify* change) override;

    // Ties the selector to its current router destination, or to none when the configuration is
    // incomplete. Run after the router or the destination may have changed.
    void updateRegistration();

private:
    void take(const zeph_string& value);
    void clear(const zeph_string& value);
    zeph_string answerReturn(const zeph_string& key) const;
    void setInstance(const zeph_string& value);
    void setRouter(const zeph_string& value);
    void showState(const zeph_string& sheet);

    zeph_string instance;
    zeph_string sdiID;
    zeph_string offState;
    zeph_string onState;
    int sourceID;
    int sdiSource;
    int packageDevice;
    int packageOffset;
    int destIndex;
    int sdiDevice;
    int registeredDevice;
    bool armed;
    bool registered;
    // Set by the first matching revertive of the current registration, which ends its poll.
    bool revertiveSeen;
    // Timer 2 is running after a take.
    bool clearPending;
};

#endif
