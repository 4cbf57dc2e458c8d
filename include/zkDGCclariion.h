/*
 * libzkDGCclariion: array support library for DGC CLARiiON active/passive
 * arrays ("EMC_CLARiiON"). Public interface for hosts (a volume manager's
 * device discovery layer) and for tools that call the helpers by name.
 *
 * Every function here is exported under its plain C name. Errors are
 * reported by results only; nothing aborts.
 */
#ifndef ZKDGCCLARIION_H
#define ZKDGCCLARIION_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZK_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#define ZK_NULL_TERMINATED __attribute__((sentinel))
#else
#define ZK_PRINTF_LIKE(fmt, args)
#define ZK_NULL_TERMINATED
#endif

/* ---- Host interface ---------------------------------------------------- */

/* Size of the device path field of a device_entry, terminator included. */
#define ZK_DEVICE_PATH_SIZE 128

/* The host's record for one device. The library reads only these fields. */
typedef struct device_entry {
    char path[ZK_DEVICE_PATH_SIZE];   /* NUL-terminated device node path */
    const unsigned char *inquiry;     /* standard INQUIRY data, >= 36 bytes */
} device_entry;

/* Claim results. */
#define ZK_CLAIMED        0   /* claimed; a property list was handed over */
#define ZK_NOT_CLAIMED    1   /* not this library's array, or a refused state */
#define ZK_CLAIM_FAILED (-1)  /* a SCSI command, identifier or the list failed */

/* Version of the support-library interface: 1. */
extern const int _lib_version;
/* Words kept for the host; the library never touches them. */
extern int enclr_head;
extern int ghostio_resid;
/* Descriptor of the open trace log, or -1 when none is open. */
extern int DbgFd;

/* Stores the address of the library's static, NULL-terminated array of
 * identification pairs ("VID=DGC", "PID=CLARiiON", "ATYPE=A/P",
 * "ANAME=EMC_CLARiiON") through info_out. Never fails. The host must neither
 * change nor release the array. */
void vendor_info(const char ***info_out);

/* Decides whether the device is a CLARiiON unit this library serves.
 * Returns ZK_CLAIMED (and stores a new nv_list, which the caller releases
 * with nv_free), ZK_NOT_CLAIMED or ZK_CLAIM_FAILED (nothing stored). */
int claim_device(const device_entry *entry, char ***list_out);

/* 1 when the storage-processor model is supported, 0 when it is refused. */
int SupportedClariion(int model);

/* ---- Trace log: "/tmp/.ZEVIRO00.log", written only when it exists -----
 *
 * Threads. A host may call every function of the library, the trace
 * functions included, from any number of threads and from signal handlers,
 * and may fork, exec, cancel threads and unload the library at any time
 * (no call of the library running). No call waits for another thread.
 * - The library keeps at most one descriptor on the log: write-only,
 *   appending, close-on-exec, and marked as its own (F_GETSIG gives
 *   SIGURG; a regular file never sends that signal). It writes, moves
 *   (dup3) or closes only a number that carries that mark: a number the
 *   host closed before a call, and then reused for any file (one with the
 *   log's freed inode number included) or for its own descriptor of the
 *   log, is forgotten and never touched, unless the host itself duplicated
 *   the library's descriptor there or set that signal on it.
 * - DbgFd keeps its number while the log stays the same file; a replaced
 *   log is put behind the same number (dup3), so a line written meanwhile
 *   by another thread goes to the old file or to the new one, whole. When
 *   the log is gone, or CloseDbgTempFile is called, DbgFd becomes -1 and
 *   the descriptor is closed as soon as no call of the library uses it:
 *   at once in a single thread; after a writer that is held up (a signal
 *   handler, a thread off the CPU) comes back, otherwise. Unloading the
 *   library closes it; the library's fork handler goes with it.
 * - A claim writes its trace in whole lines, one write each, so the lines
 *   of claims running at once do not cut into one another (the bytes of
 *   one claim are those it writes alone). A host's own xDbgPrint receives
 *   each message as it is formatted.
 * - A child of fork holds the library's log descriptor only when tracing
 *   was on, and can call the library at once; a fork that falls within
 *   the few instructions after another thread opened a replaced log (before
 *   it is recorded) hands that fresh descriptor on too. Device nodes the
 *   library opens are close-on-exec too.
 * - Cancellation: the trace functions are no cancellation points. A SCSI
 *   command acts on a pending cancel before it opens the device and holds
 *   cancellation off until its descriptor is closed and its buffers are
 *   released; a claim holds nothing else between its commands.
 * - While one call closes the descriptor, calls that start then trace
 *   nothing. A trace call whose text faults is left before it touches any
 *   state, so a host may recover with siglongjmp; a signal handler that
 *   leaves a trace call with siglongjmp while it writes keeps the one
 *   descriptor open from then on (reused, never more than one).
 * - The log is opened without blocking and only when it is a regular file.
 *   When /tmp is a sticky, world-writable folder, a symbolic link there is
 *   followed only when it belongs to the process's effective user or to
 *   the owner of /tmp, and a file with more than one name is written only
 *   when it belongs to the effective user.
 * The host must not close, dup2 onto or otherwise reuse the number in
 * DbgFd while a call into the library runs: trace text of that call may
 * then reach whatever the number names by then. DbgFd is for reading. */

/* Opens the trace log for appending (never creates it); sets DbgFd. */
void OpenDbgTempFile(void);
/* Sets DbgFd to -1 and closes the library's trace log descriptor, at once
 * or as soon as no other call of the library uses it. */
void CloseDbgTempFile(void);
/* Writes text (no terminator, nothing added) to the open trace log, when
 * DbgFd still names the library's own descriptor. */
void xDbgPrint(int level, const char *text);
/* Hook for dumping a buffer; produces no output. */
void xDbgDumpBuf(const char *title, const void *buffer, int length);

/* ---- SCSI commands: results are 0, an errno value, or 12 (ENOMEM) ------ */

/* INQUIRY (standard data, or VPD page when evpd is nonzero). The device is
 * opened with open_flags, close-on-exec added. On 0, *buffer_out is a malloc'd buffer
 * of *length_out bytes that the caller releases with free(). */
int do_inquiry(const char *path, int evpd, int page_code, int open_flags,
               int *length_out, unsigned char **buffer_out);

/* MODE SENSE(6): the whole response (header, block descriptors, pages). */
int do_mode_sense_raw(const char *path, int dbd, int page_control,
                      int page_code, int *length_out,
                      unsigned char **buffer_out);

/* MODE SENSE(6): only what follows the header and the block descriptors. */
int do_mode_sense(const char *path, int dbd, int page_control, int page_code,
                  int *length_out, unsigned char **buffer_out);

/* ---- Diagnostic printers (stdout) -------------------------------------- */

void dump_inquiry_data(const unsigned char *data, int length);
void decode_inquiry_data(const unsigned char *data, int length);
void dump_mode_sense_data(const unsigned char *data, int length);
void decode_mode_sense_data(const unsigned char *data, int length);

/* ---- Guarded blocks, pairs and lists ------------------------------------
 * Every block handed out is a guarded block released with nv_free. Results
 * are 0 (or a count) on success and -1 on failure; _out pointers are
 * written only on success. Variable argument lists end with NULL. */

void *nv_alloc(size_t size);
void nv_free(void *block);
int nv_set_value(char **pair_out, const char *name, const char *value);
int nv_set_mult_value(char **pair_out, const char *name, ...) ZK_NULL_TERMINATED;
int nv_append_value(char **pair_out, const char *pair, ...) ZK_NULL_TERMINATED;
int nv_get_name(const char *pair, char **name_out);
int nv_get_value(const char *pair, char ***values_out);
int nv_create_list(char ***list_out, ...) ZK_NULL_TERMINATED;
int nv_append_list(char ***list_out, char *const *list, ...) ZK_NULL_TERMINATED;
void nv_print(char *const *list);

/* ---- Text utilities and messages --------------------------------------- */

/* Identifier bytes as text when printable, else upper-case hex. 0 or -1. */
int bascii_copy(char *target, const unsigned char *source, int count,
                int target_size);
/* Copies up to the first white space, at most size - 1 bytes; returns the
 * position in source of the first byte not copied. */
const char *strcpy_nb(const char *source, char *target, int size);
/* Formats a message to stderr, or appends it to $ZK_DEBUG_FILE. */
void ddlmsg(int word1, int word2, const char *format, ...) ZK_PRINTF_LIKE(3, 4);

#ifdef __cplusplus
}
#endif

#endif /* ZKDGCCLARIION_H */
