// --capture: the raw answers of each device written as one device simulator
// description, so that `zkdiscover --simulate FILE` replays the same claims
// on any machine.
#ifndef ZKDISCOVER_CAPTURE_H
#define ZKDISCOVER_CAPTURE_H

#include "claims.h"

#include <string>
#include <vector>

namespace zkd {

// Name of the file written in the capture directory.
constexpr const char *kCaptureFileName = "capture.sim";

// The description text: one unit per device with the raw bytes of its
// standard INQUIRY and of each page its claim read. A command that failed
// becomes a fault at its position (a CHECK CONDITION with its sense key,
// ASC and ASCQ). It begins with a capture line and ends with an end line,
// so a truncated file is refused on replay.
std::string capture_description(const std::vector<DeviceResult> &results,
                                const std::string &origin);

// Creates directory (one level) when missing and checks that a file can be
// written there; before the scan, so a bad DIR costs no scan. False with
// the reason.
bool prepare_capture_folder(const std::string &directory, std::string &error);

// prepare_capture_folder, then the description written to a new file that
// replaces capture.sim only once it is whole (an earlier capture survives
// any failure). Returns the file's path, or "" with a reason in error.
std::string write_capture(const std::string &directory, const std::string &text,
                          std::string &error);

}  // namespace zkd

#endif
