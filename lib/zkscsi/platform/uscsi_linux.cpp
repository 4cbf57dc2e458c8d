// Linux platform layer: carries a Solaris-style uscsi_cmd to the device as
// one SG_IO ioctl with a version 3 sg_io_hdr.
//
// The Solaris driver fails a request whose command did not complete cleanly,
// and the library's callers take the ioctl result as the whole verdict, so a
// bad SCSI, host or driver status becomes a failed call with errno EIO here.
#include "platform/uscsi.h"

#include <errno.h>
#include <limits.h>
#include <scsi/sg.h>
#include <string.h>
#include <sys/ioctl.h>

namespace {

constexpr int kSgInterfaceId = 'S';
constexpr unsigned kMillisecondsPerSecond = 1000;

// Solaris has no USCSI_WRITE bit: a request without USCSI_READ that carries
// data sends it to the device.
int transfer_direction(const struct uscsi_cmd *cmd)
{
    if (cmd->uscsi_buflen == 0)
        return SG_DXFER_NONE;
    return (cmd->uscsi_flags & USCSI_READ) ? SG_DXFER_FROM_DEV
                                           : SG_DXFER_TO_DEV;
}

}  // namespace

extern "C" int zk_uscsi_ioctl(int fd, struct uscsi_cmd *cmd)
{
    // dxfer_len is an unsigned int: a longer buffer cannot be described.
    if (cmd->uscsi_buflen > UINT_MAX) {
        errno = EINVAL;
        return -1;
    }

    sg_io_hdr_t hdr;
    memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = kSgInterfaceId;
    hdr.dxfer_direction = transfer_direction(cmd);
    hdr.cmdp = reinterpret_cast<unsigned char *>(cmd->uscsi_cdb);
    hdr.cmd_len = cmd->uscsi_cdblen;
    hdr.dxferp = cmd->uscsi_bufaddr;
    hdr.dxfer_len = static_cast<unsigned int>(cmd->uscsi_buflen);
    hdr.sbp = reinterpret_cast<unsigned char *>(cmd->uscsi_rqbuf);
    hdr.mx_sb_len = cmd->uscsi_rqbuf ? cmd->uscsi_rqlen : 0;
    // Solaris counts seconds, sg milliseconds; 0 lets the driver apply its
    // own default, which is what the library asks for.
    hdr.timeout = static_cast<unsigned int>(
        static_cast<unsigned short>(cmd->uscsi_timeout)) *
        kMillisecondsPerSecond;

    if (ioctl(fd, SG_IO, &hdr) == -1)
        return -1;  // errno is the ioctl's own

    cmd->uscsi_status = static_cast<short>(hdr.status);
    // A negative residual (an overrun) is no data left untransferred.
    cmd->uscsi_resid = hdr.resid > 0 ? static_cast<size_t>(hdr.resid) : 0;
    if (hdr.mx_sb_len > 0)
        cmd->uscsi_rqresid = static_cast<unsigned char>(
            hdr.mx_sb_len > hdr.sb_len_wr ? hdr.mx_sb_len - hdr.sb_len_wr : 0);

    if (hdr.status != 0 || hdr.host_status != 0 || hdr.driver_status != 0) {
        errno = EIO;
        return -1;
    }
    return 0;
}
