// An in-process fake of one healthy CLARiiON unit for the benchmarks: the
// program's own open/ioctl/close answer one path from fixed arrays and send
// nothing to the kernel. Every other path and descriptor goes to the C
// library. Single-threaded use only.
#ifndef ZK_BENCH_FAKE_UNIT_H
#define ZK_BENCH_FAKE_UNIT_H

namespace zkbench {

constexpr const char kUnitPath[] = "/dev/zkbench/c0t0d0s2";

// The standard INQUIRY data of the unit, as a host hands it to claim_device.
extern const unsigned char kUnitStandardInquiry[36];

// SG_IO requests answered since the start.
unsigned long fake_unit_commands();

}  // namespace zkbench

#endif
