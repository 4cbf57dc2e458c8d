// zkdiscover's scan of 16,384 simulated paths (4,096 LUNs x 2 SPs x 2
// paths), by 1, 8, 16 (zkdiscover's default) and 64 threads, with 0 and
// 100 us of latency per command, without and with each claimed path's
// views (VPD 0xC0 and the kernel's view, which the simulator holds here).
// Each run reports, besides its time, its ratio to the device bound:
// paths x commands per path x measured latency of one command / threads.
// A ratio near 1 means the scan waits on the device and nothing else.
#include "claims.h"
#include "host_library.h"
#include "kernel_view.h"
#include "zksim.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kLuns = 4096;
constexpr int kPathsPerSp = 2;
constexpr int kLatencyRuns = 1000;

using Clock = std::chrono::steady_clock;

zkd::HostLibrary &library()
{
    static zkd::HostLibrary *loaded = [] {
        auto *lib = new zkd::HostLibrary;
        std::string message;
        if (zkd::load_host_library(ZK_LIBRARY_FILE, false, *lib, message) !=
            zkd::LoadStatus::Loaded) {
            fprintf(stderr, "zkbench_discovery: %s\n", message.c_str());
            exit(2);
        }
        return lib;
    }();
    return *loaded;
}

// The kernel's view of a path, from the simulator linked in.
bool kernel_view(const std::string &path, zkd::KernelPathState &out)
{
    zksim_kernel_view k{};
    if (zksim_unit_kernel_view(zksim_find_unit(path.c_str()), &k) != 0)
        return false;
    out = zkd::kernel_state_from(k.dh_state, k.access_state, k.preferred ? "1" : "0");
    return true;
}

zkd::ViewSource views()
{
    zkd::ViewSource source;
    source.read = true;
    source.simulated = kernel_view;
    return source;
}

struct Array {
    int latency_us = -1;
    std::vector<std::string> paths;
    double command_seconds = 0;  // measured time of one command
    double commands_per_path = 0;   // the views' included
    double view_commands = 0;
};

// Seconds one SG_IO INQUIRY takes on a simulated path, on average.
double measure_command(const char *path)
{
    int fd = open(path, O_RDONLY | O_NDELAY);
    if (fd < 0)
        return 0;
    unsigned char cdb[6] = {0x12, 0, 0, 0, 36, 0};
    unsigned char data[36];
    auto start = Clock::now();
    for (int i = 0; i < kLatencyRuns; ++i) {
        sg_io_hdr_t hdr;
        memset(&hdr, 0, sizeof hdr);
        hdr.interface_id = 'S';
        hdr.dxfer_direction = SG_DXFER_FROM_DEV;
        hdr.cmdp = cdb;
        hdr.cmd_len = sizeof cdb;
        hdr.dxferp = data;
        hdr.dxfer_len = sizeof data;
        ioctl(fd, SG_IO, &hdr);
    }
    std::chrono::duration<double> spent = Clock::now() - start;
    close(fd);
    return spent.count() / kLatencyRuns;
}

// Loads the array with the given latency (once per latency) and measures
// the command time and the commands one path takes.
const Array &array_with_latency(int latency_us, std::string &error)
{
    static Array array;
    if (array.latency_us == latency_us)
        return array;
    array = Array{};
    std::string text = "array APM00BENCH0001 model=4700 luns=" + std::to_string(kLuns) +
                       " paths_per_sp=" + std::to_string(kPathsPerSp) +
                       " latency_us=" + std::to_string(latency_us) +
                       " kernel=emc prefix=/dev/zkbench/path\n";
    char err[256] = "";
    if (zksim_load_text(text.c_str(), err, sizeof err) != 0) {
        error = err;
        return array;
    }
    for (size_t i = 0; i < zksim_unit_count(); ++i)
        array.paths.emplace_back(zksim_unit_path(i));
    zkd::ViewSource source = views();
    zkd::DeviceResult plain, viewed;
    plain.path = viewed.path = array.paths[0];
    zkd::examine_device(library(), plain, false);
    size_t claim = zksim_command_count();
    zkd::examine_device(library(), viewed, false, &source);
    array.commands_per_path = static_cast<double>(zksim_command_count() - claim);
    array.view_commands = static_cast<double>(zksim_command_count() - 2 * claim);
    zksim_set_recording(0);
    array.command_seconds = measure_command(array.paths[0].c_str());
    array.latency_us = latency_us;
    return array;
}

void BM_Discovery(benchmark::State &state)
{
    int latency_us = static_cast<int>(state.range(0));
    int threads = static_cast<int>(state.range(1));
    bool with_views = state.range(2) != 0;
    std::string error;
    const Array &array = array_with_latency(latency_us, error);
    if (array.paths.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    zkd::ScanSettings settings;
    settings.jobs = threads;
    if (with_views)
        settings.views = views();
    double seconds = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        std::vector<zkd::DeviceResult> results =
            zkd::scan_devices(library(), array.paths, settings);
        std::chrono::duration<double> spent = Clock::now() - start;
        seconds = spent.count();
        state.SetIterationTime(seconds);
        for (const zkd::DeviceResult &r : results) {
            if (r.outcome != zkd::Outcome::Claimed ||
                (with_views && (!r.views.report.read || !r.views.kernel.read))) {
                state.SkipWithError(("not claimed, or without its views: " + r.path).c_str());
                return;
            }
        }
    }
    double paths = static_cast<double>(array.paths.size());
    double commands = array.commands_per_path - (with_views ? 0 : array.view_commands);
    double bound = paths * commands * array.command_seconds / threads;
    state.counters["paths"] = paths;
    state.counters["cmds/path"] = commands;
    state.counters["cmd_us"] = array.command_seconds * 1e6;
    state.counters["bound_ratio"] = seconds / bound;
}

// Latency outermost, so the array is loaded (and its command timed) once
// per latency.
BENCHMARK(BM_Discovery)
    ->ArgNames({"latency_us", "threads", "views"})
    ->Apply([](benchmark::internal::Benchmark *b) {
        for (int latency : {0, 100})
            for (int threads : {1, 8, 16, 64})
                for (int views : {0, 1})
                    b->Args({latency, threads, views});
    })
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
