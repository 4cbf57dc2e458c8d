#include "deadline.h"

#include <scsi/sg.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>

namespace zkd {

namespace {

// host_status of a command the kernel timed out.
constexpr unsigned kDidTimeOut = 0x03;

thread_local bool t_active = false;
thread_local bool t_hit = false;
thread_local bool t_block_node = false;
thread_local Clock::time_point t_deadline;

void on_deadline_signal(int) {}

}  // namespace

int deadline_signal()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_handler = on_deadline_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;   // no SA_RESTART: the interrupted wait returns
        sigaction(SIGURG, &action, nullptr);
    });
    return SIGURG;
}

void begin_device_deadline(Clock::time_point deadline, bool block_node)
{
    t_active = true;
    t_block_node = block_node;
    t_hit = false;
    t_deadline = deadline;
}

bool device_deadline_hit() { return t_hit; }

void end_device_deadline()
{
    t_active = false;
    t_hit = false;
}

int deadline_ioctl(IoctlFn next, int fd, unsigned long request, void *arg)
{
    if (!t_active || request != SG_IO || arg == nullptr)
        return recorded_ioctl(next, fd, request, arg);
    auto *hdr = static_cast<sg_io_hdr_t *>(arg);
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= t_deadline) {
            t_hit = true;
            errno = ETIMEDOUT;
            return -1;
        }
        unsigned int asked = hdr->timeout;
        bool timed = asked == 0 && t_block_node;
        if (timed) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t_deadline - now);
            hdr->timeout = static_cast<unsigned int>(left.count() > 0 ? left.count() : 1);
        }
        int rc = recorded_ioctl(next, fd, request, arg);
        int error = errno;
        hdr->timeout = asked;
        bool late = Clock::now() >= t_deadline;
        if (rc == -1 && error == EINTR && !late)
            continue;
        if (late && ((rc == -1 && error == EINTR) ||
                     (timed && (rc == -1 || hdr->host_status == kDidTimeOut ||
                                hdr->driver_status != 0))))
            t_hit = true;
        errno = error;
        return rc;
    }
}

std::string seconds_text(long long milliseconds)
{
    char text[32];
    if (milliseconds % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld s", milliseconds / 1000);
    else
        std::snprintf(text, sizeof text, "%g s", static_cast<double>(milliseconds) / 1000);
    return text;
}

}  // namespace zkd
