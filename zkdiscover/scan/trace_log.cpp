#include "trace_log.h"

#include "self_paths.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>

namespace zkd {

namespace {

std::atomic<TraceTaker> g_taker{nullptr};

}  // namespace

bool load_trace_collector(std::string &problem)
{
    std::string path = first_existing(companion_candidates(
        kTraceCollectorFileName, {relative_libdir() + "/zkdiscover", relative_libdir()}));
    if (path.empty()) {
        problem = std::string("cannot find ") + kTraceCollectorFileName +
                  " (needed by --explain) beside the program or in its library directory";
        return false;
    }
    // Global, so that the support library's xDbgPrint calls bind to it.
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    TraceTaker taker = handle ? reinterpret_cast<TraceTaker>(dlsym(handle, "zkd_take_trace"))
                              : nullptr;
    if (taker == nullptr) {
        const char *why = dlerror();
        problem = "cannot load " + path + ": " + (why ? why : "no zkd_take_trace");
        return false;
    }
    use_trace_collector(taker);
    return true;
}

void use_trace_collector(TraceTaker taker) { g_taker.store(taker); }

std::string take_thread_trace()
{
    TraceTaker taker = g_taker.load();
    if (taker == nullptr)
        return std::string();
    char *text = taker();
    if (text == nullptr)
        return std::string();
    std::string out(text);
    std::free(text);
    return out;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

}  // namespace zkd
