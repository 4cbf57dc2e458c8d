// zkdiscover: runs libzkDGCclariion.so the way a volume manager's device
// discovery layer does, and reports what it claims and why.
#include "capture.h"
#include "claims.h"
#include "compare.h"
#include "device_scan.h"
#include "file_io.h"
#include "host_library.h"
#include "metrics_output.h"
#include "options.h"
#include "progress.h"
#include "report.h"
#include "simulation.h"
#include "text_escape.h"
#include "trace_log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {

void complain(const std::string &message)
{
    std::cerr << "zkdiscover: " << message << "\n";
}

// The devices to examine, in the order of the report, each SCSI device once
// (simulated units have no sysfs: their paths are taken as they are).
zkd::DeviceList devices_to_examine(const zkd::Options &options, bool simulated)
{
    zkd::DeviceList list;
    if (simulated) {
        if (options.devices.empty()) {
            list.paths = zkd::simulated_unit_paths();
            zkd::sort_unique_natural(list.paths);
        } else {
            for (const std::string &d : options.devices)
                if (std::find(list.paths.begin(), list.paths.end(), d) == list.paths.end())
                    list.paths.push_back(d);
        }
        list.identities.resize(list.paths.size());
        return list;
    }
    list = options.devices.empty() ? zkd::find_devices() : zkd::named_devices(options.devices);
    for (const std::string &m : list.messages)
        complain(m);
    return list;
}

bool named_not_examined(const zkd::Options &options, const std::vector<zkd::DeviceResult> &results)
{
    if (options.devices.empty())
        return false;
    for (const zkd::DeviceResult &d : results)
        if (zkd::in_group(d, zkd::Outcome::Unreadable))
            return true;
    return false;
}


// The moment as RFC 3339 in UTC ("2026-12-10T04:35:34Z").
std::string utc_now()
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    char text[32] = "";
    if (gmtime_r(&now, &tm) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string host_name()
{
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    return host;
}

// --compare: says so when OLD was a scan of another simulation (or of real
// devices) than this run; the comparison then mostly shows that.
void warn_about_origin(const zkd::Options &options, const zkd::Snapshot &earlier,
                       const std::string &description)
{
    if (!earlier.simulation_known || earlier.simulation == description)
        return;
    auto origin = [](const std::string &simulation) {
        return simulation.empty() ? std::string("real devices")
                                  : "the simulation " + zkd::escape_text(simulation);
    };
    complain("warning: " + zkd::escape_text(options.compare_file) + " is a scan of " +
             origin(earlier.simulation) + "; this run scans " + origin(description));
}

// What one run knows, gathered step by step.
struct Run {
    zkd::Options options;
    // --metrics: the folder is checked before the scan; the file is written
    // at every exit from there on, with success 0 when the scan cannot run.
    zkd::MetricsOutput metrics{std::string()};
    bool simulated = false;
    std::string description;             // the simulation's; "" for real devices
    bool comparing = false;
    zkd::Snapshot earlier;               // --compare: the earlier scan
    bool capture = false;
    zkd::HostLibrary library;
    std::vector<zkd::DeviceResult> results;
    std::vector<size_t> offered;         // the results offered to the library
    std::string scanned_at;
    int exit_code = zkd::kExitOk;
};

// A step's answer when the run goes on; any other is the exit code.
constexpr int kGoOn = -1;

int parse_command_line(int argc, char **argv, Run &r)
{
    std::string out, err;
    int code = zkd::parse_options(argc, argv, r.options, out, err);
    if (code >= 0) {
        std::fputs(out.c_str(), stdout);
        std::fputs(err.c_str(), stderr);
        return code;
    }
    r.metrics = zkd::MetricsOutput(r.options.metrics_file);
    return kGoOn;
}

int check_metrics_folder(Run &r)
{
    std::string problem;
    if (!r.metrics.check(problem)) {
        complain("--metrics " + zkd::escape_text(r.options.metrics_file) + ": " + problem);
        return zkd::kExitFailure;
    }
    return kGoOn;
}

// --simulate: start again with the simulator preloaded. The marker set
// for the new program keeps it from doing so a second time.
int start_simulation(Run &r, char **argv)
{
    r.simulated = r.options.simulate && zkd::simulation_active();
    if (r.options.simulate && !r.simulated) {
        std::string description = r.options.description;
        if (description.empty()) {
            description = zkd::default_description();
            if (description.empty()) {
                complain(std::string("cannot find the bundled description ") +
                         zkd::kDefaultDescriptionName + "; give --simulate=FILE");
                return r.metrics.finish(nullptr, zkd::kExitSimulation);
            }
        }
        std::string error;
        zkd::reexec_with_simulator(description, argv, error);
        complain(error);
        return r.metrics.finish(nullptr, zkd::kExitSimulation);
    }
    if (r.simulated) {
        r.description = zkd::active_description();
        // The marker is for this program only, not for anything it starts.
        unsetenv(zkd::kSimulationMarker);
        std::string error;
        if (!zkd::load_simulated_units(r.description, error)) {
            complain(error);
            return r.metrics.finish(nullptr, zkd::kExitSimulation);
        }
    }
    return kGoOn;
}

// --compare: an OLD file that is not a readable report stops the run
// before anything is scanned or written. Read here, once: with
// --simulate, in the program that scans.
int read_earlier_scan(Run &r)
{
    r.comparing = !r.options.compare_file.empty();
    if (!r.comparing)
        return kGoOn;
    std::string problem;
    if (!zkd::load_snapshot(r.options.compare_file, r.earlier, problem)) {
        complain("--compare " + zkd::escape_text(r.options.compare_file) + ": " + problem);
        return zkd::kExitUsage;
    }
    warn_about_origin(r.options, r.earlier, r.description);
    return kGoOn;
}

// --save: a folder the report cannot go to is known before the scan.
int check_save_folder(const Run &r)
{
    if (r.options.save_file.empty())
        return kGoOn;
    std::string error;
    if (!zkd::check_output_folder(zkd::folder_of(r.options.save_file), error)) {
        complain("--save " + zkd::escape_text(r.options.save_file) + ": " + error);
        return zkd::kExitFailure;
    }
    return kGoOn;
}

// --explain: the claims' trace stays in this program (from the library's
// first call on), never in the machine's trace log.
int start_trace_collector(Run &r)
{
    if (!r.options.explain)
        return kGoOn;
    std::string problem;
    if (!zkd::load_trace_collector(problem)) {
        complain(problem);
        return r.metrics.finish(nullptr, zkd::kExitLibrary);
    }
    return kGoOn;
}

// --capture: a folder that cannot take the file is reported now, not
// after a scan that may last minutes.
int check_capture_folder(Run &r)
{
    r.capture = !r.options.capture_dir.empty();
    if (!r.capture)
        return kGoOn;
    std::string error;
    if (!zkd::prepare_capture_folder(r.options.capture_dir, error)) {
        complain(error);
        return zkd::kExitCapture;
    }
    return kGoOn;
}

int load_library(Run &r)
{
    std::string message;
    zkd::LoadStatus status =
        r.options.library.empty()
            ? zkd::load_default_library(false, r.library, message)
            : zkd::load_host_library(r.options.library, false, r.library, message);
    if (status != zkd::LoadStatus::Loaded) {
        complain(zkd::escape_text(message));
        return r.metrics.finish(nullptr, status == zkd::LoadStatus::WrongVersion
                                             ? zkd::kExitVersion
                                             : zkd::kExitLibrary);
    }
    r.metrics.set_library(r.library.path, r.library.interface_version);
    return kGoOn;
}

// One result per device, each taking its path and identity over: the
// largest hosts have 65,536 paths, and nothing is held twice.
int list_devices(Run &r)
{
    zkd::DeviceList devices = devices_to_examine(r.options, r.simulated);
    if (devices.paths.empty()) {
        complain(r.simulated ? "no devices found: " + zkd::escape_text(r.description) +
                                   " describes no unit"
                             : std::string("no devices found (no SCSI generic or SCSI disk "
                                           "devices in /sys); name devices on the command line"));
        return r.metrics.finish(nullptr, zkd::kExitNoDevices);
    }
    r.results.resize(devices.paths.size());
    for (size_t i = 0; i < r.results.size(); ++i) {
        r.results[i].path = std::move(devices.paths[i]);
        r.results[i].scsi_address = std::move(devices.identities[i].address);
        r.results[i].other_node = std::move(devices.identities[i].other_node);
    }
    // Simulation never reaches a real device: paths that are not simulated
    // units are not offered.
    r.offered.reserve(r.results.size());
    for (size_t i = 0; i < r.results.size(); ++i) {
        if (!r.simulated || zkd::is_simulated_unit(r.results[i].path)) {
            r.offered.push_back(i);
        } else {
            r.results[i].outcome = zkd::Outcome::Skipped;
            r.results[i].error = "not a unit of " + zkd::escape_text(r.description);
        }
    }
    return kGoOn;
}

void scan(Run &r)
{
    zkd::ProgressLine progress(r.offered.size());
    zkd::ScanSettings settings;
    settings.jobs = r.options.jobs;
    settings.explain = r.options.explain;
    settings.capture = r.capture;
    settings.on_device_done = [&progress] { progress.advance(); };

    r.scanned_at = utc_now();
    zkd::scan_devices(r.library, r.results, r.offered, settings);
    progress.finish();
    std::vector<size_t>().swap(r.offered);

    // The kernel's view and the unit's own (VPD 0xC0), of real devices.
    if (!r.simulated)
        zkd::read_views(r.library, r.results);

    // The library may have opened the machine's log (it does whenever the
    // file exists); release it as a host does when it is done.
    if (r.library.close_trace_log != nullptr)
        r.library.close_trace_log();

    // A DEVICE named on the command line is a question about that device:
    // not being able to answer it is an error, as it is for sg_inq. A scan
    // of every device lists such nodes in its report and returns 0.
    r.exit_code = named_not_examined(r.options, r.results) ? zkd::kExitNotExamined : zkd::kExitOk;
}

void save_capture(Run &r)
{
    if (!r.capture)
        return;
    std::string error;
    std::string origin = r.simulated ? r.description : "host " + host_name();
    std::string file = zkd::write_capture(r.options.capture_dir,
                                          zkd::capture_description(r.results, origin), error);
    if (file.empty()) {
        complain(error);
        r.exit_code = zkd::kExitCapture;
    } else {
        std::string shown = zkd::escape_text(file);
        complain("captured " + std::to_string(r.results.size()) + " devices in " + shown +
                 "; replay with: zkdiscover --simulate=" + shown);
    }
}

zkd::ReportContext report_context(const Run &r)
{
    zkd::ReportContext context;
    context.library_path = r.library.path;
    context.interface_version = r.library.interface_version;
    context.vendor_info = r.library.vendor_info;
    context.simulation = r.description;
    context.explain = r.options.explain;
    context.scanned_at = r.scanned_at;
    context.host = host_name();
    return context;
}

// --save: this scan's full report, the next comparison's OLD; replaced
// as a whole, so a failure leaves the earlier file as it was.
void save_report(Run &r, const zkd::ReportContext &context)
{
    if (r.options.save_file.empty())
        return;
    std::string error;
    if (!zkd::write_file_atomically(
            r.options.save_file,
            [&](zkd::Spool &out) { zkd::write_json(context, r.results, out); }, error)) {
        complain("--save " + zkd::escape_text(r.options.save_file) + ": " + error);
        r.exit_code = zkd::kExitFailure;
    }
}

// Machine-readable output on stdout; what could not be examined goes to
// stderr, one line per device. A comparison lists such devices only when
// they changed.
void list_not_examined(const Run &r)
{
    if (r.options.format == zkd::Format::Tree || r.comparing || r.metrics.to_stdout())
        return;
    for (const zkd::DeviceResult &d : r.results)
        if (zkd::in_group(d, zkd::Outcome::Unreadable))
            complain(zkd::escape_text(d.path) + ": " + d.error);
}

void show_changes(Run &r, zkd::Spool &report)
{
    // Devices named on the command line: the comparison is about them
    // alone, not about every device the earlier scan saw.
    if (!r.options.devices.empty()) {
        std::vector<std::string> named;
        for (const zkd::DeviceResult &d : r.results)
            named.push_back(d.path);
        zkd::keep_only(r.earlier, named);
    }
    std::vector<zkd::Change> changes =
        zkd::compare_snapshots(r.earlier, zkd::snapshot_of_scan(r.results));
    if (!r.metrics.to_stdout()) {
        if (r.options.format == zkd::Format::Json)
            zkd::write_changes_json(r.options.compare_file, changes, report);
        else
            zkd::write_changes_text(r.options.compare_file, changes, report);
    }
    zkd::Severity severity = zkd::overall_severity(changes);
    if (severity != zkd::Severity::Unchanged && r.exit_code == zkd::kExitOk)
        r.exit_code = severity == zkd::Severity::Degraded ? zkd::kExitDegraded
                                                          : zkd::kExitChanged;
}

void show_scan(const Run &r, const zkd::ReportContext &context, zkd::Spool &report)
{
    if (r.metrics.to_stdout())
        return;
    switch (r.options.format) {
    case zkd::Format::Tree:
        zkd::write_tree(context, r.results, report);
        break;
    case zkd::Format::Json:
        zkd::write_json(context, r.results, report);
        break;
    case zkd::Format::Export:
        zkd::write_export(r.results, report);
        break;
    }
}

// The report goes straight to the descriptor as it is made, so that a
// failure (a full disk, a closed pipe) is seen with its reason. With
// --metrics -, standard output carries the metrics alone, and the report
// is not made. Returns the exit code, once the metrics are written.
int write_report(Run &r, const zkd::ReportContext &context)
{
    int write_error = 0;
    zkd::Spool report(zkd::write_to(STDOUT_FILENO, write_error));
    if (r.comparing)
        show_changes(r, report);
    else
        show_scan(r, context, report);
    report.finish();
    if (write_error != 0) {
        complain(std::string("cannot write the report: ") + std::strerror(write_error));
        return r.metrics.finish(&r.results, zkd::kExitFailure);
    }
    return r.metrics.finish(&r.results, r.exit_code);
}

// One run: each step until one gives the exit code, then the scan and
// what it is written to.
int run(int argc, char **argv)
{
    Run r;
    int code = parse_command_line(argc, argv, r);
    if (code == kGoOn)
        code = check_metrics_folder(r);
    if (code == kGoOn)
        code = start_simulation(r, argv);
    if (code == kGoOn)
        code = read_earlier_scan(r);
    if (code == kGoOn)
        code = check_save_folder(r);
    if (code == kGoOn)
        code = start_trace_collector(r);
    if (code == kGoOn)
        code = check_capture_folder(r);
    if (code == kGoOn)
        code = load_library(r);
    if (code == kGoOn)
        code = list_devices(r);
    if (code != kGoOn)
        return code;

    scan(r);
    save_capture(r);
    zkd::ReportContext context = report_context(r);
    save_report(r, context);
    list_not_examined(r);
    return write_report(r, context);
}

}  // namespace

int main(int argc, char **argv)
{
    // Every failure has its status; none ends the program with an abort.
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        complain(std::string("internal error: ") + zkd::escape_text(e.what()));
    } catch (...) {
        complain("internal error");
    }
    return zkd::kExitFailure;
}
