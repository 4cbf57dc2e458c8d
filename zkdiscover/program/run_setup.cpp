#include "run.h"

#include "capture.h"
#include "device_scan.h"
#include "file_io.h"
#include "simulation.h"
#include "text_escape.h"
#include "trace_log.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace zkd {

void complain(const std::string &message)
{
    std::cerr << "zkdiscover: " << message << "\n";
}

namespace {

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

// --compare: says so when OLD was made on another machine; its devices
// are then most often not this machine's.
void warn_about_host(const zkd::Options &options, const zkd::Snapshot &earlier)
{
    std::string here = zkd::host_name();
    if (earlier.host.empty() || earlier.host == here)
        return;
    complain("warning: " + zkd::escape_text(options.compare_file) + " is a scan made on host " +
             zkd::escape_text(earlier.host) + "; this run is on host " + zkd::escape_text(here));
}

}  // namespace

std::string host_name()
{
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    return host;
}

int parse_command_line(int argc, char **argv, Run &r)
{
    std::string out, err;
    r.argv = argv;
    // A closed standard output (| head) is a failed write with its own
    // status, never a signal that ends the program before the --save and
    // --metrics files are written.
    signal(SIGPIPE, SIG_IGN);
    int code = zkd::parse_options(argc, argv, r.options, out, err);
    if (code < 0)
        code = zkd::check_targets(r.options, err);
    if (code >= 0) {
        std::fputs(err.c_str(), stderr);
        if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
            complain(std::string("cannot write to standard output: ") + std::strerror(errno));
            return zkd::kExitStdout;
        }
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
int start_simulation(Run &r)
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
        zkd::reexec_with_simulator(description, r.argv, error);
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
    warn_about_host(r.options, r.earlier);
    return kGoOn;
}

// --save: a folder the report cannot go to is known before the scan.
int check_save_folder(Run &r)
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

}  // namespace zkd
