// The logical-unit model: answers one CDB the way a unit of the array would.
// Transport-independent; faults are applied by the transports.
#include "zksim_internal.h"

#include <algorithm>
#include <cstring>

namespace zksim {
namespace {

// Operation codes.
constexpr std::uint8_t kTestUnitReady = 0x00;
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

// Vital product data pages.
constexpr std::uint8_t kVpdSupportedPages = 0x00;
constexpr std::uint8_t kVpdUnitSerial = 0x80;
constexpr std::uint8_t kVpdDeviceIdentification = 0x83;

// Mode pages.
constexpr std::uint8_t kModePageCaching = 0x08;
constexpr std::uint8_t kModePageControl = 0x0A;
constexpr std::uint8_t kModePageSpReport = 0x26;
constexpr std::uint8_t kModePageUnitConfig = 0x2B;
constexpr std::uint8_t kModePageAll = 0x3F;
constexpr std::uint8_t kModeSubpageAll = 0xFF;
constexpr std::uint8_t kPageControlChangeable = 1;
constexpr std::uint8_t kPageControlSaved = 3;

// Sense.
constexpr std::uint8_t kFixedSenseCurrent = 0x70;
constexpr std::uint8_t kDescriptorSenseCurrent = 0x72;
constexpr std::uint8_t kSenseKeyHardwareError = 0x04;
constexpr std::uint8_t kSenseKeyIllegalRequest = 0x05;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr std::uint8_t kAscSavingParametersNotSupported = 0x39;
constexpr std::uint8_t kAscInternalTargetFailure = 0x44;
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
constexpr std::uint8_t kAluaStandby = 0x2;
constexpr std::uint8_t kAluaSupportedStates = 0x05;  // S_SUP | AO_SUP

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
void put_be24(std::uint8_t *p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 16);
    put_be16(p + 1, v);
}
void put_be32(std::uint8_t *p, std::uint32_t v) {
    put_be16(p, v >> 16);
    put_be16(p + 2, v);
}
void put_be64(std::uint8_t *p, std::uint64_t v) {
    put_be32(p, static_cast<std::uint32_t>(v >> 32));
    put_be32(p + 4, static_cast<std::uint32_t>(v));
}

void append_be16(Bytes &b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

// The answer to one command before the transfer is cut to size.
struct Answer {
    int status = ZKSIM_STATUS_GOOD;
    Bytes data;
    std::size_t allocation_length = 0;
    Bytes sense;
    // READ commands answer this many zero bytes instead of data.
    std::uint64_t zero_bytes = 0;
    bool zeros = false;
};

Answer check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, int field_byte = -1) {
    Answer a;
    a.status = ZKSIM_STATUS_CHECK_CONDITION;
    a.sense.assign(kFixedSenseLength, 0);
    a.sense[0] = kFixedSenseCurrent;
    a.sense[2] = key;
    a.sense[7] = kFixedSenseLength - 8;
    a.sense[12] = asc;
    a.sense[13] = ascq;
    if (field_byte >= 0) {
        a.sense[15] = 0xC0;  // SKSV, and the field is in the CDB
        put_be16(&a.sense[16], static_cast<std::uint32_t>(field_byte));
    }
    return a;
}

Answer invalid_field(int byte) { return check(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb, 0, byte); }
Answer invalid_opcode() { return check(kSenseKeyIllegalRequest, kAscInvalidOpcode, 0, 0); }

Answer data(Bytes bytes, std::size_t allocation_length) {
    Answer a;
    a.data = std::move(bytes);
    a.allocation_length = allocation_length;
    return a;
}

void put_padded(Bytes &b, std::size_t at, std::size_t width, const std::string &text) {
    for (std::size_t k = 0; k < width; ++k)
        b[at + k] = k < text.size() ? static_cast<std::uint8_t>(text[k]) : ' ';
}

Bytes standard_inquiry(const UnitSpec &u) {
    constexpr std::size_t kLength = 96;
    Bytes d(kLength, 0);
    d[0] = u.device_type;
    d[2] = u.version;
    d[3] = 0x02;  // response data format 2
    d[4] = kLength - 5;
    d[5] = static_cast<std::uint8_t>(u.tpgs << 4);
    d[7] = 0x02;  // command queueing
    put_padded(d, 8, 8, u.vendor);
    put_padded(d, 16, 16, u.product);
    put_padded(d, 32, 4, u.revision);
    put_be16(&d[58], 0x0300);  // version descriptors: SPC-3, SBC-2
    put_be16(&d[60], 0x0320);
    return d;
}

void append_designator(Bytes &page, std::uint8_t code_set, std::uint8_t type_and_association,
                       const Bytes &identifier) {
    page.push_back(code_set);
    page.push_back(type_and_association);
    page.push_back(0);
    page.push_back(static_cast<std::uint8_t>(identifier.size()));
    page.insert(page.end(), identifier.begin(), identifier.end());
}

std::uint16_t target_port_group(std::uint8_t sp) { return static_cast<std::uint16_t>(sp + 1); }
std::uint16_t relative_target_port(std::uint8_t sp) { return static_cast<std::uint16_t>(sp + 1); }

// Layout: the 16-byte identifier at bytes 8-23, two vendor-specific
// designators whose identifiers start at bytes 28 (VLU) and 36 (LU), then
// the relative target port and target port group designators.
Bytes device_identification_page(const UnitSpec &u) {
    Bytes d = {u.device_type, kVpdDeviceIdentification, 0, 0};
    const Bytes &id = u.lun_id;
    bool naa = !id.empty() && (id[0] >> 4) >= 2 && (id[0] >> 4) <= 6;
    bool printable = std::all_of(id.begin(), id.end(), [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
    if (naa)
        append_designator(d, kCodeSetBinary, kDesignatorNaa, id);
    else
        append_designator(d, printable ? kCodeSetAscii : kCodeSetBinary, kDesignatorVendorSpecific, id);
    append_designator(d, kCodeSetBinary, kDesignatorVendorSpecific,
                      {static_cast<std::uint8_t>(u.vlu >> 8), static_cast<std::uint8_t>(u.vlu), 0, 0});
    append_designator(d, kCodeSetBinary, kDesignatorVendorSpecific,
                      {static_cast<std::uint8_t>(u.lu >> 8), static_cast<std::uint8_t>(u.lu), 0, 0});
    std::uint16_t port = relative_target_port(u.sp);
    std::uint16_t group = target_port_group(u.sp);
    append_designator(d, kCodeSetBinary, kAssociationTargetPort | kDesignatorRelativeTargetPort,
                      {0, 0, static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)});
    append_designator(d, kCodeSetBinary, kAssociationTargetPort | kDesignatorTargetPortGroup,
                      {0, 0, static_cast<std::uint8_t>(group >> 8), static_cast<std::uint8_t>(group)});
    put_be16(&d[2], static_cast<std::uint32_t>(d.size() - 4));
    return d;
}

Answer inquiry(const UnitSpec &u, const std::uint8_t *cdb) {
    std::size_t alloc = get_be16(cdb + 3);
    if (cdb[1] & 0x02) return invalid_field(1);  // CmdDt is obsolete
    if (!(cdb[1] & 0x01)) {
        if (cdb[2] != 0) return invalid_field(2);
        return data(u.inquiry_raw ? *u.inquiry_raw : standard_inquiry(u), alloc);
    }
    std::uint8_t page = cdb[2];
    auto raw = u.vpd_raw.find(page);
    if (raw != u.vpd_raw.end()) return data(raw->second, alloc);
    switch (page) {
    case kVpdSupportedPages: {
        Bytes list = {kVpdSupportedPages, kVpdUnitSerial, kVpdDeviceIdentification};
        for (const auto &entry : u.vpd_raw) list.push_back(entry.first);
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
        Bytes d = {u.device_type, kVpdSupportedPages, 0, static_cast<std::uint8_t>(list.size())};
        d.insert(d.end(), list.begin(), list.end());
        return data(std::move(d), alloc);
    }
    case kVpdUnitSerial: {
        Bytes d = {u.device_type, kVpdUnitSerial, 0, 0};
        put_be16(&d[2], static_cast<std::uint32_t>(u.cab_serial.size()));
        d.insert(d.end(), u.cab_serial.begin(), u.cab_serial.end());
        return data(std::move(d), alloc);
    }
    case kVpdDeviceIdentification:
        return data(device_identification_page(u), alloc);
    default:
        return invalid_field(2);
    }
}

// One mode page with current values (page code byte, page length byte,
// payload).
Bytes mode_page(const UnitSpec &u, std::uint8_t code) {
    Bytes p;
    switch (code) {
    case kModePageCaching:
        p.assign(20, 0);  // write cache off, read cache on
        break;
    case kModePageControl:
        p.assign(12, 0);
        p[2] = 0x02;                // GLTSD
        put_be16(&p[8], 0xFFFF);    // busy timeout: unlimited
        break;
    case kModePageSpReport:
        p.assign(20, 0);
        p[3] = u.sp;
        put_be32(&p[4], u.model);
        break;
    case kModePageUnitConfig:
        p.assign(20, 0);
        p[2] = u.lun;
        p[4] = u.unit_flags;
        p[10] = u.owner;
        break;
    default:
        return p;
    }
    p[0] = code;
    p[1] = static_cast<std::uint8_t>(p.size() - 2);
    return p;
}

constexpr std::uint8_t kModelledModePages[] = {kModePageCaching, kModePageControl,
                                               kModePageSpReport, kModePageUnitConfig};

// A raw MODE SENSE(6) response turned into the MODE SENSE(10) layout:
// same block descriptors and pages behind the longer header.
Bytes mode6_to_mode10(const Bytes &raw) {
    std::size_t bd = raw.size() > 3 ? std::min<std::size_t>(raw[3], raw.size() - 4) : 0;
    Bytes d(8, 0);
    if (raw.size() > 1) d[2] = raw[1];
    if (raw.size() > 2) d[3] = raw[2];
    put_be16(&d[6], static_cast<std::uint32_t>(bd));
    if (raw.size() > 4) d.insert(d.end(), raw.begin() + 4, raw.end());
    put_be16(&d[0], static_cast<std::uint32_t>(d.size() - 2));
    return d;
}

Answer mode_sense(const UnitSpec &u, const std::uint8_t *cdb, bool ten) {
    bool dbd = cdb[1] & 0x08;
    bool long_lba = ten && (cdb[1] & 0x10);
    std::uint8_t pc = cdb[2] >> 6;
    std::uint8_t page = cdb[2] & 0x3F;
    std::uint8_t subpage = cdb[3];
    std::size_t alloc = ten ? get_be16(cdb + 7) : cdb[4];

    auto raw = u.mode_raw.find(page);
    if (raw != u.mode_raw.end()) return data(ten ? mode6_to_mode10(raw->second) : raw->second, alloc);

    if (pc == kPageControlSaved) return check(kSenseKeyIllegalRequest, kAscSavingParametersNotSupported, 0);
    if (subpage != 0 && !(page == kModePageAll && subpage == kModeSubpageAll)) return invalid_field(3);
    Bytes pages;
    for (std::uint8_t code : kModelledModePages) {
        if (page != kModePageAll && page != code) continue;
        Bytes p = mode_page(u, code);
        if (pc == kPageControlChangeable) std::fill(p.begin() + 2, p.end(), 0);
        pages.insert(pages.end(), p.begin(), p.end());
    }
    if (pages.empty()) return invalid_field(2);

    Bytes block_descriptor;
    if (!dbd) {
        if (long_lba) {
            block_descriptor.assign(16, 0);
            put_be64(&block_descriptor[0], u.blocks);
            put_be32(&block_descriptor[12], u.block_size);
        } else {
            block_descriptor.assign(8, 0);
            put_be24(&block_descriptor[1], static_cast<std::uint32_t>(std::min<std::uint64_t>(u.blocks, 0xFFFFFF)));
            put_be24(&block_descriptor[5], u.block_size);
        }
    }
    Bytes d(ten ? 8 : 4, 0);
    if (ten) {
        if (long_lba) d[4] = 0x01;
        put_be16(&d[6], static_cast<std::uint32_t>(block_descriptor.size()));
    } else {
        d[3] = static_cast<std::uint8_t>(block_descriptor.size());
    }
    d.insert(d.end(), block_descriptor.begin(), block_descriptor.end());
    d.insert(d.end(), pages.begin(), pages.end());
    if (ten) {
        put_be16(&d[0], static_cast<std::uint32_t>(d.size() - 2));
    } else {
        if (d.size() > 256) d.resize(256);
        d[0] = static_cast<std::uint8_t>(d.size() - 1);
    }
    return data(std::move(d), alloc);
}

Answer request_sense(const std::uint8_t *cdb) {
    bool descriptor_format = cdb[1] & 0x01;
    Bytes d;
    if (descriptor_format) {
        d.assign(8, 0);
        d[0] = kDescriptorSenseCurrent;
    } else {
        d.assign(kFixedSenseLength, 0);
        d[0] = kFixedSenseCurrent;
        d[7] = kFixedSenseLength - 8;
    }
    return data(std::move(d), cdb[4]);
}

Answer read_capacity10(const UnitSpec &u) {
    Bytes d(8, 0);
    std::uint64_t last = u.blocks - 1;
    put_be32(&d[0], last > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(last));
    put_be32(&d[4], u.block_size);
    return data(std::move(d), d.size());
}

Answer read_capacity16(const UnitSpec &u, const std::uint8_t *cdb) {
    Bytes d(32, 0);
    put_be64(&d[0], u.blocks - 1);
    put_be32(&d[8], u.block_size);
    return data(std::move(d), get_be32(cdb + 10));
}

Answer read(const UnitSpec &u, std::uint64_t lba, std::uint64_t count) {
    if (lba > u.blocks || count > u.blocks - lba) return check(kSenseKeyIllegalRequest, kAscLbaOutOfRange, 0);
    Answer a;
    a.zeros = true;
    a.zero_bytes = count * u.block_size;
    a.allocation_length = static_cast<std::size_t>(std::min<std::uint64_t>(a.zero_bytes, SIZE_MAX));
    return a;
}

Answer report_luns(const std::uint8_t *cdb) {
    Bytes d(16, 0);
    put_be32(&d[0], 8);  // one LUN, number 0
    return data(std::move(d), get_be32(cdb + 6));
}

// One group per SP, each with the SP's port; the group of this path's SP is
// active/optimized when this path's SP owns the unit, the other one then
// standby (and the other way round).
Answer report_target_port_groups(const UnitSpec &u, const std::uint8_t *cdb) {
    bool extended = (cdb[1] >> 5) == 1;
    Bytes d(extended ? 8 : 4, 0);
    if (extended) d[4] = 0x10;
    bool this_sp_owns = u.owner != 0;
    std::uint8_t other_sp = u.sp == 0 ? 1 : 0;
    for (std::uint8_t sp : {std::min(u.sp, other_sp), std::max(u.sp, other_sp)}) {
        bool active = (sp == u.sp) == this_sp_owns;
        d.push_back(active ? kAluaActiveOptimized : kAluaStandby);
        d.push_back(kAluaSupportedStates);
        append_be16(d, target_port_group(sp));
        d.push_back(0);
        d.push_back(0);  // status code
        d.push_back(0);
        d.push_back(1);  // one target port
        append_be16(d, 0);
        append_be16(d, relative_target_port(sp));
    }
    put_be32(&d[0], static_cast<std::uint32_t>(d.size() - 4));
    return data(std::move(d), get_be32(cdb + 6));
}

std::size_t cdb_length_for(std::uint8_t opcode) {
    switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 6;
    }
}

Answer answer(const UnitSpec &u, const std::uint8_t *cdb, std::size_t cdb_len) {
    if (cdb_len == 0) return invalid_opcode();
    if (cdb_len < cdb_length_for(cdb[0])) return invalid_opcode();
    switch (cdb[0]) {
    case kTestUnitReady:
    case kStartStopUnit:
    case kSynchronizeCache10:
        return Answer{};
    case kRequestSense:
        return request_sense(cdb);
    case kInquiry:
        return inquiry(u, cdb);
    case kModeSense6:
        return mode_sense(u, cdb, false);
    case kModeSense10:
        return mode_sense(u, cdb, true);
    case kReadCapacity10:
        return read_capacity10(u);
    case kServiceActionIn16:
        if ((cdb[1] & 0x1F) != kReadCapacity16Action) return invalid_field(1);
        return read_capacity16(u, cdb);
    case kRead6: {
        std::uint64_t lba = ((cdb[1] & 0x1Fu) << 16) | get_be16(cdb + 2);
        return read(u, lba, cdb[4] ? cdb[4] : 256);
    }
    case kRead10:
        return read(u, get_be32(cdb + 2), get_be16(cdb + 7));
    case kRead16:
        return read(u, get_be64(cdb + 2), get_be32(cdb + 10));
    case kReportLuns:
        return report_luns(cdb);
    case kMaintenanceIn:
        if ((cdb[1] & 0x1F) != kReportTargetPortGroupsAction) return invalid_field(1);
        return report_target_port_groups(u, cdb);
    default:
        return invalid_opcode();
    }
}

}  // namespace
}  // namespace zksim

extern "C" int zksim_unit_respond(const struct zksim_unit *unit, const unsigned char *cdb,
                                  size_t cdb_len, unsigned char *data, size_t data_cap,
                                  size_t *data_len, unsigned char *sense, size_t sense_cap,
                                  size_t *sense_len) {
    using namespace zksim;
    if (data_len) *data_len = 0;
    if (sense_len) *sense_len = 0;
    Answer a;
    try {
        a = answer(unit->spec, cdb, cdb_len);
    } catch (...) {
        a = check(kSenseKeyHardwareError, kAscInternalTargetFailure, 0);
    }
    if (a.status == ZKSIM_STATUS_GOOD) {
        std::size_t n;
        if (a.zeros) {
            n = static_cast<std::size_t>(std::min<std::uint64_t>(a.zero_bytes, data_cap));
            if (n) std::memset(data, 0, n);
        } else {
            n = std::min({a.data.size(), a.allocation_length, data_cap});
            if (n) std::memcpy(data, a.data.data(), n);
        }
        if (data_len) *data_len = n;
    } else {
        std::size_t n = std::min(a.sense.size(), sense_cap);
        if (n) std::memcpy(sense, a.sense.data(), n);
        if (sense_len) *sense_len = n;
    }
    return a.status;
}
