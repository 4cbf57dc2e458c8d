// Beside the library's claims, two more views of a path: the kernel's (its
// device handler's state in sysfs) and the array's own (the unit path
// report, VPD page 0xC0). Reading them never fails a scan: what cannot be
// read is "unknown".
#ifndef ZKDISCOVER_KERNEL_VIEW_H
#define ZKDISCOVER_KERNEL_VIEW_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace zkd {

struct DeviceResult;
struct HostLibrary;
struct LunView;

// The SCSI device's attributes under SYSFS/bus/scsi/devices/ADDRESS.
struct KernelPathState {
    bool read = false;         // looked for (a real device with an address)
    std::string handler;       // dh_state: "emc", "detached", ... or "unknown"
    std::string access;        // access_state, or "unknown"
    bool preferred = false;    // preferred_path reads 1

    // "kernel emc active/optimized preferred", "kernel detached", ...
    std::string text() const;
    // The kernel routes I/O here: +1 active, 0 standby or other, -1 unknown.
    int active() const;
};

// VPD 0xC0 as this path's SP answers it.
struct UnitPathReport {
    bool read = false;         // answered and decoded
    int lun_state = -1;        // 0 not bound, 1 bound, 2 owned by this SP
    int default_sp = -1;       // 0 A, 1 B
    int this_sp = -1;
    bool in_progress = false;
};

struct KernelView {
    KernelPathState kernel;
    UnitPathReport report;
};

KernelPathState read_kernel_state(const std::string &sysfs_root, const std::string &address);
// Decodes a unit path report; false (nothing set) when it is not one.
bool parse_unit_path_report(const std::vector<unsigned char> &page, UnitPathReport &out);

// Fills each claimed device's views: VPD 0xC0 through the library, and
// the kernel's from sysfs under sysfs_root when sysfs gave its address.
// Real devices only: a capture records neither, so a replay leaves them out.
void read_views(const HostLibrary &library, std::vector<DeviceResult> &results,
                const std::string &sysfs_root = "/sys");
// The same for one device (the scan reads them within its deadline).
void read_device_views(const HostLibrary &library, DeviceResult &d,
                       const std::string &sysfs_root = "/sys");

// Rendering. A path's suffix in the tree ("  kernel emc standby", then
// "  DISAGREE" when the views differ), the LUN's ("  trespassed (default
// SP B)"), the --explain line naming what each view said (empty when
// they agree), the JSON members and the export lines.
std::string path_views_text(const DeviceResult &d);
std::string lun_views_text(const LunView &lun);
std::string disagreement_text(const DeviceResult &d);
void add_views_json(nlohmann::ordered_json &path, const DeviceResult &d);
void add_lun_views_json(nlohmann::ordered_json &lun, const LunView &view);
std::string views_export(const DeviceResult &d);

}  // namespace zkd

#endif
