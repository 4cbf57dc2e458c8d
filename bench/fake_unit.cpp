#include "fake_unit.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>

namespace zkbench {

// Standard data: DGC, RAID 5, revision 0219, SCSI version 4.
const unsigned char kUnitStandardInquiry[36] = {
    0x00, 0x00, 0x04, 0x12, 0x1F, 0x00, 0x00, 0x32,
    'D', 'G', 'C', ' ', ' ', ' ', ' ', ' ',
    'R', 'A', 'I', 'D', ' ', '5', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
    '0', '2', '1', '9'};

namespace {

constexpr int kUnitFd = 7301;  // never handed out by the kernel here

// Unit Serial Number page: cabinet serial F1234567.
const unsigned char kVpdUnitSerial[] = {0x00, 0x80, 0x00, 0x08,
                                        'F', '1', '2', '3', '4', '5', '6', '7'};
// Device Identification page: a binary NAA identifier at bytes 8-23, VLU at
// 28-29 and LU at 36-37.
const unsigned char kVpdDeviceId[] = {
    0x00, 0x83, 0x00, 0x24, 0x01, 0x03, 0x00, 0x10,
    0x60, 0x06, 0x01, 0x60, 0x1A, 0x2B, 0x3C, 0x4D,
    0x5E, 0x6F, 0x70, 0x81, 0x92, 0xA3, 0xB4, 0xC5,
    0x02, 0x00, 0x00, 0x0C, 0x00, 0x05, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00};
// MODE SENSE(6), no block descriptors. SP Report: SP B, model 4700.
const unsigned char kModeSpReport[] = {0x0D, 0x00, 0x00, 0x00, 0x26, 0x08, 0x00,
                                       0x01, 0x00, 0x00, 0x12, 0x5C, 0x00, 0x00};
// Unit Config: LUN 3, COwn and auto-trespass, owner byte 1.
const unsigned char kModeUnitConfig[] = {0x13, 0x00, 0x00, 0x00, 0x2B, 0x0E, 0x03,
                                         0x00, 0x48, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

constexpr unsigned char kInquiry = 0x12;
constexpr unsigned char kModeSense6 = 0x1A;
constexpr unsigned char kCheckCondition = 0x02;

unsigned long g_commands;

// The C library's functions, looked up on first use (a call may come from
// another object's start-up, before this program's own).
template <typename Fn>
Fn real(Fn &slot, const char *name)
{
    if (slot == nullptr)
        slot = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    return slot;
}
using OpenFn = int (*)(const char *, int, ...);
using IoctlFn = int (*)(int, unsigned long, void *);
using CloseFn = int (*)(int);
OpenFn g_open;
IoctlFn g_ioctl;
CloseFn g_close;

template <size_t N>
void respond(sg_io_hdr_t *hdr, const unsigned char (&data)[N])
{
    size_t n = N;
    if (n > hdr->cmdp[4])
        n = hdr->cmdp[4];
    if (n > hdr->dxfer_len)
        n = hdr->dxfer_len;
    memcpy(hdr->dxferp, data, n);
    hdr->resid = static_cast<int>(hdr->dxfer_len - n);
}

void answer(sg_io_hdr_t *hdr)
{
    const unsigned char *cdb = hdr->cmdp;
    hdr->status = 0;
    hdr->host_status = 0;
    hdr->driver_status = 0;
    if (cdb[0] == kInquiry && !(cdb[1] & 1))
        respond(hdr, kUnitStandardInquiry);
    else if (cdb[0] == kInquiry && cdb[2] == 0x80)
        respond(hdr, kVpdUnitSerial);
    else if (cdb[0] == kInquiry && cdb[2] == 0x83)
        respond(hdr, kVpdDeviceId);
    else if (cdb[0] == kModeSense6 && (cdb[2] & 0x3F) == 0x26)
        respond(hdr, kModeSpReport);
    else if (cdb[0] == kModeSense6 && (cdb[2] & 0x3F) == 0x2B)
        respond(hdr, kModeUnitConfig);
    else
        hdr->status = kCheckCondition;
}

}  // namespace

unsigned long fake_unit_commands() { return g_commands; }

}  // namespace zkbench

using namespace zkbench;

extern "C" {

int open(const char *path, int flags, ...)
{
    if (strcmp(path, kUnitPath) == 0)
        return kUnitFd;
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    return real(g_open, "open")(path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) __THROW
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (fd != kUnitFd)
        return real(g_ioctl, "ioctl")(fd, request, argument);
    if (request != SG_IO) {
        errno = ENOTTY;
        return -1;
    }
    ++g_commands;
    answer(static_cast<sg_io_hdr_t *>(argument));
    return 0;
}

int close(int fd)
{
    return fd == kUnitFd ? 0 : real(g_close, "close")(fd);
}

}  // extern "C"
