// A host as the volume manager is one: it loads the shared object at run
// time, binds the entry points by name, claims a (simulated) unit, walks the
// list as a plain char ** array and releases it with nv_free.
#include "../foundation/foundation_test_util.h"
#include "claim_support.h"
#include "claim_trace_log.h"
#include "format_counter.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

using namespace claimtest;

namespace {

using VendorInfoFn = void (*)(const char ***);
using ClaimDeviceFn = int (*)(const device_entry *, char ***);
using NvFreeFn = void (*)(void *);
using CloseLogFn = void (*)();

class Host : public ::testing::Test {
protected:
    void SetUp() override
    {
        handle_ = dlopen(ZK_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    void TearDown() override
    {
        unlink(kTraceLogPath);
        if (handle_ != nullptr) {
            bind<CloseLogFn>("CloseDbgTempFile")();
            dlclose(handle_);
        }
        zksim_reset();
    }

    template <typename T>
    T bind(const char *name)
    {
        void *symbol = dlsym(handle_, name);
        EXPECT_NE(symbol, nullptr) << name << ": " << dlerror();
        return reinterpret_cast<T>(symbol);
    }

    void *handle_ = nullptr;
};

TEST_F(Host, BindsByNameClaimsAndReleasesTheList)
{
    auto lib_version = bind<const int *>("_lib_version");
    auto vendor_info_fn = bind<VendorInfoFn>("vendor_info");
    auto claim_fn = bind<ClaimDeviceFn>("claim_device");
    auto nv_free_fn = bind<NvFreeFn>("nv_free");
    ASSERT_TRUE(lib_version && vendor_info_fn && claim_fn && nv_free_fn);

    EXPECT_EQ(*lib_version, 1);
    const char **info = nullptr;
    vendor_info_fn(&info);
    ASSERT_NE(info, nullptr);
    std::vector<std::string> identification;
    for (const char **p = info; *p != nullptr; ++p)
        identification.emplace_back(*p);
    EXPECT_EQ(identification, (std::vector<std::string>{
                                  "VID=DGC", "PID=CLARiiON", "ATYPE=A/P",
                                  "ANAME=EMC_CLARiiON"}));

    ASSERT_EQ(load_units({UnitDef{}}), "");
    auto inq = make_inquiry();
    device_entry entry = make_entry(kDefaultPath, inq.data());
    char **list = nullptr;
    ASSERT_EQ(claim_fn(&entry, &list), 0);
    ASSERT_NE(list, nullptr);

    std::vector<std::string> walked;
    for (char **slot = list; *slot != nullptr; ++slot)
        walked.emplace_back(*slot);
    EXPECT_EQ(walked, default_list());
    nv_free_fn(list);
    EXPECT_EQ(zksim_open_descriptors(), 0);
}

// This host defines no xDbgPrint: with no log, the claim formats no message
// (the library's own xDbgPrint would drop it) and leaves no file; with the
// log, the log receives the whole trace.
TEST_F(Host, FormatsTheTraceOnlyWhenTheLogExists)
{
    auto claim_fn = bind<ClaimDeviceFn>("claim_device");
    auto nv_free_fn = bind<NvFreeFn>("nv_free");
    ASSERT_TRUE(claim_fn && nv_free_fn);
    ASSERT_EQ(load_units({UnitDef{}}), "");
    auto inq = make_inquiry();
    device_entry entry = make_entry(kDefaultPath, inq.data());

    for (bool log_present : {false, true}) {
        SCOPED_TRACE(log_present ? "log" : "no log");
        unlink(kTraceLogPath);
        if (log_present)
            std::ofstream{kTraceLogPath};
        char **list = nullptr;
        int result = -2;
        int formats = count_formats([&] { result = claim_fn(&entry, &list); });
        ASSERT_EQ(result, ZK_CLAIMED);
        nv_free_fn(list);
        EXPECT_EQ(formats > 0, log_present) << formats << " messages formatted";
        EXPECT_EQ(trace_log_text(), log_present ? default_claim_log() : "");
        EXPECT_EQ(access(kTraceLogPath, F_OK) == 0, log_present);
    }
}

// A host that reloads the library (dlopen, a claim with the log present,
// dlclose) 100 times: each unload closes the library's log descriptor and
// takes its fork handler along, so a later fork runs no unloaded code.
TEST(Reload, UnloadingLeavesNoDescriptorAndNoForkHandler)
{
    ASSERT_EQ(load_units({UnitDef{}}), "");
    auto inq = make_inquiry();
    device_entry entry = make_entry(kDefaultPath, inq.data());
    std::ofstream{kTraceLogPath};
    for (int round = 0; round < 100; ++round) {
        void *library = dlopen(ZK_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        char **list = nullptr;
        auto claim = reinterpret_cast<ClaimDeviceFn>(dlsym(library, "claim_device"));
        ASSERT_EQ(claim(&entry, &list), ZK_CLAIMED);
        reinterpret_cast<NvFreeFn>(dlsym(library, "nv_free"))(list);
        dlclose(library);
        ASSERT_EQ(dlopen(ZK_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "not unloaded";
    }
    EXPECT_EQ(zkfoundation::count_descriptors_to(kTraceLogPath), 0);
    EXPECT_NE(zkfoundation::read_file(kTraceLogPath).find(" : retval 0  (Claimed)\n"),
              std::string::npos);
    unlink(kTraceLogPath);
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    zksim_reset();
}

}  // namespace
