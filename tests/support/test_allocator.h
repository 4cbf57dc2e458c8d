// Test allocator: the test program defines malloc and free (forwarding to
// the C library's own), so it can fail chosen calls made anywhere in the
// process, the shared object included, and count what stays allocated.
// Not usable beside a sanitizer's allocator: tests that need it are built
// only when ZK_HAVE_TEST_ALLOCATOR is on (normal builds, also run under
// valgrind).
#ifndef ZK_TEST_ALLOCATOR_H
#define ZK_TEST_ALLOCATOR_H

#include <stddef.h>

namespace zktest {

// Starts counting malloc calls (and tracking the blocks they return) from
// zero. With fail_at = N > 0 the Nth call fails (returns null); with
// keep_failing every call from the Nth on fails. fail_at = 0 fails nothing.
void alloc_arm(unsigned long fail_at, bool keep_failing = false);
// Stops failing and counting; tracked blocks are forgotten.
void alloc_disarm();
// malloc calls seen since alloc_arm.
unsigned long alloc_calls();
// True once the armed failure has been injected.
bool alloc_failure_injected();
// Blocks allocated since alloc_arm and not freed yet.
long alloc_outstanding();

// Runs op with the Nth allocation failing, for N = 1, 2, ... until op makes
// no more than N - 1 allocations (so the last run is a clean success).
// op(n, failed) is called for each N; failed tells whether a failure was
// injected in that run. Returns the number of allocations of the clean run.
template <typename Op>
unsigned long for_each_allocation_failure(Op op)
{
    for (unsigned long n = 1;; ++n) {
        alloc_arm(n);
        bool failed = op(n);
        (void)failed;
        bool injected = alloc_failure_injected();
        unsigned long calls = alloc_calls();
        alloc_disarm();
        if (!injected)
            return calls;
    }
}

}  // namespace zktest

#endif  // ZK_TEST_ALLOCATOR_H
