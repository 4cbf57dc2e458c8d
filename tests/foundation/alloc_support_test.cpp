// The test allocator itself: the other allocation-failure tests are only as
// good as its counting. Runs in normal builds and under valgrind, not under
// sanitizers.
#include "test_allocator.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>

namespace {

using zktest::alloc_arm;
using zktest::alloc_calls;
using zktest::alloc_disarm;
using zktest::alloc_failure_injected;
using zktest::alloc_outstanding;

// Pointers are kept in a volatile array so the compiler cannot drop the
// malloc/free pairs.
void *volatile g_sink[8];

struct FailCase {
    const char *label;
    unsigned long fail_at;
    bool keep_failing;
    bool expect_null[4];  // for four calls in a row
};

TEST(TestAllocator, FailsTheChosenCalls)
{
    const FailCase cases[] = {
        {"nothing", 0, false, {false, false, false, false}},
        {"first once", 1, false, {true, false, false, false}},
        {"third once", 3, false, {false, false, true, false}},
        {"second on", 2, true, {false, true, true, true}},
        {"past the end", 5, false, {false, false, false, false}},
    };
    for (const FailCase &c : cases) {
        bool got_null[4];
        int got_errno[4];
        alloc_arm(c.fail_at, c.keep_failing);
        for (int i = 0; i < 4; ++i) {
            errno = 0;
            g_sink[i] = malloc(16);
            got_null[i] = g_sink[i] == nullptr;
            got_errno[i] = errno;
        }
        unsigned long calls = alloc_calls();
        bool injected = alloc_failure_injected();
        long outstanding = alloc_outstanding();
        for (int i = 0; i < 4; ++i)
            free(g_sink[i]);
        long after_free = alloc_outstanding();
        alloc_disarm();
        int expected_live = 0;
        bool expected_injected = false;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(got_null[i], c.expect_null[i]) << c.label << " call " << i + 1;
            if (c.expect_null[i]) {
                EXPECT_EQ(got_errno[i], ENOMEM) << c.label;
            }
            expected_live += !c.expect_null[i];
            expected_injected |= c.expect_null[i];
        }
        EXPECT_EQ(calls, 4u) << c.label;
        EXPECT_EQ(injected, expected_injected) << c.label;
        EXPECT_EQ(outstanding, expected_live) << c.label;
        EXPECT_EQ(after_free, 0) << c.label;
        // Counters survive disarm until the next arm.
        EXPECT_EQ(alloc_calls(), 4u) << c.label;
        EXPECT_EQ(alloc_outstanding(), 0) << c.label;
    }
}

TEST(TestAllocator, TracksCallocAndRealloc)
{
    void *before = malloc(8);  // from before arming: never counted as outstanding
    alloc_arm(0);
    g_sink[0] = calloc(4, 5);
    size_t calloc_size = zktest::alloc_last_size();
    g_sink[1] = realloc(nullptr, 10);
    g_sink[1] = realloc(g_sink[1], 4000);
    before = realloc(before, 3000);
    size_t realloc_size = zktest::alloc_last_size();
    long outstanding = alloc_outstanding();
    unsigned long calls = alloc_calls();
    free(g_sink[0]);
    free(g_sink[1]);
    free(before);
    long after = alloc_outstanding();
    alloc_disarm();
    EXPECT_EQ(calls, 4u);
    EXPECT_EQ(calloc_size, 20u);
    EXPECT_EQ(realloc_size, 3000u);
    EXPECT_EQ(outstanding, 2);
    EXPECT_EQ(after, 0);
}

TEST(TestAllocator, ManyBlocksStayCounted)
{
    // More blocks than fit before the table sheds tombstones.
    alloc_arm(0);
    long peak = 0;
    for (int round = 0; round < 40; ++round) {
        void *blocks[1000];
        for (void *&b : blocks)
            b = malloc(1);
        if (alloc_outstanding() > peak)
            peak = alloc_outstanding();
        for (void *b : blocks)
            free(b);
    }
    long outstanding = alloc_outstanding();
    unsigned long calls = alloc_calls();
    alloc_disarm();
    EXPECT_EQ(peak, 1000);
    EXPECT_EQ(outstanding, 0);
    EXPECT_EQ(calls, 40000u);
}

TEST(TestAllocator, WalkEndsWithTheCleanRun)
{
    unsigned long runs = 0;
    unsigned long calls = zktest::for_each_allocation_failure([&](unsigned long) {
        ++runs;
        void *a = malloc(1);
        void *b = a ? malloc(1) : nullptr;
        void *c = b ? malloc(1) : nullptr;
        free(a);
        free(b);
        free(c);
    });
    EXPECT_EQ(calls, 3u);
    EXPECT_EQ(runs, 4u);
}

}  // namespace
