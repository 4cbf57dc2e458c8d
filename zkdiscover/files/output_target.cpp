#include "output_target.h"

#include "file_io.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zkd {

namespace {

// "a FIFO", "a folder", ...: what a file that is not a regular one is.
std::string kind_of(const struct stat &st)
{
    if (S_ISDIR(st.st_mode))
        return "a folder";
    if (S_ISFIFO(st.st_mode))
        return "a FIFO";
    if (S_ISSOCK(st.st_mode))
        return "a socket";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return "a device node";
    return S_ISREG(st.st_mode) ? "a regular file" : "not a regular file";
}

// The path without trailing slashes ("dir/" names the link itself, not
// what it leads to, only without them).
std::string without_trailing_slashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

}  // namespace

std::string refused_output_target(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return "";
    std::string why = kind_of(st) + ", not a regular file";
    if (S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 3)
        why += " (the null device: zkdiscover writes only regular files; leave the option "
               "out to write nothing)";
    return why + "; it would be replaced";
}

std::string refused_capture_folder(const std::string &given)
{
    std::string folder = without_trailing_slashes(given);
    struct stat link, st;
    if (lstat(folder.c_str(), &link) != 0)
        return "";   // made by this program, or reported when it cannot be
    if (S_ISLNK(link.st_mode)) {
        struct stat parent;
        if (stat(folder_of(folder).c_str(), &parent) != 0)
            return "";
        bool shared = (parent.st_mode & S_ISVTX) && (parent.st_mode & S_IWOTH);
        if (shared && link.st_uid != geteuid() && link.st_uid != parent.st_uid)
            return "a link in a shared sticky folder, made by another user (uid " +
                   std::to_string(link.st_uid) + "); not followed (protected_symlinks)";
    }
    if (stat(folder.c_str(), &st) != 0)
        return "";
    if (!S_ISDIR(st.st_mode))
        return kind_of(st) + ", not a folder";
    if (st.st_uid != geteuid())
        return "a folder of another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))
        return "a folder every user may write in (no sticky bit)";
    return "";
}

std::string refused_device_argument(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (path.compare(0, 5, "/dev/") == 0)
            return "";
        return std::string(std::strerror(errno)) + "; a DEVICE is a device node under /dev";
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return "";
    return kind_of(st) + ", not a device node";
}

}  // namespace zkd
