// What is known of a device that did not answer: the LUN identity the
// kernel read when it attached the SCSI device (sysfs vpd_pg83 and
// vpd_pg80, converted as the library converts its own reads of those
// pages), and its SP from an earlier scan of the same node or from the
// kernel's handler state. Kept as the device's pairs: CAB_SERIAL_NO,
// LUN_SERIAL_NO, SP, each only when known, and KNOWN_FROM ("kernel",
// "earlier scan" or both, comma separated).
#ifndef ZKDISCOVER_NOT_ANSWERING_H
#define ZKDISCOVER_NOT_ANSWERING_H

#include "claims.h"

#include <functional>
#include <string>
#include <vector>

namespace zkd {

// A path as an earlier scan claimed it.
struct EarlierPath {
    std::string array, lun, sp;
};
// Fills in what an earlier scan found at the device path; false if none.
using EarlierLookup = std::function<bool(const std::string &path, EarlierPath &found)>;
// The library's bascii_copy: identifier bytes as its claims show them.
using IdentifierText = int (*)(char *target, const unsigned char *source, int count,
                               int target_size);

// Attributes each NotAnswering device of results. sysfs_root "" (or no
// text) leaves the kernel out; an empty earlier, the earlier scan. The SP
// comes from the kernel when its handler says whether the path is active
// and a claimed path of the same LUN says which SP owns it.
void attribute_paths(std::vector<DeviceResult> &results, const std::string &sysfs_root,
                     IdentifierText text, const EarlierLookup &earlier);

// "LUN L of array C through SP B (known from the kernel)": what the tree
// shows of a device that did not answer; "" when nothing is known.
std::string attribution_text(const DeviceResult &d);

}  // namespace zkd

#endif
