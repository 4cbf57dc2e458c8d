// libzksim.so preloaded under a program that knows nothing of it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

bool cannot_run_here() {
#if defined(ZK_EMULATED) || defined(ZKSIM_CROSS_TARGET)
    return true;
#else
    return std::getenv("ZK_EMULATED") != nullptr;
#endif
}

std::string run(const std::string &config_text, const std::string &args) {
    std::string config = "/tmp/zksim_preload_" + std::to_string(getpid()) + ".sim";
    std::ofstream(config) << config_text;
    std::string command = "LD_PRELOAD=" ZKSIM_PRELOAD_LIBRARY " ZKSIM_CONFIG=" + config + " " +
                          ZKSIM_PRELOAD_PROBE " " + args + " 2>&1";
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
    if (cannot_run_here()) GTEST_SKIP() << "LD_PRELOAD of a build-machine object: not on a cross target";
    std::string out = run("unit /dev/sim/sdx\n cab_serial CKM0001\n"
                          "unit /dev/sim/sdy\n fault open EACCES\n",
                          "/dev/sim/sdx /dev/sim/sdy /dev/sim/none");
    EXPECT_EQ(out, "/dev/sim/sdx: serial CKM0001\n"
                   "/dev/sim/sdy: failed errno " + std::to_string(EACCES) + "\n"
                   "/dev/sim/none: failed errno " + std::to_string(ENOENT) + "\n"
                   "real file: ok\n");
}

TEST(Preload, BadDescriptionIsReportedAndNothingIsSimulated) {
    if (cannot_run_here()) GTEST_SKIP() << "LD_PRELOAD of a build-machine object: not on a cross target";
    std::string out = run("unit /dev/sim/sdx\n colour red\n", "/dev/sim/sdx");
    EXPECT_NE(out.find("zksim: ZKSIM_CONFIG="), std::string::npos) << out;
    EXPECT_NE(out.find(": line 2: unknown keyword 'colour'\n"), std::string::npos) << out;
    EXPECT_NE(out.find("/dev/sim/sdx: failed errno " + std::to_string(ENOENT)), std::string::npos) << out;
}

}  // namespace
