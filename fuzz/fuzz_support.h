// Shared by the fuzz targets: reading an input from its front, failing an
// oracle with the reason, the library's allocations (counted and failed on
// demand) and a scripted device that answers the library's SCSI commands.
//
// The library's objects are linked into each target with
// -Wl,--wrap=malloc,free,open,ioctl,close, so only calls made from objects of
// the target (the library and the harness, never the C library or the
// sanitizer runtime) reach the functions defined in fuzz_support.cpp.
#ifndef ZK_FUZZ_SUPPORT_H
#define ZK_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace zkfuzz {

using Bytes = std::vector<unsigned char>;

// The commands the library sends, and its cap on a response's length.
constexpr unsigned kInquiryOpcode = 0x12;
constexpr unsigned kModeSenseOpcode = 0x1A;
constexpr unsigned kMaxAllocation = 255;

// Reads an input from its front; past the end every read gives zeros, so a
// short input means "no fault, defaults" and seeds stay easy to write.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    unsigned byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    int signed_byte() { return static_cast<int8_t>(byte()); }
    Bytes bytes(size_t n);
    // A length byte, then that many bytes.
    Bytes counted() { return bytes(byte()); }
    // A text of at most max_length bytes without zeros, ended by a zero byte
    // or the input's end.
    std::string text(size_t max_length);
    Bytes rest() { return bytes(size_ - pos_); }
    bool empty() const { return pos_ >= size_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// Reports an oracle failure on stderr and aborts, so libFuzzer saves and
// prints the input.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fail_check(const char *condition, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
#define ZKFUZZ_EXPECT(condition, ...)                                   \
    do {                                                                \
        if (!(condition))                                               \
            ::zkfuzz::fail_check(#condition, __VA_ARGS__);              \
    } while (0)

// A heap copy of exactly these bytes (none at all for an empty range), so
// the sanitizer sees a read at or beyond the end.
unsigned char *heap_copy(const Bytes &bytes);

// ---- The library's allocations -------------------------------------------
// While armed, malloc calls from the library are counted and the live blocks
// tracked (nothing is allocated for that); the fail_at-th call fails (0:
// none), and with keep_failing every later one too.
void alloc_arm(unsigned fail_at, bool keep_failing);
void alloc_disarm();
bool alloc_failure_injected();
unsigned alloc_calls();
// Blocks allocated while armed and not released yet.
int alloc_outstanding();
bool alloc_is_live(const void *block);

// ---- Descriptors -----------------------------------------------------------
// The lowest free descriptor number: unchanged across a call when the call
// left no descriptor open.
int lowest_free_descriptor();

// ---- Scripted device ---------------------------------------------------------
// One device node. Each command (opcode and page code) is answered from an
// entry: bytes for the first pass of a command (the length probe) and for the
// second; each open starts a new pair of passes. Faults are set per open and
// per command, counted from 1 since the last reset.
struct Fault {
    enum Kind { kNone, kErrno, kCheck, kHost, kDriver, kShort } kind = kNone;
    int value = 0;  // errno, host or driver status, or bytes transferred
};

// How a fault reads from two input bytes: kind, then value.
Fault read_fault(Input &in);
// An errno value chosen by one byte, 0 (no errno set) included.
int errno_value(unsigned choice);

struct Answer {
    unsigned opcode = 0;
    int page = -1;  // -1: any page code
    Bytes pass[2];
};

// Outcome of one command as the platform layer reports it to the library.
struct Exchange {
    bool ok = false;
    int error = 0;   // errno seen by the library when not ok (0 means EIO)
    Bytes data;      // alloc_length bytes, zeros where nothing was sent
};

constexpr int kMaxOpens = 8;
constexpr int kMaxCommands = 16;

struct CommandRecord {
    unsigned char cdb[6];
    unsigned cdb_length;
    unsigned dxfer_length;
    int direction;
};

struct Device {
    // Open faults from one byte each: low two bits 1 fails the open.
    void read_open_faults(Input &in, int count);

    std::string path;
    std::vector<Answer> answers;
    bool open_fails[kMaxOpens] = {};  // the nth open fails with open_errno
    int open_errno[kMaxOpens] = {};
    Fault faults[kMaxCommands];

    // Filled while the library runs.
    int opens = 0;   // attempts, failed ones included
    int opened = 0;  // descriptors handed out
    int closes = 0;
    int commands = 0;
    int open_flags[kMaxOpens] = {};
    CommandRecord records[kMaxCommands] = {};
    const char *protocol_error = nullptr;  // a request no sg driver takes

    // The answer to command number command (1-based), pass 0 or 1, with the
    // CDB's allocation length: what the library receives.
    Exchange predict(int command, unsigned opcode, unsigned page, int pass,
                     unsigned alloc_length) const;
};

// Makes device the node the library reaches (null: none), counters cleared.
void install_device(Device *device);

// Makes the library see stdout as /dev/null (the printers and do_inquiry's
// message would otherwise flood the fuzzer's output).
void silence_stdout();

}  // namespace zkfuzz

#endif  // ZK_FUZZ_SUPPORT_H
