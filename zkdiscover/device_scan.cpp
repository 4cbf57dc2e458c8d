#include "device_scan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

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
    for (const std::string &name : generic)
        out.paths.push_back(dev_root + "/" + name);

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
        }
    }
    sort_unique_natural(out.paths);
    return out;
}

}  // namespace zkd
