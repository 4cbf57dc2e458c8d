#include "dm_view.h"

#include "claims.h"
#include "text_escape.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/dm-ioctl.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

namespace zkd {

namespace {

constexpr size_t kAttributeLimit = DM_UUID_LEN;  // the longest dm attribute
constexpr size_t kFirstStatusBuffer = 16 * 1024;
constexpr size_t kLargestStatusBuffer = 1024 * 1024;
constexpr unsigned long kMostWords = 1u << 20;   // more is not a status line

// The first line of a sysfs attribute; "" when missing or longer than limit.
std::string attribute(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line) || line.size() > kAttributeLimit)
        return "";
    return line;
}

// The entries of a directory, sorted; none when it cannot be read.
std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The words of a status line, read in turn.
class Words {
public:
    explicit Words(std::string_view text) : text_(text) {}

    bool next(std::string_view &word)
    {
        size_t start = text_.find_first_not_of(' ', at_);
        if (start == std::string_view::npos)
            return false;
        size_t end = std::min(text_.find(' ', start), text_.size());
        word = text_.substr(start, end - start);
        at_ = end;
        return true;
    }
    bool number(unsigned long &value)
    {
        std::string_view w;
        if (!next(w) || w.empty() || w.size() > 9 ||
            w.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        value = std::stoul(std::string(w));
        return value <= kMostWords;
    }
    // A count, then that many words.
    bool skip_counted()
    {
        unsigned long n;
        std::string_view w;
        if (!number(n))
            return false;
        while (n-- > 0)
            if (!next(w))
                return false;
        return true;
    }
    bool at_end()
    {
        std::string_view w;
        return !next(w);
    }

private:
    std::string_view text_;
    size_t at_ = 0;
};

DmState group_state_of(std::string_view letter)
{
    if (letter == "A")
        return DmState::Active;
    if (letter == "E")
        return DmState::Enabled;
    if (letter == "D")
        return DmState::Disabled;
    return DmState::Unknown;
}

bool parse_groups(Words &words, std::vector<DmGroupStatus> &groups)
{
    unsigned long count, next_group;
    if (!words.skip_counted() || !words.skip_counted() || !words.number(count) ||
        !words.number(next_group))
        return false;
    for (unsigned long g = 0; g < count; ++g) {
        DmGroupStatus group;
        std::string_view state;
        unsigned long paths, path_args;
        if (!words.next(state) || (group.state = group_state_of(state)) == DmState::Unknown ||
            !words.skip_counted() || !words.number(paths) || !words.number(path_args))
            return false;
        for (unsigned long p = 0; p < paths; ++p) {
            DmPathStatus path;
            std::string_view device, active, word;
            unsigned long fails;
            if (!words.next(device) || device.find(':') == std::string_view::npos ||
                !words.next(active) || (active != "A" && active != "F") || !words.number(fails))
                return false;
            path.device = std::string(device);
            path.active = active == "A";
            path.fail_count = static_cast<unsigned>(fails);
            for (unsigned long a = 0; a < path_args; ++a)
                if (!words.next(word))
                    return false;
            group.paths.push_back(std::move(path));
        }
        groups.push_back(std::move(group));
    }
    return words.at_end();
}

}  // namespace

const char *dm_state_name(DmState state)
{
    switch (state) {
    case DmState::None:
        return "none";
    case DmState::Active:
        return "active";
    case DmState::Failed:
        return "failed";
    case DmState::Enabled:
        return "enabled";
    case DmState::Disabled:
        return "disabled";
    default:
        return "unknown";
    }
}

bool parse_multipath_status(std::string_view status, std::vector<DmGroupStatus> &groups)
{
    groups.clear();
    Words words(status);
    if (parse_groups(words, groups))
        return true;
    groups.clear();
    return false;
}

bool read_dm_status(const std::string &control, const std::string &device,
                    std::string &target_type, std::string &status)
{
    unsigned major_number = 0, minor_number = 0;
    char end = 0;
    if (std::sscanf(device.c_str(), "%u:%u%c", &major_number, &minor_number, &end) != 2)
        return false;
    int fd = open(control.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = false;
    for (size_t size = kFirstStatusBuffer; size <= kLargestStatusBuffer; size *= 4) {
        std::vector<uint64_t> buffer(size / sizeof(uint64_t));  // aligned for the structures
        auto *io = reinterpret_cast<struct dm_ioctl *>(buffer.data());
        io->version[0] = DM_VERSION_MAJOR;
        io->data_size = static_cast<uint32_t>(size);
        io->data_start = sizeof(struct dm_ioctl);
        io->dev = makedev(major_number, minor_number);
        if (ioctl(fd, DM_TABLE_STATUS, io) != 0)
            break;
        if (io->flags & DM_BUFFER_FULL_FLAG)
            continue;
        size_t used = std::min<size_t>(io->data_size, size);
        size_t target_at = io->data_start;
        if (io->target_count == 0 || target_at + sizeof(struct dm_target_spec) >= used)
            break;
        const auto *target =
            reinterpret_cast<const struct dm_target_spec *>(reinterpret_cast<const char *>(io) + target_at);
        target_type.assign(target->target_type, strnlen(target->target_type, sizeof target->target_type));
        const char *text = reinterpret_cast<const char *>(target + 1);
        status.assign(text, strnlen(text, used - target_at - sizeof *target));
        ok = true;
        break;
    }
    close(fd);
    return ok;
}

const DmMaps::Map &DmMaps::map_of(const std::string &holder)
{
    auto found = maps_.find(holder);
    if (found != maps_.end())
        return found->second;
    Map &m = maps_[holder];
    std::string dir = sysfs_ + "/block/" + holder;
    m.name = attribute(dir + "/dm/name");
    std::string type, status;
    if (reader_(attribute(dir + "/dev"), type, status)) {
        m.multipath = type == "multipath";
        m.status_read = m.multipath && parse_multipath_status(status, m.groups);
    } else {
        m.multipath = attribute(dir + "/dm/uuid").compare(0, 6, "mpath-") == 0;
    }
    return m;
}

DmPathState DmMaps::path_state(const std::string &address)
{
    DmPathState s;
    s.read = true;
    std::vector<std::string> blocks = entries(sysfs_ + "/bus/scsi/devices/" + address + "/block");
    if (blocks.empty())
        return s;
    std::string dir = sysfs_ + "/block/" + blocks.front();
    for (const std::string &holder : entries(dir + "/holders")) {
        if (holder.compare(0, 3, "dm-") != 0)
            continue;
        const Map &m = map_of(holder);
        if (!m.multipath)
            continue;
        s.map = m.name;
        s.path = s.group_state = DmState::Unknown;
        std::string device = attribute(dir + "/dev");
        for (size_t g = 0; m.status_read && g < m.groups.size(); ++g) {
            for (const DmPathStatus &p : m.groups[g].paths) {
                if (p.device != device)
                    continue;
                s.group = static_cast<int>(g + 1);
                s.path = p.active ? DmState::Active : DmState::Failed;
                s.group_state = m.groups[g].state;
                return s;
            }
        }
        return s;
    }
    return s;
}

void read_dm_views(std::vector<DeviceResult> &results, const std::string &sysfs_root,
                   const std::string &control)
{
    DmMaps maps(sysfs_root, [&control](const std::string &device, std::string &type,
                                       std::string &status) {
        return read_dm_status(control, device, type, status);
    });
    for (DeviceResult &d : results)
        if (d.outcome == Outcome::Claimed && !d.scsi_address.empty())
            d.dm = maps.path_state(d.scsi_address);
}

std::string dm_view_text(const DeviceResult &d)
{
    const DmPathState &s = d.dm;
    if (!s.read)
        return "";
    if (s.map.empty())
        return "  dm none";
    std::string out = "  dm " + escape_text(s.map);
    if (s.group == 0)
        return out + " unknown";
    return out + " group " + std::to_string(s.group) + " " + dm_state_name(s.group_state) +
           ", path " + dm_state_name(s.path);
}

void add_dm_json(nlohmann::ordered_json &path, const DeviceResult &d)
{
    const DmPathState &s = d.dm;
    if (!s.read)
        return;
    nlohmann::ordered_json dm;
    dm["map"] = s.map.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s.map);
    dm["group"] = s.group == 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s.group);
    dm["group_state"] = dm_state_name(s.group_state);
    dm["path_state"] = dm_state_name(s.path);
    path["dm"] = std::move(dm);
}

std::string dm_view_export(const DeviceResult &d)
{
    const DmPathState &s = d.dm;
    if (!s.read)
        return "";
    return "DM_MAP=" + shell_quote(s.map) + "\nDM_GROUP=" +
           (s.group == 0 ? std::string("''") : std::to_string(s.group)) +
           "\nDM_GROUP_STATE=" + dm_state_name(s.group_state) +
           "\nDM_PATH_STATE=" + dm_state_name(s.path) + "\n";
}

}  // namespace zkd
