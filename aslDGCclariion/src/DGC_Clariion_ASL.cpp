// Array support entry points: host interface, vendor identification and
// device claiming.
#include "zkDGCclariion.h"

#include "dbg_listener.h"
#include "zkbytes.h"
#include "zkscsi_codes.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {

const int _lib_version = 1;
int enclr_head = 0;
int ghostio_resid = 0;

// Identification pairs handed to the host; static, never changed.
static const char *Clariion_info[] = {
    "VID=DGC", "PID=CLARiiON", "ATYPE=A/P", "ANAME=EMC_CLARiiON", nullptr,
};

void vendor_info(const char ***info_out)
{
    char message[255];

    OpenDbgTempFile();
    snprintf(message, sizeof message, "Vendor Info\n\n");
    xDbgPrint(1, message);
    *info_out = Clariion_info;
}

// Storage-processor models the library refuses, ended by -1. Searched
// linearly, so the order carries no meaning.
static const int UnsupportedModels[] = {
    5200, 5400, 5600, 5603, 7305, 7310, 7317, 7340,
    7197, 7345, 7350, 7355, 7427, 7624, -1,
};

// Takes a signed model number; returns 0 when it is in UnsupportedModels,
// else 1.
int SupportedClariion(int model)
{
    for (const int *m = UnsupportedModels; *m != -1; ++m) {
        if (*m == model)
            return 0;
    }
    return 1;
}

}  // extern "C"

namespace {

constexpr int kMessageSize = 255;       // trace message, terminator included
constexpr int kVendorSize = 9;          // INQUIRY vendor field + terminator
constexpr int kRevisionSize = 5;        // INQUIRY revision field + terminator
constexpr int kSerialSize = 33;         // 16 bytes as hex + terminator
constexpr int kPortSerialSize = 128;
constexpr int kLunIdentifierLength = 16;

// Standard INQUIRY data handed over by the host.
constexpr int kInqVersionByte = 2;
constexpr int kInqVendorOffset = 8;
constexpr int kInqRevisionOffset = 32;
constexpr unsigned kAnsiVersionMask = 0x07;

// SP Report page, offsets into the whole MODE SENSE response (4-byte
// header, no block descriptors).
constexpr int kSpNumberOffset = 7;
constexpr int kSpModelOffset = 8;
constexpr int kSpReportMinLength = kSpModelOffset + 4;

// Unit Config page, same layout.
constexpr int kUnitLunOffset = 6;
constexpr int kUnitFlagsOffset = 8;
constexpr int kUnitOwnerOffset = 14;
constexpr int kUnitConfigMinLength = kUnitOwnerOffset + 1;
constexpr unsigned kUnitFlagCOwn = 0x40;
constexpr unsigned kUnitFlagAutoTrespass = 0x08;

// Device Identification page: the first identifier is the LUN serial; the
// two further numbers appear only in a trace line.
constexpr int kDevIdIdentifierOffset = 8;
constexpr int kDevIdMinLength = kDevIdIdentifierOffset + kLunIdentifierLength;
constexpr int kDevIdVluOffset = 28;
constexpr int kDevIdLuOffset = 36;

// Unit Serial Number page.
constexpr int kUnitSnLengthOffset = 3;
constexpr int kUnitSnPayloadOffset = 4;

// The trace of one claim. Messages for the library's own xDbgPrint are
// gathered up to the end of each line and handed over whole, so that no
// other thread's text lands inside one of this claim's lines; a host's own
// xDbgPrint receives each message as it is formatted.
struct ClaimTrace {
    int level = 0;
    size_t used = 0;
    char line[3 * kMessageSize];

    void flush()
    {
        if (used == 0)
            return;
        line[used] = '\0';
        used = 0;
        xDbgPrint(level, line);
    }
};

// Formats one trace message into the bounded message buffer and hands it
// on. A message that would be dropped unread is not formatted: that
// formatting was most of the work of an untraced claim.
ZK_PRINTF_LIKE(3, 4) void trace(ClaimTrace &t, int level, const char *format, ...)
{
    if (!zk_trace_listened())
        return;
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (zk_trace_printed_elsewhere()) {
        xDbgPrint(level, message);
        return;
    }
    size_t length = strlen(message);
    if (t.used + length >= sizeof t.line)
        t.flush();
    memcpy(t.line + t.used, message, length);
    t.used += length;
    t.level = level;
    if (length > 0 && message[length - 1] == '\n')
        t.flush();
}

// A 16-bit field that lies wholly inside the response, else 0: the two
// Device Identification numbers are shown only in a trace line, so a page
// too short for them does not fail the claim.
unsigned be16_or_zero(const unsigned char *response, int length, int offset)
{
    return offset + 2 <= length ? zk_get_be16(response + offset) : 0;
}

// A page response that is too short for a field the claim reads counts as
// unreadable: zeros in place of missing bytes would give the host made-up
// (and shared) identities. Both fetchers return the response, which the
// caller releases with free(), or null.

unsigned char *fetch_mode_page(const char *path, int page_code, int min_length)
{
    int length = 0;
    unsigned char *response = nullptr;
    if (do_mode_sense_raw(path, 1, 0, page_code, &length, &response) != 0)
        return nullptr;
    if (length < min_length) {
        free(response);
        return nullptr;
    }
    return response;
}

unsigned char *fetch_vpd_page(const char *path, int page_code, int min_length,
                              int *length)
{
    unsigned char *response = nullptr;
    if (do_inquiry(path, 1, page_code, O_RDONLY | O_NDELAY, length,
                   &response) != 0)
        return nullptr;
    if (*length < min_length) {
        free(response);
        return nullptr;
    }
    return response;
}

// Each reader below takes one page, releases its response and returns null,
// or the trace text of its failure.

struct SpReport {
    unsigned sp_number;
    int model;
};

const char *read_sp_report(const char *path, SpReport *out)
{
    unsigned char *response =
        fetch_mode_page(path, kModePageSpReport, kSpReportMinLength);
    if (response == nullptr)
        return "V10 claim_device: can't get SP Report Mode Page";
    out->sp_number = response[kSpNumberOffset];
    out->model = static_cast<int>(zk_get_be32(response + kSpModelOffset));
    free(response);
    return nullptr;
}

struct UnitConfig {
    unsigned lun;
    unsigned cown;
    unsigned auto_trespass;
    unsigned owner;
};

const char *read_unit_config(const char *path, UnitConfig *out)
{
    unsigned char *response =
        fetch_mode_page(path, kModePageUnitConfig, kUnitConfigMinLength);
    if (response == nullptr)
        return "V10 claim_device: can't get Unit Conf Mode Page";
    unsigned flags = response[kUnitFlagsOffset];
    out->lun = response[kUnitLunOffset];
    out->cown = (flags & kUnitFlagCOwn) ? 1 : 0;
    out->auto_trespass = (flags & kUnitFlagAutoTrespass) ? 1 : 0;
    out->owner = response[kUnitOwnerOffset];
    free(response);
    return nullptr;
}

// The Device Identification page: traces its two further numbers and turns
// the first identifier into the LUN serial.
const char *read_lun_serial(ClaimTrace &t, const char *path, char *lun_serial)
{
    int length = 0;
    unsigned char *response = fetch_vpd_page(path, kVpdDeviceIdentification,
                                             kDevIdMinLength, &length);
    if (response == nullptr)
        return "V10 claim_device: can't get Dev ID VPD Page";
    trace(t, 2, "%s: VLU: 0x%02x  LU: 0x%02x\n", path,
          be16_or_zero(response, length, kDevIdVluOffset),
          be16_or_zero(response, length, kDevIdLuOffset));
    int converted = bascii_copy(lun_serial, response + kDevIdIdentifierOffset,
                                kLunIdentifierLength, kSerialSize);
    free(response);
    return converted == 0
        ? nullptr : "V10 claim_device: lun_serial_no (aka WWN) invalid";
}

// The Unit Serial Number page: its payload becomes the cabinet serial.
const char *read_cab_serial(const char *path, char *cab_serial)
{
    int length = 0;
    unsigned char *response = fetch_vpd_page(path, kVpdUnitSerial,
                                             kUnitSnPayloadOffset, &length);
    if (response == nullptr)
        return "V10 claim_device: can't get Unit SN VPD Page";
    // A page length beyond the returned bytes (only a response capped at
    // 255 bytes has one) is a serial that cannot be taken in full.
    int page_length = response[kUnitSnLengthOffset];
    int converted = page_length <= length - kUnitSnPayloadOffset
        ? bascii_copy(cab_serial, response + kUnitSnPayloadOffset,
                      page_length, kSerialSize)
        : -1;
    free(response);
    return converted == 0 ? nullptr : "V10 claim_device: cab_serial_no invalid";
}

struct ClaimValues {
    char vendor[kVendorSize];
    char lun_serial[kSerialSize];
    char cab_serial[kSerialSize];
    char port_serial[kPortSerialSize];
    char revision[kRevisionSize];
    char scsi_version[2];
    char owner[2];
    SpReport sp;
    UnitConfig unit;
};

// Builds the six property pairs and the list. Releases the pairs on every
// path; stores the list through list_out only on success.
int hand_over_properties(ClaimTrace &t, const ClaimValues &v, char ***list_out)
{
    const struct {
        const char *name;
        const char *value;
    } properties[] = {
        {"CAB_SERIAL_NO", v.cab_serial}, {"LUN_SERIAL_NO", v.lun_serial},
        {"REVISION", v.revision},        {"SCSI_VERSION", v.scsi_version},
        {"LUN_OWNER", v.owner},          {"PORT_SERIAL_NO", v.port_serial},
    };
    constexpr int kPairs = sizeof properties / sizeof properties[0];
    char *pairs[kPairs] = {};

    for (int i = 0; i < kPairs; ++i) {
        if (nv_set_value(&pairs[i], properties[i].name,
                         properties[i].value) != 0) {
            for (int j = 0; j < i; ++j)
                nv_free(pairs[j]);
            trace(t, 2, "V10 claim_device: nv_set_value(%s) fails",
                  properties[i].name);
            return ZK_CLAIM_FAILED;
        }
    }

    trace(t, 2, "LunSn: %s  LunId: %3x\n", v.lun_serial, v.unit.lun);
    trace(t, 2, "cab: %s  port: %s  owner: %s  rev: %s  scsi: %s\n",
          v.cab_serial, v.port_serial, v.owner, v.revision, v.scsi_version);

    char **list = nullptr;
    int listed = nv_create_list(&list, pairs[0], pairs[1], pairs[2], pairs[3],
                                pairs[4], pairs[5], static_cast<char *>(nullptr));
    for (char *pair : pairs)
        nv_free(pair);
    if (listed < 0) {
        trace(t, 2, "V10 claim_device: nv_create_list() fails \n");
        return ZK_CLAIM_FAILED;
    }
    *list_out = list;
    trace(t, 2, "\n");
    return ZK_CLAIMED;
}

// Every step of a claim up to the result line. Each early return has
// released what it took.
int decide_claim(ClaimTrace &t, const char *path, bool path_terminated,
                 const unsigned char *inq, char ***list_out)
{
    ClaimValues v = {};

    strcpy_nb(reinterpret_cast<const char *>(inq + kInqVendorOffset),
              v.vendor, kVendorSize);
    if (strcmp(v.vendor, "DGC") != 0) {
        trace(t, 2, "not claiming: %s\n\n", path);
        return ZK_NOT_CLAIMED;
    }
    trace(t, 2, "DGC inquiry match : trying to claim: %s\n", path);

    // A path cut by the host could name another device node: send nothing.
    if (!path_terminated) {
        trace(t, 2, "V10 claim_device: device path not terminated");
        return ZK_CLAIM_FAILED;
    }

    if (const char *failure = read_sp_report(path, &v.sp)) {
        trace(t, 2, "%s", failure);
        return ZK_CLAIM_FAILED;
    }
    if (!SupportedClariion(v.sp.model)) {
        unsigned char model_bytes[4];
        zk_put_be32(model_bytes, static_cast<uint32_t>(v.sp.model));
        trace(t, 2, "V10 claim_device: unsupported Clariion: %d : "
                 "%02x %02x %02x %02x\n",
              v.sp.model, model_bytes[0], model_bytes[1], model_bytes[2],
              model_bytes[3]);
        return ZK_NOT_CLAIMED;
    }
    // Formatted in the line itself: the whole "%4d" text (up to eleven
    // characters), never a cut one.
    trace(t, 2, "MODEL: [%4d]\n", v.sp.model);

    if (const char *failure = read_unit_config(path, &v.unit)) {
        trace(t, 2, "%s", failure);
        return ZK_CLAIM_FAILED;
    }
    if (!v.unit.auto_trespass) {
        trace(t, 2, "%s Not Claimed: AutoTrespass not previously enabled for "
                 "Model %d\n",
              path, v.sp.model);
        return ZK_NOT_CLAIMED;
    }
    v.owner[0] = v.unit.owner != 0 ? 'Y' : 'N';
    trace(t, 2, "claimed %s: Lun:0x%02x  SP:%2x  DOwn:%2x  COwn:%2x  "
             "SpMdl:%4d  AT:%2x\n",
          path, v.unit.lun, v.sp.sp_number, v.unit.owner, v.unit.cown,
          v.sp.model, v.unit.auto_trespass);

    if (const char *failure = read_lun_serial(t, path, v.lun_serial)) {
        trace(t, 2, "%s", failure);
        return ZK_CLAIM_FAILED;
    }
    if (const char *failure = read_cab_serial(path, v.cab_serial)) {
        trace(t, 2, "%s", failure);
        return ZK_CLAIM_FAILED;
    }

    // cab_serial was cleared above, so the bytes strcpy_nb reads past the
    // text's end are zeros, never stale stack.
    strcpy_nb(v.cab_serial, v.port_serial, kSerialSize);
    size_t n = strlen(v.port_serial);
    if (n + 2 >= kPortSerialSize) {
        trace(t, 2, "V10 claim_device: port_serial_no too large");
        return ZK_CLAIM_FAILED;
    }
    v.port_serial[n] = static_cast<char>(('A' + v.sp.sp_number) & 0xFF);
    v.port_serial[n + 1] = '\0';
    trace(t, 2, "port SN: [%d] %s\n", static_cast<int>(n), v.port_serial);

    strcpy_nb(reinterpret_cast<const char *>(inq + kInqRevisionOffset),
              v.revision, kRevisionSize);
    v.scsi_version[0] =
        static_cast<char>('0' + (inq[kInqVersionByte] & kAnsiVersionMask));

    return hand_over_properties(t, v, list_out);
}

}  // namespace

extern "C" {

// Takes the host's record of one device and the address of its list
// pointer. Returns 0 and stores a new nv_list (the host releases it with
// nv_free), 1 when the device is not claimed, -1 when the claim failed;
// nothing is stored unless the result is 0. Every SCSI buffer is released
// and every descriptor closed before it returns.
int claim_device(const device_entry *entry, char ***list_out)
{
    // The host's field may lack a terminator: never read past its 128
    // bytes, and show at most 127 of them.
    bool path_terminated =
        memchr(entry->path, '\0', sizeof entry->path) != nullptr;
    char path[ZK_DEVICE_PATH_SIZE];
    size_t path_length = strnlen(entry->path, sizeof path - 1);
    memcpy(path, entry->path, path_length);
    path[path_length] = '\0';

    OpenDbgTempFile();
    ClaimTrace t;
    trace(t, 2, "\nclaim_device for %s\n", path);

    int result = decide_claim(t, path, path_terminated, entry->inquiry, list_out);

    trace(t, 1, "%s : retval %d  ", path, result);
    trace(t, 1, result == ZK_CLAIMED ? "(Claimed)\n" : "\n");
    t.flush();
    return result;
}

}  // extern "C"
