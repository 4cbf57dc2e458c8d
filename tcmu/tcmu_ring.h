/*
 * The user side of the kernel's TCMU command ring (linux/target_core_user.h):
 * takes the commands the kernel queued between the mailbox's cmd_tail and
 * cmd_head, has a responder answer each CDB, writes data-in through the
 * entry's iovecs, fills status and sense, and moves cmd_tail on.
 *
 * The ring is plain shared memory, so everything here works as well on a
 * ring laid out in ordinary memory (which is how it is tested). Every offset
 * the kernel hands over is checked against the mapping before use: a bad
 * entry is answered with CHECK CONDITION, a bad entry header stops the walk.
 */
#ifndef ZK_TCMU_RING_H
#define ZK_TCMU_RING_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zktcmu {

/* Answers one CDB: writes at most data_cap bytes of data-in to data and sets
 * *data_len; for CHECK CONDITION, writes sense data (at most sense_cap
 * bytes) and sets *sense_len. Returns the SCSI status. */
using Responder = std::function<int(const unsigned char *cdb, size_t cdb_len,
                                    unsigned char *data, size_t data_cap,
                                    size_t *data_len, unsigned char *sense,
                                    size_t sense_cap, size_t *sense_len)>;

/* As Responder, with the command's data-out: the bytes of its data-out
 * iovecs (a command without data-out sees what its buffers hold, which a
 * responder reading only parameter lists ignores). */
using DataOutResponder = std::function<int(const unsigned char *cdb, size_t cdb_len,
                                           const unsigned char *data_out,
                                           size_t data_out_len, unsigned char *data,
                                           size_t data_cap, size_t *data_len,
                                           unsigned char *sense, size_t sense_cap,
                                           size_t *sense_len)>;

/* Data-out spread over several iovecs is gathered up to this many bytes (a
 * parameter list is at most 64 KiB); one iovec is passed whole, uncopied. */
constexpr size_t kMaxGatheredDataOut = 65536;
/* Bytes of data-out a CommandTrace keeps. */
constexpr size_t kTracedDataOut = 32;

/* Length of a CDB as the kernel copies it into the ring: by operation code
 * group, and 8 + the additional length for a variable-length CDB. */
size_t cdb_length(const unsigned char *cdb);

/* What one walk of the ring did. */
struct WalkResult {
    size_t commands = 0;   /* command entries answered */
    size_t skipped = 0;    /* PAD and TMR entries passed over */
    size_t unknown = 0;    /* entries of an unknown kind, flagged as such */
    size_t malformed = 0;  /* commands answered with CHECK CONDITION because
                              their offsets left the mapping */
    bool failed = false;   /* the walk stopped at an unusable entry header */
    std::string error;     /* why, when failed */

    size_t entries() const { return commands + skipped + unknown; }
};

/* One command as seen by the ring walker, for logging. */
struct CommandTrace {
    uint16_t cmd_id;
    std::vector<unsigned char> cdb;
    size_t data_cap;
    size_t data_len;
    int status;
    std::vector<unsigned char> data_out;  /* its first kTracedDataOut bytes */
};

class Ring {
public:
    /* The mapping of the TCMU device: base address and size in bytes. */
    Ring(void *base, size_t size);

    /* Checks the mailbox (version, command ring inside the mapping, head
     * and tail inside the ring). Returns an empty text, or the reason the
     * ring cannot be used. */
    std::string check() const;

    /* Handles every entry from cmd_tail up to the cmd_head read on entry.
     * cmd_tail is published after each entry, once its response is
     * complete. The kernel must then be told (a write to the device). */
    WalkResult walk(const Responder &respond,
                    const std::function<void(const CommandTrace &)> &trace = {});
    /* The same, handing each command's data-out to the responder. */
    WalkResult walk_with_data_out(const DataOutResponder &respond,
                                  const std::function<void(const CommandTrace &)> &trace = {});

    uint32_t head() const;
    uint32_t tail() const;

private:
    struct Iov {
        uint64_t offset;
        uint64_t length;
    };

    bool in_map(uint64_t offset, uint64_t length) const;
    bool in_data_area(uint64_t offset, uint64_t length) const;
    void answer_command(uint32_t entry_off, uint32_t entry_len,
                        const DataOutResponder &respond,
                        const std::function<void(const CommandTrace &)> &trace,
                        WalkResult &result);
    void write_response(uint32_t entry_off, int status, size_t read_len,
                        const unsigned char *sense, size_t sense_len);

    unsigned char *base_;
    size_t size_;
    std::vector<unsigned char> scratch_;
    std::vector<unsigned char> gathered_;
};

/* Fixed-format sense data: response code 0x70, the sense key and the
 * additional sense code and qualifier. Returns the bytes written (18, or
 * fewer when cap is smaller). */
size_t fixed_sense(unsigned char *sense, size_t cap, uint8_t key, uint8_t asc,
                   uint8_t ascq);

}  // namespace zktcmu

#endif
