// The Linux platform layer: how a uscsi_cmd becomes one SG_IO request, and
// how the sg driver's answer becomes the call's result. The test program
// defines ioctl; requests on its pretend descriptor are answered from a
// scripted reply, everything else goes to the C library.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "platform/uscsi.h"

namespace {

constexpr int kDeviceFd = 4242;

struct Reply {
    int result;            // what ioctl returns
    int error;             // errno when result is -1
    unsigned char status;  // SCSI status
    unsigned short host_status;
    unsigned short driver_status;
    int resid;
    unsigned char sense_written;
};

struct FakeDevice {
    int calls = 0;
    unsigned long request = 0;
    sg_io_hdr_t seen{};
    Reply reply{};
};

FakeDevice g_device;

using IoctlFn = int (*)(int, unsigned long, void *);

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (fd != kDeviceFd) {
        static IoctlFn real = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
        return real(fd, request, argument);
    }
    ++g_device.calls;
    g_device.request = request;
    auto *hdr = static_cast<sg_io_hdr_t *>(argument);
    g_device.seen = *hdr;
    const Reply &reply = g_device.reply;
    if (reply.result == -1) {
        errno = reply.error;
        return -1;
    }
    hdr->status = reply.status;
    hdr->masked_status = static_cast<unsigned char>((reply.status >> 1) & 0x7F);
    hdr->host_status = reply.host_status;
    hdr->driver_status = reply.driver_status;
    hdr->resid = reply.resid;
    hdr->sb_len_wr = reply.sense_written;
    return 0;
}

namespace {

class UscsiLayer : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_device = FakeDevice{};
        memset(&cmd, 0, sizeof cmd);
        memset(cdb, 0, sizeof cdb);
        cdb[0] = 0x12;
        cdb[4] = 36;
        cmd.uscsi_cdb = reinterpret_cast<char *>(cdb);
        cmd.uscsi_cdblen = 6;
        cmd.uscsi_bufaddr = reinterpret_cast<char *>(data);
        cmd.uscsi_buflen = sizeof data;
        cmd.uscsi_flags = USCSI_READ;
    }

    uscsi_cmd cmd;
    unsigned char cdb[16];
    unsigned char data[36];
};

TEST_F(UscsiLayer, RequestBecomesOneVersion3SgIoHeader)
{
    struct Case {
        const char *name;
        int flags;
        size_t buflen;
        unsigned char cdblen;
        short timeout_seconds;
        int direction;
        unsigned expected_timeout_ms;
    };
    const Case cases[] = {
        {"data in", USCSI_READ, 36, 6, 0, SG_DXFER_FROM_DEV, 0},
        {"data in, 255 bytes", USCSI_READ, 255, 6, 0, SG_DXFER_FROM_DEV, 0},
        {"no data", USCSI_READ, 0, 6, 0, SG_DXFER_NONE, 0},
        {"no read flag: data out", 0, 8, 10, 0, SG_DXFER_TO_DEV, 0},
        {"a time limit in seconds", USCSI_READ, 4, 6, 60, SG_DXFER_FROM_DEV, 60000},
    };
    unsigned char big[255];
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        cmd.uscsi_flags = c.flags;
        cmd.uscsi_bufaddr = reinterpret_cast<char *>(big);
        cmd.uscsi_buflen = c.buflen;
        cmd.uscsi_cdblen = c.cdblen;
        cmd.uscsi_timeout = c.timeout_seconds;

        ASSERT_EQ(zk_uscsi_ioctl(kDeviceFd, &cmd), 0);
        ASSERT_EQ(g_device.calls, 1);
        EXPECT_EQ(g_device.request, static_cast<unsigned long>(SG_IO));
        const sg_io_hdr_t &h = g_device.seen;
        EXPECT_EQ(h.interface_id, 'S');
        EXPECT_EQ(h.dxfer_direction, c.direction);
        EXPECT_EQ(h.cmdp, cdb);
        EXPECT_EQ(h.cmd_len, c.cdblen);
        EXPECT_EQ(h.dxferp, static_cast<void *>(big));
        EXPECT_EQ(h.dxfer_len, c.buflen);
        EXPECT_EQ(h.sbp, nullptr);
        EXPECT_EQ(h.mx_sb_len, 0);
        EXPECT_EQ(h.timeout, c.expected_timeout_ms);
        EXPECT_EQ(h.iovec_count, 0);
        EXPECT_EQ(h.flags, 0u);
    }
}

TEST_F(UscsiLayer, DriverAnswerBecomesTheCallResult)
{
    constexpr short kUntouchedStatus = 0x5A5;
    constexpr size_t kUntouchedResid = 77777;
    struct Case {
        const char *name;
        Reply reply;
        int result;
        int error;  // checked when result is -1
        short status;
        size_t resid;
    };
    const Case cases[] = {
        {"clean", {0, 0, 0x00, 0, 0, 0, 0}, 0, 0, 0, 0},
        {"short transfer is a success", {0, 0, 0x00, 0, 0, 20, 0}, 0, 0, 0, 20},
        {"overrun is no residual", {0, 0, 0x00, 0, 0, -4, 0}, 0, 0, 0, 0},
        {"ioctl fails: its errno", {-1, EBADF, 0, 0, 0, 0, 0}, -1, EBADF,
         kUntouchedStatus, kUntouchedResid},
        {"ioctl fails with ENOMEM", {-1, ENOMEM, 0, 0, 0, 0, 0}, -1, ENOMEM,
         kUntouchedStatus, kUntouchedResid},
        {"not an sg node", {-1, ENOTTY, 0, 0, 0, 0, 0}, -1, ENOTTY,
         kUntouchedStatus, kUntouchedResid},
        {"CHECK CONDITION", {0, 0, 0x02, 0, 0x08, 36, 18}, -1, EIO, 0x02, 36},
        {"BUSY", {0, 0, 0x08, 0, 0, 0, 0}, -1, EIO, 0x08, 0},
        {"host error", {0, 0, 0x00, 0x07, 0, 0, 0}, -1, EIO, 0, 0},
        {"no connection", {0, 0, 0x00, 0x01, 0, 36, 0}, -1, EIO, 0, 36},
        {"driver error", {0, 0, 0x00, 0, 0x04, 0, 0}, -1, EIO, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        g_device.reply = c.reply;
        cmd.uscsi_status = kUntouchedStatus;
        cmd.uscsi_resid = kUntouchedResid;
        errno = ENOENT;  // a stale value must not leak into the verdict

        int result = zk_uscsi_ioctl(kDeviceFd, &cmd);

        EXPECT_EQ(result, c.result);
        if (c.result == -1) {
            EXPECT_EQ(errno, c.error);
        }
        EXPECT_EQ(cmd.uscsi_status, c.status);
        EXPECT_EQ(cmd.uscsi_resid, c.resid);
        EXPECT_EQ(g_device.calls, 1);
    }
}

TEST_F(UscsiLayer, SenseBufferIsPassedWhenAskedFor)
{
    unsigned char sense[32];
    cmd.uscsi_rqbuf = reinterpret_cast<char *>(sense);
    cmd.uscsi_rqlen = sizeof sense;
    g_device.reply = {0, 0, 0x02, 0, 0x08, 0, 18};

    EXPECT_EQ(zk_uscsi_ioctl(kDeviceFd, &cmd), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(g_device.seen.sbp, sense);
    EXPECT_EQ(g_device.seen.mx_sb_len, sizeof sense);
    EXPECT_EQ(cmd.uscsi_rqresid, sizeof sense - 18);
}

TEST_F(UscsiLayer, BufferTooLongForSgIsRefusedWithoutACall)
{
    if (sizeof(size_t) <= sizeof(unsigned int))
        GTEST_SKIP() << "every size_t length fits the sg header here";
    cmd.uscsi_buflen = static_cast<size_t>(UINT_MAX) + 1;
    EXPECT_EQ(zk_uscsi_ioctl(kDeviceFd, &cmd), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(g_device.calls, 0);
}

}  // namespace
