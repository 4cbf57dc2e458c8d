#include "not_answering.h"

#include "claim_groups.h"
#include "kernel_view.h"
#include "text_escape.h"

#include <fstream>
#include <iterator>
#include <map>
#include <utility>

namespace zkd {

namespace {

// Where the library finds the LUN serial (Device Identification page: the
// first identifier's 16 bytes) and the cabinet serial (Unit Serial Number
// page: its payload), and the longest text either becomes.
constexpr size_t kLunIdentifierOffset = 8;
constexpr int kLunIdentifierLength = 16;
constexpr size_t kUnitSerialOffset = 4;
constexpr int kSerialSize = 33;

std::vector<unsigned char> read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

std::string identifier(IdentifierText text, const unsigned char *bytes, int count)
{
    char out[kSerialSize] = "";
    return text(out, bytes, count, kSerialSize) == 0 ? out : "";
}

// The LUN identity the kernel read from the device at attach time.
void from_kernel(IdentifierText text, const std::string &dir, std::string &array,
                 std::string &lun)
{
    std::vector<unsigned char> pg83 = read_bytes(dir + "vpd_pg83");
    if (pg83.size() >= kLunIdentifierOffset + kLunIdentifierLength)
        lun = identifier(text, pg83.data() + kLunIdentifierOffset, kLunIdentifierLength);
    std::vector<unsigned char> pg80 = read_bytes(dir + "vpd_pg80");
    if (pg80.size() >= kUnitSerialOffset && pg80.size() >= kUnitSerialOffset + pg80[3])
        array = identifier(text, pg80.data() + kUnitSerialOffset, pg80[3]);
}

std::string other_sp(const std::string &sp) { return sp == "A" ? "B" : sp == "B" ? "A" : ""; }

}  // namespace

void attribute_paths(std::vector<DeviceResult> &results, const std::string &sysfs_root,
                     IdentifierText text, const EarlierLookup &earlier)
{
    // The SP that owns each LUN, as its claimed paths say.
    std::map<std::pair<std::string, std::string>, std::string> owners;
    for (const ArrayView &array : group_claims(results))
        for (const LunView &lun : array.luns)
            for (const PathView &p : lun.paths)
                if (p.owner)
                    owners[{std::string(array.cabinet_serial), std::string(lun.lun_serial)}] =
                        std::string(p.sp);

    for (DeviceResult &d : results) {
        if (d.outcome != Outcome::NotAnswering)
            continue;
        std::string array, lun, sp, from;
        bool kernel = !sysfs_root.empty() && !d.scsi_address.empty() && text != nullptr;
        std::string dir = sysfs_root + "/bus/scsi/devices/" + d.scsi_address + "/";
        if (kernel) {
            from_kernel(text, dir, array, lun);
            if (!array.empty() || !lun.empty())
                from = "kernel";
        }
        EarlierPath e;
        if (earlier && earlier(d.path, e) && (lun.empty() || e.lun == lun) &&
            (array.empty() || e.array == array)) {
            array = e.array;
            lun = e.lun;
            sp = e.sp;
            from += from.empty() ? "earlier scan" : ", earlier scan";
        }
        if (sp.empty() && kernel && !lun.empty()) {
            auto owner = owners.find({array, lun});
            int active = read_kernel_state(sysfs_root, d.scsi_address).active();
            if (owner != owners.end() && active >= 0) {
                sp = active == 1 ? owner->second : other_sp(owner->second);
                if (!sp.empty() && from.find("kernel") == std::string::npos)
                    from = from.empty() ? "kernel" : "kernel, " + from;
            }
        }
        d.properties = PropertyList();
        if (!array.empty())
            d.properties.add("CAB_SERIAL_NO", array);
        if (!lun.empty())
            d.properties.add("LUN_SERIAL_NO", lun);
        if (!sp.empty())
            d.properties.add("SP", sp);
        if (!from.empty())
            d.properties.add("KNOWN_FROM", from);
    }
}

std::string attribution_text(const DeviceResult &d)
{
    const char *lun = find_property(d, "LUN_SERIAL_NO");
    const char *array = find_property(d, "CAB_SERIAL_NO");
    const char *sp = find_property(d, "SP");
    const char *from = find_property(d, "KNOWN_FROM");
    if (!lun && !array && !sp)
        return "";
    std::string out;
    if (lun)
        out += "LUN " + escape_text(lun);
    if (array)
        out += std::string(out.empty() ? "" : " of ") + "array " + escape_text(array);
    if (sp)
        out += std::string(out.empty() ? "" : " ") + "through SP " + escape_text(sp);
    if (from) {
        std::string sources = from;
        size_t comma = sources.find(", ");
        if (comma != std::string::npos)
            sources.replace(comma, 2, " and the ");
        out += " (known from the " + sources + ")";
    }
    return out;
}

}  // namespace zkd
