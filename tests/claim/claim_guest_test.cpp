// The library as a guest of a threaded host: one table of what hosts do
// while threads claim with the trace log on (close and reuse the log's
// number, close the log, open the log themselves, cancel, remove the log,
// fork, exec, stall in a signal handler, leave a trace call with
// siglongjmp, rotate the log, reuse a freed inode); ZK_GUEST_CASE=TEXT runs
// only the cases named with TEXT. Each case counts the rounds in which a trace byte reached a
// host file, a host descriptor changed, or a descriptor stayed on the log or
// a device; afterwards tracing must still work. Runs in a private /tmp.
#include "../foundation/foundation_test_util.h"
#include "claim_support.h"
#include "claim_trace_log.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

using namespace claimtest;

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
#define ZK_THREAD_SANITIZER 1
#endif
#if defined(ZK_THREAD_SANITIZER) || defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
#define ZK_SANITIZED 1
#endif

namespace {

// Armed, the next write through DbgFd first runs a signal handler that
// sleeps until released (300 ms at least, 2 s at most): a writer off the
// CPU inside the library.
std::atomic<bool> g_stall_armed{false};
std::atomic<bool> g_stalling{false};
std::atomic<bool> g_stall_released{false};

void stall_in_handler(int)
{
    g_stalling = true;
    struct timespec pause = {0, 10 * 1000 * 1000};
    for (int slept = 0; slept < 200 && (slept < 30 || !g_stall_released); ++slept)
        nanosleep(&pause, nullptr);
    g_stalling = false;
}

using WriteFn = ssize_t (*)(int, const void *, size_t);

WriteFn real_write()
{
#ifdef ZK_THREAD_SANITIZER
    if (void *interceptor = dlsym(RTLD_DEFAULT, "__interceptor_write"))
        return reinterpret_cast<WriteFn>(interceptor);
#endif
    return reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "write"));
}

}  // namespace

extern "C" ssize_t write(int fd, const void *data, size_t size)
{
    static const WriteFn next = real_write();
    if (fd >= 0 && fd == __atomic_load_n(&DbgFd, __ATOMIC_SEQ_CST) && g_stall_armed.exchange(false))
        raise(SIGUSR2);
    return next(fd, data, size);
}

namespace {

constexpr int kMaxThreads = 8;
const std::string kHostText = "host\n";

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(ZK_EMULATED)
constexpr int kScale = 20;  // rounds divided by this
#elif defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || \
    __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr int kScale = 4;
#else
constexpr int kScale = 1;
#endif

struct Guest {
    std::vector<device_entry> entries;
    std::array<unsigned char, 36> inquiry = make_inquiry();
    zkfoundation::TempDir dir;
    std::string host_path = dir.file("host");

    Guest()
    {
        std::vector<UnitDef> units(kMaxThreads);
        for (int i = 0; i < kMaxThreads; ++i)
            units[i].path = "/dev/zkguest/c" + std::to_string(i) + "t0d0s2";
        zksim_reset();
        EXPECT_EQ(load_units(units), "");
        zksim_set_recording(0);
        for (const UnitDef &unit : units)
            entries.push_back(make_entry(unit.path, inquiry.data()));
    }
    void claim(int unit)
    {
        char **list = nullptr;
        if (claim_device(&entries[unit], &list) == ZK_CLAIMED)
            nv_free(list);
    }
    // The host's own file, without close-on-exec, on number `at` when >= 0.
    int host_file(int flags, int at = -1)
    {
        int fd = open(host_path.c_str(), flags | O_CREAT | O_TRUNC, 0600);
        if (at >= 0 && fd >= 0 && fd != at) {
            dup2(fd, at);
            close(fd);
            fd = at;
        }
        return fd;
    }
    // True when the host's descriptor still has its flags and its file
    // holds only what the host wrote; closes it.
    bool host_intact(int fd, int flags, const std::string &written)
    {
        bool same = fcntl(fd, F_GETFD) == 0 &&
                    (fcntl(fd, F_GETFL) & (O_ACCMODE | O_APPEND)) == flags;
        close(fd);
        return same && zkfoundation::read_file(host_path) == written;
    }
};

// Descriptors on the log file (also when removed) and on simulated devices.
int log_descriptors()
{
    return zkfoundation::count_descriptors_to(kTraceLogPath) +
           zkfoundation::count_descriptors_to((std::string(kTraceLogPath) + " (deleted)").c_str());
}

// Runs body(t) on n threads until stop is set.
struct Claimers {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    Claimers(int n, const std::function<void(int)> &body)
    {
        for (int t = 0; t < n; ++t)
            threads.emplace_back([this, body, t] { while (!stop) body(t); });
    }
    ~Claimers()
    {
        stop = true;
        for (std::thread &thread : threads)
            thread.join();
    }
};

// The host closes the log's number and opens its own file on it; then n
// threads claim at once.
int close_and_reuse(Guest &g, int rounds, int n)
{
    int failures = 0;
    pthread_barrier_t start, done;
    pthread_barrier_init(&start, nullptr, n + 1);
    pthread_barrier_init(&done, nullptr, n + 1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t)
        threads.emplace_back([&, t] {
            for (;;) {
                pthread_barrier_wait(&start);
                if (stop)
                    return;
                g.claim(t);
                pthread_barrier_wait(&done);
            }
        });
    for (int round = 0; round < rounds; ++round) {
        OpenDbgTempFile();
        int number = DbgFd;
        close(number);
        int host = g.host_file(O_WRONLY, number);
        pthread_barrier_wait(&start);
        pthread_barrier_wait(&done);
        failures += !g.host_intact(host, O_WRONLY, "");
    }
    stop = true;
    pthread_barrier_wait(&start);
    for (std::thread &thread : threads)
        thread.join();
    pthread_barrier_destroy(&start);
    pthread_barrier_destroy(&done);
    return failures;
}

// The host closes the log while two threads claim, then writes a file.
int close_racing_claims(Guest &g, int rounds)
{
    int failures = 0;
    Claimers claimers(2, [&](int t) { g.claim(t); });
    for (int round = 0; round < rounds; ++round) {
        CloseDbgTempFile();
        int host = g.host_file(O_WRONLY);
        ssize_t written = write(host, kHostText.data(), kHostText.size());
        failures += written != static_cast<ssize_t>(kHostText.size()) ||
                    !g.host_intact(host, O_WRONLY, kHostText);
    }
    return failures;
}

// The host reads the log through its own descriptor on the kept number
// while claims run, then closes the library's log.
int host_reads_the_log(Guest &g, int rounds)
{
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        OpenDbgTempFile();
        int number = DbgFd;
        close(number);
        int reader = open(kTraceLogPath, O_RDONLY);
        if (reader != number) {
            dup2(reader, number);
            close(reader);
        }
        {
            Claimers claimers(2, [&](int t) { g.claim(t); });
            usleep(100);
        }
        CloseDbgTempFile();
        char byte;
        failures += fcntl(number, F_GETFD) != 0 || (fcntl(number, F_GETFL) & O_ACCMODE) != O_RDONLY ||
                    read(number, &byte, 1) < 0;
        close(number);
    }
    return failures;
}

// A thread claiming (and now and then closing the log) is cancelled at a
// random moment; afterwards a claim traces and the close releases the log.
int cancel_at_random(Guest &g, int rounds)
{
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    // AddressSanitizer's thread teardown misreads a cancelled thread's stack.
    printf("cancellation case not run under AddressSanitizer\n");
    return 0 * rounds + (g.entries.empty() ? 1 : 0);
#endif
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        pthread_t thread;
        pthread_create(&thread, nullptr, [](void *guest) -> void * {
            for (int i = 0;; ++i) {
                static_cast<Guest *>(guest)->claim(0);
                if (i % 3 == 0)
                    CloseDbgTempFile();
                pthread_testcancel();
            }
        }, &g);
        usleep(static_cast<useconds_t>(rand() % 300));
        pthread_cancel(thread);
        pthread_join(thread, nullptr);
        size_t before = trace_log_text().size();
        g.claim(1);
        auto start = std::chrono::steady_clock::now();
        CloseDbgTempFile();
        auto took = std::chrono::steady_clock::now() - start;
        failures += trace_log_text().size() <= before || took > std::chrono::milliseconds(250) ||
                    log_descriptors() != 0 || zksim_open_descriptors() != 0;
    }
    return failures;
}

// The log is removed while the library holds it, then closed or opened.
int log_removed(Guest &g, int rounds)
{
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        g.claim(0);
        unlink(kTraceLogPath);
        if (round % 2)
            CloseDbgTempFile();
        else
            OpenDbgTempFile();
        failures += log_descriptors() != 0;
        close(open(kTraceLogPath, O_WRONLY | O_CREAT, 0600));
    }
    return failures;
}

// The host forks while two threads claim: the child holds at most the log.
int fork_during_claims(Guest &g, int rounds)
{
    int failures = 0;
    struct stat log;
    stat(kTraceLogPath, &log);
    Claimers claimers(2, [&](int t) { g.claim(t); });
    for (int round = 0; round < rounds; ++round) {
        pid_t child = fork();
        if (child == 0) {
            int held = 0;
            struct stat st;
            for (int fd = 0; fd < 1024; ++fd)
                held += fstat(fd, &st) == 0 && st.st_dev == log.st_dev && st.st_ino == log.st_ino;
            _exit(held);
        }
        int status = 0;
        waitpid(child, &status, 0);
        failures += !WIFEXITED(status) || WEXITSTATUS(status) > 1;
    }
    return failures;
}

// The host starts programs while two threads claim: no program inherits
// the log or a device (ls lists the descriptors it was started with).
int exec_during_claims(Guest &g, int rounds)
{
    std::vector<bool> hosts(1024);  // what the host itself hands on
    for (int fd = 0; fd < 1024; ++fd)
        hosts[fd] = fcntl(fd, F_GETFD) == 0;
    int failures = 0;
    Claimers claimers(2, [&](int t) { g.claim(t); });
    for (int round = 0; round < rounds; ++round) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return rounds;
        pid_t child = fork();
        if (child == 0) {
            dup2(out[1], 1);
            execl("/bin/ls", "ls", "-l", "/proc/self/fd", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string listing;
        char buffer[4096];
        for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
            listing.append(buffer, static_cast<size_t>(n));
        close(out[0]);
        int status = 0;
        waitpid(child, &status, 0);
        bool inherited = false;
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);) {
            size_t arrow = line.find(" -> ");
            if (arrow == std::string::npos)
                continue;
            int fd = atoi(line.c_str() + line.rfind(' ', arrow - 1) + 1);
            std::string target = line.substr(arrow + 4);
            inherited |= fd > 2 && fd < 1024 && !hosts[fd] && (target == "/dev/null" || target.find("ZEVIRO00") != std::string::npos);
        }
        failures += inherited || status != 0;
    }
    return failures;
}

// Descriptors of the process on /dev/null: the simulator's own (a unit's
// descriptor is one) as the kernel counts them, not as the simulator does.
int null_descriptors() { return zkfoundation::count_descriptors_to("/dev/null"); }

// Threads are cancelled while their claim waits in a slow device's
// commands: no descriptor and no response buffer stays behind.
int cancel_inside_commands(Guest &g, int rounds)
{
#if defined(ZK_SANITIZED)
    printf("cancellation inside commands not run under a sanitizer\n");
    return 0 * rounds + (g.entries.empty() ? 1 : 0);
#endif
    UnitDef unit;
    unit.path = g.entries[0].path;
    unit.extra = "  latency_us 2000\n";
    EXPECT_EQ(load_units({unit}), "");
    zksim_set_recording(0);
    int failures = 0;
    int descriptors = null_descriptors();
    size_t in_use = mallinfo2().uordblks;
    for (int round = 0; round < rounds; ++round) {
        pthread_t thread;
        pthread_create(&thread, nullptr, [](void *guest) -> void * {
            for (;;)
                static_cast<Guest *>(guest)->claim(0);
        }, &g);
        usleep(static_cast<useconds_t>(1000 + rand() % 15000));
        pthread_cancel(thread);
        pthread_join(thread, nullptr);
        failures += null_descriptors() != descriptors;
        descriptors = null_descriptors();
        if (round == 0)  // the first cancel loads the unwinder
            in_use = mallinfo2().uordblks;
    }
    // Each leaked command held more than 50 bytes; the rest is noise.
    size_t grown = mallinfo2().uordblks - in_use;
    printf("  heap grew by %zu bytes over %d cancels\n", grown, rounds);
    return failures + (grown > 4096 && mallinfo2().uordblks > in_use ? 1 : 0);
}

// Descriptors on the log in a child forked now.
int log_descriptors_in_child()
{
    pid_t child = fork();
    if (child == 0)
        _exit(log_descriptors());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

// A claim's write stalls 300 ms in a signal handler while the host closes
// and reopens the log and forks: at most one log descriptor, in parent and
// child, and none once the host closes the log.
int writer_stalled(Guest &g, int rounds)
{
    struct sigaction action = {};
    action.sa_handler = stall_in_handler;
    sigaction(SIGUSR2, &action, nullptr);
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        g_stall_released = false;
        g_stall_armed = true;
        std::thread writer([&] { g.claim(0); });
        while (!g_stalling)
            usleep(1000);
        CloseDbgTempFile();
        OpenDbgTempFile();
        failures += log_descriptors() > 1 || log_descriptors_in_child() > 1;
        g_stall_released = true;
        writer.join();
        CloseDbgTempFile();
        failures += log_descriptors() != 0;
    }
    return failures;
}

sigjmp_buf g_recovery;

// A host recovers from SIGSEGV with siglongjmp out of a trace call (a text
// that is no text): afterwards the log still closes and cancellation is on.
int siglongjmp_out_of_trace(Guest &g, int rounds)
{
#if defined(ZK_SANITIZED)
    printf("siglongjmp out of a trace call not run under a sanitizer\n");
    return 0 * rounds + (g.entries.empty() ? 1 : 0);
#endif
    struct sigaction action = {}, saved;
    action.sa_handler = [](int) { siglongjmp(g_recovery, 1); };
    action.sa_flags = SA_NODEFER;
    sigaction(SIGSEGV, &action, &saved);
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        g.claim(0);
        if (sigsetjmp(g_recovery, 1) == 0)
            xDbgPrint(1, reinterpret_cast<const char *>(16));
        CloseDbgTempFile();
        int state = -1;
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
        failures += log_descriptors() != 0 || state != PTHREAD_CANCEL_ENABLE;
    }
    sigaction(SIGSEGV, &saved, nullptr);
    return failures;
}

// Number of result lines in the log and in its rotated copies.
int result_lines(int copies)
{
    int lines = 0;
    for (int copy = 0; copy <= copies; ++copy) {
        std::string path = kTraceLogPath + (copy ? "." + std::to_string(copy) : "");
        std::istringstream text(zkfoundation::read_file(path));
        for (std::string line; std::getline(text, line);)
            lines += line.find(" : retval ") != std::string::npos;
    }
    return lines;
}

// Three threads claim while the log is rotated atomically (the old file
// kept under another name, a new one renamed over the path): every claim's
// result line is in one of the files.
int rotations(Guest &g, int rounds)
{
    std::atomic<int> claims{0};
    {
        Claimers claimers(3, [&](int t) { g.claim(t); ++claims; });
        for (int round = 1; round <= rounds; ++round) {
            std::string copy = kTraceLogPath + ("." + std::to_string(round));
            std::string fresh = std::string(kTraceLogPath) + ".new";
            close(open(fresh.c_str(), O_WRONLY | O_CREAT, 0600));
            link(kTraceLogPath, copy.c_str());
            rename(fresh.c_str(), kTraceLogPath);
            usleep(2000);
        }
    }
    int lost = claims - result_lines(rounds);
    for (int round = 1; round <= rounds; ++round)
        unlink((kTraceLogPath + ("." + std::to_string(round))).c_str());
    printf("  %d claims, %d result lines missing\n", claims.load(), lost);
    return lost;
}

// Four threads claim units that end in different ways at once: every line
// of the log is a line that one claim alone writes.
int line_shapes(Guest &g, int rounds)
{
    std::vector<UnitDef> units(4);
    for (int i = 0; i < 4; ++i)
        units[i].path = g.entries[i].path;
    units[1].extra = "  fault command * errno EIO\n";
    units[2].flags = 0x40;  // auto-trespass off
    units[3].model = 7624;  // refused
    EXPECT_EQ(load_units(units), "");
    zksim_set_recording(0);
    std::set<std::string> shapes;
    for (int i = 0; i < 4; ++i) {
        TraceLog alone;
        g.claim(i);
        std::istringstream text(alone.contents());
        for (std::string line; std::getline(text, line);)
            shapes.insert(line);
    }
    remove_trace_log();
    close(open(kTraceLogPath, O_WRONLY | O_CREAT, 0600));
    std::vector<std::thread> claimers;
    for (int t = 0; t < 4; ++t)
        claimers.emplace_back([&g, rounds, t] {
            for (int round = 0; round < rounds; ++round)
                g.claim(t);
        });
    for (std::thread &thread : claimers)
        thread.join();
    int torn = 0;
    std::istringstream text(zkfoundation::read_file(kTraceLogPath));
    for (std::string line; std::getline(text, line);)
        torn += shapes.count(line) == 0;
    return torn;
}

// On an ext4 /tmp (an image of the test's own, in a mount namespace of a
// child) the host closes the log's number, the log is removed and the host
// opens its own file, which gets the number and, from ext4, the freed
// inode. Then a claim with the log absent, a claim with the log made again,
// or the host's own xDbgPrint: the host's file keeps its descriptor and
// only the host's bytes.
int inode_reuse(Guest &g, int rounds)
{
    if (geteuid() != 0) {
        printf("  inode reuse not run: needs root for a mount namespace\n");
        return 0;
    }
    std::string image = g.dir.file("ext4.img");
    std::string make = "truncate -s 8M " + image + " && mkfs.ext4 -q -F " + image +
                       " >/dev/null 2>&1";
    if (system(make.c_str()) != 0) {
        printf("  inode reuse not run: no mkfs.ext4\n");
        return 0;
    }
    pid_t child = fork();
    if (child == 0) {
        std::string mount_it = "mount -o loop " + image + " /tmp 2>/dev/null";
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            system(mount_it.c_str()) != 0 || chmod("/tmp", 01777) != 0)
            _exit(100);
        int failures = 0, reused = 0;
        for (int round = 0; round < rounds; ++round) {
            close(open(kTraceLogPath, O_WRONLY | O_CREAT, 0600));
            OpenDbgTempFile();
            int number = DbgFd;
            struct stat log, mine;
            fstat(number, &log);
            close(number);
            unlink(kTraceLogPath);
            int host = open("/tmp/host", O_WRONLY | O_APPEND | O_CLOEXEC | O_CREAT, 0600);
            fstat(host, &mine);
            reused += host == number && mine.st_ino == log.st_ino;
            if (round % 3 == 1)
                close(open(kTraceLogPath, O_WRONLY | O_CREAT, 0600));
            if (round % 3 == 2)
                xDbgPrint(1, "trace\n");
            else
                g.claim(0);
            bool intact = write(host, "host\n", 5) == 5 &&
                          zkfoundation::read_file("/tmp/host") == "host\n";
            failures += !intact;
            close(host);
            unlink("/tmp/host");
            CloseDbgTempFile();
            unlink(kTraceLogPath);
        }
        printf("  inode and number reused in %d of %d rounds\n", reused, rounds);
        fflush(stdout);
        umount("/tmp");
        _exit(reused == 0 ? 101 : failures);
    }
    int status = 0;
    waitpid(child, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 102;
    if (code == 100) {
        printf("  inode reuse not run: no loop-mounted ext4 /tmp here\n");
        return 0;
    }
    return code;
}

TEST(ClaimGuest, HostBehaviours)
{
    const struct {
        const char *name;
        int rounds;
        std::function<int(Guest &, int)> run;
    } cases[] = {
        {"close and reuse, 2 threads", 3000, [](Guest &g, int r) { return close_and_reuse(g, r, 2); }},
        {"close and reuse, 4 threads", 2000, [](Guest &g, int r) { return close_and_reuse(g, r, 4); }},
        {"close and reuse, 8 threads", 1000, [](Guest &g, int r) { return close_and_reuse(g, r, 8); }},
        {"close racing claims", 5000, close_racing_claims},
        {"host reads the log on the kept number", 300, host_reads_the_log},
        {"cancellation at random points", 100, cancel_at_random},
        {"log removed, then closed or opened", 1000, log_removed},
        {"fork with threads in the library", 200, fork_during_claims},
        {"exec while claims run", 150, exec_during_claims},
        {"cancellation inside commands", 100, cancel_inside_commands},
        {"writer stalled in a signal handler", 5 * kScale, writer_stalled},
        {"siglongjmp out of a trace call", 20, siglongjmp_out_of_trace},
        {"atomic rotations, 3 threads", 200, rotations},
        {"line shapes of 4 claimers", 200, line_shapes},
        {"inode reuse on ext4", 48, inode_reuse},
    };
    const char *only = getenv("ZK_GUEST_CASE");  // runs the cases whose name has it
    for (const auto &c : cases) {
        if (only != nullptr && strstr(c.name, only) == nullptr)
            continue;
        Guest g;
        remove_trace_log();
        close(open(kTraceLogPath, O_WRONLY | O_CREAT, 0600));
        int rounds = c.rounds / kScale;
        auto start = std::chrono::steady_clock::now();
        int failures = c.run(g, rounds);
        long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start).count());
        printf("%-40s %5d rounds, %5d failed, %6ld ms\n", c.name, rounds, failures, ms);
        EXPECT_EQ(failures, 0) << c.name;

        // Tracing still works, and closing releases everything.
        TraceLog log;
        g.claim(0);
        EXPECT_NE(log.contents().find("claim_device for /dev/zkguest/c0t0d0s2\n"),
                  std::string::npos) << c.name;
        CloseDbgTempFile();
        EXPECT_EQ(log_descriptors(), 0) << c.name;
        EXPECT_EQ(zksim_open_descriptors(), 0) << c.name;
    }
}

}  // namespace
