// libzksim.so preloaded under a program that knows nothing of it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// On a cross target the probe is started through the emulator, which is a
// dynamic program of the build machine itself: the probe's environment goes
// in QEMU_SET_ENV so that only the probe gets the simulator preloaded.
const char *target_emulator() {
    const char *emulator = std::getenv("ZK_TARGET_EMULATOR");
    return emulator != nullptr && *emulator != '\0' ? emulator : nullptr;
}

bool cannot_run_here() {
#if defined(ZK_EMULATED) || defined(ZKSIM_CROSS_TARGET)
    return target_emulator() == nullptr;
#else
    return false;
#endif
}

std::string run(const std::string &config_text, const std::string &args) {
    std::string config = "/tmp/zksim_preload_" + std::to_string(getpid()) + ".sim";
    std::ofstream(config) << config_text;
    std::string environment = "LD_PRELOAD=" ZKSIM_PRELOAD_LIBRARY " ZKSIM_CONFIG=" + config;
    if (const char *emulator = target_emulator())
        environment = "QEMU_SET_ENV=LD_PRELOAD=" ZKSIM_PRELOAD_LIBRARY ",ZKSIM_CONFIG=" + config +
                      " " + emulator;
    std::string command = environment + " " ZKSIM_PRELOAD_PROBE " " + args + " 2>&1";
    std::string output;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) output += buf;
        pclose(p);
    }
    unlink(config.c_str());
    return output;
}

TEST(Preload, ProgramSeesSimulatedUnitsAndRealFiles) {
    if (cannot_run_here()) GTEST_SKIP() << "cross target without ZK_TARGET_EMULATOR: no way to start the probe";
    std::string out = run("unit /dev/sim/sdx\n cab_serial CKM0001\n"
                          "unit /dev/sim/sdy\n fault open EACCES\n",
                          "/dev/sim/sdx /dev/sim/sdy /dev/sim/none");
    EXPECT_EQ(out, "/dev/sim/sdx: serial CKM0001\n"
                   "/dev/sim/sdy: failed errno " + std::to_string(EACCES) + "\n"
                   "/dev/sim/none: failed errno " + std::to_string(ENOENT) + "\n"
                   "real file: ok\n");
}

TEST(Preload, BadDescriptionIsReportedAndNothingIsSimulated) {
    if (cannot_run_here()) GTEST_SKIP() << "cross target without ZK_TARGET_EMULATOR: no way to start the probe";
    std::string out = run("unit /dev/sim/sdx\n colour red\n", "/dev/sim/sdx");
    EXPECT_NE(out.find("zksim: ZKSIM_CONFIG="), std::string::npos) << out;
    EXPECT_NE(out.find(": line 2: unknown keyword 'colour'\n"), std::string::npos) << out;
    EXPECT_NE(out.find("/dev/sim/sdx: failed errno " + std::to_string(ENOENT)), std::string::npos) << out;
}

}  // namespace
