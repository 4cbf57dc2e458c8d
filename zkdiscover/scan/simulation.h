// --simulate: the program re-executes itself with the device simulator
// preloaded (LD_PRELOAD=libzksim.so) and the description's path in
// ZKDISCOVER_SIMULATION, so that the library's open/ioctl/close reach
// simulated units. Without --simulate
// nothing is preloaded and the program never looks for the simulator.
#ifndef ZKDISCOVER_SIMULATION_H
#define ZKDISCOVER_SIMULATION_H

#include <string>
#include <vector>

namespace zkd {

// Set in the re-executed program to the description's absolute path.
constexpr const char *kSimulationMarker = "ZKDISCOVER_SIMULATION";
constexpr const char *kSimulatorFileName = "libzksim.so";
constexpr const char *kDefaultDescriptionName = "demo.sim";

// The bundled description: beside the binary (build tree) or installed
// under share/zkdiscover. "" when neither exists.
std::string default_description();
// The preloadable simulator: beside the binary or installed under lib.
std::string simulator_library();

// True in the re-executed program (the marker is set).
bool simulation_active();
// The description named by the marker.
std::string active_description();

// Re-executes the program with the simulator preloaded. Returns only on
// failure, with the reason.
void reexec_with_simulator(const std::string &description, char **argv, std::string &error);

// In the re-executed program: the simulator's own functions, found in the
// process (the preloaded object). Loads the description (again, to report
// its errors as "FILE: line N: reason"). False with the reason on failure.
bool load_simulated_units(const std::string &description, std::string &error);
// Paths of the simulated units (description order).
std::vector<std::string> simulated_unit_paths();
// True when path is a simulated unit.
bool is_simulated_unit(const std::string &path);

struct KernelPathState;
// The kernel's view of a simulated path (the description's kernel key, as
// a host's sysfs would show it); false when it has none. Any thread.
bool simulated_kernel_state(const std::string &path, KernelPathState &out);

}  // namespace zkd

#endif
