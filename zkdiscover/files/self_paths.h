// Locating the program's companions (the shared object, the simulator, the
// bundled array description) relative to the running binary.
#ifndef ZKDISCOVER_SELF_PATHS_H
#define ZKDISCOVER_SELF_PATHS_H

#include <string>
#include <vector>

namespace zkd {

// Absolute path of the running binary (from /proc/self/exe), or "" when it
// cannot be read.
std::string self_executable();
// Directory of the running binary, or "" when unknown.
std::string self_directory();

// Candidate locations of a companion file, most specific first: beside the
// binary (build tree), then under the installed layout relative to it
// (install_subdir is relative to the binary's directory, e.g. "../lib").
std::vector<std::string> companion_candidates(const std::string &file_name,
                                              const std::vector<std::string> &install_subdirs);

// First candidate that exists as a regular file, or "".
std::string first_existing(const std::vector<std::string> &candidates);

// Install layout, relative to the binary's directory.
std::string relative_libdir();
std::string relative_datadir();

}  // namespace zkd

#endif
