#include "report_reader.h"

#include "report.h"
#include "text_escape.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace zkd::reading {

std::string quoted_word(const std::string &word)
{
    constexpr size_t kMax = 40;
    return "'" + escape_text(word.substr(0, kMax)) + (word.size() > kMax ? "...'" : "'");
}

bool ReportReader::key(string_t &name)
{
    Frame &f = frames_[depth_ - 1];
    bool fresh;
    if (!f.many_keys.empty()) {
        fresh = f.many_keys.insert(name).second;
    } else {
        fresh = std::find(f.keys.begin(), f.keys.end(), name) == f.keys.end();
        f.keys.push_back(name);
        if (f.keys.size() > 16) {
            f.many_keys.insert(f.keys.begin(), f.keys.end());
            f.keys.clear();
        }
    }
    if (!fresh && !duplicate_known_) {
        duplicate_known_ = true;
        duplicate_ = name;
    }
    f.key = name;
    if (f.role == Role::Library && depth_ == 2 && name == "interface_version")
        library_versioned_ = true;
    return true;
}

bool ReportReader::parse_error(std::size_t position, const std::string &,
                               const nlohmann::detail::exception &e)
{
    error_at_ = position;
    out_of_range_ = e.id == 406;   // a number too large for a double
    return false;
}

bool ReportReader::open(ValueType type)
{
    Role role = place(type);
    if (depth_ >= kMaxDepth) {
        too_deep_ = true;
        return false;
    }
    if (frames_.size() <= depth_)
        frames_.emplace_back();
    Frame &f = frames_[depth_];
    Frame *parent = depth_ > 0 ? &frames_[depth_ - 1] : nullptr;
    f.role = role;
    f.object = type == ValueType::Object;
    f.named = parent != nullptr && parent->object;
    f.name = f.named ? parent->key : std::string();
    f.index = parent != nullptr && !parent->object ? parent->count - 1 : 0;
    f.member = f.named ? member_number(parent->role, parent->key) : SIZE_MAX;
    f.count = 0;
    f.key.clear();
    f.keys.clear();
    f.many_keys.clear();
    f.problem.clear();
    for (Found &found : f.found)
        found = Found();
    f.revision.clear();
    f.scsi_version.clear();
    f.first_record = snapshot_ ? snapshot_->devices.size() : 0;
    f.state = DeviceState::Absent;
    if (role == Role::SectionList)
        f.state = f.member == kDocSections       ? DeviceState::NotClaimed
                  : f.member == kDocSections + 1 ? DeviceState::Failed
                                                 : DeviceState::NotExamined;
    if (role == Role::Item)
        f.state = parent->state;
    if (role == Role::Lun)
        path_flags_.clear();
    ++depth_;
    return true;
}

bool ReportReader::close()
{
    Frame &f = frames_[--depth_];
    std::string problem = f.object ? finish(f) : f.problem;
    if (depth_ == 0) {
        problem_ = problem;
        return true;
    }
    Frame &parent = frames_[depth_ - 1];
    std::string &slot = parent.object && f.member < kMaxMembers ? parent.found[f.member].problem
                                                                 : parent.problem;
    if (slot.empty())
        slot = problem;
    return true;
}

size_t ReportReader::member_number(Role role, const std::string &name)
{
    const std::vector<MemberRule> &members = members_of(role);
    for (size_t i = 0; i < members.size(); ++i)
        if (name == members[i].name)
            return i;
    return SIZE_MAX;
}

Role ReportReader::place(ValueType type)
{
    if (depth_ == 0) {
        document_is_object_ = type == ValueType::Object;
        return document_is_object_ ? Role::Document : Role::Ignored;
    }
    Frame &f = frames_[depth_ - 1];
    if (!f.object) {
        ++f.count;
        Role element = element_role(f.role);
        if (element == Role::Ignored)
            return Role::Ignored;
        if (type != ValueType::Object) {
            if (f.problem.empty())
                f.problem = where(depth_) + "[" + std::to_string(f.count - 1) + "] is not an object";
            return Role::Ignored;
        }
        return element;
    }
    size_t i = member_number(f.role, f.key);
    if (i == SIZE_MAX)
        return Role::Ignored;
    const MemberRule &rule = members_of(f.role)[i];
    Found &found = f.found[i];
    // Other: format_version a whole number, library an object,
    // simulation a string or null, changes anything.
    bool fits = rule.kind != Kind::Other ? type == value_type_of(rule.kind)
                : i == kDocVersion       ? type == ValueType::Integer
                : i == kDocLibrary       ? type == ValueType::Object
                : i == kDocSimulation    ? type == ValueType::String || type == ValueType::Null
                                         : true;
    found.has = fits ? Has::Yes : Has::Wrong;
    if (fits && type == ValueType::String)
        found.text = std::move(*text_);
    found.flag = type == ValueType::Boolean ? flag_ : type == ValueType::Null;
    found.number = number_;
    return fits ? rule.role : Role::Ignored;
}

std::string ReportReader::where(size_t d) const
{
    std::string out;
    for (size_t i = 1; i < d; ++i) {
        const Frame &f = frames_[i];
        if (f.named)
            out += (out.empty() ? "" : ".") + f.name;
        else
            out += "[" + std::to_string(f.index) + "]";
    }
    return out;
}

std::string ReportReader::members_problem(const Frame &f) const
{
    const std::vector<MemberRule> &members = members_of(f.role);
    for (size_t i = 0; i < members.size(); ++i) {
        const MemberRule &m = members[i];
        const Found &found = f.found[i];
        auto name = [&] {
            std::string at = where(depth_ + 1);
            return (at.empty() ? "" : at + ".") + m.name;
        };
        if (found.has == Has::Missing && (m.kind == Kind::String || m.kind == Kind::Boolean ||
                                          m.kind == Kind::List))
            return name() + " is missing";
        if (found.has == Has::Wrong && m.kind != Kind::Other)
            return name() + (m.kind == Kind::Boolean ? " is not true or false"
                           : m.kind == Kind::List || m.kind == Kind::OptionalList
                               ? " is not a list"
                           : m.kind == Kind::OptionalObject ? " is not an object"
                                                            : " is not a string");
        if (!found.problem.empty())
            return found.problem;
    }
    return "";
}

std::string ReportReader::document_problem(const Frame &f)
{
    const Found &version = f.found[kDocVersion];
    if (f.found[kDocChanges].has != Has::Missing && f.found[kDocArrays].has == Has::Missing)
        return "a list of changes written by --compare, not a scan report";
    if (version.has == Has::Missing) {
        // Reports written before the version member existed have the
        // same layout as version 1; they still carry the library's
        // description.
        if (!library_versioned_)
            return "not a zkdiscover --json report (no format_version)";
    } else if (version.has == Has::Wrong) {
        return "format_version is not a whole number";
    } else if (version.number != kReportFormatVersion) {
        return "report format version " + std::to_string(version.number) +
               " (this zkdiscover reads version " + std::to_string(kReportFormatVersion) +
               (version.number > kReportFormatVersion ? "; the file comes from a later zkdiscover)"
                                                      : ")");
    }
    const Found &simulation = f.found[kDocSimulation];
    if (simulation.has == Has::Wrong)
        return "simulation is not a string or null";
    if (snapshot_ != nullptr && simulation.has == Has::Yes) {
        snapshot_->simulation_known = true;
        snapshot_->simulation = simulation.flag ? "" : simulation.text;
    }
    if (snapshot_ != nullptr && f.found[kDocHost].has == Has::Yes)
        snapshot_->host = f.found[kDocHost].text;
    return members_problem(f);
}

std::string ReportReader::add_device(Frame &f, DeviceState state)
{
    std::string &path = f.found[kPathDevice].text;   // "device" comes first in both
    if (path.empty())
        return where(depth_ + 1) + ".device is empty";
    if (watched_ != nullptr) {
        if (watched_->count(path) && !seen_.insert(path).second)
            return "device " + quoted_word(path) + " is listed twice (again at " +
                   where(depth_ + 1) + ")";
        return "";
    }
    if (snapshot_ == nullptr)
        return "";
    DeviceRecord r;
    r.path = std::string(path);   // exactly as long as it is: one per device
    r.state = state;
    if (state == DeviceState::Claimed) {
        r.sp = f.found[kPathSp].text;
        r.owner = f.found[kPathOwner].flag;
        r.port_serial = f.found[kPathPort].text;
        bool own = f.found[kPathProperties].has == Has::Yes;
        if (own) {
            r.revision = f.revision;
            r.scsi_version = f.scsi_version;
        }
        path_flags_.push_back(static_cast<uint8_t>((own ? 1 : 0) |
                                                   (f.found[kPathPort].has == Has::Yes ? 2 : 0)));
    }
    snapshot_->devices.push_back(std::move(r));
    return "";
}

std::string ReportReader::finish(Frame &f)
{
    if (f.role == Role::Ignored || f.role == Role::Library)
        return "";
    if (f.role == Role::Document)
        return document_problem(f);
    std::string problem = members_problem(f);
    if (f.role == Role::Properties) {
        Frame &path = frames_[depth_ - 1];
        path.revision = std::move(f.found[kPropRevision].text);
        path.scsi_version = std::move(f.found[kPropScsi].text);
        return problem;
    }
    if (f.role == Role::Path || f.role == Role::Item) {
        // A device is kept even past a problem: a path listed twice is
        // looked for in a second reading, in file order.
        std::string added =
            f.found[kPathDevice].has == Has::Yes
                ? add_device(f, f.role == Role::Path ? DeviceState::Claimed : f.state)
                : "";
        return problem.empty() ? added : problem;
    }
    if (snapshot_ == nullptr || watched_ != nullptr)
        return problem;
    std::deque<DeviceRecord> &devices = snapshot_->devices;
    if (f.role == Role::Lun) {
        // The LUN's values go to its paths; a path's own properties
        // take the place of the LUN's firmware.
        SharedText serial = f.found[kLunSerial].text;
        SharedText revision = f.found[kLunRevision].text;
        SharedText scsi_version = f.found[kLunScsi].text;
        bool known = f.found[kLunRevision].has == Has::Yes && f.found[kLunScsi].has == Has::Yes;
        for (size_t i = f.first_record; i < devices.size(); ++i) {
            DeviceRecord &r = devices[i];
            uint8_t flags = i - f.first_record < path_flags_.size() ? path_flags_[i - f.first_record] : 0;
            r.lun_serial = serial;
            r.firmware_known = known && (flags & 2) != 0;
            if ((flags & 1) == 0) {
                r.revision = revision;
                r.scsi_version = scsi_version;
            }
        }
    } else if (f.role == Role::Array) {
        SharedText cabinet = f.found[kArrayCabinet].text;
        for (size_t i = f.first_record; i < devices.size(); ++i)
            devices[i].cabinet_serial = cabinet;
    }
    return problem;
}

namespace {

// Where a parse stopped: the word around byte offset at (1-based, as the
// parser counts), for the message.
std::string word_at(const ReportInput &input, size_t at)
{
    if (at == 0 || at > input.total())
        return "";
    size_t pos = 0;
    std::string text = input.around(at - 1, pos);
    if (pos >= text.size())
        return "";
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

}  // namespace

bool parse_strictly(ReportInput &input, ReportReader &reader, std::string &problem)
{
    bool parsed = nlohmann::json::sax_parse(input.begin(), input.end(), &reader);
    if (!parsed)
        input.drain();
    if (!input.error().empty()) {
        problem = input.error();
        return false;
    }
    if (input.nul_at() != 0) {
        problem = "not valid JSON: a NUL byte at byte " + std::to_string(input.nul_at());
        return false;
    }
    if (input.blank()) {
        problem = "the file is empty";
        return false;
    }
    if (reader.too_deep()) {
        problem = "not a zkdiscover --json report (nested more than " + std::to_string(kMaxDepth) +
                  " levels deep)";
        return false;
    }
    if (!parsed && reader.out_of_range()) {
        problem = "a number out of range";
        return false;
    }
    if (!parsed) {
        problem = "not valid JSON";
        if (reader.error_at() > input.total())
            problem += ": the text stops in the middle (is the file truncated?)";
        else
            problem += " at byte " + std::to_string(reader.error_at()) + " (near " +
                       quoted_word(word_at(input, reader.error_at())) + ")";
        return false;
    }
    if (reader.duplicate_known()) {
        problem = "member " + quoted_word(reader.duplicate()) + " appears twice in one object";
        return false;
    }
    return true;
}

}  // namespace zkd::reading
