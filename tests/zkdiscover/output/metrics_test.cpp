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
// owner taken from the paths (or inferred from "not the owner" on one SP).
TEST(Metrics, BothStorageProcessorsAlwaysPresent)
{
    struct Case {
        std::vector<std::string> paths;
        int on_a, on_b, owner_a, owner_b;
    } cases[] = {
        {{"/dev/sg1 C L A Y", "/dev/sg2 C L A Y"}, 2, 0, 1, 0},
        {{"/dev/sg1 C L B N"}, 0, 1, 1, 0},
        {{"/dev/sg1 C L A N", "/dev/sg2 C L B Y"}, 1, 1, 0, 1},
        {{"/dev/sg1 C L A N", "/dev/sg2 C L B N"}, 1, 1, 0, 0},
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
              "zkdiscover_devices{outcome=\"claimed\"} " + std::to_string(c.paths.size())})
            EXPECT_TRUE(has_line(text, line)) << c.paths[0] << ": " << line << "\n" << text;
    }
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
