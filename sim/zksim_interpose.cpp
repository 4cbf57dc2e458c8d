// The interposer: open/open64/__open_2/__open64_2/openat(64)/__openat(64)_2,
// ioctl and close. Simulated paths get a private descriptor on /dev/null and
// SG_IO on it is answered from the unit model the way the Linux sg driver
// answers; everything else goes to the next definition (the C library).

// Our definitions must carry the plain names: no large-file or 64-bit-time
// renaming, no fortified inline wrappers.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif

#include "zksim_internal.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>

extern "C" {
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
}

namespace zksim {
namespace {

constexpr std::uint8_t kHostStatusOk = 0x00;
constexpr std::uint8_t kDriverStatusSense = 0x08;  // DRIVER_SENSE
constexpr std::size_t kSenseBufferSize = 96;        // SCSI_SENSE_BUFFERSIZE
constexpr std::uint8_t kFixedSenseCurrent = 0x70;
// The kernel's sg.h has it; the C library's copy stops at TO_FROM_DEV.
constexpr int kDxferUnknown = -5;

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using OpenAt2Fn = int (*)(int, const char *, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZKSIM_THREAD_SANITIZER 1
#endif
#endif

template <typename Fn>
Fn next(const char *name, Fn fallback = nullptr) {
#ifdef ZKSIM_THREAD_SANITIZER
    // ThreadSanitizer's runtime sits in the program beside these
    // definitions, so RTLD_NEXT would pass it by. Its interceptor passes the
    // call on to the C library and sees every descriptor opened and closed,
    // which is what lets it report a write through a descriptor that
    // another thread closed.
    char interceptor[64];
    snprintf(interceptor, sizeof interceptor, "__interceptor_%s", name);
    if (void *sym = dlsym(RTLD_DEFAULT, interceptor)) return reinterpret_cast<Fn>(sym);
#endif
    void *sym = dlsym(RTLD_NEXT, name);
    return sym ? reinterpret_cast<Fn>(sym) : fallback;
}

struct RealFunctions {
    OpenFn open = next<OpenFn>("open");
    OpenFn open64 = next<OpenFn>("open64", open);
    Open2Fn open_2 = next<Open2Fn>("__open_2");
    Open2Fn open64_2 = next<Open2Fn>("__open64_2");
    OpenAtFn openat = next<OpenAtFn>("openat");
    OpenAtFn openat64 = next<OpenAtFn>("openat64", openat);
    OpenAt2Fn openat_2 = next<OpenAt2Fn>("__openat_2");
    OpenAt2Fn openat64_2 = next<OpenAt2Fn>("__openat64_2");
    IoctlFn ioctl = next<IoctlFn>("ioctl");
    IoctlFn ioctl_time64 = next<IoctlFn>("__ioctl_time64", ioctl);
    CloseFn close = next<CloseFn>("close");
};

const RealFunctions &real() {
    static const RealFunctions *functions = new RealFunctions;
    return *functions;
}

struct Descriptor {
    UnitPtr unit;
    // Opened through an sg node (/dev/sgN): the sg driver's errno values
    // apply; otherwise the block layer's.
    bool sg_node = false;
};

// Slots indexed by descriptor number. They only grow, so once a program
// has reached its highest descriptor, opening and closing allocate nothing.
struct DescriptorTable {
    std::mutex mutex;
    std::vector<Descriptor> slots;
    std::atomic<int> count{0};
};

// Never destroyed: descriptors may still be closed while the program exits.
DescriptorTable &descriptors() {
    static DescriptorTable *table = new DescriptorTable;
    return *table;
}

// Made while the simulator is loaded, before the program starts threads.
// The preloaded simulator is built without the sanitizers, so a race
// checker in the program could not see a hand-over made later, on a
// worker's first open.
[[maybe_unused]] DescriptorTable &g_table_at_load = descriptors();

bool lookup(int fd, Descriptor &out) {
    DescriptorTable &t = descriptors();
    if (fd < 0 || t.count.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::mutex> lock(t.mutex);
    if (static_cast<std::size_t>(fd) >= t.slots.size() || !t.slots[fd].unit) return false;
    out = t.slots[fd];
    return true;
}

// Throws only when the table must grow and cannot.
void track(int fd, Descriptor d) {
    DescriptorTable &t = descriptors();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::size_t index = static_cast<std::size_t>(fd);
    if (index >= t.slots.size()) t.slots.resize(std::max<std::size_t>({index + 1, 2 * t.slots.size(), std::size_t{64}}));
    t.slots[index] = std::move(d);
    t.count.fetch_add(1, std::memory_order_release);
}

void untrack(int fd) {
    DescriptorTable &t = descriptors();
    if (fd < 0 || t.count.load(std::memory_order_acquire) == 0) return;
    std::lock_guard<std::mutex> lock(t.mutex);
    if (static_cast<std::size_t>(fd) < t.slots.size() && t.slots[fd].unit) {
        t.slots[fd] = Descriptor{};
        t.count.fetch_sub(1, std::memory_order_release);
    }
}

bool is_sg_node(const char *path) {
    const char *base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    return std::strncmp(base, "sg", 2) == 0;
}

bool needs_mode(int flags) {
    return (flags & O_CREAT) != 0
#ifdef O_TMPFILE
           || (flags & O_TMPFILE) == O_TMPFILE
#endif
        ;
}

// Opens path when it is simulated: returns true and sets result (a
// descriptor, or -1 with errno). Returns false for every other path.
bool open_simulated(const char *path, int flags, int &result) {
    if (!path || !have_units()) return false;
    UnitPtr unit = find_unit(path);
    if (!unit) return false;
    record_open(unit, flags);
    if (unit->def.open_errno) {
        errno = unit->def.open_errno;
        result = -1;
        return true;
    }
    int fd = real().open("/dev/null", O_RDONLY | (flags & O_CLOEXEC));
    if (fd < 0) {
        result = -1;
        return true;
    }
    try {
        track(fd, Descriptor{std::move(unit), is_sg_node(path)});
    } catch (...) {
        real().close(fd);
        errno = ENOMEM;
        result = -1;
        return true;
    }
    result = fd;
    return true;
}

bool simulated_at(int dirfd, const char *path) {
    return path && (path[0] == '/' || dirfd == AT_FDCWD);
}

// A device's time, not a cancellation point: a real SG_IO is none either.
void sleep_latency(const UnitDef &u) {
    if (!u.latency_us) return;
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    std::this_thread::sleep_for(std::chrono::microseconds(u.latency_us));
    pthread_setcancelstate(cancel_state, nullptr);
}

// A command that is never answered waits as the kernel's drivers wait: on
// an sg node until a signal is caught (-1, EINTR), on a block node through
// any signal; either way until the request's own time-out, if it has one,
// ends it with host_status DID_TIME_OUT. Nothing shared is touched while
// waiting, so a waiting thread may outlive the simulator's state.
int hang(const Descriptor &d, sg_io_hdr_t *hdr) {
    constexpr std::uint8_t kDidTimeOut = 0x03;
    bool timed = hdr->timeout != 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(hdr->timeout);
    for (;;) {
        struct timespec wait = {1, 0};
        if (timed) {
            auto left = until - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) break;
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        }
        if (ppoll(nullptr, 0, &wait, nullptr) == -1 && errno == EINTR && d.sg_node) {
            errno = EINTR;
            return -1;
        }
    }
    hdr->status = 0;
    hdr->masked_status = 0;
    hdr->host_status = kDidTimeOut;
    hdr->driver_status = 0;
    hdr->sb_len_wr = 0;
    hdr->resid = static_cast<int>(hdr->dxfer_len);
    hdr->info = SG_INFO_CHECK;
    hdr->duration = hdr->timeout;
    return 0;
}

// Fixed-format sense for an injected CHECK CONDITION; returns its length.
std::size_t fixed_sense(unsigned char *s, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    constexpr std::size_t kLength = 18;
    std::memset(s, 0, kLength);
    s[0] = kFixedSenseCurrent;
    s[2] = key;
    s[7] = kLength - 8;
    s[12] = asc;
    s[13] = ascq;
    return kLength;
}

bool transfers_from_device(int direction) {
    return direction == SG_DXFER_FROM_DEV || direction == SG_DXFER_TO_FROM_DEV ||
           direction == kDxferUnknown;
}

// Answers one SG_IO request. Returns the ioctl result.
int sg_io(const Descriptor &d, sg_io_hdr_t *hdr) {
    auto start = std::chrono::steady_clock::now();
    if (!hdr) {
        errno = EFAULT;
        return -1;
    }
    if (hdr->interface_id != 'S') {
        errno = d.sg_node ? ENOSYS : EINVAL;
        return -1;
    }
    if (!hdr->cmdp || hdr->cmd_len < 6 || hdr->cmd_len > 16) {
        errno = EMSGSIZE;
        return -1;
    }
    int direction = hdr->dxfer_direction;
    if (direction > SG_DXFER_NONE || direction < kDxferUnknown) {
        errno = EINVAL;
        return -1;
    }
    bool has_data = direction != SG_DXFER_NONE && hdr->dxfer_len > 0;
    if (has_data && !hdr->dxferp) {
        errno = EFAULT;
        return -1;
    }
    const zksim_unit &unit = *d.unit;
    const UnitDef &def = unit.def;
    std::uint64_t number = unit.commands.fetch_add(1) + 1;
    record_command(d.unit, hdr->cmdp, hdr->cmd_len, hdr->dxfer_len, direction);
    const CommandFault *fault = def.fault_for(number);
    if (fault && fault->kind == FaultKind::Hang)
        return hang(d, hdr);
    if (fault && fault->kind == FaultKind::Errno) {
        sleep_latency(def);
        errno = fault->value;
        return -1;
    }

    bool from_device = has_data && transfers_from_device(direction);
    std::size_t capacity = from_device ? hdr->dxfer_len : 0;
    if (fault && fault->kind == FaultKind::Short)
        capacity = std::min<std::size_t>(capacity, static_cast<std::size_t>(fault->value));

    // Scattered buffers are gathered through a bounce buffer.
    Bytes bounce;
    unsigned char *target = static_cast<unsigned char *>(hdr->dxferp);
    if (hdr->iovec_count > 0 && capacity > 0) {
        try {
            bounce.resize(capacity);
        } catch (...) {
            errno = ENOMEM;
            return -1;
        }
        target = bounce.data();
    }

    // Data-out (MODE SELECT's parameter list), gathered when scattered.
    const unsigned char *data_out = nullptr;
    std::size_t data_out_len = 0;
    Bytes gathered;
    if (has_data && direction == SG_DXFER_TO_DEV) {
        if (hdr->iovec_count == 0) {
            data_out = static_cast<const unsigned char *>(hdr->dxferp);
            data_out_len = hdr->dxfer_len;
        } else {
            auto *iov = static_cast<const sg_iovec_t *>(hdr->dxferp);
            try {
                for (unsigned k = 0; k < hdr->iovec_count && gathered.size() < hdr->dxfer_len; ++k) {
                    auto *p = static_cast<const unsigned char *>(iov[k].iov_base);
                    std::size_t n = std::min<std::size_t>(iov[k].iov_len, hdr->dxfer_len - gathered.size());
                    gathered.insert(gathered.end(), p, p + n);
                }
            } catch (...) {
                errno = ENOMEM;
                return -1;
            }
            data_out = gathered.data();
            data_out_len = gathered.size();
        }
    }

    int status = ZKSIM_STATUS_GOOD;
    std::uint8_t host_status = kHostStatusOk;
    std::uint8_t driver_status = 0;
    std::size_t copied = 0;
    unsigned char sense[kSenseBufferSize];
    std::size_t sense_len = 0;
    if (fault && fault->kind == FaultKind::Host) {
        host_status = static_cast<std::uint8_t>(fault->value);
    } else if (fault && fault->kind == FaultKind::Driver) {
        driver_status = static_cast<std::uint8_t>(fault->value);
    } else if (fault && fault->kind == FaultKind::Check) {
        status = ZKSIM_STATUS_CHECK_CONDITION;
        sense_len = fixed_sense(sense, fault->sense_key, fault->asc, fault->ascq);
    } else {
        status = zksim_unit_execute(&unit, hdr->cmdp, hdr->cmd_len, data_out,
                                    data_out_len, target, capacity, &copied, sense,
                                    sizeof sense, &sense_len);
    }

    if (!bounce.empty() && copied > 0) {
        auto *iov = static_cast<sg_iovec_t *>(hdr->dxferp);
        std::size_t done = 0;
        for (unsigned k = 0; k < hdr->iovec_count && done < copied; ++k) {
            std::size_t n = std::min(copied - done, iov[k].iov_len);
            std::memcpy(iov[k].iov_base, bounce.data() + done, n);
            done += n;
        }
        copied = done;
    }

    sleep_latency(def);

    hdr->status = static_cast<unsigned char>(status);
    hdr->masked_status = static_cast<unsigned char>((status >> 1) & 0x7F);
    hdr->msg_status = 0;
    hdr->host_status = host_status;
    hdr->sb_len_wr = 0;
    if (status == ZKSIM_STATUS_CHECK_CONDITION) {
        driver_status |= kDriverStatusSense;
        std::size_t n = std::min<std::size_t>(sense_len, hdr->mx_sb_len);
        if (n && hdr->sbp) std::memcpy(hdr->sbp, sense, n);
        hdr->sb_len_wr = hdr->sbp ? static_cast<unsigned char>(n) : 0;
    }
    hdr->driver_status = driver_status;
    bool clean = status == ZKSIM_STATUS_GOOD && host_status == 0 && driver_status == 0;
    if (from_device)
        hdr->resid = static_cast<int>(hdr->dxfer_len - copied);
    else if (has_data)
        hdr->resid = clean ? 0 : static_cast<int>(hdr->dxfer_len);
    else
        hdr->resid = 0;
    hdr->info = (hdr->masked_status || host_status || driver_status) ? SG_INFO_CHECK : SG_INFO_OK;
    auto elapsed = std::chrono::steady_clock::now() - start;
    hdr->duration = static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    return 0;
}

int simulated_ioctl(IoctlFn real_ioctl, int fd, unsigned long request, void *arg) {
    Descriptor d;
    if (!lookup(fd, d)) return real_ioctl(fd, request, arg);
    if (request != SG_IO) {
        errno = ENOTTY;
        return -1;
    }
    return sg_io(d, static_cast<sg_io_hdr_t *>(arg));
}

int simulated_close(int fd) {
    untrack(fd);
    return real().close(fd);
}

}  // namespace
}  // namespace zksim

using namespace zksim;

#define ZKSIM_MODE_ARG(flags, mode)           \
    mode_t mode = 0;                          \
    if (needs_mode(flags)) {                  \
        va_list ap;                           \
        va_start(ap, flags);                  \
        mode = static_cast<mode_t>(va_arg(ap, int)); \
        va_end(ap);                           \
    }

extern "C" {

int open(const char *path, int flags, ...) {
    int fd;
    if (open_simulated(path, flags, fd)) return fd;
    ZKSIM_MODE_ARG(flags, mode)
    return real().open(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    int fd;
    if (open_simulated(path, flags, fd)) return fd;
    ZKSIM_MODE_ARG(flags, mode)
    return real().open64(path, flags, mode);
}

int __open_2(const char *path, int flags) {
    int fd;
    if (open_simulated(path, flags, fd)) return fd;
    return real().open_2 ? real().open_2(path, flags) : real().open(path, flags);
}

int __open64_2(const char *path, int flags) {
    int fd;
    if (open_simulated(path, flags, fd)) return fd;
    return real().open64_2 ? real().open64_2(path, flags) : real().open64(path, flags);
}

int openat(int dirfd, const char *path, int flags, ...) {
    int fd;
    if (simulated_at(dirfd, path) && open_simulated(path, flags, fd)) return fd;
    ZKSIM_MODE_ARG(flags, mode)
    return real().openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    int fd;
    if (simulated_at(dirfd, path) && open_simulated(path, flags, fd)) return fd;
    ZKSIM_MODE_ARG(flags, mode)
    return real().openat64(dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char *path, int flags) {
    int fd;
    if (simulated_at(dirfd, path) && open_simulated(path, flags, fd)) return fd;
    return real().openat_2 ? real().openat_2(dirfd, path, flags) : real().openat(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char *path, int flags) {
    int fd;
    if (simulated_at(dirfd, path) && open_simulated(path, flags, fd)) return fd;
    return real().openat64_2 ? real().openat64_2(dirfd, path, flags)
                             : real().openat64(dirfd, path, flags);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return simulated_ioctl(real().ioctl, fd, request, arg);
}

#if defined(__TIMESIZE) && __TIMESIZE == 32
// 32-bit programs built with 64-bit time_t call this name instead of ioctl.
int __ioctl_time64(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return simulated_ioctl(real().ioctl_time64, fd, request, arg);
}
#endif

int close(int fd) { return simulated_close(fd); }

int zksim_open_descriptors(void) { return descriptors().count.load(); }

}  // extern "C"
