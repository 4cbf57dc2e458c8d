// --compare: a scan as a comparison sees it, from this run's results or
// from an earlier run's --json report. A report is read as it is parsed
// (65,536 paths make 36 MiB of JSON): each path becomes a small record,
// and neither the text nor a document is ever held whole.
#include "compare.h"

#include "file_io.h"
#include "report.h"
#include "text_escape.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>
#include <set>
#include <unordered_map>
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

// The strings behind SharedText handles; handle 0 is "". Never freed: a
// handle may outlive any object that made it.
struct TextPool {
    std::mutex lock;
    std::deque<std::string> texts{std::string()};   // elements never move
    std::unordered_map<std::string_view, uint32_t> ids;
};

TextPool &text_pool()
{
    static TextPool *pool = new TextPool;
    return *pool;
}

// At most the first 40 bytes of a word of the file, escaped: enough to find
// it, never a screenful of someone else's bytes.
std::string quoted_word(const std::string &word)
{
    constexpr size_t kMax = 40;
    return "'" + escape_text(word.substr(0, kMax)) + (word.size() > kMax ? "...'" : "'");
}

// A report nests seven levels deep; a file nested far deeper is no report.
constexpr size_t kMaxDepth = 64;

// The bytes of a report, fed to the parser a chunk at a time: from a file
// (never more than limit bytes, stopping at a NUL byte) or from text.
class ReportInput {
public:
    ReportInput(int fd, size_t limit) : fd_(fd), limit_(limit) {}
    explicit ReportInput(const std::string &text) : text_(&text) {}

    // What nlohmann's parser reads through.
    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char *;
        using reference = const char &;

        explicit Iterator(ReportInput *input = nullptr) : input_(input) {}
        const char &operator*() const { return input_->data_[input_->pos_]; }
        Iterator &operator++()
        {
            ++input_->pos_;
            return *this;
        }
        bool operator==(const Iterator &other) const { return ended() == other.ended(); }
        bool operator!=(const Iterator &other) const { return !(*this == other); }

    private:
        bool ended() const { return input_ == nullptr || input_->at_end(); }
        ReportInput *input_;
    };

    Iterator begin() { return Iterator(this); }
    Iterator end() { return Iterator(); }

    // Reads what the parser left, for a NUL byte further on.
    void drain()
    {
        while (!at_end())
            pos_ = len_;
    }

    // Back to the first byte, for a second reading.
    bool rewind()
    {
        if (text_ == nullptr && lseek(fd_, 0, SEEK_SET) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
        pos_ = len_ = total_ = nul_at_ = 0;
        done_ = false;
        blank_ = true;
        return true;
    }

    // Up to 41 bytes either side of byte offset at (0-based), and where
    // offset at is among them.
    std::string around(size_t at, size_t &offset) const
    {
        size_t begin = at > 41 ? at - 41 : 0;
        offset = at - begin;
        if (text_ != nullptr)
            return text_->substr(std::min(begin, text_->size()), 83);
        std::string bytes(83, '\0');
        ssize_t n;
        do
            n = pread(fd_, &bytes[0], bytes.size(), static_cast<off_t>(begin));
        while (n < 0 && errno == EINTR);
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }

    const std::string &error() const { return error_; }
    size_t nul_at() const { return nul_at_; }   // 1-based; 0: none
    bool blank() const { return blank_; }       // only white space so far
    size_t total() const { return total_; }     // bytes handed out

private:
    bool at_end()
    {
        if (pos_ < len_)
            return false;
        if (!done_)
            refill();
        return pos_ >= len_;
    }

    void refill()
    {
        pos_ = len_ = 0;
        size_t n = 0;
        if (text_ != nullptr) {
            data_ = text_->data();
            n = text_->size();
            done_ = true;
        } else {
            long got = read_piece(fd_, buffer_, sizeof buffer_, total_, limit_, error_);
            data_ = buffer_;
            n = got > 0 ? static_cast<size_t>(got) : 0;
            done_ = n == 0;
        }
        // A NUL byte ends the input there (and is reported).
        if (const void *nul = std::memchr(data_, '\0', n)) {
            n = static_cast<size_t>(static_cast<const char *>(nul) - data_);
            nul_at_ = total_ + n + 1;
            done_ = true;
        }
        for (size_t i = 0; blank_ && i < n; ++i)
            blank_ = std::strchr(" \t\r\n", data_[i]) != nullptr;
        len_ = n;
        total_ += n;
    }

    const std::string *text_ = nullptr;
    int fd_ = -1;
    size_t limit_ = 0;
    char buffer_[1 << 16];
    const char *data_ = buffer_;
    size_t pos_ = 0, len_ = 0, total_ = 0, nul_at_ = 0;
    bool done_ = false, blank_ = true;
    std::string error_;
};

// The members a reader looks for in each object of a report, in the order
// it checks them.
enum class Role : uint8_t {
    Ignored, Document, Library, ArraysList, Array, LunsList, Lun, PathsList, Path, Properties,
    SectionList, Item
};
enum class Kind : uint8_t {
    String, OptionalString, Boolean, List, OptionalList, OptionalObject, Other
};

struct MemberRule {
    const char *name;
    Kind kind;
    Role role;   // of the value, when it is of the kind
};

struct RoleRules {
    Role role;
    std::vector<MemberRule> members;
};

const std::vector<MemberRule> &members_of(Role role)
{
    static const RoleRules kRules[] = {
        {Role::Document,
         {{"arrays", Kind::List, Role::ArraysList}, {"not_claimed", Kind::List, Role::SectionList},
          {"failed", Kind::List, Role::SectionList}, {"not_examined", Kind::List, Role::SectionList},
          {"not_answering", Kind::OptionalList, Role::SectionList},
          {"format_version", Kind::Other, Role::Ignored}, {"library", Kind::Other, Role::Library},
          {"simulation", Kind::Other, Role::Ignored}, {"changes", Kind::Other, Role::Ignored}}},
        {Role::Array,
         {{"cabinet_serial", Kind::String, Role::Ignored}, {"luns", Kind::List, Role::LunsList}}},
        {Role::Lun,
         {{"lun_serial", Kind::String, Role::Ignored},
          {"revision", Kind::OptionalString, Role::Ignored},
          {"scsi_version", Kind::OptionalString, Role::Ignored},
          {"paths", Kind::List, Role::PathsList}}},
        {Role::Path,
         {{"device", Kind::String, Role::Ignored}, {"sp", Kind::String, Role::Ignored},
          {"owner", Kind::Boolean, Role::Ignored}, {"port_serial", Kind::OptionalString, Role::Ignored},
          {"properties", Kind::OptionalObject, Role::Properties}}},
        {Role::Properties,
         {{"REVISION", Kind::OptionalString, Role::Ignored},
          {"SCSI_VERSION", Kind::OptionalString, Role::Ignored}}},
        {Role::Item, {{"device", Kind::String, Role::Ignored}}},
    };
    static const std::vector<MemberRule> kNone;
    for (const RoleRules &r : kRules)
        if (r.role == role)
            return r.members;
    return kNone;
}

// The role of each element of a list of that role.
Role element_role(Role list)
{
    switch (list) {
    case Role::ArraysList:
        return Role::Array;
    case Role::LunsList:
        return Role::Lun;
    case Role::PathsList:
        return Role::Path;
    case Role::SectionList:
        return Role::Item;
    default:
        return Role::Ignored;
    }
}

// Indices into the member lists above.
enum : size_t { kDocArrays = 0, kDocSections = 1, kDocVersion = 5, kDocLibrary, kDocSimulation, kDocChanges };
enum : size_t { kArrayCabinet = 0 };
enum : size_t { kLunSerial = 0, kLunRevision, kLunScsi };
enum : size_t { kPathDevice = 0, kPathSp, kPathOwner, kPathPort, kPathProperties };
enum : size_t { kPropRevision = 0, kPropScsi };
constexpr size_t kMaxMembers = 9;

enum class ValueType : uint8_t { Null, Boolean, Integer, Float, String, List, Object };

// The type a member of that kind has (Other: decided member by member).
ValueType value_type_of(Kind kind)
{
    switch (kind) {
    case Kind::Boolean:
        return ValueType::Boolean;
    case Kind::List:
    case Kind::OptionalList:
        return ValueType::List;
    case Kind::OptionalObject:
        return ValueType::Object;
    default:
        return ValueType::String;
    }
}

// One member as found: missing, of another type, or there with its value.
enum class Has : uint8_t { Missing, Wrong, Yes };
struct Found {
    Has has = Has::Missing;
    std::string text;
    bool flag = false;          // a boolean's value; null for "simulation"
    long long number = 0;
    std::string problem;        // the first problem inside its value
};

// An open object or list of the document.
struct Frame {
    Role role = Role::Ignored;
    bool object = false;
    bool named = false;              // a member (else a list element)
    std::string name;                // as a member
    size_t index = 0;                // as a list element
    size_t member = SIZE_MAX;        // as the parent's member number
    size_t count = 0;                // list elements so far
    std::string key;                 // the member being read
    std::vector<std::string> keys;   // member names so far, to catch one given twice
    std::set<std::string> many_keys; // the same, once there are many
    std::string problem;             // lists: the first problem among the elements
    Found found[kMaxMembers];
    size_t first_record = 0;         // arrays and LUNs: their first device
    std::string revision, scsi_version;   // paths: their own properties
    DeviceState state = DeviceState::Absent;   // sections: their devices' state
};

// What the parser's events make of a report: the devices into a snapshot
// (or, when watching, where a device listed twice is found again), and the
// first problem in the order the checks are made.
class ReportReader : public nlohmann::json_sax<json> {
public:
    ReportReader(Snapshot *snapshot, const std::set<std::string, NaturalOrder> *watched)
        : snapshot_(snapshot), watched_(watched)
    {
        frames_.reserve(kMaxDepth);
    }

    bool null() override { return scalar(ValueType::Null); }
    bool boolean(bool value) override
    {
        flag_ = value;
        return scalar(ValueType::Boolean);
    }
    bool number_integer(number_integer_t value) override
    {
        number_ = value;
        return scalar(ValueType::Integer);
    }
    bool number_unsigned(number_unsigned_t value) override
    {
        number_ = static_cast<long long>(value);
        return scalar(ValueType::Integer);
    }
    bool number_float(number_float_t, const string_t &) override { return scalar(ValueType::Float); }
    bool string(string_t &value) override
    {
        text_ = &value;
        bool ok = scalar(ValueType::String);
        text_ = nullptr;
        return ok;
    }
    bool binary(binary_t &) override { return scalar(ValueType::Null); }
    bool start_object(std::size_t) override { return open(ValueType::Object); }
    bool start_array(std::size_t) override { return open(ValueType::List); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t &name) override
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

    bool parse_error(std::size_t position, const std::string &,
                     const nlohmann::detail::exception &e) override
    {
        error_at_ = position;
        out_of_range_ = e.id == 406;   // a number too large for a double
        return false;
    }

    bool document_is_object() const { return document_is_object_; }
    bool too_deep() const { return too_deep_; }
    size_t error_at() const { return error_at_; }
    bool out_of_range() const { return out_of_range_; }
    bool duplicate_known() const { return duplicate_known_; }
    const std::string &duplicate() const { return duplicate_; }
    const std::string &problem() const { return problem_; }

private:
    bool scalar(ValueType type)
    {
        place(type);
        return true;
    }

    bool open(ValueType type)
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

    bool close()
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

    static size_t member_number(Role role, const std::string &name)
    {
        const std::vector<MemberRule> &members = members_of(role);
        for (size_t i = 0; i < members.size(); ++i)
            if (name == members[i].name)
                return i;
        return SIZE_MAX;
    }

    // Notes a value where it stands; the role it plays when it opens an
    // object or a list.
    Role place(ValueType type)
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

    // "arrays[0].luns[1]": where the object or list at depth d - 1 is.
    std::string where(size_t d) const
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

    // The first problem of an object's own members, in the order they are
    // checked, then of what they hold.
    std::string members_problem(const Frame &f) const
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

    std::string document_problem(const Frame &f)
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
        return members_problem(f);
    }

    // A device of a list: checked, then kept (or, when watching, looked
    // for a second time).
    std::string add_device(Frame &f, DeviceState state)
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

    std::string finish(Frame &f)
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

    Snapshot *snapshot_;
    const std::set<std::string, NaturalOrder> *watched_;
    std::set<std::string, NaturalOrder> seen_;
    std::vector<Frame> frames_;
    size_t depth_ = 0;
    std::vector<uint8_t> path_flags_;   // the current LUN's paths: own properties 1, port 2
    // The value being placed.
    std::string *text_ = nullptr;
    bool flag_ = false;
    long long number_ = 0;

    bool document_is_object_ = false;
    bool library_versioned_ = false;
    bool too_deep_ = false;
    size_t error_at_ = 0;
    bool out_of_range_ = false;
    bool duplicate_known_ = false;
    std::string duplicate_;
    std::string problem_;
};

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

// Parses the input with reader as one JSON document and nothing else.
// False with the reason when the bytes are no such document (or cannot be
// read); duplicate members are refused, as they would lose a value.
bool parse_strictly(ReportInput &input, ReportReader &reader, std::string &problem)
{
    bool parsed = json::sax_parse(input.begin(), input.end(), &reader);
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

// Sorts the devices; the paths found more than once.
std::set<std::string, NaturalOrder> sort_devices(Snapshot &snapshot)
{
    std::deque<DeviceRecord> &devices = snapshot.devices;
    std::sort(devices.begin(), devices.end(), NaturalOrder());
    std::set<std::string, NaturalOrder> repeated;
    for (size_t i = 1; i < devices.size(); ++i)
        if (!natural_less(devices[i - 1].path, devices[i].path))
            repeated.insert(devices[i].path);
    return repeated;
}

bool read_report(ReportInput &input, Snapshot &snapshot, std::string &problem)
{
    snapshot = Snapshot();
    ReportReader reader(&snapshot, nullptr);
    bool ok = parse_strictly(input, reader, problem);
    if (ok && !reader.document_is_object()) {
        problem = "not a zkdiscover --json report (the document is not an object)";
        ok = false;
    }
    if (ok) {
        std::set<std::string, NaturalOrder> repeated = sort_devices(snapshot);
        problem = reader.problem();
        if (!repeated.empty()) {
            // Read again to find where a device is listed a second time:
            // the first problem in file order is the one to report.
            ReportReader again(nullptr, &repeated);
            if (!input.rewind() || !parse_strictly(input, again, problem))
                problem = input.error().empty() ? problem : input.error();
            else
                problem = again.problem();
            if (problem.empty())
                problem = "device " + quoted_word(*repeated.begin()) + " is listed twice";
        }
        ok = problem.empty();
    }
    if (!ok)
        snapshot = Snapshot();
    return ok;
}

}  // namespace

SharedText::SharedText(std::string_view text)
{
    if (text.empty())
        return;
    TextPool &pool = text_pool();
    std::lock_guard<std::mutex> hold(pool.lock);
    auto it = pool.ids.find(text);
    if (it != pool.ids.end()) {
        id_ = it->second;
        return;
    }
    id_ = static_cast<uint32_t>(pool.texts.size());
    pool.texts.emplace_back(text);
    pool.ids.emplace(pool.texts.back(), id_);
}

const std::string &SharedText::str() const
{
    TextPool &pool = text_pool();
    std::lock_guard<std::mutex> hold(pool.lock);
    return pool.texts[id_];
}

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

const DeviceRecord *Snapshot::find(const std::string &path) const
{
    auto it = std::lower_bound(devices.begin(), devices.end(), path,
                               [](const DeviceRecord &r, const std::string &p) { return natural_less(r.path, p); });
    return it != devices.end() && !natural_less(path, it->path) ? &*it : nullptr;
}

bool put_in_order(Snapshot &snapshot, std::string &repeated)
{
    std::set<std::string, NaturalOrder> twice = sort_devices(snapshot);
    repeated = twice.empty() ? "" : *twice.begin();
    return twice.empty();
}

Snapshot snapshot_of_scan(const std::vector<DeviceResult> &results)
{
    Snapshot snapshot;
    for (const ArrayView &array : group_claims(results)) {
        SharedText cabinet(array.cabinet_serial);
        for (const LunView &lun : array.luns) {
            SharedText serial(lun.lun_serial);
            for (const PathView &p : lun.paths) {
                DeviceRecord r;
                r.path = std::string(p.device->path);
                r.state = DeviceState::Claimed;
                r.cabinet_serial = cabinet;
                r.lun_serial = serial;
                r.sp = SharedText(p.sp);
                r.owner = p.owner;
                r.firmware_known = true;
                r.revision = SharedText(property_or_empty(*p.device, "REVISION"));
                r.scsi_version = SharedText(property_or_empty(*p.device, "SCSI_VERSION"));
                r.port_serial = SharedText(p.port_serial);
                snapshot.devices.push_back(std::move(r));
            }
        }
    }
    for (const DeviceResult &d : results) {
        if (d.outcome == Outcome::Claimed)
            continue;
        DeviceRecord r;
        r.path = std::string(d.path);
        r.state = d.outcome == Outcome::NotClaimed ? DeviceState::NotClaimed
                  : d.outcome == Outcome::Failed   ? DeviceState::Failed
                                                   : DeviceState::NotExamined;
        snapshot.devices.push_back(std::move(r));
    }
    std::string repeated;
    put_in_order(snapshot, repeated);   // a scan examines each device once
    return snapshot;
}

bool read_snapshot(const json &doc, Snapshot &snapshot, std::string &problem)
{
    std::string text = doc.dump();
    ReportInput input(text);
    return read_report(input, snapshot, problem);
}

bool load_snapshot(const std::string &file, Snapshot &snapshot, std::string &problem)
{
    size_t size = 0;
    int fd = open_regular_file(file, kMaxInputBytes, size, problem);
    if (fd < 0)
        return false;
    ReportInput input(fd, kMaxInputBytes);
    bool ok = read_report(input, snapshot, problem);
    ::close(fd);
    return ok;
}

void keep_only(Snapshot &snapshot, const std::vector<std::string> &paths)
{
    std::vector<std::string> wanted(paths);
    std::sort(wanted.begin(), wanted.end());
    auto unwanted = [&](const DeviceRecord &r) {
        return !std::binary_search(wanted.begin(), wanted.end(), r.path);
    };
    std::deque<DeviceRecord> &devices = snapshot.devices;
    devices.erase(std::remove_if(devices.begin(), devices.end(), unwanted), devices.end());
}

}  // namespace zkd
