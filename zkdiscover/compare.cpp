#include "compare.h"

#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

namespace zkd {

namespace {

using json = nlohmann::json;
using LunKey = std::pair<std::string, std::string>;   // cabinet serial, LUN serial

// State names as the JSON documents write them.
struct StateName {
    DeviceState state;
    const char *text;
    const char *json_name;
};
constexpr StateName kStateNames[] = {
    {DeviceState::Absent, "absent", "absent"},
    {DeviceState::Claimed, "claimed", "claimed"},
    {DeviceState::NotClaimed, "not claimed", "not_claimed"},
    {DeviceState::Failed, "failed", "failed"},
    {DeviceState::NotExamined, "not examined", "not_examined"},
};

const char *json_state_name(DeviceState state)
{
    for (const StateName &n : kStateNames)
        if (n.state == state)
            return n.json_name;
    return "?";
}

// --- Reading a --json report -------------------------------------------

// Each reader names the member it looks at in the problem, as a path from
// the top of the document ("arrays[0].luns[1].paths[0].owner").
bool member(const json &object, const std::string &where, const char *name, json::value_t type,
            const json *&value, std::string &problem)
{
    auto it = object.find(name);
    bool fits = it != object.end() &&
                (it->type() == type ||
                 (type == json::value_t::number_integer && it->is_number_unsigned()));
    if (!fits) {
        const char *kind = type == json::value_t::array    ? "a list"
                           : type == json::value_t::object ? "an object"
                           : type == json::value_t::string ? "a string"
                           : type == json::value_t::boolean ? "true or false"
                                                            : "a whole number";
        problem = (where.empty() ? "" : where + ".") + name +
                  (it == object.end() ? " is missing" : std::string(" is not ") + kind);
        return false;
    }
    value = &*it;
    return true;
}

bool string_member(const json &object, const std::string &where, const char *name,
                   std::string &value, std::string &problem)
{
    const json *v = nullptr;
    if (!member(object, where, name, json::value_t::string, v, problem))
        return false;
    value = v->get<std::string>();
    return true;
}

// A list whose every element is an object; calls visit(element, where).
template <typename Visit>
bool each_object(const json &object, const std::string &where, const char *name,
                 std::string &problem, Visit visit)
{
    const json *list = nullptr;
    if (!member(object, where, name, json::value_t::array, list, problem))
        return false;
    std::string base = (where.empty() ? "" : where + ".") + name;
    for (size_t i = 0; i < list->size(); ++i) {
        std::string at = base + "[" + std::to_string(i) + "]";
        if (!(*list)[i].is_object()) {
            problem = at + " is not an object";
            return false;
        }
        if (!visit((*list)[i], at))
            return false;
    }
    return true;
}

bool add_device(Snapshot &snapshot, DeviceRecord record, const std::string &where,
                std::string &problem)
{
    if (record.path.empty()) {
        problem = where + ".device is empty";
        return false;
    }
    if (!snapshot.devices.emplace(record.path, record).second) {
        problem = "device " + record.path + " is listed twice (again at " + where + ")";
        return false;
    }
    return true;
}

bool check_version(const json &doc, std::string &problem)
{
    auto version = doc.find("format_version");
    if (version == doc.end()) {
        // Reports written before the version member existed have the same
        // layout as version 1; they still carry the library's description.
        auto library = doc.find("library");
        if (library == doc.end() || !library->is_object() || !library->contains("interface_version")) {
            problem = "not a zkdiscover --json report (no format_version)";
            return false;
        }
        return true;
    }
    if (!version->is_number_integer()) {
        problem = "format_version is not a whole number";
        return false;
    }
    if (version->get<long long>() != kReportFormatVersion) {
        problem = "report format version " + std::to_string(version->get<long long>()) +
                  " (this zkdiscover reads version " + std::to_string(kReportFormatVersion) +
                  (version->get<long long>() > kReportFormatVersion
                       ? "; the file comes from a later zkdiscover)"
                       : ")");
        return false;
    }
    return true;
}

}  // namespace

const char *state_name(DeviceState state)
{
    for (const StateName &n : kStateNames)
        if (n.state == state)
            return n.text;
    return "?";
}

Snapshot snapshot_of_scan(const std::vector<DeviceResult> &results)
{
    Snapshot snapshot;
    for (const ArrayView &array : group_claims(results)) {
        for (const LunView &lun : array.luns) {
            for (const PathView &p : lun.paths) {
                DeviceRecord &r = snapshot.devices[p.device->path];
                r.path = p.device->path;
                r.state = DeviceState::Claimed;
                r.cabinet_serial = array.cabinet_serial;
                r.lun_serial = lun.lun_serial;
                r.sp = p.sp;
                r.owner = p.owner;
            }
        }
    }
    for (const DeviceResult &d : results) {
        DeviceState state = d.outcome == Outcome::NotClaimed ? DeviceState::NotClaimed
                            : d.outcome == Outcome::Failed   ? DeviceState::Failed
                                                             : DeviceState::NotExamined;
        if (d.outcome != Outcome::Claimed)
            snapshot.devices[d.path] = DeviceRecord{d.path, state, "", "", "", false};
    }
    return snapshot;
}

bool read_snapshot(const json &doc, Snapshot &snapshot, std::string &problem)
{
    snapshot = Snapshot();
    if (!doc.is_object()) {
        problem = "not a zkdiscover --json report (the document is not an object)";
        return false;
    }
    if (doc.contains("changes") && !doc.contains("arrays")) {
        problem = "a list of changes written by --compare, not a scan report";
        return false;
    }
    if (!check_version(doc, problem))
        return false;

    bool ok = each_object(doc, "", "arrays", problem, [&](const json &array, const std::string &aw) {
        std::string cab;
        if (!string_member(array, aw, "cabinet_serial", cab, problem))
            return false;
        return each_object(array, aw, "luns", problem, [&](const json &lun, const std::string &lw) {
            std::string serial;
            if (!string_member(lun, lw, "lun_serial", serial, problem))
                return false;
            return each_object(lun, lw, "paths", problem, [&](const json &path, const std::string &pw) {
                DeviceRecord r;
                r.state = DeviceState::Claimed;
                r.cabinet_serial = cab;
                r.lun_serial = serial;
                const json *owner = nullptr;
                if (!string_member(path, pw, "device", r.path, problem) ||
                    !string_member(path, pw, "sp", r.sp, problem) ||
                    !member(path, pw, "owner", json::value_t::boolean, owner, problem))
                    return false;
                r.owner = owner->get<bool>();
                return add_device(snapshot, r, pw, problem);
            });
        });
    });
    struct Section {
        const char *name;
        DeviceState state;
    };
    for (Section s : {Section{"not_claimed", DeviceState::NotClaimed},
                      Section{"failed", DeviceState::Failed},
                      Section{"not_examined", DeviceState::NotExamined}}) {
        ok = ok && each_object(doc, "", s.name, problem, [&](const json &item, const std::string &w) {
                 DeviceRecord r;
                 r.state = s.state;
                 return string_member(item, w, "device", r.path, problem) &&
                        add_device(snapshot, r, w, problem);
             });
    }
    if (!ok)
        snapshot = Snapshot();
    return ok;
}

bool load_snapshot(const std::string &file, Snapshot &snapshot, std::string &problem)
{
    std::FILE *in = std::fopen(file.c_str(), "rb");
    if (in == nullptr) {
        problem = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        text.append(buffer, n);
    int read_error = std::ferror(in) ? errno : 0;
    std::fclose(in);
    if (read_error != 0) {
        problem = std::string("cannot read: ") + std::strerror(read_error);
        return false;
    }
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        problem = "the file is empty";
        return false;
    }
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error &e) {
        // The message without its "[json.exception...]" tag: where the
        // text stops being JSON.
        std::string what = e.what();
        size_t start = what.find("] ");
        problem = "not valid JSON: " + (start == std::string::npos ? what : what.substr(start + 2));
        // The parser ran past the last byte: the text stops in the middle.
        if (e.byte > text.size())
            problem += " (is the file truncated?)";
        return false;
    }
    return read_snapshot(doc, snapshot, problem);
}

void keep_only(Snapshot &snapshot, const std::vector<std::string> &paths)
{
    std::set<std::string> wanted(paths.begin(), paths.end());
    for (auto it = snapshot.devices.begin(); it != snapshot.devices.end();)
        it = wanted.count(it->first) ? std::next(it) : snapshot.devices.erase(it);
}

// --- Comparing ------------------------------------------------------------

namespace {

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

// The paths that own a LUN in one scan (a path that moved to another LUN
// owns that one, not this).
std::vector<DeviceRecord> owners(const std::vector<PathChange> &paths, const LunKey &lun, bool after)
{
    std::vector<DeviceRecord> out;
    for (const PathChange &p : paths) {
        const DeviceRecord &r = after ? p.after : p.before;
        if (r.state == DeviceState::Claimed && r.owner && lun_of(r) == lun)
            out.push_back(r);
    }
    return out;
}

// Their SPs, "A", "B" (or "A+B" when both claim to own it).
std::string owning_sps(const std::vector<PathChange> &paths, const LunKey &lun, bool after)
{
    std::set<std::string> sps;
    for (const DeviceRecord &r : owners(paths, lun, after))
        sps.insert(r.sp);
    std::string out;
    for (const std::string &sp : sps)
        out += (out.empty() ? "" : "+") + sp;
    return out;
}

}  // namespace

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
        if (p.before.state == DeviceState::Claimed) {
            arrays_before.insert(p.before.cabinet_serial);
            luns_before.insert(lun_of(p.before));
            keys.insert(lun_of(p.before));
        }
        if (p.after.state == DeviceState::Claimed) {
            arrays_after.insert(p.after.cabinet_serial);
            luns_after.insert(lun_of(p.after));
            keys.insert(lun_of(p.after));
        }
        std::set<std::string> cabs;
        for (const LunKey &k : keys) {
            luns[k].push_back(p);
            cabs.insert(k.first);
        }
        for (const std::string &cab : cabs)
            arrays[cab].push_back(p);
    }

    std::vector<Change> changes;
    for (const PathChange &p : all)
        if (p.before.state == DeviceState::Claimed && p.after.state == DeviceState::Claimed &&
            lun_of(p.before) != lun_of(p.after))
            changes.push_back({ChangeKind::DeviceMoved, "", "", {p}});

    // An array or LUN that is in one scan only lists its paths from that
    // scan; the paths' own changes are not reported again.
    auto only_in = [](const auto &key, const auto &here, const auto &there) {
        return here.count(key) > 0 && there.count(key) == 0;
    };
    auto paths_in = [](const std::vector<PathChange> &paths, const LunKey *lun,
                       const std::string &cab, bool after) {
        std::vector<PathChange> out;
        for (const PathChange &p : paths) {
            const DeviceRecord &r = after ? p.after : p.before;
            if (r.state == DeviceState::Claimed && r.cabinet_serial == cab &&
                (lun == nullptr || lun_of(r) == *lun))
                out.push_back(p);
        }
        return out;
    };
    for (const auto &a : arrays)
        if (only_in(a.first, arrays_before, arrays_after))
            changes.push_back({ChangeKind::ArrayDisappeared, a.first, "",
                               paths_in(a.second, nullptr, a.first, false)});
    for (const auto &a : arrays)
        if (only_in(a.first, arrays_after, arrays_before))
            changes.push_back({ChangeKind::ArrayAppeared, a.first, "",
                               paths_in(a.second, nullptr, a.first, true)});
    for (const auto &l : luns)
        if (only_in(l.first, luns_before, luns_after) && arrays_after.count(l.first.first))
            changes.push_back({ChangeKind::LunDisappeared, l.first.first, l.first.second,
                               paths_in(l.second, &l.first, l.first.first, false)});
    for (const auto &l : luns)
        if (only_in(l.first, luns_after, luns_before) && arrays_before.count(l.first.first))
            changes.push_back({ChangeKind::LunAppeared, l.first.first, l.first.second,
                               paths_in(l.second, &l.first, l.first.first, true)});
    for (const auto &l : luns) {
        if (!luns_before.count(l.first) || !luns_after.count(l.first))
            continue;
        std::string was = owning_sps(l.second, l.first, false);
        std::string now = owning_sps(l.second, l.first, true);
        if (!was.empty() && !now.empty() && was != now)
            changes.push_back({ChangeKind::Trespass, l.first.first, l.first.second, l.second});
    }

    for (const PathChange &p : all) {
        const DeviceRecord &b = p.before, &a = p.after;
        bool claimed_before = b.state == DeviceState::Claimed;
        bool claimed_after = a.state == DeviceState::Claimed;
        if (claimed_before && claimed_after)
            continue;   // unchanged, or moved (above)
        if (b.state == a.state)
            continue;
        if ((claimed_before && !luns_after.count(lun_of(b))) ||
            (claimed_after && !luns_before.count(lun_of(a))))
            continue;   // listed with its array or LUN
        ChangeKind kind = claimed_before && a.state == DeviceState::Absent   ? ChangeKind::PathDisappeared
                          : claimed_after && b.state == DeviceState::Absent ? ChangeKind::PathAppeared
                                                                            : ChangeKind::OutcomeChanged;
        changes.push_back({kind, "", "", {p}});
    }

    // Kinds in the order of the enumeration; the order within a kind stays.
    std::stable_sort(changes.begin(), changes.end(), [](const Change &x, const Change &y) {
        return static_cast<int>(x.kind) < static_cast<int>(y.kind);
    });
    return changes;
}

// --- Showing the changes ----------------------------------------------------

namespace {

std::string or_empty(const std::string &text) { return text.empty() ? "(empty)" : text; }


std::string lun_text(const DeviceRecord &r)
{
    return "LUN " + or_empty(r.lun_serial) + " of array " + or_empty(r.cabinet_serial);
}

// Where a claimed device leads: "LUN x of array y, SP A, owner".
std::string claim_text(const DeviceRecord &r)
{
    return lun_text(r) + ", SP " + r.sp + (r.owner ? ", owner" : "");
}

std::string state_text(const DeviceRecord &r)
{
    if (r.state != DeviceState::Claimed)
        return state_name(r.state);
    return "claimed: " + claim_text(r);
}

size_t distinct_luns(const std::vector<PathChange> &paths, bool after)
{
    std::set<LunKey> keys;
    for (const PathChange &p : paths)
        keys.insert(lun_of(after ? p.after : p.before));
    return keys.size();
}

std::string owners_text(const Change &c, bool after)
{
    std::string out = "SP " + owning_sps(c.paths, {c.cabinet_serial, c.lun_serial}, after) + ":";
    for (const DeviceRecord &r : owners(c.paths, {c.cabinet_serial, c.lun_serial}, after))
        out += " " + r.path;
    return out;
}

std::string change_text(const Change &c)
{
    const DeviceRecord &b = c.paths.empty() ? DeviceRecord() : c.paths[0].before;
    const DeviceRecord &a = c.paths.empty() ? DeviceRecord() : c.paths[0].after;
    std::string out;
    switch (c.kind) {
    case ChangeKind::DeviceMoved:
        out = std::string("Device now behind another ") +
              (b.cabinet_serial != a.cabinet_serial ? "array" : "LUN") + ": " + a.path + "\n" +
              "  was " + claim_text(b) + "\n" + "  now " + claim_text(a) + "\n";
        break;
    case ChangeKind::ArrayDisappeared:
    case ChangeKind::ArrayAppeared:
    case ChangeKind::LunDisappeared:
    case ChangeKind::LunAppeared: {
        bool appeared = c.kind == ChangeKind::ArrayAppeared || c.kind == ChangeKind::LunAppeared;
        bool array = c.kind == ChangeKind::ArrayAppeared || c.kind == ChangeKind::ArrayDisappeared;
        out = array ? "Array " + std::string(appeared ? "appeared" : "disappeared") + ": " +
                          or_empty(c.cabinet_serial) + " (" +
                          plural(distinct_luns(c.paths, appeared), "LUN", "LUNs") + ", " +
                          plural(c.paths.size(), "path", "paths") + ")\n"
                    : "LUN " + std::string(appeared ? "appeared" : "disappeared") + ": " +
                          or_empty(c.lun_serial) + " of array " + or_empty(c.cabinet_serial) +
                          " (" + plural(c.paths.size(), "path", "paths") + ")\n";
        for (const PathChange &p : c.paths) {
            const DeviceRecord &here = appeared ? p.after : p.before;
            const DeviceRecord &there = appeared ? p.before : p.after;
            out += "  " + here.path + (array ? "  LUN " + or_empty(here.lun_serial) : "") +
                   "  SP " + here.sp + (here.owner ? "  owner" : "") +
                   (appeared ? "  (was " : "  (now ") + state_text(there) + ")\n";
        }
        break;
    }
    case ChangeKind::Trespass:
        out = "Trespass: LUN " + or_empty(c.lun_serial) + " of array " + or_empty(c.cabinet_serial) +
              "\n  owner was " + owners_text(c, false) + "\n  owner now " + owners_text(c, true) + "\n";
        break;
    case ChangeKind::PathDisappeared:
        out = "Path disappeared: " + b.path + " (" + claim_text(b) + ")\n";
        break;
    case ChangeKind::PathAppeared:
        out = "Path appeared: " + a.path + " (" + claim_text(a) + ")\n";
        break;
    case ChangeKind::OutcomeChanged:
        out = "Outcome changed: " + a.path + "\n  was " + state_text(b) + "\n  now " +
              state_text(a) + "\n";
        break;
    }
    return out;
}

nlohmann::ordered_json record_json(const DeviceRecord &r)
{
    nlohmann::ordered_json out;
    out["outcome"] = json_state_name(r.state);
    if (r.state == DeviceState::Claimed) {
        out["cabinet_serial"] = r.cabinet_serial;
        out["lun_serial"] = r.lun_serial;
        out["sp"] = r.sp;
        out["owner"] = r.owner;
    }
    return out;
}

struct KindName {
    ChangeKind kind;
    const char *name;
};
constexpr KindName kKindNames[] = {
    {ChangeKind::DeviceMoved, "device_moved"},
    {ChangeKind::ArrayDisappeared, "array_disappeared"},
    {ChangeKind::ArrayAppeared, "array_appeared"},
    {ChangeKind::LunDisappeared, "lun_disappeared"},
    {ChangeKind::LunAppeared, "lun_appeared"},
    {ChangeKind::Trespass, "trespass"},
    {ChangeKind::PathDisappeared, "path_disappeared"},
    {ChangeKind::PathAppeared, "path_appeared"},
    {ChangeKind::OutcomeChanged, "outcome_changed"},
};

}  // namespace

std::string render_changes_text(const std::string &old_file, const std::vector<Change> &changes)
{
    if (changes.empty())
        return "No changes since " + old_file + "\n";
    std::string out = "Changes since " + old_file + ": " + std::to_string(changes.size()) + "\n";
    for (const Change &c : changes)
        out += "\n" + change_text(c);
    return out;
}

std::string render_changes_json_text(const std::string &old_file,
                                     const std::vector<Change> &changes)
{
    using ojson = nlohmann::ordered_json;
    ojson doc;
    doc["format_version"] = kReportFormatVersion;
    doc["compared_with"] = old_file;
    ojson list = ojson::array();
    for (const Change &c : changes) {
        ojson item;
        for (const KindName &k : kKindNames)
            if (k.kind == c.kind)
                item["change"] = k.name;
        bool one_device = c.kind == ChangeKind::DeviceMoved || c.kind == ChangeKind::PathDisappeared ||
                          c.kind == ChangeKind::PathAppeared || c.kind == ChangeKind::OutcomeChanged;
        if (one_device) {
            item["device"] = c.paths[0].after.path;
            item["before"] = record_json(c.paths[0].before);
            item["after"] = record_json(c.paths[0].after);
        } else {
            item["cabinet_serial"] = c.cabinet_serial;
            if (c.kind != ChangeKind::ArrayAppeared && c.kind != ChangeKind::ArrayDisappeared)
                item["lun_serial"] = c.lun_serial;
            if (c.kind == ChangeKind::Trespass) {
                LunKey lun{c.cabinet_serial, c.lun_serial};
                for (bool after : {false, true}) {
                    ojson paths = ojson::array();
                    for (const DeviceRecord &r : owners(c.paths, lun, after))
                        paths.push_back(r.path);
                    item[after ? "owner_after" : "owner_before"] = {
                        {"sp", owning_sps(c.paths, lun, after)}, {"paths", paths}};
                }
            }
            ojson paths = ojson::array();
            for (const PathChange &p : c.paths)
                paths.push_back({{"device", p.after.path},
                                 {"before", record_json(p.before)},
                                 {"after", record_json(p.after)}});
            item["paths"] = paths;
        }
        list.push_back(item);
    }
    doc["changes"] = list;
    return doc.dump(2, ' ', false, ojson::error_handler_t::replace) + "\n";
}

}  // namespace zkd
