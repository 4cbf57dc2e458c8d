// The zkdiscover program as a user runs it, on simulated devices: the
// bundled demo array's tree, JSON and export output, capture and replay,
// parallel claims, --explain and its trace log, the installed tree, and
// the refusals of bad input with their exit codes (program_outputs_test.cpp
// has the rest).
#include "options.h"
#include "program_support.h"
#include "text_escape.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace zkdtest;

TEST(BundledDemo, TreeIsTheExpectedOne)
{
    RunResult r = run({"--simulate"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(without_paths(r.out), read_file(std::string(ZKD_TEST_DATA) + "/demo_tree.txt"));
    EXPECT_NE(r.out.find("Simulated devices: "), std::string::npos);
}

TEST(BundledDemo, JsonDescribesTheArray)
{
    json doc = run_json({"--simulate", "--json"});
    EXPECT_EQ(doc["library"]["interface_version"], 1);
    EXPECT_EQ(doc["library"]["vendor_info"],
              json::array({"VID=DGC", "PID=CLARiiON", "ATYPE=A/P", "ANAME=EMC_CLARiiON"}));
    ASSERT_EQ(doc["arrays"].size(), 1u);
    const json &array = doc["arrays"][0];
    EXPECT_EQ(array["cabinet_serial"], "APM00123400567");
    ASSERT_EQ(array["luns"].size(), 8u);

    // LUNs 0, 1, 4 and 6 belong to SP A, the others to SP B; 0-3 carry
    // binary identifiers (hexadecimal serials), 4-7 printable ones.
    const std::set<int> owned_by_a = {0, 1, 4, 6};
    for (int lun = 0; lun < 8; ++lun) {
        const json &l = array["luns"][lun];
        std::string serial = l["lun_serial"];
        if (lun < 4) {
            EXPECT_EQ(serial.size(), 32u);
            EXPECT_EQ(serial.find_first_not_of("0123456789ABCDEF"), std::string::npos) << serial;
        } else {
            EXPECT_EQ(serial, "DEMO-LUN-000" + std::to_string(lun) + "-CX");
        }
        ASSERT_EQ(l["paths"].size(), 2u) << serial;
        const json &a = l["paths"][0], &b = l["paths"][1];
        EXPECT_EQ(a["sp"], "A");
        EXPECT_EQ(b["sp"], "B");
        EXPECT_EQ(a["port_serial"], "APM00123400567A");
        EXPECT_EQ(b["port_serial"], "APM00123400567B");
        bool a_owns = owned_by_a.count(lun) > 0;
        EXPECT_EQ(a["owner"], a_owns) << serial;
        EXPECT_EQ(b["owner"], !a_owns) << serial;
        EXPECT_EQ(a["properties"]["LUN_OWNER"], a_owns ? "Y" : "N");
        EXPECT_EQ(a["properties"]["LUN_SERIAL_NO"], serial);
        EXPECT_EQ(a["properties"]["REVISION"], "0219");
        EXPECT_EQ(a["properties"]["SCSI_VERSION"], "4");
    }

    std::vector<std::string> not_claimed;
    for (const json &d : doc["not_claimed"])
        not_claimed.push_back(d["device"]);
    EXPECT_EQ(not_claimed,
              (std::vector<std::string>{"/dev/sim/sdr", "/dev/sim/sds", "/dev/sim/sdt"}));
    EXPECT_EQ(doc["not_claimed"][2]["vendor"], "SEAGATE");
    ASSERT_EQ(doc["failed"].size(), 1u);
    EXPECT_EQ(doc["failed"][0]["device"], "/dev/sim/sdw");
    ASSERT_EQ(doc["not_examined"].size(), 1u);
    EXPECT_EQ(doc["not_examined"][0]["device"], "/dev/sim/sdu");
    EXPECT_EQ(doc["not_examined"][0]["errno"], 5);
    EXPECT_EQ(doc["summary"]["claimed"], 16);
    EXPECT_EQ(doc["summary"]["devices"], 21);
}

// Six pairs of the claim, the device before them and the unit's default SP
// (VPD 0xC0) after them.
TEST(BundledDemo, ExportHasSixPairsPerClaimedDevice)
{
    RunResult r = run({"--simulate", "--export"});
    ASSERT_EQ(r.code, 0) << r.err;
    // The dead path is reported on stderr; stdout holds only pairs.
    EXPECT_NE(r.err.find("/dev/sim/sdu"), std::string::npos);

    std::vector<std::vector<std::string>> blocks(1);
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            blocks.emplace_back();
        else
            blocks.back().push_back(line);
    }
    ASSERT_EQ(blocks.size(), 16u);
    const char *names[] = {"DEVICE=", "CAB_SERIAL_NO=", "LUN_SERIAL_NO=", "REVISION=",
                           "SCSI_VERSION=", "LUN_OWNER=", "PORT_SERIAL_NO=", "DEFAULT_SP=", "FAILOVER_MODE="};
    for (size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_EQ(blocks[i].size(), std::size(names)) << i;
        for (size_t k = 0; k < std::size(names); ++k)
            EXPECT_EQ(blocks[i][k].rfind(names[k], 0), 0u) << blocks[i][k];
        EXPECT_EQ(blocks[i][0], std::string("DEVICE='/dev/sim/sd") + static_cast<char>('b' + i) + "'");
    }
}

TEST(Capture, ReplayShowsTheSameClaims)
{
    TempDir dir;
    // The demo plus a unit whose Unit Config read fails (command 5: after
    // the INQUIRY's two and the SP Report page's two).
    std::string description = demo_description();
    description +=
        "unit /dev/sim/sdv\n  cab_serial \"APM00123400567\"\n  sp 1\n  model 4700\n"
        "  auto_trespass on\n  fault command 5 errno EIO\n"
        "unit /dev/sim/sdx\n  kernel emc active/optimized preferred\n";
    write_file(dir.file("input.sim"), description);

    json plain = run_json({"--simulate=" + dir.file("input.sim"), "--json"});
    ASSERT_EQ(plain["failed"].size(), 2u);
    EXPECT_EQ(plain["failed"][0]["device"], "/dev/sim/sdv");

    // A capture run reports what the plain run reports: it sends nothing
    // of its own, so the simulated faults meet the claims as before.
    RunResult captured =
        run({"--simulate=" + dir.file("input.sim"), "--json", "--capture", dir.file("cap")});
    ASSERT_EQ(captured.code, 0) << captured.err;
    EXPECT_EQ(without_time(json::parse(captured.out)), without_time(plain));
    EXPECT_NE(captured.err.find(dir.file("cap/capture.sim")), std::string::npos);
    std::string capture = read_file(dir.file("cap/capture.sim"));
    EXPECT_NE(capture.find("unit /dev/sim/sdb\n  inquiry hex:"), std::string::npos);
    EXPECT_NE(capture.find("  vpd 0x80 hex:00 80 00 0e 41 50 4d"), std::string::npos);
    // The demo's sdw fails its third command with CHECK CONDITION 05/24/00;
    // the other vendor's disk is asked nothing beyond its INQUIRY.
    EXPECT_NE(capture.find("  fault command 3 check 5 36 0 "), std::string::npos) << capture;
    size_t other_vendor = capture.find("unit /dev/sim/sdt\n");
    std::string other_unit = capture.substr(other_vendor, capture.find("\nunit ", other_vendor + 1) - other_vendor);
    EXPECT_EQ(other_unit.find("  vpd"), std::string::npos) << other_unit;
    EXPECT_EQ(other_unit.find("  mode"), std::string::npos) << other_unit;

    // Each claimed path's VPD 0xC0 and its kernel view are captured and
    // replayed: the three views come back as they were.
    EXPECT_NE(capture.find("  vpd 0xc0 hex:00 c0 00 5c 02"), std::string::npos);
    EXPECT_NE(capture.find("  kernel emc active/optimized preferred\n"), std::string::npos);
    EXPECT_EQ(plain["arrays"][1]["luns"][0]["paths"][0]["kernel"]["access_state"],
              "active/optimized") << plain.dump();
    json replay = run_json({"--simulate=" + dir.file("cap/capture.sim"), "--json"});
    EXPECT_EQ(without_simulation(replay), without_simulation(plain));

    // A capture made before the views were read replays without them.
    std::string old, line;
    std::istringstream lines(capture);
    while (std::getline(lines, line))
        if (line.rfind("  vpd 0xc0 ", 0) != 0 && line.rfind("  kernel ", 0) != 0)
            old += line + "\n";
    write_file(dir.file("old.sim"), old);
    std::string replayed = run_json({"--simulate=" + dir.file("old.sim"), "--json"}).dump();
    EXPECT_EQ(replayed.find("unit_path_report"), std::string::npos);
    EXPECT_EQ(replayed.find("\"kernel\""), std::string::npos);
    EXPECT_NE(replayed.find("APM00123400567"), std::string::npos);
}

TEST(Jobs, EightJobsGiveWhatOneGivesOnAThousandPaths)
{
    TempDir dir;
    write_file(dir.file("big.sim"), "array CKM00999900001 model=4700 luns=256 paths_per_sp=2\n");
    json one = run_json({"--simulate=" + dir.file("big.sim"), "--json", "--jobs", "1"});
    json eight = run_json({"--simulate=" + dir.file("big.sim"), "--json", "--jobs", "8"});
    EXPECT_EQ(one["summary"]["devices"], 1024);
    EXPECT_EQ(one["summary"]["claimed"], 1024);
    EXPECT_EQ(one["summary"]["luns"], 256);
    EXPECT_EQ(without_time(one), without_time(eight));
}

TEST(Jobs, ByDefaultParallelGivesTheSerialReportInAFractionOfTheTime)
{
    TempDir dir;
    // 128 paths, ten commands each, 2 ms per command: 2.6 s one at a time.
    write_file(dir.file("slow.sim"),
               "array CKM00999900004 model=4700 luns=32 paths_per_sp=2 latency_us=2000\n");
    std::string slow = "--simulate=" + dir.file("slow.sim");
    auto timed = [&](std::vector<std::string> args, double &seconds) {
        auto start = std::chrono::steady_clock::now();
        json doc = run_json(args);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return doc;
    };
    double serial = 0, by_default = 0;
    json one = timed({slow, "--json", "--explain", "--jobs", "1"}, serial);
    json parallel = timed({slow, "--json", "--explain"}, by_default);
    EXPECT_EQ(one["summary"]["claimed"], 128);
    EXPECT_EQ(without_time(one), without_time(parallel));
    EXPECT_LT(by_default, serial / 3) << "default " << by_default << " s, serial " << serial << " s";
}

TEST(Refusals, BadInputHasItsMessageAndExitCode)
{
    TempDir dir;
    write_file(dir.file("bad.sim"), "# comment\nunit /dev/sim/x\n  model many\n");
    write_file(dir.file("empty.sim"), "# no unit at all\n");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> message_parts;
    } cases[] = {
        {{"--simulate=" + dir.file("bad.sim")}, zkd::kExitSimulation, {dir.file("bad.sim"), "line 3"}},
        {{"--simulate=" + dir.file("absent.sim")}, zkd::kExitSimulation, {"absent.sim", "No such file"}},
        {{"--simulate=" + dir.file("empty.sim")}, zkd::kExitNoDevices, {"no devices found"}},
        {{"--library", dir.file("absent.so"), "/dev/null"}, zkd::kExitLibrary, {"absent.so"}},
        {{"--library", ZKD_FAKE_NO_ENTRY_POINTS, "/dev/null"}, zkd::kExitLibrary,
         {"vendor_info", "claim_device", "nv_free", "do_inquiry"}},
        {{"--library", ZKD_FAKE_VERSION2, "/dev/null"}, zkd::kExitVersion, {"version 2", "only version 1"}},
        {{"--jobs", "0"}, zkd::kExitUsage, {"--jobs"}},
        {{"--json", "--export"}, zkd::kExitUsage, {"--export"}},
        {{"--compare", "old.json", "--export"}, zkd::kExitUsage, {"--export"}},
        {{"--simulate", "--save=", "--json"}, zkd::kExitUsage, {"--save was given an empty value"}},
        {{"--simulate", "--save", ""}, zkd::kExitUsage, {"--save was given an empty value"}},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.args[0];
        for (const std::string &part : c.message_parts)
            EXPECT_NE(r.err.find(part), std::string::npos) << part << " not in: " << r.err;
    }
}

TEST(Simulation, OnlyDescribedUnitsAreOpenedAndOnlyWhenAsked)
{
    // Under --simulate a real node is not offered at all (and, named, it
    // could not be examined).
    RunResult simulated = run({"/dev/sim/sdb", "/dev/null", "--simulate", "--json"});
    ASSERT_EQ(simulated.code, zkd::kExitNotExamined) << simulated.err;
    json doc = json::parse(simulated.out);
    EXPECT_EQ(doc["summary"]["claimed"], 1);
    EXPECT_EQ(doc["not_examined"][0]["device"], "/dev/null");
    EXPECT_NE(doc["not_examined"][0]["error"].get<std::string>().find("not a unit of"),
              std::string::npos);

    // Without --simulate nothing is preloaded: simulated paths do not exist.
    RunResult real = run({"/dev/sim/sdb", "--json"});
    ASSERT_EQ(real.code, zkd::kExitNotExamined) << real.err;
    json real_doc = json::parse(real.out);
    EXPECT_EQ(real_doc["summary"]["claimed"], 0);
    EXPECT_EQ(real_doc["simulation"], nullptr);
    EXPECT_NE(real.err.find("No such file or directory"), std::string::npos) << real.err;
}

TEST(Explain, ShowsEachDevicesOwnTraceLines)
{
    RunResult r = run({"--simulate", "--explain", "--jobs", "4"});
    ASSERT_EQ(r.code, 0) << r.err;
    const char *reasons[] = {
        ("`-- /dev/sim/sdj  SP B  port APM00123400567B\n"
         "|       |-- > claim_device for /dev/sim/sdj\n"),
        "`-- > /dev/sim/sdj : retval 0  (Claimed)\n",
        "> /dev/sim/sdr Not Claimed: AutoTrespass not previously enabled for Model 4700\n",
        "> V10 claim_device: unsupported Clariion: 7624 : 00 00 1d c8\n",
        "|-- > not claiming: /dev/sim/sdt\n",
    };
    for (const char *reason : reasons)
        EXPECT_NE(r.out.find(reason), std::string::npos) << reason << "\nnot in:\n" << r.out;
    // No device's lines under another device.
    EXPECT_EQ(r.out.find("> claim_device for /dev/sim/sdt", r.out.find("Not claimed")),
              r.out.find("> claim_device for /dev/sim/sdt"));
    json doc = run_json({"--simulate", "--explain", "--json", "/dev/sim/sdt", "/dev/sim/sdb"});
    EXPECT_EQ(doc["not_claimed"][0]["trace"],
              json::array({"claim_device for /dev/sim/sdt", "not claiming: /dev/sim/sdt",
                           "/dev/sim/sdt : retval 1  "}));
}

TEST(Explain, LeavesTheMachinesTraceLogAlone)
{
    TempDir dir;
    // 64 paths, ten commands each, 1 ms per command: long enough to watch.
    write_file(dir.file("slow.sim"),
               "array CKM00999900003 model=4700 luns=16 paths_per_sp=2 latency_us=1000\n");
    std::string slow = "--simulate=" + dir.file("slow.sim");
    write_file(dir.file("precious"), "not a log\n");

    enum class Before { Absent, FileWithWriter, Link };
    struct Case {
        const char *name;
        Before before;
        bool explain;
    } cases[] = {
        {"absent", Before::Absent, true},
        {"another writer's log", Before::FileWithWriter, true},
        {"a link", Before::Link, true},
        // Without --explain the library traces into an existing log, as for
        // any host.
        {"another writer's log, no --explain", Before::FileWithWriter, false},
    };
    for (const Case &c : cases) {
        unlink(kTraceLog);
        if (c.before == Before::FileWithWriter)
            write_file(kTraceLog, "");
        if (c.before == Before::Link) {
            ASSERT_EQ(symlink(dir.file("precious").c_str(), kTraceLog), 0);
        }

        // Another process's writer, and a watch on the log's presence.
        int written = 0;
        bool appeared = false;
        auto during = [&] {
            if (c.before == Before::FileWithWriter) {
                int fd = open(kTraceLog, O_WRONLY | O_APPEND);
                std::string line = "other process line " + std::to_string(written++) + "\n";
                if (fd >= 0 && write(fd, line.data(), line.size()) < 0)
                    ADD_FAILURE() << "cannot append to the log";
                close(fd);
            }
            appeared = appeared || (c.before == Before::Absent && exists(kTraceLog));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        std::vector<std::string> args = {slow, "--json"};
        if (c.explain)
            args.push_back("--explain");
        RunResult r = run(args, ZKD_PROGRAM, during);
        ASSERT_EQ(r.code, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.out.find("other process"), std::string::npos) << c.name;
        json doc = json::parse(r.out);
        EXPECT_EQ(doc["summary"]["claimed"], 64) << c.name;
        if (c.explain) {
            EXPECT_EQ(doc["arrays"][0]["luns"][0]["paths"][0]["trace"][0],
                      "claim_device for /dev/sim/CKM00999900003/path0") << c.name;
        }

        EXPECT_FALSE(appeared) << c.name;
        std::string log = read_file(kTraceLog);
        switch (c.before) {
        case Before::Absent:
            EXPECT_FALSE(exists(kTraceLog)) << c.name;
            break;
        case Before::FileWithWriter: {
            EXPECT_GT(written, 10) << c.name;
            size_t claims = 0;
            for (size_t at = log.find("claim_device for "); at != std::string::npos;
                 at = log.find("claim_device for ", at + 1)) {
                ++claims;
            }
            EXPECT_EQ(claims, c.explain ? 0u : 64u) << c.name;
            EXPECT_NE(log.find("other process line " + std::to_string(written - 1) + "\n"),
                      std::string::npos) << c.name;
            break;
        }
        case Before::Link: {
            struct stat st;
            EXPECT_TRUE(lstat(kTraceLog, &st) == 0 && S_ISLNK(st.st_mode)) << c.name;
            EXPECT_EQ(read_file(dir.file("precious")), "not a log\n");
            break;
        }
        }
    }
    unlink(kTraceLog);
}

TEST(Installed, FindsItsLibrarySimulatorAndDemoInTheInstalledTree)
{
    // The installed program finds everything relative to itself: the
    // library in ../lib, the simulator and the trace collector (--explain)
    // in ../lib/zkdiscover, the demo in
    // ../share/zkdiscover. Installing checks the install rules and the
    // lookups together.
    TempDir dir;
    std::string command = std::string("'") + ZKD_CMAKE + "' --install '" + ZKD_BUILD_DIR +
                          "' --prefix '" + dir.file("prefix") + "' > '" + dir.file("log") + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir.file("log"));
    std::string installed = dir.file("prefix/bin/zkdiscover");

    RunResult r = run({"--simulate", "--json", "--explain"}, installed.c_str());
    ASSERT_EQ(r.code, 0) << r.err;
    json doc = json::parse(r.out);
    EXPECT_FALSE(doc["arrays"][0]["luns"][0]["paths"][0]["trace"].empty());
    std::string library = doc["library"]["path"];
    EXPECT_EQ(library.rfind(dir.file("prefix/"), 0), 0u) << library;
    std::string demo = doc["simulation"];
    EXPECT_EQ(demo, dir.file("prefix/share/zkdiscover/demo.sim"));
    EXPECT_EQ(doc["summary"]["claimed"], 16);
    EXPECT_TRUE(exists(dir.file("prefix/share/man/man1/zkdiscover.1")));
}

// True when text holds a byte that could steer a terminal (a control byte
// other than the line feed, or DEL).
}  // namespace

// A hung SP: the paths through it are reported as not answering by their
// deadline, named by the earlier scan in the metrics; a node whose wait
// cannot be interrupted ends with the scan's deadline and the process.
TEST(Deadline, HungPathsEndTheScanOnTimeAndAreNamed)
{
    TempDir dir;
    std::string units;
    for (const char *unit : {"sg1 0 1", "sg2 1 0", "sg3 0 1", "sd4 1 0"}) {
        std::istringstream in(unit);
        std::string name, sp, owner;
        in >> name >> sp >> owner;
        units += "unit /dev/sim/" + name + "\n  sp " + sp + "\n  owner " + owner + "\n";
    }
    std::string sim = "--simulate=" + dir.file("array.sim");
    write_file(dir.file("array.sim"), units);
    ASSERT_EQ(run({sim, "--save", dir.file("old.json")}).code, 0);
    for (const char *unit : {"/dev/sim/sg2\n", "/dev/sim/sd4\n"})
        units.insert(units.find(unit) + std::strlen(unit), "  fault command 2 hang\n");
    write_file(dir.file("array.sim"), units);

    struct Case {
        std::string timeouts;           // device, scan
        std::vector<std::string> devices;
        double at_most;                 // seconds
        const char *sg2_error, *sd4_error;
    } cases[] = {
        {"1 30", {"/dev/sim/sg1", "/dev/sim/sg2", "/dev/sim/sg3"}, 2.5, "no answer within 1 s", ""},
        {"1 2", {}, 4, "no answer within 1 s", "no answer before the scan's deadline of 2 s"},
    };
    for (const Case &c : cases) {
        std::istringstream in(c.timeouts);
        std::string device_timeout, scan_timeout;
        in >> device_timeout >> scan_timeout;
        std::vector<std::string> args = c.devices;
        args.insert(args.end(), {sim, "--device-timeout", device_timeout, "--scan-timeout",
                                 scan_timeout, "--compare", dir.file("old.json"), "--save",
                                 dir.file("new.json"), "--metrics", dir.file("m.prom")});
        auto start = std::chrono::steady_clock::now();
        RunResult r = run(args);
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        SCOPED_TRACE(c.timeouts + ": " + r.err);
        EXPECT_LT(took, c.at_most);
        EXPECT_EQ(r.code, c.devices.empty() ? zkd::kExitDegraded : zkd::kExitNotExamined);
        json silent = json::parse(read_file(dir.file("new.json")))["not_answering"];
        ASSERT_EQ(silent.size(), *c.sd4_error ? 2u : 1u);
        EXPECT_EQ(silent.back()["error"], c.sg2_error);
        EXPECT_EQ(silent.back()["known_from"], "earlier scan");
        if (*c.sd4_error) {
            EXPECT_EQ(silent[0]["error"], c.sd4_error);
        }
        std::string metrics = read_file(dir.file("m.prom"));
        EXPECT_NE(metrics.find("\nzkdiscover_devices{outcome=\"not_answering\"} " +
                               std::to_string(*c.sd4_error ? 2 : 1) + "\n"),
                  std::string::npos) << metrics;
        size_t series = metrics.find(",sp=\"B\",device=\"/dev/sim/sg2\",address=\"\"} 1\n");
        ASSERT_NE(series, std::string::npos) << metrics;
        EXPECT_EQ(metrics.rfind("\nzkdiscover_path_not_answering{array=\"F1234567\",lun=\"", series),
                  metrics.rfind('\n', series));
        EXPECT_NE(metrics.find("zkdiscover_devices{outcome=\"claimed\"} 2"), std::string::npos);
    }
}
