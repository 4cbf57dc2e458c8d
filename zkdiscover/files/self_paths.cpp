#include "self_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#ifndef ZKD_REL_LIBDIR
#define ZKD_REL_LIBDIR "../lib"
#endif
#ifndef ZKD_REL_DATADIR
#define ZKD_REL_DATADIR "../share"
#endif

namespace zkd {

std::string self_executable()
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "";
    return std::string(buffer, static_cast<size_t>(n));
}

std::string self_directory()
{
    std::string exe = self_executable();
    size_t slash = exe.rfind('/');
    if (slash == std::string::npos)
        return "";
    return slash == 0 ? "/" : exe.substr(0, slash);
}

std::vector<std::string> companion_candidates(const std::string &file_name,
                                              const std::vector<std::string> &install_subdirs)
{
    std::vector<std::string> out;
    std::string dir = self_directory();
    if (dir.empty())
        return out;
    out.push_back(dir + "/" + file_name);
    for (const std::string &sub : install_subdirs)
        out.push_back(std::filesystem::path(dir + "/" + sub + "/" + file_name)
                          .lexically_normal()
                          .string());
    return out;
}

std::string first_existing(const std::vector<std::string> &candidates)
{
    for (const std::string &c : candidates) {
        struct stat st;
        if (stat(c.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            return c;
    }
    return "";
}

std::string relative_libdir() { return ZKD_REL_LIBDIR; }
std::string relative_datadir() { return ZKD_REL_DATADIR; }

}  // namespace zkd
