#include "device_scan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

namespace zkd {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Names of the entries of a directory, without "." and "..". Returns false
// (with errno's text in error) when the directory cannot be read.
bool list_directory(const std::string &dir, std::vector<std::string> &names,
                    std::string &error)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    while (struct dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        names.emplace_back(e->d_name);
    }
    closedir(d);
    return true;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The last component of a symbolic link's target, or "".
std::string link_basename(const std::string &link)
{
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return "";
    target[n] = '\0';
    const char *slash = std::strrchr(target, '/');
    return slash ? slash + 1 : target;
}


// The path with every symbolic link resolved, or "" when it does not exist.
std::string resolved(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return "";
    std::string out = real;
    std::free(real);
    return out;
}

std::string basename_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "host:channel:target:lun", four decimal numbers, as sysfs names a SCSI
// device (its other entries are host2, target2:0:0 and the like).
bool is_scsi_address(const std::string &name)
{
    int fields = 0;
    size_t i = 0;
    while (i < name.size()) {
        size_t start = i;
        while (i < name.size() && is_digit(name[i]))
            ++i;
        if (i == start)
            return false;
        ++fields;
        if (i == name.size())
            break;
        if (name[i] != ':' || fields == 4)
            return false;
        ++i;
        if (i == name.size())
            return false;
    }
    return fields == 4;
}

// The name of the SCSI device's node of one kind ("block" or
// "scsi_generic"): the entry of the directory of that name, or, in the
// older layout, the part after "kind:" of an entry of the device directory.
std::string child_node(const std::string &device_dir, const std::string &kind)
{
    std::vector<std::string> names;
    std::string error;
    if (list_directory(device_dir + "/" + kind, names, error) && !names.empty()) {
        std::sort(names.begin(), names.end(), natural_less);
        return names.front();
    }
    names.clear();
    if (!list_directory(device_dir, names, error))
        return "";
    std::sort(names.begin(), names.end(), natural_less);
    for (const std::string &n : names)
        if (n.compare(0, kind.size() + 1, kind + ":") == 0)
            return n.substr(kind.size() + 1);
    return "";
}

// The SCSI device behind a node of sysfs class entry class_entry (for
// instance /sys/class/scsi_generic/sg3): its address and both node names.
struct SysfsDevice {
    std::string address;
    std::string sg_name;
    std::string block_name;
};

SysfsDevice device_of(const std::string &class_entry)
{
    SysfsDevice d;
    std::string dir = resolved(class_entry + "/device");
    if (dir.empty() || !is_scsi_address(basename_of(dir)))
        return d;
    d.address = basename_of(dir);
    d.sg_name = child_node(dir, "scsi_generic");
    d.block_name = child_node(dir, "block");
    return d;
}

// The identity of node name (one of the device's names) as seen from its
// class entry; the other node is named under dev_root.
ScsiIdentity identity_of(const SysfsDevice &d, const std::string &name,
                         const std::string &dev_root)
{
    ScsiIdentity id;
    id.address = d.address;
    const std::string &other = name == d.sg_name ? d.block_name : d.sg_name;
    if (!d.address.empty() && !other.empty() && other != name)
        id.other_node = dev_root + "/" + other;
    return id;
}

// Natural order of the paths, each once, identities kept beside them.
void sort_list(DeviceList &list)
{
    std::vector<size_t> order(list.paths.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return natural_less(list.paths[a], list.paths[b]);
    });
    DeviceList sorted;
    sorted.messages = std::move(list.messages);
    for (size_t i : order) {
        if (!sorted.paths.empty() && sorted.paths.back() == list.paths[i])
            continue;
        sorted.paths.push_back(list.paths[i]);
        sorted.identities.push_back(list.identities[i]);
    }
    list = std::move(sorted);
}

}  // namespace

bool natural_less(const std::string &a, const std::string &b)
{
    // Chunk by chunk: runs of digits compare by value, runs of letters by
    // length first (the kernel names disks sda..sdz, then sdaa), any other
    // byte by its value.
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        size_t ei = i, ej = j;
        if (is_digit(a[i]) && is_digit(b[j])) {
            while (ei < a.size() && is_digit(a[ei])) ++ei;
            while (ej < b.size() && is_digit(b[ej])) ++ej;
            size_t si = i, sj = j;  // skip leading zeros for the value
            while (si + 1 < ei && a[si] == '0') ++si;
            while (sj + 1 < ej && b[sj] == '0') ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            if (int c = a.compare(si, ei - si, b, sj, ej - sj))
                return c < 0;
            if (ei - i != ej - j)   // equal values: fewer leading zeros first
                return ei - i < ej - j;
        } else if (is_letter(a[i]) && is_letter(b[j])) {
            while (ei < a.size() && is_letter(a[ei])) ++ei;
            while (ej < b.size() && is_letter(b[ej])) ++ej;
            if (ei - i != ej - j)
                return ei - i < ej - j;
            if (int c = a.compare(i, ei - i, b, j, ej - j))
                return c < 0;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++ei;
            ++ej;
        }
        i = ei;
        j = ej;
    }
    return a.size() - i < b.size() - j;
}

void sort_unique_natural(std::vector<std::string> &paths)
{
    std::sort(paths.begin(), paths.end(), natural_less);
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
}

DeviceList find_devices(const std::string &sysfs_root, const std::string &dev_root)
{
    DeviceList out;
    std::string error;

    std::vector<std::string> generic;
    std::string generic_dir = sysfs_root + "/class/scsi_generic";
    if (!list_directory(generic_dir, generic, error) && error != std::strerror(ENOENT))
        out.messages.push_back("cannot read " + generic_dir + ": " + error);
    for (const std::string &name : generic) {
        out.paths.push_back(dev_root + "/" + name);
        out.identities.push_back(
            identity_of(device_of(generic_dir + "/" + name), name, dev_root));
    }

    if (out.paths.empty()) {
        // No SCSI generic nodes (the sg driver is not loaded): whole SCSI
        // disks through their block nodes.
        std::vector<std::string> blocks;
        std::string block_dir = sysfs_root + "/class/block";
        if (!list_directory(block_dir, blocks, error)) {
            out.messages.push_back("cannot read " + block_dir + ": " + error);
        }
        for (const std::string &name : blocks) {
            std::string entry = block_dir + "/" + name;
            if (exists(entry + "/partition"))
                continue;
            if (link_basename(entry + "/device/subsystem") != "scsi")
                continue;
            out.paths.push_back(dev_root + "/" + name);
            out.identities.push_back(identity_of(device_of(entry), name, dev_root));
        }
    }
    sort_list(out);
    return out;
}

namespace {

// The identity of the SCSI device a given path names, and the node it
// resolves to; nothing when sysfs does not know it as described at
// named_devices.
bool identify(const std::string &path, const std::string &sysfs_root,
              const std::string &dev_root, ScsiIdentity &id)
{
    std::string node = resolved(path);
    if (node.empty())
        node = path;  // absent: taken by its name
    std::string dev_dir = resolved(dev_root);
    size_t slash = node.rfind('/');
    if (slash == std::string::npos || node.substr(0, slash) != (dev_dir.empty() ? dev_root : dev_dir))
        return false;
    std::string name = node.substr(slash + 1);

    std::string entry = sysfs_root + "/class/scsi_generic/" + name;
    bool generic = exists(entry);
    if (!generic) {
        entry = sysfs_root + "/class/block/" + name;
        if (!exists(entry + "/device") || exists(entry + "/partition"))
            return false;
    }
    struct stat st;
    if (stat(node.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) {
        // A device node must be the very device sysfs describes.
        std::ifstream in(entry + "/dev");
        unsigned major_number = 0, minor_number = 0;
        char colon = 0;
        bool character = S_ISCHR(st.st_mode);
        if (!(in >> major_number >> colon >> minor_number) || colon != ':' ||
            character != generic || major(st.st_rdev) != major_number ||
            minor(st.st_rdev) != minor_number)
            return false;
    }
    SysfsDevice d = device_of(entry);
    if (d.address.empty())
        return false;
    id = identity_of(d, name, dev_root);
    return true;
}

}  // namespace

DeviceList named_devices(const std::vector<std::string> &given, const std::string &sysfs_root,
                         const std::string &dev_root)
{
    DeviceList out;
    std::set<std::string> paths_seen, addresses_seen;
    for (const std::string &path : given) {
        if (!paths_seen.insert(path).second)
            continue;
        ScsiIdentity id;
        if (identify(path, sysfs_root, dev_root, id) && !addresses_seen.insert(id.address).second)
            continue;
        out.paths.push_back(path);
        out.identities.push_back(id);
    }
    return out;
}

}  // namespace zkd
