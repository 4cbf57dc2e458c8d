#include "uio_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace zktcmu {
namespace {

constexpr char kTcmuUioPrefix[] = "tcm-user/";

bool read_line(const std::string &path, std::string *out) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::getline(in, *out);
    return true;
}

/* The configfs name in a TCMU uio name "tcm-user/H/NAME/CONFIG", or "". */
std::string tcmu_name_of(const std::string &uio_name) {
    const size_t prefix_len = sizeof kTcmuUioPrefix - 1;
    if (uio_name.compare(0, prefix_len, kTcmuUioPrefix) != 0)
        return {};
    size_t hba_end = uio_name.find('/', prefix_len);
    if (hba_end == std::string::npos || hba_end == prefix_len)
        return {};
    for (size_t i = prefix_len; i < hba_end; ++i)
        if (uio_name[i] < '0' || uio_name[i] > '9')
            return {};
    size_t name_end = uio_name.find('/', hba_end + 1);
    if (name_end == std::string::npos)
        name_end = uio_name.size();
    return uio_name.substr(hba_end + 1, name_end - hba_end - 1);
}

}  // namespace

std::string find_uio_for_tcmu(const std::string &sysfs_root, const std::string &name,
                              std::string *error) {
    const std::string dir = sysfs_root + "/class/uio";
    DIR *d = opendir(dir.c_str());
    if (!d) {
        *error = dir + ": " + std::strerror(errno);
        return {};
    }
    std::vector<std::string> found;
    while (struct dirent *e = readdir(d)) {
        if (std::strncmp(e->d_name, "uio", 3) != 0)
            continue;
        std::string uio_name;
        if (read_line(dir + "/" + e->d_name + "/name", &uio_name) &&
            !name.empty() && tcmu_name_of(uio_name) == name)
            found.emplace_back(e->d_name);
    }
    closedir(d);
    if (found.size() == 1)
        return found[0];
    if (found.empty())
        *error = "no uio device serves the TCMU device '" + name + "'";
    else
        *error = "several uio devices serve a TCMU device called '" + name + "'";
    return {};
}

size_t uio_map_size(const std::string &sysfs_root, const std::string &uio, std::string *error) {
    const std::string path = sysfs_root + "/class/uio/" + uio + "/maps/map0/size";
    std::string text;
    if (!read_line(path, &text)) {
        *error = path + ": cannot be read";
        return 0;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long size = std::strtoull(text.c_str(), &end, 16);
    if (errno != 0 || end == text.c_str() || *end != '\0' || size == 0 || size > SIZE_MAX) {
        *error = path + ": unexpected content '" + text + "'";
        return 0;
    }
    return static_cast<size_t>(size);
}

UioDevice::~UioDevice() {
    if (base_)
        munmap(base_, size_);
    if (fd_ >= 0)
        close(fd_);
}

bool UioDevice::open(const std::string &dev_path, size_t size, std::string *error) {
    fd_ = ::open(dev_path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        *error = dev_path + ": " + std::strerror(errno);
        return false;
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
        *error = dev_path + ": mmap of " + std::to_string(size) + " bytes: " + std::strerror(errno);
        return false;
    }
    base_ = p;
    size_ = size;
    return true;
}

void UioDevice::take_event() {
    uint32_t count;
    /* Non-blocking: a read with no event pending only says EAGAIN. */
    (void)!read(fd_, &count, sizeof count);
}

bool UioDevice::notify(std::string *error) {
    uint32_t one = 1;
    if (write(fd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        *error = std::string("notifying the kernel: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace zktcmu
