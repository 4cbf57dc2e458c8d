// One run of zkdiscover: what it knows, gathered step by step, and the
// steps before the scan (run_setup.cpp); the scan and its outputs follow
// in main.cpp.
#ifndef ZKDISCOVER_RUN_H
#define ZKDISCOVER_RUN_H

#include "compare.h"
#include "host_library.h"
#include "metrics_output.h"
#include "options.h"

#include <string>
#include <vector>

namespace zkd {

// "zkdiscover: message" on stderr.
void complain(const std::string &message);

// The machine's name, as the report gives it.
std::string host_name();

// What one run knows, gathered step by step.
struct Run {
    zkd::Options options;
    char **argv = nullptr;               // as given, for --simulate's second start
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

// The steps before the scan, in the order of a run: each gives kGoOn or
// the exit code to leave with (the --metrics file written where it must).
int parse_command_line(int argc, char **argv, Run &r);
using Step = int (*)(Run &r);
int check_metrics_folder(Run &r);
int start_simulation(Run &r);
int read_earlier_scan(Run &r);
int check_save_folder(Run &r);
int start_trace_collector(Run &r);
int check_capture_folder(Run &r);
int load_library(Run &r);
int list_devices(Run &r);

}  // namespace zkd

#endif
