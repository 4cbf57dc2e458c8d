// --compare: the changes between two scans, each device listed once under
// its most serious change.
#include "compare.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace zkd {

namespace {

// A LUN: cabinet serial, LUN serial.
using LunKey = std::pair<SharedText, SharedText>;

// A device in either scan (nullptr: absent from that one).
struct Pair {
    const DeviceRecord *before = nullptr, *after = nullptr;
};

const DeviceRecord *side(const Pair &p, bool after) { return after ? p.after : p.before; }

LunKey lun_of(const DeviceRecord &r) { return {r.cabinet_serial, r.lun_serial}; }

bool claimed(const DeviceRecord *r) { return r != nullptr && r->state == DeviceState::Claimed; }

bool claimed_in(const DeviceRecord *r, const LunKey &lun) { return claimed(r) && lun_of(*r) == lun; }

bool owns(const DeviceRecord *r, const LunKey &lun) { return claimed_in(r, lun) && r->owner; }

DeviceRecord record_or_absent(const DeviceRecord *r, const Pair &p)
{
    if (r != nullptr)
        return *r;
    DeviceRecord absent;
    absent.path = (p.before ? p.before : p.after)->path;
    return absent;
}

// Every device of either scan, in natural order: both walked together.
std::vector<Pair> pair_up(const Snapshot &before, const Snapshot &after)
{
    std::vector<Pair> all;
    all.reserve(std::max(before.devices.size(), after.devices.size()));
    auto b = before.devices.begin(), a = after.devices.begin();
    while (b != before.devices.end() || a != after.devices.end()) {
        Pair p;
        if (a == after.devices.end() || (b != before.devices.end() && natural_less(b->path, a->path)))
            p.before = &*b++;
        else if (b == before.devices.end() || natural_less(a->path, b->path))
            p.after = &*a++;
        else
            p = {&*b++, &*a++};
        all.push_back(p);
    }
    return all;
}

// A change found, its devices as numbers into the pairs; made into a
// Change once each device is known to be listed under it.
struct Found {
    ChangeKind kind = ChangeKind::OutcomeChanged;
    Severity severity = Severity::Changed;
    LunKey lun;
    std::string sp;
    std::vector<uint32_t> paths;
    size_t luns = 0;
    std::vector<uint32_t> owners_before, owners_after, lun_paths_after;
};

// The paths of a LUN group that pass test, in natural order.
template <typename Test>
std::vector<uint32_t> select(const std::vector<uint32_t> &paths, Test test)
{
    std::vector<uint32_t> out;
    for (uint32_t i : paths)
        if (test(i))
            out.push_back(i);
    return out;
}

// The SPs of these records, each once.
std::vector<SharedText> sps_of(const std::vector<Pair> &all, const std::vector<uint32_t> &paths,
                               bool after)
{
    std::vector<SharedText> sps;
    for (uint32_t i : paths)
        sps.push_back(side(all[i], after)->sp);
    std::sort(sps.begin(), sps.end());
    sps.erase(std::unique(sps.begin(), sps.end()), sps.end());
    return sps;
}

bool string_less(const LunKey &x, const LunKey &y)
{
    const std::string &xc = x.first.str(), &xl = x.second.str();
    const std::string &yc = y.first.str(), &yl = y.second.str();
    return std::tie(xc, xl) < std::tie(yc, yl);
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

std::vector<DeviceRecord> records(const std::vector<Pair> &all, const std::vector<uint32_t> &paths,
                                  bool after)
{
    std::vector<DeviceRecord> out;
    for (uint32_t i : paths)
        out.push_back(*side(all[i], after));
    return out;
}

// Keeps each device under the first (most serious) change that lists it,
// and makes the changes.
std::vector<Change> list_each_device_once(const std::vector<Pair> &all, std::vector<Found> found)
{
    std::stable_sort(found.begin(), found.end(), [](const Found &x, const Found &y) {
        return std::make_pair(static_cast<int>(x.severity), static_cast<int>(x.kind)) <
               std::make_pair(static_cast<int>(y.severity), static_cast<int>(y.kind));
    });
    std::vector<bool> listed(all.size());
    std::vector<Change> out;
    for (const Found &f : found) {
        Change c;
        for (uint32_t i : f.paths) {
            if (listed[i]) {
                ++c.listed_above;
                continue;
            }
            listed[i] = true;
            c.paths.push_back({record_or_absent(all[i].before, all[i]),
                               record_or_absent(all[i].after, all[i])});
        }
        if (lists_one_device(f.kind) && c.paths.empty())
            continue;
        c.kind = f.kind;
        c.severity = f.severity;
        c.cabinet_serial = f.lun.first.str();
        c.lun_serial = f.lun.second.str();
        c.sp = f.sp;
        c.luns = f.luns;
        c.owners_before = records(all, f.owners_before, false);
        c.owners_after = records(all, f.owners_after, true);
        c.lun_paths_after = records(all, f.lun_paths_after, true);
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

namespace {

// The paths of a LUN, claimed by it in either scan.
struct Group {
    LunKey key;
    std::vector<uint32_t> paths;
    bool in_before = false, in_after = false;
};

// The LUNs of either scan with their paths.
std::vector<Group> group_luns(const std::vector<Pair> &all)
{
    // (LUN, path) entries sorted by LUN, then by path.
    struct Entry {
        LunKey lun;
        uint32_t path;
        bool operator<(const Entry &o) const { return std::tie(lun, path) < std::tie(o.lun, o.path); }
    };
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < all.size(); ++i) {
        const DeviceRecord *b = all[i].before, *a = all[i].after;
        if (claimed(b))
            entries.push_back({lun_of(*b), i});
        if (claimed(a) && !(claimed(b) && lun_of(*a) == lun_of(*b)))
            entries.push_back({lun_of(*a), i});
    }
    std::sort(entries.begin(), entries.end());
    std::vector<Group> luns;
    for (size_t e = 0; e < entries.size(); ++e) {
        if (e == 0 || entries[e].lun != entries[e - 1].lun)
            luns.push_back({entries[e].lun, {}});
        Group &g = luns.back();
        g.paths.push_back(entries[e].path);
        g.in_before = g.in_before || claimed_in(all[entries[e].path].before, g.key);
        g.in_after = g.in_after || claimed_in(all[entries[e].path].after, g.key);
    }
    std::vector<Entry>().swap(entries);
    // In order of the serials, as the changes list them.
    std::sort(luns.begin(), luns.end(), [](const Group &x, const Group &y) { return string_less(x.key, y.key); });
    return luns;
}

// The changes found so far.
struct Finder {
    const std::vector<Pair> &all;
    std::vector<Found> found;
    // Only some paths were scanned (DEVICE arguments): a LUN's owner path
    // may be among the others.
    bool some_paths = false;

    Found *add(ChangeKind kind, Severity severity, const LunKey &key, std::vector<uint32_t> paths)
    {
        Found f;
        f.kind = kind;
        f.severity = severity;
        f.lun = key;
        f.paths = std::move(paths);
        found.push_back(std::move(f));
        return &found.back();
    }
};

// The cabinet serials of the arrays in each scan.
struct Arrays {
    std::set<SharedText> before, after;
};

Arrays arrays_of(const std::vector<Group> &luns)
{
    Arrays arrays;
    for (const Group &g : luns) {
        if (g.in_before)
            arrays.before.insert(g.key.first);
        if (g.in_after)
            arrays.after.insert(g.key.first);
    }
    return arrays;
}

// Arrays of one scan only: the LUN groups of an array are adjacent.
void find_array_changes(Finder &changes, const std::vector<Group> &luns, const Arrays &arrays)
{
    const std::vector<Pair> &all = changes.all;
    for (size_t first = 0, last; first < luns.size(); first = last) {
        SharedText cab = luns[first].key.first;
        for (last = first; last < luns.size() && luns[last].key.first == cab; ++last) {
        }
        for (bool later : {false, true}) {
            if (!(later ? arrays.after : arrays.before).count(cab) ||
                (later ? arrays.before : arrays.after).count(cab))
                continue;
            std::vector<uint32_t> paths;
            size_t count = 0;
            for (size_t g = first; g < last; ++g) {
                count += later ? luns[g].in_after : luns[g].in_before;
                for (uint32_t i : luns[g].paths)
                    if (claimed(side(all[i], later)) && side(all[i], later)->cabinet_serial == cab)
                        paths.push_back(i);
            }
            std::sort(paths.begin(), paths.end());
            paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
            changes
                .add(later ? ChangeKind::ArrayAppeared : ChangeKind::ArrayDisappeared,
                     later ? Severity::Changed : Severity::Degraded, {cab, SharedText()},
                     std::move(paths))
                ->luns = count;
        }
    }
}

// The changes of one LUN: gone or new on an array of both scans, an SP
// lost, a trespass (noted in trespassed), no owner path.
void find_lun_changes(Finder &changes, const Group &g, const Arrays &arrays,
                      std::set<LunKey> &trespassed)
{
    const std::vector<Pair> &all = changes.all;
    const LunKey &key = g.key;
    auto in = [&](bool later) {
        return select(g.paths, [&](uint32_t i) { return claimed_in(side(all[i], later), key); });
    };
    auto owned = [&](bool later) {
        return select(g.paths, [&](uint32_t i) { return owns(side(all[i], later), key); });
    };
    std::vector<uint32_t> owned_before = owned(false), owned_after = owned(true);
    if (g.in_before && !g.in_after && arrays.after.count(key.first))
        changes.add(ChangeKind::LunDisappeared, Severity::Degraded, key, in(false));
    if (g.in_after && !g.in_before && arrays.before.count(key.first))
        changes.add(ChangeKind::LunAppeared, Severity::Changed, key, in(true));

    if (g.in_before && g.in_after) {
        // An SP that no path of the LUN goes through any more.
        std::vector<SharedText> sps_after = sps_of(all, in(true), true);
        std::map<std::string, std::vector<uint32_t>> lost;
        for (uint32_t i : in(false)) {
            SharedText sp = all[i].before->sp;
            if (!std::binary_search(sps_after.begin(), sps_after.end(), sp))
                lost[sp.str()].push_back(i);
        }
        for (auto &sp : lost)
            changes.add(ChangeKind::LunLostSp, Severity::Degraded, key, std::move(sp.second))->sp =
                sp.first;

        std::vector<SharedText> was = sps_of(all, owned_before, false);
        std::vector<SharedText> is = sps_of(all, owned_after, true);
        if (!was.empty() && !is.empty() && was != is) {
            trespassed.insert(key);
            Found *f = changes.add(ChangeKind::Trespass, Severity::Changed, key,
                                   select(g.paths, [&](uint32_t i) {
                                       return owns(all[i].before, key) != owns(all[i].after, key);
                                   }));
            f->owners_before = owned_before;
            f->owners_after = owned_after;
        }
    }
    if (g.in_after && owned_after.empty() && !changes.some_paths) {
        // A new condition when the LUN had an owner path before (its
        // former owner paths are listed), or when the LUN is new.
        Severity severity = !owned_before.empty() ? Severity::Degraded
                            : g.in_before         ? Severity::Unchanged
                                                  : Severity::Changed;
        Found *f = changes.add(ChangeKind::NoOwnerPath, severity, key, owned_before);
        f->owners_before = owned_before;
        f->lun_paths_after = in(true);
    }
}

// The changes of single devices, but for owner flags that a trespass
// changed.
void find_device_changes(Finder &changes, const std::set<LunKey> &trespassed)
{
    const std::vector<Pair> &all = changes.all;
    for (uint32_t i = 0; i < all.size(); ++i) {
        const DeviceRecord *b = all[i].before, *a = all[i].after;
        DeviceState was = b ? b->state : DeviceState::Absent;
        DeviceState is = a ? a->state : DeviceState::Absent;
        auto device = [&](ChangeKind kind, Severity severity) {
            changes.add(kind, severity, LunKey(), {i});
        };
        if (claimed(b) && claimed(a)) {
            if (lun_of(*b) != lun_of(*a))
                device(ChangeKind::DeviceMoved, Severity::Degraded);
            else if (b->sp != a->sp)
                device(ChangeKind::PathSpChanged, Severity::Degraded);
            else if (b->owner != a->owner && !trespassed.count(lun_of(*a)))
                device(ChangeKind::PathOwnerChanged, b->owner && !changes.some_paths
                                                         ? Severity::Degraded
                                                         : Severity::Changed);
            else if (firmware_differs(*b, *a))
                device(ChangeKind::FirmwareChanged, Severity::Changed);
            continue;
        }
        if (was == is)
            continue;
        Severity severity = claimed(b) ? Severity::Degraded : Severity::Changed;
        ChangeKind kind = claimed(b) && is == DeviceState::Absent   ? ChangeKind::PathDisappeared
                          : claimed(a) && was == DeviceState::Absent ? ChangeKind::PathAppeared
                                                                     : ChangeKind::OutcomeChanged;
        device(kind, severity);
    }
}

}  // namespace

std::vector<Change> compare_snapshots(const Snapshot &before, const Snapshot &after,
                                      bool some_paths)
{
    const std::vector<Pair> all = pair_up(before, after);
    std::vector<Group> luns = group_luns(all);
    Arrays arrays = arrays_of(luns);
    Finder changes{all, {}, some_paths};
    find_array_changes(changes, luns, arrays);
    std::set<LunKey> trespassed;
    for (const Group &g : luns)
        find_lun_changes(changes, g, arrays, trespassed);
    find_device_changes(changes, trespassed);
    return list_each_device_once(all, std::move(changes.found));
}

}  // namespace zkd
