// --metrics FILE: the scan as Prometheus text exposition format 0.0.4, what
// node_exporter's textfile collector reads. The file is replaced atomically
// and is written even when the scan could not run (zkdiscover_scan_success
// 0), so that a host whose scans start failing is seen. Series are sorted:
// the file is the same whatever the number of jobs.
#ifndef ZKDISCOVER_METRICS_H
#define ZKDISCOVER_METRICS_H

#include "claims.h"
#include "spool.h"

#include <string>
#include <vector>

namespace zkd {

// What the file tells; results is null when the scan could not run.
struct MetricsSource {
    double timestamp = 0;          // seconds since the epoch, when the scan ended
    double duration = 0;           // seconds
    std::string version;
    std::string library;           // the support library loaded or tried, "" if none
    int interface_version = 0;     // its _lib_version, 0 when none was read
    const std::vector<DeviceResult> *results = nullptr;
};

// The text goes through the spool, so that a large scan's file is never
// held whole; the second form collects it.
void render_metrics(const MetricsSource &source, Spool &out);
std::string render_metrics(const MetricsSource &source);

// A label value as the format wants it: bytes that came from a device,
// escaped as everywhere else (printable ASCII, \xHH), then backslash,
// double quote and newline escaped for the format.
std::string metrics_label_value(std::string_view raw);

}  // namespace zkd

#endif
