// Shared by the claim test programs: simulated units described as data,
// the host's INQUIRY data, and the property list as strings.
#ifndef ZK_TESTS_CLAIM_SUPPORT_H
#define ZK_TESTS_CLAIM_SUPPORT_H

#include "zkDGCclariion.h"
#include "zksim.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace claimtest {

constexpr const char *kDefaultPath = "/dev/zkclaim/c1t0d0s2";
// Sixteen identifier bytes that are not all printable: the LUN serial is
// then written as 32 hexadecimal digits.
constexpr const char *kBinaryLunId = "hex:60060160 1A2B3C4D 5E6F7081 92A3B4C5";
constexpr const char *kBinaryLunSerial = "600601601A2B3C4D5E6F708192A3B4C5";

// One simulated unit; the defaults make a unit the library claims.
struct UnitDef {
    std::string path = kDefaultPath;
    unsigned sp = 1;
    uint32_t model = 4700;
    unsigned lun = 3;
    unsigned flags = 0x48;  // COwn and auto-trespass
    unsigned owner = 1;
    unsigned vlu = 5;
    unsigned lu = 6;
    std::string cab_serial = "\"F1234567\"";  // description BYTES syntax
    std::string lun_id = kBinaryLunId;
    std::string extra;  // further description lines (faults, raw pages)

    std::string describe() const
    {
        char numbers[256];
        snprintf(numbers, sizeof numbers,
                 "  sp %u\n  model 0x%08X\n  lun %u\n  unit_flags 0x%02X\n"
                 "  owner %u\n  vlu %u\n  lu %u\n",
                 sp, static_cast<unsigned>(model), lun, flags, owner, vlu, lu);
        return "unit " + path + "\n  vendor \"DGC\"\n  revision \"0219\"\n" +
               numbers + "  cab_serial " + cab_serial + "\n  lun_id " +
               lun_id + "\n" + extra;
    }
};

// Replaces the simulator's configuration; returns the parse error, if any.
inline std::string load_units(const std::vector<UnitDef> &units)
{
    std::string text;
    for (const UnitDef &unit : units)
        text += unit.describe();
    char err[256] = "";
    if (zksim_load_text(text.c_str(), err, sizeof err) != 0)
        return err[0] ? err : "load failed";
    return "";
}

// The standard INQUIRY data the host read: vendor and revision blank
// padded, the version byte as given.
inline std::array<unsigned char, 36> make_inquiry(const char *vendor = "DGC",
                                                  const char *revision = "0219",
                                                  unsigned char version = 4)
{
    std::array<unsigned char, 36> inq{};
    inq[2] = version;
    inq[4] = 31;
    memset(&inq[8], ' ', 28);
    memcpy(&inq[8], vendor, strnlen(vendor, 8));
    memcpy(&inq[16], "RAID 5", 6);
    memcpy(&inq[32], revision, strnlen(revision, 4));
    return inq;
}

inline device_entry make_entry(const std::string &path,
                               const unsigned char *inquiry)
{
    device_entry entry;
    memset(&entry, 0, sizeof entry);
    snprintf(entry.path, sizeof entry.path, "%s", path.c_str());
    entry.inquiry = inquiry;
    return entry;
}

inline std::vector<std::string> list_strings(char *const *list)
{
    std::vector<std::string> out;
    for (; *list != nullptr; ++list)
        out.emplace_back(*list);
    return out;
}

// The list of the default unit claimed with the default INQUIRY data.
inline std::vector<std::string> default_list()
{
    return {"CAB_SERIAL_NO=F1234567",
            std::string("LUN_SERIAL_NO=") + kBinaryLunSerial,
            "REVISION=0219",
            "SCSI_VERSION=4",
            "LUN_OWNER=Y",
            "PORT_SERIAL_NO=F1234567B"};
}

// The trace of a claim of the default unit at kDefaultPath: each text
// handed to xDbgPrint, in order, with its level.
inline std::vector<std::pair<int, std::string>> default_claim_trace()
{
    const std::string p = kDefaultPath;
    return {{2, "\nclaim_device for " + p + "\n"},
            {2, "DGC inquiry match : trying to claim: " + p + "\n"},
            {2, "MODEL: [4700]\n"},
            {2, "claimed " + p + ": Lun:0x03  SP: 1  DOwn: 1  COwn: 1  SpMdl:4700  AT: 1\n"},
            {2, p + ": VLU: 0x05  LU: 0x06\n"},
            {2, "port SN: [8] F1234567B\n"},
            {2, std::string("LunSn: ") + kBinaryLunSerial + "  LunId:   3\n"},
            {2, "cab: F1234567  port: F1234567B  owner: Y  rev: 0219  scsi: 4\n"},
            {2, "\n"},
            {1, p + " : retval 0  "},
            {1, "(Claimed)\n"}};
}

// The default claim's trace as the log holds it.
inline std::string default_claim_log()
{
    std::string text;
    for (const auto &message : default_claim_trace())
        text += message.second;
    return text;
}

}  // namespace claimtest

#endif  // ZK_TESTS_CLAIM_SUPPORT_H
