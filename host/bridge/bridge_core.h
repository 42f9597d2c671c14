/* The bridge's relay between the bench's pipe and a loaded component, apart from how the component
 * is loaded, called and watched. The Windows bridge (bridge_win32.c) supplies those through
 * zb_platform; the protocol test builds the same relay natively around a dlopen'ed module.
 *
 * Ownership is mirrored on this side: every reply the bench's host hands out is copied into a
 * buffer of this process, and a release of that buffer goes back to the bench as the host's own
 * pointer, so the host sees exactly the releases the component makes, foreign and repeated ones
 * included. Answers the component returns travel the other way under its own addresses. */
#ifndef ZEPH_BRIDGE_CORE_H
#define ZEPH_BRIDGE_CORE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct zb_platform {
    /* Reads up to size bytes of the bench's input: the count, 0 at its end, negative on error. */
    int (*read)(void* buffer, unsigned size);
    /* Writes all of it to the bench; 0 on success. */
    int (*write)(const void* data, unsigned size);
    /* The host object for one component; its callback() must return zb_host_call(id, ...). The
     * bridge frees it after the component's destruction. */
    void* (*make_host)(uint32_t id);
    void (*free_host)(void* host);
    /* Loads another DLL (a Windows path): its HELLO status, with *number the DLL's when
     * ZB_READY (the same path again is the same DLL), else *error the load's code and what says
     * why. The DLL the bridge was started with is number 0. */
    uint32_t (*load)(const char* path, uint32_t* number, uint32_t* error, char* what,
                     unsigned size);
    /* The factory of DLL number dll (null: no such DLL), slot 1 and slot 0 (deleting
     * destructor). */
    void* (*create)(uint32_t dll, void* host, const char* path);
    char* (*callback)(void* component, void* data, int type);
    void (*destroy)(void* component);
    /* Bytes in use on the process's heaps; returns 0 when it cannot tell. */
    int (*heap_in_use)(uint64_t* bytes);
    /* Ends the process at once (the bench has gone, or a fault was reported). */
    void (*quit)(int code);
    /* Runs fn(arg) so that a fault the platform can recover from returns here once reported:
     * 0 when fn returned, nonzero when it was abandoned. Null: every fault ends the bridge. */
    int (*guarded)(void (*fn)(void* arg), void* arg);
    /* Maps size bytes of the file at path (the bench's own path) shared with the bench: the
     * view, or null with why in why. Null: the bridge stays on the pipes. */
    void* (*map_shared)(const char* path, uint32_t size, char* why, unsigned why_size);
};

/* The first message: whether the DLL is loaded and has its factory. */
int zb_hello(const struct zb_platform* platform, uint32_t status, uint32_t error, const char* what);
/* Serves the bench until its input ends; returns the exit code for the process. */
int zb_serve(const struct zb_platform* platform);

/* What every host object's callback() does: relays the call to the bench's host. */
char* zb_host_call(uint32_t host, void* data, int type);

/* For a fault handler: reports the fault with what the bridge was doing; the caller then exits.
 * Uses no heap. */
void zb_fault(uint32_t code, uint64_t address, uint32_t access, uint64_t target, const char* where);
/* For a debugger-output catcher: relays one text to the bench. */
void zb_debug(const char* text);

#ifdef __cplusplus
}
#endif

#endif
