/*
 * zksim: a SCSI device simulator that stands in for device nodes at the C
 * library boundary. Linked into a program (or preloaded with LD_PRELOAD) it
 * defines open/open64/__open_2/__open64_2/openat, ioctl and close: paths of
 * simulated units open a private descriptor, SG_IO on it is answered from
 * the unit model exactly as the Linux sg driver would answer, and every
 * other path and descriptor goes to the real C library.
 *
 * The unit model (answers to CDBs) is transport-independent, so the SG_IO
 * interposer and the TCMU handler serve the very same unit.
 *
 * Description format (plain text, one statement per line, '#' starts a
 * comment, blank lines ignored; numbers are decimal or 0x-hex; BYTES is
 * either a double-quoted text with \" \\ and \xHH escapes, or hex:HHHH...
 * with optional blanks between pairs):
 *
 *   unit PATH                 starts a unit reached through PATH; the keys
 *                             below apply to the latest unit
 *     vendor TEXT             INQUIRY bytes 8-15, blank padded ("DGC")
 *     product TEXT            bytes 16-31 ("RAID 5")
 *     revision TEXT           bytes 32-35 ("0219")
 *     version N               byte 2 (4)
 *     device_type N           peripheral device type (0, disk)
 *     tpgs N                  INQUIRY byte 5 bits 5-4 (3 in failover mode 4, else 0)
 *     blocks N                capacity in blocks (2097152)
 *     block_size N            block length (512)
 *     cab_serial BYTES        VPD 0x80 payload (page length = its length)
 *     lun_id BYTES            VPD 0x83 first designator, 16 bytes
 *     vlu N                   VPD 0x83 bytes 28-29
 *     lu N                    VPD 0x83 bytes 36-37
 *     sp N                    page 0x26 SP number (response byte 7)
 *     model N                 page 0x26 model (response bytes 8-11)
 *     lun N                   page 0x2B LUN (response byte 6)
 *     unit_flags N            page 0x2B byte 8 (0x08 auto-trespass, 0x40)
 *     auto_trespass on|off    sets/clears bit 0x08 of unit_flags
 *     owner N                 page 0x2B owner byte (response byte 14); the
 *                             first path of a LUN (same cab_serial and
 *                             lun_id) with a nonzero owner makes its SP the
 *                             LUN's owner
 *     default_sp A|B          the LUN's default SP (VPD 0xC0)
 *     failover_mode N         VPD 0xC0 failover mode (1)
 *     port N                  VPD 0xC0 port number (0)
 *     bound on|off            VPD 0xC0 LUN state "not bound" when off
 *     in_progress on|off      VPD 0xC0 "operation in progress" at load
 *     implicit_trespass N     failover mode 4: reads and writes through the
 *                             SP not owning the LUN, less those through the
 *                             owner, that move it there (64; 0 never)
 *     inquiry_length N        standard INQUIRY length, 36 to 255 (96)
 *     inquiry BYTES           raw standard INQUIRY response (replaces the
 *                             modelled one)
 *     vpd PAGE BYTES          raw response for VPD page PAGE
 *     mode PAGE BYTES         raw MODE SENSE(6) response (header included)
 *                             for PAGE
 *     latency_us N            delay of every command
 *     kernel HANDLER STATE [preferred] | kernel detached | kernel none
 *                             the kernel's view of the path (sysfs dh_state,
 *                             access_state, preferred_path); none by default
 *     fault open ERRNO        open() fails with ERRNO (name or number)
 *     fault command N KIND    the Nth command sent to the unit (1-based,
 *                             counted from load or reset; '*' = every one)
 *                             fails. KIND is one of:
 *                               errno ERRNO   ioctl returns -1 with ERRNO
 *                               check [KEY [ASC [ASCQ]]]
 *                                             CHECK CONDITION, ILLEGAL REQUEST
 *                                             (05/24/00) unless given
 *                               host [N]      host_status DID_ERROR (or N)
 *                               driver [N]    driver_status DRIVER_ERROR (or N)
 *                               short M       only M bytes transferred
 *   array SERIAL key=value...  compact form: one array, expanded into units
 *                             keys: model=N luns=N paths_per_sp=N
 *                             latency_us=N prefix=PATHPREFIX
 *                             default_sp=A|B failover_mode=N
 *                             kernel=HANDLER kernel_active=owner|A|B
 *
 * sim/README.md has the defaults, the array expansion and the answers.
 *
 * Environment: ZKSIM_CONFIG names a description file that is loaded on
 * first use (this is how a preloaded simulator is configured).
 *
 * All functions are thread-safe.
 */
#ifndef ZKSIM_H
#define ZKSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Configuration ----------------------------------------------------- */

/* Replace the whole configuration by the description in text. Returns 0, or
 * -1 with "line N: reason" in err (err may be null). On error the previous
 * configuration is kept. */
int zksim_load_text(const char *text, char *err, size_t err_size);
/* As zksim_load_text, from a file. */
int zksim_load_file(const char *path, char *err, size_t err_size);
/* Removes every unit, fault and record. */
void zksim_reset(void);

/* Number of simulated paths, and the path of unit i (0-based, in the order
 * of the description; null when out of range). */
size_t zksim_unit_count(void);
const char *zksim_unit_path(size_t index);

/* ---- Records ----------------------------------------------------------- */

struct zksim_open_record {
    char path[256];
    int flags;
};

struct zksim_command_record {
    char path[256];
    unsigned char cdb[16];
    unsigned cdb_len;
    unsigned dxfer_len;
    int dxfer_direction;
};

/* Opens of simulated paths (successful or failed), in order. */
size_t zksim_open_count(void);
int zksim_open_at(size_t index, struct zksim_open_record *out);
/* SG_IO commands received on simulated descriptors, in order. */
size_t zksim_command_count(void);
int zksim_command_at(size_t index, struct zksim_command_record *out);
/* Forget the records (units and faults stay). */
void zksim_clear_records(void);
/* Simulated descriptors currently open (opens minus closes). */
int zksim_open_descriptors(void);
/* Turn recording off for long runs (it is on after load/reset). */
void zksim_set_recording(int on);
/* Each record list keeps at most limit entries (1,048,576 by default);
 * further records are dropped and counted. */
void zksim_set_record_limit(size_t limit);
/* Records dropped since the last load, reset or clear. */
size_t zksim_records_dropped(void);

/* ---- Unit model (transport-independent) -------------------------------- */

struct zksim_unit;

/* The unit reached through path, or null. The pointer stays valid until the
 * next zksim_load_text, zksim_load_file or zksim_reset. */
const struct zksim_unit *zksim_find_unit(const char *path);

/* SCSI status values returned by zksim_unit_respond and zksim_unit_execute. */
#define ZKSIM_STATUS_GOOD 0x00
#define ZKSIM_STATUS_CHECK_CONDITION 0x02

/* Answers one CDB the way the unit would: writes at most data_cap bytes of
 * the response to data (*data_len = bytes written, honouring the CDB's
 * allocation length) and, for CHECK CONDITION, fixed-format sense data
 * (at most sense_cap bytes; *sense_len). Covers the library's commands and
 * what a disk driver sends when it probes a unit: TEST UNIT READY, REQUEST
 * SENSE, READ CAPACITY(10/16), READ(10/16) of zeros, MODE SENSE(6/10) of the
 * caching and all-pages requests, REPORT TARGET PORT GROUPS. Anything else
 * gets CHECK CONDITION / ILLEGAL REQUEST (a null unit: LOGICAL UNIT NOT
 * SUPPORTED). Faults are not applied here. Allocates nothing. */
int zksim_unit_respond(const struct zksim_unit *unit,
                       const unsigned char *cdb, size_t cdb_len,
                       unsigned char *data, size_t data_cap, size_t *data_len,
                       unsigned char *sense, size_t sense_cap,
                       size_t *sense_len);

/* As zksim_unit_respond, with the data-out the initiator sent (data_out_len
 * bytes; null when none): MODE SELECT's parameter list. */
int zksim_unit_execute(const struct zksim_unit *unit,
                       const unsigned char *cdb, size_t cdb_len,
                       const unsigned char *data_out, size_t data_out_len,
                       unsigned char *data, size_t data_cap, size_t *data_len,
                       unsigned char *sense, size_t sense_cap,
                       size_t *sense_len);

/* ---- The array's side (shared by every path of a LUN) ------------------ */

/* The SP (0 A, 1 B) owning the LUN reached through unit; -1 when no SP
 * owns it or unit is null. */
int zksim_unit_owner(const struct zksim_unit *unit);
/* Moves the LUN to SP sp, as the array's own management would: every path
 * of the LUN sees the new owner. 0, or -1 for a null unit or a bad SP. */
int zksim_unit_trespass(const struct zksim_unit *unit, int sp);
/* Sets or clears the LUN's "operation in progress" (VPD 0xC0 byte 48;
 * trespass requests are refused while it is set). 0, or -1 for null. */
int zksim_unit_set_in_progress(const struct zksim_unit *unit, int on);

/* ---- The host's side: the kernel's view of a path ---------------------- */

/* What the kernel's sysfs would show for the path (the description's
 * `kernel` key): dh_state ("emc", "detached"), access_state (""  when it
 * could not be read, as with a detached handler) and preferred_path. */
struct zksim_kernel_view {
    char dh_state[32];
    char access_state[32];
    int preferred;
};
/* 0 and the view, or -1 when the unit has none (no `kernel` key) or is
 * null. */
int zksim_unit_kernel_view(const struct zksim_unit *unit, struct zksim_kernel_view *out);

#ifdef __cplusplus
}
#endif

#endif /* ZKSIM_H */
