// What an operator's slip cannot turn against the machine, and what a
// newcomer meets first: outputs that are no regular file, signals and
// failed writes while a file is written, a closed standard output, file
// modes, the command line's messages, a node that takes no SCSI command,
// bytes that are no UTF-8.
#include "options.h"
#include "program_support.h"

#include <dirent.h>
#include <pty.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace zkdtest;

// Runs the program with stdout on fd (a pipe whose reader is gone, a
// device node); returns the status and what it wrote to stderr.
RunResult run_onto(int fd, const std::vector<std::string> &args)
{
    TempDir dir;
    pid_t pid = fork();
    if (pid == 0) {
        int e = open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(e, 2);
        std::vector<char *> argv{const_cast<char *>(ZKD_PROGRAM)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(ZKD_PROGRAM, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = read_file(dir.file("err"));
    return r;
}

// A private node like the machine's /dev/null (1:3) or /dev/full (1:7);
// "" when this user cannot make one.
std::string private_node(TempDir &dir, const char *name, unsigned minor_number)
{
    std::string path = dir.file(name);
    return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor_number)) == 0 ? path : "";
}

std::string listing(const std::string &folder)
{
    return run({"-c", "ls -A '" + folder + "'"}, "/bin/sh").out;
}

TEST(Outputs, NoRegularFileNoFolderOfOursIsRefusedBeforeTheScan)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    mkdir(dir.file("folder").c_str(), 0700);
    mkdir(dir.file("cap").c_str(), 0700);
    ASSERT_EQ(mkfifo(dir.file("cap/capture.sim").c_str(), 0600), 0);
    mkdir(dir.file("open").c_str(), 0700);
    chmod(dir.file("open").c_str(), 0777);
    std::string null_node = private_node(dir, "null", 3);
    struct Case {
        std::vector<std::string> args;
        std::string message;
        bool root_only;
    } cases[] = {
        {{"--save", dir.file("fifo")}, "--save " + dir.file("fifo") + ": a FIFO, not a regular file", false},
        {{"--metrics", dir.file("folder")}, "a folder, not a regular file", false},
        {{"--save", null_node}, "a device node, not a regular file (the null device", true},
        {{"--capture", dir.file("cap")}, dir.file("cap/capture.sim") + " is a FIFO", false},
        {{"--capture", dir.file("fifo")}, "a FIFO, not a folder", false},
        {{"--capture", dir.file("open")}, "a folder every user may write in (no sticky bit)", false},
    };
    for (const Case &c : cases) {
        if (c.root_only && null_node.empty())
            continue;
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"--simulate", "--metrics", dir.file("m.prom")});
        if (args[3] == "--metrics")
            args.erase(args.begin() + 1, args.begin() + 3);
        RunResult r = run(args);
        EXPECT_EQ(r.code, zkd::kExitUsage) << c.args[1];
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    struct stat st;
    EXPECT_TRUE(stat(dir.file("fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(null_node.empty() || (stat(null_node.c_str(), &st) == 0 && S_ISCHR(st.st_mode)));
    EXPECT_FALSE(exists(dir.file("m.prom")));   // refused before anything is written

    // A folder of another user, a link another user planted in a shared
    // sticky folder (followed only when it is this user's).
    if (geteuid() != 0)
        GTEST_SKIP() << "other users' folders and links need root";
    mkdir(dir.file("theirs").c_str(), 0700);
    ASSERT_EQ(chown(dir.file("theirs").c_str(), 4242, 4242), 0);
    mkdir(dir.file("shared").c_str(), 0700);
    chmod(dir.file("shared").c_str(), 01777);
    mkdir(dir.file("mine").c_str(), 0700);
    ASSERT_EQ(symlink(dir.file("mine").c_str(), dir.file("shared/planted").c_str()), 0);
    ASSERT_EQ(lchown(dir.file("shared/planted").c_str(), 4242, 4242), 0);
    ASSERT_EQ(symlink(dir.file("mine").c_str(), dir.file("shared/own").c_str()), 0);
    RunResult r = run({"--simulate", "--capture", dir.file("theirs")});
    EXPECT_EQ(r.code, zkd::kExitUsage);
    EXPECT_NE(r.err.find("a folder of another user (uid 4242)"), std::string::npos) << r.err;
    r = run({"--simulate", "--capture", dir.file("shared/planted") + "/"});
    EXPECT_EQ(r.code, zkd::kExitUsage);
    EXPECT_NE(r.err.find("not followed (protected_symlinks)"), std::string::npos) << r.err;
    EXPECT_EQ(listing(dir.file("mine")), "");
    EXPECT_EQ(run({"--simulate", "--capture", dir.file("shared/own")}).code, 0);
    EXPECT_EQ(listing(dir.file("mine")), "capture.sim\n");
}

TEST(Outputs, NewFilesHonourTheUmaskReplacedOnesKeepModeAndOwner)
{
    TempDir dir;
    std::string command = "umask 027 && exec '" ZKD_PROGRAM "' --simulate --save '" +
                          dir.file("new.json") + "' --metrics '" + dir.file("kept.prom") +
                          "' > /dev/null";
    write_file(dir.file("kept.prom"), "old\n");
    chmod(dir.file("kept.prom").c_str(), 0604);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(dir.file("kept.prom").c_str(), 4242, 4343), 0);
    }
    ASSERT_EQ(std::system(command.c_str()), 0);
    struct stat made, kept;
    ASSERT_EQ(stat(dir.file("new.json").c_str(), &made), 0);
    ASSERT_EQ(stat(dir.file("kept.prom").c_str(), &kept), 0);
    EXPECT_EQ(made.st_mode & 07777, 0640u);
    EXPECT_EQ(kept.st_mode & 07777, 0604u);
    if (root) {
        EXPECT_EQ(kept.st_uid, 4242u);
        EXPECT_EQ(kept.st_gid, 4343u);
    }
    EXPECT_NE(read_file(dir.file("kept.prom")), "old\n");
}

TEST(Outputs, ASignalOrAWriteErrorLeavesTheEarlierFileAndNoTemporary)
{
    TempDir dir;
    std::string save = dir.file("out/s.json");
    mkdir(dir.file("out").c_str(), 0700);
    write_file(dir.file("big.sim"), "array CKM00999900001 model=4700 luns=256 paths_per_sp=2\n");
    // A write error: the file size limit (SIGXFSZ ignored: EFBIG).
    write_file(save, "earlier\n");
    std::string command = "trap '' XFSZ; ulimit -f 8 && exec '" ZKD_PROGRAM "' --simulate='" +
                          dir.file("big.sim") + "' --save '" + save + "' > /dev/null 2> '" +
                          dir.file("err") + "'";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), zkd::kExitFailure);
    EXPECT_NE(read_file(dir.file("err")).find("File too large"), std::string::npos);
    EXPECT_EQ(read_file(save), "earlier\n");
    EXPECT_EQ(listing(dir.file("out")), "s.json\n");

    // Each signal, sent as the temporary file appears (a signal that comes
    // after the rename finds the new file whole: tried again).
    auto temporary_there = [&] {
        bool found = false;
        if (DIR *d = opendir(dir.file("out").c_str())) {
            while (struct dirent *e = readdir(d))
                found = found || std::strncmp(e->d_name, ".s.json.", 8) == 0;
            closedir(d);
        }
        return found;
    };
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        bool met = false;
        for (int attempt = 0; attempt < 10 && !met; ++attempt) {
            write_file(save, "earlier\n");
            bool sent = false;
            pid_t pid = fork();
            if (pid == 0) {
                int null_fd = open("/dev/null", O_WRONLY);
                dup2(null_fd, 1);
                execl(ZKD_PROGRAM, ZKD_PROGRAM, ("--simulate=" + dir.file("big.sim")).c_str(),
                      "--save", save.c_str(), static_cast<char *>(nullptr));
                _exit(127);
            }
            while (waitpid(pid, &status, WNOHANG) == 0)
                if (!sent && temporary_there())
                    sent = kill(pid, signal_number) == 0;
            bool signalled = WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
            std::string kept = read_file(save);
            met = signalled && kept == "earlier\n";
            if (!met) {
                EXPECT_EQ(json::parse(kept)["summary"]["claimed"], 1024);
            }
            EXPECT_FALSE(temporary_there());
        }
        EXPECT_TRUE(met) << "signal " << signal_number << " never met the file being written";
    }
}

TEST(Outputs, AClosedOrFullStandardOutputHasItsStatusAndCostsNoFile)
{
    TempDir dir;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[0]);   // | head that has gone
    RunResult r = run_onto(pipe_fds[1], {"--simulate", "--save", dir.file("s.json"), "--metrics",
                                         dir.file("m.prom")});
    EXPECT_EQ(r.code, zkd::kExitStdout) << r.err;
    EXPECT_NE(r.err.find("cannot write the report: Broken pipe"), std::string::npos) << r.err;
    EXPECT_EQ(json::parse(read_file(dir.file("s.json")))["summary"]["claimed"], 16);
    EXPECT_NE(read_file(dir.file("m.prom")).find("zkdiscover_scan_success 1"), std::string::npos);
    EXPECT_EQ(run_onto(pipe_fds[1], {"--simulate", "--metrics", "-"}).code, zkd::kExitStdout);
    close(pipe_fds[1]);

    std::string full = private_node(dir, "full", 7);
    if (full.empty())
        GTEST_SKIP() << "a private full device needs root";
    int fd = open(full.c_str(), O_WRONLY);
    for (const char *option : {"--help", "--version"})
        EXPECT_EQ(run_onto(fd, {option}).code, zkd::kExitStdout) << option;
    close(fd);
}

TEST(CommandLine, MessagesNameTheOptionAsTyped)
{
    TempDir dir;
    write_file(dir.file("file"), "");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-json"}, "unknown option -json (did you mean --json?)"},
        {{"--jobs", "abc"}, "--jobs abc: not a whole number from 1 to 256"},
        {{"-j", "x"}, "-j x: not a whole number"},
        {{"--simulate", "-j"}, "-j needs a value"},
        {{"--save", "a", "--save", "b"}, "--save was given twice"},
        {{"-j", "2", "--jobs", "3"}, "--jobs was given twice (also as -j)"},
        {{"--json=false"}, "--json=false: --json takes no value"},
        {{"--explain=yes"}, "--explain takes no value"},
        {{"--", "--json"}, "DEVICE --json: No such file"},
        {{"--simulate", "--json", "--metrics", "-"}, "--json cannot be shown with --metrics -"},
        {{"--simulate", "--explain", "--metrics", "-"}, "--explain cannot be shown with --metrics -"},
        {{dir.file("file")}, "DEVICE " + dir.file("file") + ": a regular file, not a device node"},
        {{dir.file("absent")}, "a DEVICE is a device node under /dev"},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.args);
        EXPECT_EQ(r.code, zkd::kExitUsage) << c.message;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.message << " not in: " << r.err;
    }
    // A node that takes no SCSI command (as a virtio disk takes none) is
    // not said to need read access.
    std::string null_node = private_node(dir, "null", 3);
    if (null_node.empty())
        GTEST_SKIP() << "a private node needs root";
    RunResult r = run({null_node});
    EXPECT_EQ(r.code, zkd::kExitNotExamined);
    EXPECT_NE(r.out.find("Inappropriate ioctl for device (the node takes no SCSI commands"),
              std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("read access"), std::string::npos);
}

TEST(Compare, BytesThatAreNoUtf8ReadBackAsTheSameBytes)
{
    TempDir dir;
    write_file(dir.file("odd.sim"), demo_description() + "unit /dev/sim/caf\xe9\n"
                                    "  vendor \"V\\xe9ndor\"\n  product \"\\xff\\x5cx41\"\n");
    std::string sim = "--simulate=" + dir.file("odd.sim");
    RunResult saved = run({sim, "--json", "--save", dir.file("old.json")});
    ASSERT_EQ(saved.code, 0) << saved.err;
    json doc = json::parse(saved.out);
    json odd;
    for (const json &item : doc["not_claimed"])
        if (item["device"].get<std::string>().rfind("/dev/sim/caf", 0) == 0)
            odd = item;
    EXPECT_EQ(odd["device"], "/dev/sim/caf\\xE9");
    EXPECT_EQ(odd["vendor"], "V\\xE9ndor");
    EXPECT_EQ(odd["product"], "\\xFF\\\\x41");
    RunResult again = run({sim, "--compare", dir.file("old.json")});
    EXPECT_EQ(again.code, zkd::kExitOk) << again.out << again.err;
}

TEST(Export, OnATerminalNoControlByteArrivesAndBashReadsTheBytesBack)
{
    TempDir dir;
    write_file(dir.file("evil.sim"), "unit /dev/sim/sdb\n  cab_serial APM00123400567\n"
                                     "  revision \"\\x1b[2J\"\n  auto_trespass on\n");
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        execl(ZKD_PROGRAM, ZKD_PROGRAM, ("--simulate=" + dir.file("evil.sim")).c_str(), "--export",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string shown;
    char buffer[512];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
        shown.append(buffer, static_cast<size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_NE(shown.find("REVISION=$'\\x1B[2J'"), std::string::npos) << shown;
    write_file(dir.file("pairs"), shown);
    std::string script = "eval \"$(cat '" + dir.file("pairs") + "')\" && printf %s \"$REVISION\"";
    EXPECT_EQ(run({"-c", script}, "/bin/bash").out, "\x1b[2J");
}

}  // namespace
