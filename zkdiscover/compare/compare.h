// --compare: what changed between an earlier scan, read back from its
// --json report, and the scan just made. Three units: reading a report
// (compare_read.cpp, through the reader in report_reader.h), comparing two
// scans (compare.cpp) and showing the changes (compare_show.cpp).
#ifndef ZKDISCOVER_COMPARE_H
#define ZKDISCOVER_COMPARE_H

#include "claims.h"
#include "device_scan.h"
#include "spool.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace zkd {

enum class DeviceState { Absent, Claimed, NotClaimed, Failed, NotExamined };

// "absent", "claimed", "not claimed", "failed", "not examined".
const char *state_name(DeviceState state);
// The same as the JSON documents write them ("not_claimed").
const char *json_state_name(DeviceState state);

// A string kept once in the process: a LUN serial, an SP, a revision is
// the same on many paths and in both scans, so a record holds a 4-byte
// handle instead of its own copy. Equal handles, equal strings. Safe to use
// from several threads.
class SharedText {
public:
    SharedText() = default;   // ""
    SharedText(std::string_view text);
    SharedText(const std::string &text) : SharedText(std::string_view(text)) {}
    SharedText(const char *text) : SharedText(std::string_view(text)) {}

    const std::string &str() const;
    operator const std::string &() const { return str(); }
    operator std::string_view() const { return str(); }
    bool operator==(SharedText other) const { return id_ == other.id_; }
    bool operator!=(SharedText other) const { return id_ != other.id_; }
    // An order of the handles, not of the strings: for sorting and sets.
    bool operator<(SharedText other) const { return id_ < other.id_; }

private:
    uint32_t id_ = 0;
};

// A device node as one scan saw it; the claim fields only when claimed.
struct DeviceRecord {
    std::string path;
    SharedText cabinet_serial;
    SharedText lun_serial;
    SharedText sp;
    // The unit's firmware and port as the claim reported them (REVISION,
    // SCSI_VERSION, PORT_SERIAL_NO); unknown for a report that lacks them.
    SharedText revision;
    SharedText scsi_version;
    SharedText port_serial;
    DeviceState state = DeviceState::Absent;
    bool owner = false;
    bool firmware_known = false;
};

struct NaturalOrder {
    bool operator()(const std::string &a, const std::string &b) const { return natural_less(a, b); }
    bool operator()(const DeviceRecord &a, const DeviceRecord &b) const { return natural_less(a.path, b.path); }
};

// One scan as far as a comparison needs it.
struct Snapshot {
    // Every device, in natural order of the paths, each path once (a deque:
    // it grows without ever holding two copies).
    std::deque<DeviceRecord> devices;
    // The simulator description the scan ran on ("" for real devices);
    // unknown when the report does not say.
    bool simulation_known = false;
    std::string simulation;
    // The machine the scan ran on; "" when the report does not say.
    std::string host;

    // The device at path, or nullptr.
    const DeviceRecord *find(const std::string &path) const;
};

// Puts devices in natural order. False when a path is there twice (the
// snapshot is then in order with both); repeated names it.
bool put_in_order(Snapshot &snapshot, std::string &repeated);

Snapshot snapshot_of_scan(const std::vector<DeviceResult> &results);

// Reads a document written by --json. False, with the reason in problem,
// when it is not one (foreign, of a later incompatible version, members
// missing or of the wrong type, a device listed twice). Unknown members are
// ignored.
bool read_snapshot(const nlohmann::json &doc, Snapshot &snapshot, std::string &problem);

// Reads the file as it goes (a regular file of at most kMaxInputBytes,
// opened without blocking), never holding its text or a document: strictly
// (trailing bytes, NUL bytes, duplicate members and numbers out of range
// are errors), with the checks of read_snapshot. The problem quotes at most
// one word of the file, escaped.
bool load_snapshot(const std::string &file, Snapshot &snapshot, std::string &problem);

// Drops the devices that are not among paths.
void keep_only(Snapshot &snapshot, const std::vector<std::string> &paths);

// Kinds of change, in the order they are reported within a severity: the
// dangerous case first.
enum class ChangeKind {
    DeviceMoved,        // claimed in both scans, but behind another LUN or array
    ArrayDisappeared,
    LunDisappeared,     // on an array present in both scans
    LunLostSp,          // a LUN of both scans without any path through one SP
    NoOwnerPath,        // a LUN without a path through its owning SP
    PathSpChanged,      // a path of the same LUN now through another SP
    PathDisappeared,    // a claimed device node is gone
    PathOwnerChanged,   // a path's owner flag changed, not in a trespass
    Trespass,           // the LUN's owning SP changed
    ArrayAppeared,
    LunAppeared,
    PathAppeared,       // a new device node, claimed
    FirmwareChanged,    // REVISION, SCSI_VERSION or PORT_SERIAL_NO of a path
    OutcomeChanged,     // any other change of a device's state
};

// True for the kinds about one device (the others are about an array or
// a LUN and list its paths).
bool lists_one_device(ChangeKind kind);

// Degraded: a path, an SP or an owner path lost. Unchanged: a condition
// that was already so in the earlier scan (a LUN still without a path
// through its owning SP); shown, but not a change.
enum class Severity { Degraded, Changed, Unchanged };

const char *severity_name(Severity severity);   // "degraded", ...

// One device node in both scans.
struct PathChange {
    DeviceRecord before, after;
};

struct Change {
    ChangeKind kind = ChangeKind::OutcomeChanged;
    Severity severity = Severity::Changed;
    std::string cabinet_serial;   // array and LUN changes
    std::string lun_serial;       // LUN changes
    std::string sp;               // LunLostSp: the SP whose paths are gone
    // The devices listed under this change. A device is listed under one
    // change only, its most serious; listed_above counts this array's or
    // LUN's devices already listed under an earlier change.
    std::vector<PathChange> paths;
    size_t listed_above = 0;
    size_t luns = 0;              // array changes: its LUNs in the scan that has it
    // Trespass and NoOwnerPath: the LUN's owner paths in either scan.
    std::vector<DeviceRecord> owners_before, owners_after;
    // NoOwnerPath: the LUN's paths in the new scan.
    std::vector<DeviceRecord> lun_paths_after;
};

// The changes, the most serious first (by severity, then kind). some_paths:
// the scans hold only the paths named on the command line, so a LUN
// without an owner path among them is no finding (its owner path may be
// one not named; a trespass to it is a named path's owner flag changed).
std::vector<Change> compare_snapshots(const Snapshot &before, const Snapshot &after,
                                      bool some_paths = false);

// The most serious severity among the changes (Unchanged when none).
Severity overall_severity(const std::vector<Change> &changes);

// The changes as text (old_file names the earlier scan), and as JSON. Every
// string of either scan is escaped in the text.
void write_changes_text(const std::string &old_file, const std::vector<Change> &changes,
                        Spool &out);
void write_changes_json(const std::string &old_file, const std::vector<Change> &changes,
                        Spool &out);
std::string render_changes_text(const std::string &old_file, const std::vector<Change> &changes);
std::string render_changes_json_text(const std::string &old_file,
                                     const std::vector<Change> &changes);

}  // namespace zkd

#endif
