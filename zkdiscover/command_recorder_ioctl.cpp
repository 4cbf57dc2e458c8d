// The program's own ioctl: the support library's SG_IO requests reach it
// first and are recorded for --capture on their way to the next definition
// (the C library's, or the device simulator's under --simulate). Linked
// into the program, not into zkdiscover_core, so that a test or benchmark
// that links the simulator itself keeps one ioctl.
#include "command_recorder.h"

#include <cstdarg>

extern "C" {

int ioctl(int fd, unsigned long request, ...) noexcept
{
    static const zkd::IoctlFn next = zkd::next_ioctl("ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return zkd::recorded_ioctl(next, fd, request, arg);
}

#if defined(__TIMESIZE) && __TIMESIZE == 32
// 32-bit programs built with 64-bit time_t call this name instead of ioctl.
int __ioctl_time64(int fd, unsigned long request, ...) noexcept
{
    static const zkd::IoctlFn next = zkd::next_ioctl("__ioctl_time64");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return zkd::recorded_ioctl(next, fd, request, arg);
}
#endif

}  // extern "C"
