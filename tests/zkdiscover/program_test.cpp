// The zkdiscover program as a user runs it, on simulated devices: the
// bundled demo array's tree, JSON and export output, capture and replay,
// parallel claims, --explain and its trace log, the progress line, and the
// refusals of bad input with their exit codes.
#include "options.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
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

class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/zkd_program_XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunResult {
    int code = -1;
    std::string out, err;
};

// Runs the program with args; stdout and stderr are captured separately.
RunResult run(const std::vector<std::string> &args, const char *program = ZKD_PROGRAM)
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
        EXPECT_EQ(blocks[i][0], std::string("DEVICE=/dev/sim/sd") + static_cast<char>('b' + i));
    }
}

json without_simulation(json doc)
{
    doc.erase("simulation");
    return doc;
}

TEST(Capture, ReplayShowsTheSameClaims)
{
    TempDir dir;
    // The demo plus a unit whose Unit Config read fails (command 5: after
    // the INQUIRY's two and the SP Report page's two).
    std::string description = read_file(std::string(ZKD_TEST_DATA) + "/../../zkdiscover/arrays/demo.sim");
    description +=
        "unit /dev/sim/sdv\n  cab_serial \"APM00123400567\"\n  sp 1\n  model 4700\n"
        "  auto_trespass on\n  fault command 5 errno EIO\n";
    write_file(dir.file("input.sim"), description);

    json plain = run_json({"--simulate=" + dir.file("input.sim"), "--json"});
    ASSERT_EQ(plain["failed"].size(), 2u);
    EXPECT_EQ(plain["failed"][0]["device"], "/dev/sim/sdv");

    RunResult captured = run({"--simulate=" + dir.file("input.sim"), "--capture", dir.file("cap")});
    ASSERT_EQ(captured.code, 0) << captured.err;
    EXPECT_NE(captured.err.find(dir.file("cap/capture.sim")), std::string::npos);
    std::string capture = read_file(dir.file("cap/capture.sim"));
    EXPECT_NE(capture.find("unit /dev/sim/sdb\n  inquiry hex:"), std::string::npos);
    EXPECT_NE(capture.find("  vpd 0x80 hex:00 80 00 0e 41 50 4d"), std::string::npos);

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
    EXPECT_EQ(one, eight);
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
    // Under --simulate a real node is not offered at all.
    RunResult simulated = run({"/dev/sim/sdb", "/dev/null", "--simulate", "--json"});
    ASSERT_EQ(simulated.code, 0) << simulated.err;
    json doc = json::parse(simulated.out);
    EXPECT_EQ(doc["summary"]["claimed"], 1);
    EXPECT_EQ(doc["not_examined"][0]["device"], "/dev/null");
    EXPECT_NE(doc["not_examined"][0]["error"].get<std::string>().find("not a unit of"),
              std::string::npos);

    // Without --simulate nothing is preloaded: simulated paths do not exist.
    RunResult real = run({"/dev/sim/sdb", "--json"});
    ASSERT_EQ(real.code, 0) << real.err;
    json real_doc = json::parse(real.out);
    EXPECT_EQ(real_doc["summary"]["claimed"], 0);
    EXPECT_EQ(real_doc["simulation"], nullptr);
    EXPECT_NE(real.err.find("No such file or directory"), std::string::npos) << real.err;
}

TEST(Explain, ShowsWhyAndRemovesOnlyTheLogItCreated)
{
    if (exists(kTraceLog))
        GTEST_SKIP() << kTraceLog << " exists already; not touching it";

    RunResult r = run({"--simulate", "--explain", "--jobs", "4"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(exists(kTraceLog));
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

    // An existing log is used and kept, with the run's lines appended.
    write_file(kTraceLog, "earlier lines\n");
    chmod(kTraceLog, 0666);
    json doc = run_json({"--simulate", "--explain", "--json", "/dev/sim/sdt"});
    std::string log = read_file(kTraceLog);
    unlink(kTraceLog);
    EXPECT_EQ(log.rfind("earlier lines\n", 0), 0u);
    EXPECT_NE(log.find("not claiming: /dev/sim/sdt"), std::string::npos);
    EXPECT_EQ(doc["not_claimed"][0]["trace"],
              json::array({"claim_device for /dev/sim/sdt", "not claiming: /dev/sim/sdt",
                           "/dev/sim/sdt : retval 1  "}));
}

TEST(Installed, FindsItsLibrarySimulatorAndDemoInTheInstalledTree)
{
    // The installed program finds everything relative to itself: the
    // library in ../lib, the simulator in ../lib/zkdiscover, the demo in
    // ../share/zkdiscover. Installing checks the install rules and the
    // lookups together.
    TempDir dir;
    std::string command = std::string("'") + ZKD_CMAKE + "' --install '" + ZKD_BUILD_DIR +
                          "' --prefix '" + dir.file("prefix") + "' > '" + dir.file("log") + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir.file("log"));
    std::string installed = dir.file("prefix/bin/zkdiscover");

    RunResult r = run({"--simulate", "--json"}, installed.c_str());
    ASSERT_EQ(r.code, 0) << r.err;
    json doc = json::parse(r.out);
    std::string library = doc["library"]["path"];
    EXPECT_EQ(library.rfind(dir.file("prefix/"), 0), 0u) << library;
    std::string demo = doc["simulation"];
    EXPECT_EQ(demo, dir.file("prefix/share/zkdiscover/demo.sim"));
    EXPECT_EQ(doc["summary"]["claimed"], 16);
    EXPECT_TRUE(exists(dir.file("prefix/share/man/man1/zkdiscover.1")));
}

// Runs the program with stderr on a terminal; returns what it wrote there.
std::string run_on_terminal(const std::vector<std::string> &args)
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
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    return text;
}

TEST(Progress, ALongScanShowsALineOnATerminalOnly)
{
    TempDir dir;
    // 16 paths, ten commands each, 10 ms per command: about 1.6 s.
    write_file(dir.file("slow.sim"),
               "array CKM00999900002 model=4700 luns=8 paths_per_sp=1 latency_us=10000\n");
    std::string slow = "--simulate=" + dir.file("slow.sim");

    std::string terminal = run_on_terminal({slow});
    EXPECT_NE(terminal.find("\rzkdiscover: examined "), std::string::npos) << terminal;
    EXPECT_NE(terminal.find(" of 16 devices"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\r\033[K"), std::string::npos) << "the line is wiped at the end";

    RunResult piped = run({slow});
    ASSERT_EQ(piped.code, 0);
    EXPECT_EQ(piped.err, "");

    std::string quick = run_on_terminal({"--simulate"});
    EXPECT_EQ(quick.find("examined"), std::string::npos) << quick;
}

}  // namespace
