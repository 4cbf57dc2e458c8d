// Helpers shared by the foundation tests: files, descriptors, stderr.
#ifndef ZK_FOUNDATION_TEST_UTIL_H
#define ZK_FOUNDATION_TEST_UTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "temp_dir.h"

namespace zkfoundation {

inline bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Whole content of a file; "" when it cannot be read.
inline std::string read_file(const std::string &path)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    fclose(file);
    return text;
}

inline void write_file(const std::string &path, const std::string &text)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return;
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

using zktest::TempDir;

// Open descriptors of this process whose target (as /proc shows it) is
// target, or any target when target is null.
inline int count_descriptors_to(const char *target)
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char buffer[PATH_MAX];
        ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
        if (n <= 0)
            continue;
        buffer[n] = '\0';
        if (target == nullptr || target == std::string(buffer))
            ++count;
    }
    closedir(dir);
    return count - (target == nullptr ? 1 : 0);  // the directory stream itself
}

inline int count_open_descriptors() { return count_descriptors_to(nullptr); }

// Sends what is written to descriptor 2 into a file while alive.
class StderrCapture {
public:
    StderrCapture() : file_(dir_.file("stderr"))
    {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Stops capturing and returns everything captured.
    std::string take()
    {
        restore();
        return read_file(file_);
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }

    TempDir dir_;
    std::string file_;
    int saved_ = -1;
};

// Sets or unsets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        if (const char *old = getenv(name)) {
            had_ = true;
            old_ = old;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

}  // namespace zkfoundation

#endif  // ZK_FOUNDATION_TEST_UTIL_H
