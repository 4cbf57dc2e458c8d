// Command line of zkdiscover and its exit codes.
#ifndef ZKDISCOVER_OPTIONS_H
#define ZKDISCOVER_OPTIONS_H

#include <string>
#include <vector>

namespace zkd {

// Exit codes (also in --help and the manual page).
enum ExitCode {
    kExitOk = 0,               // the scan ran (whatever each device's outcome)
    kExitFailure = 1,          // output could not be written, or an internal error
    kExitUsage = 2,            // bad command line
    kExitLibrary = 3,          // the library cannot be loaded or lacks entry points
    kExitVersion = 4,          // the library's interface version is not 1
    kExitNoDevices = 5,        // no device to examine was found
    kExitSimulation = 6,       // the simulation cannot start (description, simulator)
    kExitCapture = 7,          // the capture file cannot be written
    kExitNotExamined = 8,      // a DEVICE named on the command line could not be examined
    kExitStdout = 9,           // standard output could not be written (closed, full)
    // --compare: the scan differs from the earlier one. Not an error, so it
    // stands apart from the error codes above.
    kExitChanged = 10,
    // --compare: a path, an SP or an owner path was lost since the earlier
    // scan (the changes may include others).
    kExitDegraded = 11,
};

enum class Format { Tree, Json, Export };

// Claims made at the same time by default: fast on a host with thousands of
// paths, a load any array takes. Never more workers than devices.
constexpr int kDefaultJobs = 16;

// Deadlines in seconds: a device's (well under the kernel's 30 s command
// time-out, which a hung path would otherwise cost each of its commands)
// and the whole scan's (under the systemd service's TimeoutStartSec, so
// that the metrics of a scan that meets hung paths are still written).
constexpr int kDefaultDeviceTimeout = 10;
constexpr int kDefaultScanTimeout = 180;

struct Options {
    std::vector<std::string> devices;   // empty: every device of the machine
    std::string library;                // empty: the default library
    bool simulate = false;
    std::string description;            // empty: the bundled one
    Format format = Format::Tree;
    bool explain = false;
    int jobs = kDefaultJobs;
    int device_timeout = kDefaultDeviceTimeout;   // --device-timeout SECONDS
    int scan_timeout = kDefaultScanTimeout;       // --scan-timeout SECONDS
    std::string capture_dir;            // empty: no capture
    std::string compare_file;           // --compare OLD; empty: no comparison
    std::string save_file;              // --save FILE; empty: not saved
    std::string metrics_file;           // --metrics FILE ("-": stdout); empty: none
};

// Parses argv. Returns -1 when the program should go on, otherwise the exit
// code to leave with (0 after --help or --version, kExitUsage on error);
// the text to show is then in out (for stdout) or err (for stderr).
int parse_options(int argc, char **argv, Options &options, std::string &out, std::string &err);

// The outputs and DEVICE arguments checked before anything is scanned or
// written: --save, --metrics and --capture's file must be regular files or
// new, --capture's folder this user's own, and a DEVICE of a real scan a
// device node (or a path under /dev). kExitUsage with the reason in err, or
// -1 to go on.
int check_targets(const Options &options, std::string &err);

}  // namespace zkd

#endif
