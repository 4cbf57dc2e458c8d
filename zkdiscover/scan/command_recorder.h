// --capture: the SCSI commands a claim sends and what came back, recorded
// as they pass, so that a capture holds exactly what the claim saw (a
// CHECK CONDITION with its sense data included) and sends nothing more to
// the device. The program defines ioctl (ioctl_interposer.cpp): the support
// library's SG_IO requests reach it first, and it hands them on through
// recorded_ioctl to the next definition (the C library's, or the device
// simulator's under --simulate).
#ifndef ZKDISCOVER_COMMAND_RECORDER_H
#define ZKDISCOVER_COMMAND_RECORDER_H

#include <cstdint>
#include <vector>

namespace zkd {

struct RecordedCommand {
    std::vector<std::uint8_t> cdb;
    int error = 0;                 // errno when the ioctl itself failed
    std::uint8_t status = 0;       // SCSI status
    std::uint16_t host_status = 0;
    std::uint16_t driver_status = 0;
    std::vector<std::uint8_t> data;    // data that came back (device to host)
    std::vector<std::uint8_t> sense;   // sense data, when there is any
};

using IoctlFn = int (*)(int, unsigned long, ...);

// Calls next, and records the request when it is an SG_IO request of a
// thread that is recording. A request without room for sense data gets
// some for the call, so the capture keeps it; the caller sees none.
int recorded_ioctl(IoctlFn next, int fd, unsigned long request, void *arg);

// Records the calling thread's SG_IO requests between its construction and
// take() (or its destruction).
class CommandRecording {
public:
    CommandRecording();
    ~CommandRecording();
    CommandRecording(const CommandRecording &) = delete;
    CommandRecording &operator=(const CommandRecording &) = delete;
    // The commands recorded so far, in the order they were sent; recording
    // stops.
    std::vector<RecordedCommand> take();

private:
    std::vector<RecordedCommand> commands_;
    bool active_ = true;
};

}  // namespace zkd

#endif
