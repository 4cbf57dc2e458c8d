// The run's --metrics file: the scan's metrics, or a failed scan's, written
// whatever way the run ends.
#ifndef ZKDISCOVER_METRICS_OUTPUT_H
#define ZKDISCOVER_METRICS_OUTPUT_H

#include "metrics.h"

#include <chrono>
#include <string>
#include <vector>

namespace zkd {

// One run's --metrics output: started with the program, told the library
// once loaded, written once at the end (a scan) or at an early exit (none).
class MetricsOutput {
public:
    explicit MetricsOutput(std::string file);   // "" = no --metrics
    bool enabled() const { return !file_.empty(); }
    bool to_stdout() const { return file_ == "-"; }
    // The file's folder exists and is writable (checked before a scan).
    bool check(std::string &error) const;
    void set_library(const std::string &path, int interface_version);
    // Writes the file and returns the exit code to leave with: code, or
    // kExitFailure when the file cannot be written (the reason on stderr).
    int finish(const std::vector<DeviceResult> *results, int code);

private:
    std::string file_;
    std::string library_;
    int interface_version_ = 0;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace zkd

#endif
