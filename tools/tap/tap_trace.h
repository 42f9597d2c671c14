/* The field tap's trace file (tap_trace.c) and the state the tap (tap.c) shares with it. The
 * file's functions run under the tap's lock, as their callers hold it. */
#ifndef ZEPH_TAP_TRACE_H
#define ZEPH_TAP_TRACE_H

#include "tap_ring.h"
#include "tap_win32.h"
#include "trace_format.h"

/* ---- tap.c ----------------------------------------------------------------------------------- */
extern char g_component[520]; /* the component's path: this DLL's with .traced.dll */
extern char g_name[260];      /* this DLL's file name, as the host loaded it */
extern struct file_data g_component_file;

/* ---- tap_trace.c ----------------------------------------------------------------------------- */
extern HANDLE g_file;
extern int g_opened; /* the trace was tried (once per process) */
extern struct zt_writer g_trace;
extern struct tap_ring* g_ring; /* while the writer takes the records */
extern HANDLE g_direct;         /* where records go directly: the trace, or its copy (both) */
extern int g_batched;           /* ZEPH_TRACE_WRITE=batched */

/* Before the outermost call returns to the host: the notification's records to the writer, or to
 * the file. */
void tap_flush_locked(void);
/* Before the process may end: the ring emptied into the file, for ms at most. */
void tap_settle(DWORD ms);
void tap_stop_writer(void);
/* The header names the component by this DLL's name, with the component file's size and time. */
void tap_open_trace(void);

#endif
