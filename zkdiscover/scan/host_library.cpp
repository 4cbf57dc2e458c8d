#include "host_library.h"

#include "self_paths.h"

#include <dlfcn.h>
#include <unistd.h>

namespace zkd {

namespace {

template <typename Fn>
bool bind(void *handle, const char *name, Fn &out, std::vector<std::string> &missing)
{
    dlerror();
    void *sym = dlsym(handle, name);
    if (sym == nullptr) {
        missing.push_back(name);
        return false;
    }
    out = reinterpret_cast<Fn>(sym);
    return true;
}

std::string join(const std::vector<std::string> &items, const char *separator)
{
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i)
            out += separator;
        out += items[i];
    }
    return out;
}

}  // namespace

LoadStatus load_host_library(const std::string &path, bool need_mode_sense,
                             HostLibrary &library, std::string &message)
{
    // A name without a slash would go through the system's search only; a
    // file of that name in the current directory is what the user means.
    library.path = path;
    library.interface_version = 0;
    std::string to_open = path;
    if (path.find('/') == std::string::npos && access(path.c_str(), F_OK) == 0)
        to_open = "./" + path;
    dlerror();
    void *handle = dlopen(to_open.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        message = "cannot load the support library " + path + ": " +
                  (why ? why : "unknown error");
        return LoadStatus::CannotLoad;
    }

    std::vector<std::string> missing;
    const int *version = nullptr;
    bind(handle, "_lib_version", version, missing);
    if (version != nullptr)
        library.interface_version = *version;
    if (version != nullptr && *version != kSupportedInterfaceVersion) {
        message = path + " implements support-library interface version " +
                  std::to_string(*version) + "; this zkdiscover supports only version " +
                  std::to_string(kSupportedInterfaceVersion);
        dlclose(handle);
        return LoadStatus::WrongVersion;
    }
    bind(handle, "vendor_info", library.vendor_info_fn, missing);
    bind(handle, "claim_device", library.claim_device, missing);
    bind(handle, "nv_free", library.nv_free, missing);
    bind(handle, "do_inquiry", library.do_inquiry, missing);
    if (need_mode_sense)
        bind(handle, "do_mode_sense_raw", library.do_mode_sense_raw, missing);
    std::vector<std::string> optional_missing;
    bind(handle, "CloseDbgTempFile", library.close_trace_log, optional_missing);
    if (!missing.empty()) {
        message = path + " is not a usable support library: it does not define " +
                  join(missing, ", ");
        dlclose(handle);
        library.vendor_info_fn = nullptr;
        library.claim_device = nullptr;
        library.nv_free = nullptr;
        library.do_inquiry = nullptr;
        library.do_mode_sense_raw = nullptr;
        library.close_trace_log = nullptr;
        return LoadStatus::CannotLoad;
    }

    library.handle = handle;

    const char **info = nullptr;
    library.vendor_info_fn(&info);
    library.vendor_info.clear();
    for (size_t i = 0; info != nullptr && info[i] != nullptr; ++i)
        library.vendor_info.emplace_back(info[i]);
    return LoadStatus::Loaded;
}

std::vector<std::string> default_library_candidates()
{
    std::vector<std::string> out =
        companion_candidates(kLibraryFileName, {relative_libdir()});
    out.emplace_back(kLibraryFileName);
    return out;
}

LoadStatus load_default_library(bool need_mode_sense, HostLibrary &library,
                                std::string &message)
{
    std::vector<std::string> candidates = default_library_candidates();
    std::string found = first_existing(candidates);
    if (!found.empty())
        return load_host_library(found, need_mode_sense, library, message);
    // Not beside the binary nor installed beside it: the system's search.
    LoadStatus status =
        load_host_library(kLibraryFileName, need_mode_sense, library, message);
    if (status == LoadStatus::CannotLoad && message.find("cannot load") == 0)
        message = "cannot find the support library; tried " +
                  join(candidates, ", ") + " (use --library PATH)";
    return status;
}

}  // namespace zkd
