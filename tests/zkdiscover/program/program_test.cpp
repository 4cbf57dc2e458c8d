// The zkdiscover program as a user runs it, on simulated devices: the
// bundled demo array's tree, JSON and export output, capture and replay,
// parallel claims, --explain and its trace log, the progress line, and the
// refusals of bad input with their exit codes.
#include "options.h"
#include "text_escape.h"

#include "temp_dir.h"

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

using json = nlohmann::json;

const char kTraceLog[] = "/tmp/.ZEVIRO00.log";

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A private directory for one test's files.
struct TempDir : zktest::TempDir {
    TempDir() : zktest::TempDir("zkd_program") {}
};

struct RunResult {
    int code = -1;
    std::string out, err;
};

// Runs the program with args; stdout and stderr are captured separately.
// during, when given, is called over and over while the program runs.
RunResult run(const std::vector<std::string> &args, const char *program = ZKD_PROGRAM,
              const std::function<void()> &during = nullptr)
{
    TempDir dir;
    std::string out = dir.file("out"), err = dir.file("err");
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    int status = 0;
    while (during && waitpid(pid, &status, WNOHANG) == 0)
        during();
    if (!during)
        waitpid(pid, &status, 0);
    RunResult r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

json run_json(const std::vector<std::string> &args)
{
    RunResult r = run(args);
    EXPECT_EQ(r.code, 0) << r.err;
    return json::parse(r.out);
}

// The report without the lines that name build paths.
std::string without_paths(const std::string &tree)
{
    std::istringstream in(tree);
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind("Library: ", 0) != 0 && line.rfind("Simulated devices: ", 0) != 0)
            out += line + "\n";
    return out;
}

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
                           "SCSI_VERSION=", "LUN_OWNER=", "PORT_SERIAL_NO="};
    for (size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_EQ(blocks[i].size(), 7u) << i;
        for (size_t k = 0; k < 7; ++k)
            EXPECT_EQ(blocks[i][k].rfind(names[k], 0), 0u) << blocks[i][k];
        EXPECT_EQ(blocks[i][0], std::string("DEVICE='/dev/sim/sd") + static_cast<char>('b' + i) + "'");
    }
}

std::string demo_description()
{
    return read_file(std::string(ZKD_TEST_DATA) + "/../../../zkdiscover/arrays/demo.sim");
}

// A report without the moment of its scan, for comparing two runs.
json without_time(json doc)
{
    doc.erase("scanned_at");
    return doc;
}

json without_simulation(json doc)
{
    doc.erase("simulation");
    return without_time(doc);
}

TEST(Capture, ReplayShowsTheSameClaims)
{
    TempDir dir;
    // The demo plus a unit whose Unit Config read fails (command 5: after
    // the INQUIRY's two and the SP Report page's two).
    std::string description = demo_description();
    description +=
        "unit /dev/sim/sdv\n  cab_serial \"APM00123400567\"\n  sp 1\n  model 4700\n"
        "  auto_trespass on\n  fault command 5 errno EIO\n";
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

    json replay = run_json({"--simulate=" + dir.file("cap/capture.sim"), "--json"});
    EXPECT_EQ(without_simulation(replay), without_simulation(plain));
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
bool has_control_byte(const std::string &text)
{
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\n') || c == 0x7f)
            return true;
    return false;
}

TEST(Capture, TheFileIsReplacedWholeOrLeftAsItWas)
{
    TempDir dir;
    std::string cap = dir.file("cap"), file = dir.file("cap/capture.sim");
    mkdir(cap.c_str(), 0700);

    // A link planted at the file's name is replaced, never written through.
    write_file(dir.file("victim"), "precious\n");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), file.c_str()), 0);
    RunResult r = run({"--simulate", "--capture", cap});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("victim")), "precious\n");
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    std::string good = read_file(file);
    EXPECT_EQ(good.substr(good.size() - 5), "\nend\n");

    // A folder that cannot be made is reported before the scan: no report.
    r = run({"--simulate", "--capture", dir.file("absent/cap")});
    EXPECT_EQ(r.code, zkd::kExitCapture);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cannot create " + dir.file("absent/cap") + ": No such file"),
              std::string::npos) << r.err;

    // A capture cut short is refused, not replayed as a smaller machine.
    write_file(dir.file("cut.sim"), good.substr(0, good.size() - 4));
    r = run({"--simulate=" + dir.file("cut.sim")});
    EXPECT_EQ(r.code, zkd::kExitSimulation);
    EXPECT_NE(r.err.find("the capture has no end line"), std::string::npos) << r.err;

    // A full disk: the earlier capture survives, no temporary file stays.
    if (geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "a full file system needs root and mount namespaces";
    std::string command = "unshare -m sh -c 'mount -t tmpfs -o size=64k tmpfs " + cap +
                          " && printf \"capture\\nunit /dev/sim/sdb\\nend\\n\" > " + file +
                          " && head -c 57344 /dev/zero > " + cap + "/filler; " ZKD_PROGRAM
                          " --simulate --capture " + cap + " > /dev/null 2> " + dir.file("err") +
                          "; echo $? > " + dir.file("code") + "; cat " + file + " > " +
                          dir.file("kept") + "; ls -A " + cap + " > " + dir.file("names") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read_file(dir.file("code")), "7\n");
    EXPECT_NE(read_file(dir.file("err")).find("No space left on device"), std::string::npos);
    EXPECT_EQ(read_file(dir.file("kept")), "capture\nunit /dev/sim/sdb\nend\n");
    EXPECT_EQ(read_file(dir.file("names")), "capture.sim\nfiller\n");
}

TEST(Hostile, DeviceBytesAreDataInEveryOutput)
{
    TempDir dir;
    // A revision that clears the screen, a LUN serial that is a command,
    // a path with ESC and a quote in it.
    write_file(dir.file("evil.sim"),
               "unit /dev/sim/it's\x1b[2J\n  cab_serial APM00123400567\n"
               "  revision \"\\x1b[2J\"\n  lun_id \"$(touch y);`z`'x\"\n  auto_trespass on\n");
    std::string sim = "--simulate=" + dir.file("evil.sim");
    for (const char *format : {"--explain", "--jobs=1"}) {
        RunResult r = run({sim, format});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_FALSE(has_control_byte(r.out)) << r.out;
        EXPECT_NE(r.out.find("rev \\x1B[2J"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("/dev/sim/it's\\x1B[2J"), std::string::npos) << r.out;
    }
    RunResult exported = run({sim, "--export"});
    ASSERT_EQ(exported.code, 0) << exported.err;
    write_file(dir.file("pairs"), exported.out);
    std::string script = "cd '" + dir.path() + "' && eval \"$(cat pairs)\" && printf '%s|%s|%s' "
                         "\"$DEVICE\" \"$REVISION\" \"$LUN_SERIAL_NO\" > values";
    for (const char *shell : {"/bin/sh", "/bin/bash"}) {
        ASSERT_EQ(std::system((std::string(shell) + " -c " + zkd::shell_quote(script)).c_str()), 0);
        EXPECT_EQ(read_file(dir.file("values")),
                  "/dev/sim/it's\x1b[2J|\x1b[2J|$(touch y);`z`'x") << shell;
    }
    EXPECT_FALSE(exists(dir.file("y")));
    EXPECT_FALSE(exists(dir.file("z")));
}

TEST(Hostile, FilesAndOptionValuesHaveTheirStatusAndMessage)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(truncate((write_file(dir.file("big.sim"), ""), dir.file("big.sim")).c_str(),
                       (64 << 20) + 1), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("zero.sim").c_str()), 0);
    write_file(dir.file("garbage.sim"),
               demo_description() + "\x1b[2J" + std::string(4000, 'A') + "\n");
    std::string fifo = dir.file("fifo");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> message_parts;
    } cases[] = {
        {{"--simulate=/dev/zero"}, zkd::kExitSimulation,
         {"/dev/zero: not a regular file", "DEVICE arguments come before --simulate"}},
        {{"--simulate", "/dev/sim/sdb"}, zkd::kExitSimulation, {"DEVICE arguments come before"}},
        {{"--simulate=" + fifo}, zkd::kExitSimulation, {fifo + ": not a regular file"}},
        {{"--simulate=" + dir.file("zero.sim")}, zkd::kExitSimulation, {"not a regular file"}},
        {{"--simulate=" + dir.file("big.sim")}, zkd::kExitSimulation, {"larger than 64 MiB"}},
        {{"--simulate=" + dir.file("garbage.sim")}, zkd::kExitSimulation,
         {"unknown keyword '\\x1B[2JAAAA", "..."}},
        {{"--capture=", "--json"}, zkd::kExitUsage, {"--capture was given an empty value"}},
        {{"--capture", ""}, zkd::kExitUsage, {"--capture was given an empty value"}},
        {{"--simulate="}, zkd::kExitUsage, {"--simulate was given an empty value"}},
        {{"--library=", "--json"}, zkd::kExitUsage, {"--library was given an empty value"}},
        {{"--compare=", "--json"}, zkd::kExitUsage, {"--compare was given an empty value"}},
        {{"/dev/sim/sdu", "/dev/sim/sdb", "--simulate", "--json"}, zkd::kExitNotExamined,
         {"/dev/sim/sdu: cannot read its INQUIRY data"}},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.out.empty(), c.code != zkd::kExitNotExamined) << c.args[0];
        EXPECT_FALSE(has_control_byte(r.err)) << r.err;
        EXPECT_LT(r.err.size(), 600u) << "at most the offending word";
        for (const std::string &part : c.message_parts)
            EXPECT_NE(r.err.find(part), std::string::npos) << part << " not in: " << r.err;
    }
    EXPECT_FALSE(exists("--json"));

    // A report that cannot be written says why.
    std::string command = std::string(ZKD_PROGRAM) + " --simulate > /dev/full 2> '" +
                          dir.file("err") + "'";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), zkd::kExitFailure);
    EXPECT_NE(read_file(dir.file("err")).find("cannot write the report: No space left on device"),
              std::string::npos) << read_file(dir.file("err"));
}

// Runs the program with stderr on a terminal; returns what it wrote there.
// With a signal, sends it once the progress line has shown, and expects the
// program to end by it.
std::string run_on_terminal(const std::vector<std::string> &args, int signal_number = 0)
{
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);   // the report is not what is looked at
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(ZKD_PROGRAM));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(ZKD_PROGRAM, argv.data());
        _exit(127);
    }
    std::string text;
    char buffer[512];
    for (;;) {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;   // EIO once the program has exited
        text.append(buffer, static_cast<size_t>(n));
        if (signal_number > 0 && text.find("examined") != std::string::npos) {
            kill(pid, signal_number);
            signal_number = -signal_number;   // sent
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    if (signal_number < 0)
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == -signal_number) << text;
    else
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    return text;
}

TEST(Progress, ALongScanShowsALineOnATerminalOnly)
{
    TempDir dir;
    // 16 paths, ten commands each, 10 ms per command: about 1.6 s one at
    // a time.
    write_file(dir.file("slow.sim"),
               "array CKM00999900002 model=4700 luns=8 paths_per_sp=1 latency_us=10000\n");
    std::string slow = "--simulate=" + dir.file("slow.sim");

    std::string terminal = run_on_terminal({slow, "--jobs", "1"});
    EXPECT_NE(terminal.find("\rzkdiscover: examined "), std::string::npos) << terminal;
    EXPECT_NE(terminal.find(" of 16 devices"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\r\033[K"), std::string::npos) << "the line is wiped at the end";

    RunResult piped = run({slow, "--jobs", "1"});
    ASSERT_EQ(piped.code, 0);
    EXPECT_EQ(piped.err, "");

    std::string quick = run_on_terminal({"--simulate"});
    EXPECT_EQ(quick.find("examined"), std::string::npos) << quick;

    // Interrupted, the program wipes its line before it ends.
    for (int signal_number : {SIGINT, SIGTERM}) {
        std::string interrupted = run_on_terminal({slow, "--jobs", "1"}, signal_number);
        size_t shown = interrupted.rfind("\rzkdiscover: examined ");
        ASSERT_NE(shown, std::string::npos) << interrupted;
        EXPECT_NE(interrupted.find("\r\033[K", shown), std::string::npos) << interrupted;
    }
}

// The demo with the owner byte of one unit set to owner (0 or 1).
std::string with_owner(std::string description, const std::string &unit, int owner)
{
    size_t at = description.find("  owner ", description.find("unit " + unit + "\n"));
    return description.replace(at, 9, "  owner " + std::to_string(owner));
}

TEST(Compare, NothingChangedIsZeroATrespassHasItsOwnStatus)
{
    TempDir dir;
    write_file(dir.file("old.json"), run({"--simulate", "--json"}).out);
    RunResult same = run({"--simulate", "--compare", dir.file("old.json")});
    EXPECT_EQ(same.code, zkd::kExitOk) << same.err;
    EXPECT_EQ(same.out, "No changes since " + dir.file("old.json") + "\n");
    EXPECT_EQ(same.err, "");
    // Only the devices named are compared.
    RunResult named = run({"/dev/sim/sdf", "/dev/sim/sdn", "--simulate", "--compare", dir.file("old.json")});
    EXPECT_EQ(named.code, zkd::kExitOk) << named.out;

    // LUN 4 trespassed from SP A (sdf) to SP B (sdn).
    write_file(dir.file("trespass.sim"),
               with_owner(with_owner(demo_description(), "/dev/sim/sdf", 0), "/dev/sim/sdn", 1));
    std::string simulate = "--simulate=" + dir.file("trespass.sim");
    RunResult text = run({"--compare", dir.file("old.json"), simulate});
    EXPECT_EQ(text.code, zkd::kExitChanged) << text.err;
    EXPECT_EQ(text.out, "Changes since " + dir.file("old.json") + ": 1\n\n"
                        "Trespass: LUN DEMO-LUN-0004-CX of array APM00123400567\n"
                        "  owner was SP A: /dev/sim/sdf\n"
                        "  owner now SP B: /dev/sim/sdn\n");
    RunResult machine = run({"--compare", dir.file("old.json"), "--json", simulate});
    EXPECT_EQ(machine.code, zkd::kExitChanged) << machine.err;
    json doc = json::parse(machine.out);
    EXPECT_EQ(doc["format_version"], 1);
    ASSERT_EQ(doc["changes"].size(), 1u);
    EXPECT_EQ(doc["changes"][0]["change"], "trespass");
    EXPECT_EQ(doc["changes"][0]["owner_after"], json({{"sp", "B"}, {"paths", {"/dev/sim/sdn"}}}));
}

TEST(Compare, AnOldFileThatIsNoReportStopsBeforeTheScan)
{
    TempDir dir;
    std::string report = run({"--simulate", "--json"}).out;
    write_file(dir.file("truncated.json"), report.substr(0, report.size() / 2));
    write_file(dir.file("empty.json"), "\n");
    write_file(dir.file("foreign.json"), R"({"name": "zkdiscover", "version": "1.0.0"})");
    write_file(dir.file("nul.json"), report + std::string(1 << 16, '\0'));
    write_file(dir.file("huge.json"), report.substr(0, report.size() - 2) + ", \"x\": 1e999}");
    write_file(dir.file("twice.json"), "{\"failed\": []," + report.substr(1));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Case {
        std::string file;
        const char *problem;
    } cases[] = {
        {dir.file("absent.json"), "No such file or directory"},
        {dir.file("truncated.json"), "(is the file truncated?)"},
        {dir.file("empty.json"), "the file is empty"},
        {dir.file("foreign.json"), "not a zkdiscover --json report"},
        {dir.file(""), "a directory, not a regular file"},
        {dir.file("nul.json"), "a NUL byte"},
        {dir.file("huge.json"), "a number out of range"},
        {dir.file("twice.json"), "member 'failed' appears twice"},
        {dir.file("fifo"), "not a regular file"},
        {"/dev/zero", "not a regular file"},
    };
    for (const Case &c : cases) {
        // Nothing is scanned or written: no capture either.
        RunResult r = run({"--simulate", "--capture", dir.file("cap"), "--compare", c.file});
        EXPECT_EQ(r.code, zkd::kExitUsage) << c.file;
        EXPECT_EQ(r.out, "") << c.file;
        EXPECT_NE(r.err.find("--compare " + c.file + ": "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.problem), std::string::npos) << r.err;
        EXPECT_FALSE(exists(dir.file("cap"))) << c.file;
    }
}

// The demo with one line of a unit's block replaced ("" drops the unit).
std::string with_unit(std::string description, const std::string &unit, const std::string &from,
                      const std::string &to)
{
    size_t start = description.find("unit " + unit + "\n");
    size_t end = description.find("\nunit ", start + 1);
    if (from.empty())
        return description.erase(start, end + 1 - start);
    size_t at = description.find(from, start);
    return at < end ? description.replace(at, from.size(), to) : description;
}

TEST(Compare, EachDegradationHasItsStatusAndEachDeviceIsListedOnce)
{
    TempDir dir;
    write_file(dir.file("old.json"), run({"--simulate", "--json"}).out);
    const std::string demo = demo_description();
    struct Case {
        std::string description;
        int code;
        const char *text;
    } cases[] = {
        {with_unit(demo, "/dev/sim/sdf", "", ""), zkd::kExitDegraded,
         "No path left through SP A: LUN DEMO-LUN-0004-CX of array APM00123400567\n"
         "  /dev/sim/sdf  SP A  owner  (now absent)\n"},
        {with_owner(demo, "/dev/sim/sdf", 0), zkd::kExitDegraded,
         "No path through the owning SP (new): LUN DEMO-LUN-0004-CX of array APM00123400567\n"
         "  owner was SP A: /dev/sim/sdf\n  paths now: /dev/sim/sdf (SP A) /dev/sim/sdn (SP B)\n"},
        {with_unit(demo, "/dev/sim/sdf", "  sp 0\n", "  sp 1\n"), zkd::kExitDegraded,
         "No path left through SP A: LUN DEMO-LUN-0004-CX"},
        {with_unit(demo, "/dev/sim/sdf", "  model 4700\n", "  model 4700\n  revision 0220\n"),
         zkd::kExitChanged,
         "Firmware changed: /dev/sim/sdf (LUN DEMO-LUN-0004-CX of array APM00123400567, SP A, owner)\n"
         "  REVISION was 0219, now 0220\n"},
    };
    for (const Case &c : cases) {
        write_file(dir.file("now.sim"), c.description);
        std::string simulate = "--simulate=" + dir.file("now.sim");
        RunResult text = run({"--compare", dir.file("old.json"), simulate});
        EXPECT_EQ(text.code, c.code) << text.out << text.err;
        EXPECT_NE(text.out.find(c.text), std::string::npos) << text.out;
        EXPECT_NE(text.err.find("warning: " + dir.file("old.json") + " is a scan of the simulation "),
                  std::string::npos) << text.err;
        RunResult machine = run({"--compare", dir.file("old.json"), "--json", simulate});
        EXPECT_EQ(machine.code, c.code);
        json doc = json::parse(machine.out);
        EXPECT_EQ(doc["severity"], c.code == zkd::kExitDegraded ? "degraded" : "changed");
        std::set<std::string> listed;
        for (const json &change : doc["changes"]) {
            if (change.contains("device")) {
                EXPECT_TRUE(listed.insert(change["device"].get<std::string>()).second) << machine.out;
            }
            for (const json &p : change.value("paths", json::array()))
                EXPECT_TRUE(listed.insert(p["device"].get<std::string>()).second) << machine.out;
        }
    }
}

TEST(Compare, SaveWritesTheFullReportAtomicallyInTheSameRun)
{
    TempDir dir;
    std::string base = dir.file("base.json"), elsewhere = dir.file("elsewhere");
    write_file(base, run({"--simulate", "--json"}).out);
    // The cron use: compare with the baseline and replace it in one run.
    RunResult r = run({"--simulate", "--compare", base, "--save", base});
    EXPECT_EQ(r.code, zkd::kExitOk) << r.err;
    EXPECT_EQ(r.out, "No changes since " + base + "\n");
    json saved = json::parse(read_file(base));
    EXPECT_EQ(without_time(saved), without_time(run_json({"--simulate", "--json"})));
    EXPECT_EQ(saved["scanned_at"].get<std::string>().size(), 20u);   // 2026-01-02T03:04:05Z
    EXPECT_FALSE(saved["host"].get<std::string>().empty());

    // A link at the target is replaced, never written through; no
    // temporary file stays behind.
    write_file(elsewhere, "untouched");
    ASSERT_EQ(symlink(elsewhere.c_str(), dir.file("link.json").c_str()), 0);
    EXPECT_EQ(run({"--simulate", "--export", "--save", dir.file("link.json")}).code, zkd::kExitOk);
    EXPECT_EQ(read_file(elsewhere), "untouched");
    EXPECT_EQ(json::parse(read_file(dir.file("link.json")))["summary"]["claimed"], 16);
    std::string listing = run({"-c", "ls -A " + dir.path()}, "/bin/sh").out;
    EXPECT_EQ(listing, "base.json\nelsewhere\nlink.json\n");

    // A folder that cannot take the file stops the run before the scan.
    RunResult missing = run({"--simulate", "--save", dir.file("no/such.json")});
    EXPECT_EQ(missing.code, zkd::kExitFailure);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("--save " + dir.file("no/such.json") + ": No such file"), std::string::npos)
        << missing.err;
}

// The metrics without the two lines that change from run to run.
std::string steady_metrics(const std::string &text)
{
    std::string out;
    for (size_t from = 0; from < text.size();) {
        size_t end = std::min(text.find('\n', from), text.size() - 1) + 1;
        std::string line = text.substr(from, end - from);
        if (line.rfind("zkdiscover_scan_timestamp_seconds ", 0) != 0 &&
            line.rfind("zkdiscover_scan_duration_seconds ", 0) != 0)
            out += line;
        from = end;
    }
    return out;
}

TEST(Metrics, SameWhateverJobsAndWrittenWhenTheScanCannotRun)
{
    TempDir dir;
    write_file(dir.file("big.sim"), "array CKM00999900001 model=4700 luns=64 paths_per_sp=2\n");
    std::string sim = "--simulate=" + dir.file("big.sim");
    RunResult one = run({sim, "--jobs", "1", "--metrics", "-"});
    RunResult eight = run({sim, "--jobs", "8", "--json", "--metrics", dir.file("m.prom")});
    EXPECT_EQ(one.code, 0) << one.err;
    EXPECT_EQ(eight.code, 0) << eight.err;
    EXPECT_NE(one.out.find("\nzkdiscover_devices{outcome=\"claimed\"} 256\n"), std::string::npos);
    EXPECT_EQ(steady_metrics(read_file(dir.file("m.prom"))), steady_metrics(one.out));
    EXPECT_EQ(json::parse(eight.out)["summary"]["claimed"], 256);  // the report as usual

    struct Case {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{"--simulate=" + dir.file("absent.sim")}, zkd::kExitSimulation},
        {{"--library", ZKD_FAKE_VERSION2, "--simulate"}, zkd::kExitVersion},
        {{"--simulate=" + dir.file("big.sim"), "/dev/sim/none"}, zkd::kExitNotExamined},
    };
    for (Case &c : cases) {
        c.args.insert(c.args.end(), {"--metrics", dir.file("failed.prom")});
        RunResult r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        std::string text = read_file(dir.file("failed.prom"));
        // Every family and outcome, zeros included, whether the scan ran or not.
        for (const std::string &line :
             {std::string(c.code == zkd::kExitNotExamined ? "zkdiscover_devices{outcome=\"not_examined\"} 1"
                                      : "zkdiscover_scan_success 0"),
              std::string("zkdiscover_devices{outcome=\"claimed\"} 0"),
              std::string("# TYPE zkdiscover_lun_paths gauge"),
              std::string("\",library=\"") + (c.code == zkd::kExitNotExamined ? "/" : "\",interface=\"0\"} 1")})
            EXPECT_NE(text.find(line), std::string::npos) << c.args[0] << ": " << line;
        unlink(dir.file("failed.prom").c_str());
    }
    // A folder that cannot take the file stops the run before the scan.
    RunResult r = run({sim, "--metrics", dir.file("absent/m.prom")});
    EXPECT_EQ(r.code, zkd::kExitFailure);
    EXPECT_EQ(r.out, "");
}

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
