#include "metrics.h"

#include "claim_groups.h"
#include "device_scan.h"
#include "kernel_view.h"
#include "text_escape.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <map>
#include <utility>

namespace zkd {

namespace {

// The families in the order of the file, with their HELP text.
struct Family {
    const char *name;
    const char *help;
};
constexpr Family kSuccess{"zkdiscover_scan_success",
                          "1 when the scan ran, 0 when it could not (support library not "
                          "loadable, no devices, simulation error)."};
constexpr Family kTimestamp{"zkdiscover_scan_timestamp_seconds",
                            "When the scan ended, in seconds since the epoch."};
constexpr Family kDuration{"zkdiscover_scan_duration_seconds",
                           "How long the scan took, in seconds."};
constexpr Family kDevices{"zkdiscover_devices",
                          "Devices examined, by outcome (claimed, not_claimed, failed, "
                          "not_examined, not_answering)."};
constexpr Family kLunPaths{"zkdiscover_lun_paths",
                           "Paths to a claimed LUN through each storage processor (A and B "
                           "always present)."};
constexpr Family kLunOwner{"zkdiscover_lun_owner",
                           "1 for the storage processor that owns the LUN, 0 for the other."};
constexpr Family kPathInfo{"zkdiscover_path_info",
                           "1 for each claimed path: its device, SCSI address (H:C:T:L) and "
                           "whether its storage processor owns the LUN."};
constexpr Family kDmPathState{"zkdiscover_path_dm_state",
                              "Device-mapper's state of each claimed path in its multipath map "
                              "(active, failed, none: in no map, unknown): 1 for the current, 0 "
                              "for the others."};
constexpr Family kDmGroupState{"zkdiscover_path_dm_group_state",
                               "Device-mapper's state of the path group of each claimed path "
                               "(active, enabled, disabled, none: in no map, unknown): 1 for the "
                               "current, 0 for the others."};
constexpr Family kPathNotAnswering{
    "zkdiscover_path_not_answering",
    "1 for each device that did not answer within the per-device deadline, with the "
    "array, LUN and SP the kernel or an earlier scan knew it by (empty when not known)."};
constexpr Family kInfo{"zkdiscover_info",
                       "1; the program's version, the support library (the one tried when "
                       "none could be loaded) and its interface version (0 when unknown)."};
constexpr Family kDeviceExamined{"zkdiscover_device_examined",
                                 "1 for each device node found that could be examined (claimed, "
                                 "not claimed or failed), 0 for one that could not."};
constexpr Family kLunOwnerUnknown{"zkdiscover_lun_owner_unknown",
                                  "1 when the LUN has claimed paths and none of them carries the "
                                  "owner flag, else 0."};

void header(Spool &out, const Family &family)
{
    out += "# HELP ";
    out += family.name;
    out += ' ';
    out += family.help;
    out += "\n# TYPE ";
    out += family.name;
    out += " gauge\n";
}

using Labels = std::vector<std::pair<const char *, std::string>>;

// One sample; label values already escaped.
void sample(Spool &out, const Family &family, const Labels &labels, const std::string &value)
{
    out += family.name;
    if (!labels.empty()) {
        out += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i > 0)
                out += ',';
            out += labels[i].first;
            out += "=\"";
            out += labels[i].second;
            out += '"';
        }
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

std::string number(double value, const char *format)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The SP that owns a LUN: the one whose paths say so; when every path says
// "not the owner" and all go through one of two SPs, the other one. ""
// when the paths do not tell.
std::string owning_sp(const LunView &lun)
{
    std::string seen;
    for (const PathView &p : lun.paths) {
        if (p.owner)
            return std::string(p.sp);
        if (seen.empty())
            seen = p.sp;
        else if (seen != p.sp)
            return "";
    }
    return seen == "A" ? "B" : seen == "B" ? "A" : "";
}

}  // namespace

std::string metrics_label_value(std::string_view raw)
{
    std::string shown = escape_text(raw);
    std::string out;
    out.reserve(shown.size() + 8);
    for (char c : shown) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

namespace {

// The claims grouped, arrays, LUNs and paths sorted (paths by SP, then
// device), so that the file does not depend on the order of the scan.
std::vector<ArrayView> sorted_arrays(const MetricsSource &source)
{
    std::vector<ArrayView> arrays;
    if (source.results != nullptr)
        arrays = group_claims(*source.results);
    std::sort(arrays.begin(), arrays.end(), [](const ArrayView &a, const ArrayView &b) {
        return a.cabinet_serial < b.cabinet_serial;
    });
    for (ArrayView &array : arrays) {
        std::sort(array.luns.begin(), array.luns.end(), [](const LunView &a, const LunView &b) {
            return a.lun_serial < b.lun_serial;
        });
        for (LunView &lun : array.luns)
            std::sort(lun.paths.begin(), lun.paths.end(), [](const PathView &a, const PathView &b) {
                return a.sp != b.sp ? a.sp < b.sp : natural_less(a.device->path, b.device->path);
            });
    }
    return arrays;
}

// Per LUN: every SP seen, A and B always.
struct LunSeries {
    std::string array, lun, owner;
    std::map<std::string, size_t> paths;
    bool owner_flagged = false;    // some path carries the owner flag
};

std::vector<LunSeries> lun_series(const std::vector<ArrayView> &arrays)
{
    std::vector<LunSeries> luns;
    for (const ArrayView &array : arrays) {
        for (const LunView &lun : array.luns) {
            LunSeries s{metrics_label_value(array.cabinet_serial),
                        metrics_label_value(lun.lun_serial), owning_sp(lun),
                        {{"A", 0}, {"B", 0}}};
            for (const PathView &p : lun.paths) {
                ++s.paths[std::string(p.sp)];
                s.owner_flagged = s.owner_flagged || p.owner;
            }
            luns.push_back(std::move(s));
        }
    }
    return luns;
}

// The devices that pass keep, in natural order of their node.
template <typename Keep>
std::vector<const DeviceResult *> in_node_order(const std::vector<DeviceResult> &results, Keep keep)
{
    std::vector<const DeviceResult *> devices;
    for (const DeviceResult &d : results)
        if (keep(d))
            devices.push_back(&d);
    std::sort(devices.begin(), devices.end(), [](const DeviceResult *a, const DeviceResult *b) {
        return natural_less(a->path, b->path);
    });
    return devices;
}

// A node that could be read and offered: a new outcome counts as not
// examined until it says otherwise.
bool examined(const DeviceResult &d)
{
    return d.outcome == Outcome::Claimed || d.outcome == Outcome::NotClaimed ||
           d.outcome == Outcome::Failed;
}

// One series per device node found, in natural order of the node; none
// when the scan could not run.
void device_examined_series(const MetricsSource &source, Spool &out)
{
    header(out, kDeviceExamined);
    if (source.results == nullptr)
        return;
    for (const DeviceResult *d : in_node_order(*source.results, [](const DeviceResult &) { return true; }))
        sample(out, kDeviceExamined,
               {{"device", metrics_label_value(d->path)},
                {"address", metrics_label_value(d->scsi_address)}},
               examined(*d) ? "1" : "0");
}

void lun_owner_unknown_series(const std::vector<LunSeries> &luns, Spool &out)
{
    header(out, kLunOwnerUnknown);
    for (const LunSeries &s : luns)
        sample(out, kLunOwnerUnknown, {{"array", s.array}, {"lun", s.lun}},
               s.owner_flagged ? "0" : "1");
}

// zkdiscover_path_not_answering: one series per device that did not
// answer, in device order; none when the scan could not run.
void render_not_answering(const MetricsSource &source, Spool &out)
{
    header(out, kPathNotAnswering);
    if (source.results == nullptr)
        return;
    auto silent = [](const DeviceResult &d) { return d.outcome == Outcome::NotAnswering; };
    for (const DeviceResult *d : in_node_order(*source.results, silent))
        sample(out, kPathNotAnswering,
               {{"array", metrics_label_value(property_or_empty(*d, "CAB_SERIAL_NO"))},
                {"lun", metrics_label_value(property_or_empty(*d, "LUN_SERIAL_NO"))},
                {"sp", metrics_label_value(property_or_empty(*d, "SP"))},
                {"device", metrics_label_value(d->path)},
                {"address", metrics_label_value(d->scsi_address)}},
               "1");
}

// The unit's and the kernel's views of each LUN and claimed path (VPD 0xC0
// and sysfs), every state a 0/1 series, all present.
constexpr Family kLunDefaultOwner{
    "zkdiscover_lun_default_owner",
    "1 for the storage processor that is the LUN's default owner (VPD 0xC0 byte 5), 0 for the "
    "other; both 0 when no path could tell."};
constexpr Family kLunInProgress{
    "zkdiscover_lun_operation_in_progress",
    "1 while the unit reports an operation in progress on the LUN (VPD 0xC0 byte 48: a "
    "software upgrade), else 0."};
constexpr Family kLunFailoverMode{
    "zkdiscover_lun_failover_mode",
    "1 for the LUN's failover mode (VPD 0xC0 byte 28: 1 active/passive, 4 ALUA), 0 for the "
    "others; unknown when no path could tell, the code is another or its paths differ."};
constexpr Family kPathKernelState{
    "zkdiscover_path_kernel_state",
    "The kernel's access state of each claimed path: 1 for its current state, 0 for the "
    "others (detached: no device handler; unknown: the kernel does not say)."};
constexpr Family kPathKernelPreferred{
    "zkdiscover_path_kernel_preferred",
    "1 when the kernel marks the claimed path as preferred, else 0."};
constexpr Family kPathUnitState{
    "zkdiscover_path_unit_state",
    "The unit's state of the LUN as each claimed path reports it (VPD 0xC0 byte 4): 1 for its "
    "current state, 0 for the others (owned: by this path's SP; bound: owned by the other SP)."};
constexpr Family kPathViewsAgree{
    "zkdiscover_path_views_agree",
    "1 when the library's owner flag, the unit's state and the kernel's access state of the "
    "claimed path agree on whether its SP owns the LUN (a view not read says nothing), else 0."};

void render_view_families(const std::vector<ArrayView> &arrays,
                          const std::vector<LunSeries> &luns, Spool &out)
{
    header(out, kLunDefaultOwner);
    size_t n = 0;
    for (const ArrayView &array : arrays)
        for (const LunView &lun : array.luns) {
            int default_sp = lun_default_sp(lun);
            const Labels base{{"array", luns[n].array}, {"lun", luns[n].lun}};
            for (int sp = 0; sp < 2; ++sp) {
                Labels labels = base;
                labels.emplace_back("sp", sp ? "B" : "A");
                sample(out, kLunDefaultOwner, labels, default_sp == sp ? "1" : "0");
            }
            ++n;
        }
    header(out, kLunInProgress);
    n = 0;
    for (const ArrayView &array : arrays)
        for (const LunView &lun : array.luns) {
            sample(out, kLunInProgress, {{"array", luns[n].array}, {"lun", luns[n].lun}},
                   lun_operation_in_progress(lun) ? "1" : "0");
            ++n;
        }
    header(out, kLunFailoverMode);
    n = 0;
    for (const ArrayView &array : arrays)
        for (const LunView &lun : array.luns) {
            int mode = lun_failover_mode(lun);
            std::string now = mode >= 0 ? std::to_string(mode) : "unknown";
            Labels labels{{"array", luns[n].array}, {"lun", luns[n].lun}, {"mode", ""}};
            for (const char *name : kFailoverModes) {
                labels.back().second = name;
                sample(out, kLunFailoverMode, labels, now == name ? "1" : "0");
            }
            ++n;
        }

    // Per path: its labels are made again for each family rather than held,
    // so that the largest scans cost no more memory.
    auto each_path = [&](auto &&fn) {
        size_t at = 0;
        Labels labels;
        for (const ArrayView &array : arrays) {
            for (const LunView &lun : array.luns) {
                for (const PathView &p : lun.paths) {
                    labels = {{"array", luns[at].array},
                              {"lun", luns[at].lun},
                              {"sp", metrics_label_value(p.sp)},
                              {"device", metrics_label_value(p.device->path)},
                              {"address", metrics_label_value(p.device->scsi_address)}};
                    fn(labels, *p.device);
                }
                ++at;
            }
        }
    };
    auto states = [&](const Family &family, const char *const *names, size_t count,
                      const char *(*current)(const DeviceResult &)) {
        header(out, family);
        each_path([&](Labels &labels, const DeviceResult &d) {
            std::string_view now = current(d);
            labels.emplace_back("state", "");
            for (size_t k = 0; k < count; ++k) {
                labels.back().second = names[k];
                sample(out, family, labels, now == names[k] ? "1" : "0");
            }
        });
    };
    states(kPathKernelState, kKernelStates, std::size(kKernelStates),
           [](const DeviceResult &d) { return kernel_state_name(d.views.kernel); });
    header(out, kPathKernelPreferred);
    each_path([&](Labels &labels, const DeviceResult &d) {
        sample(out, kPathKernelPreferred, labels,
               d.views.kernel.read && d.views.kernel.preferred ? "1" : "0");
    });
    states(kPathUnitState, kUnitStates, std::size(kUnitStates),
           [](const DeviceResult &d) { return unit_state_name(d.views.report); });
    header(out, kPathViewsAgree);
    each_path([&](Labels &labels, const DeviceResult &d) {
        sample(out, kPathViewsAgree, labels, views_agree(d) ? "1" : "0");
    });
}

// Both dm families, per claimed path: every state a series, the current 1.
void dm_families(const std::vector<ArrayView> &arrays, Spool &out)
{
    struct Which {
        const Family &family;
        std::initializer_list<DmState> states;
        DmState DmPathState::*member;
    };
    for (const Which &w :
         {Which{kDmPathState, {DmState::Active, DmState::Failed, DmState::None, DmState::Unknown},
                &DmPathState::path},
          Which{kDmGroupState,
                {DmState::Active, DmState::Enabled, DmState::Disabled, DmState::None,
                 DmState::Unknown},
                &DmPathState::group_state}}) {
        header(out, w.family);
        for (const ArrayView &array : arrays)
            for (const LunView &lun : array.luns)
                for (const PathView &p : lun.paths) {
                    const DmPathState &dm = p.device->dm;
                    Labels labels{{"array", metrics_label_value(array.cabinet_serial)},
                                  {"lun", metrics_label_value(lun.lun_serial)},
                                  {"sp", metrics_label_value(p.sp)},
                                  {"device", metrics_label_value(p.device->path)},
                                  {"address", metrics_label_value(p.device->scsi_address)},
                                  {"map", metrics_label_value(dm.map)},
                                  {"group", dm.group ? std::to_string(dm.group) : ""},
                                  {"state", ""}};
                    for (DmState state : w.states) {
                        labels.back().second = dm_state_name(state);
                        sample(out, w.family, labels, dm.*w.member == state ? "1" : "0");
                    }
                }
    }
}

}  // namespace

void render_metrics(const MetricsSource &source, Spool &out)
{
    header(out, kSuccess);
    sample(out, kSuccess, {}, source.results ? "1" : "0");
    header(out, kTimestamp);
    sample(out, kTimestamp, {}, number(source.timestamp, "%.3f"));
    header(out, kDuration);
    sample(out, kDuration, {}, number(source.duration, "%.6f"));

    // Every outcome, zeros included; no scan: all zero.
    header(out, kDevices);
    for (auto group : {std::make_pair("claimed", Outcome::Claimed),
                       std::make_pair("not_claimed", Outcome::NotClaimed),
                       std::make_pair("failed", Outcome::Failed),
                       std::make_pair("not_examined", Outcome::Unreadable),
                       std::make_pair("not_answering", Outcome::NotAnswering)})
        sample(out, kDevices, {{"outcome", group.first}},
               std::to_string(source.results ? count_in(*source.results, group.second) : 0));
    device_examined_series(source, out);

    std::vector<ArrayView> arrays = sorted_arrays(source);
    std::vector<LunSeries> luns = lun_series(arrays);
    header(out, kLunPaths);
    for (const LunSeries &s : luns) {
        for (const auto &sp : s.paths)
            sample(out, kLunPaths,
                   {{"array", s.array}, {"lun", s.lun}, {"sp", metrics_label_value(sp.first)}},
                   std::to_string(sp.second));
    }
    header(out, kLunOwner);
    for (const LunSeries &s : luns) {
        for (const auto &sp : s.paths)
            sample(out, kLunOwner,
                   {{"array", s.array}, {"lun", s.lun}, {"sp", metrics_label_value(sp.first)}},
                   sp.first == s.owner ? "1" : "0");
    }
    lun_owner_unknown_series(luns, out);
    header(out, kPathInfo);
    size_t n = 0;
    for (const ArrayView &array : arrays) {
        for (const LunView &lun : array.luns) {
            for (const PathView &p : lun.paths)
                sample(out, kPathInfo,
                       {{"array", luns[n].array},
                        {"lun", luns[n].lun},
                        {"sp", metrics_label_value(p.sp)},
                        {"device", metrics_label_value(p.device->path)},
                        {"address", metrics_label_value(p.device->scsi_address)},
                        {"owner", p.owner ? "yes" : "no"}},
                       "1");
            ++n;
        }
    }
    if (source.results != nullptr) {
        render_view_families(arrays, luns, out);
        dm_families(arrays, out);
    }
    render_not_answering(source, out);
    header(out, kInfo);
    sample(out, kInfo,
           {{"version", metrics_label_value(source.version)},
            {"library", metrics_label_value(source.library)},
            {"interface", std::to_string(source.interface_version)}},
           "1");
}

std::string render_metrics(const MetricsSource &source)
{
    return collect([&source](Spool &out) { render_metrics(source, out); });
}

}  // namespace zkd
