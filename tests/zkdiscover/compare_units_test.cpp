// --compare: reading an earlier --json report back, and the changes found
// between two scans.
#include "compare.h"
#include "report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zkd::DeviceRecord;
using zkd::DeviceState;
using json = nlohmann::json;

DeviceRecord on(const std::string &path, const std::string &cab, const std::string &lun,
                const std::string &sp, bool owner = false)
{
    return {path, DeviceState::Claimed, cab, lun, sp, owner};
}

DeviceRecord in(const std::string &path, DeviceState state) { return {path, state, "", "", "", false}; }

zkd::Snapshot snapshot(const std::vector<DeviceRecord> &devices)
{
    zkd::Snapshot s;
    for (const DeviceRecord &d : devices)
        s.devices[d.path] = d;
    return s;
}

// The changes in short, from their JSON form: "kind key [devices] SPs".
std::vector<std::string> summary(const std::vector<zkd::Change> &changes)
{
    std::vector<std::string> out;
    json doc = json::parse(zkd::render_changes_json_text("old", changes));
    for (const json &c : doc["changes"]) {
        std::string line = c["change"].get<std::string>() + " ";
        if (c.contains("device")) {
            line += c["device"].get<std::string>();
        } else {
            line += c["cabinet_serial"].get<std::string>();
            if (c.contains("lun_serial"))
                line += "/" + c["lun_serial"].get<std::string>();
            line += " [";
            for (const json &p : c["paths"])
                line += (line.back() == '[' ? "" : " ") + p["device"].get<std::string>();
            line += "]";
        }
        if (c.contains("owner_before"))
            line += " " + c["owner_before"]["sp"].get<std::string>() + "->" +
                    c["owner_after"]["sp"].get<std::string>();
        out.push_back(line);
    }
    return out;
}

// One array, two LUNs with a path per SP, a disk of another vendor.
const std::vector<DeviceRecord> kBase = {
    on("/dev/sg1", "CAB1", "L1", "A", true), on("/dev/sg2", "CAB1", "L1", "B"),
    on("/dev/sg3", "CAB1", "L2", "A"),       on("/dev/sg4", "CAB1", "L2", "B", true),
    in("/dev/sg5", DeviceState::NotClaimed),
};

// kBase with the devices of changed replaced or added, those of gone removed.
std::vector<DeviceRecord> base_with(std::vector<DeviceRecord> changed, std::vector<std::string> gone = {})
{
    zkd::Snapshot s = snapshot(kBase);
    for (const std::string &g : gone)
        s.devices.erase(g);
    for (const DeviceRecord &c : changed)
        s.devices[c.path] = c;
    std::vector<DeviceRecord> out;
    for (const auto &d : s.devices)
        out.push_back(d.second);
    return out;
}

TEST(CompareSnapshots, ReportsEachChangeOnceAndTheMovedDeviceFirst)
{
    struct Case {
        const char *name;
        std::vector<DeviceRecord> after;
        std::vector<std::string> expected;
    } cases[] = {
        {"nothing changed", kBase, {}},
        {"trespass", base_with({on("/dev/sg1", "CAB1", "L1", "A"), on("/dev/sg2", "CAB1", "L1", "B", true)}),
         {"trespass CAB1/L1 [/dev/sg1 /dev/sg2] A->B"}},
        {"owning path gone: no trespass", base_with({}, {"/dev/sg1"}),
         {"path_disappeared /dev/sg1"}},
        {"a path moves away while its SP keeps the LUN: no trespass",
         base_with({on("/dev/sg1", "CAB1", "L2", "B", true), on("/dev/sg6", "CAB1", "L1", "A", true)}),
         {"device_moved /dev/sg1", "path_appeared /dev/sg6"}},
        {"device behind a new LUN, moved listed first",
         base_with({on("/dev/sg5", "CAB1", "L1", "A"), on("/dev/sg3", "CAB1", "L9", "A")}),
         {"device_moved /dev/sg3", "lun_appeared CAB1/L9 [/dev/sg3]", "outcome_changed /dev/sg5"}},
        {"device behind another array",
         base_with({on("/dev/sg2", "CAB2", "L1", "B")}),
         {"device_moved /dev/sg2", "array_appeared CAB2 [/dev/sg2]"}},
        {"LUN gone: its paths are not listed again",
         base_with({in("/dev/sg3", DeviceState::Failed)}, {"/dev/sg4"}),
         {"lun_disappeared CAB1/L2 [/dev/sg3 /dev/sg4]"}},
        {"array gone",
         {in("/dev/sg5", DeviceState::NotClaimed)},
         {"array_disappeared CAB1 [/dev/sg1 /dev/sg2 /dev/sg3 /dev/sg4]"}},
        {"new array and new path, in kind order",
         base_with({on("/dev/sg9", "CAB1", "L2", "B"), on("/dev/sg10", "CAB3", "X", "A", true)}),
         {"array_appeared CAB3 [/dev/sg10]", "path_appeared /dev/sg9"}},
        {"outcomes: claimed to failed, not claimed to gone, a new unreadable device",
         base_with({in("/dev/sg2", DeviceState::Failed), in("/dev/sg7", DeviceState::NotExamined)},
                   {"/dev/sg5"}),
         {"outcome_changed /dev/sg2", "outcome_changed /dev/sg5", "outcome_changed /dev/sg7"}},
    };
    for (const Case &c : cases) {
        std::vector<zkd::Change> changes = zkd::compare_snapshots(snapshot(kBase), snapshot(c.after));
        EXPECT_EQ(summary(changes), c.expected) << c.name;
        // The other way round, the same number of changes.
        EXPECT_EQ(zkd::compare_snapshots(snapshot(c.after), snapshot(kBase)).size(), c.expected.size())
            << c.name;
    }
}

TEST(CompareSnapshots, TextNamesOldAndNewOwners)
{
    std::vector<zkd::Change> changes = zkd::compare_snapshots(
        snapshot(kBase),
        snapshot(base_with({on("/dev/sg1", "CAB1", "L1", "A"), on("/dev/sg2", "CAB1", "L1", "B", true),
                            in("/dev/sg4", DeviceState::Failed)})));
    EXPECT_EQ(zkd::render_changes_text("old.json", changes),
              "Changes since old.json: 2\n"
              "\n"
              "Trespass: LUN L1 of array CAB1\n"
              "  owner was SP A: /dev/sg1\n"
              "  owner now SP B: /dev/sg2\n"
              "\n"
              "Outcome changed: /dev/sg4\n"
              "  was claimed: LUN L2 of array CAB1, SP B, owner\n"
              "  now failed\n");
    EXPECT_EQ(zkd::render_changes_text("old.json", {}), "No changes since old.json\n");
}

// A scan's JSON report reads back as the scan itself.
TEST(ReadSnapshot, ReportReadsBackAsItsScan)
{
    std::vector<zkd::DeviceResult> results(4);
    results[0].path = "/dev/sg1";
    results[0].outcome = zkd::Outcome::Claimed;
    results[0].properties = {{"CAB_SERIAL_NO", "CAB1"}, {"LUN_SERIAL_NO", "L1"},
                             {"LUN_OWNER", "Y"},        {"PORT_SERIAL_NO", "CAB1B"}};
    results[1].path = "/dev/sg2";
    results[1].outcome = zkd::Outcome::NotClaimed;
    results[2].path = "/dev/sg3";
    results[2].outcome = zkd::Outcome::Failed;
    results[3].path = "/dev/sg4";
    results[3].outcome = zkd::Outcome::Skipped;
    zkd::ReportContext context;

    json doc = zkd::render_json(context, results);
    EXPECT_EQ(doc["format_version"], zkd::kReportFormatVersion);
    zkd::Snapshot read;
    std::string problem;
    ASSERT_TRUE(zkd::read_snapshot(doc, read, problem)) << problem;
    EXPECT_TRUE(zkd::compare_snapshots(read, zkd::snapshot_of_scan(results)).empty());
    ASSERT_EQ(read.devices.size(), 4u);
    EXPECT_EQ(read.devices["/dev/sg1"].sp, "B");
    EXPECT_TRUE(read.devices["/dev/sg1"].owner);
    EXPECT_EQ(read.devices["/dev/sg4"].state, DeviceState::NotExamined);
}

TEST(ReadSnapshot, AcceptsOlderAndRicherReportsRefusesOthers)
{
    const std::string path = R"({"device": "/dev/sg1", "sp": "A", "owner": true})";
    auto report = [](const std::string &head, const std::string &path_json,
                     const std::string &not_claimed = R"([{"device": "/dev/sg2"}])") {
        return "{" + head + R"("arrays": [{"cabinet_serial": "C", "luns": [{"lun_serial": "L", "paths": [)" +
               path_json + R"(]}]}], "not_claimed": )" + not_claimed +
               R"(, "failed": [], "not_examined": []})";
    };
    struct Case {
        std::string text;
        const char *problem;   // nullptr: read
    } cases[] = {
        {report(R"("format_version": 1,)", path), nullptr},
        // Members a later zkdiscover adds are ignored.
        {report(R"("format_version": 1, "host": "h",)",
                R"({"device": "/dev/sg1", "sp": "A", "owner": true, "scsi_address": "1:0:0:0",
                    "nodes": ["/dev/sdb", "/dev/sg1"]})"),
         nullptr},
        // Before the version member: recognised by its library description.
        {report(R"("library": {"interface_version": 1},)", path), nullptr},
        {report("", path), "not a zkdiscover --json report (no format_version)"},
        {report(R"("format_version": 2,)", path), "version 2 (this zkdiscover reads version 1; the file comes from a later"},
        {report(R"("format_version": "1",)", path), "format_version is not a whole number"},
        {"[1, 2]", "the document is not an object"},
        {R"({"format_version": 1, "compared_with": "x", "changes": []})", "a list of changes written by --compare"},
        {report(R"("format_version": 1,)", R"({"device": "/dev/sg1", "sp": "A"})"),
         "arrays[0].luns[0].paths[0].owner is missing"},
        {report(R"("format_version": 1,)", R"({"device": 7, "sp": "A", "owner": true})"),
         "arrays[0].luns[0].paths[0].device is not a string"},
        {report(R"("format_version": 1,)", path, R"([{"device": "/dev/sg1"}])"),
         "device /dev/sg1 is listed twice (again at not_claimed[0])"},
        {report(R"("format_version": 1,)", path, R"({"device": "/dev/sg2"})"), "not_claimed is not a list"},
        {report(R"("format_version": 1,)", path, "[3]"), "not_claimed[0] is not an object"},
        {R"({"format_version": 1, "arrays": []})", "not_claimed is missing"},
    };
    for (const Case &c : cases) {
        zkd::Snapshot s;
        std::string problem;
        bool ok = zkd::read_snapshot(json::parse(c.text), s, problem);
        if (c.problem == nullptr) {
            EXPECT_TRUE(ok) << c.text << ": " << problem;
            EXPECT_EQ(s.devices.size(), 2u) << c.text;
        } else {
            EXPECT_FALSE(ok) << c.text;
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem << "\nfor " << c.text;
            EXPECT_TRUE(s.devices.empty()) << c.text;
        }
    }
}

}  // namespace
