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

// The description text: one unit per device with its standard INQUIRY, VPD
// 0x80 and 0x83 and mode pages 0x26 and 0x2B as raw bytes. A command that
// failed becomes a fault at the position where a replayed claim sends it.
// Devices whose INQUIRY was never read replay their failure the same way.
std::string capture_description(const std::vector<DeviceResult> &results,
                                const std::string &origin);

// Creates directory (one level) when missing and writes the description
// into it. Returns the file's path, or "" with a reason in error.
std::string write_capture(const std::string &directory, const std::string &text,
                          std::string &error);

}  // namespace zkd

#endif
