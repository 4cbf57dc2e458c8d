// Claims from several threads at once, each on its own simulated unit, give
// the lists sequential claims give: with the trace log absent throughout,
// and with the log coming and going while the host works on its own files.
// ZK_CLAIM_THREAD_CLAIMS sets the claims per thread (default 1000, or 100
// under emulation).
#include "../foundation/foundation_test_util.h"
#include "claim_support.h"
#include "claim_trace_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
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

// A host that peeks at the exported descriptor as the plain int its header
// declares. The library's own accesses are atomic; this read is the host's,
// and the ThreadSanitizer stage suppresses it by this function's name.
__attribute__((noinline)) bool host_peeks_at_DbgFd()
{
    return DbgFd >= 0;
}

TEST(ClaimThreads, LogComesAndGoesWhileTheHostWorksOnItsOwnFiles)
{
    using Clock = std::chrono::steady_clock;
    remove_trace_log();
    zksim_reset();
    // Four units claimed, and one for each way of not claiming or failing.
    std::vector<UnitDef> units = distinct_units();
    units[5].flags = 0x40;  // auto-trespass off
    units[6].model = 7624;  // a refused model
    units[7].extra = "  fault command * errno EIO\n";
    auto dgc = make_inquiry();
    auto seagate = make_inquiry("SEAGATE");
    const int results[kThreads] = {ZK_CLAIMED,     ZK_CLAIMED,     ZK_CLAIMED,
                                   ZK_CLAIMED,     ZK_NOT_CLAIMED, ZK_NOT_CLAIMED,
                                   ZK_NOT_CLAIMED, ZK_CLAIM_FAILED};
    ASSERT_EQ(load_units(units), "");
    zksim_set_recording(0);
    std::vector<device_entry> entries;
    std::vector<std::vector<std::string>> expected;
    for (int t = 0; t < kThreads; ++t) {
        entries.push_back(make_entry(units[t].path, t == 4 ? seagate.data() : dgc.data()));
        int result = -2;
        expected.push_back(claim_once(entries.back(), &result));
        ASSERT_EQ(result, results[t]) << units[t].path;
    }

    // Each log created must see trace before it is removed again; claims go
    // on until every cycle has run.
    const int cycles = claims_per_thread() >= 1000 ? 20 : 5;
    const unsigned long claims = claims_per_thread() / 5;
    std::atomic<bool> cycles_done{false};
    std::atomic<int> claimers_left{kThreads};
    std::atomic<unsigned long> wrong_claims{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            char *unset[1] = {nullptr};  // must still be there when nothing is stored
            for (unsigned long i = 0; i < claims || !cycles_done; ++i) {
                char **list = unset;
                int result = claim_device(&entries[t], &list);
                if (result != results[t] ||
                    (result == ZK_CLAIMED ? list_strings(list) != expected[t] : list != unset))
                    ++wrong_claims;
                if (result == ZK_CLAIMED)
                    nv_free(list);
            }
            --claimers_left;
        });

    using zkfoundation::read_file;
    const std::string host_text = "HOST-DATA 0123456789abcdef\n";
    int traced_cycles = 0;
    std::string host_bytes_in_log;
    threads.emplace_back([&] {
        for (int cycle = 0; cycle < cycles; ++cycle) {
            close(open(kTraceLogPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            std::string log;
            for (auto until = Clock::now() + std::chrono::seconds(5);
                 log.empty() && Clock::now() < until; log = read_file(kTraceLogPath))
                usleep(200);
            unlink(kTraceLogPath);
            traced_cycles += !log.empty();
            if (log.find("HOST") != std::string::npos)
                host_bytes_in_log = log;
            usleep(200);
        }
        cycles_done = true;
    });

    // The host: four files rewritten and read back in turn.
    zkfoundation::TempDir dir;
    std::string written[4];
    unsigned long host_rounds = 0, host_mismatches = 0, host_saw_tracing = 0;
    for (; claimers_left > 0; ++host_rounds) {
        std::string path = dir.file(std::to_string(host_rounds % 4));
        written[host_rounds % 4] = host_text + std::to_string(host_rounds);
        zkfoundation::write_file(path, written[host_rounds % 4]);
        host_mismatches += read_file(path) != written[host_rounds % 4];
        host_saw_tracing += host_peeks_at_DbgFd();
    }
    for (std::thread &thread : threads)
        thread.join();
    for (size_t file = 0; file < 4; ++file)
        host_mismatches += read_file(dir.file(std::to_string(file))) != written[file];

    EXPECT_EQ(wrong_claims.load(), 0u);
    EXPECT_EQ(traced_cycles, cycles);
    EXPECT_EQ(host_bytes_in_log, "");
    EXPECT_GT(host_rounds, 0u);
    EXPECT_EQ(host_mismatches, 0u);
    EXPECT_EQ(zksim_open_descriptors(), 0);
    EXPECT_FALSE(trace_log_exists());
    RecordProperty("host_rounds_with_tracing_on", std::to_string(host_saw_tracing));
    remove_trace_log();
    zksim_reset();
}

}  // namespace
