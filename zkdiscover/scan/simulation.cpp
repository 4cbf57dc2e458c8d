#include "simulation.h"

#include "kernel_view.h"
#include "zksim.h"

#include "file_io.h"
#include "self_paths.h"
#include "text_escape.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace zkd {

namespace {

// The simulator's interface, bound by name in the running process.
using LoadFileFn = int (*)(const char *, char *, size_t);
using UnitCountFn = size_t (*)();
using UnitPathFn = const char *(*)(size_t);
using FindUnitFn = const void *(*)(const char *);

template <typename Fn>
Fn simulator_symbol(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

// Path of an already loaded sanitizer runtime: it must come first in
// LD_PRELOAD when the program itself is built with AddressSanitizer.
int find_asan_runtime(struct dl_phdr_info *info, size_t, void *data)
{
    const char *name = info->dlpi_name;
    if (name != nullptr && std::strstr(name, "libasan.so") != nullptr) {
        *static_cast<std::string *>(data) = name;
        return 1;
    }
    return 0;
}

}  // namespace

std::string default_description()
{
    return first_existing(companion_candidates(
        kDefaultDescriptionName, {relative_datadir() + "/zkdiscover"}));
}

std::string simulator_library()
{
    return first_existing(companion_candidates(
        kSimulatorFileName, {relative_libdir() + "/zkdiscover", relative_libdir()}));
}

bool simulation_active()
{
    const char *marker = std::getenv(kSimulationMarker);
    return marker != nullptr && *marker != '\0';
}

std::string active_description()
{
    const char *marker = std::getenv(kSimulationMarker);
    return marker ? marker : "";
}

void reexec_with_simulator(const std::string &description, char **argv, std::string &error)
{
    // Checked here, before anything starts: a FIFO, a device or a huge
    // file is refused without a byte read.
    std::string why;
    char absolute[PATH_MAX];
    if (!check_regular_file(description, kMaxInputBytes, why) ||
        realpath(description.c_str(), absolute) == nullptr) {
        if (why.empty())
            why = std::strerror(errno);
        error = "cannot read the description " + escape_text(description) + ": " + why;
        if (description.compare(0, 5, "/dev/") == 0)
            error += " (DEVICE arguments come before --simulate: "
                     "zkdiscover DEVICE... --simulate[=FILE])";
        return;
    }
    std::string simulator = simulator_library();
    if (simulator.empty()) {
        error = std::string("cannot find the device simulator ") + kSimulatorFileName +
                " beside " + self_directory() + " or in its library directory";
        return;
    }
    std::string exe = self_executable();
    if (exe.empty()) {
        error = "cannot find the running program in /proc/self/exe";
        return;
    }

    std::string preload;
    std::string asan;
    dl_iterate_phdr(find_asan_runtime, &asan);
    if (!asan.empty())
        preload = asan + ":";
    preload += simulator;
    if (const char *existing = std::getenv("LD_PRELOAD"); existing && *existing)
        preload += std::string(":") + existing;

    setenv("LD_PRELOAD", preload.c_str(), 1);
    // The new program loads the description itself (load_simulated_units),
    // so that an error is reported once, as FILE: line N: reason, with the
    // simulation's exit code; ZKSIM_CONFIG would have the simulator load it
    // on its own first.
    unsetenv("ZKSIM_CONFIG");
    setenv(kSimulationMarker, absolute, 1);
    execv(exe.c_str(), argv);
    error = "cannot re-execute " + exe + ": " + std::strerror(errno);
}

bool load_simulated_units(const std::string &description, std::string &error)
{
    auto load = simulator_symbol<LoadFileFn>("zksim_load_file");
    if (load == nullptr || simulator_symbol<UnitCountFn>("zksim_unit_count") == nullptr) {
        error = std::string("the device simulator is not active in this process (") +
                kSimulatorFileName + " was not preloaded)";
        return false;
    }
    char reason[512] = "";
    if (load(description.c_str(), reason, sizeof reason) != 0) {
        // The reason may quote a word of the file: escaped, and cut short.
        constexpr size_t kLongestReason = 160;
        std::string shown = escape_text(reason[0] ? reason : "cannot be loaded");
        if (shown.size() > kLongestReason)
            shown = shown.substr(0, kLongestReason) + "...";
        error = escape_text(description) + ": " + shown;
        return false;
    }
    // The simulator's records of opens and commands serve tests; a scan of
    // thousands of paths would only fill memory with them.
    if (auto set_recording = simulator_symbol<void (*)(int)>("zksim_set_recording"))
        set_recording(0);
    return true;
}

std::vector<std::string> simulated_unit_paths()
{
    std::vector<std::string> out;
    auto count = simulator_symbol<UnitCountFn>("zksim_unit_count");
    auto path = simulator_symbol<UnitPathFn>("zksim_unit_path");
    if (count == nullptr || path == nullptr)
        return out;
    size_t n = count();
    for (size_t i = 0; i < n; ++i)
        if (const char *p = path(i))
            out.emplace_back(p);
    return out;
}

bool is_simulated_unit(const std::string &path)
{
    auto find = simulator_symbol<FindUnitFn>("zksim_find_unit");
    return find != nullptr && find(path.c_str()) != nullptr;
}

bool simulated_kernel_state(const std::string &path, KernelPathState &out)
{
    using KernelViewFn = int (*)(const zksim_unit *, zksim_kernel_view *);
    static const auto find = simulator_symbol<const zksim_unit *(*)(const char *)>("zksim_find_unit");
    static const auto view = simulator_symbol<KernelViewFn>("zksim_unit_kernel_view");
    zksim_kernel_view k{};
    if (find == nullptr || view == nullptr || view(find(path.c_str()), &k) != 0)
        return false;
    k.dh_state[sizeof k.dh_state - 1] = k.access_state[sizeof k.access_state - 1] = '\0';
    out = kernel_state_from(k.dh_state, k.access_state, k.preferred ? "1" : "0");
    return true;
}

}  // namespace zkd
