// The ring serves the simulator's model unchanged: for the commands the
// kernel's disk driver and the library send, what comes out of the ring is
// what the model answers directly.
#include "tcmu_ring.h"
#include "zksim.h"

#include <gtest/gtest.h>
#include "tcmu_abi.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kDescription[] =
    "unit /dev/tcmu/spa\n"
    "  vendor \"DGC\"\n"
    "  product \"RAID 5\"\n"
    "  revision \"0219\"\n"
    "  cab_serial \"F1234567\"\n"
    "  lun_id hex:60060160 1A2B3C4D 5E6F7081 92A3B4C5\n"
    "  sp 0\n"
    "  model 4700\n"
    "  lun 5\n"
    "  owner 1\n"
    "  auto_trespass on\n";

struct Answer {
    int status;
    Bytes data;
    Bytes sense;
};

Answer direct(const zksim_unit *unit, const Bytes &cdb, size_t cap) {
    Answer a;
    a.data.resize(cap + 1);
    a.sense.resize(TCMU_SENSE_BUFFERSIZE);
    size_t len = 0, sense_len = 0;
    a.status = zksim_unit_respond(unit, cdb.data(), cdb.size(), a.data.data(), cap, &len,
                                  a.sense.data(), a.sense.size(), &sense_len);
    a.data.resize(len);
    a.sense.resize(a.status == ZKSIM_STATUS_CHECK_CONDITION ? sense_len : 0);
    return a;
}

// out: data-out placed in the command's buffer, handed to the model.
Answer through_ring(const zksim_unit *unit, const Bytes &cdb, size_t cap, const Bytes &out = {}) {
    const size_t ring_off = (sizeof(struct tcmu_mailbox) + 7) & ~size_t{7};
    const size_t ring_size = 1024, data_off = ring_off + ring_size;
    std::vector<uint64_t> words((data_off + cap + 8) / 8 + 1, 0);
    auto *base = reinterpret_cast<unsigned char *>(words.data());
    auto *mb = reinterpret_cast<struct tcmu_mailbox *>(base);
    mb->version = TCMU_MAILBOX_VERSION;
    mb->flags = TCMU_MAILBOX_FLAG_CAP_READ_LEN;
    mb->cmdr_off = ring_off;
    mb->cmdr_size = ring_size;
    auto *e = reinterpret_cast<struct tcmu_cmd_entry *>(base + ring_off);
    const size_t cdb_at = sizeof(struct tcmu_cmd_entry) + 16;
    e->hdr.len_op = (cdb_at + 16) | TCMU_OP_CMD;
    e->req.iov_cnt = cap ? 1 : 0;
    e->req.iov[0].iov_base = reinterpret_cast<void *>(static_cast<uintptr_t>(data_off));
    e->req.iov[0].iov_len = cap;
    e->req.cdb_off = ring_off + cdb_at;
    std::memcpy(base + ring_off + cdb_at, cdb.data(), cdb.size());
    mb->cmd_head = cdb_at + 16;
    if (!out.empty())
        std::memcpy(base + data_off, out.data(), std::min(out.size(), cap));

    auto respond = [unit](const unsigned char *c, size_t n, const unsigned char *o, size_t on,
                          unsigned char *d, size_t dc, size_t *dl, unsigned char *s, size_t sc,
                          size_t *sl) {
        return zksim_unit_execute(unit, c, n, o, on, d, dc, dl, s, sc, sl);
    };
    zktcmu::WalkResult w = zktcmu::Ring(base, words.size() * 8).walk_with_data_out(respond);
    EXPECT_EQ(w.commands, 1u);
    Answer a;
    a.status = e->rsp.scsi_status;
    if (a.status == ZKSIM_STATUS_GOOD)
        a.data.assign(base + data_off, base + data_off + e->rsp.read_len);
    else
        a.sense.assign(e->rsp.sense_buffer, e->rsp.sense_buffer + TCMU_SENSE_BUFFERSIZE);
    return a;
}

TEST(RingWithModel, AnswersWhatTheModelAnswers) {
    char err[256] = "";
    ASSERT_EQ(zksim_load_text(kDescription, err, sizeof err), 0) << err;
    const zksim_unit *unit = zksim_find_unit("/dev/tcmu/spa");
    ASSERT_NE(unit, nullptr);

    struct Case {
        const char *what;
        Bytes cdb;
        size_t cap;
    } cases[] = {
        {"TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}, 0},
        {"standard INQUIRY", {0x12, 0, 0, 0, 0x24, 0}, 36},
        {"INQUIRY, long allocation", {0x12, 0, 0, 0, 0xFF, 0}, 255},
        {"VPD supported pages", {0x12, 1, 0x00, 0, 0xFF, 0}, 255},
        {"VPD unit serial", {0x12, 1, 0x80, 0, 0xFF, 0}, 255},
        {"VPD device identification", {0x12, 1, 0x83, 0, 0xFF, 0}, 255},
        {"SP Report page", {0x1A, 0x08, 0x26, 0, 0xFF, 0}, 255},
        {"Unit Config page, 4-byte first pass", {0x1A, 0x08, 0x2B, 0, 4, 0}, 4},
        {"all pages", {0x1A, 0, 0x3F, 0, 0xC0, 0}, 192},
        {"caching page, MODE SENSE(10)", {0x5A, 0x08, 0x08, 0, 0, 0, 0, 0, 0xFF, 0}, 255},
        {"READ CAPACITY(10)", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8},
        {"READ CAPACITY(16)", {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0}, 32},
        {"READ(10) of 8 blocks", {0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 4096},
        {"REQUEST SENSE", {0x03, 0, 0, 0, 0x12, 0}, 18},
        {"REPORT TARGET PORT GROUPS", {0xA3, 0x0A, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, 256},
        {"unsupported VPD page", {0x12, 1, 0xC7, 0, 0xFF, 0}, 255},
        {"unsupported opcode", {0xD7, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
    };
    for (const auto &c : cases) {
        Answer want = direct(unit, c.cdb, c.cap);
        Answer got = through_ring(unit, c.cdb, c.cap);
        EXPECT_EQ(got.status, want.status) << c.what;
        EXPECT_EQ(got.data, want.data) << c.what;
        if (want.status == ZKSIM_STATUS_CHECK_CONDITION) {
            ASSERT_GE(got.sense.size(), want.sense.size()) << c.what;
            EXPECT_EQ(Bytes(got.sense.begin(), got.sense.begin() + want.sense.size()), want.sense)
                << c.what;
        }
    }
    // The disk driver's probe commands are answered, not refused.
    for (const auto &c : cases) {
        if (std::strncmp(c.what, "unsupported", 11) != 0) {
            EXPECT_EQ(direct(unit, c.cdb, c.cap).status, ZKSIM_STATUS_GOOD) << c.what;
        }
    }
    zksim_reset();
}

// A trespass through the ring: MODE SELECT's parameter list reaches the
// model, which moves the LUN; a malformed one is refused.
TEST(RingWithModel, ModeSelectDataOutReachesTheModel) {
    char err[256] = "";
    ASSERT_EQ(zksim_load_text((std::string(kDescription) +
                               "unit /dev/tcmu/spb\n  cab_serial \"F1234567\"\n"
                               "  lun_id hex:60060160 1A2B3C4D 5E6F7081 92A3B4C5\n  sp 1\n  owner 0\n")
                                  .c_str(),
                              err, sizeof err),
              0)
        << err;
    const zksim_unit *spb = zksim_find_unit("/dev/tcmu/spb");
    const Bytes select6 = {0x15, 0x10, 0, 0, 8, 0};
    Answer bad = through_ring(spb, select6, 8, {0, 0, 0, 0, 0x22, 0x02, 0x01, 0x03});
    EXPECT_EQ(bad.status, ZKSIM_STATUS_CHECK_CONDITION);
    EXPECT_EQ(bad.sense.at(12), 0x26);
    EXPECT_EQ(zksim_unit_owner(spb), 0);
    EXPECT_EQ(through_ring(spb, select6, 8, {0, 0, 0, 0, 0x22, 0x02, 0x01, 0xFF}).status,
              ZKSIM_STATUS_GOOD);
    EXPECT_EQ(zksim_unit_owner(zksim_find_unit("/dev/tcmu/spa")), 1);
    zksim_reset();
}

}  // namespace
