// The zkdiscover program as a user runs it, on simulated devices (the
// rest of program_test.cpp): captures replaced whole, hostile bytes in
// every output, the progress line, --compare and --metrics.
#include "options.h"
#include "program_support.h"
#include "text_escape.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

    // A report that cannot be written says why (on a private full device).
    if (mknod(dir.file("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "a private full device needs root";
    std::string command = std::string(ZKD_PROGRAM) + " --simulate > '" + dir.file("full") +
                          "' 2> '" + dir.file("err") + "'";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), zkd::kExitStdout);
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

TEST(Compare, NamedDevicesAloneAndAnotherHostIsSaid)
{
    TempDir dir;
    std::string old = dir.file("old.json");
    write_file(old, run({"--simulate", "--json"}).out);
    // LUN 4 trespassed to sdn, which is not named: sdf's owner flag
    // changed, and no owner path is concluded from the one path named.
    write_file(dir.file("trespass.sim"),
               with_owner(with_owner(demo_description(), "/dev/sim/sdf", 0), "/dev/sim/sdn", 1));
    RunResult named = run({"/dev/sim/sdf", "--simulate=" + dir.file("trespass.sim"), "--compare", old});
    EXPECT_EQ(named.code, zkd::kExitChanged) << named.out;
    EXPECT_EQ(named.out.find("No path through the owning SP"), std::string::npos) << named.out;
    EXPECT_NE(named.out.find("/dev/sim/sdf"), std::string::npos) << named.out;

    // A report made on another machine is compared, with a warning.
    json doc = json::parse(read_file(old));
    doc["host"] = "elsewhere\x1b";
    write_file(old, doc.dump(2));
    RunResult other = run({"--simulate", "--compare", old});
    EXPECT_EQ(other.code, zkd::kExitOk) << other.err;
    EXPECT_NE(other.err.find("warning: " + old + " is a scan made on host elsewhere\\x1B; this run "
                             "is on host "), std::string::npos) << other.err;
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
