// Debug trace log: "/tmp/.ZEVIRO00.log", written only when it exists. The
// header states the contract with threaded, forking hosts.
//
// The library keeps one descriptor on the log (g_kept) and shows it in
// DbgFd while tracing is on. Its open file description carries a mark that
// no host sets by accident: a signal for asynchronous I/O (F_SETSIG), which
// a regular file never sends.
// Whatever a number names, a reused inode or the host's own descriptor of
// the log, without the mark it is not the library's: it is forgotten, never
// written, moved or closed.
//
// No thread waits for another. Each call that reads the kept number holds
// a reference (counted in g_state) until it is done with it, and the
// descriptor is closed only by whoever lets go of the last reference while
// tracing is off (DbgFd -1): a writer that stalls only defers the close.
// While that closer works (kClosing), calls that enter leave the kept
// number alone and trace nothing. A replaced log is put behind the kept
// number with dup3, which writes of other threads see as one step: each
// line goes to the old file or to the new one.
#include "zkDGCclariion.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTraceLogPath[] = "/tmp/.ZEVIRO00.log";
constexpr char kTraceLogFolder[] = "/tmp";
constexpr int kMarkSignal = SIGURG;  // F_GETSIG of the library's descriptor
constexpr unsigned kClosing = 1;    // g_state: the kept number is being closed
constexpr unsigned kReference = 2;  // g_state: one call holding a reference

int g_kept = -1;     // the library's log descriptor, or -1
int g_opening = -1;  // a fresh descriptor on its way to g_kept (for fork)
unsigned g_state = 0;

int load(const int *word) { return __atomic_load_n(word, __ATOMIC_SEQ_CST); }
void store(int *word, int value) { __atomic_store_n(word, value, __ATOMIC_SEQ_CST); }
bool replace(int *word, int expected, int desired)
{
    return __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

// True when fd is an open file description the library made for the log
// (write-only, appending): only those carry the mark.
bool is_library_log(int fd) { return fd >= 0 && fcntl(fd, F_GETSIG) == kMarkSignal; }

// Closes the kept number when tracing is off and no call holds a
// reference; otherwise the last call to let go does it.
void close_unused()
{
    unsigned idle = 0;
    if (!__atomic_compare_exchange_n(&g_state, &idle, kClosing, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST))
        return;
    int kept = load(&g_kept);
    if (load(&DbgFd) < 0 && kept >= 0) {
        if (is_library_log(kept))
            close(kept);
        store(&g_kept, -1);
    }
    __atomic_fetch_and(&g_state, ~kClosing, __ATOMIC_SEQ_CST);
}

// A reference, with cancellation off (close, open and write are
// cancellation points). usable is false while the kept number is being
// closed.
struct Reference {
    int cancel_state;
    bool usable;
    Reference()
    {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
        usable = (__atomic_fetch_add(&g_state, kReference, __ATOMIC_SEQ_CST) & kClosing) == 0;
    }
    ~Reference()
    {
        if (__atomic_sub_fetch(&g_state, kReference, __ATOMIC_SEQ_CST) == 0 &&
            load(&DbgFd) < 0 && load(&g_kept) >= 0)
            close_unused();
        pthread_setcancelstate(cancel_state, nullptr);
    }
};

// Whether the library may follow what the log path names (st: its lstat)
// when /tmp is a sticky, world-writable folder, as the kernel's
// protected_symlinks and protected_hardlinks would: a link that belongs to
// this process's effective user or to the folder's owner; a file with
// further names that belongs to the effective user.
bool may_follow(const struct stat &st)
{
    struct stat folder;
    if (stat(kTraceLogFolder, &folder) != 0)
        return false;
    if (!(folder.st_mode & S_ISVTX) || !(folder.st_mode & S_IWOTH))
        return true;
    if (S_ISLNK(st.st_mode))
        return st.st_uid == geteuid() || st.st_uid == folder.st_uid;
    return st.st_nlink == 1 || st.st_uid == geteuid();
}

// The file the log path names now, when the library may write to it: a
// regular file, a link only under the rules above. *st gets its identity.
bool find_log(struct stat *st)
{
    if (lstat(kTraceLogPath, st) != 0)
        return false;
    if (S_ISLNK(st->st_mode) && (!may_follow(*st) || stat(kTraceLogPath, st) != 0))
        return false;
    return S_ISREG(st->st_mode) && (st->st_nlink == 1 || may_follow(*st));
}

// Opens the log without ever blocking and marks the descriptor as the
// library's: write-only, appending, close-on-exec. Returns it, or -1 when
// the file is not (any longer) what find_log accepted.
int open_log()
{
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK;
    int fd = open(kTraceLogPath, flags | O_NOFOLLOW);
    if (fd < 0 && errno == ELOOP) {
        struct stat link;
        if (lstat(kTraceLogPath, &link) == 0 && may_follow(link))
            fd = open(kTraceLogPath, flags);
    }
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                    (st.st_nlink != 1 && !may_follow(st)) ||
                    fcntl(fd, F_SETFL, O_APPEND) != 0 || fcntl(fd, F_SETSIG, kMarkSignal) != 0)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

bool same_file(int fd, const struct stat &file)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
}

// Under a reference: looks at the log path afresh and sets DbgFd.
void reopen()
{
    int kept = load(&g_kept);
    if (kept >= 0 && !is_library_log(kept)) {
        // The host closed the number (and may have reused it): forgotten.
        replace(&DbgFd, kept, -1);
        replace(&g_kept, kept, -1);
        kept = -1;
    }
    struct stat now;
    if (!find_log(&now)) {
        store(&DbgFd, -1);  // closed when the last reference goes
        return;
    }
    if (kept >= 0 && same_file(kept, now)) {
        store(&DbgFd, kept);  // no open, so no descriptor limit in the way
        return;
    }
    int fresh = open_log();
    if (fresh < 0) {
        store(&DbgFd, -1);
        return;
    }
    replace(&g_opening, -1, fresh);
    int traced = -1;
    if (kept >= 0) {
        // The log was replaced: the new file goes behind the kept number.
        for (int attempt = 0; attempt < 3 && traced < 0; ++attempt)
            traced = dup3(fresh, kept, O_CLOEXEC);
    } else if (replace(&g_kept, -1, fresh)) {
        traced = fresh;
    } else {
        traced = load(&g_kept);  // another thread kept its own at once
    }
    replace(&g_opening, fresh, -1);
    if (traced != fresh)
        close(fresh);
    store(&DbgFd, traced);
}

// In a child of fork no other thread holds a reference: the state starts
// afresh, and a descriptor another thread had on its way is closed.
void after_fork_child()
{
    __atomic_store_n(&g_state, 0u, __ATOMIC_SEQ_CST);
    int kept = load(&g_kept);
    int opening = load(&g_opening);
    store(&g_opening, -1);
    if (opening >= 0 && opening != kept && is_library_log(opening))
        close(opening);
    if (kept >= 0 && (!is_library_log(kept) || load(&DbgFd) < 0)) {
        if (is_library_log(kept))
            close(kept);
        store(&g_kept, -1);
        store(&DbgFd, -1);
    }
}

// The handler goes with the library: it is registered for this object, and
// dlclose removes it (the C library's __cxa_finalize for this object).
__attribute__((constructor)) void register_fork_handler()
{
    pthread_atfork(nullptr, nullptr, after_fork_child);
}

// Unloading closes the kept descriptor, unless a call still uses it.
__attribute__((destructor)) void close_at_unload()
{
    store(&DbgFd, -1);
    if (load(&g_kept) >= 0)
        close_unused();
}

}  // namespace

extern "C" {

int DbgFd = -1;

// Opens the trace log for appending, never creating it, and sets DbgFd to
// its descriptor, or to -1 when the file is missing or cannot be opened.
void OpenDbgTempFile(void)
{
    Reference reference;
    if (reference.usable)
        reopen();
}

// Sets DbgFd to -1; the library's log descriptor is closed as soon as no
// call uses it (at once when none does).
void CloseDbgTempFile(void)
{
    Reference reference;
    store(&DbgFd, -1);
}

// Writes text as it is (strlen bytes, nothing added) to the open trace log
// with one write call; does nothing when no log is open or DbgFd no longer
// names the library's log. Errors are ignored.
void xDbgPrint(int level, const char *text)
{
    (void)level;
    if (load(&DbgFd) < 0)
        return;
    size_t length = strlen(text);  // before any state: a bad text faults here
    Reference reference;
    int fd = load(&DbgFd);
    if (reference.usable && is_library_log(fd)) {
        ssize_t written = write(fd, text, length);
        (void)written;
    }
}

// Hook for dumping a buffer; produces no output.
void xDbgDumpBuf(const char *title, const void *buffer, int length)
{
    (void)title;
    (void)buffer;
    (void)length;
}

}  // extern "C"
