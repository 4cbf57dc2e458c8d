// The kernel's view of a simulated path, as its sysfs attributes would show
// it: zkdiscover asks for it where a real host's sysfs would be read.
#include "zksim_internal.h"

#include <cstdio>

extern "C" int zksim_unit_kernel_view(const struct zksim_unit *unit,
                                      struct zksim_kernel_view *out) {
    if (unit == nullptr || out == nullptr || !unit->def.kernel) return -1;
    const zksim::KernelViewDef &k = *unit->def.kernel;
    std::snprintf(out->dh_state, sizeof out->dh_state, "%s", k.handler.c_str());
    std::snprintf(out->access_state, sizeof out->access_state, "%s", k.access.c_str());
    out->preferred = k.preferred ? 1 : 0;
    return 0;
}
