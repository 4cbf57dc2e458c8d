// zkdiscover: runs libzkDGCclariion.so the way a volume manager's device
// discovery layer does, and reports what it claims and why.
#include "capture.h"
#include "claims.h"
#include "compare.h"
#include "device_scan.h"
#include "file_io.h"
#include "host_library.h"
#include "metrics_output.h"
#include "not_answering_run.h"
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
        if (zkd::in_group(d, zkd::Outcome::Unreadable) || d.outcome == zkd::Outcome::NotAnswering)
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

int run(int argc, char **argv)
{
    zkd::Options options;
    std::string out, err;
    int code = zkd::parse_options(argc, argv, options, out, err);
    if (code >= 0) {
        std::fputs(out.c_str(), stdout);
        std::fputs(err.c_str(), stderr);
        return code;
    }

    // --metrics: the folder is checked before the scan; the file is written
    // at every exit from here on, with success 0 when the scan cannot run.
    zkd::MetricsOutput metrics(options.metrics_file);
    {
        std::string problem;
        if (!metrics.check(problem)) {
            complain("--metrics " + zkd::escape_text(options.metrics_file) + ": " + problem);
            return zkd::kExitFailure;
        }
    }

    // --simulate: start again with the simulator preloaded. The marker set
    // for the new program keeps it from doing so a second time.
    bool simulated = options.simulate && zkd::simulation_active();
    if (options.simulate && !simulated) {
        std::string description = options.description;
        if (description.empty()) {
            description = zkd::default_description();
            if (description.empty()) {
                complain(std::string("cannot find the bundled description ") +
                         zkd::kDefaultDescriptionName + "; give --simulate=FILE");
                return metrics.finish(nullptr, zkd::kExitSimulation);
            }
        }
        std::string error;
        zkd::reexec_with_simulator(description, argv, error);
        complain(error);
        return metrics.finish(nullptr, zkd::kExitSimulation);
    }
    std::string description;
    if (simulated) {
        description = zkd::active_description();
        // The marker is for this program only, not for anything it starts.
        unsetenv(zkd::kSimulationMarker);
        std::string error;
        if (!zkd::load_simulated_units(description, error)) {
            complain(error);
            return metrics.finish(nullptr, zkd::kExitSimulation);
        }
    }

    // --compare: an OLD file that is not a readable report stops the run
    // before anything is scanned or written. Read here, once: with
    // --simulate, in the program that scans.
    zkd::Snapshot earlier;
    bool comparing = !options.compare_file.empty();
    if (comparing) {
        std::string problem;
        if (!zkd::load_snapshot(options.compare_file, earlier, problem)) {
            complain("--compare " + zkd::escape_text(options.compare_file) + ": " + problem);
            return zkd::kExitUsage;
        }
        warn_about_origin(options, earlier, description);
    }
    // --save: a folder the report cannot go to is known before the scan.
    if (!options.save_file.empty()) {
        std::string error;
        if (!zkd::check_output_folder(zkd::folder_of(options.save_file), error)) {
            complain("--save " + zkd::escape_text(options.save_file) + ": " + error);
            return zkd::kExitFailure;
        }
    }

    // --explain: the claims' trace stays in this program (from the library's
    // first call on), never in the machine's trace log.
    if (options.explain) {
        std::string problem;
        if (!zkd::load_trace_collector(problem)) {
            complain(problem);
            return metrics.finish(nullptr, zkd::kExitLibrary);
        }
    }

    // --capture: a folder that cannot take the file is reported now, not
    // after a scan that may last minutes.
    bool capture = !options.capture_dir.empty();
    if (capture) {
        std::string error;
        if (!zkd::prepare_capture_folder(options.capture_dir, error)) {
            complain(error);
            return zkd::kExitCapture;
        }
    }

    // Static: a worker left blocked in a device (claims.h) may still use it
    // until the program ends.
    static zkd::HostLibrary library;
    std::string message;
    zkd::LoadStatus status =
        options.library.empty()
            ? zkd::load_default_library(false, library, message)
            : zkd::load_host_library(options.library, false, library, message);
    if (status != zkd::LoadStatus::Loaded) {
        complain(zkd::escape_text(message));
        return metrics.finish(nullptr, status == zkd::LoadStatus::WrongVersion
                                           ? zkd::kExitVersion
                                           : zkd::kExitLibrary);
    }
    metrics.set_library(library.path, library.interface_version);

    // One result per device, each taking its path and identity over: the
    // largest hosts have 65,536 paths, and nothing is held twice.
    std::vector<zkd::DeviceResult> results;
    {
        zkd::DeviceList devices = devices_to_examine(options, simulated);
        if (devices.paths.empty()) {
            complain(simulated ? "no devices found: " + zkd::escape_text(description) +
                                     " describes no unit"
                               : std::string("no devices found (no SCSI generic or SCSI disk "
                                             "devices in /sys); name devices on the command line"));
            return metrics.finish(nullptr, zkd::kExitNoDevices);
        }
        results.resize(devices.paths.size());
        for (size_t i = 0; i < results.size(); ++i) {
            results[i].path = std::move(devices.paths[i]);
            results[i].scsi_address = std::move(devices.identities[i].address);
            results[i].other_node = std::move(devices.identities[i].other_node);
        }
    }
    // Simulation never reaches a real device: paths that are not simulated
    // units are not offered.
    std::vector<size_t> offered;
    offered.reserve(results.size());
    for (size_t i = 0; i < results.size(); ++i) {
        if (!simulated || zkd::is_simulated_unit(results[i].path)) {
            offered.push_back(i);
        } else {
            results[i].outcome = zkd::Outcome::Skipped;
            results[i].error = "not a unit of " + zkd::escape_text(description);
        }
    }

    zkd::ProgressLine progress(offered.size());
    zkd::ScanSettings settings;
    settings.jobs = options.jobs;
    settings.explain = options.explain;
    settings.capture = capture;
    settings.device_timeout_ms = options.device_timeout * 1000LL;
    settings.scan_timeout_ms = options.scan_timeout * 1000LL;
    // The kernel's view and the unit's own (VPD 0xC0), of real devices.
    if (!simulated)
        settings.views_sysfs = "/sys";
    settings.on_device_done = [&progress] { progress.advance(); };

    std::string scanned_at = utc_now();
    zkd::scan_devices(library, results, offered, settings);
    progress.finish();
    std::vector<size_t>().swap(offered);

    // What the kernel and the earlier scan know of the devices that did
    // not answer.
    zkd::attribute_not_answering(library, results, simulated ? "" : "/sys",
                                 comparing ? &earlier : nullptr);

    // The library may have opened the machine's log (it does whenever the
    // file exists); release it as a host does when it is done.
    if (library.close_trace_log != nullptr)
        library.close_trace_log();

    // A DEVICE named on the command line is a question about that device:
    // not being able to answer it is an error, as it is for sg_inq. A scan
    // of every device lists such nodes in its report and returns 0.
    int exit_code = named_not_examined(options, results) ? zkd::kExitNotExamined : zkd::kExitOk;
    if (capture) {
        std::string error;
        std::string origin = simulated ? description : "host " + host_name();
        std::string file = zkd::write_capture(options.capture_dir,
                                              zkd::capture_description(results, origin), error);
        if (file.empty()) {
            complain(error);
            exit_code = zkd::kExitCapture;
        } else {
            std::string shown = zkd::escape_text(file);
            complain("captured " + std::to_string(results.size()) + " devices in " + shown +
                     "; replay with: zkdiscover --simulate=" + shown);
        }
    }

    zkd::ReportContext context;
    context.library_path = library.path;
    context.interface_version = library.interface_version;
    context.vendor_info = library.vendor_info;
    context.simulation = description;
    context.explain = options.explain;
    context.scanned_at = scanned_at;
    context.host = host_name();

    // --save: this scan's full report, the next comparison's OLD; replaced
    // as a whole, so a failure leaves the earlier file as it was.
    if (!options.save_file.empty()) {
        std::string error;
        if (!zkd::write_file_atomically(
                options.save_file,
                [&](zkd::Spool &out) { zkd::write_json(context, results, out); }, error)) {
            complain("--save " + zkd::escape_text(options.save_file) + ": " + error);
            exit_code = zkd::kExitFailure;
        }
    }

    if (options.format != zkd::Format::Tree && !comparing && !metrics.to_stdout()) {
        // Machine-readable output on stdout; what could not be examined
        // goes to stderr, one line per device. A comparison lists such
        // devices only when they changed.
        for (const zkd::DeviceResult &d : results)
            if (zkd::in_group(d, zkd::Outcome::Unreadable) ||
                d.outcome == zkd::Outcome::NotAnswering)
                complain(zkd::escape_text(d.path) + ": " + d.error);
    }

    // The report goes straight to the descriptor as it is made, so that a
    // failure (a full disk, a closed pipe) is seen with its reason. With
    // --metrics -, standard output carries the metrics alone, and the report
    // is not made.
    int write_error = 0;
    zkd::Spool report(zkd::write_to(STDOUT_FILENO, write_error));
    if (comparing) {
        // Devices named on the command line: the comparison is about them
        // alone, not about every device the earlier scan saw.
        if (!options.devices.empty()) {
            std::vector<std::string> named;
            for (const zkd::DeviceResult &d : results)
                named.push_back(d.path);
            zkd::keep_only(earlier, named);
        }
        std::vector<zkd::Change> changes =
            zkd::compare_snapshots(earlier, zkd::snapshot_of_scan(results));
        if (!metrics.to_stdout()) {
            if (options.format == zkd::Format::Json)
                zkd::write_changes_json(options.compare_file, changes, report);
            else
                zkd::write_changes_text(options.compare_file, changes, report);
        }
        zkd::Severity severity = zkd::overall_severity(changes);
        if (severity != zkd::Severity::Unchanged && exit_code == zkd::kExitOk)
            exit_code = severity == zkd::Severity::Degraded ? zkd::kExitDegraded
                                                            : zkd::kExitChanged;
    } else if (!metrics.to_stdout()) {
        switch (options.format) {
        case zkd::Format::Tree:
            zkd::write_tree(context, results, report);
            break;
        case zkd::Format::Json:
            zkd::write_json(context, results, report);
            break;
        case zkd::Format::Export:
            zkd::write_export(results, report);
            break;
        }
    }
    report.finish();
    if (write_error != 0) {
        complain(std::string("cannot write the report: ") + std::strerror(write_error));
        return metrics.finish(&results, zkd::kExitFailure);
    }
    return metrics.finish(&results, exit_code);
}

}  // namespace

int main(int argc, char **argv)
{
    // Every failure has its status; none ends the program with an abort.
    int code = zkd::kExitFailure;
    try {
        code = run(argc, argv);
    } catch (const std::exception &e) {
        complain(std::string("internal error: ") + zkd::escape_text(e.what()));
    } catch (...) {
        complain("internal error");
    }
    return zkd::end_of_run(code);
}
