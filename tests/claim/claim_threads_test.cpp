// Claims from several threads at once, each on its own simulated unit, give
// the lists sequential claims give. The trace log is absent throughout.
// ZK_CLAIM_THREAD_CLAIMS sets the claims per thread (default 1000, or 100
// under emulation).
#include "claim_support.h"
#include "claim_trace_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

using namespace claimtest;

namespace {

constexpr int kThreads = 8;

unsigned long claims_per_thread()
{
    if (const char *text = getenv("ZK_CLAIM_THREAD_CLAIMS"))
        return strtoul(text, nullptr, 10);
#ifdef ZK_EMULATED
    return 100;
#else
    return 1000;
#endif
}

// Units that differ in every property, so a list handed to the wrong
// thread cannot match.
std::vector<UnitDef> distinct_units()
{
    std::vector<UnitDef> units;
    for (int i = 0; i < kThreads; ++i) {
        UnitDef unit;
        unit.path = "/dev/zkclaim/c" + std::to_string(i) + "t0d0s2";
        unit.sp = static_cast<unsigned>(i % 2);
        unit.lun = static_cast<unsigned>(i);
        unit.owner = static_cast<unsigned>(i % 3);
        unit.cab_serial = "\"CK" + std::to_string(2000 + i) + "\"";
        unit.lun_id = (i % 2) ? "\"LUNID-ASCII-000" + std::to_string(i) + "\""
                              : "hex:60060160 00000000 000000" +
                                    std::to_string(10 + i) + " 00000000";
        units.push_back(unit);
    }
    return units;
}

std::vector<std::string> claim_once(const device_entry &entry, int *result)
{
    char **list = nullptr;
    *result = claim_device(&entry, &list);
    if (*result != ZK_CLAIMED)
        return {};
    std::vector<std::string> strings = list_strings(list);
    nv_free(list);
    return strings;
}

TEST(ClaimThreads, ConcurrentClaimsMatchSequentialOnes)
{
    remove_trace_log();
    zksim_reset();
    std::vector<UnitDef> units = distinct_units();
    ASSERT_EQ(load_units(units), "");
    zksim_set_recording(0);
    auto inq = make_inquiry();
    std::vector<device_entry> entries;
    std::vector<std::vector<std::string>> expected;
    for (const UnitDef &unit : units) {
        entries.push_back(make_entry(unit.path, inq.data()));
        int result = -2;
        expected.push_back(claim_once(entries.back(), &result));
        ASSERT_EQ(result, ZK_CLAIMED) << unit.path;
    }
    for (int i = 1; i < kThreads; ++i)
        ASSERT_NE(expected[i], expected[0]);

    const unsigned long claims = claims_per_thread();
    std::atomic<unsigned long> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned long i = 0; i < claims; ++i) {
                int result = -2;
                if (claim_once(entries[t], &result) != expected[t] ||
                    result != ZK_CLAIMED)
                    ++mismatches;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    EXPECT_EQ(mismatches.load(), 0u);
    EXPECT_EQ(zksim_open_descriptors(), 0);
    EXPECT_FALSE(trace_log_exists()) << "a claim created the trace log";
    zksim_reset();
}

}  // namespace
