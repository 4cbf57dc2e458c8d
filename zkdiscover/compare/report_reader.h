// The report reader: a parser of --json reports that takes each path as
// it passes (a small record into a snapshot) and checks the document
// against the rules in report_rules.h.
#ifndef ZKDISCOVER_REPORT_READER_H
#define ZKDISCOVER_REPORT_READER_H

#include "compare.h"
#include "report_input.h"
#include "report_rules.h"
#include "text_escape.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace zkd::reading {

// At most the first 40 bytes of a word of the file, escaped: enough to find
// it, never a screenful of someone else's bytes.
std::string quoted_word(const std::string &word);

// A report nests seven levels deep; a file nested far deeper is no report.
constexpr size_t kMaxDepth = 64;

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
class ReportReader : public nlohmann::json_sax<nlohmann::json> {
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
        // The report's strings give back the scan's bytes (text_escape.h).
        if (value.find('\\') != std::string::npos)
            value = bytes_of_json_text(value);
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

    bool key(string_t &name) override;
    bool parse_error(std::size_t position, const std::string &,
                     const nlohmann::detail::exception &e) override;

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

    bool open(ValueType type);
    bool close();
    static size_t member_number(Role role, const std::string &name);

    // Notes a value where it stands; the role it plays when it opens an
    // object or a list.
    Role place(ValueType type);

    // "arrays[0].luns[1]": where the object or list at depth d - 1 is.
    std::string where(size_t d) const;

    // The first problem of an object's own members, in the order they are
    // checked, then of what they hold.
    std::string members_problem(const Frame &f) const;

    std::string document_problem(const Frame &f);

    // A device of a list: checked, then kept (or, when watching, looked
    // for a second time).
    std::string add_device(Frame &f, DeviceState state);

    std::string finish(Frame &f);

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

// Parses the input with reader as one JSON document and nothing else.
// False with the reason when the bytes are no such document (or cannot be
// read); duplicate members are refused, as they would lose a value.
bool parse_strictly(ReportInput &input, ReportReader &reader, std::string &problem);

}  // namespace zkd::reading

#endif
