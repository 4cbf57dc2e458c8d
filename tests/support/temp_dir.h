// A private directory under $TMPDIR (or /tmp) for one test, removed with
// everything in it (subdirectories too) when it goes out of scope. Uses the
// 64-bit directory interfaces, so large inode numbers cannot stop the
// removal on a 32-bit target.
#ifndef ZK_TESTS_SUPPORT_TEMP_DIR_H
#define ZK_TESTS_SUPPORT_TEMP_DIR_H

#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace zktest {

class TempDir {
public:
    explicit TempDir(const char *prefix = "zktest")
    {
        const char *base = getenv("TMPDIR");
        char buffer[PATH_MAX];
        snprintf(buffer, sizeof buffer, "%s/%s.XXXXXX", base && *base ? base : "/tmp", prefix);
        path_ = mkdtemp(buffer) ? buffer : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            nftw64(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    static int remove_entry(const char *path, const struct stat64 *, int, struct FTW *)
    {
        ::remove(path);
        return 0;  // go on: remove as much as can be removed
    }

    std::string path_;
};

}  // namespace zktest

#endif  // ZK_TESTS_SUPPORT_TEMP_DIR_H
