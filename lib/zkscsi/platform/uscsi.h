/*
 * The user SCSI pass-through request, kept in its Solaris form so the
 * INQUIRY and MODE SENSE code fills it exactly as on Solaris. The platform
 * layer (uscsi_linux.cpp) carries it to the device.
 */
#ifndef ZK_PLATFORM_USCSI_H
#define ZK_PLATFORM_USCSI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Solaris ioctl request number for a pass-through command. */
#define USCSICMD 0x04C9
/* Data flows from the device into uscsi_bufaddr. */
#define USCSI_READ 0x08

/* Field order and widths of the Solaris record: 36 bytes with 32-bit
 * pointers. */
struct uscsi_cmd {
    int uscsi_flags;
    short uscsi_status;
    short uscsi_timeout;
    char *uscsi_cdb;
    char *uscsi_bufaddr;
    size_t uscsi_buflen;
    size_t uscsi_resid;
    unsigned char uscsi_cdblen;
    unsigned char uscsi_rqlen;
    unsigned char uscsi_rqstatus;
    unsigned char uscsi_rqresid;
    char *uscsi_rqbuf;
    void *uscsi_reserved;
};

/* Issues the request on fd, as ioctl(fd, USCSICMD, cmd) does on Solaris.
 * Returns 0 when the command completed cleanly; -1 with errno set
 * otherwise (the ioctl's own errno, or EIO for a command that ended with a
 * bad SCSI, host or driver status). Writes the SCSI status and residual
 * count back into cmd. Not exported. */
int zk_uscsi_ioctl(int fd, struct uscsi_cmd *cmd);

#ifdef __cplusplus
}
#endif

#endif /* ZK_PLATFORM_USCSI_H */
