// What an output may be written to. zkdiscover replaces its files by
// renaming a new file over the old name, so a target that is not a regular
// file (a device node such as /dev/null, a FIFO, a socket, a folder) would
// itself be replaced: such targets are refused before anything is done.
// --capture's folder is one this user owns and nobody else can fill.
#ifndef ZKDISCOVER_OUTPUT_TARGET_H
#define ZKDISCOVER_OUTPUT_TARGET_H

#include <string>

namespace zkd {

// Why path may not be replaced as an output file ("a FIFO", "a device
// node (...)", ...), or "" when it may: it does not exist or names a
// regular file (links followed).
std::string refused_output_target(const std::string &path);

// Why folder may not take --capture's file, or "" when it may (or does not
// exist yet): a link is followed only where the kernel's protected_symlinks
// rule would follow it (outside a sticky, world-writable folder, or owned
// by this user or by that folder's owner); the folder must belong to this
// user and be closed to others' writes unless it has the sticky bit.
std::string refused_capture_folder(const std::string &folder);

// Why path may not be a DEVICE of a real scan, or "" when it may: it names
// a character or block device node (links followed, wherever it lies, so a
// node made with mknod elsewhere is examined too), or it is a path under
// /dev that is absent now (a node that went away is reported as not
// examined). Anything else (a regular file, a FIFO, a socket, a folder, an
// absent path outside /dev) is no device.
std::string refused_device_argument(const std::string &path);

}  // namespace zkd

#endif
