// --compare: the changes between two scans, each device listed once under
// its most serious change.
#include "compare.h"

#include <algorithm>
#include <set>
#include <utility>

namespace zkd {

namespace {

using LunKey = std::pair<std::string, std::string>;   // cabinet serial, LUN serial

DeviceRecord record_or_absent(const Snapshot &snapshot, const std::string &path)
{
    auto it = snapshot.devices.find(path);
    if (it != snapshot.devices.end())
        return it->second;
    DeviceRecord absent;
    absent.path = path;
    return absent;
}

LunKey lun_of(const DeviceRecord &r) { return {r.cabinet_serial, r.lun_serial}; }

const DeviceRecord &side(const PathChange &p, bool after) { return after ? p.after : p.before; }

bool claimed_in(const DeviceRecord &r, const LunKey &lun)
{
    return r.state == DeviceState::Claimed && lun_of(r) == lun;
}

// The paths that own a LUN in one scan (a path that moved to another LUN
// owns that one, not this).
std::vector<DeviceRecord> owners(const std::vector<PathChange> &paths, const LunKey &lun, bool after)
{
    std::vector<DeviceRecord> out;
    for (const PathChange &p : paths)
        if (claimed_in(side(p, after), lun) && side(p, after).owner)
            out.push_back(side(p, after));
    return out;
}

std::set<std::string> sps_of(const std::vector<DeviceRecord> &records)
{
    std::set<std::string> sps;
    for (const DeviceRecord &r : records)
        sps.insert(r.sp);
    return sps;
}

}  // namespace

bool lists_one_device(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::DeviceMoved:
    case ChangeKind::PathSpChanged:
    case ChangeKind::PathDisappeared:
    case ChangeKind::PathOwnerChanged:
    case ChangeKind::PathAppeared:
    case ChangeKind::FirmwareChanged:
    case ChangeKind::OutcomeChanged:
        return true;
    default:
        return false;
    }
}

namespace {

bool firmware_differs(const DeviceRecord &b, const DeviceRecord &a)
{
    return b.firmware_known && a.firmware_known &&
           (b.revision != a.revision || b.scsi_version != a.scsi_version ||
            b.port_serial != a.port_serial);
}

Change device_change(ChangeKind kind, Severity severity, const PathChange &p)
{
    Change c;
    c.kind = kind;
    c.severity = severity;
    c.paths = {p};
    return c;
}

// Keeps each device under the first (most serious) change that lists it.
std::vector<Change> list_each_device_once(std::vector<Change> changes)
{
    std::stable_sort(changes.begin(), changes.end(), [](const Change &x, const Change &y) {
        return std::make_pair(static_cast<int>(x.severity), static_cast<int>(x.kind)) <
               std::make_pair(static_cast<int>(y.severity), static_cast<int>(y.kind));
    });
    std::set<std::string> listed;
    std::vector<Change> out;
    for (Change &c : changes) {
        std::vector<PathChange> fresh;
        for (const PathChange &p : c.paths) {
            if (listed.insert(p.after.path).second)
                fresh.push_back(p);
            else
                ++c.listed_above;
        }
        if (lists_one_device(c.kind) && fresh.empty())
            continue;
        c.paths = std::move(fresh);
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace

const char *severity_name(Severity severity)
{
    switch (severity) {
    case Severity::Degraded:
        return "degraded";
    case Severity::Changed:
        return "changed";
    case Severity::Unchanged:
        break;
    }
    return "unchanged";
}

Severity overall_severity(const std::vector<Change> &changes)
{
    Severity worst = Severity::Unchanged;
    for (const Change &c : changes)
        worst = std::min(worst, c.severity);
    return worst;
}

std::vector<Change> compare_snapshots(const Snapshot &before, const Snapshot &after)
{
    // Every device of either scan, in natural order.
    std::vector<PathChange> all;
    {
        std::set<std::string, NaturalOrder> paths;
        for (const auto &d : before.devices)
            paths.insert(d.first);
        for (const auto &d : after.devices)
            paths.insert(d.first);
        for (const std::string &p : paths)
            all.push_back({record_or_absent(before, p), record_or_absent(after, p)});
    }

    // Paths of each array and LUN, from either scan.
    std::map<std::string, std::vector<PathChange>> arrays;
    std::map<LunKey, std::vector<PathChange>> luns;
    std::set<std::string> arrays_before, arrays_after;
    std::set<LunKey> luns_before, luns_after;
    for (const PathChange &p : all) {
        std::set<LunKey> keys;
        for (bool later : {false, true}) {
            const DeviceRecord &r = side(p, later);
            if (r.state != DeviceState::Claimed)
                continue;
            (later ? arrays_after : arrays_before).insert(r.cabinet_serial);
            (later ? luns_after : luns_before).insert(lun_of(r));
            keys.insert(lun_of(r));
        }
        std::set<std::string> cabs;
        for (const LunKey &k : keys) {
            luns[k].push_back(p);
            cabs.insert(k.first);
        }
        for (const std::string &cab : cabs)
            arrays[cab].push_back(p);
    }

    auto only_in = [](const auto &key, const auto &here, const auto &there) {
        return here.count(key) > 0 && there.count(key) == 0;
    };
    // The paths of an array (or of one of its LUNs) in one scan.
    auto paths_in = [](const std::vector<PathChange> &paths, const LunKey *lun,
                       const std::string &cab, bool later) {
        std::vector<PathChange> out;
        for (const PathChange &p : paths) {
            const DeviceRecord &r = side(p, later);
            if (r.state == DeviceState::Claimed && r.cabinet_serial == cab &&
                (lun == nullptr || lun_of(r) == *lun))
                out.push_back(p);
        }
        return out;
    };

    std::vector<Change> changes;
    auto group = [&](ChangeKind kind, Severity severity, const LunKey &key,
                     std::vector<PathChange> paths) {
        Change c;
        c.kind = kind;
        c.severity = severity;
        c.cabinet_serial = key.first;
        c.lun_serial = key.second;
        c.paths = std::move(paths);
        changes.push_back(std::move(c));
        return &changes.back();
    };
    for (const auto &a : arrays) {
        for (bool later : {false, true}) {
            if (!only_in(a.first, later ? arrays_after : arrays_before,
                         later ? arrays_before : arrays_after))
                continue;
            std::vector<PathChange> paths = paths_in(a.second, nullptr, a.first, later);
            std::set<LunKey> keys;
            for (const PathChange &p : paths)
                keys.insert(lun_of(side(p, later)));
            group(later ? ChangeKind::ArrayAppeared : ChangeKind::ArrayDisappeared,
                  later ? Severity::Changed : Severity::Degraded, {a.first, ""}, paths)
                ->luns = keys.size();
        }
    }

    std::set<LunKey> trespassed;
    for (const auto &l : luns) {
        const LunKey &key = l.first;
        std::vector<DeviceRecord> owned_before = owners(l.second, key, false);
        std::vector<DeviceRecord> owned_after = owners(l.second, key, true);
        if (only_in(key, luns_before, luns_after) && arrays_after.count(key.first))
            group(ChangeKind::LunDisappeared, Severity::Degraded, key,
                  paths_in(l.second, &key, key.first, false));
        if (only_in(key, luns_after, luns_before) && arrays_before.count(key.first))
            group(ChangeKind::LunAppeared, Severity::Changed, key,
                  paths_in(l.second, &key, key.first, true));

        if (luns_before.count(key) && luns_after.count(key)) {
            // An SP that no path of the LUN goes through any more.
            std::vector<DeviceRecord> now;
            for (const PathChange &p : paths_in(l.second, &key, key.first, true))
                now.push_back(p.after);
            std::set<std::string> sps_after = sps_of(now);
            std::map<std::string, std::vector<PathChange>> lost;
            for (const PathChange &p : paths_in(l.second, &key, key.first, false))
                if (!sps_after.count(p.before.sp))
                    lost[p.before.sp].push_back(p);
            for (auto &sp : lost)
                group(ChangeKind::LunLostSp, Severity::Degraded, key, sp.second)->sp = sp.first;

            std::set<std::string> was = sps_of(owned_before), is = sps_of(owned_after);
            if (!was.empty() && !is.empty() && was != is) {
                trespassed.insert(key);
                std::vector<PathChange> flagged;
                for (const PathChange &p : l.second)
                    if ((claimed_in(p.before, key) && p.before.owner) !=
                        (claimed_in(p.after, key) && p.after.owner))
                        flagged.push_back(p);
                Change *c = group(ChangeKind::Trespass, Severity::Changed, key, flagged);
                c->owners_before = owned_before;
                c->owners_after = owned_after;
            }
        }
        if (luns_after.count(key) && owned_after.empty()) {
            // A new condition when the LUN had an owner path before (its
            // former owner paths are listed), or when the LUN is new.
            bool had_owner = !owned_before.empty();
            Severity severity = had_owner                 ? Severity::Degraded
                                : luns_before.count(key) ? Severity::Unchanged
                                                          : Severity::Changed;
            std::vector<PathChange> former;
            for (const PathChange &p : l.second)
                if (claimed_in(p.before, key) && p.before.owner)
                    former.push_back(p);
            Change *c = group(ChangeKind::NoOwnerPath, severity, key, former);
            c->owners_before = owned_before;
            for (const PathChange &p : paths_in(l.second, &key, key.first, true))
                c->lun_paths_after.push_back(p.after);
        }
    }

    for (const PathChange &p : all) {
        const DeviceRecord &b = p.before, &a = p.after;
        bool claimed_before = b.state == DeviceState::Claimed;
        bool claimed_after = a.state == DeviceState::Claimed;
        if (claimed_before && claimed_after) {
            if (lun_of(b) != lun_of(a))
                changes.push_back(device_change(ChangeKind::DeviceMoved, Severity::Degraded, p));
            else if (b.sp != a.sp)
                changes.push_back(device_change(ChangeKind::PathSpChanged, Severity::Degraded, p));
            else if (b.owner != a.owner && !trespassed.count(lun_of(a)))
                changes.push_back(device_change(ChangeKind::PathOwnerChanged,
                                                b.owner ? Severity::Degraded : Severity::Changed, p));
            else if (firmware_differs(b, a))
                changes.push_back(device_change(ChangeKind::FirmwareChanged, Severity::Changed, p));
            continue;
        }
        if (b.state == a.state)
            continue;
        Severity severity = claimed_before ? Severity::Degraded : Severity::Changed;
        ChangeKind kind = claimed_before && a.state == DeviceState::Absent   ? ChangeKind::PathDisappeared
                          : claimed_after && b.state == DeviceState::Absent ? ChangeKind::PathAppeared
                                                                            : ChangeKind::OutcomeChanged;
        changes.push_back(device_change(kind, severity, p));
    }
    return list_each_device_once(std::move(changes));
}

}  // namespace zkd
