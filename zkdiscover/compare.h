// --compare: what changed between an earlier scan, read back from its
// --json report, and the scan just made.
#ifndef ZKDISCOVER_COMPARE_H
#define ZKDISCOVER_COMPARE_H

#include "claims.h"
#include "device_scan.h"

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace zkd {

// Version of the --json report (scan and comparison documents alike). It
// changes only when a member changes meaning or goes away; members are
// added without a new version, and readers ignore members they do not know.
constexpr int kReportFormatVersion = 1;

enum class DeviceState { Absent, Claimed, NotClaimed, Failed, NotExamined };

// "absent", "claimed", "not claimed", "failed", "not examined".
const char *state_name(DeviceState state);

// A device node as one scan saw it; the claim fields only when claimed.
struct DeviceRecord {
    std::string path;
    DeviceState state = DeviceState::Absent;
    std::string cabinet_serial;
    std::string lun_serial;
    std::string sp;
    bool owner = false;
};

struct NaturalOrder {
    bool operator()(const std::string &a, const std::string &b) const { return natural_less(a, b); }
};

// One scan as far as a comparison needs it: every device by its path.
struct Snapshot {
    std::map<std::string, DeviceRecord, NaturalOrder> devices;
};

Snapshot snapshot_of_scan(const std::vector<DeviceResult> &results);

// Reads a document written by --json. False, with the reason in problem,
// when it is not one (foreign, of a later incompatible version, members
// missing or of the wrong type, a device listed twice). Unknown members are
// ignored.
bool read_snapshot(const nlohmann::json &doc, Snapshot &snapshot, std::string &problem);

// Reads and parses the file, then read_snapshot.
bool load_snapshot(const std::string &file, Snapshot &snapshot, std::string &problem);

// Drops the devices that are not among paths.
void keep_only(Snapshot &snapshot, const std::vector<std::string> &paths);

// In the order they are reported: the dangerous case first.
enum class ChangeKind {
    DeviceMoved,        // claimed in both scans, but behind another LUN or array
    ArrayDisappeared,
    ArrayAppeared,
    LunDisappeared,     // on an array present in both scans
    LunAppeared,
    Trespass,           // the LUN's owning SP changed
    PathDisappeared,    // a claimed device node is gone
    PathAppeared,       // a new device node, claimed
    OutcomeChanged,     // any other change of a device's state
};

// One device node in both scans.
struct PathChange {
    DeviceRecord before, after;
};

struct Change {
    ChangeKind kind;
    std::string cabinet_serial;   // array and LUN changes, trespass
    std::string lun_serial;       // LUN changes, trespass
    // The device for a device's change; every path of the array or LUN
    // (from the scan that has it) otherwise.
    std::vector<PathChange> paths;
};

std::vector<Change> compare_snapshots(const Snapshot &before, const Snapshot &after);

// The changes as text (old_file names the earlier scan), and as JSON.
std::string render_changes_text(const std::string &old_file, const std::vector<Change> &changes);
std::string render_changes_json_text(const std::string &old_file,
                                     const std::vector<Change> &changes);

}  // namespace zkd

#endif
