// Test allocator: malloc, calloc, realloc and free of the test program,
// forwarding to the C library's own heap (__libc_malloc and friends), with
// failure injection and tracking of the blocks handed out while armed.
// The test program's definitions take the place of the C library's for every
// caller in the process (the shared object and the C library itself
// included), since they come first in the dynamic linker's search order.
// No allocation happens in here, and nothing is printed unless the tracking
// table overflows.
#include "test_allocator.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);
}

namespace {

// Open-addressing set of block addresses. Two tables, so that tombstones
// can be shed by rehashing into the other one without allocating.
constexpr size_t kTableSize = size_t(1) << 15;
constexpr size_t kTableLimit = kTableSize / 4 * 3;
const uintptr_t kTombstone = 1;  // never a block address

struct BlockSet {
    uintptr_t slots[kTableSize];
    size_t live;
    size_t used;  // live plus tombstones
};

BlockSet g_tables[2];
BlockSet *g_blocks = &g_tables[0];

volatile int g_lock;           // spin lock around everything below
volatile int g_armed;          // read without the lock on the fast path
unsigned long g_fail_at;
bool g_keep_failing;
unsigned long g_calls;
bool g_injected;
size_t g_last_size;
volatile int g_probes;         // calls that reached this malloc at all

void lock()
{
    while (__atomic_exchange_n(&g_lock, 1, __ATOMIC_ACQUIRE))
        while (__atomic_load_n(&g_lock, __ATOMIC_RELAXED))
            ;
}

void unlock() { __atomic_store_n(&g_lock, 0, __ATOMIC_RELEASE); }

bool armed() { return __atomic_load_n(&g_armed, __ATOMIC_ACQUIRE) != 0; }

[[noreturn]] void die(const char *text)
{
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
    abort();
}

size_t home_slot(uintptr_t key)
{
    uint64_t h = (uint64_t)key * 0x9E3779B97F4A7C15ull;
    return (size_t)(h >> 40) & (kTableSize - 1);
}

void clear(BlockSet *set)
{
    memset(set->slots, 0, sizeof set->slots);
    set->live = 0;
    set->used = 0;
}

void insert_into(BlockSet *set, uintptr_t key)
{
    size_t i = home_slot(key);
    while (set->slots[i] != 0 && set->slots[i] != kTombstone)
        i = (i + 1) & (kTableSize - 1);
    if (set->slots[i] == 0)
        ++set->used;
    set->slots[i] = key;
    ++set->live;
}

void track(void *block)
{
    if (g_blocks->live >= kTableLimit)
        die("test allocator: too many blocks outstanding while armed\n");
    if (g_blocks->used >= kTableLimit) {
        BlockSet *other = g_blocks == &g_tables[0] ? &g_tables[1] : &g_tables[0];
        clear(other);
        for (uintptr_t key : g_blocks->slots)
            if (key != 0 && key != kTombstone)
                insert_into(other, key);
        g_blocks = other;
    }
    insert_into(g_blocks, (uintptr_t)block);
}

// Forgets block; true when it was tracked.
bool untrack(void *block)
{
    uintptr_t key = (uintptr_t)block;
    for (size_t i = home_slot(key);; i = (i + 1) & (kTableSize - 1)) {
        if (g_blocks->slots[i] == 0)
            return false;
        if (g_blocks->slots[i] == key) {
            g_blocks->slots[i] = kTombstone;
            --g_blocks->live;
            return true;
        }
    }
}

// Counts one allocation call (lock held); true when it must fail.
bool next_call_fails()
{
    ++g_calls;
    bool fail = g_fail_at != 0 &&
                (g_calls == g_fail_at || (g_keep_failing && g_calls > g_fail_at));
    if (fail)
        g_injected = true;
    return fail;
}

}  // namespace

extern "C" {

void *malloc(size_t size)
{
    __atomic_add_fetch(&g_probes, 1, __ATOMIC_RELAXED);
    if (!armed())
        return __libc_malloc(size);
    lock();
    void *block = nullptr;
    if (!armed()) {
        block = __libc_malloc(size);
    } else if (next_call_fails()) {
        errno = ENOMEM;
    } else {
        block = __libc_malloc(size);
        if (block) {
            track(block);
            g_last_size = size;
        }
    }
    unlock();
    return block;
}

void *calloc(size_t count, size_t size)
{
    if (!armed())
        return __libc_calloc(count, size);
    lock();
    void *block = nullptr;
    if (!armed()) {
        block = __libc_calloc(count, size);
    } else if (next_call_fails()) {
        errno = ENOMEM;
    } else {
        block = __libc_calloc(count, size);
        if (block) {
            track(block);
            g_last_size = count * size;
        }
    }
    unlock();
    return block;
}

// A block moved by realloc stays tracked when its old address was (or when
// it is new); resizing a block from before alloc_arm does not make it one.
void *realloc(void *old_block, size_t size)
{
    if (!armed())
        return __libc_realloc(old_block, size);
    lock();
    void *block = nullptr;
    if (!armed()) {
        block = __libc_realloc(old_block, size);
    } else if (next_call_fails()) {
        errno = ENOMEM;
    } else {
        block = __libc_realloc(old_block, size);
        if (block)
            g_last_size = size;
        if (old_block == nullptr) {
            if (block)
                track(block);
        } else if (block || size == 0) {
            bool was_tracked = untrack(old_block);
            if (block && was_tracked)
                track(block);
        }
    }
    unlock();
    return block;
}

void free(void *block)
{
    if (block && armed()) {
        lock();
        if (armed())
            untrack(block);
        unlock();
    }
    __libc_free(block);
}

}  // extern "C"

namespace {

// A tool that replaces the program's malloc (valgrind without
// --soname-synonyms=somalloc=nouserintercepts) would silently turn every
// allocation-failure test into a test of nothing: refuse to go on.
void *(*volatile g_probe_malloc)(size_t) = malloc;

void check_in_place()
{
    int before = __atomic_load_n(&g_probes, __ATOMIC_RELAXED);
    free(g_probe_malloc(1));
    if (__atomic_load_n(&g_probes, __ATOMIC_RELAXED) == before)
        die("test allocator: malloc is not the test program's own (under "
            "valgrind, pass --soname-synonyms=somalloc=nouserintercepts)\n");
}

}  // namespace

namespace zktest {

void alloc_arm(unsigned long fail_at, bool keep_failing)
{
    check_in_place();
    lock();
    g_blocks = &g_tables[0];
    clear(g_blocks);
    g_fail_at = fail_at;
    g_keep_failing = keep_failing;
    g_calls = 0;
    g_injected = false;
    g_last_size = 0;
    __atomic_store_n(&g_armed, 1, __ATOMIC_RELEASE);
    unlock();
}

void alloc_disarm()
{
    lock();
    __atomic_store_n(&g_armed, 0, __ATOMIC_RELEASE);
    g_fail_at = 0;
    g_keep_failing = false;
    clear(g_blocks);
    unlock();
}

unsigned long alloc_calls()
{
    lock();
    unsigned long calls = g_calls;
    unlock();
    return calls;
}

bool alloc_failure_injected()
{
    lock();
    bool injected = g_injected;
    unlock();
    return injected;
}

size_t alloc_last_size()
{
    lock();
    size_t size = g_last_size;
    unlock();
    return size;
}

long alloc_outstanding()
{
    lock();
    long outstanding = armed() ? (long)g_blocks->live : 0;
    unlock();
    return outstanding;
}

}  // namespace zktest
