#include "progress.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace zkd {

namespace {

void write_all(int fd, const char *text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= static_cast<size_t>(n);
    }
}

const char kWipe[] = "\r\033[K";

// Where a shown line is, for the signal handler (-1: nothing to wipe).
std::atomic<int> g_shown_fd{-1};
constexpr int kWipedSignals[] = {SIGINT, SIGTERM};
struct sigaction g_previous[std::size(kWipedSignals)];
bool g_installed[std::size(kWipedSignals)];

// Ctrl-C or SIGTERM while the line is shown: wipe it, then end as the
// signal would have ended the program (SA_RESETHAND restored the default).
// Only async-signal-safe calls.
void wipe_and_reraise(int signal_number)
{
    int fd = g_shown_fd.exchange(-1);
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, kWipe, sizeof kWipe - 1);
        (void)ignored;
    }
    raise(signal_number);
}

void install_wipe_handlers()
{
    for (size_t i = 0; i < std::size(kWipedSignals); ++i) {
        struct sigaction current;
        // A signal the caller ignores (nohup, a job control shell) stays so.
        if (sigaction(kWipedSignals[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = wipe_and_reraise;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        g_installed[i] = sigaction(kWipedSignals[i], &action, &g_previous[i]) == 0;
    }
}

void restore_handlers()
{
    for (size_t i = 0; i < std::size(kWipedSignals); ++i)
        if (g_installed[i])
            sigaction(kWipedSignals[i], &g_previous[i], nullptr);
}

}  // namespace

ProgressLine::ProgressLine(size_t total, int fd, std::chrono::milliseconds delay)
    : total_(total), fd_(fd), delay_(delay)
{
    if (isatty(fd_)) {
        install_wipe_handlers();
        thread_ = std::thread(&ProgressLine::run, this);
    }
}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::finish()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_)
            return;
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
        restore_handlers();
    }
}

void ProgressLine::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, delay_, [this] { return stop_; }))
        return;
    for (;;) {
        char line[96];
        int n = std::snprintf(line, sizeof line, "\rzkdiscover: examined %zu of %zu devices",
                              done_.load(std::memory_order_relaxed), total_);
        // Told to the signal handler before it is written: a signal that
        // lands while the line goes out still wipes it.
        g_shown_fd.store(fd_);
        if (n > 0)
            write_all(fd_, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n)
                                                                      : sizeof line - 1);
        shown_ = true;
        if (wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; }))
            break;
    }
    // Wipe the line so that what follows starts on a clean one (unless a
    // signal's handler just did).
    if (g_shown_fd.exchange(-1) >= 0)
        write_all(fd_, kWipe, std::strlen(kWipe));
}

}  // namespace zkd
