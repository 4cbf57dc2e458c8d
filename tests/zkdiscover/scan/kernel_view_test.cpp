// The views beside the library's claims: the kernel's state of a path
// from a fake sysfs, the unit path report, and how the tree shows where
// they disagree.
#include "claim_groups.h"
#include "claims.h"
#include "kernel_view.h"

#include "fake_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zkdtest::TempDir;

// The kernel's state of a SCSI device from a fake sysfs: missing or odd
// attributes read as unknown, never as a failure.
TEST(KernelView, SysfsAttributesAndTheirOddities)
{
    struct Case {
        const char *dh_state, *access_state, *preferred;  // null: no file
        const char *text;
        int active;
    } cases[] = {
        {"emc\n", "active/optimized\n", "1\n", "kernel emc active/optimized preferred", 1},
        {"emc\n", "standby\n", "0\n", "kernel emc standby", 0},
        {"emc", "active/optimized (preferred)\n", nullptr, "kernel emc active/optimized", 1},
        {"detached\n", "active/optimized\n", "0\n", "kernel detached", -1},
        {nullptr, nullptr, nullptr, "kernel unknown", -1},
        {"", "standby\n", nullptr, "kernel unknown", -1},
        {"emc\x01\n", "standby\n", nullptr, "kernel unknown", -1},
        {"two words\n", "standby\n", nullptr, "kernel unknown", -1},
        {"emc\n", nullptr, "1\n", "kernel emc unknown preferred", -1},
        {"emc\n", "\xff\xfe\n", nullptr, "kernel emc unknown", -1},
    };
    TempDir sys;
    int n = 0;
    for (const Case &c : cases) {
        std::string address = "2:0:" + std::to_string(n++) + ":0";
        SCOPED_TRACE(c.text + std::string(" at ") + address);
        std::string dir = "bus/scsi/devices/" + address;
        sys.make_dir(dir);
        if (c.dh_state) sys.make_file(dir + "/dh_state", c.dh_state);
        if (c.access_state) sys.make_file(dir + "/access_state", c.access_state);
        if (c.preferred) sys.make_file(dir + "/preferred_path", c.preferred);
        zkd::KernelPathState s = zkd::read_kernel_state(sys.path(), address);
        EXPECT_EQ(s.text(), c.text);
        EXPECT_EQ(s.active(), c.active);
    }
    EXPECT_EQ(zkd::read_kernel_state(sys.path() + "/none", "9:9:9:9").text(), "kernel unknown");
}

// The library's owner, the unit's VPD 0xC0 and the kernel's access state:
// a path whose views differ is marked, with a line naming each view.
TEST(KernelView, DisagreementsAndTrespassedLuns)
{
    std::vector<unsigned char> page(96, 0);
    page[1] = 0xC0;
    page[4] = 2;
    page[5] = 1;  // default SP B
    page[8] = 0;
    zkd::UnitPathReport owned;
    ASSERT_TRUE(zkd::parse_unit_path_report(page, owned));
    EXPECT_FALSE(zkd::parse_unit_path_report(std::vector<unsigned char>(page.begin(), page.begin() + 40), owned));
    page[9] = 1;  // another page revision
    zkd::UnitPathReport ignored;
    EXPECT_FALSE(zkd::parse_unit_path_report(page, ignored));
    EXPECT_FALSE(ignored.read);

    struct Case {
        const char *what;
        bool library_owner;
        int lun_state;          // -1: no 0xC0
        const char *access;     // null: no kernel view
        const char *suffix, *explain;
    } cases[] = {
        {"all agree, owner", true, 2, "active/optimized", "  kernel emc active/optimized", ""},
        {"all agree, standby", false, 1, "standby", "  kernel emc standby", ""},
        {"stale kernel", false, 1, "active/optimized", "  kernel emc active/optimized  DISAGREE",
         "views disagree: library LUN_OWNER=N, VPD 0xC0 LUN state 1 (not owned by this SP), "
         "kernel access_state active/optimized"},
        {"unit moved", true, 1, nullptr, "  DISAGREE",
         "views disagree: library LUN_OWNER=Y, VPD 0xC0 LUN state 1 (not owned by this SP)"},
        {"no 0xC0, kernel unknown", true, -1, "unknown", "  kernel emc unknown", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zkd::DeviceResult d;
        d.outcome = zkd::Outcome::Claimed;
        d.properties = {{"LUN_OWNER", c.library_owner ? "Y" : "N"}};
        if (c.lun_state >= 0) {
            d.views.report = owned;
            d.views.report.lun_state = c.lun_state;
        }
        if (c.access)
            d.views.kernel = {true, "emc", c.access, false};
        EXPECT_EQ(zkd::path_views_text(d), c.suffix);
        EXPECT_EQ(zkd::disagreement_text(d), c.explain);
    }

    // A LUN owned by SP A whose default is SP B is trespassed.
    std::vector<zkd::DeviceResult> paths(2);
    for (int sp = 0; sp < 2; ++sp) {
        paths[sp].outcome = zkd::Outcome::Claimed;
        paths[sp].properties = {{"CAB_SERIAL_NO", "C"}, {"LUN_SERIAL_NO", "L"},
                                {"PORT_SERIAL_NO", sp ? "CB" : "CA"}, {"LUN_OWNER", sp ? "N" : "Y"}};
        paths[sp].views.report = owned;
        paths[sp].views.report.this_sp = sp;
        paths[sp].views.report.lun_state = sp ? 1 : 2;
    }
    std::vector<zkd::ArrayView> arrays = zkd::group_claims(paths);
    ASSERT_EQ(arrays.size(), 1u);
    EXPECT_EQ(zkd::lun_views_text(arrays[0].luns[0]), "  failover mode 0  trespassed (default SP B)");
    paths[0].views.report.default_sp = paths[1].views.report.default_sp = 0;
    EXPECT_EQ(zkd::lun_views_text(zkd::group_claims(paths)[0].luns[0]), "  failover mode 0");
}

}  // namespace

namespace {

// The failover mode from VPD 0xC0 byte 28, and the agreement rule by mode:
// in ALUA (4) the non-owner's active/non-optimized path agrees (the array
// forwards its I/O) and only active/optimized says owner; in the other
// modes any active state says owner, as before.
TEST(KernelView, FailoverModeAndAgreementByMode)
{
    struct Code {
        int code, mode;
        const char *lun_text;
    } codes[] = {
        {0x04, 1, "  failover mode 1 (PNR)"}, {0x06, 4, "  failover mode 4 (ALUA)"},
        {0x00, 0, "  failover mode 0"},       {0x08, 2, "  failover mode 2"},
        {0x0A, -1, "  failover code 0x0A"},
    };
    for (const Code &c : codes) {
        SCOPED_TRACE(c.code);
        std::vector<unsigned char> page(96, 0);
        page[1] = 0xC0;
        page[28] = static_cast<unsigned char>(c.code);
        std::vector<zkd::DeviceResult> paths(2);
        for (int sp = 0; sp < 2; ++sp) {
            paths[sp].outcome = zkd::Outcome::Claimed;
            paths[sp].properties = {{"CAB_SERIAL_NO", "C"}, {"LUN_SERIAL_NO", "L"},
                                    {"PORT_SERIAL_NO", sp ? "CB" : "CA"}};
            ASSERT_TRUE(zkd::parse_unit_path_report(page, paths[sp].views.report));
        }
        EXPECT_EQ(paths[0].views.report.failover_mode, c.mode);
        EXPECT_EQ(zkd::views_export(paths[0]).find("FAILOVER_MODE=" + std::to_string(c.mode)) !=
                      std::string::npos,
                  c.mode >= 0);
        zkd::LunView lun = zkd::group_claims(paths)[0].luns[0];
        EXPECT_EQ(zkd::lun_failover_mode(lun), c.mode);
        EXPECT_EQ(zkd::lun_views_text(lun), c.lun_text);
        paths[1].views.report.failover_code = c.code ^ 0x02;  // initiators registered apart
        lun = zkd::group_claims(paths)[0].luns[0];
        EXPECT_EQ(zkd::lun_failover_mode(lun), -1);
        EXPECT_EQ(zkd::lun_views_text(lun), "  failover mode differs by path");
    }

    struct Case {
        int mode;  // -1: no 0xC0
        bool owner;
        int lun_state;
        const char *access;
        bool agree;
    } cases[] = {
        {4, false, 1, "active/non-optimized", true},
        {4, true, 2, "active/optimized", true},
        {4, false, 1, "standby", true},
        {4, false, 1, "active/optimized", false},
        {4, true, 2, "active/non-optimized", false},
        {4, true, 2, "standby", false},
        {4, false, 2, "active/non-optimized", false},
        {1, false, 1, "active/non-optimized", false},
        {1, false, 1, "standby", true},
        {1, true, 2, "active/optimized", true},
        {1, true, 2, "active/non-optimized", true},
        {1, false, 1, "active/optimized", false},
        {0, false, 1, "active/non-optimized", false},
        {-1, false, 1, "active/non-optimized", false},
        {-1, true, 1, "active/optimized", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + (c.owner ? " owner " : " other ") +
                     std::to_string(c.lun_state) + " " + c.access);
        zkd::DeviceResult d;
        d.outcome = zkd::Outcome::Claimed;
        d.properties = {{"LUN_OWNER", c.owner ? "Y" : "N"}};
        if (c.mode >= 0) {
            d.views.report.read = true;
            d.views.report.lun_state = c.lun_state;
            d.views.report.failover_mode = c.mode;
        }
        d.views.kernel = {true, c.mode == 4 ? "alua" : "emc", c.access, false};
        EXPECT_EQ(zkd::views_agree(d), c.agree);
        EXPECT_EQ(zkd::path_views_text(d).find("DISAGREE") == std::string::npos, c.agree);
        EXPECT_EQ(zkd::disagreement_text(d).empty(), c.agree);
    }
}

}  // namespace
