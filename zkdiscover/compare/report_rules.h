// The rules of a --json report as the reader checks them: which members
// each object has, of which kind, and what role their values play.
#ifndef ZKDISCOVER_REPORT_RULES_H
#define ZKDISCOVER_REPORT_RULES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zkd::reading {

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

// The members of an object of that role (none for the others).
const std::vector<MemberRule> &members_of(Role role);

// The role of each element of a list of that role.
Role element_role(Role list);

// Indices into the member lists of members_of (report_rules.cpp): keep
// them in step.
enum : size_t { kDocArrays = 0, kDocSections = 1, kDocVersion = 5, kDocLibrary, kDocSimulation, kDocChanges, kDocHost };
enum : size_t { kArrayCabinet = 0 };
enum : size_t { kLunSerial = 0, kLunRevision, kLunScsi };
enum : size_t { kPathDevice = 0, kPathSp, kPathOwner, kPathPort, kPathProperties };
enum : size_t { kPropRevision = 0, kPropScsi };
constexpr size_t kMaxMembers = 10;

enum class ValueType : uint8_t { Null, Boolean, Integer, Float, String, List, Object };

// The type a member of that kind has (Other: decided member by member).
ValueType value_type_of(Kind kind);

}  // namespace zkd::reading

#endif
