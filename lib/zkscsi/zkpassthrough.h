/* Pieces shared by the INQUIRY and MODE SENSE commands: the request record
 * and CDB area of one command with their allocation and release orders,
 * filling the request for a data-in command, and keeping the errno of a
 * failed call across the releases that follow it. Internal to the library. */
#ifndef ZK_ZKPASSTHROUGH_H
#define ZK_ZKPASSTHROUGH_H

#include <errno.h>
#include <pthread.h>
#include <stddef.h>

#include "platform/uscsi.h"
#include "zkscsi_codes.h"

/* The request record and the 16-byte CDB area of one command. */
struct zk_request {
    struct uscsi_cmd *cmd;
    unsigned char *cdb;
};

/* Allocates and clears, in this order, the request record, the CDB area and
 * a data buffer of data_length bytes (malloc, then memset, for each). When
 * one allocation fails, releases those made before it (record, then CDB
 * area) and returns 12; returns 0 otherwise. The caller owns the
 * descriptor and closes it. */
int zk_request_alloc(struct zk_request *request, size_t data_length,
                     unsigned char **data);

/* Releases the request record, then the CDB area. */
void zk_request_release(struct zk_request *request);

/* After a failed ioctl: releases the record, the CDB area and data (in
 * that order; data may be null), closes fd, and returns the failed call's
 * errno, which stays in errno too. */
int zk_request_fail(int fd, struct zk_request *request, unsigned char *data);

/* Points the request at its CDB area and the data buffer, for a 6-byte CDB
 * whose data flows from the device. Everything else stays as it was. */
static inline void zk_fill_read_request(struct zk_request *request,
                                        unsigned char *buffer, size_t length)
{
    struct uscsi_cmd *cmd = request->cmd;
    cmd->uscsi_cdb = reinterpret_cast<char *>(request->cdb);
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

/* Holds a thread's cancellation off for one command, from before its open()
 * to after its close(), so that a cancel never strands the descriptor or a
 * buffer. A cancel already pending is acted on first, when nothing is held
 * yet. */
struct zk_command_guard {
    int cancel_state;
    zk_command_guard()
    {
        pthread_testcancel();
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    }
    ~zk_command_guard() { pthread_setcancelstate(cancel_state, nullptr); }
    zk_command_guard(const zk_command_guard &) = delete;
    zk_command_guard &operator=(const zk_command_guard &) = delete;
};

#endif /* ZK_ZKPASSTHROUGH_H */
