// The one interface through which the panel host and a script component call each other.
//
// Both sides implement it. Slot 0 is the deleting destructor and slot 1 is callback(); on 32-bit
// Windows the host calls slot 1 with the member calling convention of the Microsoft C++ ABI, so the
// class must keep exactly these two virtual functions in this order.
//
// Everything happens on the host's one thread, and calls in either direction are synchronous: a
// component may call the host from inside a notification.
#ifndef ZEPH_CLIENT_CALLBACK_H
#define ZEPH_CLIENT_CALLBACK_H

// The type code passed with every call.
enum zeph_type {
    // component -> host: data is a NUL-terminated command text; returns a reply owned by the host
    // (released with ZEPH_RELEASE for the queries of zeph_commands.h only) or null.
    ZEPH_COMMAND = 0,
    // host -> component: data is a zeph_revertive_record; returns null.
    ZEPH_REVERTIVE = 1,
    // host -> component: data is a zeph_button_record; returns null.
    ZEPH_BUTTON = 2,
    // host -> component: data is the parent's NUL-terminated command text; returns an answer owned
    // by the component, which the host hands back with ZEPH_RELEASE, or null.
    ZEPH_PARENT = 3,
    // host -> component: the timer id travels in the pointer itself; returns null.
    ZEPH_TIMER = 4,
    // both ways: data is a text the receiver returned earlier; the receiver frees it.
    ZEPH_RELEASE = 5,
    // host -> component: data is a zeph_database_record; returns null.
    ZEPH_DATABASE = 6,
    // host -> component: a record the component may ignore; returns null.
    ZEPH_SPARE = 7
};

// The type codes are plain C too, for the bridge; the object is C++, seen from C below.
#if defined(__cplusplus)
class zeph_client_callback {
public:
    virtual ~zeph_client_callback() {}
    virtual char* callback(void* data, int type) = 0;
};

// The one function a component module exports, undecorated: the host calls it once per panel with
// its own callback object and the panel's base path, and keeps the result until it deletes it.
// Returns null when the component cannot be created.
typedef zeph_client_callback* (*zeph_factory_fn)(zeph_client_callback* host, const char* path);
#elif defined(_WIN32) && defined(__i386__)
// The same object as a 32-bit Windows C program sees it (the bridge, the tap): the Microsoft C++
// ABI's layout, a pointer to a table whose slot 0 is the deleting destructor (flags bit 0: free the
// memory) and slot 1 callback(), both __thiscall.
struct zeph_object;
typedef void*(__attribute__((thiscall)) * zeph_destroy_fn)(struct zeph_object* self,
                                                           unsigned flags);
typedef char*(__attribute__((thiscall)) * zeph_callback_fn)(struct zeph_object* self, void* data,
                                                            int type);
struct zeph_vtable {
    zeph_destroy_fn destroy;   // slot 0
    zeph_callback_fn callback; // slot 1
};
struct zeph_object {
    const struct zeph_vtable* vtbl;
};
typedef struct zeph_object*(__cdecl* zeph_object_factory_fn)(struct zeph_object* host,
                                                             const char* path);
#endif
#define ZEPH_FACTORY_NAME "load_zeph_client_script"

#endif
