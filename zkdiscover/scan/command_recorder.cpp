#include "command_recorder.h"

#include <scsi/sg.h>

#include <cerrno>

namespace zkd {

namespace {

// The recording of the calling thread, or null.
thread_local std::vector<RecordedCommand> *t_recording = nullptr;

// Room for fixed or descriptor format sense data.
constexpr size_t kSenseBytes = 64;

void record(const sg_io_hdr_t &hdr, int rc, int error)
{
    RecordedCommand c;
    if (hdr.cmdp != nullptr)
        c.cdb.assign(hdr.cmdp, hdr.cmdp + hdr.cmd_len);
    if (rc == -1) {
        c.error = error;
    } else {
        c.status = hdr.status;
        c.host_status = hdr.host_status;
        c.driver_status = hdr.driver_status;
        if (hdr.dxfer_direction == SG_DXFER_FROM_DEV && hdr.dxferp != nullptr &&
            hdr.iovec_count == 0) {
            int resid = hdr.resid > 0 ? hdr.resid : 0;
            size_t got = hdr.dxfer_len > static_cast<unsigned>(resid)
                             ? hdr.dxfer_len - static_cast<unsigned>(resid) : 0;
            auto *bytes = static_cast<const std::uint8_t *>(hdr.dxferp);
            c.data.assign(bytes, bytes + got);
        }
        if (hdr.sbp != nullptr && hdr.sb_len_wr > 0)
            c.sense.assign(hdr.sbp, hdr.sbp + hdr.sb_len_wr);
    }
    t_recording->push_back(std::move(c));
}

}  // namespace

int recorded_ioctl(IoctlFn next, int fd, unsigned long request, void *arg)
{
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    if (t_recording == nullptr || request != SG_IO || arg == nullptr)
        return next(fd, request, arg);
    // A caller that asks for no sense data gets none, but the capture
    // keeps it: a buffer is lent for the call and taken back after.
    auto *hdr = static_cast<sg_io_hdr_t *>(arg);
    std::uint8_t lent[kSenseBytes];
    bool lend = hdr->sbp == nullptr || hdr->mx_sb_len == 0;
    unsigned char *sbp = hdr->sbp;
    unsigned char mx_sb_len = hdr->mx_sb_len;
    if (lend) {
        hdr->sbp = lent;
        hdr->mx_sb_len = sizeof lent;
    }
    int rc = next(fd, request, arg);
    int error = errno;
    record(*hdr, rc, error);
    if (lend) {
        hdr->sbp = sbp;
        hdr->mx_sb_len = mx_sb_len;
        hdr->sb_len_wr = 0;
    }
    errno = error;
    return rc;
}

CommandRecording::CommandRecording() { t_recording = &commands_; }

CommandRecording::~CommandRecording()
{
    if (active_)
        t_recording = nullptr;
}

std::vector<RecordedCommand> CommandRecording::take()
{
    if (active_)
        t_recording = nullptr;
    active_ = false;
    return std::move(commands_);
}

}  // namespace zkd
