#include "tcmu_ring.h"

#include "tcmu_abi.h"

#include <algorithm>
#include <cstring>

namespace zktcmu {
namespace {

constexpr unsigned char kVariableLengthOpcode = 0x7F;
constexpr size_t kVariableLengthFieldOffset = 7;  /* additional CDB length */
constexpr size_t kVariableLengthHeader = 8;
/* CDB length by operation code group (bits 7-5), as the kernel copies it. */
constexpr size_t kGroupCdbLength[8] = {6, 10, 10, 12, 16, 12, 10, 10};

constexpr int kStatusGood = 0x00;
constexpr int kStatusCheckCondition = 0x02;
constexpr uint8_t kSenseKeyHardwareError = 0x04;
constexpr uint8_t kAscInternalTargetFailure = 0x44;
constexpr size_t kFixedSenseLength = 18;

constexpr size_t kMailboxHeadOffset = offsetof(struct tcmu_mailbox, cmd_head);
constexpr size_t kMailboxTailOffset = offsetof(struct tcmu_mailbox, cmd_tail);
constexpr size_t kEntryCmdIdOffset = offsetof(struct tcmu_cmd_entry_hdr, cmd_id);
constexpr size_t kEntryUflagsOffset = offsetof(struct tcmu_cmd_entry_hdr, uflags);
constexpr size_t kReqIovCntOffset = offsetof(struct tcmu_cmd_entry, req.iov_cnt);
constexpr size_t kReqBidiCntOffset = offsetof(struct tcmu_cmd_entry, req.iov_bidi_cnt);
constexpr size_t kReqDifCntOffset = offsetof(struct tcmu_cmd_entry, req.iov_dif_cnt);
constexpr size_t kReqCdbOffOffset = offsetof(struct tcmu_cmd_entry, req.cdb_off);
constexpr size_t kReqIovOffset = offsetof(struct tcmu_cmd_entry, req.iov);
constexpr size_t kRspStatusOffset = offsetof(struct tcmu_cmd_entry, rsp.scsi_status);
constexpr size_t kRspReadLenOffset = offsetof(struct tcmu_cmd_entry, rsp.read_len);
constexpr size_t kRspSenseOffset = offsetof(struct tcmu_cmd_entry, rsp.sense_buffer);

template <typename T>
T load(const unsigned char *p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <typename T>
void store(unsigned char *p, T value) {
    std::memcpy(p, &value, sizeof value);
}

}  // namespace

size_t cdb_length(const unsigned char *cdb) {
    if (cdb[0] == kVariableLengthOpcode)
        return kVariableLengthHeader + cdb[kVariableLengthFieldOffset];
    return kGroupCdbLength[cdb[0] >> 5];
}

size_t fixed_sense(unsigned char *sense, size_t cap, uint8_t key, uint8_t asc,
                   uint8_t ascq) {
    unsigned char bytes[kFixedSenseLength] = {};
    bytes[0] = 0x70;  /* current error, fixed format */
    bytes[2] = key;
    bytes[7] = kFixedSenseLength - 8;
    bytes[12] = asc;
    bytes[13] = ascq;
    size_t n = std::min(cap, sizeof bytes);
    std::memcpy(sense, bytes, n);
    return n;
}

Ring::Ring(void *base, size_t size)
    : base_(static_cast<unsigned char *>(base)), size_(size), scratch_(1) {}

uint32_t Ring::head() const {
    return __atomic_load_n(reinterpret_cast<const uint32_t *>(base_ + kMailboxHeadOffset),
                           __ATOMIC_ACQUIRE);
}

uint32_t Ring::tail() const {
    return __atomic_load_n(reinterpret_cast<const uint32_t *>(base_ + kMailboxTailOffset),
                           __ATOMIC_RELAXED);
}

std::string Ring::check() const {
    if (size_ < sizeof(struct tcmu_mailbox))
        return "mapping smaller than the mailbox";
    const auto *mb = base_;
    uint16_t version = load<uint16_t>(mb + offsetof(struct tcmu_mailbox, version));
    if (version != TCMU_MAILBOX_VERSION)
        return "mailbox version " + std::to_string(version) + ", expected " +
               std::to_string(TCMU_MAILBOX_VERSION);
    uint64_t off = load<uint32_t>(mb + offsetof(struct tcmu_mailbox, cmdr_off));
    uint64_t len = load<uint32_t>(mb + offsetof(struct tcmu_mailbox, cmdr_size));
    if (off < sizeof(struct tcmu_mailbox) || off % TCMU_OP_ALIGN_SIZE != 0)
        return "command ring offset " + std::to_string(off) + " is not usable";
    if (len == 0 || len % TCMU_OP_ALIGN_SIZE != 0 || off + len > size_)
        return "command ring of " + std::to_string(len) + " bytes at " +
               std::to_string(off) + " does not fit the mapping of " +
               std::to_string(size_) + " bytes";
    uint32_t h = head(), t = tail();
    if (h >= len || h % TCMU_OP_ALIGN_SIZE != 0 || t >= len || t % TCMU_OP_ALIGN_SIZE != 0)
        return "cmd_head " + std::to_string(h) + " or cmd_tail " + std::to_string(t) +
               " outside the command ring";
    return {};
}

bool Ring::in_map(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
}

bool Ring::in_data_area(uint64_t offset, uint64_t length) const {
    uint64_t data_start = uint64_t{load<uint32_t>(base_ + offsetof(struct tcmu_mailbox, cmdr_off))} +
                          load<uint32_t>(base_ + offsetof(struct tcmu_mailbox, cmdr_size));
    return offset >= data_start && in_map(offset, length);
}

WalkResult Ring::walk(const Responder &respond,
                      const std::function<void(const CommandTrace &)> &trace) {
    return walk_with_data_out(
        [&respond](const unsigned char *cdb, size_t cdb_len, const unsigned char *,
                   size_t, unsigned char *data, size_t data_cap, size_t *data_len,
                   unsigned char *sense, size_t sense_cap, size_t *sense_len) {
            return respond(cdb, cdb_len, data, data_cap, data_len, sense, sense_cap,
                           sense_len);
        },
        trace);
}

WalkResult Ring::walk_with_data_out(const DataOutResponder &respond,
                                    const std::function<void(const CommandTrace &)> &trace) {
    WalkResult result;
    std::string problem = check();
    if (!problem.empty()) {
        result.failed = true;
        result.error = problem;
        return result;
    }
    const uint32_t ring_off = load<uint32_t>(base_ + offsetof(struct tcmu_mailbox, cmdr_off));
    const uint32_t ring_size = load<uint32_t>(base_ + offsetof(struct tcmu_mailbox, cmdr_size));
    const uint32_t head_now = head();
    uint32_t pos = tail();
    uint64_t walked = 0;

    while (pos != head_now) {
        /* A head that is not on an entry boundary would have the walk
         * circle the ring forever. */
        if (walked >= ring_size) {
            result.failed = true;
            result.error = "cmd_head " + std::to_string(head_now) +
                           " is not on an entry boundary";
            return result;
        }
        /* pos stays 8-aligned in a ring of 8-byte multiples, so an entry
         * header always fits before the ring's end. */
        const uint32_t entry_off = ring_off + pos;
        const uint32_t len_op = load<uint32_t>(base_ + entry_off);
        const uint32_t entry_len = tcmu_hdr_get_len(len_op);
        if (entry_len == 0 || entry_len > ring_size - pos) {
            result.failed = true;
            result.error = "entry at ring offset " + std::to_string(pos) +
                           " has the unusable length " + std::to_string(entry_len);
            return result;
        }
        switch (tcmu_hdr_get_op(len_op)) {
        case TCMU_OP_PAD:
        case TCMU_OP_TMR:
            /* Task management notices need no answer: aborted commands
             * still get theirs. */
            ++result.skipped;
            break;
        case TCMU_OP_CMD:
            if (entry_len < sizeof(struct tcmu_cmd_entry)) {
                /* No room for a response: the kernel fails the command. */
                base_[entry_off + kEntryUflagsOffset] |= TCMU_UFLAG_UNKNOWN_OP;
                ++result.malformed;
                ++result.unknown;
                break;
            }
            answer_command(entry_off, entry_len, respond, trace, result);
            ++result.commands;
            break;
        default:
            base_[entry_off + kEntryUflagsOffset] |= TCMU_UFLAG_UNKNOWN_OP;
            ++result.unknown;
            break;
        }
        pos = (pos + entry_len) % ring_size;
        walked += entry_len;
        /* The entry's response must be visible before the kernel sees the
         * tail move past it. */
        __atomic_store_n(reinterpret_cast<uint32_t *>(base_ + kMailboxTailOffset), pos,
                         __ATOMIC_RELEASE);
    }
    return result;
}

void Ring::answer_command(uint32_t entry_off, uint32_t entry_len, const DataOutResponder &respond,
                          const std::function<void(const CommandTrace &)> &trace,
                          WalkResult &result) {
    const unsigned char *entry = base_ + entry_off;
    unsigned char sense[TCMU_SENSE_BUFFERSIZE] = {};
    CommandTrace record{load<uint16_t>(entry + kEntryCmdIdOffset), {}, 0, 0, kStatusGood, {}};

    /* Everything the request holds is read before the response is written:
     * the two share the entry's bytes. */
    const uint64_t iov_cnt = load<uint32_t>(entry + kReqIovCntOffset);
    const uint64_t bidi_cnt = load<uint32_t>(entry + kReqBidiCntOffset);
    const uint64_t dif_cnt = load<uint32_t>(entry + kReqDifCntOffset);
    const uint64_t cdb_off = load<uint64_t>(entry + kReqCdbOffOffset);
    const uint64_t iov_total = iov_cnt + bidi_cnt + dif_cnt;

    auto malformed = [&]() {
        size_t n = fixed_sense(sense, sizeof sense, kSenseKeyHardwareError,
                               kAscInternalTargetFailure, 0);
        record.status = kStatusCheckCondition;
        write_response(entry_off, kStatusCheckCondition, 0, sense, n);
        ++result.malformed;
        if (trace)
            trace(record);
    };

    if (iov_total > (entry_len - kReqIovOffset) / sizeof(struct iovec))
        return malformed();
    std::vector<Iov> iovs(iov_total);
    for (uint64_t i = 0; i < iov_total; ++i) {
        const unsigned char *p = entry + kReqIovOffset + i * sizeof(struct iovec);
        iovs[i].offset = reinterpret_cast<uintptr_t>(
            load<void *>(p + offsetof(struct iovec, iov_base)));
        iovs[i].length = load<size_t>(p + offsetof(struct iovec, iov_len));
    }

    if (!in_map(cdb_off, 1))
        return malformed();
    const unsigned char *cdb = base_ + cdb_off;
    if (cdb[0] == kVariableLengthOpcode && !in_map(cdb_off, kVariableLengthHeader))
        return malformed();
    const size_t cdb_len = cdb_length(cdb);
    if (!in_map(cdb_off, cdb_len))
        return malformed();
    record.cdb.assign(cdb, cdb + cdb_len);

    /* Data-in goes to the bidirectional iovecs when there are any (the first
     * iov_cnt then carry data-out), else to the first iov_cnt. */
    const uint64_t first = bidi_cnt > 0 ? iov_cnt : 0;
    const uint64_t count = bidi_cnt > 0 ? bidi_cnt : iov_cnt;
    uint64_t data_cap = 0;
    for (uint64_t i = first; i < first + count; ++i) {
        if (!in_data_area(iovs[i].offset, iovs[i].length))
            return malformed();
        data_cap += iovs[i].length;
    }
    if (data_cap > size_)  /* overlapping iovecs */
        return malformed();
    record.data_cap = data_cap;

    /* Data-out: the first iov_cnt iovecs. */
    const unsigned char *data_out = nullptr;
    size_t data_out_len = 0;
    for (uint64_t i = 0; i < iov_cnt; ++i)
        if (!in_data_area(iovs[i].offset, iovs[i].length))
            return malformed();
    if (iov_cnt == 1) {
        data_out = base_ + iovs[0].offset;
        data_out_len = iovs[0].length;
    } else if (iov_cnt > 1) {
        gathered_.clear();
        for (uint64_t i = 0; i < iov_cnt && gathered_.size() < kMaxGatheredDataOut; ++i) {
            size_t n = std::min<uint64_t>(iovs[i].length, kMaxGatheredDataOut - gathered_.size());
            gathered_.insert(gathered_.end(), base_ + iovs[i].offset, base_ + iovs[i].offset + n);
        }
        data_out = gathered_.data();
        data_out_len = gathered_.size();
    }
    record.data_out.assign(data_out, data_out + std::min(data_out_len, kTracedDataOut));

    if (scratch_.size() < data_cap)
        scratch_.resize(data_cap);
    size_t data_len = 0, sense_len = 0;
    int status = respond(record.cdb.data(), cdb_len, data_out, data_out_len, scratch_.data(),
                         data_cap, &data_len, sense, sizeof sense, &sense_len);
    data_len = std::min<uint64_t>(data_len, data_cap);
    sense_len = std::min(sense_len, sizeof sense);
    record.status = status;

    const uint16_t flags = load<uint16_t>(base_ + offsetof(struct tcmu_mailbox, flags));
    const bool kernel_reads_len = (flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN) != 0;
    if (status == kStatusGood) {
        /* A kernel that cannot be told the length copies the whole buffer
         * back: the bytes past the answer must not be a former command's. */
        size_t done = 0;
        for (uint64_t i = first; i < first + count; ++i) {
            unsigned char *dst = base_ + iovs[i].offset;
            size_t n = std::min<uint64_t>(iovs[i].length, data_len - done);
            std::memcpy(dst, scratch_.data() + done, n);
            if (!kernel_reads_len)
                std::memset(dst + n, 0, iovs[i].length - n);
            done += n;
        }
        record.data_len = data_len;
    } else {
        data_len = 0;
    }
    write_response(entry_off, status, data_len, sense, sense_len);
    if (trace)
        trace(record);
}

void Ring::write_response(uint32_t entry_off, int status, size_t read_len,
                          const unsigned char *sense, size_t sense_len) {
    unsigned char *entry = base_ + entry_off;
    const uint16_t flags = load<uint16_t>(base_ + offsetof(struct tcmu_mailbox, flags));
    entry[kRspStatusOffset] = static_cast<unsigned char>(status);
    std::memset(entry + kRspStatusOffset + 1, 0, kRspReadLenOffset - kRspStatusOffset - 1);
    store<uint32_t>(entry + kRspReadLenOffset, static_cast<uint32_t>(read_len));
    std::memset(entry + kRspSenseOffset, 0, TCMU_SENSE_BUFFERSIZE);
    std::memcpy(entry + kRspSenseOffset, sense, std::min<size_t>(sense_len, TCMU_SENSE_BUFFERSIZE));
    if (flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN)
        entry[kEntryUflagsOffset] |= TCMU_UFLAG_READ_LEN;
}

}  // namespace zktcmu
