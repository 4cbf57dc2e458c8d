// A stand-in device for test programs that need one that allocates
// nothing: the program's own open/ioctl/close answer one pretend path from
// fixed arrays, count opens, closes and commands, and can fail a chosen
// command or leave errno changed by a successful close. Every other path
// and descriptor goes to the C library. Include from one source per
// program.
#ifndef ZK_TESTS_SCSI_STANDIN_DEVICE_H
#define ZK_TESTS_SCSI_STANDIN_DEVICE_H

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const char kDevicePath[] = "/dev/zk-standin/c0t0d0s2";
constexpr int kDeviceFd = 5151;

// Answers: a VPD 0x80 page, standard data, and a MODE SENSE(6) response
// with one block descriptor and a page. Fixed arrays: nothing allocates.
const unsigned char kVpdSerial[] = {0x00, 0x80, 0x00, 0x0A, 'A', 'P', 'M', '0',
                                    '0', '0', '1', '2', '3', '4'};
const unsigned char kStandard[36] = {0x00, 0x00, 0x04, 0x12, 0x1F, 0, 0, 0x32,
                                     'D', 'G', 'C', ' ', ' ', ' ', ' ', ' '};
const unsigned char kModeData[] = {0x13, 0x00, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 2, 0,
                                   0x26, 0x06, 0, 1, 0, 0, 0, 0};

struct Device {
    int opens = 0;
    int closes = 0;
    int commands = 0;
    bool open_fails = false;  // open() returns -1 with failing_errno
    int failing_command = 0;  // this command (1-based) fails, 0 none
    int failing_errno = 0;    // with this errno
    int close_errno = 0;      // a successful close still leaves this errno
};
Device g_device;

using OpenFn = int (*)(const char *, int, ...);
using IoctlFn = int (*)(int, unsigned long, void *);
using CloseFn = int (*)(int);

// The C library's own functions, for every other path and descriptor.
// Looked up at start-up, before any test arms the allocator (dlsym may
// allocate), and again on first use should a call come even earlier.
template <typename Fn>
Fn real(Fn &slot, const char *name)
{
    if (slot == nullptr)
        slot = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    return slot;
}
OpenFn g_real_open;
IoctlFn g_real_ioctl;
CloseFn g_real_close;
const bool g_resolved = real(g_real_open, "open") && real(g_real_ioctl, "ioctl") &&
                        real(g_real_close, "close");

void answer(sg_io_hdr_t *hdr)
{
    const unsigned char *cdb = hdr->cmdp;
    const unsigned char *data = nullptr;
    size_t size = 0;
    if (cdb[0] == 0x12 && (cdb[1] & 1)) {
        data = kVpdSerial;
        size = sizeof kVpdSerial;
    } else if (cdb[0] == 0x12) {
        data = kStandard;
        size = sizeof kStandard;
    } else if (cdb[0] == 0x1A) {
        data = kModeData;
        size = sizeof kModeData;
    }
    size_t n = size;
    if (n > cdb[4])
        n = cdb[4];
    if (n > hdr->dxfer_len)
        n = hdr->dxfer_len;
    memcpy(hdr->dxferp, data, n);
    hdr->resid = static_cast<int>(hdr->dxfer_len - n);
    hdr->status = 0;
    hdr->host_status = 0;
    hdr->driver_status = 0;
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    if (strcmp(path, kDevicePath) == 0) {
        ++g_device.opens;
        if (g_device.open_fails) {
            errno = g_device.failing_errno;
            return -1;
        }
        return kDeviceFd;
    }
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    return real(g_real_open, "open")(path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) __THROW
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (fd != kDeviceFd)
        return real(g_real_ioctl, "ioctl")(fd, request, argument);
    ++g_device.commands;
    if (g_device.commands == g_device.failing_command) {
        errno = g_device.failing_errno;
        return -1;
    }
    if (request != SG_IO) {
        errno = ENOTTY;
        return -1;
    }
    answer(static_cast<sg_io_hdr_t *>(argument));
    return 0;
}

int close(int fd)
{
    if (fd == kDeviceFd) {
        ++g_device.closes;
        if (g_device.close_errno != 0)
            errno = g_device.close_errno;  // allowed of a call that succeeds
        return 0;
    }
    return real(g_real_close, "close")(fd);
}

}  // extern "C"

#endif  // ZK_TESTS_SCSI_STANDIN_DEVICE_H
