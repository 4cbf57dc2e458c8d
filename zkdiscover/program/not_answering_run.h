// The run's side of the devices that did not answer: their attribution
// from the kernel and from --compare's earlier scan, and the program's end
// when a scan left a worker blocked in a device.
#ifndef ZKDISCOVER_NOT_ANSWERING_RUN_H
#define ZKDISCOVER_NOT_ANSWERING_RUN_H

#include "compare.h"
#include "host_library.h"

#include <string>
#include <vector>

namespace zkd {

// not_answering.h's attribution with the library's own identifier text;
// sysfs_root "" for simulated devices, earlier null without --compare.
void attribute_not_answering(const HostLibrary &library, std::vector<DeviceResult> &results,
                             const std::string &sysfs_root, const Snapshot *earlier);

// Returns code, or, when a worker is still blocked in a device, flushes
// the standard streams and ends the process with code at once: the kernel
// then takes the process down as soon as that thread's command ends.
int end_of_run(int code);

}  // namespace zkd

#endif
