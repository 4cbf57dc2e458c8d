// The errno of a failed open() or ioctl is the result, even when the
// releases and the close that follow it leave errno changed (a successful
// close may: the stand-in device's close sets errno to EINTR). A call that
// fails without setting errno still fails, with EIO, rather than reading as
// success with no buffer.
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "standin_device.h"
#include "zkDGCclariion.h"

namespace {

unsigned char g_sentinel_byte;
unsigned char *const kUntouchedBuffer = &g_sentinel_byte;

using Operation = int (*)(int *, unsigned char **);

int inquiry_vpd(int *length, unsigned char **buffer)
{
    return do_inquiry(kDevicePath, 1, 0x80, O_RDONLY | O_NDELAY, length, buffer);
}

int mode_sense_raw(int *length, unsigned char **buffer)
{
    return do_mode_sense_raw(kDevicePath, 1, 0, 0x26, length, buffer);
}

int mode_sense_pages(int *length, unsigned char **buffer)
{
    return do_mode_sense(kDevicePath, 1, 0, 0x26, length, buffer);
}

TEST(ErrnoKept, FailedCallErrnoIsTheResultAndOutlivesTheClose)
{
    const std::pair<const char *, Operation> operations[] = {
        {"do_inquiry", inquiry_vpd},
        {"do_mode_sense_raw", mode_sense_raw},
        {"do_mode_sense", mode_sense_pages},
    };
    struct Case {
        bool open_fails;
        int failing_command;  // when open succeeds
        int error;
        int result;
    };
    const Case cases[] = {
        {true, 0, ENOENT, ENOENT},
        {true, 0, EACCES, EACCES},
        {true, 0, 0, EIO},
        {false, 1, ETIMEDOUT, ETIMEDOUT},
        {false, 2, ETIMEDOUT, ETIMEDOUT},
        {false, 1, ENXIO, ENXIO},
        {false, 2, EACCES, EACCES},
        {false, 1, 0, EIO},
        {false, 2, 0, EIO},
    };
    for (const auto &[name, operation] : operations) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << name << (c.open_fails ? ", open" : ", command ")
                                            << c.failing_command << " fails with errno " << c.error);
            g_device = Device{};
            g_device.open_fails = c.open_fails;
            g_device.failing_command = c.failing_command;
            g_device.failing_errno = c.error;
            g_device.close_errno = EINTR;
            int length = 0;
            unsigned char *buffer = kUntouchedBuffer;

            errno = 0;
            EXPECT_EQ(operation(&length, &buffer), c.result);
            EXPECT_EQ(errno, c.result);
            EXPECT_EQ(buffer, kUntouchedBuffer);
            EXPECT_EQ(g_device.commands, c.failing_command);
            EXPECT_EQ(g_device.closes, c.open_fails ? 0 : 1);
        }
    }
}

TEST(ErrnoKept, ErrnoLeftByASuccessfulCloseIsNoFailure)
{
    const Operation operations[] = {inquiry_vpd, mode_sense_raw, mode_sense_pages};
    for (Operation operation : operations) {
        g_device = Device{};
        g_device.close_errno = EINTR;
        int length = 0;
        unsigned char *buffer = nullptr;
        EXPECT_EQ(operation(&length, &buffer), 0);
        EXPECT_NE(buffer, nullptr);
        free(buffer);
        EXPECT_EQ(g_device.closes, 1);
    }
}

}  // namespace
