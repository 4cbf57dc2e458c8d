#include "metrics_output.h"

#include "file_io.h"
#include "options.h"
#include "text_escape.h"

#include <unistd.h>

#include <cstring>
#include <iostream>
#include <utility>

namespace zkd {

MetricsOutput::MetricsOutput(std::string file)
    : file_(std::move(file)), start_(std::chrono::steady_clock::now())
{
}

bool MetricsOutput::check(std::string &error) const
{
    return !enabled() || to_stdout() || check_output_folder(folder_of(file_), error);
}

void MetricsOutput::set_library(const std::string &path, int interface_version)
{
    library_ = path;
    interface_version_ = interface_version;
}

int MetricsOutput::finish(const std::vector<DeviceResult> *results, int code)
{
    if (!enabled())
        return code;
    MetricsSource source;
    source.timestamp = std::chrono::duration<double>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    source.duration =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
#ifdef ZKD_VERSION
    source.version = ZKD_VERSION;
#endif
    source.library = library_;
    source.interface_version = interface_version_;
    source.results = results;

    std::string error;
    bool written;
    if (to_stdout()) {
        int failure = 0;
        Spool out(write_to(STDOUT_FILENO, failure));
        render_metrics(source, out);
        out.finish();
        written = failure == 0;
        if (!written)
            error = std::strerror(failure);
    } else {
        written = write_file_atomically(
            file_, [&source](Spool &out) { render_metrics(source, out); }, error);
    }
    if (written)
        return code;
    std::cerr << "zkdiscover: --metrics " << escape_text(file_) << ": " << error << "\n";
    if (code != kExitOk && code != kExitChanged)
        return code;
    return to_stdout() ? kExitStdout : kExitFailure;
}

}  // namespace zkd
