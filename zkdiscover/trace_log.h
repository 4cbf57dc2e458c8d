// The library's trace log for --explain. The library writes it only when
// the file exists, so the tool creates it for the run when it is absent,
// reads the bytes each claim adds, and removes it afterwards only when it
// created it (and it is still the same file).
#ifndef ZKDISCOVER_TRACE_LOG_H
#define ZKDISCOVER_TRACE_LOG_H

#include <string>
#include <vector>
#include <sys/types.h>

namespace zkd {

constexpr const char *kTraceLogPath = "/tmp/.ZEVIRO00.log";

class TraceLogSession {
public:
    explicit TraceLogSession(std::string path = kTraceLogPath);
    ~TraceLogSession();
    TraceLogSession(const TraceLogSession &) = delete;
    TraceLogSession &operator=(const TraceLogSession &) = delete;

    // Switches tracing on: creates the file (exclusively, never through a
    // link) when absent, or uses the existing one from its current end.
    // Returns false with a reason when the log can be neither created nor
    // read; a warning (e.g. the existing file is not writable, so the
    // library cannot trace) may be set on success.
    bool begin(std::string &problem);
    // Bytes appended since the previous call (or since begin).
    std::string take_new_text();
    // Removes the file when this session created it and it is still the
    // file created. Safe to call twice.
    void end();

    bool created() const { return created_; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    int read_fd_ = -1;
    off_t offset_ = 0;
    bool created_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// Splits trace text into lines (without their newlines); a last line
// without a newline is kept.
std::vector<std::string> split_lines(const std::string &text);

// Removes the created log if the program is stopped by SIGINT, SIGTERM or
// SIGHUP, then lets the signal take effect.
void remove_created_log_on_signal(const TraceLogSession &session);

}  // namespace zkd

#endif
