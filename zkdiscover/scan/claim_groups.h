// Claimed devices seen as the arrays, LUNs and paths they make up: the
// grouping every view of a scan shares (the tree, the JSON report, the
// metrics, the comparison and the kernel's view of a LUN).
#ifndef ZKDISCOVER_CLAIM_GROUPS_H
#define ZKDISCOVER_CLAIM_GROUPS_H

#include "claims.h"

#include <string_view>
#include <vector>

namespace zkd {

// One path to a LUN. The views point into the results grouped, which
// must stay as they are while the grouping is used.
struct PathView {
    const DeviceResult *device;
    std::string_view sp;           // "A", "B", ... from the port serial's last letter
    std::string_view port_serial;
    bool owner;                    // LUN_OWNER=Y: this SP owns the LUN
};

struct LunView {
    std::string_view lun_serial;
    std::string_view revision;
    std::string_view scsi_version;
    std::vector<PathView> paths;
};

struct ArrayView {
    std::string_view cabinet_serial;
    std::vector<LunView> luns;
    size_t path_count = 0;
};

// Claimed devices grouped by cabinet serial, then LUN serial; arrays and
// LUNs in order of their first path, paths in device order.
std::vector<ArrayView> group_claims(const std::vector<DeviceResult> &results);

// Devices by outcome as the reports group them: Unreadable stands for
// every device not examined, the Skipped ones too.
bool in_group(const DeviceResult &d, Outcome group);
size_t count_in(const std::vector<DeviceResult> &results, Outcome group);

// The value of the claim's property name, "" when it has none.
std::string_view property_or_empty(const DeviceResult &d, const char *name);

}  // namespace zkd

#endif
