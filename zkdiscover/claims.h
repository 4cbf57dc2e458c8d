// Offering devices to the library, as its host does: read the standard
// INQUIRY with the library's do_inquiry, fill a device_entry, call
// claim_device, copy the property list and release it with nv_free.
#ifndef ZKDISCOVER_CLAIMS_H
#define ZKDISCOVER_CLAIMS_H

#include "command_recorder.h"
#include "host_library.h"
#include "kernel_view.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zkd {

enum class Outcome {
    Claimed,      // claim_device returned 0 and handed over a list
    NotClaimed,   // claim_device returned 1
    Failed,       // claim_device returned -1 (or anything else)
    Unreadable,   // the standard INQUIRY could not be read; not offered
    Skipped,      // not offered for another reason (path too long, ...)
};

const char *outcome_name(Outcome outcome);

// What --capture keeps of a device: every command the host and the claim
// sent to it, in order, with what came back. Nothing else is sent.
struct DeviceCapture {
    int open_error = 0;            // the device could not even be opened
    std::vector<RecordedCommand> commands;
};

struct DeviceResult {
    std::string path;
    std::string scsi_address;             // host:channel:target:lun, when known
    std::string other_node;               // the SCSI device's other node, or ""
    Outcome outcome = Outcome::Skipped;
    int claim_result = 0;                 // as returned, when offered
    std::vector<std::pair<std::string, std::string>> properties;  // list order
    std::vector<unsigned char> inquiry;   // standard INQUIRY as read
    int error_number = 0;                 // Unreadable: errno of do_inquiry
    std::string error;                    // Unreadable/Skipped/odd results
    std::vector<std::string> trace;       // --explain: the claim's trace lines
    DeviceCapture capture;                // --capture
    KernelView views;                     // the kernel's and the unit's own view
};

// An INQUIRY VPD page through the library's do_inquiry: 0 and the page's
// bytes, or the errno it returned.
int read_vpd(const HostLibrary &library, const char *path, int page,
             std::vector<unsigned char> &bytes);

// Value of a property of a claimed device, or nullptr.
const std::string *find_property(const DeviceResult &result, const std::string &name);

// INQUIRY fields as text: blanks trimmed at the end, other unprintable
// bytes as \xHH. Empty when the data is too short.
std::string inquiry_vendor(const DeviceResult &result);
std::string inquiry_product(const DeviceResult &result);
std::string inquiry_revision(const DeviceResult &result);

struct ScanSettings {
    int jobs = 1;
    // --explain: keep each claim's trace lines (the trace collector is loaded).
    bool explain = false;
    bool capture = false;
    // Called after each device, from the worker that examined it.
    std::function<void()> on_device_done;
};

// Examines one device (INQUIRY, claim), recording its commands when asked.
DeviceResult examine_device(const HostLibrary &library, const std::string &path,
                            bool capture);

// Examines every path; results are in the order of paths whatever the
// number of jobs.
std::vector<DeviceResult> scan_devices(const HostLibrary &library,
                                       const std::vector<std::string> &paths,
                                       const ScanSettings &settings);

}  // namespace zkd

#endif
