/*
 * The uio device through which the kernel shares a TCMU device's ring:
 * finding it in sysfs by the device's configfs name, mapping it, waiting for
 * the kernel's events and telling it that responses are ready.
 */
#ifndef ZK_TCMU_UIO_DEVICE_H
#define ZK_TCMU_UIO_DEVICE_H

#include <cstddef>
#include <string>

namespace zktcmu {

/* The uio device ("uioN") of the TCMU device called name in configfs
 * (target/core/user_H/name), found under sysfs_root/class/uio by its name
 * attribute, "tcm-user/H/name/config". Returns "" with the reason in *error
 * when there is none, or more than one. */
std::string find_uio_for_tcmu(const std::string &sysfs_root, const std::string &name,
                              std::string *error);

/* Size in bytes of map 0 of uio device uio (its sysfs maps/map0/size, a
 * hexadecimal number), or 0 with the reason in *error. */
size_t uio_map_size(const std::string &sysfs_root, const std::string &uio, std::string *error);

class UioDevice {
public:
    UioDevice() = default;
    UioDevice(const UioDevice &) = delete;
    UioDevice &operator=(const UioDevice &) = delete;
    ~UioDevice();

    /* Opens the device node and maps size bytes of map 0 (the whole shared
     * region: the kernel refuses any other size). */
    bool open(const std::string &dev_path, size_t size, std::string *error);

    int fd() const { return fd_; }
    void *base() const { return base_; }
    size_t size() const { return size_; }

    /* Consumes the pending event count after poll() saw the device
     * readable. */
    void take_event();
    /* Tells the kernel that completed entries wait behind cmd_tail. */
    bool notify(std::string *error);

private:
    int fd_ = -1;
    void *base_ = nullptr;
    size_t size_ = 0;
};

}  // namespace zktcmu

#endif
