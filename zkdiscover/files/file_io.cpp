#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
    std::string name = folder_of(target) + "/." + base + ".XXXXXX";
    // mkostemp creates the name exclusively (O_EXCL): a link planted under
    // any name is never followed.
    int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // Readable by the readers of such files (a scrape, a replay), as an
    // ordinary file written with the default umask would be.
    if (fchmod(fd, 0644) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        unlink(name.c_str());
        return false;
    }
    fd_ = fd;
    temporary_ = name;
    buffer_.reserve(kWriteBuffer);
    return true;
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
    if (errno_ == 0 && rename(temporary_.c_str(), target_.c_str()) != 0)
        errno_ = errno;
    if (errno_ != 0) {
        error = std::strerror(errno_);
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
    if (!temporary_.empty())
        unlink(temporary_.c_str());
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
