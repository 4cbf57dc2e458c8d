// Puts the library's trace log back to "never opened": the log file gone
// and the library's descriptor closed (opened once more first, so that
// there is one to close whatever state the library was in). Callers run
// with a private /tmp (LOCKS trace_log in CMake), never the machine's log.
#ifndef ZK_TESTS_SUPPORT_TRACE_LOG_RESET_H
#define ZK_TESTS_SUPPORT_TRACE_LOG_RESET_H

#include "zkDGCclariion.h"

#include <fcntl.h>
#include <unistd.h>

namespace zktest {

constexpr const char *kTraceLogFile = "/tmp/.ZEVIRO00.log";

inline void reset_trace_log()
{
    int fd = open(kTraceLogFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
    OpenDbgTempFile();
    CloseDbgTempFile();
    unlink(kTraceLogFile);
}

}  // namespace zktest

#endif  // ZK_TESTS_SUPPORT_TRACE_LOG_RESET_H
