#include "trace_log.h"

#include "zkDGCclariion.h"

#include <atomic>

namespace zkd {

namespace {

std::atomic<TracePrinter> g_forward{nullptr};
std::atomic<bool> g_collect{false};
thread_local std::string t_collected;

}  // namespace

void forward_trace_to(TracePrinter printer) { g_forward.store(printer); }

void collect_trace(bool collect) { g_collect.store(collect); }

std::string take_thread_trace()
{
    std::string out;
    out.swap(t_collected);
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

// Exported from the program (see zkdiscover.dynamic), so that the library's
// calls bind here rather than to its own definition.
extern "C" void xDbgPrint(int level, const char *text)
{
    if (text == nullptr)
        return;
    if (zkd::g_collect.load(std::memory_order_relaxed)) {
        // A message that cannot be kept is lost, never a reason to abort
        // inside the library's call.
        try {
            zkd::t_collected += text;
        } catch (...) {
        }
        return;
    }
    if (zkd::TracePrinter forward = zkd::g_forward.load(std::memory_order_relaxed))
        forward(level, text);
}
