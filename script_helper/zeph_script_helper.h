// The base every script component derives from: it stores the link to the host, turns each
// notification into a record and calls one virtual handler, and offers one operation per host
// command.
//
// Ownership across the boundary:
//  - A reply the host returns for SD, XI, RN or TG belongs to the host; the operation copies what
//    it needs and hands the reply back with ZEPH_RELEASE before it returns. Other replies are never
//    released (PS is only tested for null).
//  - An answer returned for ZEPH_PARENT is a heap buffer of this component; the host hands it back
//    with ZEPH_RELEASE. Only answers still outstanding are freed: any other pointer is ignored, so
//    a foreign or repeated release cannot damage the heap. Answers never handed back are freed when
//    the component goes.
//
// Nothing is reported to the host as an error and nothing throws. Without a host every operation
// sends nothing and returns its neutral result.
#ifndef ZEPH_SCRIPT_HELPER_H
#define ZEPH_SCRIPT_HELPER_H

#include "zeph_client_callback.h"
#include "zeph_notify.h"
#include "zeph_string.h"

class zeph_script_helper : public zeph_client_callback {
public:
    zeph_script_helper(zeph_client_callback* host, const char* path);
    // Runs after the derived destructor: sends "AS" last, then frees outstanding answers.
    ~zeph_script_helper() override;

    // The host's single way in (called on the host's thread; data as the type code says).
    char* callback(void* data, int type) override;

    // Components live on the component's own heap; a failed allocation makes new return null.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* p) noexcept;

    zeph_script_helper(const zeph_script_helper&) = delete;
    zeph_script_helper& operator=(const zeph_script_helper&) = delete;

protected:
    // ---- Handlers: one per notification kind -------------------------------------------------
    // A press on a control (type 2): panelId(), controlId(), and the press's event text split as a
    // parent command is, eventCommand() and eventValue(). With alarmHandling on, the presses the
    // alarm actions take ("ActionAll" with event command "alarm", and "AckAll") never arrive here.
    virtual void buttonCallback(buttonNotify* button) = 0;
    // A registered destination's new state (type 1): device(), index() (the destination) and
    // text() (the routed source's name).
    virtual void revertiveCallback(revertiveNotify* revertive) = 0;
    // A text from the parent panel (type 3), "command.sub1.sub2=value", parsed: command (before the
    // first '.' or '='), sub[0..subCount-1] (the dotted fields, at most 32), value (everything
    // after the first '=', dots included) and hasValue (an '=' was seen); absent parts are empty
    // texts. The returned text is the answer to the parent; an empty text reaches the host as null.
    //
    // Two queries every component answers, whatever their value or sub-fields:
    //  - "_commands": the texts a parent drives it with (settings and queries may stay unlisted),
    //    one a line (line feed between, none after), each as the parent writes it with a bracketed
    //    word for what varies: "sourceID=[value]"; a dotted command names its sub-fields the same
    //    way: "salvo.[n]=[value]", "salvo.fire".
    //  - "_events": the texts it raises with hostNotify, one a line, "*" for a varying value:
    //    "clear=*". Neither lists the two queries themselves; nothing to list answers empty.
    virtual zeph_string parentCallback(parentNotify* command) = 0;
    // The spare notification (type 7); the record is the host's, unread by the base.
    virtual void extraCallback(extraNotify* /*extra*/) {}
    // A tick of a timer this component started with timerStart (type 4).
    virtual void timerCallback(int id) = 0;
    // A changed database entry (type 6): device(), database(), entry() and text().
    virtual void databaseCallback(revertiveNotify* /*change*/) {}

    // ---- Host commands: each sends one text with ZEPH_COMMAND --------------------------------
    // Text fields go out between apostrophes unescaped; numbers in decimal. Without a host each
    // sends nothing and gives the neutral result named below; "no reply" is a null from the host.
    // A query (TG, SD, XI, RN) copies the reply and hands it back with ZEPH_RELEASE before it
    // returns; the others ignore what the host returns.

    // HN 'text': raises text to the parent panel (list it under "_events").
    void hostNotify(const zeph_string& text);
    // TP 'property=value' 'panel' 'control': sets one property of one control.
    void textPut(const zeph_string& property, const zeph_string& value, const zeph_string& panel,
                 const zeph_string& control);
    // TG 'panel' 'control' 'property' (property last, unlike TP): value gets what follows '=' in
    // the reply "property=...", or the whole reply for property "all". A reply naming another
    // property (compared case-sensitively) empties value and writes one diagnostic line
    // (debugPrint). No host or no reply: value emptied, no diagnostic.
    void textGet(const zeph_string& property, const zeph_string& panel, const zeph_string& control,
                 zeph_string& value);
    // PS 'panel' 'path/file', then " 'parameters'" when parameters is not empty: shows a panel
    // file. The base path and "/" stand before file unless the path is empty ("/" is added even
    // when the path ends with one). True when the host returns non-null (the reply is not read,
    // nor handed back); no host: true; no reply: false.
    bool panelShow(const zeph_string& panel, const zeph_string& file,
                   const zeph_string& parameters);
    // SD 'name': resolves a facility name. The reply "DEVICE OFFSET" (split at blanks, apostrophes
    // grouping) is read as atoi would (but saturating) into *device and *offset; either may be
    // null. Both are set to 0 first; true for any reply, even one that holds no number (device 0),
    // so test the device too. No host or no reply: false, outputs 0.
    bool getDev(zeph_string name, int* device, int* offset);
    // XI 'panel' 'prefix': the ids of the panel's controls whose id starts with prefix, from the
    // comma-separated reply (empty items kept). No host or no reply: an empty list.
    zeph_stringlist controlList(const zeph_string& panel, const zeph_string& prefix);
    // RN device database index: entry index of a device database (database 0 of a router holds
    // its source names). name gets the reply; no host or no reply: name unchanged, so empty it
    // first if that matters.
    void routerName(int device, int database, int index, zeph_string& name);
    // RC device source destination ',extra' flag: routes source to destination on router device.
    // extra stands after the comma inside the apostrophes (empty: ','), flag goes out as 1 or 0;
    // the base passes both untouched and gives them no meaning: that is the host's.
    void routerCrosspoint(int device, int source, int destination, const zeph_string& extra,
                          bool flag);
    // The numeric commands are never longer than 31 characters: one whose numbers would not fit is
    // not sent at all, since a cut text would address something else.
    //
    // RR device first last, with " 'ADD'" when add: revertives of destinations first..last of
    // device arrive as revertiveCallback. With ADD the range joins those held on the device;
    // without, the bench's facility lets it replace them.
    void routerRegister(int device, int first, int last, bool add);
    // RP device first last: asks for the current state of destinations first..last, which
    // arrives as revertives (possibly before the call returns).
    void routerPoll(int device, int first, int last);
    // RU device: ends every registration on device.
    void routerUnregister(int device);
    // ET id period: timer id ticks (timerCallback) every period, in the host's unit (the bench's:
    // ms), until stopped. Period 0 sends "ET id", the same text as timerStop.
    void timerStart(int id, int period);
    // ET id: stops timer id.
    void timerStop(int id);
    // AS: the component is going. The base's destructor sends it, last; components need not.
    void hostDetach();
    // Fills %1..%9 in one pass (inserted text is never searched again) and writes the line, with
    // no line end added, to the debugger output: OutputDebugStringA on Windows, stderr elsewhere.
    // Needs no host.
    void debugPrint(const zeph_string& format, const zeph_string& v1, const zeph_string& v2,
                    const zeph_string& v3, const zeph_string& v4, const zeph_string& v5,
                    const zeph_string& v6, const zeph_string& v7, const zeph_string& v8,
                    const zeph_string& v9);

    // ---- Alarm actions: "ActionAll" / "AckAll" on every "alm_" control of panel 1 -------------
    // XI '1' 'alm_', then for each control TP 'alarm=action'. "ack" and "4" acknowledge: value
    // becomes 4 unless it reads back (TG) 0, 2, 3, 4 or 5. Any other one-character action also
    // sets value to its number (0 for a non-digit); a longer one sets alarm only.
    void alarmAction(const zeph_string& action);

    zeph_client_callback* host;
    zeph_string path;
    bool alarmHandling;

private:
    char* send(const char* command);
    void release(char* reply);
    void sendNumeric(const char* mnemonic, const int* numbers, int count, const char* suffix);
    bool dispatchAlarm(const buttonNotify& button);
    char* keepAnswer(const zeph_string& answer);
    bool releaseAnswer(void* answer);

    char** m_answers;
    int m_answerCount;
    int m_answerCapacity;
};

// The module's one export for a component class: ZEPH_COMPONENT(MyPanel); in one source file.
// The class takes (host, path) in its constructor; its operator new (the base's) does not throw,
// so a failed allocation reaches the host as null.
#if defined(_WIN32)
#define ZEPH_COMPONENT_EXPORT extern "C" __declspec(dllexport)
#else
#define ZEPH_COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#define ZEPH_COMPONENT(Class)                                                                      \
    ZEPH_COMPONENT_EXPORT zeph_client_callback* load_zeph_client_script(                           \
        zeph_client_callback* host, const char* path) {                                            \
        return new Class(host, path);                                                              \
    }

#endif
