// The interposer linked into this program: SG_IO semantics, faults,
// records, descriptor balance, real paths, threads.
#include "zksim.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" int __open_2(const char *path, int flags);
extern "C" int __open64_2(const char *path, int flags);

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Result {
    int rc;
    int err;
    sg_io_hdr_t hdr;
    Bytes data;   // the whole buffer
    Bytes sense;  // the whole sense buffer
};

Result issue(int fd, Bytes cdb, unsigned dxfer_len, int direction = SG_DXFER_FROM_DEV,
             unsigned char mx_sb_len = 32, int interface_id = 'S') {
    Result r{};
    r.data.assign(dxfer_len, 0xEE);
    r.sense.assign(64, 0xEE);
    std::memset(&r.hdr, 0, sizeof r.hdr);
    r.hdr.interface_id = interface_id;
    r.hdr.cmdp = cdb.data();
    r.hdr.cmd_len = static_cast<unsigned char>(cdb.size());
    r.hdr.dxferp = dxfer_len ? r.data.data() : nullptr;
    r.hdr.dxfer_len = dxfer_len;
    r.hdr.dxfer_direction = direction;
    r.hdr.sbp = r.sense.data();
    r.hdr.mx_sb_len = mx_sb_len;
    errno = 0;
    r.rc = ioctl(fd, SG_IO, &r.hdr);
    r.err = errno;
    r.hdr.cmdp = nullptr;
    return r;
}

void load(const std::string &text) {
    char err[256];
    ASSERT_EQ(zksim_load_text(text.c_str(), err, sizeof err), 0) << err;
}

const Bytes kInquiry36 = {0x12, 0, 0, 0, 36, 0};
const Bytes kSerialPage = {0x12, 1, 0x80, 0, 255, 0};

class Interposer : public ::testing::Test {
protected:
    void SetUp() override {
        load("unit /dev/sim/sdc\n  cab_serial SERIAL01\n"
             "unit /dev/sim/sg3\n");
    }
    void TearDown() override {
        EXPECT_EQ(zksim_open_descriptors(), 0);
        zksim_reset();
    }
};

struct TransferCase {
    const char *name;
    Bytes cdb;
    unsigned dxfer_len;
    unsigned copied;
};

TEST_F(Interposer, TransferIsCutToDxferLenAndResidCountsTheRest) {
    const TransferCase cases[] = {
        {"buffer larger than the answer", kSerialPage, 64, 12},
        {"buffer smaller than the answer", kSerialPage, 5, 5},
        {"allocation length smaller than the buffer", kInquiry36, 100, 36},
        {"no data phase", {0, 0, 0, 0, 0, 0}, 0, 0},
    };
    int fd = open("/dev/sim/sdc", O_RDONLY);
    ASSERT_GE(fd, 0);
    for (const TransferCase &c : cases) {
        SCOPED_TRACE(c.name);
        Result r = issue(fd, c.cdb, c.dxfer_len, c.dxfer_len ? SG_DXFER_FROM_DEV : SG_DXFER_NONE);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.hdr.status, 0);
        EXPECT_EQ(r.hdr.masked_status, 0);
        EXPECT_EQ(r.hdr.host_status, 0);
        EXPECT_EQ(r.hdr.driver_status, 0);
        EXPECT_EQ(r.hdr.sb_len_wr, 0);
        EXPECT_EQ(r.hdr.info & SG_INFO_CHECK, 0u);
        EXPECT_EQ(r.hdr.resid, static_cast<int>(c.dxfer_len - c.copied));
        // Bytes beyond the transfer are untouched.
        for (unsigned k = c.copied; k < c.dxfer_len; ++k) ASSERT_EQ(r.data[k], 0xEE) << k;
    }
    Result serial = issue(fd, kSerialPage, 64);
    EXPECT_EQ(std::string(serial.data.begin() + 4, serial.data.begin() + 12), "SERIAL01");
    EXPECT_EQ(close(fd), 0);
}

TEST_F(Interposer, CheckConditionCompletesWithSense) {
    int fd = open("/dev/sim/sdc", O_RDONLY);
    ASSERT_GE(fd, 0);
    const struct {
        unsigned char mx_sb_len;
        unsigned char written;
    } cases[] = {{32, 18}, {8, 8}, {0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mx_sb_len);
        Result r = issue(fd, {0x12, 1, 0xC7, 0, 255, 0}, 255, SG_DXFER_FROM_DEV, c.mx_sb_len);
        ASSERT_EQ(r.rc, 0);  // the ioctl succeeds; the command did not
        EXPECT_EQ(r.hdr.status, 0x02);
        EXPECT_EQ(r.hdr.masked_status, 0x01);
        EXPECT_EQ(r.hdr.driver_status, 0x08);
        EXPECT_EQ(r.hdr.info & SG_INFO_CHECK, 1u);
        EXPECT_EQ(r.hdr.resid, 255);
        EXPECT_EQ(r.hdr.sb_len_wr, c.written);
        if (c.written >= 14) {
            EXPECT_EQ(r.sense[0], 0x70);
            EXPECT_EQ(r.sense[2], 0x05);
            EXPECT_EQ(r.sense[12], 0x24);
        }
        EXPECT_EQ(r.sense[c.written], 0xEE);
    }
    close(fd);
}

TEST_F(Interposer, RequestErrorsAsTheDriversGiveThem) {
    int sd = open("/dev/sim/sdc", O_RDONLY);
    int sg = open("/dev/sim/sg3", O_RDWR);
    ASSERT_GE(sd, 0);
    ASSERT_GE(sg, 0);
    EXPECT_EQ(issue(sd, kInquiry36, 36, SG_DXFER_FROM_DEV, 32, 'Q').err, EINVAL);
    EXPECT_EQ(issue(sg, kInquiry36, 36, SG_DXFER_FROM_DEV, 32, 'Q').err, ENOSYS);
    EXPECT_EQ(issue(sg, {0x12, 0, 0, 0, 36}, 36).err, EMSGSIZE);
    EXPECT_EQ(issue(sg, kInquiry36, 36, -7).err, EINVAL);
    int value = 0;
    errno = 0;
    EXPECT_EQ(ioctl(sd, SG_GET_VERSION_NUM, &value), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(zksim_command_count(), 0u);  // none reached the unit
    close(sd);
    close(sg);
}

struct FaultCase {
    const char *name;
    const char *fault;
    int rc, err, status, host, driver;
    unsigned copied;
};

TEST(InterposerFaults, SecondCommandFails) {
    const FaultCase cases[] = {
        {"errno", "errno EIO", -1, EIO, 0, 0, 0, 0},
        {"errno by number", "errno 6", -1, ENXIO, 0, 0, 0, 0},
        {"check", "check", 0, 0, 0x02, 0, 0x08, 0},
        {"host", "host", 0, 0, 0, 0x07, 0, 0},
        {"host value", "host 0x0B", 0, 0, 0, 0x0B, 0, 0},
        {"driver", "driver", 0, 0, 0, 0, 0x04, 0},
        {"short", "short 7", 0, 0, 0, 0, 0, 7},
        {"short beyond the answer", "short 200", 0, 0, 0, 0, 0, 12},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.name);
        load(std::string("unit /dev/f\n cab_serial SERIAL01\n fault command 2 ") + c.fault + "\n");
        int fd = open("/dev/f", O_RDONLY);
        ASSERT_GE(fd, 0);
        Result first = issue(fd, kSerialPage, 64);
        EXPECT_EQ(first.rc, 0);
        EXPECT_EQ(first.hdr.resid, 64 - 12);
        Result second = issue(fd, kSerialPage, 64);
        EXPECT_EQ(second.rc, c.rc);
        if (c.rc == -1) {
            EXPECT_EQ(second.err, c.err);
        } else {
            EXPECT_EQ(second.hdr.status, c.status);
            EXPECT_EQ(second.hdr.host_status, c.host);
            EXPECT_EQ(second.hdr.driver_status, c.driver);
            EXPECT_EQ(second.hdr.resid, static_cast<int>(64 - c.copied));
            EXPECT_EQ(second.data[c.copied], 0xEE);
            if (c.copied) {
                EXPECT_EQ(second.data[0], 0x00);
            }
        }
        EXPECT_EQ(issue(fd, kSerialPage, 64).hdr.resid, 64 - 12);  // third is clean
        close(fd);
    }
    zksim_reset();
}

TEST(InterposerFaults, EveryCommandAndCustomSense) {
    load("unit /dev/f\n fault command * check 0x02 0x04 0x0B\n fault command 3 errno EBUSY\n");
    int fd = open("/dev/f", O_RDONLY);
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        Result r = issue(fd, kInquiry36, 36);
        if (n == 3) {
            EXPECT_EQ(r.rc, -1);
            EXPECT_EQ(r.err, EBUSY);
            continue;
        }
        EXPECT_EQ(r.hdr.status, 0x02);
        EXPECT_EQ(r.sense[2], 0x02);
        EXPECT_EQ(r.sense[12], 0x04);
        EXPECT_EQ(r.sense[13], 0x0B);
    }
    close(fd);
    // Counting starts again with a new load.
    load("unit /dev/f\n fault command 1 errno EIO\n");
    fd = open("/dev/f", O_RDONLY);
    EXPECT_EQ(issue(fd, kInquiry36, 36).err, EIO);
    close(fd);
    zksim_reset();
}

TEST(InterposerFaults, OpenFailsWithErrnoAndIsRecorded) {
    load("unit /dev/gone\n fault open ENXIO\n");
    errno = 0;
    EXPECT_EQ(open("/dev/gone", O_RDONLY | O_NDELAY), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(zksim_open_descriptors(), 0);
    ASSERT_EQ(zksim_open_count(), 1u);
    zksim_open_record rec;
    ASSERT_EQ(zksim_open_at(0, &rec), 0);
    EXPECT_STREQ(rec.path, "/dev/gone");
    EXPECT_EQ(rec.flags, O_RDONLY | O_NDELAY);
    zksim_reset();
}

TEST_F(Interposer, RecordsOpensAndCommandsInOrder) {
    int a = open("/dev/sim/sdc", O_RDONLY | O_NDELAY);
    int b = openat(AT_FDCWD, "/dev/sim/sg3", O_RDWR);
    issue(a, kInquiry36, 36);
    issue(b, {0x1A, 0x08, 0x26, 0, 4, 0}, 4);
    issue(b, {0, 0, 0, 0, 0, 0}, 0, SG_DXFER_NONE);
    ASSERT_EQ(zksim_open_count(), 2u);
    zksim_open_record o;
    ASSERT_EQ(zksim_open_at(1, &o), 0);
    EXPECT_STREQ(o.path, "/dev/sim/sg3");
    EXPECT_EQ(o.flags, O_RDWR);
    EXPECT_EQ(zksim_open_at(2, &o), -1);

    ASSERT_EQ(zksim_command_count(), 3u);
    zksim_command_record c;
    ASSERT_EQ(zksim_command_at(1, &c), 0);
    EXPECT_STREQ(c.path, "/dev/sim/sg3");
    EXPECT_EQ(c.cdb_len, 6u);
    EXPECT_EQ(Bytes(c.cdb, c.cdb + 6), (Bytes{0x1A, 0x08, 0x26, 0, 4, 0}));
    EXPECT_EQ(c.dxfer_len, 4u);
    EXPECT_EQ(c.dxfer_direction, SG_DXFER_FROM_DEV);
    ASSERT_EQ(zksim_command_at(2, &c), 0);
    EXPECT_EQ(c.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(zksim_command_at(3, &c), -1);

    zksim_clear_records();
    EXPECT_EQ(zksim_command_count(), 0u);
    zksim_set_recording(0);
    issue(a, kInquiry36, 36);
    EXPECT_EQ(zksim_command_count(), 0u);
    zksim_set_recording(1);
    zksim_set_record_limit(2);
    for (int k = 0; k < 5; ++k) issue(a, kInquiry36, 36);
    EXPECT_EQ(zksim_command_count(), 2u);
    EXPECT_EQ(zksim_records_dropped(), 3u);
    zksim_set_record_limit(1u << 20);
    close(a);
    close(b);
}

TEST_F(Interposer, EveryOpenVariantReachesTheSimulator) {
    int fds[] = {
        open("/dev/sim/sdc", O_RDONLY),
        open64("/dev/sim/sdc", O_RDONLY),
        __open_2("/dev/sim/sdc", O_RDONLY),
        __open64_2("/dev/sim/sdc", O_RDONLY),
        openat(AT_FDCWD, "/dev/sim/sdc", O_RDONLY),
        openat(-1, "/dev/sim/sdc", O_RDONLY),  // absolute: the descriptor is not used
    };
    EXPECT_EQ(zksim_open_descriptors(), 6);
    for (int fd : fds) {
        ASSERT_GE(fd, 0);
        EXPECT_EQ(issue(fd, kInquiry36, 36).hdr.resid, 0);
    }
    for (int fd : fds) EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(zksim_open_descriptors(), 0);
    // Descriptor numbers are real ones: a real open never gets a live one.
    int sim = open("/dev/sim/sdc", O_RDONLY);
    int real = open("/dev/null", O_RDONLY);
    EXPECT_NE(sim, real);
    close(real);
    close(sim);
}

TEST_F(Interposer, RealPathsAndDescriptorsPassThrough) {
    char path[] = "/tmp/zksim_passthrough_XXXXXX";
    int made = mkstemp(path);
    ASSERT_GE(made, 0);
    ASSERT_EQ(write(made, "hello", 5), 5);
    ASSERT_EQ(close(made), 0);

    int fd = open(path, O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(zksim_open_descriptors(), 0);
    char buf[8] = {};
    EXPECT_EQ(read(fd, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    int pending = -1;
    EXPECT_EQ(ioctl(fd, FIONREAD, &pending), 0);  // a real ioctl on a real file
    EXPECT_EQ(pending, 0);
    sg_io_hdr_t hdr{};
    hdr.interface_id = 'S';
    errno = 0;
    EXPECT_EQ(ioctl(fd, SG_IO, &hdr), -1);  // the kernel's answer, not ours
    EXPECT_NE(errno, 0);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(close(fd), -1);
    EXPECT_EQ(errno, EBADF);

    int created = open((std::string(path) + ".new").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(created, 0);
    close(created);
    EXPECT_EQ(access((std::string(path) + ".new").c_str(), R_OK | W_OK), 0);
    unlink((std::string(path) + ".new").c_str());
    unlink(path);
    EXPECT_EQ(open("/nonexistent/zksim", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Interposer, ScatteredBuffersAndLatency) {
    load("unit /dev/slow\n cab_serial SERIAL01\n latency_us 20000\n");
    int fd = open("/dev/slow", O_RDONLY);
    unsigned char a[5], b[64];
    std::memset(b, 0xEE, sizeof b);
    sg_iovec_t iov[2] = {{a, sizeof a}, {b, sizeof b}};
    Bytes cdb = kSerialPage;
    sg_io_hdr_t hdr{};
    hdr.interface_id = 'S';
    hdr.cmdp = cdb.data();
    hdr.cmd_len = 6;
    hdr.iovec_count = 2;
    hdr.dxferp = iov;
    hdr.dxfer_len = sizeof a + sizeof b;
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    ASSERT_EQ(ioctl(fd, SG_IO, &hdr), 0);
    EXPECT_EQ(hdr.resid, 69 - 12);
    EXPECT_EQ(Bytes(a, a + 5), (Bytes{0, 0x80, 0, 8, 'S'}));
    EXPECT_EQ(std::string(b, b + 7), "ERIAL01");
    EXPECT_EQ(b[7], 0xEE);
    EXPECT_GE(hdr.duration, 20u);
    close(fd);
}

TEST_F(Interposer, OpenDescriptorKeepsItsUnitAcrossReload) {
    int fd = open("/dev/sim/sdc", O_RDONLY);
    load("unit /dev/sim/sdc\n cab_serial NEWONE\n");
    Result old = issue(fd, kSerialPage, 64);
    EXPECT_EQ(std::string(old.data.begin() + 4, old.data.begin() + 12), "SERIAL01");
    close(fd);
    fd = open("/dev/sim/sdc", O_RDONLY);
    Result fresh = issue(fd, kSerialPage, 64);
    EXPECT_EQ(std::string(fresh.data.begin() + 4, fresh.data.begin() + 10), "NEWONE");
    close(fd);
}

// A shared object loaded at run time calls open() and ioctl() through its
// own references: the program's definitions must be the ones it binds.
TEST_F(Interposer, DlopenedObjectsSeeTheSimulator) {
    void *probe = dlopen(ZKSIM_OPEN_PROBE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(probe, nullptr) << dlerror();
    using SerialFn = int (*)(const char *, unsigned char *, int);
    auto read_serial = reinterpret_cast<SerialFn>(dlsym(probe, "probe_read_serial"));
    ASSERT_NE(read_serial, nullptr);
    unsigned char page[64] = {};
    EXPECT_EQ(read_serial("/dev/sim/sdc", page, sizeof page), 12);
    EXPECT_EQ(std::string(page + 4, page + 12), "SERIAL01");
    dlclose(probe);
}

TEST(InterposerThreads, ManyThreadsOnDifferentUnits) {
    constexpr int kThreads = 8;
#ifdef ZK_EMULATED
    const int rounds = 100;
#else
    const int rounds = std::getenv("ZK_EMULATED") ? 100 : 1000;
#endif
    load("array CK2000 luns=8 paths_per_sp=1 prefix=/dev/sim/t\n");
    zksim_set_recording(0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, rounds, &failures] {
            std::string path = "/dev/sim/t" + std::to_string(2 * t + 1);  // SP B paths
            for (int i = 0; i < rounds; ++i) {
                int fd = open(path.c_str(), O_RDONLY | O_NDELAY);
                if (fd < 0) {
                    ++failures;
                    continue;
                }
                Result mode = issue(fd, {0x1A, 0x08, 0x2B, 0, 255, 0}, 255);
                Result sp = issue(fd, {0x1A, 0x08, 0x26, 0, 255, 0}, 255);
                if (mode.rc != 0 || mode.data[6] != t || sp.data[7] != 1 ||
                    (mode.data[14] != 0) != (t % 2 == 1))
                    ++failures;
                if (close(fd) != 0) ++failures;
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(zksim_open_descriptors(), 0);
    EXPECT_EQ(zksim_command_count(), 0u);
    zksim_reset();
}

}  // namespace
