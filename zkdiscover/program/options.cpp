#include "options.h"

#include "capture.h"
#include "file_io.h"
#include "output_target.h"
#include "text_escape.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iterator>
#include <sstream>

#ifndef ZKD_VERSION
#define ZKD_VERSION "0"
#endif

namespace zkd {

namespace {

// The whole help text, wrapped for an 80-column terminal.
const char kHelp[] =
    "Usage: zkdiscover [OPTIONS] [DEVICE...]\n"
    "       zkdiscover [DEVICE...] --simulate[=FILE] [OPTIONS]\n"
    "\n"
    "Shows which devices libzkDGCclariion.so claims, and why. The library is\n"
    "loaded as a volume manager's device discovery layer loads it; every SCSI\n"
    "device of the machine (or each DEVICE given) is offered to claim_device,\n"
    "and the claims are shown as a tree: array (cabinet serial) > LUN (LUN\n"
    "serial, revision, SCSI version) > path (SP, port serial, owner), then the\n"
    "devices not claimed, failed and not examined.\n"
    "\n"
    "Options:\n"
    "  DEVICE             device node to examine; default: every /dev/sgN, or\n"
    "                     the SCSI disks when the machine has no sg nodes\n"
    "  --library PATH     support library to load; default: the one beside\n"
    "                     zkdiscover, then ../lib, then the system's search\n"
    "  --simulate[=FILE]  examine the device simulator's units instead of the\n"
    "                     machine's devices: those of FILE, by default the\n"
    "                     bundled demo array (put DEVICEs before this option)\n"
    "  --json             print one JSON document\n"
    "  --export           print each claimed device's NAME=VALUE pairs after\n"
    "                     DEVICE=path, one per line, a blank line between\n"
    "                     devices; values single-quoted for eval in sh\n"
    "  --explain          show each device's trace lines, as the library writes\n"
    "                     them; the machine's trace log is not written\n"
    "  -j, --jobs N       claim up to N devices at the same time (1-256;\n"
    "                     default 16, never more than the devices; 1: one\n"
    "                     after the other)\n"
    "  --device-timeout SECONDS\n"
    "                     a device that has not answered within SECONDS (1-3600,\n"
    "                     default 10) is reported as not answering; the others\n"
    "                     go on\n"
    "  --scan-timeout SECONDS\n"
    "                     the scan ends after SECONDS (1-86400, default 180):\n"
    "                     the devices still examined are reported as not\n"
    "                     answering, those not reached as not examined\n"
    "  --capture DIR      also write DIR/capture.sim, each device's raw answers\n"
    "                     to its examination as a simulator description; replay\n"
    "                     it on any machine with --simulate=DIR/capture.sim\n"
    "  --compare OLD      report only what changed since OLD, the --json report\n"
    "                     of an earlier scan: arrays, LUNs and paths that\n"
    "                     appeared or disappeared, SPs a LUN lost, LUNs with no\n"
    "                     path through the owning SP, paths whose SP or owner\n"
    "                     flag changed, trespasses, devices now behind another\n"
    "                     LUN, firmware changes, changed outcomes (with --json:\n"
    "                     a JSON list of the changes)\n"
    "  --save FILE        also write this scan's --json report to FILE, replaced\n"
    "                     as a whole (the next --compare's OLD)\n"
    "  --metrics FILE     also write the scan as Prometheus metrics to FILE,\n"
    "                     replaced atomically, even when the scan cannot run\n"
    "                     (- : to stdout, instead of the report; not with\n"
    "                     --json, --export or --explain)\n"
    "  --                 end of the options: what follows is DEVICEs\n"
    "  -h, --help         show this help\n"
    "  --version          show the version\n"
    "\n"
    "Exit codes:\n"
    "  0  the scan ran; each device's outcome is in the report (with --compare:\n"
    "     nothing changed)\n"
    "  1  the --save or --metrics file could not be written, or an internal\n"
    "     error\n"
    "  2  usage error (also an OLD file that is unreadable or not a report, an\n"
    "     output that is no regular file, a DEVICE that is no device node)\n"
    "  3  the support library cannot be loaded or lacks an entry point\n"
    "  4  the support library's interface version is not 1\n"
    "  5  no device found to examine\n"
    "  6  the simulation cannot start (description file unreadable or invalid,\n"
    "     device simulator missing)\n"
    "  7  the capture file cannot be written\n"
    "  8  a DEVICE named on the command line could not be examined or did not\n"
    "     answer in time (a scan of every device returns 0 then: a machine has\n"
    "     nodes that cannot be read, such as a drive without media; the report\n"
    "     lists them)\n"
    "  9  standard output could not be written (a closed pipe, a full disk);\n"
    "     the --save and --metrics files are written all the same\n"
    "  10 --compare: something changed since OLD (the changes are listed)\n"
    "  11 --compare: degraded since OLD: a path, an SP or an owner path lost\n";

// Options that take a value. An empty value is an error, never a reason to
// take the next argument as the value.
const char *const kValueOptions[] = {"--library", "--simulate", "--capture", "--compare",
                                     "--save",    "--metrics",  "--jobs",  "-j",
                                     "--device-timeout", "--scan-timeout"};

// The option given an empty value ("--capture=" or "--capture ''"), or "".
std::string option_with_empty_value(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--")
            break;
        for (const char *name : kValueOptions) {
            if (arg == std::string(name) + "=" ||
                (arg == name && i + 1 < argc && argv[i + 1][0] == '\0'))
                return name;
        }
    }
    return "";
}

// The options as the parser knows them, with whether they take a value
// (--simulate's is optional and only ever given with '=').
struct Known {
    const char *name;
    bool value;
};
constexpr Known kKnown[] = {
    {"--library", true}, {"--simulate", true}, {"--capture", true}, {"--compare", true},
    {"--save", true},    {"--metrics", true},  {"--jobs", true},    {"-j", true},
    {"--json", false},   {"--export", false},  {"--explain", false}, {"--help", false},
    {"-h", false},       {"--version", false},
};

const Known *known(const std::string &name)
{
    for (const Known &k : kKnown)
        if (name == k.name)
            return &k;
    return nullptr;
}

// --jobs and -j are one option.
std::string canonical(const std::string &name)
{
    return name == "-j" ? "--jobs" : name == "-h" ? "--help" : name;
}

bool valid_jobs(const std::string &value)
{
    if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int n = std::atoi(value.c_str());
    return n >= 1 && n <= 256;
}

// What the parser would misread or word by its own names: a long option
// with one dash (-json is no -j son), a value given to a switch
// (--json=false), an option given twice, a --jobs that is no number. The
// message names the option as it was typed; "" when there is none.
std::string command_line_problem(int argc, char **argv)
{
    std::vector<std::pair<std::string, std::string>> seen;   // canonical, as typed
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--")
            break;
        if (arg.size() < 2 || arg[0] != '-')
            continue;
        std::string name = arg, value;
        bool attached = false;
        if (arg[1] == '-') {
            size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                name = arg.substr(0, equals);
                value = arg.substr(equals + 1);
                attached = true;
            }
        } else if (arg.size() > 2) {
            if (arg.compare(0, 2, "-j") == 0 && arg.find_first_not_of("0123456789", 2) == std::string::npos) {
                name = "-j";
                value = arg.substr(2);
                attached = true;
            } else if (known("--" + arg.substr(1)) != nullptr) {
                return "unknown option " + escape_text(arg) + " (did you mean -" +
                       escape_text(arg) + "?)";
            } else {
                return "unknown option " + escape_text(arg);
            }
        }
        const Known *k = known(name);
        if (k == nullptr)
            continue;   // the parser names it
        if (!k->value && attached)
            return escape_text(arg) + ": " + name + " takes no value";
        for (const auto &earlier : seen)
            if (earlier.first == canonical(name))
                return escape_text(name) + " was given twice" +
                       (earlier.second != name ? " (also as " + earlier.second + ")" : "");
        seen.emplace_back(canonical(name), name);
        bool has_value = attached;
        if (k->value && !attached && i + 1 < argc &&
            (name != "--simulate" || argv[i + 1][0] != '-')) {
            value = argv[++i];
            has_value = true;
        }
        if (k->value && !has_value && name != "--simulate")
            return escape_text(name) + " needs a value";
        if (canonical(name) == "--jobs" && has_value && !valid_jobs(value))
            return escape_text(name) + " " + escape_text(value) +
                   ": not a whole number from 1 to 256";
    }
    return "";
}

}  // namespace

int check_targets(const Options &options, std::string &err)
{
    struct Target {
        const char *option;
        const std::string &given;
        std::string file;
    } targets[] = {
        {"--save", options.save_file, options.save_file},
        {"--metrics", options.metrics_file, options.metrics_file == "-" ? "" : options.metrics_file},
        {"--capture", options.capture_dir,
         options.capture_dir.empty() ? "" : options.capture_dir + "/" + kCaptureFileName},
    };
    for (const Target &t : targets) {
        if (t.file.empty())
            continue;
        bool capture = t.option == std::string("--capture");
        std::string refused = capture ? t.given : folder_of(t.file);
        std::string why = capture ? refused_capture_folder(t.given) : refused_folder_link(refused);
        if (why.empty())
            refused = t.file;
        if (why.empty())
            why = refused_output_target(t.file);
        if (!why.empty()) {
            err = std::string("zkdiscover: ") + t.option + " " + escape_text(t.given) + ": " +
                  (refused != t.given ? escape_text(refused) + " is " : "") + why + "\n";
            return kExitUsage;
        }
    }
    for (const Target &t : targets)
        for (const Target *u = &t + 1; u != std::end(targets); ++u)
            if (!t.file.empty() && !u->file.empty() && same_output_file(t.file, u->file)) {
                err = std::string("zkdiscover: ") + t.option + " " + escape_text(t.given) +
                      " and " + u->option + " " + escape_text(u->given) +
                      ": the same file; each would replace the other\n";
                return kExitUsage;
            }
    if (!options.simulate) {
        for (const std::string &device : options.devices) {
            std::string why = refused_device_argument(device);
            if (!why.empty()) {
                err = "zkdiscover: DEVICE " + escape_text(device) + ": " + why + "\n";
                return kExitUsage;
            }
        }
    }
    return -1;
}

int parse_options(int argc, char **argv, Options &options, std::string &out, std::string &err)
{
    CLI::App app("", "zkdiscover");

    // The help text is kHelp; the parser only reads the options.
    bool json = false, exported = false, version = false;
    app.add_option("DEVICE", options.devices);
    app.add_option("--library", options.library)->type_name("PATH");
    CLI::Option *simulate =
        app.add_option("--simulate", options.description)->expected(0, 1)->type_name("FILE");
    CLI::Option *json_opt = app.add_flag("--json", json);
    CLI::Option *export_opt = app.add_flag("--export", exported);
    CLI::Option *explain_opt = app.add_flag("--explain", options.explain);
    app.add_option("-j,--jobs", options.jobs)->check(CLI::Range(1, 256))->type_name("N");
    app.add_option("--device-timeout", options.device_timeout)
        ->check(CLI::Range(1, 3600))
        ->type_name("SECONDS");
    app.add_option("--scan-timeout", options.scan_timeout)
        ->check(CLI::Range(1, 86400))
        ->type_name("SECONDS");
    app.add_option("--capture", options.capture_dir)->type_name("DIR");
    CLI::Option *compare_opt = app.add_option("--compare", options.compare_file)->type_name("OLD");
    app.add_option("--save", options.save_file)->type_name("FILE");
    app.add_option("--metrics", options.metrics_file)->type_name("FILE");
    app.add_flag("--version", version);
    json_opt->excludes(export_opt);
    explain_opt->excludes(export_opt);
    compare_opt->excludes(export_opt)->excludes(explain_opt);

    std::string empty = option_with_empty_value(argc, argv);
    std::string problem = empty.empty() ? command_line_problem(argc, argv)
                                        : empty + " was given an empty value";
    if (!problem.empty()) {
        err = "zkdiscover: " + problem + "\nRun with --help for more information.\n";
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        out = kHelp;
        return kExitOk;
    } catch (const CLI::ParseError &e) {
        std::ostringstream message;
        message << "zkdiscover: " << e.what() << "\nRun with --help for more information.\n";
        err = message.str();
        return kExitUsage;
    }
    if (version) {
        out = std::string("zkdiscover ") + ZKD_VERSION + "\n";
        return kExitOk;
    }
    options.simulate = simulate->count() > 0;
    if (json)
        options.format = Format::Json;
    else if (exported)
        options.format = Format::Export;
    // With --metrics -, standard output carries the metrics alone.
    if (options.metrics_file == "-" && (json || exported || options.explain)) {
        err = std::string("zkdiscover: ") + (json ? "--json" : exported ? "--export" : "--explain") +
              " cannot be shown with --metrics - (standard output carries the metrics alone)\n";
        return kExitUsage;
    }
    for (const std::string &device : options.devices) {
        if (device.empty()) {
            err = "zkdiscover: an empty device path was given\n";
            return kExitUsage;
        }
    }
    return -1;
}

}  // namespace zkd
