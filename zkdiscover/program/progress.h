// A progress line on stderr for scans that last more than a second, shown
// only when stderr is a terminal and wiped when the scan ends.
#ifndef ZKDISCOVER_PROGRESS_H
#define ZKDISCOVER_PROGRESS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace zkd {

class ProgressLine {
public:
    // fd is where the line goes (stderr); nothing is shown when it is not a
    // terminal. delay is how long a scan runs before the line appears.
    ProgressLine(size_t total, int fd = 2,
                 std::chrono::milliseconds delay = std::chrono::milliseconds(1000));
    ~ProgressLine();
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    // One more device examined (any thread).
    void advance() { done_.fetch_add(1, std::memory_order_relaxed); }
    // Stops the line and wipes it if it was shown.
    void finish();

private:
    void run();

    size_t total_;
    int fd_;
    std::chrono::milliseconds delay_;
    std::atomic<size_t> done_{0};
    bool shown_ = false;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

}  // namespace zkd

#endif
