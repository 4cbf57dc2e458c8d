// Trace log: exact bytes appended to /tmp/.ZEVIRO00.log, nothing when it is
// missing (and never a file created), the descriptor's flags, no pile-up of
// descriptors, and a fresh look at the file on every open. Uses the one
// fixed log path: CTest runs it with a private /tmp.
#include "foundation_test_util.h"
#include "trace_log_reset.h"

#include "zkDGCclariion.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zkfoundation {
namespace {

const std::string kLogPath = "/tmp/.ZEVIRO00.log";

class TraceLog : public ::testing::Test {
protected:
    // A log a person left in place is kept aside and put back afterwards.
    static void SetUpTestSuite()
    {
        had_log_ = file_exists(kLogPath);
        if (had_log_)
            saved_log_ = read_file(kLogPath);
    }
    static void TearDownTestSuite()
    {
        unlink(kLogPath.c_str());
        if (had_log_)
            write_file(kLogPath, saved_log_);
    }
    void SetUp() override
    {
        zktest::reset_trace_log();
        baseline_ = count_open_descriptors();
    }
    void TearDown() override
    {
        zktest::reset_trace_log();
        EXPECT_EQ(count_open_descriptors(), baseline_) << "descriptors left open";
    }

    static void create_log(const std::string &text = "") { write_file(kLogPath, text); }
    // Descriptors on the log path, whether the file is still there or not.
    static int log_descriptors()
    {
        return count_descriptors_to(kLogPath.c_str()) +
               count_descriptors_to((kLogPath + " (deleted)").c_str());
    }

    int baseline_ = 0;
    static bool had_log_;
    static std::string saved_log_;
};

bool TraceLog::had_log_ = false;
std::string TraceLog::saved_log_;

TEST_F(TraceLog, MissingFileMeansNoTrace)
{
    StderrCapture capture;
    OpenDbgTempFile();
    EXPECT_EQ(DbgFd, -1);
    xDbgPrint(1, "summary\n");
    xDbgPrint(2, "detail\n");
    const char **info = nullptr;
    vendor_info(&info);
    EXPECT_EQ(DbgFd, -1);
    EXPECT_FALSE(file_exists(kLogPath));
    EXPECT_EQ(capture.take(), "");
}

TEST_F(TraceLog, ExactBytesAppended)
{
    const struct {
        const char *label;
        std::string before;
        std::vector<std::pair<int, std::string>> prints;
        std::string after;
    } cases[] = {
        {"levels alike", "", {{1, "one\n"}, {2, "two\n"}}, "one\ntwo\n"},
        {"no newline added", "", {{2, "a : retval 1  "}, {2, "\n"}}, "a : retval 1  \n"},
        {"empty text", "", {{1, ""}}, ""},
        {"appended", "kept\n", {{1, "new"}}, "kept\nnew"},
        {"254 characters", "", {{1, std::string(254, 'x')}}, std::string(254, 'x')},
    };
    for (const auto &c : cases) {
        create_log(c.before);
        StderrCapture capture;
        OpenDbgTempFile();
        ASSERT_GE(DbgFd, 0) << c.label;
        for (const auto &print : c.prints)
            xDbgPrint(print.first, print.second.c_str());
        EXPECT_EQ(read_file(kLogPath), c.after) << c.label;
        EXPECT_EQ(capture.take(), "") << c.label;
        zktest::reset_trace_log();
    }
}

TEST_F(TraceLog, VendorInfoBanner)
{
    create_log();
    const char **first = nullptr;
    const char **second = nullptr;
    vendor_info(&first);
    vendor_info(&second);
    EXPECT_EQ(read_file(kLogPath), "Vendor Info\n\nVendor Info\n\n");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    const char *expected[] = {"VID=DGC", "PID=CLARiiON", "ATYPE=A/P", "ANAME=EMC_CLARiiON"};
    for (int i = 0; i < 4; ++i)
        EXPECT_STREQ(first[i], expected[i]);
    EXPECT_EQ(first[4], nullptr);
    EXPECT_EQ(_lib_version, 1);
}

TEST_F(TraceLog, DescriptorFlags)
{
    create_log();
    OpenDbgTempFile();
    ASSERT_GE(DbgFd, 0);
    int status = fcntl(DbgFd, F_GETFL);
    EXPECT_EQ(status & O_ACCMODE, O_WRONLY);
    EXPECT_NE(status & O_APPEND, 0);
    EXPECT_NE(fcntl(DbgFd, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(TraceLog, DescriptorsDoNotPileUp)
{
    create_log();
    for (int i = 0; i < 10000; ++i)
        OpenDbgTempFile();
    EXPECT_EQ(log_descriptors(), 1);
    EXPECT_LE(count_open_descriptors(), baseline_ + 1);
    xDbgPrint(1, "once\n");
    EXPECT_EQ(read_file(kLogPath), "once\n");
    CloseDbgTempFile();
    EXPECT_EQ(DbgFd, -1);
    EXPECT_EQ(log_descriptors(), 0);
}

TEST_F(TraceLog, EachOpenSeesTheFileAsItIsNow)
{
    create_log();
    OpenDbgTempFile();
    xDbgPrint(1, "a");

    // Replaced by a new file: the next open writes there, not to the old one.
    std::string old_copy = kLogPath + ".old";
    ASSERT_EQ(rename(kLogPath.c_str(), old_copy.c_str()), 0);
    create_log();
    OpenDbgTempFile();
    xDbgPrint(1, "b");
    EXPECT_EQ(read_file(kLogPath), "b");
    EXPECT_EQ(read_file(old_copy), "a");
    unlink(old_copy.c_str());

    // Removed: tracing off, and no file comes back.
    unlink(kLogPath.c_str());
    OpenDbgTempFile();
    EXPECT_EQ(DbgFd, -1);
    xDbgPrint(1, "lost");
    EXPECT_FALSE(file_exists(kLogPath));
    EXPECT_LE(log_descriptors(), 1);

    // Created again: tracing on again.
    create_log();
    OpenDbgTempFile();
    ASSERT_GE(DbgFd, 0);
    xDbgPrint(1, "c");
    EXPECT_EQ(read_file(kLogPath), "c");
    EXPECT_EQ(log_descriptors(), 1);
}

TEST_F(TraceLog, CloseOnlyWhenOpen)
{
    CloseDbgTempFile();
    EXPECT_EQ(DbgFd, -1);
    create_log();
    OpenDbgTempFile();
    ASSERT_GE(DbgFd, 0);
    CloseDbgTempFile();
    EXPECT_EQ(DbgFd, -1);
    CloseDbgTempFile();
    EXPECT_EQ(DbgFd, -1);
    xDbgPrint(1, "closed");
    EXPECT_EQ(read_file(kLogPath), "");
    EXPECT_EQ(log_descriptors(), 0);
}

TEST_F(TraceLog, HostClosedTheDescriptorItself)
{
    create_log();
    OpenDbgTempFile();
    ASSERT_GE(DbgFd, 0);
    close(DbgFd);  // not through CloseDbgTempFile
    OpenDbgTempFile();
    xDbgPrint(1, "still traced");
    EXPECT_EQ(read_file(kLogPath), "still traced");
    EXPECT_EQ(log_descriptors(), 1);
}

// True when descriptor fd is open in a program started with exec.
bool open_after_exec(int fd)
{
    std::string probe = "{ : >&" + std::to_string(fd) + "; } 2>/dev/null";
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", probe.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A daemon closes every descriptor above 2 (here: every one the test did not
// have before the log was opened), opens its own file on the log's old
// number, and goes on claiming: the library leaves that number alone.
TEST_F(TraceLog, HostReusesTheLogNumber)
{
    TempDir dir;
    std::vector<int> before;
    for (int fd = 3; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) >= 0)
            before.push_back(fd);
    create_log();
    const char **info = nullptr;
    vendor_info(&info);
    const int log_number = DbgFd;
    ASSERT_GE(log_number, 0);
    for (int fd = 3; fd < 1024; ++fd)
        if (std::find(before.begin(), before.end(), fd) == before.end())
            close(fd);
    int host = open(dir.file("host").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_EQ(host, log_number) << "the scenario needs the number handed out again";
    ASSERT_EQ(write(host, "host 1\n", 7), 7);

    device_entry entry = {};
    strcpy(entry.path, "/dev/host/sdz");
    unsigned char inquiry[36] = {};
    memcpy(inquiry + 8, "SEAGATE ", 8);
    entry.inquiry = inquiry;
    char **list = nullptr;
    EXPECT_EQ(claim_device(&entry, &list), 1);
    EXPECT_NE(DbgFd, host);
    ASSERT_EQ(write(host, "host 2\n", 7), 7);
    EXPECT_EQ(fcntl(host, F_GETFD) & FD_CLOEXEC, 0) << "the host's flags changed";

    CloseDbgTempFile();
    EXPECT_EQ(write(host, "host 3\n", 7), 7) << "the host's descriptor was closed";
    close(host);
    EXPECT_EQ(read_file(dir.file("host")), "host 1\nhost 2\nhost 3\n");
    EXPECT_NE(read_file(kLogPath).find("claim_device for /dev/host/sdz\n"), std::string::npos);
    EXPECT_EQ(log_descriptors(), 0);
}

// The host closes the log's number, opens its own file on it (write-only,
// appending, close-on-exec, as the library's) and calls xDbgPrint itself:
// the text does not reach the host's file.
TEST_F(TraceLog, HostsOwnPrintAfterReuse)
{
    TempDir dir;
    create_log();
    OpenDbgTempFile();
    const int log_number = DbgFd;
    ASSERT_GE(log_number, 0);
    close(log_number);
    int host = open(dir.file("host").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_EQ(host, log_number);
    xDbgPrint(1, "trace\n");
    EXPECT_EQ(read_file(dir.file("host")), "");
    close(host);
}

// With the descriptor limit reached, a call whose open would fail keeps
// tracing to the log that is still there.
TEST_F(TraceLog, DescriptorLimitKeepsAWorkingLog)
{
    create_log();
    OpenDbgTempFile();
    ASSERT_GE(DbgFd, 0);
    struct rlimit saved, low;
    getrlimit(RLIMIT_NOFILE, &saved);
    low = saved;
    low.rlim_cur = static_cast<rlim_t>(fcntl(0, F_DUPFD, 0) + 8);  // a few above the highest in use
    close(static_cast<int>(low.rlim_cur) - 8);
    ASSERT_LE(low.rlim_cur, saved.rlim_cur);
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> filler;
    for (int fd; (fd = dup(0)) >= 0;)
        filler.push_back(fd);
    OpenDbgTempFile();
    xDbgPrint(1, "still\n");
    setrlimit(RLIMIT_NOFILE, &saved);
    for (int fd : filler)
        close(fd);
    EXPECT_EQ(read_file(kLogPath), "still\n");
}

// With the log missing DbgFd is -1 and CloseDbgTempFile does nothing, even
// when the number the library kept has become the host's.
TEST_F(TraceLog, CloseWithTracingOffTouchesNothing)
{
    TempDir dir;
    create_log();
    OpenDbgTempFile();
    const int log_number = DbgFd;
    ASSERT_GE(log_number, 0);
    unlink(kLogPath.c_str());
    OpenDbgTempFile();
    ASSERT_EQ(DbgFd, -1);
    close(log_number);
    int host = open(dir.file("host").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(host, log_number);
    CloseDbgTempFile();
    EXPECT_EQ(write(host, "mine", 4), 4);
    close(host);
}

// Close-on-exec holds on the log's descriptor after it was re-pointed at a
// new file, and a program the host starts does not inherit it.
TEST_F(TraceLog, CloseOnExecAcrossReopens)
{
    create_log();
    std::string old_copy = kLogPath + ".old";
    for (int i = 0; i < 4; ++i) {
        OpenDbgTempFile();
        ASSERT_EQ(rename(kLogPath.c_str(), old_copy.c_str()), 0);
        create_log();
    }
    OpenDbgTempFile();
    unlink(old_copy.c_str());
    ASSERT_GE(DbgFd, 0);
    EXPECT_NE(fcntl(DbgFd, F_GETFD) & FD_CLOEXEC, 0);
    int inherited = dup(DbgFd);  // control: no close-on-exec
    ASSERT_GE(inherited, 0);
    EXPECT_TRUE(open_after_exec(inherited));
    EXPECT_FALSE(open_after_exec(DbgFd));
    close(inherited);
    EXPECT_EQ(log_descriptors(), 1);
}

TEST_F(TraceLog, DescriptorZeroIsALog)
{
    // With standard input closed the log may get descriptor 0, which is an
    // open log like any other.
    int saved_stdin = dup(0);
    ASSERT_GE(saved_stdin, 0);
    close(0);
    create_log();
    OpenDbgTempFile();
    int fd = DbgFd;
    xDbgPrint(1, "zero");
    CloseDbgTempFile();
    dup2(saved_stdin, 0);
    close(saved_stdin);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(read_file(kLogPath), "zero");
}

// Threads trace and re-open the log while the file comes and goes and
// other files are opened and closed: trace text lands in the log only,
// never in a file that got a descriptor number the log once had.
TEST_F(TraceLog, ConcurrentTracersNeverHitOtherFiles)
{
    TempDir dir;
    create_log();
    std::atomic<bool> stop{false};
    std::vector<std::thread> tracers;
    for (int t = 0; t < 3; ++t)
        tracers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                OpenDbgTempFile();
                xDbgPrint(2, "trace\n");
            }
        });
    std::thread toggler([&] {
        for (int i = 0; i < 300 && !stop; ++i) {
            if (i % 2)
                create_log();
            else
                unlink(kLogPath.c_str());
            usleep(50);
        }
    });
    std::string other = dir.file("other");
    int other_writes = 0;
    bool other_clean = true;
    for (int i = 0; i < 1000; ++i) {
        int fd = open(other.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            continue;
        if (write(fd, "mine", 4) == 4)
            ++other_writes;
        close(fd);
        std::string text = read_file(other);
        if (text != "mine")
            other_clean = false;
    }
    for (std::thread &t : tracers)
        t.join();
    stop = true;
    toggler.join();
    EXPECT_GT(other_writes, 0);
    EXPECT_TRUE(other_clean);
    std::string log = read_file(kLogPath);
    for (size_t at = 0; at < log.size(); at += 6)
        ASSERT_EQ(log.compare(at, 6, "trace\n"), 0) << "at " << at;
    EXPECT_LE(log_descriptors(), 1);
}

// Descriptors of this process that carry the library's mark (F_GETSIG).
std::atomic<int> in_flight{0};  // forks within another thread's open

int marked_descriptors()
{
    int marked = 0;
    for (int fd = 0; fd < 1024; ++fd)
        marked += fcntl(fd, F_GETSIG) == SIGURG;
    return marked;
}

// Tracer threads re-open and write the log while it is replaced over and
// over, and the host either forks (the child holds the kept descriptor and
// at most one more per thread that was re-opening, also after tracing
// itself, and only those once it closes the log)
// or closes and opens the log from a signal handler that interrupts the
// tracers (no descriptor left once the last close is done). Every line in
// the log is whole.
TEST_F(TraceLog, ForksAndSignalHandlersDuringRotations)
{
    struct sigaction action = {}, saved;
    action.sa_handler = [](int) {
        static std::atomic<int> calls;  // handlers run in several threads at once
        if (++calls % 2)
            CloseDbgTempFile();
        else
            OpenDbgTempFile();
    };
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, &saved);
    const struct {
        const char *label;
        std::function<int(std::vector<std::thread> &)> host;  // failures
    } cases[] = {
        {"fork", [](std::vector<std::thread> &) {
             pid_t child = fork();
             if (child == 0) {
                 int held = marked_descriptors();
                 OpenDbgTempFile();
                 xDbgPrint(1, "child\n");
                 int traced = marked_descriptors();
                 CloseDbgTempFile();
                 // Beyond the kept one, only the descriptors of the threads
                 // (three) that were re-opening the log at the fork.
                 _exit((held > 4) | (traced > 4) << 1 | (marked_descriptors() > 3) << 2 |
                       (held > 1 || traced > 1) << 3);
             }
             int status = 0;
             waitpid(child, &status, 0);
             if (WIFEXITED(status) && WEXITSTATUS(status) == 8) {
                 ++in_flight;  // the documented window
                 return 0;
             }
             return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
         }},
        {"signal handler", [](std::vector<std::thread> &tracers) {
             for (size_t t = 0; t < tracers.size(); ++t)
                 pthread_kill(tracers[t].native_handle(), SIGALRM);
             usleep(100);
             return 0;
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        create_log();
        std::atomic<bool> stop{false};
        std::vector<std::thread> tracers;
        for (int t = 0; t < 3; ++t)
            tracers.emplace_back([&] {
                while (!stop) {
                    OpenDbgTempFile();
                    xDbgPrint(2, "trace\n");
                }
            });
        std::thread rotator([&] {
            std::string fresh = kLogPath + ".new";
            while (!stop) {
                write_file(fresh, "");
                rename(fresh.c_str(), kLogPath.c_str());
            }
        });
        int failures = 0;
        for (int round = 0; round < 100; ++round)
            failures += c.host(tracers);
        stop = true;
        for (std::thread &t : tracers)
            t.join();
        rotator.join();
        CloseDbgTempFile();
        EXPECT_EQ(failures, 0) << failures << " of 100 rounds";
        if (int inherited = in_flight.exchange(0))
            printf("  %s: %d of 100 children inherited a descriptor being opened\n", c.label, inherited);
        EXPECT_EQ(marked_descriptors(), 0);
        EXPECT_EQ(log_descriptors(), 0);
        std::string log = read_file(kLogPath);
        for (size_t at = 0; at < log.size(); at += 6)
            ASSERT_TRUE(log.compare(at, 6, "trace\n") == 0 || log.compare(at, 6, "child\n") == 0) << "at " << at;
        unlink((kLogPath + ".new").c_str());
    }
    sigaction(SIGALRM, &saved, nullptr);
}

// What another user (nobody) or root plants at the log path: tracing must
// neither block nor write anywhere but a regular file, and follows a link
// only when the kernel's protected_symlinks would (the link is root's own).
// Each open runs in a child that an alarm ends, so a hang fails the case.
TEST_F(TraceLog, HostilePathsAtTheLog)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to plant files as the user nobody";
    const struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string target = "/tmp/zk-victim";
    const char *log = kLogPath.c_str();
    const struct {
        const char *label;
        bool as_nobody;
        std::function<int()> plant;
        bool traced;  // expected: the text lands in target
    } cases[] = {
        {"FIFO, no reader", true, [&] { return mkfifo(log, 0666); }, false},
        {"FIFO with a reader", true, [&] { return mkfifo(log, 0666); }, false},
        {"link of another user", true, [&] { return symlink(target.c_str(), log); }, false},
        {"link of another user to a FIFO", true, [&] { return symlink("/tmp/zk-fifo", log); }, false},
        {"link of this user", false, [&] { return symlink(target.c_str(), log); }, true},
        {"hard link to another user's file", false,
         [&] { return chown(target.c_str(), nobody->pw_uid, nobody->pw_gid) || link(target.c_str(), log); },
         false},
        {"hard link to this user's file", false, [&] { return link(target.c_str(), log); }, true},
        {"device node", false, [&] { return mknod(log, S_IFCHR | 0666, makedev(1, 3)); }, false},
        {"directory", false, [&] { return mkdir(log, 0777); }, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        write_file(target, "");
        chmod(target.c_str(), 0666);  // writable by nobody too: only the link may stop the write
        ASSERT_EQ(mkfifo("/tmp/zk-fifo", 0666), 0);
        pid_t planter = fork();
        if (planter == 0)
            _exit((!c.as_nobody || (setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0)) &&
                  c.plant() == 0 ? 0 : 1);
        int status = -1;
        waitpid(planter, &status, 0);
        ASSERT_EQ(status, 0) << "could not plant";
        int reader = open(log, O_RDONLY | O_NONBLOCK);
        if (strstr(c.label, "with a reader") == nullptr && reader >= 0)
            close(reader);
        pid_t host = fork();
        if (host == 0) {
            alarm(10);
            OpenDbgTempFile();
            int traced = DbgFd >= 0;
            xDbgPrint(1, "trace\n");
            CloseDbgTempFile();
            _exit(traced);
        }
        waitpid(host, &status, 0);
        EXPECT_TRUE(WIFEXITED(status)) << "the open blocked";
        EXPECT_EQ(WEXITSTATUS(status), c.traced ? 1 : 0);
        EXPECT_EQ(read_file(target), c.traced ? "trace\n" : "");
        if (reader >= 0 && strstr(c.label, "with a reader") != nullptr) {
            char byte;
            EXPECT_LE(read(reader, &byte, 1), 0) << "the FIFO received trace";
            close(reader);
        }
        unlink(log);
        rmdir(log);
        unlink("/tmp/zk-fifo");
        unlink(target.c_str());
    }
}

}  // namespace
}  // namespace zkfoundation
