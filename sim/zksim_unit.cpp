// The logical-unit model: answers one CDB the way a unit of the array would.
// Transport-independent; faults are applied by the transports.
#include "zksim_internal.h"

#include <algorithm>
#include <cstring>

namespace zksim {
namespace {

// Operation codes.
constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kWrite6 = 0x0A;
constexpr std::uint8_t kModeSelect6 = 0x15;
constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kModeSelect10 = 0x55;
constexpr std::uint8_t kWrite16 = 0x8A;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kRead6 = 0x08;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kModeSense6 = 0x1A;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kReadCapacity10 = 0x25;
constexpr std::uint8_t kRead10 = 0x28;
constexpr std::uint8_t kSynchronizeCache10 = 0x35;
constexpr std::uint8_t kModeSense10 = 0x5A;
constexpr std::uint8_t kRead16 = 0x88;
constexpr std::uint8_t kServiceActionIn16 = 0x9E;
constexpr std::uint8_t kReadCapacity16Action = 0x10;
constexpr std::uint8_t kReportLuns = 0xA0;
constexpr std::uint8_t kMaintenanceIn = 0xA3;
constexpr std::uint8_t kReportTargetPortGroupsAction = 0x0A;
constexpr std::uint8_t kMaintenanceOut = 0xA4;
constexpr std::uint8_t kSetTargetPortGroupsAction = 0x0A;

// Vital product data pages.
constexpr std::uint8_t kVpdSupportedPages = 0x00;
constexpr std::uint8_t kVpdUnitSerial = 0x80;
constexpr std::uint8_t kVpdDeviceIdentification = 0x83;
constexpr std::uint8_t kVpdUnitPathReport = 0xC0;

// Mode pages.
constexpr std::uint8_t kModePageCaching = 0x08;
constexpr std::uint8_t kModePageControl = 0x0A;
constexpr std::uint8_t kModePageSpReport = 0x26;
constexpr std::uint8_t kModePageUnitConfig = 0x2B;
constexpr std::uint8_t kModePageTrespass = 0x22;
constexpr std::uint8_t kModePageAll = 0x3F;
constexpr std::uint8_t kModeSubpageAll = 0xFF;
constexpr std::uint8_t kPageControlChangeable = 1;
constexpr std::uint8_t kPageControlSaved = 3;

// Sense.
constexpr std::uint8_t kFixedSenseCurrent = 0x70;
constexpr std::uint8_t kDescriptorSenseCurrent = 0x72;
constexpr std::uint8_t kSenseKeyNotReady = 0x02;
constexpr std::uint8_t kSenseKeyIllegalRequest = 0x05;
constexpr std::uint8_t kAscNotReady = 0x04;
constexpr std::uint8_t kAscqManualIntervention = 0x03;
constexpr std::uint8_t kAscqOperationInProgress = 0x07;
constexpr std::uint8_t kAscParameterListLength = 0x1A;
constexpr std::uint8_t kAscInvalidFieldInParameterList = 0x26;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kAscLogicalUnitNotSupported = 0x25;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr std::uint8_t kAscSavingParametersNotSupported = 0x39;
constexpr std::size_t kFixedSenseLength = 18;

// Designator fields of the Device Identification page.
constexpr std::uint8_t kCodeSetBinary = 1;
constexpr std::uint8_t kCodeSetAscii = 2;
constexpr std::uint8_t kDesignatorVendorSpecific = 0x0;
constexpr std::uint8_t kDesignatorNaa = 0x3;
constexpr std::uint8_t kDesignatorRelativeTargetPort = 0x4;
constexpr std::uint8_t kDesignatorTargetPortGroup = 0x5;
constexpr std::uint8_t kAssociationTargetPort = 0x10;

// Asymmetric access states of REPORT TARGET PORT GROUPS.
constexpr std::uint8_t kAluaActiveOptimized = 0x0;
constexpr std::uint8_t kAluaActiveNonOptimized = 0x1;
constexpr std::uint8_t kAluaStandby = 0x2;
constexpr std::uint8_t kAluaPreferred = 0x80;           // PREF, with the state
constexpr std::uint8_t kAluaSupportedStates = 0x05;     // S_SUP | AO_SUP
constexpr std::uint8_t kAluaSupportedStatesMode4 = 0x07;  // S_SUP | AN_SUP | AO_SUP
constexpr std::uint8_t kTpgsExplicit = 0x2;

std::uint16_t get_be16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
std::uint32_t get_be32(const std::uint8_t *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
           (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint64_t get_be64(const std::uint8_t *p) {
    return (std::uint64_t{get_be32(p)} << 32) | get_be32(p + 4);
}
void put_be16(std::uint8_t *p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void put_be32(std::uint8_t *p, std::uint32_t v) {
    put_be16(p, v >> 16);
    put_be16(p + 2, v);
}

// Streams an answer into the caller's buffer without allocating: bytes at
// or past the limit (allocation length, buffer size) are counted, not
// stored, so the length fields can be patched afterwards wherever they fall.
class Writer {
public:
    Writer(std::uint8_t *out, std::size_t limit) : out_(out), limit_(limit) {}
    void put(std::uint8_t b) { put_at(size_++, b); }
    void put(const std::uint8_t *p, std::size_t n) {
        std::size_t room = size_ < limit_ ? std::min(n, limit_ - size_) : 0;
        if (room) std::memcpy(out_ + size_, p, room);
        size_ += n;
    }
    void put(const Bytes &b) { put(b.data(), b.size()); }
    void put_zeros(std::size_t n) {
        std::size_t room = size_ < limit_ ? std::min(n, limit_ - size_) : 0;
        if (room) std::memset(out_ + size_, 0, room);
        size_ += n;
    }
    void put_be16(std::uint32_t v) {
        put(static_cast<std::uint8_t>(v >> 8));
        put(static_cast<std::uint8_t>(v));
    }
    void put_be32(std::uint32_t v) {
        put_be16(v >> 16);
        put_be16(v);
    }
    void put_be64(std::uint64_t v) {
        put_be32(static_cast<std::uint32_t>(v >> 32));
        put_be32(static_cast<std::uint32_t>(v));
    }
    void put_at(std::size_t at, std::uint8_t b) {
        if (at < limit_) out_[at] = b;
    }
    void put_be16_at(std::size_t at, std::uint32_t v) {
        put_at(at, static_cast<std::uint8_t>(v >> 8));
        put_at(at + 1, static_cast<std::uint8_t>(v));
    }
    void put_padded(const std::string &text, std::size_t width) {
        for (std::size_t k = 0; k < width; ++k)
            put(k < text.size() ? static_cast<std::uint8_t>(text[k]) : ' ');
    }
    std::size_t size() const { return size_; }
    std::size_t stored() const { return std::min(size_, limit_); }
    // The answer ends at length bytes (a short standard INQUIRY).
    static Writer cut(Writer w, std::size_t length) {
        w.size_ = std::min(w.size_, length);
        return w;
    }

private:
    std::uint8_t *out_;
    std::size_t limit_;
    std::size_t size_ = 0;
};

// Where an answer goes: the data buffer (cut to the allocation length and
// its capacity) or, for CHECK CONDITION, the sense buffer.
struct Reply {
    std::uint8_t *data;
    std::size_t data_cap;
    std::uint8_t *sense;
    std::size_t sense_cap;
    std::size_t data_len = 0;
    std::size_t sense_len = 0;

    Writer data_writer(std::size_t allocation_length) const {
        return Writer(data, std::min(allocation_length, data_cap));
    }
    int done(const Writer &w) {
        data_len = w.stored();
        return ZKSIM_STATUS_GOOD;
    }
    int check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, int field_byte = -1) {
        Writer w(sense, sense_cap);
        w.put(kFixedSenseCurrent);
        w.put(0);
        w.put(key);
        w.put_zeros(4);
        w.put(kFixedSenseLength - 8);
        w.put_zeros(4);
        w.put(asc);
        w.put(ascq);
        w.put(0);
        if (field_byte >= 0) {
            w.put(0xC0);  // SKSV, and the field is in the CDB
            w.put_be16(static_cast<std::uint32_t>(field_byte));
        } else {
            w.put_zeros(3);
        }
        sense_len = w.stored();
        data_len = 0;
        return ZKSIM_STATUS_CHECK_CONDITION;
    }
    int invalid_field(int byte) { return check(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb, 0, byte); }
    int invalid_opcode() { return check(kSenseKeyIllegalRequest, kAscInvalidOpcode, 0, 0); }
    int bytes(const Bytes &b, std::size_t allocation_length) {
        Writer w = data_writer(allocation_length);
        w.put(b);
        return done(w);
    }
};

int standard_inquiry(const zksim_unit &unit, Reply &r, std::size_t alloc) {
    const UnitDef &u = unit.def;
    const std::size_t length = u.inquiry_length;
    Writer w = r.data_writer(alloc);
    w.put(u.device_type);
    w.put(0);
    w.put(u.version);
    w.put(0x02);  // response data format 2
    w.put(static_cast<std::uint8_t>(length - 5));
    w.put(static_cast<std::uint8_t>(unit.tpgs() << 4));
    w.put(0);
    w.put(0x02);  // command queueing
    w.put_padded(u.vendor, 8);
    w.put_padded(u.product, 16);
    w.put_padded(u.revision, 4);
    w.put_zeros(58 - w.size());
    w.put_be16(0x0300);  // version descriptors: SPC-3, SBC-2
    w.put_be16(0x0320);
    w.put_zeros(std::max(length, w.size()) - w.size());
    return r.done(Writer::cut(w, length));
}

void put_designator(Writer &w, std::uint8_t code_set, std::uint8_t type_and_association,
                    const std::uint8_t *identifier, std::size_t length) {
    w.put(code_set);
    w.put(type_and_association);
    w.put(0);
    w.put(static_cast<std::uint8_t>(length));
    w.put(identifier, length);
}

void put_short_designator(Writer &w, std::uint8_t type_and_association, std::uint16_t high,
                          std::uint16_t low) {
    const std::uint8_t id[4] = {static_cast<std::uint8_t>(high >> 8), static_cast<std::uint8_t>(high),
                                static_cast<std::uint8_t>(low >> 8), static_cast<std::uint8_t>(low)};
    put_designator(w, kCodeSetBinary, type_and_association, id, sizeof id);
}

std::uint16_t target_port_group(std::uint8_t sp) { return static_cast<std::uint16_t>(sp + 1); }
std::uint16_t relative_target_port(std::uint8_t sp) { return static_cast<std::uint16_t>(sp + 1); }

// Layout: the 16-byte identifier at bytes 8-23, two vendor-specific
// designators whose identifiers start at bytes 28 (VLU) and 36 (LU), then
// the relative target port and target port group designators.
int device_identification_page(const UnitDef &u, Reply &r, std::size_t alloc) {
    Writer w = r.data_writer(alloc);
    w.put(u.device_type);
    w.put(kVpdDeviceIdentification);
    w.put_be16(0);  // page length, patched below
    const Bytes &id = u.lun_id;
    bool naa = !id.empty() && (id[0] >> 4) >= 2 && (id[0] >> 4) <= 6;
    bool printable = std::all_of(id.begin(), id.end(), [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
    if (naa)
        put_designator(w, kCodeSetBinary, kDesignatorNaa, id.data(), id.size());
    else
        put_designator(w, printable ? kCodeSetAscii : kCodeSetBinary, kDesignatorVendorSpecific,
                       id.data(), id.size());
    put_short_designator(w, kDesignatorVendorSpecific, u.vlu, 0);
    put_short_designator(w, kDesignatorVendorSpecific, u.lu, 0);
    put_short_designator(w, kAssociationTargetPort | kDesignatorRelativeTargetPort, 0,
                         relative_target_port(u.sp));
    put_short_designator(w, kAssociationTargetPort | kDesignatorTargetPortGroup, 0,
                         target_port_group(u.sp));
    w.put_be16_at(2, static_cast<std::uint32_t>(w.size() - 4));
    return r.done(w);
}

// The owner byte of page 0x2B: the described nonzero value (1 by default)
// on the paths of the SP owning the LUN, 0 on the others.
std::uint8_t owner_byte(const zksim_unit &unit) {
    return unit.owns() ? (unit.def.owner ? unit.def.owner : 1) : 0;
}

// Unit path report, as the kernel's device handler for this array family
// and sg_vpd's decoder read it (sim/README.md lists the bytes).
constexpr std::size_t kUnitPathReportLength = 96;

// Byte 28's code of a failover mode: 0 and 2 legacy, 1 active/passive
// (PNR), 4 ALUA.
std::uint8_t failover_mode_code(std::uint8_t mode) {
    switch (mode) {
    case 1: return 0x04;
    case 2: return 0x08;
    case 4: return 0x06;
    default: return 0x00;
    }
}
constexpr std::size_t kUnitPathReportSerialAt = 50;
// Byte 27, the initiator's registered system type: 3, the one the array's
// Linux hosts are registered with; byte 30 bit 2, arraycommpath: the array
// answers through a path that does not own the LUN (a path checker insists
// on both).
constexpr std::uint8_t kSystemTypeClariionOpen = 3;
constexpr std::uint8_t kArrayCommPath = 0x04;

int unit_path_report(const zksim_unit &unit, Reply &r, std::size_t alloc) {
    const UnitDef &u = unit.def;
    std::uint8_t p[kUnitPathReportLength] = {};
    p[0] = u.device_type;
    p[1] = kVpdUnitPathReport;
    put_be16(&p[2], kUnitPathReportLength - 4);
    p[4] = !u.bound ? 0 : unit.owns() ? 2 : 1;  // not bound, bound, owned by this SP
    p[5] = unit.lun->default_sp;
    p[7] = u.port;
    p[8] = u.sp;
    p[9] = 0;  // page revision
    std::memcpy(&p[10], u.lun_id.data(), std::min<std::size_t>(u.lun_id.size(), 16));
    p[27] = kSystemTypeClariionOpen;
    p[28] = failover_mode_code(u.failover_mode);
    p[30] = kArrayCommPath;
    p[48] = unit.lun->in_progress.load() ? 1 : 0;
    std::size_t serial = std::min(u.cab_serial.size(), kUnitPathReportLength - kUnitPathReportSerialAt);
    p[49] = static_cast<std::uint8_t>(serial);
    std::memcpy(&p[kUnitPathReportSerialAt], u.cab_serial.data(), serial);
    Writer w = r.data_writer(alloc);
    w.put(p, sizeof p);
    return r.done(w);
}

bool is_supported_vpd_page(const UnitDef &u, unsigned page) {
    return page == kVpdSupportedPages || page == kVpdUnitSerial ||
           page == kVpdDeviceIdentification || page == kVpdUnitPathReport ||
           u.vpd_raw.count(static_cast<std::uint8_t>(page));
}

int inquiry(const zksim_unit &unit, const std::uint8_t *cdb, Reply &r) {
    const UnitDef &u = unit.def;
    std::size_t alloc = get_be16(cdb + 3);
    if (cdb[1] & 0x02) return r.invalid_field(1);  // CmdDt is obsolete
    if (!(cdb[1] & 0x01)) {
        if (cdb[2] != 0) return r.invalid_field(2);
        return u.inquiry_raw ? r.bytes(*u.inquiry_raw, alloc) : standard_inquiry(unit, r, alloc);
    }
    std::uint8_t page = cdb[2];
    auto raw = u.vpd_raw.find(page);
    if (raw != u.vpd_raw.end()) return r.bytes(raw->second, alloc);
    switch (page) {
    case kVpdSupportedPages: {
        Writer w = r.data_writer(alloc);
        w.put(u.device_type);
        w.put(kVpdSupportedPages);
        w.put_be16(0);
        for (unsigned p = 0; p <= 0xFF; ++p)
            if (is_supported_vpd_page(u, p)) w.put(static_cast<std::uint8_t>(p));
        w.put_be16_at(2, static_cast<std::uint32_t>(w.size() - 4));
        return r.done(w);
    }
    case kVpdUnitSerial: {
        Writer w = r.data_writer(alloc);
        w.put(u.device_type);
        w.put(kVpdUnitSerial);
        w.put_be16(static_cast<std::uint32_t>(u.cab_serial.size()));
        w.put(u.cab_serial);
        return r.done(w);
    }
    case kVpdDeviceIdentification:
        return device_identification_page(u, r, alloc);
    case kVpdUnitPathReport:
        return unit_path_report(unit, r, alloc);
    default:
        return r.invalid_field(2);
    }
}

constexpr std::uint8_t kModelledModePages[] = {kModePageCaching, kModePageControl,
                                               kModePageSpReport, kModePageUnitConfig};

// One mode page: current values, or the changeable mask (all zero).
void put_mode_page(Writer &w, const zksim_unit &unit, std::uint8_t code, bool changeable) {
    const UnitDef &u = unit.def;
    std::uint8_t p[20] = {};
    std::size_t length = 20;
    switch (code) {
    case kModePageCaching:
        break;  // write cache off, read cache on
    case kModePageControl:
        length = 12;
        p[2] = 0x02;  // GLTSD
        put_be16(&p[8], 0xFFFF);  // busy timeout: unlimited
        break;
    case kModePageSpReport:
        p[3] = u.sp;
        put_be32(&p[4], u.model);
        break;
    case kModePageUnitConfig:
        p[2] = u.lun;
        p[4] = u.unit_flags;
        p[10] = owner_byte(unit);
        break;
    }
    if (changeable) std::memset(p, 0, sizeof p);
    p[0] = code;
    p[1] = static_cast<std::uint8_t>(length - 2);
    w.put(p, length);
}

// A raw MODE SENSE(6) response in the MODE SENSE(10) layout: the same block
// descriptors and pages behind the longer header.
int mode6_as_mode10(const Bytes &raw, Reply &r, std::size_t alloc) {
    Writer w = r.data_writer(alloc);
    std::size_t block_descriptors = raw.size() > 3 ? std::min<std::size_t>(raw[3], raw.size() - 4) : 0;
    w.put_be16(0);
    w.put(raw.size() > 1 ? raw[1] : 0);
    w.put(raw.size() > 2 ? raw[2] : 0);
    w.put_be16(0);
    w.put_be16(static_cast<std::uint32_t>(block_descriptors));
    if (raw.size() > 4) w.put(raw.data() + 4, raw.size() - 4);
    w.put_be16_at(0, static_cast<std::uint32_t>(w.size() - 2));
    return r.done(w);
}

int mode_sense(const zksim_unit &unit, const std::uint8_t *cdb, bool ten, Reply &r) {
    const UnitDef &u = unit.def;
    bool dbd = cdb[1] & 0x08;
    bool long_lba = ten && (cdb[1] & 0x10);
    std::uint8_t pc = cdb[2] >> 6;
    std::uint8_t page = cdb[2] & 0x3F;
    std::uint8_t subpage = cdb[3];
    std::size_t alloc = ten ? get_be16(cdb + 7) : cdb[4];

    auto raw = u.mode_raw.find(page);
    if (raw != u.mode_raw.end()) return ten ? mode6_as_mode10(raw->second, r, alloc) : r.bytes(raw->second, alloc);

    if (pc == kPageControlSaved) return r.check(kSenseKeyIllegalRequest, kAscSavingParametersNotSupported, 0);
    if (subpage != 0 && !(page == kModePageAll && subpage == kModeSubpageAll)) return r.invalid_field(3);
    bool known = page == kModePageAll ||
                 std::find(std::begin(kModelledModePages), std::end(kModelledModePages), page) !=
                     std::end(kModelledModePages);
    if (!known) return r.invalid_field(2);

    Writer w = r.data_writer(alloc);
    std::size_t block_descriptor_length = dbd ? 0 : long_lba ? 16 : 8;
    if (ten) {
        w.put_be16(0);  // mode data length, patched below
        w.put(0);
        w.put(0);
        w.put(long_lba ? 0x01 : 0x00);
        w.put(0);
        w.put_be16(static_cast<std::uint32_t>(block_descriptor_length));
    } else {
        w.put(0);  // mode data length, patched below
        w.put(0);
        w.put(0);
        w.put(static_cast<std::uint8_t>(block_descriptor_length));
    }
    if (block_descriptor_length == 16) {
        w.put_be64(u.blocks);
        w.put_be32(0);
        w.put_be32(u.block_size);
    } else if (block_descriptor_length == 8) {
        std::uint32_t blocks = static_cast<std::uint32_t>(std::min<std::uint64_t>(u.blocks, 0xFFFFFF));
        w.put_be32(blocks);  // density code 0, then 24 bits of blocks
        w.put_be32(u.block_size & 0xFFFFFF);
    }
    for (std::uint8_t code : kModelledModePages)
        if (page == kModePageAll || page == code) put_mode_page(w, unit, code, pc == kPageControlChangeable);
    if (ten)
        w.put_be16_at(0, static_cast<std::uint32_t>(w.size() - 2));
    else
        w.put_at(0, static_cast<std::uint8_t>(w.size() - 1));
    return r.done(w);
}

int request_sense(const std::uint8_t *cdb, Reply &r) {
    Writer w = r.data_writer(cdb[4]);
    if (cdb[1] & 0x01) {  // descriptor format
        w.put(kDescriptorSenseCurrent);
        w.put_zeros(7);
    } else {
        w.put(kFixedSenseCurrent);
        w.put_zeros(6);
        w.put(kFixedSenseLength - 8);
        w.put_zeros(kFixedSenseLength - 8);
    }
    return r.done(w);
}

int read_capacity10(const UnitDef &u, Reply &r) {
    Writer w = r.data_writer(8);
    std::uint64_t last = u.blocks - 1;
    w.put_be32(last > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(last));
    w.put_be32(u.block_size);
    return r.done(w);
}

int read_capacity16(const UnitDef &u, const std::uint8_t *cdb, Reply &r) {
    Writer w = r.data_writer(get_be32(cdb + 10));
    w.put_be64(u.blocks - 1);
    w.put_be32(u.block_size);
    w.put_zeros(20);
    return r.done(w);
}

int read(const UnitDef &u, std::uint64_t lba, std::uint64_t count, Reply &r) {
    if (lba > u.blocks || count > u.blocks - lba)
        return r.check(kSenseKeyIllegalRequest, kAscLbaOutOfRange, 0);
    std::uint64_t bytes = count * u.block_size;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, r.data_cap));
    if (n) std::memset(r.data, 0, n);
    r.data_len = n;
    return ZKSIM_STATUS_GOOD;
}

// WRITE(6)/(10)/(16), failover mode 4: the range checked, the data not kept
// (the model's blocks always read as zeros).
int write(const UnitDef &u, const std::uint8_t *cdb, Reply &r) {
    std::uint64_t lba, count;
    if (cdb[0] == kWrite6) {
        lba = ((cdb[1] & 0x1Fu) << 16) | get_be16(cdb + 2);
        count = cdb[4] ? cdb[4] : 256;
    } else if (cdb[0] == kWrite10) {
        lba = get_be32(cdb + 2);
        count = get_be16(cdb + 7);
    } else {
        lba = get_be64(cdb + 2);
        count = get_be32(cdb + 10);
    }
    if (lba > u.blocks || count > u.blocks - lba)
        return r.check(kSenseKeyIllegalRequest, kAscLbaOutOfRange, 0);
    r.data_len = 0;
    return ZKSIM_STATUS_GOOD;
}

int report_luns(const std::uint8_t *cdb, Reply &r) {
    Writer w = r.data_writer(get_be32(cdb + 6));
    w.put_be32(8);  // one LUN, number 0
    w.put_zeros(12);
    return r.done(w);
}

// One group per SP, each with the SP's port; the group of this path's SP is
// active/optimized when this path's SP owns the unit, the other one then
// standby (and the other way round). In failover mode 4 the other group is
// active/non-optimized instead, and the LUN's default SP's group is marked
// preferred.
int report_target_port_groups(const zksim_unit &unit, const std::uint8_t *cdb, Reply &r) {
    const UnitDef &u = unit.def;
    bool extended = (cdb[1] >> 5) == 1;
    Writer w = r.data_writer(get_be32(cdb + 6));
    w.put_be32(0);  // return data length, patched below
    if (extended) {
        w.put(0x10);  // format: extended header
        w.put_zeros(3);
    }
    bool this_sp_owns = unit.owns();
    std::uint8_t other_sp = u.sp == 0 ? 1 : 0;
    for (std::uint8_t sp : {std::min(u.sp, other_sp), std::max(u.sp, other_sp)}) {
        bool active = (sp == u.sp) == this_sp_owns;
        if (unit.alua()) {
            std::uint8_t pref = sp == unit.lun->default_sp ? kAluaPreferred : 0;
            w.put(static_cast<std::uint8_t>(pref | (active ? kAluaActiveOptimized : kAluaActiveNonOptimized)));
            w.put(kAluaSupportedStatesMode4);
        } else {
            w.put(active ? kAluaActiveOptimized : kAluaStandby);
            w.put(kAluaSupportedStates);
        }
        w.put_be16(target_port_group(sp));
        w.put(0);
        w.put(0);  // status code
        w.put(0);
        w.put(1);  // one target port
        w.put_be16(0);
        w.put_be16(relative_target_port(sp));
    }
    std::uint32_t length = static_cast<std::uint32_t>(w.size() - 4);
    w.put_be16_at(0, length >> 16);
    w.put_be16_at(2, length);
    return r.done(w);
}

// The data-out a command came with.
struct DataOut {
    const std::uint8_t *bytes;
    std::size_t length;
};

// MODE SELECT(6)/(10): a parameter list of header, block descriptors and
// pages, of which only the trespass page (0x22) is taken. Its page length
// is 2 (short form) or 9 (long form); byte 3 of the short form names the
// LUN (0xFF: the addressed one). Each accepted page makes this path's SP
// the LUN's owner, unless an operation is in progress (02/04/07). PF set
// or clear, auto-trespass on or off: both are taken.
int mode_select(const zksim_unit &unit, const std::uint8_t *cdb, bool ten, DataOut out, Reply &r) {
    if (cdb[1] & 0x01) return r.invalid_field(1);  // saving pages
    std::size_t length = ten ? get_be16(cdb + 7) : cdb[4];
    if (length == 0) return ZKSIM_STATUS_GOOD;
    std::size_t header = ten ? 8 : 4;
    if (out.length < length || length < header)
        return r.check(kSenseKeyIllegalRequest, kAscParameterListLength, 0);
    const std::uint8_t *p = out.bytes;
    std::size_t at = header + (ten ? get_be16(p + 6) : p[3]);
    if (at > length) return r.check(kSenseKeyIllegalRequest, kAscParameterListLength, 0);
    int trespasses = 0;
    while (at < length) {
        if (length - at < 2) return r.check(kSenseKeyIllegalRequest, kAscParameterListLength, 0);
        std::uint8_t code = p[at];
        std::size_t page_length = p[at + 1];
        if ((code & 0x7F) != kModePageTrespass)  // PS may be set; SPF may not
            return r.check(kSenseKeyIllegalRequest, kAscInvalidFieldInParameterList, 0);
        if (length - at - 2 < page_length)
            return r.check(kSenseKeyIllegalRequest, kAscParameterListLength, 0);
        bool short_form = page_length == 2, long_form = page_length == 9;
        if (!short_form && !long_form)
            return r.check(kSenseKeyIllegalRequest, kAscInvalidFieldInParameterList, 0);
        if (short_form && p[at + 3] != 0xFF && p[at + 3] != unit.def.lun)
            return r.check(kSenseKeyIllegalRequest, kAscInvalidFieldInParameterList, 0);
        ++trespasses;
        at += 2 + page_length;
    }
    if (trespasses == 0) return ZKSIM_STATUS_GOOD;
    if (unit.lun->in_progress.load())
        return r.check(kSenseKeyNotReady, kAscNotReady, kAscqOperationInProgress);
    unit.lun->move_to(unit.def.sp);
    return ZKSIM_STATUS_GOOD;
}

// SET TARGET PORT GROUPS (failover mode 4, explicit support): a header of
// 4 bytes, then 4-byte descriptors (access state, group). A group set
// active/optimized moves the LUN to its SP; set active/non-optimized or
// standby, to the other SP; the last descriptor wins. Other states, or a
// group of neither SP: 05/26/00; a list not a header and whole
// descriptors: 05/1A/00; while an operation is in progress: 02/04/07.
int set_target_port_groups(const zksim_unit &unit, const std::uint8_t *cdb, DataOut out, Reply &r) {
    std::size_t length = get_be32(cdb + 6);
    if (length == 0) return ZKSIM_STATUS_GOOD;
    if (out.length < length || length < 4 || (length - 4) % 4 != 0)
        return r.check(kSenseKeyIllegalRequest, kAscParameterListLength, 0);
    int owner = -1;
    for (std::size_t at = 4; at < length; at += 4) {
        std::uint8_t state = out.bytes[at] & 0x0F;
        std::uint16_t group = get_be16(out.bytes + at + 2);
        if (group != target_port_group(0) && group != target_port_group(1))
            return r.check(kSenseKeyIllegalRequest, kAscInvalidFieldInParameterList, 0);
        std::uint8_t sp = static_cast<std::uint8_t>(group - target_port_group(0));
        if (state == kAluaActiveOptimized)
            owner = sp;
        else if (state == kAluaActiveNonOptimized || state == kAluaStandby)
            owner = 1 - sp;
        else
            return r.check(kSenseKeyIllegalRequest, kAscInvalidFieldInParameterList, 0);
    }
    if (owner < 0) return ZKSIM_STATUS_GOOD;
    if (unit.lun->in_progress.load())
        return r.check(kSenseKeyNotReady, kAscNotReady, kAscqOperationInProgress);
    unit.lun->move_to(owner);
    return ZKSIM_STATUS_GOOD;
}

// A read or write in failover mode 4: served by any path. It weighs toward
// the array's implicit trespass: one up through the SP not owning the LUN,
// one down (not below zero) through the owner; at implicit_trespass the LUN
// moves to this path's SP. I/O mostly through the other SP moves it, even
// with some through the owner (a path checker's reads) in between.
void count_alua_io(const zksim_unit &unit) {
    zksim::LunState &lun = *unit.lun;
    std::uint32_t threshold = unit.def.implicit_trespass;
    if (threshold == 0) return;
    if (!unit.passive()) {
        std::uint32_t n = lun.foreign_io.load();
        while (n > 0 && !lun.foreign_io.compare_exchange_weak(n, n - 1)) {
        }
        return;
    }
    if (lun.foreign_io.fetch_add(1) + 1 >= threshold) lun.move_to(unit.def.sp);
}

std::size_t cdb_length_for(std::uint8_t opcode) {
    switch (opcode >> 5) {
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 6;
    }
}

bool is_read_or_write(std::uint8_t opcode) {
    switch (opcode) {
    case kRead6: case kRead10: case kRead16:
    case kWrite6: case kWrite10: case kWrite16:
        return true;
    default:
        return false;
    }
}

int answer(const zksim_unit &unit, const std::uint8_t *cdb, std::size_t cdb_len, DataOut out,
           Reply &r) {
    const UnitDef &u = unit.def;
    if (cdb_len == 0 || cdb_len < cdb_length_for(cdb[0])) return r.invalid_opcode();
    // Media access through the SP that does not own the LUN: refused in
    // active/passive modes, forwarded in ALUA mode; everything else (claims
    // included) is answered there too.
    if (is_read_or_write(cdb[0])) {
        if (unit.alua())
            count_alua_io(unit);
        else if (unit.passive())
            return r.check(kSenseKeyNotReady, kAscNotReady, kAscqManualIntervention);
    }
    switch (cdb[0]) {
    case kTestUnitReady:
    case kStartStopUnit:
    case kSynchronizeCache10:
        return ZKSIM_STATUS_GOOD;
    case kRequestSense:
        return request_sense(cdb, r);
    case kInquiry:
        return inquiry(unit, cdb, r);
    case kModeSense6:
        return mode_sense(unit, cdb, false, r);
    case kModeSense10:
        return mode_sense(unit, cdb, true, r);
    case kModeSelect6:
        return mode_select(unit, cdb, false, out, r);
    case kModeSelect10:
        return mode_select(unit, cdb, true, out, r);
    case kReadCapacity10:
        return read_capacity10(u, r);
    case kServiceActionIn16:
        if ((cdb[1] & 0x1F) != kReadCapacity16Action) return r.invalid_field(1);
        return read_capacity16(u, cdb, r);
    case kRead6: {
        std::uint64_t lba = ((cdb[1] & 0x1Fu) << 16) | get_be16(cdb + 2);
        return read(u, lba, cdb[4] ? cdb[4] : 256, r);
    }
    case kRead10:
        return read(u, get_be32(cdb + 2), get_be16(cdb + 7), r);
    case kRead16:
        return read(u, get_be64(cdb + 2), get_be32(cdb + 10), r);
    case kWrite6:
    case kWrite10:
    case kWrite16:
        if (!unit.alua()) return r.invalid_opcode();
        return write(u, cdb, r);
    case kReportLuns:
        return report_luns(cdb, r);
    case kMaintenanceIn:
        if ((cdb[1] & 0x1F) != kReportTargetPortGroupsAction) return r.invalid_field(1);
        return report_target_port_groups(unit, cdb, r);
    case kMaintenanceOut:
        if (!unit.alua() || !(unit.tpgs() & kTpgsExplicit)) return r.invalid_opcode();
        if ((cdb[1] & 0x1F) != kSetTargetPortGroupsAction) return r.invalid_field(1);
        return set_target_port_groups(unit, cdb, out, r);
    default:
        return r.invalid_opcode();
    }
}

}  // namespace
}  // namespace zksim

// Builds nothing on the heap: a program that fails its allocations on
// purpose sees none from the simulator once its units are loaded.
extern "C" int zksim_unit_execute(const struct zksim_unit *unit, const unsigned char *cdb,
                                  size_t cdb_len, const unsigned char *data_out,
                                  size_t data_out_len, unsigned char *data, size_t data_cap,
                                  size_t *data_len, unsigned char *sense, size_t sense_cap,
                                  size_t *sense_len) {
    zksim::Reply r{data, data ? data_cap : 0, sense, sense ? sense_cap : 0};
    int status;
    if (!unit)
        status = r.check(zksim::kSenseKeyIllegalRequest, zksim::kAscLogicalUnitNotSupported, 0);
    else if (!cdb)
        status = r.invalid_opcode();
    else
        status = zksim::answer(*unit, cdb, cdb_len,
                               zksim::DataOut{data_out, data_out ? data_out_len : 0}, r);
    if (data_len) *data_len = r.data_len;
    if (sense_len) *sense_len = r.sense_len;
    return status;
}

extern "C" int zksim_unit_respond(const struct zksim_unit *unit, const unsigned char *cdb,
                                  size_t cdb_len, unsigned char *data, size_t data_cap,
                                  size_t *data_len, unsigned char *sense, size_t sense_cap,
                                  size_t *sense_len) {
    return zksim_unit_execute(unit, cdb, cdb_len, nullptr, 0, data, data_cap, data_len, sense,
                              sense_cap, sense_len);
}

extern "C" int zksim_unit_owner(const struct zksim_unit *unit) {
    return unit ? unit->lun->owner_sp.load() : -1;
}

extern "C" int zksim_unit_trespass(const struct zksim_unit *unit, int sp) {
    if (!unit || sp < 0 || sp > 255) return -1;
    unit->lun->move_to(sp);
    return 0;
}

extern "C" int zksim_unit_set_in_progress(const struct zksim_unit *unit, int on) {
    if (!unit) return -1;
    unit->lun->in_progress.store(on != 0);
    return 0;
}
