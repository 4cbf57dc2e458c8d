// --metrics: the exposition text from lists of results.
#include "metrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

// "DEVICE CAB LUN SP OWNER" (OWNER Y or N): one claimed path.
zkd::DeviceResult path(const std::string &line)
{
    std::istringstream in(line);
    std::string device, cab, lun, sp, owner;
    in >> device >> cab >> lun >> sp >> owner;
    zkd::DeviceResult r;
    r.path = device;
    r.scsi_address = "2:0:0:" + device.substr(device.size() - 1);
    r.outcome = zkd::Outcome::Claimed;
    r.properties = {{"CAB_SERIAL_NO", cab}, {"LUN_SERIAL_NO", lun},
                    {"LUN_OWNER", owner}, {"PORT_SERIAL_NO", "P" + sp}};
    return r;
}

std::string render(const std::vector<zkd::DeviceResult> *results)
{
    zkd::MetricsSource source;
    source.version = "1.0.0";
    source.library = "/usr/lib/libzkDGCclariion.so";
    source.interface_version = 1;
    source.results = results;
    return render_metrics(source);
}

bool has_line(const std::string &text, const std::string &line)
{
    return text.find("\n" + line + "\n") != std::string::npos;
}

// Paths of one LUN and the series expected for it: both SPs always, the
// owner taken from the paths (or inferred from "not the owner" on one SP),
// owner unknown whenever no path carries the flag, inferred or not.
TEST(Metrics, BothStorageProcessorsAlwaysPresent)
{
    struct Case {
        std::vector<std::string> paths;
        int on_a, on_b, owner_a, owner_b, owner_unknown;
    } cases[] = {
        {{"/dev/sg1 C L A Y", "/dev/sg2 C L A Y"}, 2, 0, 1, 0, 0},
        {{"/dev/sg1 C L B N"}, 0, 1, 1, 0, 1},
        {{"/dev/sg1 C L A N", "/dev/sg2 C L B Y"}, 1, 1, 0, 1, 0},
        {{"/dev/sg1 C L A N", "/dev/sg2 C L B N"}, 1, 1, 0, 0, 1},
    };
    for (const Case &c : cases) {
        std::vector<zkd::DeviceResult> results;
        for (const std::string &p : c.paths)
            results.push_back(path(p));
        std::string text = render(&results);
        std::string lun = "{array=\"C\",lun=\"L\",sp=\"";
        for (const std::string &line :
             {"zkdiscover_lun_paths" + lun + "A\"} " + std::to_string(c.on_a),
              "zkdiscover_lun_paths" + lun + "B\"} " + std::to_string(c.on_b),
              "zkdiscover_lun_owner" + lun + "A\"} " + std::to_string(c.owner_a),
              "zkdiscover_lun_owner" + lun + "B\"} " + std::to_string(c.owner_b),
              "zkdiscover_lun_owner_unknown{array=\"C\",lun=\"L\"} " +
                  std::to_string(c.owner_unknown),
              "zkdiscover_devices{outcome=\"claimed\"} " + std::to_string(c.paths.size())})
            EXPECT_TRUE(has_line(text, line)) << c.paths[0] << ": " << line << "\n" << text;
    }
}

// One series per node found, whatever its outcome, in natural order of the
// node; a scan that could not run has the families' headers only, and its
// library line still names the library tried.
TEST(Metrics, EveryDeviceFoundSaysWhetherItCouldBeExamined)
{
    struct Case {
        const char *device;
        zkd::Outcome outcome;
        const char *address;
        const char *line;
    } cases[] = {
        {"/dev/sg10", zkd::Outcome::Claimed, "2:0:0:0", "device=\"/dev/sg10\",address=\"2:0:0:0\"} 1"},
        {"/dev/sg9", zkd::Outcome::NotClaimed, "2:0:0:9", "device=\"/dev/sg9\",address=\"2:0:0:9\"} 1"},
        {"/dev/sg3", zkd::Outcome::Failed, "", "device=\"/dev/sg3\",address=\"\"} 1"},
        {"/dev/sg2", zkd::Outcome::Unreadable, "1:0:0:2", "device=\"/dev/sg2\",address=\"1:0:0:2\"} 0"},
        {"/dev/sg1", zkd::Outcome::Skipped, "", "device=\"/dev/sg1\",address=\"\"} 0"},
    };
    std::vector<zkd::DeviceResult> results;
    for (const Case &c : cases) {
        results.push_back(path(std::string(c.device) + " C L A Y"));
        results.back().outcome = c.outcome;
        results.back().scsi_address = c.address;
    }
    std::string text = render(&results);
    size_t previous = 0;
    for (const Case &c : {cases[4], cases[3], cases[2], cases[1], cases[0]}) {
        size_t at = text.find("\nzkdiscover_device_examined{" + std::string(c.line) + "\n");
        ASSERT_NE(at, std::string::npos) << c.line << "\n" << text;
        EXPECT_GT(at, previous) << c.line;
        previous = at;
    }

    zkd::MetricsSource failed;
    failed.library = "/opt/lib/libzkDGCclariion.so";
    failed.interface_version = 2;
    text = render_metrics(failed);
    EXPECT_NE(text.find("# TYPE zkdiscover_device_examined gauge\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE zkdiscover_lun_owner_unknown gauge\n"), std::string::npos);
    EXPECT_EQ(text.find("zkdiscover_device_examined{"), std::string::npos);
    EXPECT_TRUE(has_line(text, "zkdiscover_info{version=\"\",library=\"/opt/lib/"
                               "libzkDGCclariion.so\",interface=\"2\"} 1"))
        << text;
}

// Each device that did not answer: counted apart, one series with what is
// known of it; nothing of a scan that could not run.
TEST(Metrics, DevicesNotAnsweringHaveTheirCountAndSeries)
{
    std::vector<zkd::DeviceResult> results = {path("/dev/sg1 CAB1 LUN-A A Y")};
    for (const char *device : {"/dev/sg10", "/dev/sg9"}) {
        zkd::DeviceResult r;
        r.path = device;
        r.outcome = zkd::Outcome::NotAnswering;
        results.push_back(r);
    }
    results[2].scsi_address = "3:0:1:0";
    results[2].properties = {{"CAB_SERIAL_NO", "CAB1"}, {"LUN_SERIAL_NO", "LUN-A"}, {"SP", "B"}};
    std::string text = render(&results);
    for (const char *line :
         {"zkdiscover_devices{outcome=\"not_answering\"} 2",
          "zkdiscover_devices{outcome=\"not_examined\"} 0",
          "# TYPE zkdiscover_path_not_answering gauge",
          "zkdiscover_path_not_answering{array=\"CAB1\",lun=\"LUN-A\",sp=\"B\","
          "device=\"/dev/sg9\",address=\"3:0:1:0\"} 1",
          "zkdiscover_path_not_answering{array=\"\",lun=\"\",sp=\"\",device=\"/dev/sg10\","
          "address=\"\"} 1"})
        EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
    EXPECT_LT(text.find("device=\"/dev/sg9\""), text.find("device=\"/dev/sg10\""));
    std::string none = render(nullptr);
    EXPECT_TRUE(has_line(none, "zkdiscover_devices{outcome=\"not_answering\"} 0"));
    EXPECT_EQ(none.find("zkdiscover_path_not_answering{"), std::string::npos);
}

TEST(Metrics, LabelValuesFromDevicesCannotBreakTheFile)
{
    EXPECT_EQ(zkd::metrics_label_value("APM0012"), "APM0012");
    EXPECT_EQ(zkd::metrics_label_value("a\"b"), "a\\\"b");
    EXPECT_EQ(zkd::metrics_label_value("a\\b"), "a\\\\\\\\b");
    EXPECT_EQ(zkd::metrics_label_value("a\nb}\xff"), "a\\\\x0Ab}\\\\xFF");
    std::vector<zkd::DeviceResult> results = {path("/dev/sg1 C L A Y")};
    results[0].properties = {{"CAB_SERIAL_NO", "C\"\n\\"}, {"LUN_SERIAL_NO", "L"},
                             {"LUN_OWNER", "Y"}, {"PORT_SERIAL_NO", "PA"}};
    std::string text = render(&results);
    EXPECT_TRUE(has_line(text, "zkdiscover_lun_paths{array=\"C\\\"\\\\x0A\\\\\\\\\",lun=\"L\","
                               "sp=\"A\"} 1"))
        << text;
}

TEST(Metrics, SameTextWhateverTheOrderOfTheResults)
{
    std::vector<zkd::DeviceResult> results = {
        path("/dev/sg10 C2 L1 B N"), path("/dev/sg2 C1 L2 A Y"),  path("/dev/sg3 C1 L1 B Y"),
        path("/dev/sg9 C1 L1 A N"),  path("/dev/sg1 C1 L2 B N")};
    results.push_back(results[0]);
    results.back().path = "/dev/sg4";
    results.back().outcome = zkd::Outcome::Unreadable;
    std::string first = render(&results);
    std::reverse(results.begin(), results.end());
    EXPECT_EQ(render(&results), first);
    EXPECT_TRUE(has_line(first, "zkdiscover_devices{outcome=\"not_examined\"} 1"));
    // Arrays, LUNs, then SP and device in natural order.
    EXPECT_LT(first.find("array=\"C1\",lun=\"L1\",sp=\"A\",device=\"/dev/sg9\""),
              first.find("array=\"C1\",lun=\"L1\",sp=\"B\",device=\"/dev/sg3\""));
    EXPECT_LT(first.find("array=\"C1\",lun=\"L2\",sp=\"B\",device=\"/dev/sg1\""),
              first.find("array=\"C2\",lun=\"L1\",sp=\"B\",device=\"/dev/sg10\""));
}

}  // namespace

namespace {

// The views' families for one path: exactly one state of each set, the
// default SP of the LUN (both 0 when unknown), and whether the views agree.
TEST(Metrics, ViewsOfAPathAsZeroOneSeries)
{
    struct Case {
        const char *what;
        const char *owner;      // library's LUN_OWNER
        int lun_state;          // VPD 0xC0 byte 4; -1: not read
        int default_sp;         // byte 5
        const char *handler;    // null: no kernel view
        const char *access;
        bool preferred, in_progress;
        const char *kernel_state, *unit_state;
        int agree, default_a, default_b;
    } cases[] = {
        {"owner, all agree", "Y", 2, 0, "emc", "active/optimized", true, false,
         "active/optimized", "owned", 1, 1, 0},
        {"standby, all agree", "N", 1, 1, "emc", "standby", false, false, "standby", "bound", 1, 0, 1},
        {"stale kernel after a trespass", "N", 1, 0, "emc", "active/optimized", true, false,
         "active/optimized", "bound", 0, 1, 0},
        {"unit moved, kernel unknown", "Y", 1, 0, "emc", "", false, true, "unknown", "bound", 0, 1, 0},
        {"handler detached, unbound", "N", 0, 1, "detached", "", false, false, "detached",
         "not_bound", 1, 0, 1},
        {"nothing read", "Y", -1, 0, nullptr, nullptr, false, false, "unknown", "unknown", 1, 0, 0},
        {"odd default SP byte", "Y", 2, 7, "alua", "lba-dependent", false, false, "unknown",
         "owned", 0, 0, 0},
    };
    const std::string labels = "array=\"C\",lun=\"L\",sp=\"A\",device=\"/dev/sg1\",address=\"2:0:0:1\"";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<zkd::DeviceResult> results{path(std::string("/dev/sg1 C L A ") + c.owner)};
        zkd::DeviceResult &d = results[0];
        if (c.lun_state >= 0) {
            std::vector<unsigned char> page(96, 0);
            page[1] = 0xC0;
            page[4] = static_cast<unsigned char>(c.lun_state);
            page[5] = static_cast<unsigned char>(c.default_sp);
            page[48] = c.in_progress;
            ASSERT_TRUE(zkd::parse_unit_path_report(page, d.views.report));
        }
        if (c.handler)
            d.views.kernel = zkd::kernel_state_from(c.handler, c.access, c.preferred ? "1" : "0");
        std::string text = render(&results);
        for (const char *state : zkd::kKernelStates)
            EXPECT_TRUE(has_line(text, "zkdiscover_path_kernel_state{" + labels + ",state=\"" +
                                           state + "\"} " +
                                           (std::string(state) == c.kernel_state ? "1" : "0")))
                << state;
        for (const char *state : zkd::kUnitStates)
            EXPECT_TRUE(has_line(text, "zkdiscover_path_unit_state{" + labels + ",state=\"" +
                                           state + "\"} " +
                                           (std::string(state) == c.unit_state ? "1" : "0")))
                << state;
        EXPECT_TRUE(has_line(text, "zkdiscover_path_kernel_preferred{" + labels + "} " +
                                       (c.preferred ? "1" : "0")));
        EXPECT_TRUE(has_line(text, "zkdiscover_path_views_agree{" + labels + "} " +
                                       std::to_string(c.agree)));
        EXPECT_TRUE(has_line(text, "zkdiscover_lun_default_owner{array=\"C\",lun=\"L\",sp=\"A\"} " +
                                       std::to_string(c.default_a)));
        EXPECT_TRUE(has_line(text, "zkdiscover_lun_default_owner{array=\"C\",lun=\"L\",sp=\"B\"} " +
                                       std::to_string(c.default_b)));
        EXPECT_TRUE(has_line(text, "zkdiscover_lun_operation_in_progress{array=\"C\",lun=\"L\"} " +
                                       std::string(c.in_progress ? "1" : "0")));
    }
    // No scan: none of the views' families.
    EXPECT_EQ(render(nullptr).find("zkdiscover_path_views_agree"), std::string::npos);
}

}  // namespace
