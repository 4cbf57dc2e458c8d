// The library's trace as zkdiscover receives it. The library calls
// xDbgPrint by name, so this program's own definition receives every
// message of every claim. For --explain each thread keeps the text of its
// claims for itself, and the machine's trace log (/tmp/.ZEVIRO00.log) is
// never created, removed or written, nor read. Otherwise the text goes on
// to the library's own xDbgPrint, which writes it to that log when the file
// exists, as for any host.
#ifndef ZKDISCOVER_TRACE_LOG_H
#define ZKDISCOVER_TRACE_LOG_H

#include <string>
#include <vector>

namespace zkd {

constexpr const char *kTraceLogPath = "/tmp/.ZEVIRO00.log";

using TracePrinter = void (*)(int level, const char *text);

// The library's own xDbgPrint, where messages go while they are not
// collected (nullptr: they are dropped). Set before the library is first
// called.
void forward_trace_to(TracePrinter printer);

// true: each thread collects the messages it receives; false: they are
// forwarded. Set before the claims start.
void collect_trace(bool collect);

// The text this thread collected since its previous call (or since it
// started), and forgets it.
std::string take_thread_trace();

// Splits trace text into lines (without their newlines); a last line
// without a newline is kept.
std::vector<std::string> split_lines(const std::string &text);

}  // namespace zkd

#endif
