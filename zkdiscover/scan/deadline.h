// Deadlines of a scan. A device that does not answer must not hold the
// scan: each device has its own deadline, and the thread examining it is
// freed when it passes.
//
// - On a SCSI generic node (the nodes the scan prefers) the driver's wait
//   for an answer can be interrupted: the scan sends the thread a signal,
//   installed without SA_RESTART, and its SG_IO returns EINTR. The command
//   itself stays with the kernel, under the device's own time-out; no
//   earlier error handling is started on the machine's SCSI host.
// - On a block node that wait cannot be interrupted: each SG_IO request
//   the library leaves without a time-out of its own (it always does) gets
//   what remains of the device's deadline, so the kernel times the command
//   out and its error handling ends it.
// - A command due after the deadline is not sent.
#ifndef ZKDISCOVER_DEADLINE_H
#define ZKDISCOVER_DEADLINE_H

#include "command_recorder.h"

#include <chrono>
#include <string>

namespace zkd {

using Clock = std::chrono::steady_clock;

// The signal that frees a thread waiting in SG_IO; its handler does
// nothing. Installed once, process-wide, by the first call.
int deadline_signal();

// The calling thread's device deadline, from begin to end; hit() tells
// whether one of its commands met the deadline (refused, interrupted or
// timed out), and end() forgets it. block_node: the device is a block
// node, whose commands get the time-out.
void begin_device_deadline(Clock::time_point deadline, bool block_node);
bool device_deadline_hit();
void end_device_deadline();

// The program's ioctl (ioctl_interposer.cpp): SG_IO requests of a thread
// with a device deadline as described above, then recorded_ioctl. A
// request interrupted before the deadline (a signal meant for the thread's
// previous device) is sent again.
int deadline_ioctl(IoctlFn next, int fd, unsigned long request, void *arg);

// "10 s", "0.25 s": a duration in milliseconds as the reports show it.
std::string seconds_text(long long milliseconds);

}  // namespace zkd

#endif
