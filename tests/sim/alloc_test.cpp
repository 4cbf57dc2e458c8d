// Once its units are loaded and the program has reached its highest
// descriptor, the simulator allocates nothing to open, answer and close:
// tests that fail every allocation of a library call see only the
// library's own.
#include "test_allocator.h"
#include "zksim.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct Step {
    int rc;
    unsigned char status;
    int resid;
};

// Allocates nothing itself.
Step command(int fd, const std::vector<unsigned char> &cdb, unsigned dxfer_len) {
    unsigned char data[512], sense[32], cdb_copy[16];
    std::memcpy(cdb_copy, cdb.data(), cdb.size());
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.cmdp = cdb_copy;
    hdr.cmd_len = static_cast<unsigned char>(cdb.size());
    hdr.dxferp = data;
    hdr.dxfer_len = dxfer_len;
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr.sbp = sense;
    hdr.mx_sb_len = sizeof sense;
    int rc = ioctl(fd, SG_IO, &hdr);
    return Step{rc, hdr.status, hdr.resid};
}

TEST(SimulatorAllocations, NonePerOpenCommandOrClose) {
    char err[128];
    ASSERT_EQ(zksim_load_text("unit /dev/sim/sda\n cab_serial CK0001\n"
                              " fault command 5 check\n", err, sizeof err), 0) << err;
    zksim_set_recording(0);
    const std::vector<std::vector<unsigned char>> cdbs = {
        {0x12, 0, 0, 0, 36, 0},        {0x12, 1, 0x83, 0, 255, 0},
        {0x12, 1, 0x80, 0, 255, 0},    {0x1A, 0x08, 0x3F, 0, 255, 0},
        {0x12, 1, 0xC5, 0, 255, 0},    // 5th: the injected CHECK CONDITION
        {0xA3, 0x0A, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0},
        {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},
    };
    auto run = [&](std::vector<Step> &steps) {
        int fd = open("/dev/sim/sda", O_RDONLY | O_NDELAY);
        for (const auto &cdb : cdbs) steps.push_back(command(fd, cdb, 512));
        steps.push_back(Step{close(fd), 0, 0});
    };
    std::vector<Step> warm, armed;
    warm.reserve(16);
    armed.reserve(16);
    run(warm);
    ASSERT_EQ(zksim_load_text("unit /dev/sim/sda\n cab_serial CK0001\n"
                              " fault command 5 check\n", err, sizeof err), 0) << err;
    zksim_set_recording(0);
    zktest::alloc_arm(1, true);  // every allocation fails from now on
    run(armed);
    zktest::alloc_disarm();
    EXPECT_EQ(zktest::alloc_calls(), 0u);
    ASSERT_EQ(armed.size(), warm.size());
    for (std::size_t i = 0; i < armed.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(armed[i].rc, 0);
        EXPECT_EQ(armed[i].status, warm[i].status);
        EXPECT_EQ(armed[i].resid, warm[i].resid);
    }
    EXPECT_EQ(armed[4].status, 0x02);
    EXPECT_EQ(zksim_open_descriptors(), 0);
    zksim_reset();
}

}  // namespace
