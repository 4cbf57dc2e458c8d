// zkdiscover: runs libzkDGCclariion.so the way a volume manager's device
// discovery layer does, and reports what it claims and why.
#include "run.h"

#include "capture.h"
#include "claims.h"
#include "file_io.h"
#include "not_answering_run.h"
#include "progress.h"
#include "report.h"
#include "simulation.h"
#include "text_escape.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

namespace {

using zkd::complain;
using zkd::host_name;
using zkd::kGoOn;
using zkd::Run;

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

void scan(Run &r)
{
    zkd::ProgressLine progress(r.offered.size());
    zkd::ScanSettings settings;
    settings.jobs = r.options.jobs;
    settings.explain = r.options.explain;
    settings.capture = r.capture;
    settings.device_timeout_ms = r.options.device_timeout * 1000LL;
    settings.scan_timeout_ms = r.options.scan_timeout * 1000LL;
    // The kernel's view and the unit's own (VPD 0xC0), read as each
    // claimed path is examined.
    settings.views.read = true;
    if (r.simulated)
        settings.views.simulated = zkd::simulated_kernel_state;
    settings.on_device_done = [&progress] { progress.advance(); };

    r.scanned_at = utc_now();
    zkd::scan_devices(r.library, r.results, r.offered, settings);
    progress.finish();
    std::vector<size_t>().swap(r.offered);

    // The multipath layer's view, of real devices.
    if (!r.simulated)
        zkd::read_dm_views(r.results);  // dm_view.h

    // What the kernel and the earlier scan know of the devices that did
    // not answer.
    zkd::attribute_not_answering(r.library, r.results, r.simulated ? "" : "/sys",
                                 r.comparing ? &r.earlier : nullptr);

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
        if (zkd::in_group(d, zkd::Outcome::Unreadable) || d.outcome == zkd::Outcome::NotAnswering)
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
        zkd::compare_snapshots(r.earlier, zkd::snapshot_of_scan(r.results),
                               !r.options.devices.empty());
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
        zkd::write_export(r.results, report, isatty(STDOUT_FILENO) == 1);
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
        return r.metrics.finish(&r.results, zkd::kExitStdout);
    }
    return r.metrics.finish(&r.results, r.exit_code);
}

// One run: the steps before the scan until one gives the exit code, then
// the scan and what it is written to.
int run(int argc, char **argv)
{
    // Static: a worker left blocked in a device (claims.h) may still use
    // its library until the program ends.
    static Run r;
    int code = zkd::parse_command_line(argc, argv, r);
    if (code != kGoOn)
        return code;
    for (zkd::Step step : {zkd::check_metrics_folder, zkd::start_simulation, zkd::read_earlier_scan,
                           zkd::check_save_folder, zkd::start_trace_collector,
                           zkd::check_capture_folder, zkd::load_library, zkd::list_devices}) {
        code = step(r);
        if (code != kGoOn)
            return code;
    }

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
