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

TEST(Metrics, LabelValuesFromDevicesCannotBreakTheFile)
{
    EXPECT_EQ(zkd::metrics_label_value("APM0012"), "APM0012");
    EXPECT_EQ(zkd::metrics_label_value("a\"b"), "a\\\"b");
    EXPECT_EQ(zkd::metrics_label_value("a\\b"), "a\\\\x5Cb");
    EXPECT_EQ(zkd::metrics_label_value("a\nb}\xff"), "a\\\\x0Ab}\\\\xFF");
    std::vector<zkd::DeviceResult> results = {path("/dev/sg1 C L A Y")};
    results[0].properties = {{"CAB_SERIAL_NO", "C\"\n\\"}, {"LUN_SERIAL_NO", "L"},
                             {"LUN_OWNER", "Y"}, {"PORT_SERIAL_NO", "PA"}};
    std::string text = render(&results);
    EXPECT_TRUE(has_line(text, "zkdiscover_lun_paths{array=\"C\\\"\\\\x0A\\\\x5C\",lun=\"L\","
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
