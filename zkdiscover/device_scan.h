// Finding the machine's devices: every SCSI generic node from sysfs, or the
// SCSI disks' block nodes where the machine has no SCSI generic nodes.
#ifndef ZKDISCOVER_DEVICE_SCAN_H
#define ZKDISCOVER_DEVICE_SCAN_H

#include <string>
#include <vector>

namespace zkd {

struct DeviceList {
    std::vector<std::string> paths;     // in natural order (sg2 before sg10)
    std::vector<std::string> messages;  // what could not be read, and why
};

// Scans sysfs_root (normally "/sys") and names the nodes under dev_root
// (normally "/dev"). SCSI generic devices come from class/scsi_generic; when
// there are none, whole SCSI disks from class/block.
DeviceList find_devices(const std::string &sysfs_root = "/sys",
                        const std::string &dev_root = "/dev");

// Orders texts so that runs of digits compare by value: /dev/sg2 before
// /dev/sg10, sdz before sdaa (shorter name first, as the kernel numbers).
bool natural_less(const std::string &a, const std::string &b);

// Sorts in natural order and drops repeated paths.
void sort_unique_natural(std::vector<std::string> &paths);

}  // namespace zkd

#endif
