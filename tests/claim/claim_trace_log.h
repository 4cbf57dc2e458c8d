// The fixed trace log file, for claim tests that read what a claim traced.
// Programs that use it run with a private /tmp (LOCKS trace_log in CMake).
#ifndef ZK_TESTS_CLAIM_TRACE_LOG_H
#define ZK_TESTS_CLAIM_TRACE_LOG_H

#include "trace_log_reset.h"
#include "zkDGCclariion.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace claimtest {

constexpr const char *kTraceLogPath = zktest::kTraceLogFile;

// Removes the log and closes the library's descriptor, so tracing is off.
inline void remove_trace_log() { zktest::reset_trace_log(); }

// What the log holds; "" when it is missing.
inline std::string trace_log_text()
{
    std::ifstream in(kTraceLogPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool trace_log_exists()
{
    return access(kTraceLogPath, F_OK) == 0;
}

// Creates the log holding initial (tracing on for the next call into the
// library) and removes it again when it goes out of scope.
class TraceLog {
public:
    explicit TraceLog(const std::string &initial = "")
    {
        remove_trace_log();
        std::ofstream(kTraceLogPath, std::ios::binary) << initial;
    }
    ~TraceLog() { remove_trace_log(); }
    TraceLog(const TraceLog &) = delete;
    TraceLog &operator=(const TraceLog &) = delete;

    // Empties the log without allocating (safe while the test allocator
    // is armed).
    void clear() const { (void)truncate(kTraceLogPath, 0); }

    std::string contents() const { return trace_log_text(); }
};

}  // namespace claimtest

#endif  // ZK_TESTS_CLAIM_TRACE_LOG_H
