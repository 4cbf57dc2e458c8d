/* Pieces shared by the INQUIRY and MODE SENSE commands: filling the
 * pass-through request for a data-in command, and keeping the errno of a
 * failed call across the releases that follow it. Internal to the library. */
#ifndef ZK_ZKPASSTHROUGH_H
#define ZK_ZKPASSTHROUGH_H

#include <errno.h>
#include <stddef.h>

#include "platform/uscsi.h"
#include "zkscsi_codes.h"

/* The commands allocate with malloc and then clear with memset, as two calls
 * through the C library, so a host or a test that stands in for malloc sees
 * every allocation. GCC would otherwise merge the pair into one calloc. */
#if defined(__GNUC__) && !defined(__clang__)
#define ZK_SEPARATE_MALLOC_AND_CLEAR __attribute__((optimize("no-optimize-strlen")))
#else
#define ZK_SEPARATE_MALLOC_AND_CLEAR
#endif

/* Points the request at the CDB area and the data buffer, for a 6-byte CDB
 * whose data flows from the device. Everything else stays as it was. */
static inline void zk_fill_read_request(struct uscsi_cmd *cmd, char *cdb,
                                        unsigned char *buffer, size_t length)
{
    cmd->uscsi_cdb = cdb;
    cmd->uscsi_cdblen = kCdb6Length;
    cmd->uscsi_bufaddr = reinterpret_cast<char *>(buffer);
    cmd->uscsi_buflen = length;
    cmd->uscsi_flags |= USCSI_READ;
}

/* The result for a failed open() or ioctl: its errno. A call that fails
 * without setting errno must still not read as success (0): it becomes EIO,
 * in errno too. */
static inline int zk_failure_result(void)
{
    if (errno == 0)
        errno = EIO;
    return errno;
}

#endif /* ZK_ZKPASSTHROUGH_H */
