// --compare: the changes as text for a person and as JSON for a program.
#include "compare.h"

#include "json_stream.h"
#include "report.h"
#include "text_escape.h"

#include <set>

namespace zkd {

namespace {

using ojson = nlohmann::ordered_json;

// Every string of either scan came from a device or a file: escaped.
std::string shown(const std::string &text) { return text.empty() ? "(empty)" : escape_text(text); }

std::string lun_text(const DeviceRecord &r)
{
    return "LUN " + shown(r.lun_serial) + " of array " + shown(r.cabinet_serial);
}

std::string lun_text(const Change &c)
{
    return "LUN " + shown(c.lun_serial) + " of array " + shown(c.cabinet_serial);
}

// Where a claimed device leads: "LUN x of array y, SP A, owner".
std::string claim_text(const DeviceRecord &r)
{
    return lun_text(r) + ", SP " + escape_text(r.sp) + (r.owner ? ", owner" : "");
}

std::string state_text(const DeviceRecord &r)
{
    if (r.state != DeviceState::Claimed)
        return state_name(r.state);
    return "claimed: " + claim_text(r);
}

// "A", or "A+B" when both SPs claim to own the LUN.
std::string owning_sps(const std::vector<DeviceRecord> &owners)
{
    std::set<std::string> sps;
    for (const DeviceRecord &r : owners)
        sps.insert(r.sp.str());
    std::string out;
    for (const std::string &sp : sps)
        out += (out.empty() ? "" : "+") + sp;
    return out;
}

// "SP A: /dev/sg1 /dev/sg9".
std::string owners_text(const std::vector<DeviceRecord> &owners)
{
    std::string out = "SP " + escape_text(owning_sps(owners)) + ":";
    for (const DeviceRecord &r : owners)
        out += " " + escape_text(r.path);
    return out;
}

// The lines of a group's listed paths as one scan saw them, with their
// state in the other; then how many are listed under an earlier change.
std::string path_lines(const Change &c, bool appeared, bool with_lun)
{
    std::string out;
    for (const PathChange &p : c.paths) {
        const DeviceRecord &here = appeared ? p.after : p.before;
        const DeviceRecord &there = appeared ? p.before : p.after;
        out += "  " + escape_text(here.path) + (with_lun ? "  LUN " + shown(here.lun_serial) : "") +
               "  SP " + escape_text(here.sp) + (here.owner ? "  owner" : "") +
               (appeared ? "  (was " : "  (now ") + state_text(there) + ")\n";
    }
    if (c.listed_above > 0)
        out += "  and " + plural(c.listed_above, "path", "paths") + " listed above\n";
    return out;
}

std::string was_now(const char *title, const PathChange &p)
{
    return std::string(title) + ": " + escape_text(p.after.path) + "\n  was " +
           state_text(p.before) + "\n  now " + state_text(p.after) + "\n";
}

std::string firmware_text(const PathChange &p)
{
    const DeviceRecord &b = p.before, &a = p.after;
    std::string out = "Firmware changed: " + escape_text(a.path) + " (" + claim_text(a) + ")\n";
    struct Field {
        const char *name;
        const std::string &was, &is;
    };
    for (const Field &f : {Field{"REVISION", b.revision, a.revision},
                           Field{"SCSI_VERSION", b.scsi_version, a.scsi_version},
                           Field{"PORT_SERIAL_NO", b.port_serial, a.port_serial}})
        if (f.was != f.is)
            out += std::string("  ") + f.name + " was " + shown(f.was) + ", now " + shown(f.is) + "\n";
    return out;
}

std::string change_text(const Change &c)
{
    const PathChange none;
    const PathChange &p = c.paths.empty() ? none : c.paths[0];
    const DeviceRecord &b = p.before, &a = p.after;
    size_t listed = c.paths.size() + c.listed_above;
    switch (c.kind) {
    case ChangeKind::DeviceMoved:
        return std::string("Device now behind another ") +
               (b.cabinet_serial != a.cabinet_serial ? "array" : "LUN") + ": " +
               escape_text(a.path) + "\n  was " + claim_text(b) + "\n  now " + claim_text(a) + "\n";
    case ChangeKind::ArrayDisappeared:
    case ChangeKind::ArrayAppeared: {
        bool appeared = c.kind == ChangeKind::ArrayAppeared;
        return "Array " + std::string(appeared ? "appeared" : "disappeared") + ": " +
               shown(c.cabinet_serial) + " (" + plural(c.luns, "LUN", "LUNs") + ", " +
               plural(listed, "path", "paths") + ")\n" + path_lines(c, appeared, true);
    }
    case ChangeKind::LunDisappeared:
    case ChangeKind::LunAppeared: {
        bool appeared = c.kind == ChangeKind::LunAppeared;
        return "LUN " + std::string(appeared ? "appeared" : "disappeared") + ": " +
               shown(c.lun_serial) + " of array " + shown(c.cabinet_serial) + " (" +
               plural(listed, "path", "paths") + ")\n" + path_lines(c, appeared, false);
    }
    case ChangeKind::LunLostSp:
        return "No path left through SP " + escape_text(c.sp) + ": " + lun_text(c) + "\n" +
               path_lines(c, false, false);
    case ChangeKind::NoOwnerPath: {
        const char *when = c.severity == Severity::Degraded    ? " (new)"
                           : c.severity == Severity::Unchanged ? " (as before)"
                                                               : " (a new LUN)";
        std::string out = "No path through the owning SP" + std::string(when) + ": " + lun_text(c) + "\n";
        if (!c.owners_before.empty())
            out += "  owner was " + owners_text(c.owners_before) + "\n";
        out += "  paths now:";
        for (const DeviceRecord &r : c.lun_paths_after)
            out += " " + escape_text(r.path) + " (SP " + escape_text(r.sp) + ")";
        // The former owner paths are named above: no lines of their own.
        return out + "\n";
    }
    case ChangeKind::Trespass:
        return "Trespass: " + lun_text(c) + "\n  owner was " + owners_text(c.owners_before) +
               "\n  owner now " + owners_text(c.owners_after) + "\n";
    case ChangeKind::PathSpChanged:
        return was_now("Path now through another SP", p);
    case ChangeKind::PathOwnerChanged:
        return was_now("Owner flag changed", p);
    case ChangeKind::PathDisappeared:
        return "Path disappeared: " + escape_text(b.path) + " (" + claim_text(b) + ")\n";
    case ChangeKind::PathAppeared:
        return "Path appeared: " + escape_text(a.path) + " (" + claim_text(a) + ")\n";
    case ChangeKind::FirmwareChanged:
        return firmware_text(p);
    case ChangeKind::OutcomeChanged:
        return was_now("Outcome changed", p);
    }
    return "";
}

ojson record_json(const DeviceRecord &r)
{
    ojson out;
    out["outcome"] = json_state_name(r.state);
    if (r.state == DeviceState::Claimed) {
        out["cabinet_serial"] = r.cabinet_serial.str();
        out["lun_serial"] = r.lun_serial.str();
        out["sp"] = r.sp.str();
        out["owner"] = r.owner;
        if (r.firmware_known) {
            out["revision"] = r.revision.str();
            out["scsi_version"] = r.scsi_version.str();
            out["port_serial"] = r.port_serial.str();
        }
    }
    return out;
}

ojson owners_json(const std::vector<DeviceRecord> &owners)
{
    ojson paths = ojson::array();
    for (const DeviceRecord &r : owners)
        paths.push_back(r.path);
    return {{"sp", owning_sps(owners)}, {"paths", paths}};
}

struct KindName {
    ChangeKind kind;
    const char *name;
};
constexpr KindName kKindNames[] = {
    {ChangeKind::DeviceMoved, "device_moved"},
    {ChangeKind::ArrayDisappeared, "array_disappeared"},
    {ChangeKind::LunDisappeared, "lun_disappeared"},
    {ChangeKind::LunLostSp, "sp_paths_lost"},
    {ChangeKind::NoOwnerPath, "no_owner_path"},
    {ChangeKind::PathSpChanged, "path_sp_changed"},
    {ChangeKind::PathDisappeared, "path_disappeared"},
    {ChangeKind::PathOwnerChanged, "path_owner_changed"},
    {ChangeKind::Trespass, "trespass"},
    {ChangeKind::ArrayAppeared, "array_appeared"},
    {ChangeKind::LunAppeared, "lun_appeared"},
    {ChangeKind::PathAppeared, "path_appeared"},
    {ChangeKind::FirmwareChanged, "firmware_changed"},
    {ChangeKind::OutcomeChanged, "outcome_changed"},
};

const char *kind_name(ChangeKind kind)
{
    for (const KindName &k : kKindNames)
        if (k.kind == kind)
            return k.name;
    return "?";
}

// A change as the JSON document lists it; the paths of an array or LUN
// change one at a time (an array gone lists every path it had).
void write_change(JsonStream &json, const Change &c)
{
    ojson item;
    item["change"] = kind_name(c.kind);
    item["severity"] = severity_name(c.severity);
    if (lists_one_device(c.kind)) {
        item["device"] = c.paths[0].after.path;
        item["before"] = record_json(c.paths[0].before);
        item["after"] = record_json(c.paths[0].after);
        json.put(nullptr, item);
        return;
    }
    item["cabinet_serial"] = c.cabinet_serial;
    if (c.kind != ChangeKind::ArrayAppeared && c.kind != ChangeKind::ArrayDisappeared)
        item["lun_serial"] = c.lun_serial;
    if (c.kind == ChangeKind::LunLostSp)
        item["sp"] = c.sp;
    if (c.kind == ChangeKind::Trespass) {
        item["owner_before"] = owners_json(c.owners_before);
        item["owner_after"] = owners_json(c.owners_after);
    }
    if (c.kind == ChangeKind::NoOwnerPath) {
        item["owner_before"] = owners_json(c.owners_before);
        ojson now = ojson::array();
        for (const DeviceRecord &r : c.lun_paths_after)
            now.push_back(r.path);
        item["paths_now"] = now;
    }
    json.open(nullptr, '{');
    json.members(item);
    json.open("paths", '[');
    for (const PathChange &p : c.paths)
        json.put(nullptr, ojson{{"device", p.after.path},
                                {"before", record_json(p.before)},
                                {"after", record_json(p.after)}});
    json.close();
    if (c.listed_above > 0)
        json.put("listed_above", c.listed_above);
    json.close();
}

}  // namespace

void write_changes_text(const std::string &old_file, const std::vector<Change> &changes,
                        Spool &out)
{
    size_t count = 0;
    for (const Change &c : changes)
        count += c.severity != Severity::Unchanged;
    std::string old_name = escape_text(old_file);
    out += count == 0 ? "No changes since " + old_name + "\n"
                      : "Changes since " + old_name + ": " + std::to_string(count) +
                            (overall_severity(changes) == Severity::Degraded ? " (degraded)\n"
                                                                            : "\n");
    for (const Change &c : changes) {
        out += '\n';
        out += change_text(c);
    }
}

void write_changes_json(const std::string &old_file, const std::vector<Change> &changes,
                        Spool &out)
{
    JsonStream json(out);
    json.open(nullptr, '{');
    json.put("format_version", kReportFormatVersion);
    json.put("compared_with", old_file);
    json.put("severity", severity_name(overall_severity(changes)));
    json.open("changes", '[');
    for (const Change &c : changes)
        write_change(json, c);
    json.close();
    json.close();
    out += '\n';
}

std::string render_changes_text(const std::string &old_file, const std::vector<Change> &changes)
{
    return collect([&](Spool &out) { write_changes_text(old_file, changes, out); });
}

std::string render_changes_json_text(const std::string &old_file,
                                     const std::vector<Change> &changes)
{
    return collect([&](Spool &out) { write_changes_json(old_file, changes, out); });
}

}  // namespace zkd
