#include "not_answering_run.h"

#include "not_answering.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace zkd {

void attribute_not_answering(const HostLibrary &library, std::vector<DeviceResult> &results,
                             const std::string &sysfs_root, const Snapshot *earlier)
{
    auto text = library.handle ? reinterpret_cast<IdentifierText>(
                                     dlsym(library.handle, "bascii_copy"))
                               : nullptr;
    EarlierLookup lookup;
    if (earlier != nullptr)
        lookup = [earlier](const std::string &path, EarlierPath &found) {
            const DeviceRecord *r = earlier->find(path);
            if (r == nullptr || r->state != DeviceState::Claimed)
                return false;
            found = {r->cabinet_serial.str(), r->lun_serial.str(), r->sp.str()};
            return true;
        };
    attribute_paths(results, sysfs_root, text, lookup);
}

int end_of_run(int code)
{
    if (!scan_left_workers_behind())
        return code;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(code);
}

}  // namespace zkd
