/* The pipe protocol between the bench and the bridge: the small Windows program that loads a
 * component DLL under Wine and relays every call of the callback interface both ways.
 *
 * The bench writes to the bridge's standard input and reads its standard output, both binary.
 * Calls are synchronous and may nest, exactly as the callback interface allows: while one side
 * waits for the RETURN of its CALL, the other may send CALLs of its own, each answered before the
 * outer RETURN comes. The bench may also send notifications ahead (QUEUE), each served in turn
 * once the calls before it have returned. The bridge ends when its input ends.
 *
 * One bridge serves every component of a bench process: the DLL it was started with is DLL 0, and
 * LOAD adds others, each numbered. A component is addressed by the handle its creation returned,
 * whichever DLL made it.
 *
 * Every message is: u32 size of the rest, u32 kind, then the kind's fields. Integers are
 * little-endian. A text is a u32 length and that many bytes without a NUL; the length ZB_NO_TEXT
 * stands for a null pointer. Shared by the bench (C++) and the bridge (C, built by mingw). */
#ifndef ZEPH_BRIDGE_PROTOCOL_H
#define ZEPH_BRIDGE_PROTOCOL_H

#include <stdint.h>

#define ZB_MAGIC 0x4752425aU /* "ZBRG" */
#define ZB_VERSION 5u
#define ZB_NO_TEXT 0xffffffffU
/* Texts read from a component stop here when no NUL comes first, as the bench's own limit on an
 * answer does; the receiver then learns that the text was not terminated. */
#define ZB_TEXT_LIMIT 65536u
/* No message is larger: a peer that announces more is not speaking this protocol. */
#define ZB_MESSAGE_LIMIT (8u * 1024u * 1024u)

enum zb_kind {
    /* bridge -> bench, once, first: u32 magic, u32 version, u32 status, u32 error, text what. */
    ZB_HELLO = 1,
    /* bench -> bridge: u32 host id (0: a null host), text base path. RETURN value: the component
     * handle, 0 when the factory returned null. The host id names the bench's host object in
     * every CALL the component makes to it. */
    ZB_CREATE = 2,
    /* both ways: u64 target (component handle, or host id), i32 type code, data (below).
     * RETURN: what callback() returned. */
    ZB_CALL = 3,
    /* bench -> bridge: u64 component handle; the bridge deletes it through slot 0. RETURN. */
    ZB_DESTROY = 4,
    /* the answer to the CREATE, CALL, DESTROY or HEAP in progress: u64 value, u32 flags, text.
     * For a CALL the text is what callback() returned (ZB_NO_TEXT: null) and value the sender's
     * own address of it, which comes back as ZB_DATA_HANDED when the text is released. */
    ZB_RETURN = 5,
    /* bridge -> bench: a fault inside the bridge process. u32 exception code, u64 address,
     * u32 access (0 read, 1 write, 8 execute, ZB_NO_ACCESS), u64 address accessed, text where
     * (module+offset). The bridge exits after sending it, unless the fault was in a component's
     * CREATE, CALL or DESTROY: that call is then abandoned, its RETURN flagged ZB_FAULTED follows,
     * and the component is dead (its calls reach nothing; its DESTROY only forgets it), while
     * every other component goes on. */
    ZB_FAULT = 6,
    /* bridge -> bench: text the component wrote to the debugger output. No answer. */
    ZB_DEBUG = 7,
    /* bench -> bridge: RETURN value is the bytes in use on every heap of the bridge process;
     * flags ZB_MEASURED when it could be measured. */
    ZB_HEAP = 8,
    /* bench -> bridge: text path of another DLL (a Windows path). RETURN: flags the HELLO status
     * of loading it; value its DLL number when ZB_READY, else the load's error code; text what
     * HELLO's would say. The same path twice is the same DLL number. */
    ZB_LOAD = 9,
    /* bench -> bridge: u32 DLL number, then CREATE's fields: a component of that DLL. CREATE is
     * this with DLL 0, which keeps the road of one DLL as it was. */
    ZB_CREATE_IN = 10,
    /* bench -> bridge, on the pipe, once after HELLO: text path of the shared region (a file of
     * the bench's file system, bridge_ring.h), u32 its size, u32 the one-way set (below). RETURN
     * flags ZB_SHARED when the bridge mapped it and wrote ZB_REGION_ANSWER into its header; every
     * later message then goes through the region's rings, the pipes carrying only WAKEs, and
     * FAULTs with the RETURN of a call they abandon. Otherwise (text: why) both go on on the
     * pipes. Either way, the one-way set holds from then on. */
    ZB_SHARE = 11,
    /* both ways, on the pipe: no fields. Look at the ring: the sender wrote to it (or made room
     * in it) while the receiver said it was asleep. */
    ZB_WAKE = 12,
    /* bridge -> bench: CALL's fields, for a host call in the one-way set. No RETURN: the
     * component is given null. */
    ZB_POST = 13,
    /* bench -> bridge, through the ring: u32 the one-way set from now on (SHARE's, changed). No
     * RETURN. RC and RP join the set while nothing of the bench answers them inline. */
    ZB_ONE_WAY = 14,
    /* bench -> bridge, through the ring: CALL's fields, a notification sent ahead of the RETURNs
     * of those before it. The bridge serves the QUEUEs in the order sent, each as a CALL from the
     * bench once nothing is in progress (one that comes while a call of the bridge's waits for
     * its RETURN waits its turn), and answers each with a RETURN, after the POSTs, CALLs and
     * FAULT of its own. */
    ZB_QUEUE = 15
};

/* HELLO status. */
enum zb_status {
    ZB_READY = 0,       /* the DLL is loaded and exports the factory */
    ZB_LOAD_FAILED = 1, /* LoadLibrary failed; error is its error code */
    ZB_NO_FACTORY = 2,  /* the DLL exports no load_zeph_client_script */
    ZB_BAD_USAGE = 3    /* the bridge was started without a DLL */
};

/* RETURN flags. */
#define ZB_TERMINATED 1u /* the text ended with a NUL within ZB_TEXT_LIMIT */
#define ZB_MEASURED 2u   /* HEAP: the value is a measurement */
#define ZB_FAULTED 4u    /* the call faulted (a FAULT came first) and was abandoned */
#define ZB_SHARED 8u     /* SHARE: the region is mapped; the rings carry the rest */

/* The one-way set of SHARE: bit i for the command zeph_commands[i] of zeph_commands.h, and
 * ZB_ONE_WAY_RELEASE for the release of a host's reply. The bench names those of its hosts'
 * calls that answer null and never call a component back before they return. */
#define ZB_ONE_WAY_RELEASE 0x80000000u

#define ZB_NO_ACCESS 0xffffffffU

/* The data of a CALL: u32 kind, then its fields. The receiver rebuilds what the pointer pointed
 * at in its own memory and passes that pointer on. */
enum zb_data {
    ZB_DATA_NULL = 0,  /* a null pointer */
    ZB_DATA_TEXT = 1,  /* text: a NUL-terminated text (commands, parent texts, anything else) */
    ZB_DATA_VALUE = 2, /* i64: the pointer is the value itself (timer ids) */
    /* 4 x i32 words, text from byte 16: a revertive or database record */
    ZB_DATA_RECORD = 3,
    /* i32 word 0, i32 word 1, text panel, text control, u32 has event, and when it has: text
     * command, text value, i32 sub count, u32 has value, 32 x text sub: a button record and the
     * parsed event it points at */
    ZB_DATA_BUTTON = 4,
    /* u64 token: a text the receiver itself handed out (its RETURN value), coming back */
    ZB_DATA_HANDED = 5,
    /* nothing: a pointer the sender cannot map to anything the receiver handed out; the
     * receiver passes a pointer of its own that it never handed out */
    ZB_DATA_FOREIGN = 6
};

#define ZB_EVENT_SUBS 32

#endif
