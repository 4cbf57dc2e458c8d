// Debug trace log: "/tmp/.ZEVIRO00.log", written only when it exists.
//
// Descriptors. The first successful OpenDbgTempFile makes its descriptor the
// library's log descriptor. Every later call opens the file anew (so that it
// writes to the file as it exists now) and moves the new open file onto that
// same descriptor number with dup2, which swaps the file behind the number
// atomically; the fresh descriptor is then closed. When the file is missing,
// DbgFd becomes -1 and the number stays open (still on the earlier file) until
// the next open re-points it or the host calls CloseDbgTempFile. So at most
// one log descriptor is ever open, and a thread that read DbgFd just before
// another thread re-opened the log never writes through a closed number that
// the process may have handed out again for something else. Only
// CloseDbgTempFile really closes the log; the host calls it when no other
// thread is in the library, and releases the log only through it.
// DbgFd stays a plain int for the host; the library touches it and its own
// record of the number with atomic loads and stores, no locks.
#include "zkDGCclariion.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr char kTraceLogPath[] = "/tmp/.ZEVIRO00.log";

// The descriptor number the library keeps for the log, or -1.
int g_log_number = -1;

int load(const int *word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
void store(int *word, int value) { __atomic_store_n(word, value, __ATOMIC_RELEASE); }

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
    int number = load(&g_log_number);
    if (number < 0) {
        if (__atomic_compare_exchange_n(&g_log_number, &number, fresh, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            store(&DbgFd, fresh);
            return;
        }
        // Another thread kept its descriptor first: number now holds it.
    }
    if (fresh == number) {
        // The kept number had been closed behind the library's back and
        // open() handed it out again: it is the log once more.
        store(&DbgFd, number);
        return;
    }
    int moved = -1;
    for (int attempt = 0; attempt < 3 && moved < 0; ++attempt)
        moved = dup2(fresh, number);  // EINTR, or EBUSY racing another open
    close(fresh);
    // When the number could not be re-pointed, tracing is off for this call
    // rather than going to a file that may no longer be the log.
    store(&DbgFd, moved < 0 ? -1 : number);
}

// Closes the trace log (and the number kept for it) and sets DbgFd to -1.
void CloseDbgTempFile(void)
{
    int current = __atomic_exchange_n(&DbgFd, -1, __ATOMIC_ACQ_REL);
    int kept = __atomic_exchange_n(&g_log_number, -1, __ATOMIC_ACQ_REL);
    if (current >= 0)
        close(current);
    if (kept >= 0 && kept != current)
        close(kept);
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
