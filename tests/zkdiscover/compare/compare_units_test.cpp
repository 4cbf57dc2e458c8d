// --compare: reading an earlier --json report back, and the changes found
// between two scans.
#include "compare.h"
#include "report.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using zkd::DeviceRecord;
using zkd::DeviceState;
using json = nlohmann::json;

DeviceRecord on(const std::string &path, const std::string &cab, const std::string &lun,
                const std::string &sp, bool owner = false)
{
    DeviceRecord r;
    r.path = path;
    r.state = DeviceState::Claimed;
    r.cabinet_serial = cab;
    r.lun_serial = lun;
    r.sp = sp;
    r.owner = owner;
    r.firmware_known = true;
    r.revision = "0219";
    r.scsi_version = "4";
    r.port_serial = cab + sp;
    return r;
}

DeviceRecord in(const std::string &path, DeviceState state)
{
    DeviceRecord r;
    r.path = path;
    r.state = state;
    return r;
}

// r with one firmware field changed (or, without firmware_known, unknown).
DeviceRecord with(DeviceRecord r, zkd::SharedText DeviceRecord::*field, const std::string &value)
{
    r.*field = value;
    return r;
}

zkd::Snapshot snapshot(const std::vector<DeviceRecord> &devices)
{
    zkd::Snapshot s;
    s.devices.assign(devices.begin(), devices.end());
    std::string repeated;
    EXPECT_TRUE(zkd::put_in_order(s, repeated)) << repeated;
    return s;
}

// The changes in short, from their JSON form: "kind key [devices] SPs
// +listed-above severity".
std::vector<std::string> summary(const std::vector<zkd::Change> &changes)
{
    std::vector<std::string> out;
    std::string text = zkd::render_changes_json_text("old", changes);
    // Written a change at a time, laid out as a dump of the whole document.
    using ojson = nlohmann::ordered_json;
    EXPECT_EQ(text, ojson::parse(text).dump(2, ' ', false, ojson::error_handler_t::replace) + "\n");
    json doc = json::parse(text);
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
        if (c.contains("owner_after"))
            line += " " + c["owner_before"]["sp"].get<std::string>() + "->" +
                    c["owner_after"]["sp"].get<std::string>();
        if (c.contains("sp"))
            line += " SP " + c["sp"].get<std::string>();
        if (c.contains("listed_above"))
            line += " +" + std::to_string(c["listed_above"].get<int>());
        out.push_back(line + " " + c["severity"].get<std::string>());
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
    std::map<std::string, DeviceRecord, zkd::NaturalOrder> s;
    for (const DeviceRecord &d : kBase)
        s[d.path] = d;
    for (const std::string &g : gone)
        s.erase(g);
    for (const DeviceRecord &c : changed)
        s[c.path] = c;
    std::vector<DeviceRecord> out;
    for (const auto &d : s)
        out.push_back(d.second);
    return out;
}

TEST(CompareSnapshots, ListsEachDeviceOnceUnderItsMostSeriousChange)
{
    const std::vector<DeviceRecord> with_sg6 = base_with({on("/dev/sg6", "CAB1", "L1", "A")});
    struct Case {
        const char *name;
        std::vector<DeviceRecord> after;
        std::vector<std::string> expected;
        std::vector<DeviceRecord> before = kBase;
    } cases[] = {
        {"nothing changed", kBase, {}},
        {"trespass", base_with({on("/dev/sg1", "CAB1", "L1", "A"), on("/dev/sg2", "CAB1", "L1", "B", true)}),
         {"trespass CAB1/L1 [/dev/sg1 /dev/sg2] A->B changed"}},
        {"owning path gone: SP A lost, no owner path",
         base_with({}, {"/dev/sg1"}),
         {"sp_paths_lost CAB1/L1 [/dev/sg1] SP A degraded", "no_owner_path CAB1/L1 [] +1 degraded"}},
        {"owner flag lost: no owner path", base_with({on("/dev/sg1", "CAB1", "L1", "A")}),
         {"no_owner_path CAB1/L1 [/dev/sg1] degraded"}},
        {"one of two owner paths lost its flag",
         base_with({on("/dev/sg6", "CAB1", "L1", "A")}),
         {"path_owner_changed /dev/sg6 degraded"},
         base_with({on("/dev/sg6", "CAB1", "L1", "A", true)})},
        {"a path now through the other SP, SP A still reached",
         base_with({on("/dev/sg6", "CAB1", "L1", "B")}), {"path_sp_changed /dev/sg6 degraded"}, with_sg6},
        {"the only SP B path failed", base_with({in("/dev/sg2", DeviceState::Failed)}),
         {"sp_paths_lost CAB1/L1 [/dev/sg2] SP B degraded"}},
        {"a second SP A path failed", base_with({in("/dev/sg6", DeviceState::Failed)}),
         {"outcome_changed /dev/sg6 degraded"}, with_sg6},
        {"firmware: port serial, revision, SCSI version",
         base_with({with(on("/dev/sg1", "CAB1", "L1", "A", true), &DeviceRecord::port_serial, "CAB9A"),
                    with(on("/dev/sg3", "CAB1", "L2", "A"), &DeviceRecord::revision, "0220"),
                    with(on("/dev/sg4", "CAB1", "L2", "B", true), &DeviceRecord::scsi_version, "5")}),
         {"firmware_changed /dev/sg1 changed", "firmware_changed /dev/sg3 changed",
          "firmware_changed /dev/sg4 changed"}},
        {"firmware unknown in the earlier report",
         base_with({with(on("/dev/sg3", "CAB1", "L2", "A"), &DeviceRecord::revision, "0220")}), {},
         base_with({[] {
             DeviceRecord r = on("/dev/sg3", "CAB1", "L2", "A");
             r.firmware_known = false;
             return r;
         }()})},
        {"no owner path before and now: shown, unchanged",
         base_with({on("/dev/sg1", "CAB1", "L1", "A")}), {"no_owner_path CAB1/L1 [] unchanged"},
         base_with({on("/dev/sg1", "CAB1", "L1", "A")})},
        {"a path moves away while its SP keeps the LUN: no trespass",
         base_with({on("/dev/sg1", "CAB1", "L2", "B", true), on("/dev/sg6", "CAB1", "L1", "A", true)}),
         {"device_moved /dev/sg1 degraded", "path_appeared /dev/sg6 changed"}},
        {"device behind a new LUN: listed once, moved first",
         base_with({on("/dev/sg5", "CAB1", "L1", "A"), on("/dev/sg3", "CAB1", "L9", "A")}),
         {"device_moved /dev/sg3 degraded", "sp_paths_lost CAB1/L2 [] SP A +1 degraded",
          "no_owner_path CAB1/L9 [] changed", "lun_appeared CAB1/L9 [] +1 changed",
          "outcome_changed /dev/sg5 changed"}},
        {"device behind another array",
         base_with({on("/dev/sg2", "CAB2", "L1", "B")}),
         {"device_moved /dev/sg2 degraded", "sp_paths_lost CAB1/L1 [] SP B +1 degraded",
          "no_owner_path CAB2/L1 [] changed", "array_appeared CAB2 [] +1 changed"}},
        {"LUN gone: its paths are not listed again",
         base_with({in("/dev/sg3", DeviceState::Failed)}, {"/dev/sg4"}),
         {"lun_disappeared CAB1/L2 [/dev/sg3 /dev/sg4] degraded"}},
        {"array gone",
         {in("/dev/sg5", DeviceState::NotClaimed)},
         {"array_disappeared CAB1 [/dev/sg1 /dev/sg2 /dev/sg3 /dev/sg4] degraded"}},
        {"new array and new path, in kind order",
         base_with({on("/dev/sg9", "CAB1", "L2", "B"), on("/dev/sg10", "CAB3", "X", "A", true)}),
         {"array_appeared CAB3 [/dev/sg10] changed", "path_appeared /dev/sg9 changed"}},
        {"a new LUN without an owner path",
         base_with({on("/dev/sg9", "CAB1", "L3", "B")}),
         {"no_owner_path CAB1/L3 [] changed", "lun_appeared CAB1/L3 [/dev/sg9] changed"}},
        {"outcomes: not claimed to gone, a new unreadable device",
         base_with({in("/dev/sg7", DeviceState::NotExamined)}, {"/dev/sg5"}),
         {"outcome_changed /dev/sg5 changed", "outcome_changed /dev/sg7 changed"}},
    };
    for (const Case &c : cases) {
        std::vector<zkd::Change> changes = zkd::compare_snapshots(snapshot(c.before), snapshot(c.after));
        EXPECT_EQ(summary(changes), c.expected) << c.name;
        // Each device once at most.
        std::set<std::string> listed;
        for (const zkd::Change &change : changes)
            for (const zkd::PathChange &p : change.paths)
                EXPECT_TRUE(listed.insert(p.after.path).second) << c.name << ": " << p.after.path;
        // The other way round, a change too.
        EXPECT_EQ(zkd::compare_snapshots(snapshot(c.after), snapshot(c.before)).empty(), c.expected.empty())
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
              "Changes since old.json: 3 (degraded)\n"
              "\n"
              "No path left through SP B: LUN L2 of array CAB1\n"
              "  /dev/sg4  SP B  owner  (now failed)\n"
              "\n"
              "No path through the owning SP (new): LUN L2 of array CAB1\n"
              "  owner was SP B: /dev/sg4\n"
              "  paths now: /dev/sg3 (SP A)\n"
              "\n"
              "Trespass: LUN L1 of array CAB1\n"
              "  owner was SP A: /dev/sg1\n"
              "  owner now SP B: /dev/sg2\n");
    EXPECT_EQ(zkd::render_changes_text("old.json", {}), "No changes since old.json\n");
}

TEST(CompareSnapshots, TextOfEachDegradationNamesPathAndLunEscaped)
{
    const std::vector<DeviceRecord> with_sg6 = base_with({on("/dev/sg6", "CAB1", "L1", "A")});
    const std::vector<DeviceRecord> unowned = base_with({on("/dev/sg1", "CAB1", "L1", "A")});
    struct Case {
        std::vector<DeviceRecord> before, after;
        std::string old_file, text;
    } cases[] = {
        {with_sg6,
         base_with({on("/dev/sg6", "CAB1", "L1", "B"),
                    with(on("/dev/sg3", "CAB1", "L2", "A"), &DeviceRecord::revision, "0220")}),
         "old.json",
         "Changes since old.json: 2 (degraded)\n\n"
         "Path now through another SP: /dev/sg6\n"
         "  was claimed: LUN L1 of array CAB1, SP A\n"
         "  now claimed: LUN L1 of array CAB1, SP B\n\n"
         "Firmware changed: /dev/sg3 (LUN L2 of array CAB1, SP A)\n"
         "  REVISION was 0219, now 0220\n"},
        {unowned, unowned, "old.json",
         "No changes since old.json\n\n"
         "No path through the owning SP (as before): LUN L1 of array CAB1\n"
         "  paths now: /dev/sg1 (SP A) /dev/sg2 (SP B)\n"},
        // Every string of OLD, and OLD's name, is escaped.
        {base_with({on("/dev/\x1b[2Jsg9", "CAB1", "L\a1", "B")}), kBase, "old\r.json",
         "Changes since old\\x0D.json: 1 (degraded)\n\n"
         "LUN disappeared: L\\x071 of array CAB1 (1 path)\n"
         "  /dev/\\x1B[2Jsg9  SP B  (now absent)\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(zkd::render_changes_text(c.old_file, zkd::compare_snapshots(snapshot(c.before),
                                                                              snapshot(c.after))),
                  c.text);
}

// A scan's JSON report reads back as the scan itself.
TEST(ReadSnapshot, ReportReadsBackAsItsScan)
{
    std::vector<zkd::DeviceResult> results(4);
    results[0].path = "/dev/sg1";
    results[0].outcome = zkd::Outcome::Claimed;
    results[0].properties = {{"CAB_SERIAL_NO", "CAB1"}, {"LUN_SERIAL_NO", "L1"},
                             {"LUN_OWNER", "Y"},        {"PORT_SERIAL_NO", "CAB1B"},
                             {"REVISION", "0219"},      {"SCSI_VERSION", "4"}};
    results[1].path = "/dev/sg2";
    results[1].outcome = zkd::Outcome::NotClaimed;
    results[2].path = "/dev/sg3";
    results[2].outcome = zkd::Outcome::Failed;
    results[3].path = "/dev/sg4";
    results[3].outcome = zkd::Outcome::Skipped;
    zkd::ReportContext context;

    json doc = nlohmann::json::parse(zkd::render_json_text(context, results));
    EXPECT_EQ(doc["format_version"], zkd::kReportFormatVersion);
    zkd::Snapshot read;
    std::string problem;
    ASSERT_TRUE(zkd::read_snapshot(doc, read, problem)) << problem;
    EXPECT_TRUE(zkd::compare_snapshots(read, zkd::snapshot_of_scan(results)).empty());
    ASSERT_EQ(read.devices.size(), 4u);
    const DeviceRecord *sg1 = read.find("/dev/sg1");
    ASSERT_NE(sg1, nullptr);
    EXPECT_EQ(sg1->sp.str(), "B");
    EXPECT_TRUE(sg1->owner);
    EXPECT_TRUE(sg1->firmware_known);
    EXPECT_EQ(sg1->revision.str(), "0219");
    EXPECT_TRUE(read.simulation_known);
    EXPECT_EQ(read.simulation, "");
    ASSERT_NE(read.find("/dev/sg4"), nullptr);
    EXPECT_EQ(read.find("/dev/sg4")->state, DeviceState::NotExamined);
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
         "device '/dev/sg1' is listed twice (again at not_claimed[0])"},
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

// The file is read strictly; a problem quotes at most a word of it, escaped.
TEST(LoadSnapshot, RefusesWhatALenientParserWouldTake)
{
    zktest::TempDir dir;
    const std::string good = R"({"format_version": 1, "simulation": null, "arrays": [], "not_claimed": [],
                                 "failed": [], "not_examined": [], "summary": {"devices": 0}})";
    std::string head = good.substr(0, good.size() - 1);
    struct Case {
        std::string text;
        const char *problem;   // nullptr: read
    } cases[] = {
        {good + "\n", nullptr},
        {good + "\n{}", "not valid JSON at byte"},
        {good + std::string(4096, '\0'), "not valid JSON: a NUL byte at byte"},
        {R"({"format_version": 1, "format_version": 1,)" + good.substr(1), "member 'format_version' appears twice"},
        {head + R"(, "extra": [{"a": 0, "b": {"a": 1}, "a": 2}]})", "member 'a' appears twice"},
        {head + R"(, "extra": 1e999})", "a number out of range"},
        {head + ", \x1bX" + std::string(500, 'A') + "}", "near '\\x1BXAAAA"},
        {head.substr(0, 40), "(is the file truncated?)"},
        {head + R"(, "x": ")" + std::string(100, '[') + R"("})", nullptr},   // in a string: no nesting
        {head + ", \"x\": " + std::string(100, '[') + std::string(100, ']') + "}", "nested more than 64"},
        {R"({"format_version": 1, "simulation": 7, "arrays": []})", "simulation is not a string or null"},
    };
    for (const Case &c : cases) {
        std::string file = dir.file("old.json");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text;
        zkd::Snapshot snapshot;
        std::string problem;
        bool ok = zkd::load_snapshot(file, snapshot, problem);
        EXPECT_EQ(ok, c.problem == nullptr) << problem;
        if (c.problem != nullptr) {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
            EXPECT_LT(problem.size(), 120u) << problem;
            for (char ch : problem)
                EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << problem;
        }
    }
}

// The file is read a chunk at a time: a problem far past the first chunk
// is found and told as of the whole file.
TEST(LoadSnapshot, FindsAProblemFarIntoALargeFile)
{
    zktest::TempDir dir;
    auto path = [](const std::string &device, const std::string &owner = "true") {
        return R"({"device": ")" + device + R"(", "sp": "A", "owner": )" + owner + "}";
    };
    // 3000 paths, about 150 kB; path 2900 (and 10) as given.
    auto report = [&](const std::string &p2900, const std::string &p10 = "") {
        std::string paths;
        for (int i = 0; i < 3000; ++i)
            paths += (i ? ", " : "") + (i == 2900 ? p2900
                                        : i == 10 && !p10.empty()
                                            ? p10
                                            : path("/dev/sg" + std::to_string(i)));
        return R"({"format_version": 1, "arrays": [{"cabinet_serial": "C", "luns": [{"lun_serial": "L", "paths": [)" +
               paths + R"(]}]}], "not_claimed": [], "failed": [], "not_examined": []})";
    };
    const std::string good = report(path("/dev/sg2900"));
    const std::string at = "arrays[0].luns[0].paths[";
    struct Case {
        std::string text;
        std::string problem;   // "": read
    } cases[] = {
        {good, ""},
        {report(path("/dev/sg2900", "trux")), "near 'trux'"},
        {report(path("/dev/sg2900", "\"yes\"")), at + "2900].owner is not true or false"},
        {report(path("/dev/sg5")), "device '/dev/sg5' is listed twice (again at " + at + "2900])"},
        // The first problem in the file is told, not the path listed twice.
        {report(path("/dev/sg5"), R"({"device": "/dev/sg10", "sp": 1, "owner": true})"),
         at + "10].sp is not a string"},
        {good.substr(0, 100000) + std::string(1, '\0') + good.substr(100001), "a NUL byte at byte 100001"},
        {good.substr(0, good.size() - 3), "(is the file truncated?)"},
    };
    for (const Case &c : cases) {
        std::string file = dir.file("old.json");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text;
        zkd::Snapshot snapshot;
        std::string problem;
        EXPECT_EQ(zkd::load_snapshot(file, snapshot, problem), c.problem.empty()) << problem;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        if (c.problem.empty()) {
            EXPECT_EQ(snapshot.devices.size(), 3000u);
            ASSERT_NE(snapshot.find("/dev/sg2900"), nullptr);
            EXPECT_EQ(snapshot.find("/dev/sg2900")->lun_serial.str(), "L");
        }
        // A syntax error names the byte a parser of the whole text names.
        json::parser_callback_t none = nullptr;
        try {
            json parsed = json::parse(c.text, none);
        } catch (const json::parse_error &e) {
            if (c.problem.find("near") != std::string::npos) {
                EXPECT_NE(problem.find("at byte " + std::to_string(e.byte) + " "), std::string::npos)
                    << problem;
            }
        }
    }
}

}  // namespace
