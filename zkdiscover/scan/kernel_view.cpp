#include "kernel_view.h"

#include "claim_groups.h"
#include "claims.h"

#include <cstdio>
#include <fstream>

namespace zkd {

namespace {

constexpr int kVpdUnitPathReport = 0xC0;
constexpr size_t kUnitPathReportMinimum = 49;  // through byte 48
constexpr int kLunOwnedByThisSp = 2;
constexpr int kAluaMode = 4;
constexpr int kMixedCodes = -2;
const char *const kUnknown = "unknown";

// One line of a sysfs attribute, blanks trimmed; "" when missing or odd
// (empty, too long, not printable).
std::string read_attribute(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line) || line.size() > 64)
        return "";
    size_t end = line.find_last_not_of(" \t\r");
    line = end == std::string::npos ? "" : line.substr(0, end + 1);
    for (char c : line)
        if (c < 0x21 && c != ' ')
            return "";
    for (char c : line)
        if (static_cast<unsigned char>(c) > 0x7E)
            return "";
    return line;
}

std::string sp_letter(int sp) { return sp == 0 ? "A" : sp == 1 ? "B" : "?"; }

bool library_owner(const DeviceResult &d)
{
    const char *v = find_property(d, "LUN_OWNER");
    return v && std::string_view(v) == "Y";
}

// The LUN's owner as the unit reports it (the SP of a path whose 0xC0 says
// owned), and its default SP; -1 when no path said.
void lun_sps(const LunView &lun, int &owner, int &default_sp)
{
    owner = default_sp = -1;
    for (const PathView &p : lun.paths) {
        const UnitPathReport &r = p.device->views.report;
        if (!r.read)
            continue;
        if (default_sp < 0)
            default_sp = r.default_sp;
        if (r.lun_state == kLunOwnedByThisSp)
            owner = r.this_sp;
    }
}

// Byte 28's failover mode codes (sim/README.md): mode 1 active/passive,
// mode 4 ALUA, 0 and 2 older modes; -1 for another code.
int failover_mode_of(int code)
{
    switch (code) {
    case 0x00: return 0;
    case 0x04: return 1;
    case 0x08: return 2;
    case 0x06: return kAluaMode;
    default: return -1;
    }
}

// The failover code all the LUN's paths report; -1 when none did,
// kMixedCodes when they differ.
int lun_failover_code(const LunView &lun)
{
    int code = -1;
    for (const PathView &p : lun.paths) {
        const UnitPathReport &r = p.device->views.report;
        if (!r.read)
            continue;
        if (code >= 0 && r.failover_code != code)
            return kMixedCodes;
        code = r.failover_code;
    }
    return code;
}

// Whether the kernel routes I/O to the path as to the owner's (1, 0; -1
// unknown). In ALUA the SP not owning the LUN forwards I/O, so only
// active/optimized says owner: active/non-optimized is the other SP's.
int kernel_says_owner(const DeviceResult &d)
{
    int kernel = d.views.kernel.active();
    if (kernel >= 0 && d.views.report.read && d.views.report.failover_mode == kAluaMode)
        return d.views.kernel.access == "active/optimized" ? 1 : 0;
    return kernel;
}

bool disagree(const DeviceResult &d)
{
    bool library = library_owner(d);
    const UnitPathReport &r = d.views.report;
    if (r.read && (r.lun_state == kLunOwnedByThisSp) != library)
        return true;
    int kernel = kernel_says_owner(d);
    return kernel >= 0 && (kernel == 1) != library;
}

std::string failover_text(int code)
{
    if (code == kMixedCodes)
        return "failover mode differs by path";
    int mode = failover_mode_of(code);
    if (mode < 0) {
        char hex[8];
        snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(code) & 0xFF);
        return std::string("failover code ") + hex;
    }
    return "failover mode " + std::to_string(mode) +
           (mode == 1 ? " (PNR)" : mode == kAluaMode ? " (ALUA)" : "");
}

}  // namespace

std::string KernelPathState::text() const
{
    if (handler == kUnknown || handler.empty())
        return "kernel unknown";
    if (handler == "detached")
        return "kernel detached";
    return "kernel " + handler + " " + access + (preferred ? " preferred" : "");
}

int KernelPathState::active() const
{
    if (handler.empty() || handler == kUnknown || handler == "detached" || access == kUnknown)
        return -1;
    return access.rfind("active", 0) == 0 ? 1 : 0;
}

KernelPathState kernel_state_from(std::string handler, std::string access,
                                  const std::string &preferred)
{
    KernelPathState s;
    s.read = true;
    s.handler = std::move(handler);
    if (s.handler.empty() || s.handler.find(' ') != std::string::npos)
        s.handler = kUnknown;
    s.access = std::move(access);
    // "active/optimized", or with the kernel's trailing note in brackets.
    size_t bracket = s.access.find(' ');
    if (bracket != std::string::npos)
        s.access.resize(bracket);
    if (s.access.empty())
        s.access = kUnknown;
    s.preferred = preferred == "1";
    return s;
}

KernelPathState read_kernel_state(const std::string &sysfs_root, const std::string &address)
{
    std::string dir = sysfs_root + "/bus/scsi/devices/" + address + "/";
    return kernel_state_from(read_attribute(dir + "dh_state"),
                             read_attribute(dir + "access_state"),
                             read_attribute(dir + "preferred_path"));
}

bool parse_unit_path_report(const std::vector<unsigned char> &page, UnitPathReport &out)
{
    if (page.size() < kUnitPathReportMinimum || page[1] != kVpdUnitPathReport || page[9] != 0)
        return false;
    out.read = true;
    out.lun_state = page[4];
    out.default_sp = page[5];
    out.this_sp = page[8];
    out.in_progress = page[48] != 0;
    out.failover_code = page[28];
    out.failover_mode = failover_mode_of(page[28]);
    return true;
}

void read_device_views(const HostLibrary &library, DeviceResult &d, const ViewSource &source)
{
    std::vector<unsigned char> page;
    if (read_vpd(library, d.path.c_str(), kVpdUnitPathReport, page) == 0)
        parse_unit_path_report(page, d.views.report);
    if (source.simulated != nullptr)
        source.simulated(d.path, d.views.kernel);
    else if (!d.scsi_address.empty())
        d.views.kernel = read_kernel_state(source.sysfs_root, d.scsi_address);
}

const char *const kKernelStates[8] = {"active/optimized", "active/non-optimized", "standby",
                                      "unavailable",      "offline",              "transitioning",
                                      "detached",         "unknown"};
const char *const kUnitStates[4] = {"owned", "bound", "not_bound", "unknown"};

const char *kernel_state_name(const KernelPathState &k)
{
    if (!k.read || k.handler == kUnknown)
        return kUnknown;
    if (k.handler == "detached")
        return "detached";
    for (const char *state : kKernelStates)
        if (k.access == state)
            return state;
    return kUnknown;
}

const char *unit_state_name(const UnitPathReport &r)
{
    if (!r.read)
        return kUnknown;
    switch (r.lun_state) {
    case kLunOwnedByThisSp: return "owned";
    case 1: return "bound";
    case 0: return "not_bound";
    default: return kUnknown;
    }
}

bool views_agree(const DeviceResult &d) { return !disagree(d); }

int lun_default_sp(const LunView &lun)
{
    int owner, default_sp;
    lun_sps(lun, owner, default_sp);
    return default_sp == 0 || default_sp == 1 ? default_sp : -1;
}

const char *const kFailoverModes[5] = {"0", "1", "2", "4", "unknown"};

int lun_failover_mode(const LunView &lun)
{
    int code = lun_failover_code(lun);
    return code >= 0 ? failover_mode_of(code) : -1;
}

bool lun_operation_in_progress(const LunView &lun)
{
    for (const PathView &p : lun.paths)
        if (p.device->views.report.read && p.device->views.report.in_progress)
            return true;
    return false;
}

std::string path_views_text(const DeviceResult &d)
{
    std::string out;
    if (d.views.kernel.read)
        out += "  " + d.views.kernel.text();
    if (disagree(d))
        out += "  DISAGREE";
    return out;
}

std::string lun_views_text(const LunView &lun)
{
    int owner, default_sp;
    lun_sps(lun, owner, default_sp);
    int code = lun_failover_code(lun);
    std::string out = code == -1 ? "" : "  " + failover_text(code);
    if (owner >= 0 && default_sp >= 0 && owner != default_sp)
        out += "  trespassed (default SP " + sp_letter(default_sp) + ")";
    return out;
}

std::string disagreement_text(const DeviceResult &d)
{
    if (!disagree(d))
        return "";
    const UnitPathReport &r = d.views.report;
    std::string out = std::string("views disagree: library LUN_OWNER=") +
                      (library_owner(d) ? "Y" : "N");
    if (r.read)
        out += ", VPD 0xC0 LUN state " + std::to_string(r.lun_state) +
               (r.lun_state == kLunOwnedByThisSp ? " (owned by this SP)" : " (not owned by this SP)") +
               (r.failover_mode == kAluaMode ? ", failover mode 4 (ALUA)" : "");
    if (d.views.kernel.read)
        out += ", kernel access_state " + d.views.kernel.access;
    return out;
}

void add_views_json(nlohmann::ordered_json &path, const DeviceResult &d)
{
    const KernelPathState &k = d.views.kernel;
    if (k.read)
        path["kernel"] = {{"handler", k.handler}, {"access_state", k.access},
                          {"preferred", k.preferred}};
    const UnitPathReport &r = d.views.report;
    if (r.read)
        path["unit_path_report"] = {{"lun_state", r.lun_state},
                                    {"sp", sp_letter(r.this_sp)},
                                    {"default_sp", sp_letter(r.default_sp)},
                                    {"in_progress", r.in_progress},
                                    {"failover_code", r.failover_code}};
    if (r.read && r.failover_mode >= 0)
        path["unit_path_report"]["failover_mode"] = r.failover_mode;
    path["views_disagree"] = disagree(d);
}

void add_lun_views_json(nlohmann::ordered_json &lun, const LunView &view)
{
    int owner, default_sp;
    lun_sps(view, owner, default_sp);
    if (default_sp < 0)
        return;
    lun["default_sp"] = sp_letter(default_sp);
    lun["trespassed"] = owner >= 0 && owner != default_sp;
    int mode = lun_failover_mode(view);
    if (mode >= 0)
        lun["failover_mode"] = mode;
}

std::string views_export(const DeviceResult &d)
{
    std::string out;
    if (d.views.kernel.read)
        out += "KERNEL_STATE=" + d.views.kernel.text().substr(7) + "\n";
    if (d.views.report.read)
        out += "DEFAULT_SP=" + sp_letter(d.views.report.default_sp) + "\n";
    if (d.views.report.read && d.views.report.failover_mode >= 0)
        out += "FAILOVER_MODE=" + std::to_string(d.views.report.failover_mode) + "\n";
    if (disagree(d))
        out += "VIEWS_DISAGREE=Y\n";
    return out;
}

}  // namespace zkd
