// Every allocation of INQUIRY and MODE SENSE failed in turn, once and for
// good: result 12, nothing left allocated, the descriptor closed, the
// out-parameters as documented, and "malloc failed for inquiry buffer" on
// stdout for the exact INQUIRY buffer alone.
//
// The device is the stand-in of standin_device.h rather than the
// simulator, because the simulator allocates while it answers: its blocks
// would be counted, and failing them would fail it instead of the library.
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scsi_test_support.h"
#include "standin_device.h"
#include "test_allocator.h"
#include "zkDGCclariion.h"

namespace {

using zkscsi_test::StdoutCapture;

unsigned char g_sentinel_byte;
unsigned char *const kUntouchedBuffer = &g_sentinel_byte;
constexpr int kUntouchedLength = -777;

using Operation = int (*)(int *, unsigned char **);

int inquiry_vpd(int *length, unsigned char **buffer)
{
    return do_inquiry(kDevicePath, 1, 0x80, O_RDONLY | O_NDELAY, length, buffer);
}

int inquiry_standard(int *length, unsigned char **buffer)
{
    return do_inquiry(kDevicePath, 0, 0, O_RDONLY, length, buffer);
}

int mode_sense_raw(int *length, unsigned char **buffer)
{
    return do_mode_sense_raw(kDevicePath, 1, 0, 0x26, length, buffer);
}

int mode_sense_pages(int *length, unsigned char **buffer)
{
    return do_mode_sense(kDevicePath, 1, 0, 0x26, length, buffer);
}

enum class OnFailure {
    kLengthMayChange,      // do_inquiry: length out carries no meaning
    kBothUntouched,        // do_mode_sense_raw
    kPageCopyNullsBuffer,  // do_mode_sense: buffer null when the copy fails
};

struct Site {
    int commands_before;  // commands sent before this allocation
    bool prints_message;  // "malloc failed for inquiry buffer\n"
};

struct Case {
    const char *name;
    Operation operation;
    int clean_length;
    OnFailure on_failure;
    std::vector<Site> sites;  // every allocation, in order
};

TEST(AllocationFailure, EverySiteReleasesWhatWasTakenAndReturns12)
{
    ASSERT_TRUE(g_resolved);
    // Allocation order: request record, CDB area, first-pass buffer (these
    // before any command), exact buffer after the first pass, and for
    // do_mode_sense the page copy after the second.
    const Case cases[] = {
        {"do_inquiry, VPD page", inquiry_vpd, 14, OnFailure::kLengthMayChange,
         {{0, false}, {0, false}, {0, false}, {1, true}}},
        {"do_inquiry, standard data", inquiry_standard, 36, OnFailure::kLengthMayChange,
         {{0, false}, {0, false}, {0, false}, {1, true}}},
        {"do_mode_sense_raw", mode_sense_raw, 20, OnFailure::kBothUntouched,
         {{0, false}, {0, false}, {0, false}, {1, false}}},
        {"do_mode_sense", mode_sense_pages, 8, OnFailure::kPageCopyNullsBuffer,
         {{0, false}, {0, false}, {0, false}, {1, false}, {2, false}}},
    };
    for (const Case &c : cases) {
        for (bool keep_failing : {false, true}) {
            for (unsigned long n = 1; n <= c.sites.size() + 1; ++n) {
                SCOPED_TRACE(testing::Message() << c.name << ", allocation " << n
                                                << (keep_failing ? " and after" : " alone"));
                g_device = Device{};
                int length = kUntouchedLength;
                unsigned char *buffer = kUntouchedBuffer;
                StdoutCapture capture;
                ASSERT_TRUE(capture.start());

                zktest::alloc_arm(n, keep_failing);
                int result = c.operation(&length, &buffer);
                long outstanding = zktest::alloc_outstanding();
                bool injected = zktest::alloc_failure_injected();
                unsigned long calls = zktest::alloc_calls();
                zktest::alloc_disarm();

                std::string printed = capture.finish();
                EXPECT_EQ(g_device.opens, 1);
                EXPECT_EQ(g_device.closes, 1) << "the descriptor must be closed";

                if (n > c.sites.size()) {
                    // The clean run: every allocation seen, one block handed over.
                    EXPECT_FALSE(injected);
                    EXPECT_EQ(calls, c.sites.size());
                    ASSERT_EQ(result, 0);
                    EXPECT_EQ(outstanding, 1);
                    EXPECT_EQ(length, c.clean_length);
                    EXPECT_EQ(printed, "");
                    EXPECT_EQ(g_device.commands, 2);
                    free(buffer);
                    continue;
                }

                const Site &site = c.sites[n - 1];
                EXPECT_TRUE(injected);
                EXPECT_EQ(calls, n) << "nothing is allocated after a failed allocation";
                EXPECT_EQ(result, 12);
                EXPECT_EQ(outstanding, 0) << "a block stayed allocated";
                EXPECT_EQ(g_device.commands, site.commands_before);
                EXPECT_EQ(printed, site.prints_message ? "malloc failed for inquiry buffer\n" : "");
                bool page_copy = c.on_failure == OnFailure::kPageCopyNullsBuffer &&
                                 n == c.sites.size();
                EXPECT_EQ(buffer, page_copy ? nullptr : kUntouchedBuffer);
                if (c.on_failure != OnFailure::kLengthMayChange) {
                    EXPECT_EQ(length, kUntouchedLength);
                }
            }
        }
    }
}

}  // namespace
