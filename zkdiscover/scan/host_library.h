// The support library as a host sees it: loaded with dlopen, its interface
// version checked, its entry points bound by name.
#ifndef ZKDISCOVER_HOST_LIBRARY_H
#define ZKDISCOVER_HOST_LIBRARY_H

#include "zkDGCclariion.h"

#include <string>
#include <vector>

namespace zkd {

// The only interface version this host understands.
constexpr int kSupportedInterfaceVersion = 1;
// File name of the library, as built and installed.
constexpr const char *kLibraryFileName = "libzkDGCclariion.so";

enum class LoadStatus {
    Loaded,
    CannotLoad,        // missing file, not a shared object, missing entry point
    WrongVersion,      // _lib_version other than 1
};

// The shared object stays loaded until exit: its trace log descriptor and
// the lists it handed out belong to it.
struct HostLibrary {
    void *handle = nullptr;
    // What was passed to dlopen and the _lib_version found there (0 when
    // none could be read); both kept when the load fails, to say which
    // library was refused.
    std::string path;
    int interface_version = 0;
    std::vector<std::string> vendor_info;  // the identification pairs

    decltype(&::vendor_info) vendor_info_fn = nullptr;
    decltype(&::claim_device) claim_device = nullptr;
    decltype(&::nv_free) nv_free = nullptr;
    decltype(&::do_inquiry) do_inquiry = nullptr;
    decltype(&::do_mode_sense_raw) do_mode_sense_raw = nullptr;  // bound only when asked
    decltype(&::CloseDbgTempFile) close_trace_log = nullptr;      // optional

    HostLibrary() = default;
    HostLibrary(const HostLibrary &) = delete;
    HostLibrary &operator=(const HostLibrary &) = delete;
};

// Loads the library at path (a name without '/' goes through the system's
// search). Binds the host entry points (_lib_version, vendor_info,
// claim_device, nv_free) and do_inquiry, plus do_mode_sense_raw when
// need_mode_sense. On success calls vendor_info and copies its pairs. On
// failure message says why and the library is unloaded again; path and
// interface_version still tell what was tried.
LoadStatus load_host_library(const std::string &path, bool need_mode_sense,
                             HostLibrary &library, std::string &message);

// The library paths tried when no --library is given, in order: beside the
// binary, the installed library directory relative to it, then the bare
// name for the system's search.
std::vector<std::string> default_library_candidates();

// Loads the first default candidate that exists (or the bare name as the
// last resort). message lists what was tried on failure.
LoadStatus load_default_library(bool need_mode_sense, HostLibrary &library,
                                std::string &message);

}  // namespace zkd

#endif
