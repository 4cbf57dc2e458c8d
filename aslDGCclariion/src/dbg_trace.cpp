// Debug trace log: "/tmp/.ZEVIRO00.log", written only when it exists.
//
// The library is a guest in a long-running host that closes, reuses and
// passes on descriptors as it pleases, so it writes, re-points or closes
// only a descriptor that is still the log it opened.
//
// Descriptors. The first successful OpenDbgTempFile keeps its descriptor as
// the log's number, with the identity (device, inode) of the file behind it.
// Every later call opens the file anew (so that it writes to the file as it
// exists now) and moves the new open file onto the kept number with dup3,
// which swaps the file behind the number atomically and keeps close-on-exec;
// the fresh descriptor is then closed. So at most one log descriptor is open,
// and a thread that read DbgFd just before another thread re-opened the log
// never writes through a number that was closed and handed out again.
//
// Before touching the kept number the call checks with fstat that it still
// names the file recorded for it. When it does not (the host closed it and
// the number now names one of the host's files) or fstat fails, the number
// is forgotten and left alone, and the fresh descriptor becomes the log's.
//
// When the file is missing, DbgFd becomes -1 and the number stays open (on
// the earlier file) until the next open re-points it or the host calls
// CloseDbgTempFile; the host calls that when no other thread is in the
// library.
//
// Re-pointing and recording the identity happen under a flag taken with a
// compare-and-swap and never waited for by OpenDbgTempFile: a call that
// finds another one re-pointing the log leaves DbgFd to that call.
// DbgFd stays a plain int for the host; the library touches it and its own
// words with atomic loads and stores.
#include "zkDGCclariion.h"

#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTraceLogPath[] = "/tmp/.ZEVIRO00.log";

// The descriptor number the library keeps for the log, or -1.
int g_log_number = -1;
// Identity of the file behind g_log_number; read and written under g_busy.
dev_t g_log_device;
ino_t g_log_inode;
// Nonzero while one call re-points the log or records its identity.
int g_busy = 0;

int load(const int *word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
void store(int *word, int value) { __atomic_store_n(word, value, __ATOMIC_RELEASE); }

// The flag holds the process id of its holder. A holder of another process
// is a thread that is not here: the flag came through fork() while that
// thread held it, and is taken over.
bool try_take_busy()
{
    int self = static_cast<int>(getpid());
    int holder = 0;
    if (__atomic_compare_exchange_n(&g_busy, &holder, self, false,
                                    __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return true;
    return holder != self &&
           __atomic_compare_exchange_n(&g_busy, &holder, self, false,
                                       __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}
void release_busy() { __atomic_store_n(&g_busy, 0, __ATOMIC_RELEASE); }

// True when number still names the file recorded for the kept log.
bool is_kept_log(int number)
{
    struct stat st;
    return fstat(number, &st) == 0 && st.st_dev == g_log_device &&
           st.st_ino == g_log_inode;
}

// Under g_busy: puts the freshly opened log behind the kept number, or makes
// fresh the kept number, and records the file's identity. Returns what
// DbgFd is to hold: the log's descriptor, or -1 when there is none.
int install_log(int fresh)
{
    struct stat st;
    if (fstat(fresh, &st) != 0) {
        close(fresh);
        return -1;
    }
    int number = load(&g_log_number);
    if (number >= 0 && number != fresh && is_kept_log(number)) {
        int moved = -1;
        for (int attempt = 0; attempt < 3 && moved < 0; ++attempt)
            moved = dup3(fresh, number, O_CLOEXEC);  // EINTR, or EBUSY
        close(fresh);
        // When the number could not be re-pointed it still holds the earlier
        // file, which may no longer be the log: tracing is off for this call.
        if (moved < 0)
            return -1;
    } else {
        // No log yet, the kept number was closed and open() handed it out
        // again as this very log, or the number is no longer the library's:
        // the fresh descriptor is the log from now on.
        number = fresh;
        store(&g_log_number, fresh);
    }
    g_log_device = st.st_dev;
    g_log_inode = st.st_ino;
    return number;
}

}  // namespace

extern "C" {

int DbgFd = -1;

// Opens the trace log for appending, never creating it, and sets DbgFd to
// its descriptor, or to -1 when the file is missing or cannot be opened.
void OpenDbgTempFile(void)
{
    int fresh = open(kTraceLogPath, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fresh < 0) {
        store(&DbgFd, -1);
        return;
    }
    if (!try_take_busy()) {
        // Another call is putting the file as it is now behind DbgFd; a
        // number read here could be one that call is about to give up.
        close(fresh);
        return;
    }
    store(&DbgFd, install_log(fresh));
    release_busy();
}

// When the log is open (DbgFd 0 or greater), closes it and sets DbgFd to -1;
// otherwise does nothing. A number that no longer names the log the library
// opened is forgotten without being closed.
void CloseDbgTempFile(void)
{
    if (load(&DbgFd) < 0)
        return;
    // An OpenDbgTempFile of another thread is finishing. Should it never
    // finish (its thread cancelled inside), tracing goes off and nothing
    // is closed rather than waiting for ever.
    bool taken = false;
    for (int attempt = 0; attempt < 100000 && !taken; ++attempt) {
        taken = try_take_busy();
        if (!taken)
            sched_yield();
    }
    store(&DbgFd, -1);
    if (!taken)
        return;
    int kept = __atomic_exchange_n(&g_log_number, -1, __ATOMIC_ACQ_REL);
    if (kept >= 0 && is_kept_log(kept))
        close(kept);
    release_busy();
}

// Writes text as it is (strlen bytes, nothing added) to the open trace log
// with one write call; does nothing when no log is open. Errors are ignored.
void xDbgPrint(int level, const char *text)
{
    (void)level;
    int fd = load(&DbgFd);
    if (fd < 0)
        return;
    ssize_t written = write(fd, text, strlen(text));
    (void)written;
}

// Hook for dumping a buffer; produces no output.
void xDbgDumpBuf(const char *title, const void *buffer, int length)
{
    (void)title;
    (void)buffer;
    (void)length;
}

}  // extern "C"
