// The multipath layer's view of a path: the device-mapper multipath map
// that holds the path's block device (sysfs: block/sdX/holders/dm-N), the
// path group it is in and dm's state of the path and of the group, from
// the map's status read from the kernel (DM_TABLE_STATUS on
// /dev/mapper/control; needs CAP_SYS_ADMIN). Never fails a scan: what
// cannot be read is "unknown", a path in no map "none".
#ifndef ZKDISCOVER_DM_VIEW_H
#define ZKDISCOVER_DM_VIEW_H

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zkd {

struct DeviceResult;

// dm's state of a path (active, failed) or of a path group (active: I/O
// goes there, enabled: a candidate, disabled: bypassed after failures).
enum class DmState : unsigned char { None, Unknown, Active, Failed, Enabled, Disabled };

const char *dm_state_name(DmState state);

struct DmPathState {
    bool read = false;                 // looked for (a real device with an address)
    std::string map;                   // the map's name, "" when in none
    int group = 0;                     // 1-based path group, 0 when not known
    DmState path = DmState::None;
    DmState group_state = DmState::None;
};

// The multipath target's status line, as the kernel writes it:
//   <#features> <feature>... <#handler args> <arg>...
//   <#groups> <next group>
//   per group: <A|E|D> <#selector args> <arg>... <#paths> <#path args>
//     per path: <major:minor> <A|F> <fail count> <path arg>...
struct DmPathStatus {
    std::string device;     // major:minor
    bool active = false;    // A, not F
    unsigned fail_count = 0;
};
struct DmGroupStatus {
    DmState state = DmState::Unknown;
    std::vector<DmPathStatus> paths;
};
// False (groups emptied) when the line is not such a status.
bool parse_multipath_status(std::string_view status, std::vector<DmGroupStatus> &groups);

// Reads a dm device's first target, by its device number ("253:0"): its
// type and status line; false when it cannot be read.
using DmStatusReader =
    std::function<bool(const std::string &device, std::string &target_type, std::string &status)>;
// The kernel's, through DM_TABLE_STATUS on control (opened once per call).
bool read_dm_status(const std::string &control, const std::string &device,
                    std::string &target_type, std::string &status);

// The maps of one scan, each read once however many paths it holds.
class DmMaps {
public:
    DmMaps(std::string sysfs_root, DmStatusReader reader)
        : sysfs_(std::move(sysfs_root)), reader_(std::move(reader)) {}
    // The view of the SCSI device at address (host:channel:target:lun).
    DmPathState path_state(const std::string &address);

private:
    struct Map {
        bool multipath = false;       // its uuid says mpath-, or its target is multipath
        std::string name;
        bool status_read = false;
        std::vector<DmGroupStatus> groups;
    };
    const Map &map_of(const std::string &holder);

    std::string sysfs_;
    DmStatusReader reader_;
    std::map<std::string, Map> maps_;
};

// Fills each claimed device's multipath view, devices with an address only
// (real devices: a capture records none, so a replay leaves it out).
void read_dm_views(std::vector<DeviceResult> &results, const std::string &sysfs_root = "/sys",
                   const std::string &control = "/dev/mapper/control");

// Rendering: the tree's suffix ("  dm mpatha group 1 active, path active",
// "  dm none"), the JSON member "dm", the export lines.
std::string dm_view_text(const DeviceResult &d);
void add_dm_json(nlohmann::ordered_json &path, const DeviceResult &d);
std::string dm_view_export(const DeviceResult &d);

}  // namespace zkd

#endif
