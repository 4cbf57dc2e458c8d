// Debug trace log: "/tmp/.ZEVIRO00.log", written only when it exists. The
// header states the contract with threaded, forking hosts.
//
// The first successful open keeps its descriptor as the log's number, with
// the file's identity. Later opens of another file (the log was replaced)
// move it onto that number with dup3; the fresh descriptor is closed. The number is re-pointed
// or closed only while still the library's: the recorded file, write-only,
// appending, close-on-exec (a host's own descriptor of the log lacks one).
// xDbgPrint counts itself in g_writers before it reads DbgFd; re-pointing
// and closing set DbgFd to -1 first and then wait, boundedly, for that
// count to reach zero, or leave the number alone (a line lost, never
// written elsewhere). All of this runs under g_busy, taken with a bounded
// wait and cancellation off; fork() waits for it too.
#include "zkDGCclariion.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTraceLogPath[] = "/tmp/.ZEVIRO00.log";
constexpr char kTraceLogFolder[] = "/tmp";
constexpr int kPatience = 100000;  // sched_yield rounds of a bounded wait

int g_log_number = -1;  // the number the library keeps for the log, or -1
dev_t g_log_device;     // identity of the file behind it (under g_busy)
ino_t g_log_inode;
int g_busy = 0;         // 1 while one thread works on the kept number
int g_writers = 0;      // xDbgPrint calls that may be writing
bool g_forked_busy;     // g_busy taken for fork() by the forking thread

int load(const int *word) { return __atomic_load_n(word, __ATOMIC_SEQ_CST); }
void store(int *word, int value) { __atomic_store_n(word, value, __ATOMIC_SEQ_CST); }

bool wait_for(bool (*done)())
{
    for (int round = 0; round < kPatience; ++round) {
        if (done())
            return true;
        sched_yield();
    }
    return false;
}
bool take_busy()
{
    int idle = 0;
    return __atomic_compare_exchange_n(&g_busy, &idle, 1, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_RELAXED);
}
bool no_writers() { return load(&g_writers) == 0; }

// The flagged section: cancellation off, g_busy taken (taken is false when
// its holder did not let go in time; the section then does nothing).
struct Section {
    int cancel_state;
    bool taken;
    Section()
    {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
        taken = wait_for(take_busy);
    }
    ~Section()
    {
        if (taken)
            store(&g_busy, 0);
        pthread_setcancelstate(cancel_state, nullptr);
    }
};

// Stops the writes through the kept number and waits for those in flight.
bool quiesce()
{
    store(&DbgFd, -1);
    return wait_for(no_writers);
}

// True when number is the library's log descriptor: the recorded file,
// write-only, appending, close-on-exec.
bool is_kept_log(int number)
{
    struct stat st;
    int status = fcntl(number, F_GETFL);
    return fstat(number, &st) == 0 && st.st_dev == g_log_device &&
           st.st_ino == g_log_inode && (status & (O_ACCMODE | O_APPEND)) == (O_WRONLY | O_APPEND) &&
           (fcntl(number, F_GETFD) & FD_CLOEXEC) != 0;
}

// A link at the log path is followed as the kernel's protected_symlinks
// would: in a sticky, world-writable folder only when it belongs to this
// process's effective user or to the folder's owner.
bool may_follow_link()
{
    struct stat link, folder;
    if (lstat(kTraceLogPath, &link) != 0 || stat(kTraceLogFolder, &folder) != 0)
        return false;
    bool shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
    return !shared || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// Opens the log when it is a regular file, without ever blocking (a FIFO or
// a device is closed again at once, or not opened). Returns the descriptor,
// write-only and appending, close-on-exec, or -1; *st gets the file's.
int open_log(struct stat *st)
{
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK;
    int fd = open(kTraceLogPath, flags | O_NOFOLLOW);
    if (fd < 0 && errno == ELOOP && may_follow_link())
        fd = open(kTraceLogPath, flags);
    if (fd >= 0 && (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) ||
                    fcntl(fd, F_SETFL, O_APPEND) != 0)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Under g_busy: gives up the kept number, closing it when it is still the
// library's and no writer uses it.
void release_log()
{
    bool idle = quiesce();
    int kept = load(&g_log_number);
    store(&g_log_number, -1);
    if (kept >= 0 && idle && is_kept_log(kept))
        close(kept);
}

// Under g_busy: puts the freshly opened log behind the kept number, or makes
// fresh the kept number. Returns what DbgFd is to hold.
int install_log(int fresh, const struct stat &st)
{
    int number = load(&g_log_number);
    if (number >= 0 && number != fresh && is_kept_log(number)) {
        // Still the same file: nothing to move, so the writers of other
        // threads' claims are not stopped (their lines would be lost).
        if (st.st_dev == g_log_device && st.st_ino == g_log_inode) {
            close(fresh);
            return number;
        }
        int moved = -1;
        if (quiesce())
            for (int attempt = 0; attempt < 3 && moved < 0; ++attempt)
                moved = dup3(fresh, number, O_CLOEXEC);  // EINTR, or EBUSY
        close(fresh);
        if (moved < 0)  // still the earlier file, or still in use: no trace
            return -1;
    } else {
        // No log yet, or the kept number is no longer the library's: it is
        // forgotten, and the fresh descriptor is the log from now on.
        number = fresh;
        store(&g_log_number, fresh);
    }
    g_log_device = st.st_dev;
    g_log_inode = st.st_ino;
    return number;
}

// No thread is in the flagged section when fork() copies the process (no
// fresh descriptor goes to the child), and none is a writer in the child.
void before_fork() { g_forked_busy = wait_for(take_busy); }
void after_fork_parent()
{
    if (g_forked_busy)
        store(&g_busy, 0);
}
void after_fork_child()
{
    store(&g_busy, 0);
    store(&g_writers, 0);
}
__attribute__((constructor)) void register_fork_handlers()
{
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

}  // namespace

extern "C" {

int DbgFd = -1;

// Opens the trace log for appending, never creating it, and sets DbgFd to
// its descriptor, or to -1 when the file is missing or cannot be opened.
void OpenDbgTempFile(void)
{
    Section section;
    struct stat st;
    int fresh = section.taken ? open_log(&st) : -1;
    if (fresh >= 0) {
        store(&DbgFd, install_log(fresh, st));
        return;
    }
    store(&DbgFd, -1);
    if (section.taken && load(&g_log_number) >= 0)
        release_log();
}

// Closes the library's log descriptor, if it still has one, and sets DbgFd
// to -1. A number that no longer names the library's log is forgotten
// without being closed.
void CloseDbgTempFile(void)
{
    Section section;
    store(&DbgFd, -1);
    if (section.taken)
        release_log();
}

// Writes text as it is (strlen bytes, nothing added) to the open trace log
// with one write call; does nothing when no log is open. Errors are ignored.
void xDbgPrint(int level, const char *text)
{
    (void)level;
    if (load(&DbgFd) < 0)
        return;
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    __atomic_add_fetch(&g_writers, 1, __ATOMIC_SEQ_CST);
    int fd = load(&DbgFd);
    if (fd >= 0) {
        ssize_t written = write(fd, text, strlen(text));
        (void)written;
    }
    __atomic_sub_fetch(&g_writers, 1, __ATOMIC_SEQ_CST);
    pthread_setcancelstate(cancel_state, nullptr);
}

// Hook for dumping a buffer; produces no output.
void xDbgDumpBuf(const char *title, const void *buffer, int length)
{
    (void)title;
    (void)buffer;
    (void)length;
}

}  // extern "C"
