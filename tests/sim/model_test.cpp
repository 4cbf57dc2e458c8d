// The unit model and the description parser, without the interposer.
#include "zksim.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Reply {
    int status;
    Bytes data;
    Bytes sense;
};

// With data-out (out not empty) through zksim_unit_execute.
Reply respond(const char *path, Bytes cdb, std::size_t cap = 4096, const Bytes &out = {}) {
    const zksim_unit *unit = zksim_find_unit(path);
    EXPECT_NE(unit, nullptr) << path;
    Reply r{0, Bytes(cap, 0xEE), Bytes(252, 0xEE)};
    std::size_t data_len = 0, sense_len = 0;
    if (out.empty())
        r.status = zksim_unit_respond(unit, cdb.data(), cdb.size(), r.data.data(), cap, &data_len,
                                      r.sense.data(), r.sense.size(), &sense_len);
    else
        r.status = zksim_unit_execute(unit, cdb.data(), cdb.size(), out.data(), out.size(),
                                      r.data.data(), cap, &data_len, r.sense.data(),
                                      r.sense.size(), &sense_len);
    r.data.resize(data_len);
    r.sense.resize(sense_len);
    return r;
}

// GOOD when sense is empty, else CHECK CONDITION with that key, ASC, ASCQ.
void expect_answer(const Reply &r, const Bytes &sense) {
    if (sense.empty()) {
        EXPECT_EQ(r.status, ZKSIM_STATUS_GOOD);
    } else if (r.status != ZKSIM_STATUS_CHECK_CONDITION || r.sense.size() < 14) {
        ADD_FAILURE() << "status " << r.status << ", not CHECK CONDITION with sense";
    } else {
        EXPECT_EQ((Bytes{r.sense.at(2), r.sense.at(12), r.sense.at(13)}), sense);
    }
}

void load(const std::string &text) {
    char err[256];
    ASSERT_EQ(zksim_load_text(text.c_str(), err, sizeof err), 0) << err;
}

unsigned be16(const Bytes &b, std::size_t at) { return (b.at(at) << 8) | b.at(at + 1); }
unsigned be32(const Bytes &b, std::size_t at) { return (be16(b, at) << 16) | be16(b, at + 2); }

constexpr char kUnit[] = R"(
# A unit on SP B that does not own its LUN.
unit /dev/sim/sdb
  vendor DGC
  product "RAID 10"
  revision 0531
  version 5
  cab_serial "CK200 1"
  lun_id hex:60 06 01 60 aa bb cc dd 00 11 22 33 44 55 66 77
  vlu 0x1234
  lu 0x0567
  sp 1
  model 7623
  lun 42
  unit_flags 0x48
  owner 0
  blocks 1000
)";

class Model : public ::testing::Test {
protected:
    void SetUp() override { load(kUnit); }
    void TearDown() override { zksim_reset(); }
};

TEST_F(Model, StandardInquiry) {
    Reply r = respond("/dev/sim/sdb", {0x12, 0, 0, 0, 255, 0});
    ASSERT_EQ(r.status, ZKSIM_STATUS_GOOD);
    ASSERT_GE(r.data.size(), 36u);
    EXPECT_EQ(r.data[0], 0);  // disk
    EXPECT_EQ(r.data[2], 5);
    EXPECT_GE(r.data[4], 31);
    EXPECT_EQ(r.data.size(), r.data[4] + 5u);
    EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 36),
              "DGC     RAID 10         0531");
}

TEST_F(Model, VitalProductDataPages) {
    Reply serial = respond("/dev/sim/sdb", {0x12, 1, 0x80, 0, 255, 0});
    ASSERT_EQ(serial.status, ZKSIM_STATUS_GOOD);
    EXPECT_EQ(serial.data, (Bytes{0, 0x80, 0, 7, 'C', 'K', '2', '0', '0', ' ', '1'}));

    Reply id = respond("/dev/sim/sdb", {0x12, 1, 0x83, 0, 255, 0});
    ASSERT_EQ(id.status, ZKSIM_STATUS_GOOD);
    ASSERT_GE(id.data.size(), 38u);
    EXPECT_EQ(id.data[1], 0x83);
    EXPECT_EQ(be16(id.data, 2) + 4u, id.data.size());
    EXPECT_EQ(id.data[7], 16);  // first designator length
    EXPECT_EQ(Bytes(id.data.begin() + 8, id.data.begin() + 24),
              (Bytes{0x60, 0x06, 0x01, 0x60, 0xaa, 0xbb, 0xcc, 0xdd, 0x00, 0x11, 0x22, 0x33,
                     0x44, 0x55, 0x66, 0x77}));
    EXPECT_EQ(be16(id.data, 28), 0x1234u);
    EXPECT_EQ(be16(id.data, 36), 0x0567u);
    // The designators tile the page exactly.
    std::size_t at = 4;
    while (at + 4 <= id.data.size()) at += 4 + id.data[at + 3];
    EXPECT_EQ(at, id.data.size());

    Reply list = respond("/dev/sim/sdb", {0x12, 1, 0x00, 0, 255, 0});
    EXPECT_EQ(list.data, (Bytes{0, 0, 0, 4, 0x00, 0x80, 0x83, 0xC0}));
}

struct ModeCase {
    const char *name;
    Bytes cdb;
    std::size_t page_offset;  // where the page starts in the response
    std::uint8_t block_descriptor_length;
};

TEST_F(Model, ModeSenseHeaderAndBlockDescriptors) {
    const ModeCase cases[] = {
        {"six, DBD", {0x1A, 0x08, 0x26, 0, 255, 0}, 4, 0},
        {"six, descriptors", {0x1A, 0x00, 0x26, 0, 255, 0}, 12, 8},
        {"ten, DBD", {0x5A, 0x08, 0x26, 0, 0, 0, 0, 0x01, 0x00, 0}, 8, 0},
        {"ten, descriptors", {0x5A, 0x00, 0x26, 0, 0, 0, 0, 0x01, 0x00, 0}, 16, 8},
        {"ten, long descriptors", {0x5A, 0x10, 0x26, 0, 0, 0, 0, 0x01, 0x00, 0}, 24, 16},
    };
    for (const ModeCase &c : cases) {
        SCOPED_TRACE(c.name);
        Reply r = respond("/dev/sim/sdb", c.cdb);
        ASSERT_EQ(r.status, ZKSIM_STATUS_GOOD);
        bool ten = c.cdb[0] == 0x5A;
        std::size_t mode_data_length = ten ? be16(r.data, 0) + 2u : r.data[0] + 1u;
        EXPECT_EQ(mode_data_length, r.data.size());
        EXPECT_EQ(ten ? be16(r.data, 6) : r.data[3], c.block_descriptor_length);
        std::size_t p = c.page_offset;
        ASSERT_GE(r.data.size(), p + 8);
        EXPECT_EQ(r.data[p], 0x26);
        EXPECT_EQ(r.data[p + 1] + 2u + p, r.data.size());
        EXPECT_EQ(r.data[p + 3], 1);             // SP B
        EXPECT_EQ(be32(r.data, p + 4), 7623u);   // model
        if (c.block_descriptor_length == 8) {
            EXPECT_EQ(be32(r.data, p - 4) & 0xFFFFFF, 512u);
        }
    }
}

TEST_F(Model, UnitConfigPageAtTheLibraryOffsets) {
    Reply r = respond("/dev/sim/sdb", {0x1A, 0x08, 0x2B, 0, 255, 0});
    ASSERT_EQ(r.status, ZKSIM_STATUS_GOOD);
    ASSERT_GE(r.data.size(), 15u);
    EXPECT_EQ(r.data[4], 0x2B);
    EXPECT_EQ(r.data[6], 42);
    EXPECT_EQ(r.data[8], 0x48);
    EXPECT_EQ(r.data[14], 0);
}

TEST_F(Model, AllPagesAndPageControl) {
    Reply all = respond("/dev/sim/sdb", {0x1A, 0x08, 0x3F, 0, 255, 0});
    ASSERT_EQ(all.status, ZKSIM_STATUS_GOOD);
    std::vector<int> codes;
    std::size_t at = 4;
    while (at + 2 <= all.data.size()) {
        codes.push_back(all.data[at] & 0x3F);
        at += 2 + all.data[at + 1];
    }
    EXPECT_EQ(at, all.data.size());
    EXPECT_EQ(codes, (std::vector<int>{0x08, 0x0A, 0x26, 0x2B}));

    Reply changeable = respond("/dev/sim/sdb", {0x1A, 0x08, 0x40 | 0x2B, 0, 255, 0});
    ASSERT_EQ(changeable.status, ZKSIM_STATUS_GOOD);
    EXPECT_EQ(changeable.data[4], 0x2B);
    EXPECT_EQ(Bytes(changeable.data.begin() + 6, changeable.data.end()),
              Bytes(changeable.data.size() - 6, 0));

    Reply defaults = respond("/dev/sim/sdb", {0x1A, 0x08, 0x80 | 0x2B, 0, 255, 0});
    EXPECT_EQ(defaults.data[6], 42);
}

struct CheckCase {
    const char *name;
    Bytes cdb;
    std::uint8_t asc;
};

TEST_F(Model, IllegalRequests) {
    const CheckCase cases[] = {
        {"unknown opcode", {0xC0, 0, 0, 0, 0, 0}, 0x20},
        {"WRITE(10)", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0x20},
        {"unknown VPD page", {0x12, 1, 0xC7, 0, 255, 0}, 0x24},
        {"page code without EVPD", {0x12, 0, 0x83, 0, 255, 0}, 0x24},
        {"unknown mode page", {0x1A, 0x08, 0x1C, 0, 255, 0}, 0x24},
        {"mode subpage", {0x1A, 0x08, 0x26, 0x01, 255, 0}, 0x24},
        {"saved values", {0x1A, 0x08, 0xC0 | 0x26, 0, 255, 0}, 0x39},
        {"read past the end", {0x28, 0, 0, 0, 0x03, 0xE7, 0, 0, 2, 0}, 0x21},
        {"other service action", {0x9E, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 0x24},
        {"CDB too short for its group", {0x28, 0, 0, 0, 0, 0}, 0x20},
    };
    for (const CheckCase &c : cases) {
        SCOPED_TRACE(c.name);
        Reply r = respond("/dev/sim/sdb", c.cdb);
        EXPECT_EQ(r.status, ZKSIM_STATUS_CHECK_CONDITION);
        EXPECT_TRUE(r.data.empty());
        ASSERT_EQ(r.sense.size(), 18u);
        EXPECT_EQ(r.sense[0], 0x70);
        EXPECT_EQ(r.sense[2], 0x05);  // ILLEGAL REQUEST
        EXPECT_EQ(r.sense[7], 10);
        EXPECT_EQ(r.sense[12], c.asc);
    }
}

TEST(ModelWithoutUnit, NullUnitIsNotSupported) {
    const unsigned char cdb[6] = {0x12, 0, 0, 0, 36, 0};
    unsigned char data[36], sense[18];
    std::size_t data_len = 99, sense_len = 0;
    EXPECT_EQ(zksim_unit_respond(nullptr, cdb, 6, data, sizeof data, &data_len, sense, sizeof sense,
                                 &sense_len),
              ZKSIM_STATUS_CHECK_CONDITION);
    EXPECT_EQ(data_len, 0u);
    ASSERT_EQ(sense_len, 18u);
    EXPECT_EQ(sense[12], 0x25);
}

TEST_F(Model, AllocationLengthAndCapacityCutTheAnswer) {
    EXPECT_EQ(respond("/dev/sim/sdb", {0x12, 0, 0, 0, 36, 0}).data.size(), 36u);
    EXPECT_EQ(respond("/dev/sim/sdb", {0x12, 0, 0, 0, 0, 0}).data.size(), 0u);
    EXPECT_EQ(respond("/dev/sim/sdb", {0x12, 0, 0, 0x01, 0x00, 0}).data.size(), 96u);
    EXPECT_EQ(respond("/dev/sim/sdb", {0x1A, 0x08, 0x26, 0, 4, 0}).data,
              (Bytes{0x17, 0, 0, 0}));
    EXPECT_EQ(respond("/dev/sim/sdb", {0x12, 1, 0x80, 0, 255, 0}, 5).data.size(), 5u);
    Reply sense = respond("/dev/sim/sdb", {0xC0, 0, 0, 0, 0, 0}, 0);
    EXPECT_EQ(sense.sense.size(), 18u);
}

TEST_F(Model, DiskProbeCommands) {
    EXPECT_EQ(respond("/dev/sim/sdb", {0, 0, 0, 0, 0, 0}).status, ZKSIM_STATUS_GOOD);

    Reply cap10 = respond("/dev/sim/sdb", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(cap10.data, (Bytes{0, 0, 0x03, 0xE7, 0, 0, 0x02, 0}));
    Reply cap16 = respond("/dev/sim/sdb", {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0});
    ASSERT_EQ(cap16.data.size(), 32u);
    EXPECT_EQ(be32(cap16.data, 4), 999u);
    EXPECT_EQ(be32(cap16.data, 8), 512u);

    Reply read = respond("/dev/sim/sdb", {0x28, 0, 0, 0, 0x03, 0xE6, 0, 0, 2, 0});
    EXPECT_EQ(read.status, ZKSIM_STATUS_GOOD);
    EXPECT_EQ(read.data, Bytes(1024, 0));
    EXPECT_EQ(respond("/dev/sim/sdb", {0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}).data,
              Bytes(512, 0));
    EXPECT_EQ(respond("/dev/sim/sdb", {0x03, 0, 0, 0, 252, 0}).status, ZKSIM_STATUS_GOOD);
}

TEST(ModelTargetPortGroups, OwnerPathIsActiveOptimized) {
    load("unit /dev/a\n sp 0\n owner 1\nunit /dev/b\n sp 1\n owner 0\n");
    const Bytes rtpg = {0xA3, 0x0A, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    for (const char *path : {"/dev/a", "/dev/b"}) {
        SCOPED_TRACE(path);
        Reply r = respond(path, rtpg);
        ASSERT_EQ(r.status, ZKSIM_STATUS_GOOD);
        ASSERT_EQ(r.data.size(), 4u + 2 * 12);
        EXPECT_EQ(be32(r.data, 0), 24u);
        // Group 1 is SP A, which owns the unit; group 2 is SP B, standby.
        EXPECT_EQ(be16(r.data, 6), 1u);
        EXPECT_EQ(r.data[4] & 0x0F, 0);
        EXPECT_EQ(be16(r.data, 18), 2u);
        EXPECT_EQ(r.data[16] & 0x0F, 2);
    }
    zksim_reset();
}

TEST(ModelRawPages, ReturnedExactlyAndCutToAllocationLength) {
    load("unit /dev/raw\n"
         "  inquiry hex:00 00 04 02 1f\n"
         "  vpd 0x80 \"\\x00\\x80\\x00\\x40short\"\n"
         "  vpd 0xC0 hex:00c0 0001 ff\n"
         "  mode 0x26 hex:0b 00 00 00 26 06 00 01 00 00 1d c7\n");
    EXPECT_EQ(respond("/dev/raw", {0x12, 0, 0, 0, 255, 0}).data, (Bytes{0, 0, 4, 2, 0x1f}));
    EXPECT_EQ(respond("/dev/raw", {0x12, 1, 0x80, 0, 255, 0}).data,
              (Bytes{0, 0x80, 0, 0x40, 's', 'h', 'o', 'r', 't'}));
    EXPECT_EQ(respond("/dev/raw", {0x12, 1, 0xC0, 0, 3, 0}).data, (Bytes{0, 0xC0, 0}));
    EXPECT_EQ(respond("/dev/raw", {0x12, 1, 0x00, 0, 255, 0}).data,
              (Bytes{0, 0, 0, 4, 0x00, 0x80, 0x83, 0xC0}));
    Bytes mode = {0x0b, 0, 0, 0, 0x26, 0x06, 0, 1, 0, 0, 0x1d, 0xc7};
    EXPECT_EQ(respond("/dev/raw", {0x1A, 0x00, 0x26, 0, 255, 0}).data, mode);
    Reply ten = respond("/dev/raw", {0x5A, 0x08, 0x26, 0, 0, 0, 0, 0, 255, 0});
    EXPECT_EQ(ten.data, (Bytes{0, 0x0e, 0, 0, 0, 0, 0, 0, 0x26, 0x06, 0, 1, 0, 0, 0x1d, 0xc7}));
    zksim_reset();
}

struct ErrorCase {
    const char *text;
    const char *error;
};

TEST(Description, ErrorsNameTheLineAndKeepThePreviousConfiguration) {
    const ErrorCase cases[] = {
        {"vendor DGC\n", "line 1: 'vendor' before any unit line"},
        {"unit /a\n\n  colour red\n", "line 3: unknown keyword 'colour'"},
        {"unit /a\n vendor TOOLONGVENDOR\n", "line 2: vendor is longer than 8 bytes"},
        {"unit /a\n lun_id hex:0102\n", "line 2: lun_id must be 16 bytes, got 2"},
        {"unit /a\n lun_id hex:010\n", "line 2: odd number of hex digits for lun_id"},
        {"unit /a\n cab_serial \"abc\n", "line 2: unterminated text"},
        {"unit /a\n cab_serial \"\\q\"\n", "line 2: unknown escape \\q"},
        {"unit /a\n sp 256\n", "line 2: sp out of range (0 to 255)"},
        {"unit /a\n sp 1x\n", "line 2: bad number '1x' for sp"},
        {"unit /a\n sp\n", "line 2: missing value for sp"},
        {"unit /a\n sp 1 2\n", "line 2: extra text after sp"},
        {"unit /a\n auto_trespass maybe\n", "line 2: auto_trespass takes on or off"},
        {"unit /a\nunit /a\n", "line 2: duplicate unit path '/a'"},
        {"unit /a\n fault open EWHAT\n", "line 2: unknown errno name 'EWHAT'"},
        {"unit /a\n fault command 0 check\n", "line 2: command number out of range"},
        {"unit /a\n fault command 2 explode\n", "line 2: unknown fault kind 'explode'"},
        {"unit /a\n fault command 2 hang 5\n", "line 2: extra text after fault command hang"},
        {"unit /a\n fault command 2 check\n fault command 2 host\n",
         "line 3: fault for command 2 given twice"},
        {"array S luns=0\n", "line 1: luns out of range (1 to 65536)"},
        {"array S colour=red\n", "line 1: unknown array key 'colour'"},
        {"array S luns=2 prefix=/p\nunit /p3\n", "line 2: duplicate unit path '/p3'"},
        {"array S luns=1\n sp 1\n", "line 2: 'sp' before any unit line"},
        {"capture\nunit /a\n sp 1\n", "line 4: the capture has no end line"},
        {"unit /a\ncapture\n", "line 2: capture must be the first statement"},
        {"unit /a\nend\nunit /b\n", "line 3: text after the end line"},
        {"unit /a\n kernel emc\n", "line 2: kernel takes HANDLER STATE"},
        {"unit /a\n kernel emc sleepy\n", "line 2: unknown kernel access state 'sleepy'"},
        {"unit /a\n kernel emc standby favourite\n", "line 2: kernel: expected 'preferred'"},
        {"array S kernel=detached\n", "line 1: kernel takes a handler name"},
        {"array S kernel_active=C\n", "line 1: kernel_active takes A or B"},
    };
    load("unit /dev/kept\n");
    for (const ErrorCase &c : cases) {
        SCOPED_TRACE(c.text);
        char err[256] = "";
        EXPECT_EQ(zksim_load_text(c.text, err, sizeof err), -1);
        EXPECT_EQ(std::string(err).rfind(c.error, 0), 0u) << err;
        EXPECT_EQ(zksim_unit_count(), 1u);
        EXPECT_STREQ(zksim_unit_path(0), "/dev/kept");
    }
    EXPECT_EQ(zksim_load_text("bogus\n", nullptr, 0), -1);
    zksim_reset();
}

// A description file is read only when it is a regular file: a FIFO or a
// device would block the program or never end.
TEST(Description, OnlyARegularFileIsRead) {
    std::string fifo = "/tmp/zksim_fifo_" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, std::string("/dev/zero"), std::string("/tmp")}) {
        char err[256] = "";
        EXPECT_EQ(zksim_load_file(path.c_str(), err, sizeof err), -1) << path;
        EXPECT_NE(std::string(err).find("not a regular file"), std::string::npos) << err;
    }
    unlink(fifo.c_str());
    EXPECT_EQ(zksim_load_text("capture\nunit /a\nend\n# after the end\n", nullptr, 0), 0);
    EXPECT_EQ(zksim_unit_count(), 1u);
    zksim_reset();
}

TEST(Description, WordsTextsAndComments) {
    load("# comment line\n"
         "unit \"/dev/with space\"   # trailing comment\n"
         "  cab_serial AB#12\n"
         "unit /dev/second\n"
         "  cab_serial \"q\\\"\\\\\\x41\"\n"
         "  fault open 13\n");
    ASSERT_EQ(zksim_unit_count(), 2u);
    EXPECT_STREQ(zksim_unit_path(0), "/dev/with space");
    EXPECT_EQ(zksim_unit_path(2), nullptr);
    EXPECT_EQ(respond("/dev/with space", {0x12, 1, 0x80, 0, 255, 0}).data,
              (Bytes{0, 0x80, 0, 5, 'A', 'B', '#', '1', '2'}));
    EXPECT_EQ(respond("/dev/second", {0x12, 1, 0x80, 0, 255, 0}).data,
              (Bytes{0, 0x80, 0, 4, 'q', '"', '\\', 'A'}));
    EXPECT_EQ(zksim_find_unit("/dev/third"), nullptr);
    zksim_reset();
    EXPECT_EQ(zksim_unit_count(), 0u);
}

TEST(ArrayForm, ExpandsIntoDistinctDeterministicPaths) {
    load("array CK2000 model=7623 luns=3 paths_per_sp=2 prefix=/dev/sim/p\n");
    ASSERT_EQ(zksim_unit_count(), 12u);
    std::set<Bytes> ids;
    for (std::size_t i = 0; i < 12; ++i) {
        std::string path = "/dev/sim/p" + std::to_string(i);
        SCOPED_TRACE(path);
        EXPECT_EQ(zksim_unit_path(i), path);
        unsigned lun = static_cast<unsigned>(i / 4), sp = (i / 2) % 2;
        Reply sp_page = respond(path.c_str(), {0x1A, 0x08, 0x26, 0, 255, 0});
        EXPECT_EQ(sp_page.data[7], sp);
        EXPECT_EQ(be32(sp_page.data, 8), 7623u);
        Reply unit_page = respond(path.c_str(), {0x1A, 0x08, 0x2B, 0, 255, 0});
        EXPECT_EQ(unit_page.data[6], lun);
        EXPECT_EQ(unit_page.data[8] & 0x08, 0x08);
        EXPECT_EQ(unit_page.data[14] != 0, sp == lun % 2);  // owners alternate
        Reply id = respond(path.c_str(), {0x12, 1, 0x83, 0, 255, 0});
        Bytes lun_id(id.data.begin() + 8, id.data.begin() + 24);
        EXPECT_EQ(Bytes(lun_id.begin(), lun_id.begin() + 4), (Bytes{0x60, 0x06, 0x01, 0x60}));
        EXPECT_EQ(be16(id.data, 28), lun);
        ids.insert(lun_id);
        EXPECT_EQ(respond(path.c_str(), {0x12, 1, 0x80, 0, 255, 0}).data,
                  (Bytes{0, 0x80, 0, 6, 'C', 'K', '2', '0', '0', '0'}));
    }
    EXPECT_EQ(ids.size(), 3u);  // one identifier per LUN, shared by its paths

    Reply first = respond("/dev/sim/p0", {0x12, 1, 0x83, 0, 255, 0});
    load("array CK2000 model=7623 luns=3 paths_per_sp=2 prefix=/dev/sim/p\n");
    EXPECT_EQ(respond("/dev/sim/p0", {0x12, 1, 0x83, 0, 255, 0}).data, first.data);
    load("array OTHER luns=1 prefix=/dev/sim/p\n");
    EXPECT_NE(respond("/dev/sim/p0", {0x12, 1, 0x83, 0, 255, 0}).data, first.data);
    zksim_reset();
}

// The kernel's view: none unless described; the array form's follows each
// LUN's first owner (or the SP named), preferred through the default SP.
TEST(KernelView, DescribedPerUnitOrByTheArrayForm) {
    struct Case {
        const char *description;
        const char *path;
        int result;
        const char *dh_state, *access_state;
        int preferred;
    };
    const Case cases[] = {
        {"unit /a\n", "/a", -1, "", "", 0},
        {"unit /a\n kernel emc active/optimized preferred\n", "/a", 0, "emc", "active/optimized", 1},
        {"unit /a\n kernel alua standby\n", "/a", 0, "alua", "standby", 0},
        {"unit /a\n kernel detached\n", "/a", 0, "detached", "", 0},
        {"unit /a\n kernel emc standby\n kernel none\n", "/a", -1, "", "", 0},
        {"array S luns=2 prefix=/p\n", "/p0", -1, "", "", 0},
        {"array S luns=2 kernel=emc prefix=/p\n", "/p0", 0, "emc", "active/optimized", 1},
        {"array S luns=2 kernel=emc prefix=/p\n", "/p1", 0, "emc", "standby", 0},
        {"array S luns=2 kernel=emc prefix=/p\n", "/p3", 0, "emc", "active/optimized", 1},
        {"array S luns=2 kernel=emc kernel_active=A prefix=/p\n", "/p3", 0, "emc", "standby", 1},
        {"array S luns=2 kernel=emc default_sp=A prefix=/p\n", "/p3", 0, "emc", "active/optimized", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.description) + c.path);
        load(c.description);
        zksim_kernel_view view{};
        ASSERT_EQ(zksim_unit_kernel_view(zksim_find_unit(c.path), &view), c.result);
        if (c.result != 0) continue;
        EXPECT_STREQ(view.dh_state, c.dh_state);
        EXPECT_STREQ(view.access_state, c.access_state);
        EXPECT_EQ(view.preferred, c.preferred);
    }
    EXPECT_EQ(zksim_unit_kernel_view(nullptr, nullptr), -1);
    zksim_reset();
}

TEST(ArrayForm, LargeArrayLoadsAndLooksUpQuickly) {
    auto start = std::chrono::steady_clock::now();
    load("array BIG luns=4096 paths_per_sp=2 prefix=/dev/sim/big\n");
    auto loaded = std::chrono::steady_clock::now();
    ASSERT_EQ(zksim_unit_count(), 4096u * 4);
    for (std::size_t i = 0; i < zksim_unit_count(); ++i)
        ASSERT_NE(zksim_find_unit(("/dev/sim/big" + std::to_string(i)).c_str()), nullptr);
    auto looked_up = std::chrono::steady_clock::now();
    // Generous bounds: sanitizer and emulated builds are several times slower.
    EXPECT_LT(std::chrono::duration<double>(loaded - start).count(), 5.0);
    EXPECT_LT(std::chrono::duration<double>(looked_up - loaded).count(), 5.0);
    zksim_reset();
}

// Two SPs, one LUN: A owns it and is its default; the paths share it.
constexpr char kTwoSps[] = R"(
unit /dev/spa
  cab_serial APM00041701234
  lun_id hex:60 06 01 60 3A 21 0F 00 6C 4E 8B 10 5A 91 DF 11
  lun 7
  sp 0
  owner 1
  port 2
unit /dev/spb
  cab_serial APM00041701234
  lun_id hex:60 06 01 60 3A 21 0F 00 6C 4E 8B 10 5A 91 DF 11
  lun 7
  sp 1
  owner 0
  failover_mode 1
)";

const Bytes kUnitPathReport = {0x12, 1, 0xC0, 0, 0xFF, 0};
const Bytes kUnitConfig = {0x1A, 0x08, 0x2B, 0, 0xFF, 0};
const Bytes kReportGroups = {0xA3, 0x0A, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
const Bytes kRead10 = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};

// One path's view: VPD 0xC0 LUN state, default SP, port, this SP,
// failover mode code, in progress; page 0x2B's owner byte; the access state of
// this path's group in REPORT TARGET PORT GROUPS.
struct PathView {
    std::uint8_t state, default_sp, port, sp, mode, busy, owner_byte, access;
};

PathView view(const char *path) {
    Reply c0 = respond(path, kUnitPathReport);
    Reply page = respond(path, kUnitConfig);
    Reply groups = respond(path, kReportGroups);
    EXPECT_EQ(c0.data.size(), 96u);
    EXPECT_EQ(be16(c0.data, 2), 92u);
    EXPECT_EQ(c0.data[1], 0xC0);
    EXPECT_EQ(c0.data[9], 0);  // page revision
    EXPECT_EQ(c0.data[27], 3);  // system type
    EXPECT_EQ(c0.data[30], 0x04);  // arraycommpath
    EXPECT_EQ(Bytes(c0.data.begin() + 10, c0.data.begin() + 26),
              (Bytes{0x60, 0x06, 0x01, 0x60, 0x3A, 0x21, 0x0F, 0x00, 0x6C, 0x4E, 0x8B, 0x10, 0x5A,
                     0x91, 0xDF, 0x11}));
    EXPECT_EQ(std::string(c0.data.begin() + 50, c0.data.begin() + 50 + c0.data[49]), "APM00041701234");
    std::uint8_t sp = c0.data[8];
    return {c0.data[4], c0.data[5], c0.data[7], sp, c0.data[28], c0.data[48],
            page.data.at(4 + 10), static_cast<std::uint8_t>(groups.data.at(4 + 12 * sp) & 0x0F)};
}

void expect_view(const char *path, const PathView &want) {
    SCOPED_TRACE(path);
    PathView got = view(path);
    EXPECT_EQ(got.state, want.state);
    EXPECT_EQ(got.default_sp, want.default_sp);
    EXPECT_EQ(got.port, want.port);
    EXPECT_EQ(got.sp, want.sp);
    EXPECT_EQ(got.mode, want.mode);
    EXPECT_EQ(got.busy, want.busy);
    EXPECT_EQ(got.owner_byte, want.owner_byte);
    EXPECT_EQ(got.access, want.access);
}

// The LUN's one record: a trespass through either path, or by the array,
// shows on both paths' VPD 0xC0, page 0x2B and target port groups.
TEST(ModelTwoSps, OwnershipIsSharedByThePathsOfALun) {
    load(kTwoSps);
    const zksim_unit *spa = zksim_find_unit("/dev/spa"), *spb = zksim_find_unit("/dev/spb");
    const Bytes select6 = {0x15, 0x10, 0, 0, 8, 0};
    const Bytes trespass6 = {0, 0, 0, 0, 0x22, 0x02, 0x01, 0xFF};
    struct Step {
        const char *what;
        std::function<void()> act;
        int owner;
        PathView a, b;
    } steps[] = {
        {"as loaded", [] {}, 0, {2, 0, 2, 0, 4, 0, 1, 0}, {1, 0, 0, 1, 4, 0, 0, 2}},
        {"MODE SELECT through SP B", [&] { EXPECT_EQ(respond("/dev/spb", select6, 0, trespass6).status, 0); },
         1, {1, 0, 2, 0, 4, 0, 0, 2}, {2, 0, 0, 1, 4, 0, 1, 0}},
        {"operation in progress", [&] { zksim_unit_set_in_progress(spa, 1); },
         1, {1, 0, 2, 0, 4, 1, 0, 2}, {2, 0, 0, 1, 4, 1, 1, 0}},
        {"trespass refused while in progress", [&] {
             Reply r = respond("/dev/spa", select6, 0, trespass6);
             EXPECT_EQ(r.status, ZKSIM_STATUS_CHECK_CONDITION);
             EXPECT_EQ((Bytes{r.sense.at(2), r.sense.at(12), r.sense.at(13)}), (Bytes{2, 4, 7}));
         }, 1, {1, 0, 2, 0, 4, 1, 0, 2}, {2, 0, 0, 1, 4, 1, 1, 0}},
        {"array-side trespass back to A", [&] {
             zksim_unit_set_in_progress(spb, 0);
             EXPECT_EQ(zksim_unit_trespass(spb, 0), 0);
         }, 0, {2, 0, 2, 0, 4, 0, 1, 0}, {1, 0, 0, 1, 4, 0, 0, 2}},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        s.act();
        EXPECT_EQ(zksim_unit_owner(spa), s.owner);
        EXPECT_EQ(zksim_unit_owner(spb), s.owner);
        expect_view("/dev/spa", s.a);
        expect_view("/dev/spb", s.b);
    }
    EXPECT_EQ(zksim_unit_trespass(nullptr, 0), -1);
    EXPECT_EQ(zksim_unit_owner(nullptr), -1);
    zksim_reset();
}

TEST(ModelTwoSps, ModeSelectTrespassAcceptedAndRefused) {
    const Bytes short_page = {0x22, 0x02, 0x01, 0xFF};
    const Bytes long_page = {0x22, 0x09, 0x01, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
    Bytes caching(20, 0);
    caching[0] = 0x08;
    caching[1] = 0x12;
    auto header6 = [](Bytes page) { page.insert(page.begin(), 4, 0); return page; };
    auto header10 = [](Bytes page) { page.insert(page.begin(), 8, 0); return page; };
    auto select6 = [](std::size_t n, std::uint8_t flags = 0x10) {
        return Bytes{0x15, flags, 0, 0, static_cast<std::uint8_t>(n), 0};
    };
    auto select10 = [](std::size_t n, std::uint8_t flags = 0x00) {
        return Bytes{0x55, flags, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(n), 0};
    };
    struct Case {
        const char *what;
        Bytes cdb, out;
        Bytes sense;  // key, ASC, ASCQ; empty: GOOD
        int owner_after;
    } cases[] = {
        {"short form, PF set", select6(8), header6(short_page), {}, 1},
        {"short form, PF clear", select6(8, 0), header6(short_page), {}, 1},
        {"short form naming this LUN", select6(8), header6({0x22, 0x02, 0x01, 7}), {}, 1},
        {"long form, MODE SELECT(10), PF clear", select10(19), header10(long_page), {}, 1},
        {"long form, MODE SELECT(10), PF set", select10(19, 0x10), header10(long_page), {}, 1},
        {"empty parameter list", select6(0), {}, {}, 0},
        {"page length 5", select6(11), header6({0x22, 0x05, 0x01, 0xFF, 0, 0, 0}), {5, 0x26, 0}, 0},
        {"another LUN named", select6(8), header6({0x22, 0x02, 0x01, 3}), {5, 0x26, 0}, 0},
        {"caching page", select6(24), header6(caching), {5, 0x26, 0}, 0},
        {"page cut short", select6(7), header6({0x22, 0x02, 0x01}), {5, 0x1A, 0}, 0},
        {"list shorter than its header", select10(6), Bytes(6, 0), {5, 0x1A, 0}, 0},
        {"block descriptors past the list", select6(8), Bytes{0, 0, 0, 8, 0x22, 0x02, 0x01, 0xFF},
         {5, 0x1A, 0}, 0},
        {"less data-out than the CDB says", select6(8), Bytes{0, 0, 0, 0, 0x22, 0x02}, {5, 0x1A, 0}, 0},
        {"save pages", select6(8, 0x11), header6(short_page), {5, 0x24, 0}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        load(kTwoSps);
        Reply r = respond("/dev/spb", c.cdb, 0, c.out.empty() ? Bytes{0} : c.out);
        expect_answer(r, c.sense);
        EXPECT_EQ(zksim_unit_owner(zksim_find_unit("/dev/spa")), c.owner_after);
    }
    // Without data-out (zksim_unit_respond) a parameter list is missing.
    load(kTwoSps);
    EXPECT_EQ(respond("/dev/spb", select6(8)).sense.at(12), 0x1A);
    zksim_reset();
}

// Through the SP that does not own the LUN, media access is refused with
// 02/04/03 while INQUIRY, MODE SENSE and TEST UNIT READY stay GOOD; a unit
// whose LUN no SP owns serves reads as before.
TEST(ModelTwoSps, PassivePathRefusesMediaAccessOnly) {
    load(std::string(kTwoSps) + "unit /dev/alone\n owner 0\n");
    struct Case {
        const char *path;
        Bytes cdb;
        Bytes sense;  // empty: GOOD
    } cases[] = {
        {"/dev/spb", kRead10, {2, 4, 3}},
        {"/dev/spb", {0x08, 0, 0, 0, 1, 0}, {2, 4, 3}},
        {"/dev/spb", {0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, {2, 4, 3}},
        {"/dev/spb", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, {2, 4, 3}},
        {"/dev/spb", {0x0A, 0, 0, 0, 1, 0}, {2, 4, 3}},
        {"/dev/spb", {0x00, 0, 0, 0, 0, 0}, {}},
        {"/dev/spb", {0x12, 0, 0, 0, 96, 0}, {}},
        {"/dev/spb", kUnitConfig, {}},
        {"/dev/spb", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}},
        {"/dev/spa", kRead10, {}},
        {"/dev/alone", kRead10, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " opcode " + std::to_string(c.cdb[0]));
        Reply r = respond(c.path, c.cdb);
        expect_answer(r, c.sense);
    }
    zksim_reset();
}

// The description keys: default SP (unit and array forms), not bound, a
// long standard INQUIRY.
TEST(ModelTwoSps, DescriptionKeys) {
    load("array CK1 luns=2 default_sp=B failover_mode=4\n"
         "unit /dev/u\n default_sp B\n bound off\n in_progress on\n inquiry_length 160\n");
    struct Case {
        const char *path;
        std::uint8_t state, default_sp, sp, mode, busy;
    } cases[] = {
        {"/dev/sim/CK1/path0", 2, 1, 0, 6, 0},  // LUN 0 on SP A, not its default; ALUA
        {"/dev/sim/CK1/path1", 1, 1, 1, 6, 0},
        {"/dev/sim/CK1/path3", 2, 1, 1, 6, 0},  // LUN 1 on SP B, its default
        {"/dev/u", 0, 1, 0, 4, 1},              // active/passive
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        Bytes p = respond(c.path, kUnitPathReport).data;
        EXPECT_EQ((Bytes{p.at(4), p.at(5), p.at(8), p.at(28), p.at(48)}),
                  (Bytes{c.state, c.default_sp, c.sp, c.mode, c.busy}));
    }
    Reply inquiry = respond("/dev/u", {0x12, 0, 0, 0, 0xFF, 0});
    EXPECT_EQ(inquiry.data.size(), 160u);
    EXPECT_EQ(inquiry.data[4], 155);
    load("array CK1 luns=2\n");
    EXPECT_EQ(respond("/dev/sim/CK1/path3", kUnitPathReport).data.at(5), 1);  // odd LUN: B
    zksim_reset();
}

}  // namespace

namespace {

// The LUN of kTwoSps in failover mode 4 (ALUA), SP A its owner and default.
std::string alua(const std::string &extra = "") {
    std::string text = kTwoSps;
    text.erase(text.find("  failover_mode 1\n"), 18);
    for (std::size_t at = 0; (at = text.find("  sp ", at)) != std::string::npos; at += 5)
        text.insert(text.find('\n', at) + 1, "  failover_mode 4\n" + extra);
    return text;
}

// Access state (with PREF) of SP A's and SP B's groups, through one path.
Bytes group_states(const char *path) {
    Bytes g = respond(path, kReportGroups).data;
    return {g.at(4), g.at(4 + 12), g.at(5)};
}

// Failover mode 4: INQUIRY's target port group support, REPORT TARGET PORT
// GROUPS with the owner active/optimized, the other active/non-optimized
// and the default SP's group preferred; media access on both paths.
TEST(ModelAlua, GroupsAndMediaAccessOnBothPaths) {
    struct Case {
        const char *what;
        std::string text;
        std::uint8_t tpgs;
        Bytes groups;  // SP A's state, SP B's, supported states
    } cases[] = {
        {"ALUA", alua(), 3, {0x80, 0x01, 0x07}},
        {"ALUA, implicit only", alua("  tpgs 1\n"), 1, {0x80, 0x01, 0x07}},
        {"active/passive", kTwoSps, 0, {0x00, 0x02, 0x05}},
    };
    const Bytes write10 = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        load(c.text);
        for (const char *path : {"/dev/spa", "/dev/spb"}) {
            SCOPED_TRACE(path);
            EXPECT_EQ(respond(path, {0x12, 0, 0, 0, 96, 0}).data.at(5), c.tpgs << 4);
            EXPECT_EQ(group_states(path), c.groups);
        }
        bool passive_refuses = c.tpgs == 0;
        EXPECT_EQ(respond("/dev/spb", kRead10).status,
                  passive_refuses ? ZKSIM_STATUS_CHECK_CONDITION : ZKSIM_STATUS_GOOD);
        EXPECT_EQ(respond("/dev/spb", write10).status,
                  passive_refuses ? ZKSIM_STATUS_CHECK_CONDITION : ZKSIM_STATUS_GOOD);
        EXPECT_EQ(respond("/dev/spa", write10).status,
                  passive_refuses ? ZKSIM_STATUS_CHECK_CONDITION : ZKSIM_STATUS_GOOD);  // mode 1: no WRITE
    }
    zksim_reset();
}

// SET TARGET PORT GROUPS through SP B: who owns the LUN after it.
TEST(ModelAlua, SetTargetPortGroups) {
    auto stpg = [](std::uint32_t n) { return Bytes{0xA4, 0x0A, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(n), 0, 0}; };
    auto list = [](std::initializer_list<std::pair<std::uint8_t, std::uint8_t>> d) {
        Bytes out(4, 0);
        for (auto [state, group] : d) out.insert(out.end(), {state, 0, 0, group});
        return out;
    };
    struct Case {
        const char *what;
        std::string text;
        Bytes cdb, out;
        Bytes sense;  // empty: GOOD
        int owner_after;
    } cases[] = {
        {"SP B's group optimized", alua(), stpg(8), list({{0, 2}}), {}, 1},
        {"SP A's group non-optimized", alua(), stpg(8), list({{1, 1}}), {}, 1},
        {"SP A's group standby", alua(), stpg(8), list({{2, 1}}), {}, 1},
        {"SP A's group optimized", alua(), stpg(8), list({{0, 1}}), {}, 0},
        {"the last descriptor wins", alua(), stpg(12), list({{0, 2}, {0, 1}}), {}, 0},
        {"empty list", alua(), stpg(0), {}, {}, 0},
        {"unavailable", alua(), stpg(8), list({{3, 2}}), {5, 0x26, 0}, 0},
        {"unknown group", alua(), stpg(8), list({{0, 3}}), {5, 0x26, 0}, 0},
        {"half a descriptor", alua(), stpg(6), list({{0, 2}}), {5, 0x1A, 0}, 0},
        {"less data-out than the CDB says", alua(), stpg(12), list({{0, 2}}), {5, 0x1A, 0}, 0},
        {"another service action", alua(), {0xA4, 0x0B, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, list({{0, 2}}), {5, 0x24, 0}, 0},
        {"operation in progress", alua("  in_progress on\n"), stpg(8), list({{0, 2}}), {2, 4, 7}, 0},
        {"implicit support only", alua("  tpgs 1\n"), stpg(8), list({{0, 2}}), {5, 0x20, 0}, 0},
        {"active/passive", kTwoSps, stpg(8), list({{0, 2}}), {5, 0x20, 0}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        load(c.text);
        Reply r = respond("/dev/spb", c.cdb, 0, c.out.empty() ? Bytes{0} : c.out);
        expect_answer(r, c.sense);
        EXPECT_EQ(zksim_unit_owner(zksim_find_unit("/dev/spa")), c.owner_after);
    }
    load(alua());
    respond("/dev/spb", stpg(8), 0, list({{0, 2}}));
    EXPECT_EQ(group_states("/dev/spa"), (Bytes{0x81, 0x00, 0x07}));  // A still preferred
    zksim_reset();
}

// The implicit trespass: reads through the SP not owning the LUN count up,
// through the owner down (not below zero); at the threshold the LUN moves;
// 0 never moves it.
TEST(ModelAlua, ImplicitTrespassAfterSustainedIo) {
    struct Case {
        const char *what;
        std::string text;
        const char *ios;  // a: a read through SP A, b: through SP B
        std::vector<int> owners;  // after each
    } cases[] = {
        {"threshold 3", alua("  implicit_trespass 3\n"), "bbb", {0, 0, 1}},
        {"the owner's I/O counts down", alua("  implicit_trespass 3\n"), "bbabb", {0, 0, 0, 0, 1}},
        {"not below zero", alua("  implicit_trespass 2\n"), "aaabb", {0, 0, 0, 0, 1}},
        {"and back", alua("  implicit_trespass 2\n"), "bbaa", {0, 1, 1, 0}},
        {"the count starts again after a move", alua("  implicit_trespass 2\n"), "bbba", {0, 1, 1, 1}},
        {"threshold 1", alua("  implicit_trespass 1\n"), "b", {1}},
        {"never", alua("  implicit_trespass 0\n"), "bbbbbbbb", {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        load(c.text);
        for (std::size_t k = 0; c.ios[k]; ++k) {
            EXPECT_EQ(respond(c.ios[k] == 'a' ? "/dev/spa" : "/dev/spb", kRead10).status, ZKSIM_STATUS_GOOD);
            EXPECT_EQ(zksim_unit_owner(zksim_find_unit("/dev/spa")), c.owners[k]) << "after I/O " << k + 1;
        }
    }
    load(alua());
    for (int k = 1; k <= 64; ++k) {
        respond("/dev/spb", kRead10);
        ASSERT_EQ(zksim_unit_owner(zksim_find_unit("/dev/spb")), k < 64 ? 0 : 1) << k;
    }
    // A host trespass restarts the count too.
    load(alua("  implicit_trespass 2\n"));
    respond("/dev/spb", kRead10);
    EXPECT_EQ(zksim_unit_trespass(zksim_find_unit("/dev/spa"), 0), 0);
    respond("/dev/spb", kRead10);
    EXPECT_EQ(zksim_unit_owner(zksim_find_unit("/dev/spa")), 0);
    zksim_reset();
}

}  // namespace
