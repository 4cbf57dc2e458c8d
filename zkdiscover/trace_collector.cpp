// libzkdiscover_trace.so: zkdiscover's collector of the library's trace for
// --explain. zkdiscover loads it (RTLD_GLOBAL) before the support library
// only when it explains, so the library's calls to xDbgPrint, which bind by
// name, land here: each thread keeps the text it receives until
// zkd_take_trace asks for it. The machine's trace log is never written.
// Without --explain the object is not loaded, the library's own xDbgPrint
// serves, and the library formats nothing while its log is closed.
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {
thread_local std::string t_collected;
}  // namespace

extern "C" {

__attribute__((visibility("default"))) void xDbgPrint(int level, const char *text)
{
    (void)level;
    if (text == nullptr)
        return;
    // A message that cannot be kept is lost, never a reason to abort
    // inside the library's call.
    try {
        t_collected += text;
    } catch (...) {
    }
}

// The calling thread's text since its previous call, as a malloc'd string
// (the caller frees it), or null when there is no room for it.
__attribute__((visibility("default"))) char *zkd_take_trace(void)
{
    char *out = static_cast<char *>(malloc(t_collected.size() + 1));
    if (out != nullptr)
        memcpy(out, t_collected.c_str(), t_collected.size() + 1);
    t_collected.clear();
    return out;
}

}  // extern "C"
