#include "report_rules.h"

namespace zkd::reading {

namespace {

struct RoleRules {
    Role role;
    std::vector<MemberRule> members;
};

}  // namespace

const std::vector<MemberRule> &members_of(Role role)
{
    static const RoleRules kRules[] = {
        {Role::Document,
         {{"arrays", Kind::List, Role::ArraysList}, {"not_claimed", Kind::List, Role::SectionList},
          {"failed", Kind::List, Role::SectionList}, {"not_examined", Kind::List, Role::SectionList},
          {"not_answering", Kind::OptionalList, Role::SectionList},
          {"format_version", Kind::Other, Role::Ignored}, {"library", Kind::Other, Role::Library},
          {"simulation", Kind::Other, Role::Ignored}, {"changes", Kind::Other, Role::Ignored},
          {"host", Kind::OptionalString, Role::Ignored}}},
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

}  // namespace zkd::reading
