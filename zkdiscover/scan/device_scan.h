// Finding the machine's devices: every SCSI generic node from sysfs, or the
// SCSI disks' block nodes where the machine has no SCSI generic nodes. Each
// SCSI device is one device, whichever of its two nodes (/dev/sgN and
// /dev/sdX) names it: its address and both nodes are read from sysfs, as
// lsscsi reads them.
#ifndef ZKDISCOVER_DEVICE_SCAN_H
#define ZKDISCOVER_DEVICE_SCAN_H

#include <string>
#include <vector>

namespace zkd {

// What sysfs tells of the SCSI device behind a node; empty when unknown.
struct ScsiIdentity {
    std::string address;      // host:channel:target:lun
    std::string other_node;   // the device's other node, or ""
};

struct DeviceList {
    std::vector<std::string> paths;     // in natural order (sg2 before sg10)
    std::vector<ScsiIdentity> identities;  // one per path, in the same order
    std::vector<std::string> messages;  // what could not be read, and why
};

// Scans sysfs_root (normally "/sys") and names the nodes under dev_root
// (normally "/dev"). SCSI generic devices come from class/scsi_generic; when
// there are none, whole SCSI disks from class/block.
DeviceList find_devices(const std::string &sysfs_root = "/sys",
                        const std::string &dev_root = "/dev");

// The devices named on the command line, in the order given, each SCSI
// device once: a path is dropped when it repeats an earlier one, or when
// sysfs shows it names the same SCSI device as an earlier one (its other
// node, or a link to either). A path is matched to sysfs by the node it
// resolves to, which must lie directly in dev_root and, when it is a device
// node, carry the device number sysfs gives; other paths stay as they are,
// with no identity.
DeviceList named_devices(const std::vector<std::string> &given,
                         const std::string &sysfs_root = "/sys",
                         const std::string &dev_root = "/dev");

// Orders texts so that runs of digits compare by value: /dev/sg2 before
// /dev/sg10, sdz before sdaa (shorter name first, as the kernel numbers).
bool natural_less(const std::string &a, const std::string &b);

// Sorts in natural order and drops repeated paths.
void sort_unique_natural(std::vector<std::string> &paths);

}  // namespace zkd

#endif
