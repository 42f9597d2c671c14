// The base every script component derives from: it stores the link to the host, turns each
// notification into a record and calls one virtual handler, and offers one operation per host
// command.
//
// Ownership across the boundary:
//  - A reply the host returns for SD, XI, RN or TG belongs to the host; the operation copies what
//  it
//    needs and hands the reply back with ZEPH_RELEASE before it returns. Other replies are never
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
    virtual void buttonCallback(buttonNotify* button) = 0;
    virtual void revertiveCallback(revertiveNotify* revertive) = 0;
    // The returned text is the answer to the parent; an empty text reaches the host as null.
    virtual zeph_string parentCallback(parentNotify* command) = 0;
    virtual void extraCallback(extraNotify* /*extra*/) {}
    virtual void timerCallback(int id) = 0;
    virtual void databaseCallback(revertiveNotify* /*change*/) {}

    // ---- Host commands: each sends one text with ZEPH_COMMAND --------------------------------
    void hostNotify(const zeph_string& text); // HN
    void textPut(const zeph_string& property, const zeph_string& value, const zeph_string& panel,
                 const zeph_string& control); // TP
    void textGet(const zeph_string& property, const zeph_string& panel, const zeph_string& control,
                 zeph_string& value); // TG
    bool panelShow(const zeph_string& panel, const zeph_string& file,
                   const zeph_string& parameters);                                    // PS
    bool getDev(zeph_string name, int* device, int* offset);                          // SD
    zeph_stringlist controlList(const zeph_string& panel, const zeph_string& prefix); // XI
    void routerName(int device, int database, int index, zeph_string& name);          // RN
    void routerCrosspoint(int device, int source, int destination, const zeph_string& extra,
                          bool flag); // RC
    // The numeric commands are never longer than 31 characters: one whose numbers would not fit is
    // not sent at all, since a cut text would address something else.
    void routerRegister(int device, int first, int last, bool add); // RR
    void routerPoll(int device, int first, int last);               // RP
    void routerUnregister(int device);                              // RU
    void timerStart(int id, int period);                            // ET id period
    void timerStop(int id);                                         // ET id
    void hostDetach();                                              // AS
    // Fills %1..%9 in one pass (inserted text is never searched again) and writes the line to the
    // debugger output: OutputDebugStringA on Windows, stderr elsewhere.
    void debugPrint(const zeph_string& format, const zeph_string& v1, const zeph_string& v2,
                    const zeph_string& v3, const zeph_string& v4, const zeph_string& v5,
                    const zeph_string& v6, const zeph_string& v7, const zeph_string& v8,
                    const zeph_string& v9);

    // ---- Alarm actions: "ActionAll" / "AckAll" on every "alm_" control of panel 1 -------------
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
