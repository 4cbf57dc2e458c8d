// --compare: a scan as a comparison sees it, from this run's results or
// from an earlier run's --json report.
#include "compare.h"

#include "file_io.h"
#include "report.h"
#include "text_escape.h"

#include <set>
#include <utility>

namespace zkd {

namespace {

using json = nlohmann::json;

// State names as the text and the JSON documents write them.
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

const StateName *find_state(DeviceState state)
{
    for (const StateName &n : kStateNames)
        if (n.state == state)
            return &n;
    return nullptr;
}

// At most the first 40 bytes of a word of the file, escaped: enough to find
// it, never a screenful of someone else's bytes.
std::string quoted_word(const std::string &word)
{
    constexpr size_t kMax = 40;
    return "'" + escape_text(word.substr(0, kMax)) + (word.size() > kMax ? "...'" : "'");
}

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

// A member that older reports may lack: found tells whether it is there.
bool optional_string(const json &object, const std::string &where, const char *name,
                     std::string &value, bool &found, std::string &problem)
{
    found = object.contains(name);
    return !found || string_member(object, where, name, value, problem);
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

bool add_device(Snapshot &snapshot, const DeviceRecord &record, const std::string &where,
                std::string &problem)
{
    if (record.path.empty()) {
        problem = where + ".device is empty";
        return false;
    }
    if (!snapshot.devices.emplace(record.path, record).second) {
        problem = "device " + quoted_word(record.path) + " is listed twice (again at " + where + ")";
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

// A claimed path of a report. The firmware fields are the path's own
// properties, else its LUN's; known only when the report has them.
bool read_path(const json &path, const std::string &where, const DeviceRecord &lun,
               Snapshot &snapshot, std::string &problem)
{
    DeviceRecord r = lun;
    const json *owner = nullptr;
    bool has_port = false;
    if (!string_member(path, where, "device", r.path, problem) ||
        !string_member(path, where, "sp", r.sp, problem) ||
        !member(path, where, "owner", json::value_t::boolean, owner, problem) ||
        !optional_string(path, where, "port_serial", r.port_serial, has_port, problem))
        return false;
    r.owner = owner->get<bool>();
    r.firmware_known = lun.firmware_known && has_port;
    auto props = path.find("properties");
    if (props != path.end()) {
        if (!props->is_object()) {
            problem = where + ".properties is not an object";
            return false;
        }
        // The path's own values, as a scan reads them (none: empty).
        r.revision.clear();
        r.scsi_version.clear();
        bool found = false;
        std::string pw = where + ".properties";
        if (!optional_string(*props, pw, "REVISION", r.revision, found, problem) ||
            !optional_string(*props, pw, "SCSI_VERSION", r.scsi_version, found, problem))
            return false;
    }
    return add_device(snapshot, r, where, problem);
}

bool read_document(const json &doc, Snapshot &snapshot, std::string &problem)
{
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
    auto simulation = doc.find("simulation");
    if (simulation != doc.end()) {
        if (!simulation->is_string() && !simulation->is_null()) {
            problem = "simulation is not a string or null";
            return false;
        }
        snapshot.simulation_known = true;
        snapshot.simulation = simulation->is_string() ? simulation->get<std::string>() : "";
    }

    bool ok = each_object(doc, "", "arrays", problem, [&](const json &array, const std::string &aw) {
        DeviceRecord lun;
        lun.state = DeviceState::Claimed;
        if (!string_member(array, aw, "cabinet_serial", lun.cabinet_serial, problem))
            return false;
        return each_object(array, aw, "luns", problem, [&](const json &jlun, const std::string &lw) {
            bool has_rev = false, has_scsi = false;
            if (!string_member(jlun, lw, "lun_serial", lun.lun_serial, problem) ||
                !optional_string(jlun, lw, "revision", lun.revision, has_rev, problem) ||
                !optional_string(jlun, lw, "scsi_version", lun.scsi_version, has_scsi, problem))
                return false;
            lun.firmware_known = has_rev && has_scsi;
            return each_object(jlun, lw, "paths", problem, [&](const json &path, const std::string &pw) {
                return read_path(path, pw, lun, snapshot, problem);
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
    return ok;
}

// Where a parse stopped: the word around byte offset at (1-based, as the
// parser counts), for the message.
std::string word_at(const std::string &text, size_t at)
{
    if (at == 0 || at > text.size())
        return "";
    size_t pos = at - 1;
    auto boundary = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ':' ||
               c == '[' || c == ']' || c == '{' || c == '}';
    };
    if (boundary(text[pos]))
        return text.substr(pos, 1);
    size_t begin = pos, end = pos + 1;
    while (begin > 0 && pos - begin < 40 && !boundary(text[begin - 1]))
        --begin;
    while (end < text.size() && end - pos < 40 && !boundary(text[end]))
        ++end;
    return text.substr(begin, end - begin);
}

// A report nests seven levels deep; a file nested far deeper is no report,
// and parsing it would cost memory for every level.
constexpr size_t kMaxDepth = 64;

bool nested_too_deep(const std::string &text)
{
    size_t depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

// Parses text as one JSON document and nothing else. Duplicate members
// would silently lose one value, so they are refused.
bool parse_strictly(const std::string &text, json &doc, std::string &problem)
{
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        problem = "not valid JSON: a NUL byte at byte " + std::to_string(nul + 1);
        return false;
    }
    if (nested_too_deep(text)) {
        problem = "not a zkdiscover --json report (nested more than " + std::to_string(kMaxDepth) +
                  " levels deep)";
        return false;
    }
    std::vector<std::set<std::string>> objects;   // member names of each open object
    std::string duplicate;
    bool have_duplicate = false;
    auto check = [&](int, json::parse_event_t event, json &parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
            objects.emplace_back();
            break;
        case json::parse_event_t::object_end:
            if (!objects.empty())
                objects.pop_back();
            break;
        case json::parse_event_t::key:
            if (!objects.empty() && !objects.back().insert(parsed.get<std::string>()).second &&
                !have_duplicate) {
                have_duplicate = true;
                duplicate = parsed.get<std::string>();
            }
            break;
        default:
            break;
        }
        return true;
    };
    try {
        doc = json::parse(text, check);
    } catch (const json::parse_error &e) {
        problem = "not valid JSON";
        if (e.byte > text.size())
            problem += ": the text stops in the middle (is the file truncated?)";
        else
            problem += " at byte " + std::to_string(e.byte) + " (near " +
                       quoted_word(word_at(text, e.byte)) + ")";
        return false;
    } catch (const json::out_of_range &) {
        problem = "a number out of range";
        return false;
    } catch (const json::exception &) {
        problem = "not valid JSON";
        return false;
    }
    if (have_duplicate) {
        problem = "member " + quoted_word(duplicate) + " appears twice in one object";
        return false;
    }
    return true;
}

}  // namespace

const char *state_name(DeviceState state)
{
    const StateName *n = find_state(state);
    return n ? n->text : "?";
}

const char *json_state_name(DeviceState state)
{
    const StateName *n = find_state(state);
    return n ? n->json_name : "?";
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
                r.firmware_known = true;
                r.revision = property_or_empty(*p.device, "REVISION");
                r.scsi_version = property_or_empty(*p.device, "SCSI_VERSION");
                r.port_serial = p.port_serial;
            }
        }
    }
    for (const DeviceResult &d : results) {
        DeviceState state = d.outcome == Outcome::NotClaimed ? DeviceState::NotClaimed
                            : d.outcome == Outcome::Failed   ? DeviceState::Failed
                                                             : DeviceState::NotExamined;
        if (d.outcome != Outcome::Claimed) {
            DeviceRecord &r = snapshot.devices[d.path];
            r.path = d.path;
            r.state = state;
        }
    }
    return snapshot;
}

bool read_snapshot(const json &doc, Snapshot &snapshot, std::string &problem)
{
    snapshot = Snapshot();
    if (read_document(doc, snapshot, problem))
        return true;
    snapshot = Snapshot();
    return false;
}

bool load_snapshot(const std::string &file, Snapshot &snapshot, std::string &problem)
{
    std::string text;
    if (!read_regular_file(file, kMaxInputBytes, text, problem))
        return false;
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        problem = "the file is empty";
        return false;
    }
    json doc;
    return parse_strictly(text, doc, problem) && read_snapshot(doc, snapshot, problem);
}

void keep_only(Snapshot &snapshot, const std::vector<std::string> &paths)
{
    std::set<std::string> wanted(paths.begin(), paths.end());
    for (auto it = snapshot.devices.begin(); it != snapshot.devices.end();)
        it = wanted.count(it->first) ? std::next(it) : snapshot.devices.erase(it);
}

}  // namespace zkd
