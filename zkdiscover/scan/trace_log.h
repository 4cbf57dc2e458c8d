// The library's trace as zkdiscover receives it for --explain. The library
// calls xDbgPrint by name, so a definition loaded before it receives every
// message of every claim: the companion object libzkdiscover_trace.so,
// loaded only for --explain, keeps each thread's messages for that thread.
// The machine's trace log (/tmp/.ZEVIRO00.log) is never created, removed,
// written or read. Without --explain nothing is loaded and the library's
// own xDbgPrint writes to that log when the file exists, as for any host.
#ifndef ZKDISCOVER_TRACE_LOG_H
#define ZKDISCOVER_TRACE_LOG_H

#include <string>
#include <vector>

namespace zkd {

constexpr const char *kTraceCollectorFileName = "libzkdiscover_trace.so";

// zkd_take_trace of the collector.
using TraceTaker = char *(*)();

// Loads the collector (beside the binary, or installed beside the
// simulator) so that it comes before any library loaded later. Must run
// before the support library is loaded. On failure problem says why.
bool load_trace_collector(std::string &problem);

// Uses taker as the collector (tests link it in directly).
void use_trace_collector(TraceTaker taker);

// The text this thread collected since its previous call (or since it
// started), and forgets it; "" when no collector is in use.
std::string take_thread_trace();

// Splits trace text into lines (without their newlines); a last line
// without a newline is kept.
std::vector<std::string> split_lines(const std::string &text);

}  // namespace zkd

#endif
