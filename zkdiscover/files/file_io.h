// Files that zkdiscover reads or writes on behalf of others. An input may be
// anything a path can name (a FIFO, a device, a file that never ends), so it
// is checked before a byte is read. An output is replaced as a whole: a
// reader (a scrape, a replay, the next comparison) never sees half a file,
// and an earlier good file survives any failure.
#ifndef ZKDISCOVER_FILE_IO_H
#define ZKDISCOVER_FILE_IO_H

#include "spool.h"

#include <cstddef>
#include <functional>
#include <string>

namespace zkd {

// Largest description or report zkdiscover reads (a 65,536-path report is
// about 36 MiB).
constexpr size_t kMaxInputBytes = 64u << 20;

// Checks that path names a regular file of at most limit bytes, opening it
// without blocking (a FIFO never stalls the program). On failure error holds
// the reason alone, e.g. "not a regular file", "larger than 64 MiB".
bool check_regular_file(const std::string &path, size_t limit, std::string &error);

// The same check, keeping the file open: its descriptor (the caller closes
// it) and its size, or -1 with the reason.
int open_regular_file(const std::string &path, size_t limit, size_t &size, std::string &error);

// The next piece of a file that open_regular_file opened, into buffer
// (EINTR retried): its length, 0 at the end, or -1 with the reason in
// error. A file that grows while it is read is held to the same limit:
// read_so_far and the piece together are at most limit bytes.
long read_piece(int fd, char *buffer, size_t size, size_t read_so_far, size_t limit,
                std::string &error);

// The same check, then the whole file into text (read once).
bool read_regular_file(const std::string &path, size_t limit, std::string &text,
                       std::string &error);

// Checks that a file can be created in folder (it exists, is a folder, and
// this process may write there), before any work whose result goes there.
bool check_output_folder(const std::string &folder, std::string &error);

// The folder part of a file path ("." when it has none).
std::string folder_of(const std::string &path);

// A file replaced atomically. open() creates a new temporary file beside
// the target (exclusively, never through a link); write() appends to it;
// commit() flushes, fsyncs and renames it over the target. Destroyed
// without commit(), it removes its temporary file and leaves the target as
// it was; so does SIGTERM, SIGINT or SIGHUP while it is written (a handler
// removes the file, then the signal ends the program as it would have).
// The new file has the mode of the one it replaces (as root, its owner and
// group too), or 0666 less the umask.
class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;
    ~AtomicFile();

    bool open(const std::string &target, std::string &error);
    // Buffered; the first failure is kept and reported by commit().
    void write(const char *data, size_t size);
    void write(const std::string &text) { write(text.data(), text.size()); }
    bool commit(std::string &error);

private:
    void flush();
    void discard();

    int fd_ = -1;
    int errno_ = 0;
    std::string target_;
    std::string temporary_;
    std::string buffer_;
};

// Replaces target, as an AtomicFile does, with what render writes into the
// spool it is given. False with the reason in error.
bool write_file_atomically(const std::string &target,
                           const std::function<void(Spool &out)> &render, std::string &error);

// Writes all of text to a descriptor (standard output, say), retrying short
// writes. False with errno set on failure.
bool write_all(int fd, const char *data, size_t size);

// A spool's writer onto a descriptor: each piece written whole; after the
// first failure nothing more is written and error holds its errno (error
// starts at 0).
PieceWriter write_to(int fd, int &error);

}  // namespace zkd

#endif
