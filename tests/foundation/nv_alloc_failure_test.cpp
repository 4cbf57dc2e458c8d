// NvAllocFailure: every allocation of every name-value operation fails in
// turn; the result is -1, nothing is written through the out-pointer and
// nothing stays allocated. Also: each operation makes exactly one
// allocation, of the guarded header plus the documented user-area size.
// Uses the test allocator, so it runs in normal builds and under valgrind,
// not under sanitizers.
#include "foundation_test_util.h"
#include "nv_test_util.h"
#include "test_allocator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace zkfoundation {
namespace {

using zktest::alloc_calls;
using zktest::alloc_disarm;
using zktest::alloc_failure_injected;
using zktest::alloc_last_size;
using zktest::alloc_outstanding;

char kUntouchedText[] = "untouched";
void *const kUntouched = kUntouchedText;

// One operation: runs it storing through *out, returns its result.
struct Operation {
    const char *label;
    std::function<int(void **out)> run;
    size_t user_size;  // user area of the block handed out
};

char g_entry0[] = "VID=DGC";
char g_entry1[] = "PID=CLARiiON";
char *g_two[] = {g_entry0, g_entry1, nullptr};

std::vector<Operation> operations()
{
    return {
        {"nv_alloc",
         [](void **out) {
             void *block = nv_alloc(10);
             if (block == nullptr)
                 return -1;
             *out = block;
             return 0;
         },
         10},
        {"nv_set_value",
         [](void **out) { return nv_set_value(reinterpret_cast<char **>(out), " VID", "DGC"); },
         8},
        {"nv_set_mult_value",
         [](void **out) {
             return nv_set_mult_value(reinterpret_cast<char **>(out), "ATYPE", "A/P", "DGC", nullptr);
         },
         5 + 2 + 4 + 4},
        {"nv_append_value",
         [](void **out) {
             return nv_append_value(reinterpret_cast<char **>(out), " VID=DGC", "A/P", nullptr);
         },
         7 + 4 + 1},
        {"nv_get_name",
         [](void **out) { return nv_get_name(" VID =DGC", reinterpret_cast<char **>(out)); }, 4},
        {"nv_get_value",
         [](void **out) { return nv_get_value("VID=A/P,x", reinterpret_cast<char ***>(out)); },
         packed_size({"A/P", "x"})},
        {"nv_create_list",
         [](void **out) {
             return nv_create_list(reinterpret_cast<char ***>(out), "VID=DGC", "PID=CLARiiON", nullptr);
         },
         packed_size({"VID=DGC", "PID=CLARiiON"})},
        {"nv_append_list",
         [](void **out) {
             return nv_append_list(reinterpret_cast<char ***>(out), g_two, "ATYPE=A/P", nullptr);
         },
         packed_size({"VID=DGC", "PID=CLARiiON", "ATYPE=A/P"})},
    };
}

TEST(NvAllocFailure, EachAllocationFailsCleanly)
{
    for (const Operation &op : operations()) {
        for (bool keep_failing : {false, true}) {
            unsigned long runs = 0;
            unsigned long clean_calls = zktest::for_each_allocation_failure(
                [&](unsigned long n) {
                    ++runs;
                    void *out = kUntouched;
                    int result = op.run(&out);
                    bool injected = alloc_failure_injected();
                    long outstanding = alloc_outstanding();
                    alloc_disarm();
                    std::string label = std::string(op.label) + " failing call " + std::to_string(n);
                    if (injected) {
                        EXPECT_EQ(result, -1) << label;
                        EXPECT_EQ(out, kUntouched) << label;
                        EXPECT_EQ(outstanding, 0) << label;
                    } else {
                        EXPECT_GE(result, 0) << label;
                        EXPECT_EQ(outstanding, 1) << label;
                        nv_free(out);
                    }
                },
                keep_failing);
            EXPECT_EQ(clean_calls, 1u) << op.label;
            EXPECT_EQ(runs, 2u) << op.label;
        }
    }
}

TEST(NvAllocation, OneBlockOfHeaderPlusUserArea)
{
    for (const Operation &op : operations()) {
        zktest::alloc_arm(0);
        void *out = nullptr;
        int result = op.run(&out);
        unsigned long calls = alloc_calls();
        size_t size = alloc_last_size();
        alloc_disarm();
        EXPECT_GE(result, 0) << op.label;
        EXPECT_EQ(calls, 1u) << op.label;
        EXPECT_EQ(size, kGuardHeader + op.user_size) << op.label;
        nv_free(out);
    }
}

TEST(NvAllocation, FreeReleasesTheWholeBlock)
{
    char **list = nullptr;
    zktest::alloc_arm(0);
    int result = nv_create_list(&list, "a", "b", nullptr);
    long before = alloc_outstanding();
    nv_free(list);
    long after = alloc_outstanding();
    alloc_disarm();
    EXPECT_EQ(result, 2);
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 0);
}

TEST(NvAllocation, BrokenMarkerKeepsTheBlock)
{
    zktest::alloc_arm(0);
    char *block = static_cast<char *>(nv_alloc(4));
    block[-1] = '?';
    nv_free(block);
    long outstanding = alloc_outstanding();
    block[-1] = '@';
    nv_free(block);
    long after = alloc_outstanding();
    alloc_disarm();
    EXPECT_EQ(outstanding, 1);
    EXPECT_EQ(after, 0);
}

// ddlmsg allocates inside the C library (the file stream); when that
// fails, the message still comes out exactly once, on stderr or in the file.
TEST(NvAllocFailure, DdlmsgNeverLosesAMessage)
{
    TempDir dir;
    std::string path = dir.file("messages");
    ScopedEnv env("ZK_DEBUG_FILE", path.c_str());
    zktest::for_each_allocation_failure([&](unsigned long n) {
        alloc_disarm();
        unlink(path.c_str());
        StderrCapture capture;
        zktest::alloc_arm(n);
        ddlmsg(0, 0, "message %d\n", 7);
        long outstanding = alloc_outstanding();
        alloc_disarm();
        std::string both = capture.take() + read_file(path);
        EXPECT_EQ(both, "message 7\n") << "failing call " << n;
        EXPECT_EQ(outstanding, 0) << "failing call " << n;
    });
}

}  // namespace
}  // namespace zkfoundation
