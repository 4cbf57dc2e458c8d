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
    bool read = false;         // looked for (sysfs by address, or the simulator had one)
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
    int failover_code = -1;    // byte 28 as read
    int failover_mode = -1;    // the mode it codes: 0, 1, 2 or 4; -1 another code
};

struct KernelView {
    KernelPathState kernel;
    UnitPathReport report;
};

// The state from the three attributes as read (dh_state, access_state,
// preferred_path), each "" when missing or unreadable.
KernelPathState kernel_state_from(std::string handler, std::string access,
                                  const std::string &preferred);
KernelPathState read_kernel_state(const std::string &sysfs_root, const std::string &address);
// Decodes a unit path report; false (nothing set) when it is not one.
bool parse_unit_path_report(const std::vector<unsigned char> &page, UnitPathReport &out);

// Where the scan finds the kernel's view of a claimed path: sysfs, by the
// SCSI address sysfs gave; under --simulate, the simulator's (a replayed
// capture holds the host's).
struct ViewSource {
    bool read = false;                 // read the views at all
    std::string sysfs_root = "/sys";
    // The simulated path's kernel view; false when it has none.
    bool (*simulated)(const std::string &path, KernelPathState &out) = nullptr;
};

// Fills a claimed device's views, as part of examining it: VPD 0xC0
// through the library (recorded with the claim's commands under
// --capture), then the kernel's.
void read_device_views(const HostLibrary &library, DeviceResult &d, const ViewSource &source);

// The states as the metrics name them: the kernel's (kKernelStates, "" for
// none of them) and the unit's for this path (kUnitStates).
extern const char *const kKernelStates[8];
extern const char *const kUnitStates[4];
const char *kernel_state_name(const KernelPathState &k);
const char *unit_state_name(const UnitPathReport &r);
// The library's owner flag, the unit's state and the kernel's access state
// say the same about whether the path's SP owns the LUN (a view that could
// not be read says nothing).
bool views_agree(const DeviceResult &d);
// The LUN's default SP (0 A, 1 B; -1 unknown) and whether an operation is
// in progress, as its paths' VPD 0xC0 tell.
int lun_default_sp(const LunView &lun);
bool lun_operation_in_progress(const LunView &lun);
// The LUN's failover mode as its paths' VPD 0xC0 tell (0, 1, 2 or 4);
// -1 when none could tell, the code is not one of those, or the paths
// differ (their initiators registered differently).
int lun_failover_mode(const LunView &lun);
extern const char *const kFailoverModes[5];  // the metrics' mode labels

// Rendering. A path's suffix in the tree ("  kernel emc standby", then
// "  DISAGREE" when the views differ), the LUN's ("  failover mode 1
// (PNR)  trespassed (default SP B)"), the --explain line naming what each
// view said (empty when they agree), the JSON members and the export lines.
std::string path_views_text(const DeviceResult &d);
std::string lun_views_text(const LunView &lun);
std::string disagreement_text(const DeviceResult &d);
void add_views_json(nlohmann::ordered_json &path, const DeviceResult &d);
void add_lun_views_json(nlohmann::ordered_json &lun, const LunView &view);
std::string views_export(const DeviceResult &d);

}  // namespace zkd

#endif
