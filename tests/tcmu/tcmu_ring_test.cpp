// The TCMU ring walker against a ring laid out in ordinary memory the way
// the kernel lays it out: mailbox, command ring, data area.
#include "tcmu_ring.h"

#include <gtest/gtest.h>
#include "tcmu_abi.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kDataSize = 16384;
constexpr unsigned char kStale = 0xAA;

struct IovLayout {
    uint64_t offset;
    uint64_t length;
};

size_t round8(size_t n) { return (n + 7) & ~size_t{7}; }

class FakeRing {
public:
    explicit FakeRing(uint32_t ring_size = 2048,
                      uint16_t flags = TCMU_MAILBOX_FLAG_CAP_READ_LEN)
        : ring_off_(round8(sizeof(struct tcmu_mailbox))), ring_size_(ring_size),
          words_((ring_off_ + ring_size + kDataSize) / 8, 0) {
        mb()->version = TCMU_MAILBOX_VERSION;
        mb()->flags = flags;
        mb()->cmdr_off = ring_off_;
        mb()->cmdr_size = ring_size;
        data_next_ = data_start();
        std::memset(base() + data_start(), kStale, kDataSize);
    }

    unsigned char *base() { return reinterpret_cast<unsigned char *>(words_.data()); }
    size_t size() const { return words_.size() * 8; }
    struct tcmu_mailbox *mb() { return reinterpret_cast<struct tcmu_mailbox *>(base()); }
    uint32_t data_start() const { return ring_off_ + ring_size_; }
    uint32_t ring_off() const { return ring_off_; }

    // Puts both ends of the ring at pos, as after earlier traffic.
    void start_at(uint32_t pos) { mb()->cmd_head = mb()->cmd_tail = pos; }

    uint64_t alloc_data(uint64_t n) {
        uint64_t off = data_next_;
        data_next_ += round8(n);
        return off;
    }

    // Appends an entry of len bytes and the given op at cmd_head (a PAD
    // first when it does not fit before the end); returns its map offset.
    uint32_t add_entry(uint32_t len, tcmu_opcode op) {
        if (ring_size_ - mb()->cmd_head < len) {
            uint32_t pad = ring_size_ - mb()->cmd_head;
            struct tcmu_cmd_entry_hdr *h = hdr(ring_off_ + mb()->cmd_head);
            h->len_op = pad | TCMU_OP_PAD;
            mb()->cmd_head = 0;
        }
        uint32_t off = ring_off_ + mb()->cmd_head;
        std::memset(base() + off, 0, len);
        hdr(off)->len_op = len | op;
        hdr(off)->cmd_id = next_id_++;
        mb()->cmd_head = (mb()->cmd_head + len) % ring_size_;
        return off;
    }

    uint32_t add_cmd(const Bytes &cdb, const std::vector<IovLayout> &iovs,
                     uint32_t bidi_cnt = 0) {
        size_t base_len = std::max(offsetof(struct tcmu_cmd_entry, req.iov) +
                                       iovs.size() * sizeof(struct iovec),
                                   sizeof(struct tcmu_cmd_entry));
        uint32_t len = base_len + round8(cdb.size());
        uint32_t off = add_entry(len, TCMU_OP_CMD);
        struct tcmu_cmd_entry *e = entry(off);
        e->req.iov_cnt = iovs.size() - bidi_cnt;
        e->req.iov_bidi_cnt = bidi_cnt;
        for (size_t i = 0; i < iovs.size(); ++i) {
            e->req.iov[i].iov_base = reinterpret_cast<void *>(static_cast<uintptr_t>(iovs[i].offset));
            e->req.iov[i].iov_len = iovs[i].length;
        }
        e->req.cdb_off = off + base_len;
        std::memcpy(base() + off + base_len, cdb.data(), cdb.size());
        return off;
    }

    struct tcmu_cmd_entry_hdr *hdr(uint32_t off) {
        return reinterpret_cast<struct tcmu_cmd_entry_hdr *>(base() + off);
    }
    struct tcmu_cmd_entry *entry(uint32_t off) {
        return reinterpret_cast<struct tcmu_cmd_entry *>(base() + off);
    }
    Bytes bytes(uint64_t off, uint64_t n) { return Bytes(base() + off, base() + off + n); }

private:
    uint32_t ring_off_;
    uint32_t ring_size_;
    std::vector<uint64_t> words_;
    uint64_t data_next_;
    uint16_t next_id_ = 1;
};

// Answers from a fixed reply and remembers the CDBs it was given.
struct FakeUnit {
    int status = 0;
    Bytes data;
    Bytes sense;
    std::vector<Bytes> cdbs;
    std::vector<size_t> caps;

    zktcmu::Responder responder() {
        return [this](const unsigned char *cdb, size_t cdb_len, unsigned char *out,
                      size_t cap, size_t *len, unsigned char *sense_out, size_t sense_cap,
                      size_t *sense_len) {
            cdbs.emplace_back(cdb, cdb + cdb_len);
            caps.push_back(cap);
            *len = std::min(cap, data.size());
            std::copy(data.begin(), data.begin() + *len, out);
            *sense_len = std::min(sense_cap, sense.size());
            std::copy(sense.begin(), sense.begin() + *sense_len, sense_out);
            return status;
        };
    }
};

Bytes pattern(size_t n, unsigned char first = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(first + i);
    return b;
}

const Bytes kInquiry = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};

TEST(RingCheck, RefusesMailboxesItCannotUse) {
    struct Case {
        const char *what;
        void (*spoil)(FakeRing &);
        bool tiny_mapping;
        bool usable;
    } cases[] = {
        {"as the kernel sets it up", [](FakeRing &) {}, false, true},
        {"older mailbox version", [](FakeRing &r) { r.mb()->version = 1; }, false, false},
        {"ring inside the mailbox", [](FakeRing &r) { r.mb()->cmdr_off = 8; }, false, false},
        {"misaligned ring", [](FakeRing &r) { r.mb()->cmdr_off += 4; }, false, false},
        {"empty ring", [](FakeRing &r) { r.mb()->cmdr_size = 0; }, false, false},
        {"ring past the mapping", [](FakeRing &r) { r.mb()->cmdr_size = 0x7ffffff8; }, false, false},
        {"ring offset wraps", [](FakeRing &r) { r.mb()->cmdr_off = 0xfffffff8; }, false, false},
        {"head past the ring", [](FakeRing &r) { r.mb()->cmd_head = 2048; }, false, false},
        {"head misaligned", [](FakeRing &r) { r.mb()->cmd_head = 12; }, false, false},
        {"tail past the ring", [](FakeRing &r) { r.mb()->cmd_tail = 4096; }, false, false},
        {"mapping smaller than the mailbox", [](FakeRing &) {}, true, false},
    };
    for (const auto &c : cases) {
        FakeRing ring;
        c.spoil(ring);
        zktcmu::Ring r(ring.base(), c.tiny_mapping ? sizeof(struct tcmu_mailbox) - 1 : ring.size());
        EXPECT_EQ(r.check().empty(), c.usable) << c.what << ": " << r.check();
        if (!c.usable) {
            FakeUnit unit;
            zktcmu::WalkResult w = r.walk(unit.responder());
            EXPECT_TRUE(w.failed) << c.what;
            EXPECT_TRUE(unit.cdbs.empty()) << c.what;
        }
    }
}

TEST(RingWalk, AnswersACommandThroughItsIovecs) {
    FakeRing ring;
    uint64_t a = ring.alloc_data(20), b = ring.alloc_data(16);
    uint32_t off = ring.add_cmd(kInquiry, {{a, 20}, {b, 16}});
    FakeUnit unit;
    unit.data = pattern(36);
    zktcmu::Ring r(ring.base(), ring.size());
    std::vector<zktcmu::CommandTrace> traces;
    zktcmu::WalkResult w =
        r.walk(unit.responder(), [&](const zktcmu::CommandTrace &t) { traces.push_back(t); });

    EXPECT_FALSE(w.failed) << w.error;
    EXPECT_EQ(w.commands, 1u);
    ASSERT_EQ(unit.cdbs.size(), 1u);
    EXPECT_EQ(unit.cdbs[0], kInquiry);
    EXPECT_EQ(unit.caps[0], 36u);
    EXPECT_EQ(ring.bytes(a, 20), Bytes(unit.data.begin(), unit.data.begin() + 20));
    EXPECT_EQ(ring.bytes(b, 16), Bytes(unit.data.begin() + 20, unit.data.end()));
    EXPECT_EQ(ring.entry(off)->rsp.scsi_status, 0);
    EXPECT_EQ(ring.entry(off)->rsp.read_len, 36u);
    EXPECT_TRUE(ring.hdr(off)->uflags & TCMU_UFLAG_READ_LEN);
    EXPECT_EQ(ring.mb()->cmd_tail, ring.mb()->cmd_head);
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0].cmd_id, ring.hdr(off)->cmd_id);
    EXPECT_EQ(traces[0].data_len, 36u);
}

TEST(RingWalk, ShortAnswersLeaveNoStaleBytesWhereTheKernelCopiesThemAll) {
    struct Case {
        uint16_t flags;
        bool zeroed;       // bytes past the answer are cleared
        bool reports_len;  // read_len and its flag are set
    } cases[] = {
        {TCMU_MAILBOX_FLAG_CAP_READ_LEN, false, true},
        {TCMU_MAILBOX_FLAG_CAP_READ_LEN | TCMU_MAILBOX_FLAG_CAP_OOOC, false, true},
        {0, true, false},
        {TCMU_MAILBOX_FLAG_CAP_OOOC, true, false},
    };
    for (const auto &c : cases) {
        FakeRing ring(2048, c.flags);
        uint64_t a = ring.alloc_data(8), b = ring.alloc_data(64);
        uint32_t off = ring.add_cmd({0x1A, 0x08, 0x3F, 0x00, 0xFF, 0x00}, {{a, 8}, {b, 64}});
        FakeUnit unit;
        unit.data = pattern(12, 0x40);
        zktcmu::Ring(ring.base(), ring.size()).walk(unit.responder());

        EXPECT_EQ(ring.bytes(a, 8), Bytes(unit.data.begin(), unit.data.begin() + 8));
        EXPECT_EQ(ring.bytes(b, 4), Bytes(unit.data.begin() + 8, unit.data.end()));
        EXPECT_EQ(ring.bytes(b + 4, 60), Bytes(60, c.zeroed ? 0 : kStale)) << c.flags;
        EXPECT_EQ(bool(ring.hdr(off)->uflags & TCMU_UFLAG_READ_LEN), c.reports_len);
        if (c.reports_len) {
            EXPECT_EQ(ring.entry(off)->rsp.read_len, 12u);
        }
    }
}

TEST(RingWalk, CheckConditionCarriesSenseAndNoData) {
    FakeRing ring(2048, 0);
    uint64_t a = ring.alloc_data(36);
    uint32_t off = ring.add_cmd({0x12, 0x01, 0xC0, 0x00, 0x24, 0x00}, {{a, 36}});
    FakeUnit unit;
    unit.status = 0x02;
    unit.data = pattern(36);  // whatever a unit left in its buffer
    unit.sense.resize(18);
    zktcmu::fixed_sense(unit.sense.data(), 18, 0x05, 0x24, 0x00);
    zktcmu::Ring(ring.base(), ring.size()).walk(unit.responder());

    const struct tcmu_cmd_entry *e = ring.entry(off);
    EXPECT_EQ(e->rsp.scsi_status, 0x02);
    EXPECT_EQ(Bytes(e->rsp.sense_buffer, e->rsp.sense_buffer + 18), unit.sense);
    EXPECT_EQ(Bytes(e->rsp.sense_buffer + 18, e->rsp.sense_buffer + TCMU_SENSE_BUFFERSIZE),
              Bytes(TCMU_SENSE_BUFFERSIZE - 18, 0));
    EXPECT_EQ(ring.bytes(a, 36), Bytes(36, kStale));
}

TEST(RingWalk, WrapsAroundPadEntries) {
    // Each entry here takes 120 bytes (112 + one 8-byte CDB slot, no iovecs
    // beyond the base): start near the end so that the third needs a PAD.
    FakeRing ring(1024);
    ring.start_at(1024 - 2 * 120 - 16);
    FakeUnit unit;
    std::vector<uint32_t> offs;
    for (int i = 0; i < 5; ++i)
        offs.push_back(ring.add_cmd({0x00, 0, 0, 0, 0, static_cast<unsigned char>(i)}, {}));
    ASSERT_EQ(offs[2], ring.ring_off()) << "the third entry should start the ring again";
    zktcmu::WalkResult w = zktcmu::Ring(ring.base(), ring.size()).walk(unit.responder());

    EXPECT_FALSE(w.failed) << w.error;
    EXPECT_EQ(w.commands, 5u);
    EXPECT_EQ(w.skipped, 1u);
    ASSERT_EQ(unit.cdbs.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(unit.cdbs[i][5], i);
    EXPECT_EQ(ring.mb()->cmd_tail, ring.mb()->cmd_head);
}

TEST(RingWalk, PassesOverNoticesAndFlagsUnknownEntries) {
    FakeRing ring;
    uint32_t tmr = ring.add_entry(sizeof(struct tcmu_tmr_entry) + 8, TCMU_OP_TMR);
    uint32_t odd = ring.add_entry(64, static_cast<tcmu_opcode>(5));
    uint32_t cmd = ring.add_cmd(kInquiry, {{ring.alloc_data(36), 36}});
    FakeUnit unit;
    unit.data = pattern(36);
    zktcmu::WalkResult w = zktcmu::Ring(ring.base(), ring.size()).walk(unit.responder());

    EXPECT_FALSE(w.failed);
    EXPECT_EQ(w.skipped, 1u);
    EXPECT_EQ(w.unknown, 1u);
    EXPECT_EQ(w.commands, 1u);
    EXPECT_EQ(unit.cdbs.size(), 1u);
    EXPECT_EQ(ring.hdr(tmr)->uflags, 0);
    EXPECT_EQ(ring.hdr(odd)->uflags, TCMU_UFLAG_UNKNOWN_OP);
    EXPECT_EQ(ring.entry(cmd)->rsp.read_len, 36u);
    EXPECT_EQ(ring.mb()->cmd_tail, ring.mb()->cmd_head);
}

TEST(RingWalk, AnswersMalformedCommandsWithoutTouchingMemoryOutsideTheMapping) {
    struct Case {
        const char *what;
        void (*spoil)(FakeRing &, struct tcmu_cmd_entry *);
    } cases[] = {
        {"iovec past the mapping",
         [](FakeRing &r, struct tcmu_cmd_entry *e) {
             e->req.iov[0].iov_base = reinterpret_cast<void *>(static_cast<uintptr_t>(r.size() - 8));
         }},
        {"iovec length wraps",
         [](FakeRing &, struct tcmu_cmd_entry *e) { e->req.iov[0].iov_len = ~size_t{0} - 4; }},
        {"iovec in the command ring",
         [](FakeRing &r, struct tcmu_cmd_entry *e) {
             e->req.iov[0].iov_base = reinterpret_cast<void *>(uintptr_t{r.ring_off()});
         }},
        {"iovec over the mailbox",
         [](FakeRing &, struct tcmu_cmd_entry *e) { e->req.iov[0].iov_base = nullptr; }},
        {"CDB past the mapping",
         [](FakeRing &r, struct tcmu_cmd_entry *e) { e->req.cdb_off = r.size(); }},
        {"variable-length CDB past the mapping",
         [](FakeRing &r, struct tcmu_cmd_entry *e) {
             e->req.cdb_off = r.size() - 8;
             r.base()[r.size() - 8] = 0x7F;
             r.base()[r.size() - 1] = 0xF0;
         }},
        {"more iovecs than the entry holds",
         [](FakeRing &, struct tcmu_cmd_entry *e) { e->req.iov_cnt = 0x40000000; }},
        {"iovec counts that overflow together",
         [](FakeRing &, struct tcmu_cmd_entry *e) {
             e->req.iov_cnt = 0xffffffff;
             e->req.iov_bidi_cnt = 0xffffffff;
             e->req.iov_dif_cnt = 0xffffffff;
         }},
    };
    for (const auto &c : cases) {
        FakeRing ring;
        uint64_t a = ring.alloc_data(36);
        uint32_t off = ring.add_cmd(kInquiry, {{a, 36}});
        c.spoil(ring, ring.entry(off));
        uint32_t next = ring.add_cmd(kInquiry, {{ring.alloc_data(36), 36}});
        FakeUnit unit;
        unit.data = pattern(36);
        zktcmu::WalkResult w = zktcmu::Ring(ring.base(), ring.size()).walk(unit.responder());

        EXPECT_FALSE(w.failed) << c.what;
        EXPECT_EQ(w.malformed, 1u) << c.what;
        EXPECT_EQ(unit.cdbs.size(), 1u) << c.what << ": only the good entry is answered";
        const struct tcmu_cmd_entry *e = ring.entry(off);
        EXPECT_EQ(e->rsp.scsi_status, 0x02) << c.what;
        EXPECT_EQ(e->rsp.sense_buffer[2] & 0x0F, 0x04) << c.what;  // HARDWARE ERROR
        EXPECT_EQ(e->rsp.read_len, 0u) << c.what;
        EXPECT_EQ(ring.entry(next)->rsp.scsi_status, 0x00) << c.what;
        EXPECT_EQ(ring.mb()->cmd_tail, ring.mb()->cmd_head) << c.what;
    }
}

TEST(RingWalk, StopsAtEntryHeadersItCannotStepOver) {
    // Two commands are queued; spoil() breaks the ring after the first.
    struct Case {
        const char *what;
        void (*spoil)(FakeRing &, uint32_t second);
        size_t answered;
        bool tail_stops;  // cmd_tail left at the unusable entry
    } cases[] = {
        {"zero length", [](FakeRing &r, uint32_t e) { r.hdr(e)->len_op = TCMU_OP_CMD; }, 1, true},
        {"length past the ring end",
         [](FakeRing &r, uint32_t e) { r.hdr(e)->len_op = 4096 | TCMU_OP_CMD; }, 1, true},
        {"head never reached",
         [](FakeRing &r, uint32_t e) {
             // The ring tiled with notices round to the first entry again,
             // and head in the middle of one of them.
             uint32_t p = e - r.ring_off();
             r.hdr(e)->len_op = 16 | TCMU_OP_TMR;
             for (p += 16; p < 2048; p += 8)
                 r.hdr(r.ring_off() + p)->len_op = 8 | TCMU_OP_TMR;
             r.mb()->cmd_head = e - r.ring_off() + 8;
         }, 1, false},
    };
    for (const auto &c : cases) {
        FakeRing ring;
        ring.add_cmd(kInquiry, {{ring.alloc_data(36), 36}});
        uint32_t second = ring.add_cmd(kInquiry, {{ring.alloc_data(36), 36}});
        c.spoil(ring, second);
        FakeUnit unit;
        unit.data = pattern(36);
        zktcmu::WalkResult w = zktcmu::Ring(ring.base(), ring.size()).walk(unit.responder());

        EXPECT_TRUE(w.failed) << c.what;
        EXPECT_FALSE(w.error.empty()) << c.what;
        EXPECT_EQ(w.commands, c.answered) << c.what;
        if (c.tail_stops) {
            EXPECT_EQ(ring.mb()->cmd_tail, second - ring.ring_off()) << c.what;
        }
    }
}

TEST(RingWalk, CommandEntryTooShortForAResponseIsLeftToTheKernel) {
    FakeRing ring;
    uint32_t off = ring.add_entry(64, TCMU_OP_CMD);
    FakeUnit unit;
    zktcmu::WalkResult w = zktcmu::Ring(ring.base(), ring.size()).walk(unit.responder());
    EXPECT_FALSE(w.failed);
    EXPECT_TRUE(unit.cdbs.empty());
    EXPECT_EQ(ring.hdr(off)->uflags, TCMU_UFLAG_UNKNOWN_OP);
    EXPECT_EQ(ring.bytes(off + 8, 56), Bytes(56, 0)) << "nothing written into the next entry";
    EXPECT_EQ(ring.mb()->cmd_tail, ring.mb()->cmd_head);
}

TEST(RingWalk, BidirectionalDataInGoesToTheSecondIovecSet) {
    FakeRing ring;
    uint64_t out = ring.alloc_data(16), in = ring.alloc_data(16);
    std::memcpy(ring.base() + out, pattern(16, 0x80).data(), 16);
    ring.add_cmd({0x53, 0, 0, 0, 0, 0, 0, 0, 1, 0}, {{out, 16}, {in, 16}}, 1);
    FakeUnit unit;
    unit.data = pattern(16);
    zktcmu::Ring(ring.base(), ring.size()).walk(unit.responder());
    EXPECT_EQ(unit.caps[0], 16u);
    EXPECT_EQ(ring.bytes(in, 16), unit.data);
    EXPECT_EQ(ring.bytes(out, 16), pattern(16, 0x80)) << "data-out left as it came";
}

TEST(RingWalk, IdleRingAndRepeatedWalks) {
    FakeRing ring;
    FakeUnit unit;
    zktcmu::Ring r(ring.base(), ring.size());
    EXPECT_EQ(r.walk(unit.responder()).entries(), 0u);
    ring.add_cmd(kInquiry, {{ring.alloc_data(36), 36}});
    EXPECT_EQ(r.walk(unit.responder()).commands, 1u);
    EXPECT_EQ(r.walk(unit.responder()).entries(), 0u) << "an answered entry is not answered again";
    ring.add_cmd(kInquiry, {{ring.alloc_data(36), 36}});
    EXPECT_EQ(r.walk(unit.responder()).commands, 1u);
    EXPECT_EQ(unit.cdbs.size(), 2u);
}


// Data-out reaches the responder: one iovec whole, several gathered in
// order, bidirectional commands' first set only; the trace keeps its start.
TEST(RingWalk, DataOutReachesTheResponder) {
    struct Case {
        const char *what;
        std::vector<size_t> lengths;
        uint32_t bidi_cnt;
        size_t want;  // bytes of data-out seen
    } cases[] = {
        {"one iovec", {24}, 0, 24},
        {"three iovecs", {8, 16, 40}, 0, 64},
        {"bidirectional: the first set", {16, 32}, 1, 16},
        {"no iovec", {}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakeRing ring;
        std::vector<IovLayout> iovs;
        Bytes sent;
        for (size_t n : c.lengths) {
            uint64_t off = ring.alloc_data(n);
            Bytes part = pattern(n, static_cast<unsigned char>(sent.size() + 1));
            std::memcpy(ring.base() + off, part.data(), n);
            if (iovs.size() + c.bidi_cnt < c.lengths.size()) sent.insert(sent.end(), part.begin(), part.end());
            iovs.push_back({off, n});
        }
        Bytes seen;
        auto respond = [&seen](const unsigned char *, size_t, const unsigned char *out, size_t out_len,
                               unsigned char *, size_t, size_t *, unsigned char *, size_t, size_t *) {
            seen.assign(out, out + out_len);
            return 0;
        };
        Bytes traced;
        zktcmu::Ring r(ring.base(), ring.size());
        ring.add_cmd({0x55, 0x10, 0, 0, 0, 0, 0, 0, 24, 0}, iovs, c.bidi_cnt);
        zktcmu::WalkResult w = r.walk_with_data_out(
            respond, [&traced](const zktcmu::CommandTrace &t) { traced = t.data_out; });
        EXPECT_EQ(w.commands, 1u);
        EXPECT_EQ(seen.size(), c.want);
        EXPECT_EQ(seen, sent);
        EXPECT_EQ(traced, Bytes(sent.begin(), sent.begin() + std::min(sent.size(), zktcmu::kTracedDataOut)));
    }
}

}  // namespace
