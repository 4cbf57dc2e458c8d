#include "file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zkd {

namespace {

constexpr size_t kWriteBuffer = 1u << 16;

std::string size_text(size_t bytes)
{
    return bytes % (1u << 20) == 0 ? std::to_string(bytes >> 20) + " MiB"
                                   : std::to_string(bytes) + " bytes";
}

// The temporary files being written, for the signal handler below: a
// signal that ends the program while one is written leaves nothing behind.
constexpr size_t kTemporarySlots = 8;
std::atomic<const char *> g_temporary[kTemporarySlots];
constexpr int kCleanedSignals[] = {SIGTERM, SIGINT, SIGHUP};
std::atomic<bool> g_handlers_installed{false};

// Removes the temporary files, then ends the program as the signal would
// have (SA_RESETHAND restored the default; the signal is raised again and
// delivered once the handler returns). Async-signal-safe calls only.
void remove_temporaries_and_reraise(int signal_number)
{
    int saved = errno;
    for (std::atomic<const char *> &slot : g_temporary)
        if (const char *name = slot.exchange(nullptr))
            unlink(name);
    raise(signal_number);
    errno = saved;
}

// Once, before the first temporary file: a signal the caller ignores
// (nohup) stays ignored, and another handler (the progress line's) is kept.
void install_cleanup_handlers()
{
    if (g_handlers_installed.exchange(true))
        return;
    for (int signal_number : kCleanedSignals) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = remove_temporaries_and_reraise;
        sigemptyset(&action.sa_mask);
        for (int other : kCleanedSignals)
            sigaddset(&action.sa_mask, other);
        action.sa_flags = SA_RESETHAND;
        sigaction(signal_number, &action, nullptr);
    }
}

// Registers name (kept alive by its AtomicFile until it is released); false
// when every slot is taken, which the file then reports.
bool register_temporary(const char *name)
{
    install_cleanup_handlers();
    for (std::atomic<const char *> &slot : g_temporary) {
        const char *empty = nullptr;
        if (slot.compare_exchange_strong(empty, name))
            return true;
    }
    return false;
}

void release_temporary(const char *name)
{
    for (std::atomic<const char *> &slot : g_temporary) {
        const char *expected = name;
        slot.compare_exchange_strong(expected, nullptr);
    }
}

// The process's umask, without changing it even for a moment (other
// threads may create files): from /proc, else set and restored.
mode_t current_umask()
{
    if (FILE *status = std::fopen("/proc/self/status", "re")) {
        char line[128];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status) != nullptr)
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(mask);
    }
    mode_t mask = umask(022);
    umask(mask);
    return mask;
}

constexpr const char kAccessAcl[] = "system.posix_acl_access";

// Gives a new temporary file the mode without set-ID bits, the access list
// (and, where allowed, the owner and group) of the file it replaces, or 0666 less the umask when there is none.
bool take_over_attributes(int fd, const std::string &target)
{
    struct stat old;
    if (stat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode))
        return fchmod(fd, 0666 & ~current_umask()) == 0;
    // Owner first: a change of owner clears set-ID bits that fchmod sets.
    // Only root may give a file away; others keep the group where they
    // belong to it, and otherwise their own.
    if (geteuid() == 0) {
        if (fchown(fd, old.st_uid, old.st_gid) != 0)
            return false;
    } else {
        (void)!fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
    // Permissions only: set-ID and sticky bits are never carried onto a
    // file of text (a report replacing a set-UID program stays plain).
    if (fchmod(fd, old.st_mode & 0777) != 0)
        return false;
    // An access list (a node exporter's user given read) is kept too, where
    // the old file has one.
    char acl[4096];
    ssize_t size = getxattr(target.c_str(), kAccessAcl, acl, sizeof acl);
    return size <= 0 || fsetxattr(fd, kAccessAcl, acl, static_cast<size_t>(size), 0) == 0;
}

// "larger than 64 MiB"
std::string larger_than(size_t limit)
{
    return "larger than " + size_text(limit);
}

}  // namespace

int open_regular_file(const std::string &path, size_t limit, size_t &size, std::string &error)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? "a directory, not a regular file"
                                    : "not a regular file";
    } else if (static_cast<unsigned long long>(st.st_size) > limit) {
        error = larger_than(limit);
    } else {
        size = static_cast<size_t>(st.st_size);
        return fd;
    }
    ::close(fd);
    return -1;
}

long read_piece(int fd, char *buffer, size_t size, size_t read_so_far, size_t limit,
                std::string &error)
{
    ssize_t n;
    do
        n = ::read(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (read_so_far + static_cast<size_t>(n) > limit) {
        error = larger_than(limit);
        return -1;
    }
    return static_cast<long>(n);
}

bool check_regular_file(const std::string &path, size_t limit, std::string &error)
{
    size_t size = 0;
    int fd = open_regular_file(path, limit, size, error);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool read_regular_file(const std::string &path, size_t limit, std::string &text,
                       std::string &error)
{
    size_t size = 0;
    int fd = open_regular_file(path, limit, size, error);
    if (fd < 0)
        return false;
    text.clear();
    text.reserve(size);
    char chunk[65536];
    long n;
    while ((n = read_piece(fd, chunk, sizeof chunk, text.size(), limit, error)) > 0)
        text.append(chunk, static_cast<size_t>(n));
    ::close(fd);
    if (n < 0)
        text.clear();
    return n == 0;
}

std::string folder_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool check_output_folder(const std::string &folder, std::string &error)
{
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = std::strerror(ENOTDIR);
        return false;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

AtomicFile::~AtomicFile()
{
    discard();
}

bool AtomicFile::open(const std::string &target, std::string &error)
{
    discard();
    target_ = target;
    errno_ = 0;
    // The folder's own name is kept: the temporary file must be on the
    // target's file system for rename() to replace it in one step.
    size_t slash = target.find_last_of('/');
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // The name is registered before the file exists, so a signal at any
    // moment after its creation removes it. O_EXCL: a link planted under
    // any name is never followed.
    static std::atomic<unsigned> serial{0};
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary_ = folder_of(target) + "/." + base + "." + std::to_string(getpid()) + "." +
                     std::to_string(serial.fetch_add(1));
        if (!register_temporary(temporary_.c_str())) {
            error = "too many files written at once";
            temporary_.clear();
            return false;
        }
        fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            int failure = errno;
            release_temporary(temporary_.c_str());
            temporary_.clear();
            if (failure != EEXIST) {
                error = std::strerror(failure);
                return false;
            }
        }
    }
    if (fd < 0) {
        error = std::strerror(EEXIST);
        return false;
    }
    // It has the mode and owner that its readers (a scrape, a replay) found
    // on the file it replaces.
    if (!take_over_attributes(fd, target)) {
        error = std::strerror(errno);
    } else {
        fd_ = fd;
        buffer_.reserve(kWriteBuffer);
        return true;
    }
    ::close(fd);
    release_temporary(temporary_.c_str());
    unlink(temporary_.c_str());
    temporary_.clear();
    return false;
}
void AtomicFile::flush()
{
    if (fd_ >= 0 && errno_ == 0 && !buffer_.empty() &&
        !write_all(fd_, buffer_.data(), buffer_.size()))
        errno_ = errno;
    buffer_.clear();
}

void AtomicFile::write(const char *data, size_t size)
{
    if (fd_ < 0 || errno_ != 0)
        return;
    if (buffer_.size() + size > kWriteBuffer)
        flush();
    if (size >= kWriteBuffer) {
        if (errno_ == 0 && !write_all(fd_, data, size))
            errno_ = errno;
        return;
    }
    buffer_.append(data, size);
}

bool AtomicFile::commit(std::string &error)
{
    if (fd_ < 0) {
        error = std::strerror(EBADF);
        return false;
    }
    flush();
    if (errno_ == 0 && fsync(fd_) != 0)
        errno_ = errno;
    if (::close(fd_) != 0 && errno_ == 0)
        errno_ = errno;
    fd_ = -1;
    // The target was checked before the scan; what replaced it since (a
    // FIFO, a device node) is not replaced in its turn. A link is: rename()
    // replaces the link itself, never what it leads to.
    struct stat now;
    bool swapped = errno_ == 0 && lstat(target_.c_str(), &now) == 0 &&
                   !S_ISREG(now.st_mode) && !S_ISLNK(now.st_mode);
    if (errno_ == 0 && !swapped && rename(temporary_.c_str(), target_.c_str()) != 0)
        errno_ = errno;
    release_temporary(temporary_.c_str());
    if (errno_ != 0 || swapped) {
        error = swapped ? "no longer a regular file (replaced during the scan); left as it is"
                        : std::strerror(errno_);
        unlink(temporary_.c_str());
        temporary_.clear();
        return false;
    }
    temporary_.clear();
    // The rename itself is made durable with the folder.
    int dir = ::open(folder_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        ::close(dir);
    }
    return true;
}

void AtomicFile::discard()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) {
        release_temporary(temporary_.c_str());
        unlink(temporary_.c_str());
    }
    temporary_.clear();
    buffer_.clear();
}

bool write_file_atomically(const std::string &target,
                           const std::function<void(Spool &out)> &render, std::string &error)
{
    AtomicFile file;
    if (!file.open(target, error))
        return false;
    {
        Spool out([&file](const std::string &piece) { file.write(piece); });
        render(out);
    }
    return file.commit(error);
}

PieceWriter write_to(int fd, int &error)
{
    return [fd, &error](const std::string &piece) {
        if (error == 0 && !write_all(fd, piece.data(), piece.size()))
            error = errno;
    };
}

}  // namespace zkd
