// Linux platform layer: carries a uscsi_cmd to the device with SG_IO.
// (Placeholder body; filled in by the owning change.)
#include "platform/uscsi.h"

#include <errno.h>

extern "C" int zk_uscsi_ioctl(int fd, struct uscsi_cmd *cmd)
{
    (void)fd; (void)cmd;
    errno = EIO;
    return -1;
}
