// Test allocator: the test program defines malloc, calloc, realloc and free
// (forwarding to the C library's own), so it can fail chosen calls made
// anywhere in the process, the shared object and the C library included,
// and count what stays allocated.
// Not usable beside a sanitizer's allocator: tests that need it are built
// only when ZK_HAVE_TEST_ALLOCATOR is on (normal builds, also run under
// valgrind, with --soname-synonyms=somalloc=nouserintercepts, which
// zk_add_valgrind_test passes). Link the CMake target zk_test_allocator.
#ifndef ZK_TEST_ALLOCATOR_H
#define ZK_TEST_ALLOCATOR_H

#include <stddef.h>

namespace zktest {

// Starts counting allocation calls (malloc, calloc, and realloc) and
// tracking the blocks they return, from zero. With fail_at = N > 0 the Nth
// call fails (returns null, errno ENOMEM); with keep_failing every call from
// the Nth on fails. fail_at = 0 fails nothing. Calls from every thread count.
void alloc_arm(unsigned long fail_at, bool keep_failing = false);
// Stops failing, counting and tracking; tracked blocks are forgotten, so
// alloc_outstanding() is 0 afterwards. alloc_calls() and
// alloc_failure_injected() keep the values of the armed run until the next
// alloc_arm, so a test may disarm first and check afterwards (a failing
// assertion allocates, which must not happen while armed).
void alloc_disarm();
// Allocation calls seen since alloc_arm (up to alloc_disarm).
unsigned long alloc_calls();
// True once the armed failure has been injected.
bool alloc_failure_injected();
// Blocks allocated since alloc_arm and not freed yet (0 when disarmed).
long alloc_outstanding();
// Bytes asked for by the last allocation call that succeeded while armed
// (count x size for calloc); 0 when none did. Kept until the next alloc_arm.
size_t alloc_last_size();

// Runs op with the Nth allocation failing, for N = 1, 2, ... until a run
// sees no injected failure (so the last run is a clean success). op(n) is
// called armed; it performs the operation, reads what it needs
// (alloc_failure_injected(), alloc_outstanding()), may call alloc_disarm()
// itself before asserting, and then checks. Returns the number of
// allocation calls of the clean run.
template <typename Op>
unsigned long for_each_allocation_failure(Op op, bool keep_failing = false)
{
    for (unsigned long n = 1;; ++n) {
        alloc_arm(n, keep_failing);
        op(n);
        alloc_disarm();
        if (!alloc_failure_injected())
            return alloc_calls();
    }
}

}  // namespace zktest

#endif  // ZK_TEST_ALLOCATOR_H
