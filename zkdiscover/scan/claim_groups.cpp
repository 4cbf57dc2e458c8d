#include "claim_groups.h"

#include <map>
#include <utility>

namespace zkd {

bool in_group(const DeviceResult &d, Outcome group)
{
    if (group == Outcome::Unreadable)
        return d.outcome == Outcome::Unreadable || d.outcome == Outcome::Skipped;
    return d.outcome == group;
}

size_t count_in(const std::vector<DeviceResult> &results, Outcome group)
{
    size_t n = 0;
    for (const DeviceResult &d : results)
        n += in_group(d, group);
    return n;
}

std::string_view property_or_empty(const DeviceResult &d, const char *name)
{
    const char *v = find_property(d, name);
    return v ? std::string_view(v) : std::string_view();
}

std::vector<ArrayView> group_claims(const std::vector<DeviceResult> &results)
{
    std::vector<ArrayView> arrays;
    std::map<std::string_view, size_t> array_index;
    std::map<std::pair<std::string_view, std::string_view>, size_t> lun_index;

    for (const DeviceResult &d : results) {
        if (d.outcome != Outcome::Claimed)
            continue;
        std::string_view cab = property_or_empty(d, "CAB_SERIAL_NO");
        std::string_view lun = property_or_empty(d, "LUN_SERIAL_NO");
        auto a = array_index.find(cab);
        if (a == array_index.end()) {
            a = array_index.emplace(cab, arrays.size()).first;
            arrays.push_back({cab, {}, 0});
        }
        ArrayView &array = arrays[a->second];
        auto key = std::make_pair(cab, lun);
        auto l = lun_index.find(key);
        if (l == lun_index.end()) {
            l = lun_index.emplace(key, array.luns.size()).first;
            array.luns.push_back({lun, property_or_empty(d, "REVISION"),
                                  property_or_empty(d, "SCSI_VERSION"), {}});
        }
        PathView path;
        path.device = &d;
        path.port_serial = property_or_empty(d, "PORT_SERIAL_NO");
        // The port serial is the cabinet serial's first word plus the SP's
        // letter.
        path.sp = path.port_serial.empty() ? std::string_view("?")
                                           : path.port_serial.substr(path.port_serial.size() - 1);
        path.owner = property_or_empty(d, "LUN_OWNER") == "Y";
        array.luns[l->second].paths.push_back(path);
        ++array.path_count;
    }
    return arrays;
}

}  // namespace zkd
