#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

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

}  // namespace

ProgressLine::ProgressLine(size_t total, int fd, std::chrono::milliseconds delay)
    : total_(total), fd_(fd), delay_(delay)
{
    if (isatty(fd_))
        thread_ = std::thread(&ProgressLine::run, this);
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
    if (thread_.joinable())
        thread_.join();
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
        if (n > 0)
            write_all(fd_, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n)
                                                                      : sizeof line - 1);
        shown_ = true;
        if (wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; }))
            break;
    }
    // Wipe the line so that what follows starts on a clean one.
    static const char kWipe[] = "\r\033[K";
    write_all(fd_, kWipe, std::strlen(kWipe));
}

}  // namespace zkd
