// The three ways of showing a scan: a topology tree (array > LUN > path),
// one JSON document with the same content, and NAME=VALUE export lines.
#ifndef ZKDISCOVER_REPORT_H
#define ZKDISCOVER_REPORT_H

#include "claim_groups.h"
#include "claims.h"
#include "spool.h"

#include <string>
#include <string_view>
#include <vector>

namespace zkd {

// Version of the --json report (scan and comparison documents alike). It
// changes only when a member changes meaning or goes away; members are
// added without a new version, and readers ignore members they do not know.
constexpr int kReportFormatVersion = 1;

struct ReportContext {
    std::string library_path;
    int interface_version = 0;
    std::vector<std::string> vendor_info;
    std::string simulation;   // description file when simulated, else ""
    bool explain = false;     // show each device's trace lines
    std::string scanned_at;   // when the scan ran, UTC RFC 3339; "" leaves it out
    std::string host;         // the machine's name; "" leaves it out
};

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
// per line; a blank line between devices. Values are single-quoted for any
// sh; for a terminal, a value with bytes other than printable ASCII is
// written as $'...' instead (text_escape.h), so none of them reaches it.
void write_export(const std::vector<DeviceResult> &results, Spool &out, bool terminal = false);

std::string render_tree(const ReportContext &context, const std::vector<DeviceResult> &results);
std::string render_json_text(const ReportContext &context,
                             const std::vector<DeviceResult> &results);
std::string render_export(const std::vector<DeviceResult> &results);

}  // namespace zkd

#endif
