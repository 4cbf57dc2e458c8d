// Finding a TCMU device's uio node and its map size in a sysfs tree.
#include "uio_device.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zktcmu-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        mkdir((root_ + "/class").c_str(), 0755);
        mkdir((root_ + "/class/uio").c_str(), 0755);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    void add(const std::string &uio, const std::string &name, const std::string &size = "") {
        std::string dir = root_ + "/class/uio/" + uio;
        mkdir(dir.c_str(), 0755);
        std::ofstream(dir + "/name") << name << "\n";
        if (!size.empty()) {
            mkdir((dir + "/maps").c_str(), 0755);
            mkdir((dir + "/maps/map0").c_str(), 0755);
            std::ofstream(dir + "/maps/map0/size") << size << "\n";
        }
    }
    std::string root_;
};

TEST_F(FakeSysfs, FindsTheUioDeviceByTheTcmuName) {
    add("uio0", "tcm-user/1/spa/zksim/spa");
    add("uio1", "tcm-user/1/spb/zksim//dev/tcmu/spb");
    add("uio2", "tcm-user/3/noat");            // no configuration part
    add("uio3", "tcm-user/1/spab/zksim");      // a name that starts like another
    add("uio4", "other-driver/1/spc/x");       // not TCMU
    add("uio5", "tcm-user/x/spd/zksim");       // not an HBA number
    add("uio6", "tcm-user//spe/zksim");        // no HBA number
    add("uio7", "tcm-user/1/dup/a");
    add("uio8", "tcm-user/2/dup/b");

    struct Case {
        const char *name;
        const char *expected;  // "" = not found
    } cases[] = {
        {"spa", "uio0"}, {"spb", "uio1"}, {"noat", "uio2"}, {"spab", "uio3"},
        {"sp", ""},      {"spc", ""},     {"spd", ""},      {"spe", ""},
        {"dup", ""},     {"", ""},        {"zksim", ""},
    };
    for (const auto &c : cases) {
        std::string error;
        std::string found = zktcmu::find_uio_for_tcmu(root_, c.name, &error);
        EXPECT_EQ(found, c.expected) << c.name;
        EXPECT_EQ(error.empty(), *c.expected != '\0') << c.name << ": " << error;
    }
}

TEST_F(FakeSysfs, ReadsTheMapSize) {
    struct Case {
        const char *text;
        size_t expected;
    } cases[] = {
        {"0x0000000001001000", 0x1001000},
        {"0x2000", 0x2000},
        {"2000", 0x2000},  // the kernel writes 0x, but hex either way
        {"0x0", 0},
        {"", 0},
        {"0x10 junk", 0},
        {"0xffffffffffffffffff", 0},
    };
    int n = 0;
    for (const auto &c : cases) {
        std::string uio = "uio" + std::to_string(n++);
        add(uio, "tcm-user/1/x/y", c.text[0] ? c.text : " ");
        std::string error;
        EXPECT_EQ(zktcmu::uio_map_size(root_, uio, &error), c.expected) << c.text;
        EXPECT_EQ(error.empty(), c.expected != 0) << c.text;
    }
    std::string error;
    EXPECT_EQ(zktcmu::uio_map_size(root_, "uio99", &error), 0u);
    EXPECT_FALSE(error.empty());
}

}  // namespace
