/* Reads VPD page 0x80 of a device by path, through open(), ioctl(SG_IO) and
 * close() called by name: built as a shared object that a test dlopen()s,
 * and into a program that runs under LD_PRELOAD. */
#include <fcntl.h>
#include <scsi/sg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

/* Returns the number of bytes transferred, or -1 (errno set). */
int probe_read_serial(const char *path, unsigned char *page, int size) {
    unsigned char cdb[6] = {0x12, 0x01, 0x80, 0x00, 0x00, 0x00};
    sg_io_hdr_t hdr;
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return -1;
    cdb[4] = (unsigned char)(size > 255 ? 255 : size);
    memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.cmdp = cdb;
    hdr.cmd_len = sizeof cdb;
    hdr.dxferp = page;
    hdr.dxfer_len = (unsigned)size;
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    if (ioctl(fd, SG_IO, &hdr) != 0 || hdr.status != 0) {
        close(fd);
        return -1;
    }
    close(fd);
    return size - hdr.resid;
}
