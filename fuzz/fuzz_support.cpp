// The wrapped allocation and device functions behind fuzz_support.h. While
// the library runs nothing here allocates: the tracking tables are fixed.
#include "fuzz_support.h"

#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

extern "C" {
void *__real_malloc(size_t size);
void __real_free(void *block);
int __real_open(const char *path, int flags, ...);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_close(int fd);
}

namespace zkfuzz {

Bytes Input::bytes(size_t n)
{
    Bytes out(n, 0);
    size_t available = std::min(n, size_ - pos_);
    std::copy(data_ + pos_, data_ + pos_ + available, out.begin());
    pos_ += available;
    return out;
}

std::string Input::text(size_t max_length)
{
    std::string out;
    while (out.size() < max_length && !empty()) {
        unsigned c = byte();
        if (c == 0)
            break;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

namespace {

[[noreturn]] void vfail(const char *format, va_list args)
{
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    abort();
}

}  // namespace

void fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfail(format, args);
}

void fail_check(const char *condition, const char *format, ...)
{
    fprintf(stderr, "oracle failed: %s: ", condition);
    va_list args;
    va_start(args, format);
    vfail(format, args);
}

unsigned char *heap_copy(const Bytes &bytes)
{
    if (bytes.empty())
        return nullptr;
    auto *copy = static_cast<unsigned char *>(__real_malloc(bytes.size()));
    memcpy(copy, bytes.data(), bytes.size());
    return copy;
}

// ---- Allocations ------------------------------------------------------------

namespace {

constexpr int kMaxLiveBlocks = 256;

struct AllocState {
    bool armed = false;
    unsigned fail_at = 0;
    bool keep_failing = false;
    unsigned calls = 0;
    bool injected = false;
    const void *live[kMaxLiveBlocks] = {};
    int live_count = 0;
} g_alloc;

}  // namespace

void alloc_arm(unsigned fail_at, bool keep_failing)
{
    g_alloc = AllocState{};
    g_alloc.armed = true;
    g_alloc.fail_at = fail_at;
    g_alloc.keep_failing = keep_failing;
}

void alloc_disarm() { g_alloc.armed = false; }
bool alloc_failure_injected() { return g_alloc.injected; }
unsigned alloc_calls() { return g_alloc.calls; }
int alloc_outstanding() { return g_alloc.live_count; }

bool alloc_is_live(const void *block)
{
    for (int i = 0; i < g_alloc.live_count; ++i)
        if (g_alloc.live[i] == block)
            return true;
    return false;
}

}  // namespace zkfuzz

extern "C" void *__wrap_malloc(size_t size)
{
    using zkfuzz::g_alloc;
    if (!g_alloc.armed)
        return __real_malloc(size);
    unsigned n = ++g_alloc.calls;
    if (g_alloc.fail_at != 0 &&
        (n == g_alloc.fail_at || (g_alloc.keep_failing && n > g_alloc.fail_at))) {
        g_alloc.injected = true;
        errno = ENOMEM;
        return nullptr;
    }
    void *block = __real_malloc(size);
    if (block != nullptr) {
        if (g_alloc.live_count == zkfuzz::kMaxLiveBlocks)
            zkfuzz::fail("harness: more than %d live blocks", zkfuzz::kMaxLiveBlocks);
        g_alloc.live[g_alloc.live_count++] = block;
    }
    return block;
}

extern "C" void __wrap_free(void *block)
{
    using zkfuzz::g_alloc;
    for (int i = 0; i < g_alloc.live_count; ++i) {
        if (g_alloc.live[i] == block) {
            g_alloc.live[i] = g_alloc.live[--g_alloc.live_count];
            break;
        }
    }
    __real_free(block);
}

// ---- Descriptors ---------------------------------------------------------------

namespace zkfuzz {

int lowest_free_descriptor()
{
    int fd = __real_open("/dev/null", O_RDONLY | O_CLOEXEC);
    __real_close(fd);
    return fd;
}

void silence_stdout()
{
    fflush(stdout);
    int null_fd = __real_open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null_fd, 1);
    __real_close(null_fd);
}

// ---- Scripted device -------------------------------------------------------------

namespace {

// Never a real descriptor of a fuzzer process.
constexpr int kDeviceFd = 4242;

const int kErrnoValues[] = {0,      EIO,    ENXIO,  EACCES, ENOENT, EBUSY,
                            ENOMEM, EINTR,  EAGAIN, ENODEV, EPERM,  EINVAL};
constexpr unsigned char kStatusCheckCondition = 0x02;
constexpr unsigned short kDriverSense = 0x08;

Device *g_device = nullptr;
int g_passes = 0;  // commands on the open descriptor so far

const Answer *find_answer(const Device &device, unsigned opcode, unsigned page)
{
    for (const Answer &answer : device.answers)
        if (answer.opcode == opcode && (answer.page < 0 || unsigned(answer.page) == page))
            return &answer;
    return nullptr;
}

const Fault &fault_for(const Device &device, int command)
{
    static const Fault kNoFault;
    return command >= 1 && command <= kMaxCommands ? device.faults[command - 1]
                                                     : kNoFault;
}

// Bytes the device sends: the answer cut to the allocation length, the
// buffer and a short transfer.
size_t send(const Answer &answer, int pass, const Fault &fault,
            unsigned alloc_length, unsigned char *out, size_t capacity)
{
    const Bytes &bytes = answer.pass[pass];
    size_t n = std::min({bytes.size(), size_t{alloc_length}, capacity});
    if (fault.kind == Fault::kShort)
        n = std::min(n, size_t(fault.value));
    if (n > 0)
        memcpy(out, bytes.data(), n);
    return n;
}

bool fails(const Fault &fault)
{
    return fault.kind != Fault::kNone && fault.kind != Fault::kShort;
}

}  // namespace

int errno_value(unsigned choice)
{
    return kErrnoValues[choice % (sizeof kErrnoValues / sizeof kErrnoValues[0])];
}

void Device::read_open_faults(Input &in, int count)
{
    for (int i = 0; i < count && i < kMaxOpens; ++i) {
        unsigned choice = in.byte();
        open_fails[i] = (choice & 3) == 1;
        open_errno[i] = errno_value(choice >> 2);
    }
}

Fault read_fault(Input &in)
{
    Fault fault;
    unsigned kind = in.byte() % 8;
    switch (kind) {
    case 1: fault.kind = Fault::kErrno; fault.value = errno_value(in.byte()); break;
    case 2: fault.kind = Fault::kCheck; in.byte(); break;
    case 3: fault.kind = Fault::kHost; fault.value = int(in.byte() % 16) + 1; break;
    case 4: fault.kind = Fault::kDriver; fault.value = int(in.byte() % 16) + 1; break;
    case 5: fault.kind = Fault::kShort; fault.value = int(in.byte()); break;
    default: in.byte(); break;  // no fault
    }
    return fault;
}

Exchange Device::predict(int command, unsigned opcode, unsigned page, int pass,
                         unsigned alloc_length) const
{
    Exchange exchange;
    const Fault &fault = fault_for(*this, command);
    if (fails(fault)) {
        exchange.error = fault.kind == Fault::kErrno ? fault.value : EIO;
        return exchange;
    }
    exchange.ok = true;
    exchange.data.assign(alloc_length, 0);
    if (const Answer *answer = find_answer(*this, opcode, page))
        send(*answer, pass, fault, alloc_length, exchange.data.data(), alloc_length);
    return exchange;
}

void install_device(Device *device)
{
    g_device = device;
    g_passes = 0;
}

}  // namespace zkfuzz

extern "C" int __wrap_open(const char *path, int flags, ...)
{
    using namespace zkfuzz;
    if (g_device != nullptr && g_device->path == path) {
        int n = g_device->opens++;
        if (n < kMaxOpens) {
            g_device->open_flags[n] = flags;
            if (g_device->open_fails[n]) {
                errno = g_device->open_errno[n];
                return -1;
            }
        }
        ++g_device->opened;
        g_passes = 0;
        return kDeviceFd;
    }
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    return __real_open(path, flags, mode);
}

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...)
{
    using namespace zkfuzz;
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (g_device == nullptr || fd != kDeviceFd)
        return __real_ioctl(fd, request, argument);

    Device &device = *g_device;
    int command = ++device.commands;
    auto *hdr = static_cast<sg_io_hdr_t *>(argument);
    if (request != SG_IO || hdr->interface_id != 'S' || hdr->cmd_len != 6 ||
        hdr->cmdp == nullptr) {
        device.protocol_error = "not an SG_IO request with a 6-byte CDB";
        errno = EINVAL;
        return -1;
    }
    if (command <= kMaxCommands) {
        CommandRecord &record = device.records[command - 1];
        memcpy(record.cdb, hdr->cmdp, 6);
        record.cdb_length = hdr->cmd_len;
        record.dxfer_length = hdr->dxfer_len;
        record.direction = hdr->dxfer_direction;
    }
    int pass = g_passes++;
    const Answer *answer = find_answer(device, hdr->cmdp[0], hdr->cmdp[2]);
    if (pass > 1 || answer == nullptr) {
        device.protocol_error = pass > 1 ? "a third command on one descriptor"
                                         : "a command the device has no answer for";
        errno = EINVAL;
        return -1;
    }

    const Fault &fault = fault_for(device, command);
    if (fault.kind == Fault::kErrno) {
        errno = fault.value;
        return -1;
    }
    hdr->status = 0;
    hdr->masked_status = 0;
    hdr->host_status = 0;
    hdr->driver_status = 0;
    hdr->sb_len_wr = 0;
    size_t sent = 0;
    switch (fault.kind) {
    case Fault::kCheck:
        hdr->status = kStatusCheckCondition;
        hdr->masked_status = kStatusCheckCondition >> 1;
        hdr->driver_status = kDriverSense;
        break;
    case Fault::kHost: hdr->host_status = static_cast<unsigned short>(fault.value); break;
    case Fault::kDriver: hdr->driver_status = static_cast<unsigned short>(fault.value); break;
    default:
        sent = send(*answer, pass, fault, hdr->cmdp[4],
                    static_cast<unsigned char *>(hdr->dxferp), hdr->dxfer_len);
        break;
    }
    hdr->resid = static_cast<int>(hdr->dxfer_len - sent);
    return 0;
}

extern "C" int __wrap_close(int fd)
{
    using namespace zkfuzz;
    if (g_device != nullptr && fd == kDeviceFd) {
        ++g_device->closes;
        return 0;
    }
    return __real_close(fd);
}
