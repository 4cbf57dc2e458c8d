// A host that defines its own xDbgPrint receives every trace message of a
// claim, formatted byte for byte and in order, whether the trace log exists
// or not: the library's calls reach the host's function by name. The host
// loads the library with dlopen, as a discovery layer does.
#include "claim_support.h"
#include "claim_trace_log.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <fstream>

using namespace claimtest;

namespace {

using Trace = std::vector<std::pair<int, std::string>>;
Trace g_received;

}  // namespace

extern "C" void xDbgPrint(int level, const char *text)
{
    g_received.emplace_back(level, text);
}

namespace {

TEST(PrintHost, ReceivesEveryMessageWhetherTheLogExistsOrNot)
{
    void *library = dlopen(ZK_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto claim_fn = reinterpret_cast<int (*)(const device_entry *, char ***)>(
        dlsym(library, "claim_device"));
    auto nv_free_fn = reinterpret_cast<void (*)(void *)>(dlsym(library, "nv_free"));
    auto close_log = reinterpret_cast<void (*)()>(dlsym(library, "CloseDbgTempFile"));
    ASSERT_TRUE(claim_fn && nv_free_fn && close_log);

    const std::string p = kDefaultPath;
    const std::string head = "\nclaim_device for " + p + "\n";
    const std::string match = "DGC inquiry match : trying to claim: " + p + "\n";
    const struct {
        const char *name;
        const char *vendor;
        const char *extra;
        Trace trace;
    } rows[] = {
        {"claimed", "DGC", "", default_claim_trace()},
        {"not DGC", "SEAGATE", "",
         {{2, head}, {2, "not claiming: " + p + "\n\n"}, {1, p + " : retval 1  "}, {1, "\n"}}},
        {"SP Report fails", "DGC", "  fault command 1 errno EIO\n",
         {{2, head},
          {2, match},
          {2, "V10 claim_device: can't get SP Report Mode Page"},
          {1, p + " : retval -1  "},
          {1, "\n"}}},
    };
    for (const auto &row : rows) {
        for (bool log_present : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (log_present ? ", log" : ", no log"));
            UnitDef unit;
            unit.extra = row.extra;
            ASSERT_EQ(load_units({unit}), "");
            auto inq = make_inquiry(row.vendor);
            device_entry entry = make_entry(p, inq.data());
            unlink(kTraceLogPath);
            if (log_present)
                std::ofstream{kTraceLogPath};
            g_received.clear();
            char **list = nullptr;
            if (claim_fn(&entry, &list) == ZK_CLAIMED)
                nv_free_fn(list);
            EXPECT_EQ(g_received, row.trace);
            // The host's function took every message; the library's own
            // wrote none of them.
            EXPECT_EQ(trace_log_text(), "");
        }
    }
    close_log();
    unlink(kTraceLogPath);
    dlclose(library);
    zksim_reset();
}

}  // namespace
