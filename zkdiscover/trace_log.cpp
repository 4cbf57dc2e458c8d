#include "trace_log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zkd {

namespace {

// What the signal handler needs, in plain storage (async-signal-safe).
char g_created_path[256];
dev_t g_created_device;
ino_t g_created_inode;
volatile sig_atomic_t g_armed;

void remove_if_same(const char *path, dev_t device, ino_t inode)
{
    struct stat st;
    if (lstat(path, &st) == 0 && st.st_dev == device && st.st_ino == inode)
        unlink(path);
}

void on_signal(int signal_number)
{
    if (g_armed)
        remove_if_same(g_created_path, g_created_device, g_created_inode);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

TraceLogSession::TraceLogSession(std::string path) : path_(std::move(path)) {}

TraceLogSession::~TraceLogSession() { end(); }

bool TraceLogSession::begin(std::string &problem)
{
    int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        created_ = true;
    } else if (errno == EEXIST) {
        fd = open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            problem = "cannot read the existing trace log " + path_ + ": " + std::strerror(errno);
            return false;
        }
        if (access(path_.c_str(), W_OK) != 0)
            problem = "the existing trace log " + path_ +
                      " is not writable, so the library cannot trace";
    } else {
        problem = "cannot create the trace log " + path_ + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        problem = "cannot examine the trace log " + path_ + ": " + std::strerror(errno);
        close(fd);
        if (created_)
            unlink(path_.c_str());
        created_ = false;
        return false;
    }
    read_fd_ = fd;
    offset_ = st.st_size;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

std::string TraceLogSession::take_new_text()
{
    std::string out;
    if (read_fd_ < 0)
        return out;
    char buffer[4096];
    for (;;) {
        ssize_t n = pread(read_fd_, buffer, sizeof buffer, offset_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
        offset_ += n;
    }
    return out;
}

void TraceLogSession::end()
{
    if (read_fd_ >= 0) {
        close(read_fd_);
        read_fd_ = -1;
    }
    if (created_) {
        g_armed = 0;
        remove_if_same(path_.c_str(), device_, inode_);
        created_ = false;
    }
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

void remove_created_log_on_signal(const TraceLogSession &session)
{
    if (!session.created() || session.path().size() >= sizeof g_created_path)
        return;
    struct stat st;
    if (lstat(session.path().c_str(), &st) != 0)
        return;
    std::memcpy(g_created_path, session.path().c_str(), session.path().size() + 1);
    g_created_device = st.st_dev;
    g_created_inode = st.st_ino;
    g_armed = 1;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        ::signal(s, on_signal);
}

}  // namespace zkd
