// Offering devices to the library, as its host does: read the standard
// INQUIRY with the library's do_inquiry, fill a device_entry, call
// claim_device, copy the property list and release it with nv_free.
#ifndef ZKDISCOVER_CLAIMS_H
#define ZKDISCOVER_CLAIMS_H

#include "command_recorder.h"
#include "dm_view.h"
#include "host_library.h"
#include "kernel_view.h"

#include <functional>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zkd {

enum class Outcome {
    Claimed,      // claim_device returned 0 and handed over a list
    NotClaimed,   // claim_device returned 1
    Failed,       // claim_device returned -1 (or anything else)
    Unreadable,   // the standard INQUIRY could not be read; not offered
    Skipped,      // not offered for another reason (path too long, ...)
    NotAnswering, // no answer within its deadline (deadline.h)
};

const char *outcome_name(Outcome outcome);

// What --capture keeps of a device: every command the host and the claim
// sent to it, in order, with what came back. Nothing else is sent.
struct DeviceCapture {
    int open_error = 0;            // the device could not even be opened
    std::vector<RecordedCommand> commands;
};

// A claim's NAME=VALUE pairs in list order, kept in one block
// ("NAME\0VALUE\0..."): a scan of the largest hosts holds 65,536 of them,
// and the library's pairs are C strings, so no NUL occurs inside one.
class PropertyList {
public:
    using Pair = std::pair<std::string_view, std::string_view>;

    PropertyList() = default;
    PropertyList(std::initializer_list<Pair> pairs);

    void add(std::string_view name, std::string_view value);
    // The value of the first pair called name (NUL-terminated), or nullptr.
    const char *find(std::string_view name) const;
    bool empty() const { return packed_.empty(); }
    size_t size() const;
    bool operator==(const PropertyList &other) const { return packed_ == other.packed_; }

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Pair;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Pair;

        const_iterator(const std::string *packed, size_t at) : packed_(packed), at_(at) {}
        Pair operator*() const;
        const_iterator &operator++();
        bool operator==(const const_iterator &o) const { return at_ == o.at_; }
        bool operator!=(const const_iterator &o) const { return at_ != o.at_; }

    private:
        const std::string *packed_;
        size_t at_;
    };
    const_iterator begin() const { return {&packed_, 0}; }
    const_iterator end() const { return {&packed_, packed_.size()}; }

private:
    std::string packed_;
};

// One device as the scan saw it. A scan holds one per path, so what most
// devices lack costs little: the INQUIRY data is kept for the devices not
// claimed (their report shows it) and for --capture only.
struct DeviceResult {
    std::string path;
    std::string scsi_address;             // host:channel:target:lun, when known
    std::string other_node;               // the SCSI device's other node, or ""
    Outcome outcome = Outcome::Skipped;
    int claim_result = 0;                 // as returned, when offered
    int error_number = 0;                 // Unreadable: errno of do_inquiry
    PropertyList properties;              // list order
    std::vector<unsigned char> inquiry;   // standard INQUIRY as read (see above)
    std::string error;                    // Unreadable/Skipped/odd results
    std::vector<std::string> trace;       // --explain: the claim's trace lines
    DeviceCapture capture;                // --capture
    KernelView views;                     // the kernel's and the unit's own view
    DmPathState dm;                       // the multipath layer's view
};

// An INQUIRY VPD page through the library's do_inquiry: 0 and the page's
// bytes, or the errno it returned.
int read_vpd(const HostLibrary &library, const char *path, int page,
             std::vector<unsigned char> &bytes);

// Value of a property of a claimed device, or nullptr.
inline const char *find_property(const DeviceResult &result, std::string_view name)
{
    return result.properties.find(name);
}

// INQUIRY fields, their bytes as the device sent them with the blanks and
// NULs at the end trimmed (escape_text them to show them). Empty when the
// data is too short.
std::string inquiry_vendor(const DeviceResult &result);
std::string inquiry_product(const DeviceResult &result);
std::string inquiry_revision(const DeviceResult &result);

struct ScanSettings {
    int jobs = 1;
    // Deadlines in milliseconds, 0 for none: each device's, from the start
    // of its examination, and the whole scan's, from the call.
    long long device_timeout_ms = 0;
    long long scan_timeout_ms = 0;
    // --explain: keep each claim's trace lines (the trace collector is loaded).
    bool explain = false;
    bool capture = false;
    // The kernel's and the unit's views of each claimed path.
    ViewSource views;
    // Called after each device, from the worker that examined it.
    std::function<void()> on_device_done;
};

// Examines one device (INQUIRY, claim, then the views of a claimed one
// when views asks for them), recording its commands when asked: fills in
// result, whose path (and, when sysfs gave them, SCSI address and other
// node) the scan has set; the second form starts from a path alone.
void examine_device(const HostLibrary &library, DeviceResult &result, bool capture,
                    const ViewSource *views = nullptr);
DeviceResult examine_device(const HostLibrary &library, const std::string &path,
                            bool capture);

// Examines the devices results[i] for each i of which, by their path, in
// place, keeping their SCSI address and other node: the results are the
// same whatever the number of jobs (scan_pool.cpp). A device past its
// deadline is NotAnswering and does not hold up the others: while workers
// wait on such devices, others are started (after 0.5 s; jobs of them answering, 512
// workers at most). When the scan's deadline passes, the devices still
// being examined are NotAnswering, those not reached Skipped, and the call
// returns; a worker still blocked then is left behind
// (scan_left_workers_behind).
void scan_devices(const HostLibrary &library, std::vector<DeviceResult> &results,
                  const std::vector<size_t> &which, const ScanSettings &settings);

// True once a scan returned with a worker still blocked in a command: the
// program must then end with _exit once its outputs are written, without
// running the destructors that thread may still use.
bool scan_left_workers_behind();

// Examines every path; results are in the order of paths.
std::vector<DeviceResult> scan_devices(const HostLibrary &library,
                                       const std::vector<std::string> &paths,
                                       const ScanSettings &settings);

}  // namespace zkd

#endif
