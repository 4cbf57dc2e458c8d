// zkdiscover: runs libzkDGCclariion.so the way a volume manager's device
// discovery layer does, and reports what it claims and why.
#include "capture.h"
#include "claims.h"
#include "compare.h"
#include "device_scan.h"
#include "file_io.h"
#include "host_library.h"
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
        if (d.outcome == zkd::Outcome::Unreadable || d.outcome == zkd::Outcome::Skipped)
            return true;
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    zkd::Options options;
    std::string out, err;
    int code = zkd::parse_options(argc, argv, options, out, err);
    if (code >= 0) {
        std::fputs(out.c_str(), stdout);
        std::fputs(err.c_str(), stderr);
        return code;
    }

    // --compare: an OLD file that is not a readable report stops the run
    // before anything is scanned or written.
    zkd::Snapshot earlier;
    bool comparing = !options.compare_file.empty();
    if (comparing) {
        std::string problem;
        if (!zkd::load_snapshot(options.compare_file, earlier, problem)) {
            complain("--compare " + zkd::escape_text(options.compare_file) + ": " + problem);
            return zkd::kExitUsage;
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
                return zkd::kExitSimulation;
            }
        }
        std::string error;
        zkd::reexec_with_simulator(description, argv, error);
        complain(error);
        return zkd::kExitSimulation;
    }
    std::string description;
    if (simulated) {
        description = zkd::active_description();
        // The marker is for this program only, not for anything it starts.
        unsetenv(zkd::kSimulationMarker);
        std::string error;
        if (!zkd::load_simulated_units(description, error)) {
            complain(error);
            return zkd::kExitSimulation;
        }
    }

    // --explain: the claims' trace stays in this program (from the library's
    // first call on), never in the machine's trace log.
    if (options.explain) {
        std::string problem;
        if (!zkd::load_trace_collector(problem)) {
            complain(problem);
            return zkd::kExitLibrary;
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

    zkd::HostLibrary library;
    std::string message;
    zkd::LoadStatus status =
        options.library.empty()
            ? zkd::load_default_library(false, library, message)
            : zkd::load_host_library(options.library, false, library, message);
    if (status != zkd::LoadStatus::Loaded) {
        complain(zkd::escape_text(message));
        return status == zkd::LoadStatus::WrongVersion ? zkd::kExitVersion : zkd::kExitLibrary;
    }

    zkd::DeviceList devices = devices_to_examine(options, simulated);
    const std::vector<std::string> &paths = devices.paths;
    if (paths.empty()) {
        complain(simulated ? "no devices found: " + zkd::escape_text(description) +
                                 " describes no unit"
                           : std::string("no devices found (no SCSI generic or SCSI disk "
                                         "devices in /sys); name devices on the command line"));
        return zkd::kExitNoDevices;
    }

    zkd::ProgressLine progress(paths.size());
    zkd::ScanSettings settings;
    settings.jobs = options.jobs;
    settings.explain = options.explain;
    settings.capture = capture;
    settings.on_device_done = [&progress] { progress.advance(); };

    std::vector<zkd::DeviceResult> results;
    if (simulated) {
        // Simulation never reaches a real device: paths that are not
        // simulated units are not offered.
        std::vector<std::string> offered;
        std::vector<size_t> where;
        results.resize(paths.size());
        for (size_t i = 0; i < paths.size(); ++i) {
            results[i].path = paths[i];
            if (zkd::is_simulated_unit(paths[i])) {
                offered.push_back(paths[i]);
                where.push_back(i);
            } else {
                results[i].outcome = zkd::Outcome::Skipped;
                results[i].error = "not a unit of " + zkd::escape_text(description);
            }
        }
        std::vector<zkd::DeviceResult> examined = zkd::scan_devices(library, offered, settings);
        for (size_t k = 0; k < examined.size(); ++k)
            results[where[k]] = std::move(examined[k]);
    } else {
        results = zkd::scan_devices(library, paths, settings);
    }
    progress.finish();
    for (size_t i = 0; i < results.size(); ++i) {
        results[i].scsi_address = devices.identities[i].address;
        results[i].other_node = devices.identities[i].other_node;
    }

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
        char host[256] = "";
        gethostname(host, sizeof host - 1);
        std::string origin = simulated ? description : std::string("host ") + host;
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

    std::string report;
    if (comparing) {
        // Devices named on the command line: the comparison is about them
        // alone, not about every device the earlier scan saw.
        if (!options.devices.empty())
            zkd::keep_only(earlier, paths);
        std::vector<zkd::Change> changes =
            zkd::compare_snapshots(earlier, zkd::snapshot_of_scan(results));
        report = options.format == zkd::Format::Json
                     ? zkd::render_changes_json_text(options.compare_file, changes)
                     : zkd::render_changes_text(options.compare_file, changes);
        if (!changes.empty() && exit_code == zkd::kExitOk)
            exit_code = zkd::kExitChanged;
    } else switch (options.format) {
    case zkd::Format::Tree:
        report = zkd::render_tree(context, results);
        break;
    case zkd::Format::Json:
        report = zkd::render_json_text(context, results);
        break;
    case zkd::Format::Export:
        report = zkd::render_export(results);
        break;
    }
    if (options.format != zkd::Format::Tree && !comparing) {
        // Machine-readable output on stdout; what could not be examined
        // goes to stderr, one line per device. A comparison lists such
        // devices only when they changed.
        for (const zkd::DeviceResult &d : results)
            if (d.outcome == zkd::Outcome::Unreadable || d.outcome == zkd::Outcome::Skipped)
                complain(zkd::escape_text(d.path) + ": " + d.error);
    }
    // Written straight to the descriptor, so that a failure (a full disk,
    // a closed pipe) is seen here with its reason.
    if (!zkd::write_all(STDOUT_FILENO, report.data(), report.size())) {
        complain(std::string("cannot write the report: ") + std::strerror(errno));
        return zkd::kExitFailure;
    }
    return exit_code;
}
