// Allocation failures at every site of a claim. Uses the test allocator, so
// it runs in normal builds and under valgrind, not under the sanitizers.
#include "claim_support.h"
#include "claim_trace_log.h"
#include "test_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace claimtest;

namespace {

// The failure texts in the order of the steps that can run out of memory.
const std::vector<std::string> kFailureTexts = {
    "V10 claim_device: can't get SP Report Mode Page",
    "V10 claim_device: can't get Unit Conf Mode Page",
    "V10 claim_device: can't get Dev ID VPD Page",
    "V10 claim_device: can't get Unit SN VPD Page",
    "V10 claim_device: nv_set_value(CAB_SERIAL_NO) fails",
    "V10 claim_device: nv_set_value(LUN_SERIAL_NO) fails",
    "V10 claim_device: nv_set_value(REVISION) fails",
    "V10 claim_device: nv_set_value(SCSI_VERSION) fails",
    "V10 claim_device: nv_set_value(LUN_OWNER) fails",
    "V10 claim_device: nv_set_value(PORT_SERIAL_NO) fails",
    "V10 claim_device: nv_create_list() fails \n",
};

// The failure text of a traced claim: from "V10" up to the result line.
std::string failure_text(const std::string &log)
{
    const std::string result = std::string(kDefaultPath) + " : retval -1  \n";
    size_t begin = log.find("V10 claim_device: ");
    if (begin == std::string::npos || log.size() < result.size() ||
        log.compare(log.size() - result.size(), result.size(), result) != 0)
        return "(no failure text) " + log;
    return log.substr(begin, log.size() - result.size() - begin);
}

TEST(ClaimAllocFailure, EverySiteFailsTheClaimReleasesAllAndStoresNothing)
{
    zksim_reset();
    ASSERT_EQ(load_units({UnitDef{}}), "");
    zksim_set_recording(0);
    TraceLog log;
    auto inq = make_inquiry();
    device_entry entry = make_entry(kDefaultPath, inq.data());
    // One claim unarmed first: the simulator and the C library set up what
    // they keep for the whole run, which is no allocation of a claim.
    char **warm_up = nullptr;
    ASSERT_EQ(claim_device(&entry, &warm_up), ZK_CLAIMED);
    nv_free(warm_up);

    for (bool keep_failing : {false, true}) {
        SCOPED_TRACE(keep_failing ? "keep failing" : "fail once");
        std::vector<bool> seen(kFailureTexts.size(), false);
        size_t last_step = 0;
        unsigned long clean_calls = zktest::for_each_allocation_failure(
            [&](unsigned long n) {
                log.clear();
                char *sentinel[1] = {nullptr};
                char **list = sentinel;
                int result = claim_device(&entry, &list);
                long outstanding = zktest::alloc_outstanding();
                zktest::alloc_disarm();
                if (!zktest::alloc_failure_injected()) {
                    EXPECT_EQ(result, ZK_CLAIMED) << log.contents();
                    if (result == ZK_CLAIMED)
                        nv_free(list);
                    return;
                }
                SCOPED_TRACE("allocation " + std::to_string(n));
                EXPECT_EQ(result, ZK_CLAIM_FAILED);
                EXPECT_EQ(list, sentinel) << "list stored on failure";
                EXPECT_EQ(outstanding, 0) << "blocks leaked";
                EXPECT_EQ(zksim_open_descriptors(), 0) << "descriptor left open";
                std::string text = failure_text(log.contents());
                auto at = std::find(kFailureTexts.begin(), kFailureTexts.end(), text);
                ASSERT_NE(at, kFailureTexts.end()) << text;
                size_t step = static_cast<size_t>(at - kFailureTexts.begin());
                EXPECT_GE(step, last_step) << "steps out of order: " << text;
                last_step = step;
                seen[step] = true;
            },
            keep_failing);
        // Four per page read (request, CDB, probe and exact buffers), one
        // per pair and one for the list.
        EXPECT_EQ(clean_calls, 4 * 4 + 6 + 1u);
        for (size_t i = 0; i < seen.size(); ++i)
            EXPECT_TRUE(seen[i]) << "never failed at: " << kFailureTexts[i];
    }
    zksim_reset();
}

}  // namespace
