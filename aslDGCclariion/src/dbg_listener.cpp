// Does anyone listen to the trace? The library's calls to xDbgPrint are bound
// through the dynamic symbol table, so a host (or any object before the
// library in the lookup order) that defines xDbgPrint receives them. This
// object's reference to xDbgPrint is resolved the same way (through its
// GOT), so the object that address lies in tells whose function the calls
// reach. The answer cannot change while the library stays loaded: it is
// found once and kept.
#include "dbg_listener.h"

#include "zkDGCclariion.h"

#include <dlfcn.h>

namespace {

enum PrintOwner : int { kNotYetKnown, kLibrary, kElsewhere };

int g_print_owner = kNotYetKnown;

PrintOwner find_print_owner()
{
    Dl_info print_object;
    Dl_info own_object;
    void *print = reinterpret_cast<void *>(&xDbgPrint);
    void *own = reinterpret_cast<void *>(&find_print_owner);
    // Where it cannot be told, messages keep being formatted, as always.
    if (dladdr(print, &print_object) == 0 || dladdr(own, &own_object) == 0)
        return kElsewhere;
    return print_object.dli_fbase == own_object.dli_fbase ? kLibrary : kElsewhere;
}

}  // namespace

bool zk_trace_printed_elsewhere()
{
    int owner = __atomic_load_n(&g_print_owner, __ATOMIC_RELAXED);
    if (owner == kNotYetKnown) {
        // Threads that race here find the same answer.
        owner = find_print_owner();
        __atomic_store_n(&g_print_owner, owner, __ATOMIC_RELAXED);
    }
    return owner == kElsewhere;
}

bool zk_trace_listened()
{
    return __atomic_load_n(&DbgFd, __ATOMIC_ACQUIRE) >= 0 || zk_trace_printed_elsewhere();
}
