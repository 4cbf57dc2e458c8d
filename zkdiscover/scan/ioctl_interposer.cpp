// zkdiscover's own ioctl, in its dynamic symbol table: the support
// library's requests pass through it, so --capture can record them. Only
// the program defines it; other programs built on zkdiscover_core keep
// theirs (the simulator's, in the benchmarks).
#include "deadline.h"

#include <dlfcn.h>

#include <cstdarg>

namespace {

zkd::IoctlFn next_ioctl(const char *name)
{
    return reinterpret_cast<zkd::IoctlFn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...) noexcept
{
    static const zkd::IoctlFn next = next_ioctl("ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return zkd::deadline_ioctl(next, fd, request, arg);
}

#if defined(__TIMESIZE) && __TIMESIZE == 32
// 32-bit programs built with 64-bit time_t call this name instead of ioctl.
int __ioctl_time64(int fd, unsigned long request, ...) noexcept
{
    static const zkd::IoctlFn next = next_ioctl("__ioctl_time64");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return zkd::deadline_ioctl(next, fd, request, arg);
}
#endif

}  // extern "C"
