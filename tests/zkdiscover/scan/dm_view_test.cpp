// The multipath layer's view: the multipath target's status line parsed,
// a path's map found through a fake sysfs with a fake status reader, and
// the view as the tree, the export lines and the metrics show it.
#include "claims.h"
#include "dm_view.h"
#include "metrics.h"

#include "fake_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using zkd::DmState;
using zkdtest::TempDir;

// Status lines as the kernel writes them, and lines that are not one.
TEST(DmView, MultipathStatusLines)
{
    struct Case {
        const char *status;
        bool ok;
        std::string groups;  // per group "STATE:dev/A|F/fails,..." joined by " "
    } cases[] = {
        // emc handler, round-robin (no per-path info), SP A's group active
        {"2 0 0 0 2 1 A 0 1 0 8:16 A 0 E 0 1 0 8:32 A 0 ", true, "A:8:16/A/0 E:8:32/A/0"},
        // after failover: group 1 bypassed, its path failed three times
        {"2 1 0 0 2 2 D 0 1 0 8:16 F 3 A 0 1 0 8:32 A 0", true, "D:8:16/F/3 A:8:32/A/0"},
        // service-time: two info words per path; two paths in one group
        {"2 0 0 0 1 1 A 0 2 2 8:16 A 0 0 1 65:0 F 1 0 1", true, "A:8:16/A/0,65:0/F/1"},
        // a handler and a selector with status words of their own
        {"2 0 1 1 emc 1 1 E 1 x 1 1 253:7 A 12 q", true, "E:253:7/A/12"},
        {"2 0 0 0 0 0", true, ""},
        {"", false, ""},
        {"2 0 0 0 2 1 A 0 1 0 8:16 A 0", false, ""},            // a group missing
        {"2 0 0 0 1 1 X 0 1 0 8:16 A 0", false, ""},            // no such group state
        {"2 0 0 0 1 1 A 0 1 0 8:16 Y 0", false, ""},            // no such path state
        {"2 0 0 0 1 1 A 0 1 0 sdb A 0", false, ""},             // not major:minor
        {"2 0 0 0 1 1 A 0 1 0 8:16 A 0 extra", false, ""},      // words left over
        {"2 0 0 0 1 1 A 0 1 2 8:16 A 0 0", false, ""},          // info words short
        {"2 0 0 0 -1 1", false, ""},
        {"2 0 0 0 99999999999 1", false, ""},
        {"5 0 0", false, ""},                                   // features cut short
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        std::vector<zkd::DmGroupStatus> groups{zkd::DmGroupStatus{}};
        ASSERT_EQ(zkd::parse_multipath_status(c.status, groups), c.ok);
        std::string shown;
        for (const zkd::DmGroupStatus &g : groups) {
            shown += shown.empty() ? "" : " ";
            shown += std::string(1, zkd::dm_state_name(g.state)[0] & ~0x20) + ":";
            for (size_t i = 0; i < g.paths.size(); ++i)
                shown += (i ? "," : "") + g.paths[i].device + (g.paths[i].active ? "/A/" : "/F/") +
                         std::to_string(g.paths[i].fail_count);
        }
        EXPECT_EQ(shown, c.groups);
    }
}

// A fake sysfs of SCSI devices, their block nodes and dm holders; the
// status reader answers from a table and counts its reads.
struct FakeDm {
    TempDir sys;
    std::map<std::string, std::pair<std::string, std::string>> status;  // dev: type, line
    std::map<std::string, int> reads;

    void scsi(const std::string &address, const std::string &block, const std::string &dev,
              const std::vector<std::string> &holders)
    {
        sys.make_dir("bus/scsi/devices/" + address + "/block/" + block);
        sys.make_dir("block/" + block + "/holders");
        sys.make_file("block/" + block + "/dev", dev + "\n");
        for (const std::string &h : holders)
            sys.make_dir("block/" + block + "/holders/" + h);
    }
    void map(const std::string &holder, const std::string &name, const std::string &uuid,
             const std::string &dev)
    {
        sys.make_dir("block/" + holder + "/dm");
        sys.make_file("block/" + holder + "/dm/name", name + "\n");
        sys.make_file("block/" + holder + "/dm/uuid", uuid + "\n");
        sys.make_file("block/" + holder + "/dev", dev + "\n");
    }
    zkd::DmMaps maps()
    {
        return zkd::DmMaps(sys.path(), [this](const std::string &dev, std::string &type,
                                              std::string &line) {
            ++reads[dev];
            auto found = status.find(dev);
            if (found == status.end())
                return false;
            type = found->second.first;
            line = found->second.second;
            return true;
        });
    }
};

std::string shown(const zkd::DmPathState &s)
{
    zkd::DeviceResult d;
    d.dm = s;
    return zkd::dm_view_text(d);
}

// Where each path's map is found, and what is "none" and "unknown".
TEST(DmView, PathsFoundThroughHolders)
{
    FakeDm fake;
    fake.map("dm-0", "mpatha", "mpath-3600601", "253:0");
    fake.status["253:0"] = {"multipath", "2 0 0 0 2 2 D 0 1 0 8:16 F 1 A 0 1 0 8:32 A 0"};
    fake.map("dm-1", "vg-root", "LVM-abc", "253:1");
    fake.status["253:1"] = {"linear", ""};
    fake.map("dm-2", "mpathb", "mpath-3600602", "253:2");  // status unreadable (no privilege)
    fake.map("dm-3", "zkmp", "", "253:3");                  // made by hand, no uuid
    fake.status["253:3"] = {"multipath", "2 0 0 0 1 1 E 0 1 0 8:96 A 0"};
    fake.map("dm-4", "mpathc", "mpath-x", "253:4");
    fake.status["253:4"] = {"multipath", "garbage"};
    fake.scsi("2:0:0:0", "sdb", "8:16", {"dm-0"});
    fake.scsi("2:0:1:0", "sdc", "8:32", {"dm-0"});
    fake.scsi("2:0:2:0", "sdd", "8:48", {});
    fake.scsi("2:0:3:0", "sde", "8:64", {"dm-1"});
    fake.scsi("2:0:4:0", "sdf", "8:80", {"dm-2"});
    fake.scsi("2:0:5:0", "sdg", "8:96", {"dm-1", "dm-3"});
    fake.scsi("2:0:6:0", "sdh", "8:112", {"dm-0"});  // not in dm-0's status
    fake.scsi("2:0:7:0", "sdi", "8:128", {"dm-4"});
    struct Case {
        const char *address, *text;
    } cases[] = {
        {"2:0:0:0", "  dm mpatha group 1 disabled, path failed"},
        {"2:0:1:0", "  dm mpatha group 2 active, path active"},
        {"2:0:2:0", "  dm none"},
        {"2:0:3:0", "  dm none"},
        {"2:0:4:0", "  dm mpathb unknown"},
        {"2:0:5:0", "  dm zkmp group 1 enabled, path active"},
        {"2:0:6:0", "  dm mpatha unknown"},
        {"2:0:7:0", "  dm mpathc unknown"},
        {"2:0:9:0", "  dm none"},  // no such device
    };
    zkd::DmMaps maps = fake.maps();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(shown(maps.path_state(c.address)), c.text);
    }
    for (const auto &r : fake.reads)
        EXPECT_EQ(r.second, 1) << r.first << " read more than once";
    EXPECT_EQ(shown(zkd::DmPathState{}), "");  // not looked for
    std::string type, status;  // the kernel's reader: no control node, no device number
    EXPECT_FALSE(zkd::read_dm_status(fake.sys.file("control"), "253:0", type, status));
    EXPECT_FALSE(zkd::read_dm_status("/dev/null", "253:x", type, status));
}

// --json, --export and --metrics of one path in a map and one in none;
// every state of both families present, exactly one of each 1.
TEST(DmView, JsonExportAndMetrics)
{
    std::vector<zkd::DeviceResult> results(2);
    for (size_t i = 0; i < 2; ++i) {
        zkd::DeviceResult &r = results[i];
        r.path = "/dev/sg" + std::to_string(i + 1);
        r.scsi_address = "2:0:" + std::to_string(i) + ":0";
        r.outcome = zkd::Outcome::Claimed;
        r.properties = {{"CAB_SERIAL_NO", "C"}, {"LUN_SERIAL_NO", "L"},
                        {"LUN_OWNER", i ? "N" : "Y"}, {"PORT_SERIAL_NO", i ? "PB" : "PA"}};
        r.dm.read = true;
    }
    results[0].dm = {true, "mp'a", 2, DmState::Failed, DmState::Enabled};

    nlohmann::ordered_json in_map, in_none;
    zkd::add_dm_json(in_map, results[0]);
    zkd::add_dm_json(in_none, results[1]);
    EXPECT_EQ(in_map.dump(), R"({"dm":{"map":"mp'a","group":2,"group_state":"enabled","path_state":"failed"}})");
    EXPECT_EQ(in_none.dump(), R"({"dm":{"map":null,"group":null,"group_state":"none","path_state":"none"}})");
    EXPECT_EQ(zkd::dm_view_export(results[0]),
              "DM_MAP='mp'\\''a'\nDM_GROUP=2\nDM_GROUP_STATE=enabled\nDM_PATH_STATE=failed\n");
    EXPECT_EQ(zkd::dm_view_export(results[1]),
              "DM_MAP=''\nDM_GROUP=''\nDM_GROUP_STATE=none\nDM_PATH_STATE=none\n");

    zkd::MetricsSource source;
    source.results = &results;
    std::string text = zkd::render_metrics(source);
    struct Family {
        const char *name;
        std::vector<const char *> states;
        std::string a_state;  // the first path's; the second's is none
    } families[] = {
        {"zkdiscover_path_dm_state", {"active", "failed", "none", "unknown"}, "failed"},
        {"zkdiscover_path_dm_group_state", {"active", "enabled", "disabled", "none", "unknown"},
         "enabled"},
    };
    const char *a = "{array=\"C\",lun=\"L\",sp=\"A\",device=\"/dev/sg1\",address=\"2:0:0:0\",map=\"mp'a\",group=\"2\",state=\"";
    const char *b = "{array=\"C\",lun=\"L\",sp=\"B\",device=\"/dev/sg2\",address=\"2:0:1:0\",map=\"\",group=\"\",state=\"";
    for (const Family &f : families) {
        EXPECT_NE(text.find(std::string("# TYPE ") + f.name + " gauge\n"), std::string::npos);
        for (const char *state : f.states) {
            bool a_on = state == f.a_state, b_on = state == std::string("none");
            for (auto [labels, on] : {std::make_pair(a, a_on), std::make_pair(b, b_on)}) {
                std::string line = std::string(f.name) + labels + state + "\"} " + (on ? "1" : "0");
                EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << "\n" << text;
            }
        }
    }
}

}  // namespace
