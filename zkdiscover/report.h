// The three ways of showing a scan: a topology tree (array > LUN > path),
// one JSON document with the same content, and NAME=VALUE export lines.
#ifndef ZKDISCOVER_REPORT_H
#define ZKDISCOVER_REPORT_H

#include "claims.h"
#include "spool.h"

#include <string>
#include <string_view>
#include <vector>

namespace zkd {

struct ReportContext {
    std::string library_path;
    int interface_version = 0;
    std::vector<std::string> vendor_info;
    std::string simulation;   // description file when simulated, else ""
    bool explain = false;     // show each device's trace lines
    std::string scanned_at;   // when the scan ran, UTC RFC 3339; "" leaves it out
    std::string host;         // the machine's name; "" leaves it out
};

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

// "1 LUN", "3 LUNs": the count and the word for it.
std::string plural(size_t n, const char *one, const char *many);

// Each report is written as it is made, into a spool; the render_ forms
// return the whole text.
void write_tree(const ReportContext &context, const std::vector<DeviceResult> &results,
                Spool &out);
// The JSON document, invalid UTF-8 replaced, ending with a newline.
void write_json(const ReportContext &context, const std::vector<DeviceResult> &results,
                Spool &out);
// For each claimed device: DEVICE=path (with SCSI_ADDRESS= and
// DEVICE_NODES= when sysfs described it), then its pairs in list order, one
// per line; a blank line between devices.
void write_export(const std::vector<DeviceResult> &results, Spool &out);

std::string render_tree(const ReportContext &context, const std::vector<DeviceResult> &results);
std::string render_json_text(const ReportContext &context,
                             const std::vector<DeviceResult> &results);
std::string render_export(const std::vector<DeviceResult> &results);

}  // namespace zkd

#endif
