// One claim and its parts, against the in-process fake unit:
//   claim_device + nv_free, with the trace log absent and present;
//   the floor: the claim's 4 x (open, two SG_IO, close) sent bare;
//   do_inquiry and do_mode_sense_raw alone; nv_create_list of six pairs and
//   nv_set_value of one.
// "zkbench --count OP N" runs OP N times inside zkbench_measured, for
// callgrind (--toggle-collect=zkbench_measured) to count its instructions;
// scripts/bench.sh does that.
#include "fake_unit.h"
#include "zkDGCclariion.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <iterator>

using namespace zkbench;

namespace {

constexpr char kTraceLogPath[] = "/tmp/.ZEVIRO00.log";
// The traced runs empty the log this often, so it never grows large.
constexpr long kTruncateEvery = 1024;

device_entry g_entry;

// Each operation returns 0 when it did what a healthy unit makes it do.

int claim_once()
{
    char **list = nullptr;
    int result = claim_device(&g_entry, &list);
    if (result == ZK_CLAIMED)
        nv_free(list);
    return result;
}

// The claim's commands, in its order, each sent as the library sends it:
// a probe for the length, then exactly that length.
struct BareCommand {
    unsigned char cdb[6];
    int open_flags;
    bool mode_sense;
};
constexpr BareCommand kClaimCommands[] = {
    {{0x1A, 0x08, 0x26, 0, 4, 0}, O_RDONLY, true},
    {{0x1A, 0x08, 0x2B, 0, 4, 0}, O_RDONLY, true},
    {{0x12, 0x01, 0x83, 0, 36, 0}, O_RDONLY | O_NDELAY, false},
    {{0x12, 0x01, 0x80, 0, 36, 0}, O_RDONLY | O_NDELAY, false},
};

int send_bare(int fd, unsigned char *cdb, unsigned char *data, unsigned length)
{
    sg_io_hdr_t hdr;
    memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr.cmdp = cdb;
    hdr.cmd_len = 6;
    hdr.dxferp = data;
    hdr.dxfer_len = length;
    if (ioctl(fd, SG_IO, &hdr) != 0 || hdr.status != 0)
        return -1;
    return 0;
}

int floor_once()
{
    int failures = 0;
    for (const BareCommand &command : kClaimCommands) {
        unsigned char cdb[6];
        unsigned char data[255] = {};
        memcpy(cdb, command.cdb, sizeof cdb);
        int fd = open(kUnitPath, command.open_flags);
        if (fd < 0)
            return -1;
        failures += send_bare(fd, cdb, data, cdb[4]);
        unsigned length = command.mode_sense ? data[0] + 1u : data[3] + 4u;
        cdb[4] = static_cast<unsigned char>(length);
        failures += send_bare(fd, cdb, data, length);
        close(fd);
    }
    return failures;
}

int inquiry_once()
{
    int length = 0;
    unsigned char *buffer = nullptr;
    int result = do_inquiry(kUnitPath, 1, 0x83, O_RDONLY | O_NDELAY, &length, &buffer);
    free(buffer);
    return result;
}

int mode_sense_once()
{
    int length = 0;
    unsigned char *buffer = nullptr;
    int result = do_mode_sense_raw(kUnitPath, 1, 0, 0x26, &length, &buffer);
    free(buffer);
    return result;
}

int nv_create_list_once()
{
    static char *const pairs[] = {
        const_cast<char *>("CAB_SERIAL_NO=F1234567"),
        const_cast<char *>("LUN_SERIAL_NO=600601601A2B3C4D5E6F708192A3B4C5"),
        const_cast<char *>("REVISION=0219"),
        const_cast<char *>("SCSI_VERSION=4"),
        const_cast<char *>("LUN_OWNER=Y"),
        const_cast<char *>("PORT_SERIAL_NO=F1234567B"),
    };
    char **list = nullptr;
    int count = nv_create_list(&list, pairs[0], pairs[1], pairs[2], pairs[3],
                               pairs[4], pairs[5], static_cast<char *>(nullptr));
    nv_free(list);
    return count == 6 ? 0 : -1;
}

int nv_set_value_once()
{
    char *pair = nullptr;
    int result = nv_set_value(&pair, "CAB_SERIAL_NO", "F1234567");
    nv_free(pair);
    return result;
}

struct Operation {
    const char *name;
    int (*run)();
    bool traced;           // with the trace log present
    const char *label;
};

constexpr Operation kOperations[] = {
    {"claim_untraced", claim_once, false, "claim_device + nv_free, no trace log"},
    {"claim_traced", claim_once, true, "claim_device + nv_free, trace log present"},
    {"floor", floor_once, false, "4 x (open, two SG_IO, close), bare"},
    {"do_inquiry", inquiry_once, false, "do_inquiry VPD 0x83"},
    {"do_mode_sense_raw", mode_sense_once, false, "do_mode_sense_raw page 0x26"},
    {"nv_create_list", nv_create_list_once, false, "nv_create_list of six pairs + nv_free"},
    {"nv_set_value", nv_set_value_once, false, "nv_set_value + nv_free"},
};

// The trace log for a traced run: created for it and removed after. The
// program refuses to start when the log already exists (see main).
class TraceLog {
public:
    TraceLog() : fd_(open(kTraceLogPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)) {}
    ~TraceLog()
    {
        CloseDbgTempFile();
        if (fd_ >= 0) {
            close(fd_);
            unlink(kTraceLogPath);
        }
    }
    TraceLog(const TraceLog &) = delete;
    TraceLog &operator=(const TraceLog &) = delete;
    bool ok() const { return fd_ >= 0; }
    void empty() const { (void)ftruncate(fd_, 0); }

private:
    int fd_;
};

void run_benchmark(benchmark::State &state, const Operation &op)
{
    TraceLog *log = op.traced ? new TraceLog : nullptr;
    if (log != nullptr && !log->ok()) {
        state.SkipWithError("cannot create the trace log");
        delete log;
        return;
    }
    unsigned long commands_before = fake_unit_commands();
    long done = 0;
    for (auto _ : state) {
        if (op.run() != 0) {
            state.SkipWithError("unexpected result");
            break;
        }
        if (log != nullptr && ++done % kTruncateEvery == 0)
            log->empty();
    }
    state.counters["commands"] = benchmark::Counter(
        static_cast<double>(fake_unit_commands() - commands_before),
        benchmark::Counter::kAvgIterations);
    state.SetLabel(op.label);
    delete log;
}

}  // namespace

// Runs op n times; returns how many runs gave a wrong result. callgrind
// counts the instructions of this function and everything it calls.
extern "C" __attribute__((noinline)) long zkbench_measured(int (*op)(), long n)
{
    long wrong = 0;
    for (long i = 0; i < n; ++i)
        wrong += op() != 0;
    return wrong;
}

namespace {

int count_mode(const char *name, const char *count_text)
{
    long n = strtol(count_text, nullptr, 10);
    for (const Operation &op : kOperations) {
        if (strcmp(op.name, name) != 0)
            continue;
        TraceLog *log = op.traced ? new TraceLog : nullptr;
        if (log != nullptr && !log->ok()) {
            fprintf(stderr, "zkbench: cannot create %s\n", kTraceLogPath);
            delete log;
            return 1;
        }
        long wrong = 0;
        for (int i = 0; i < 3; ++i)  // first calls bind symbols: not counted
            wrong += op.run() != 0;
        unsigned long commands_before = fake_unit_commands();
        wrong += zkbench_measured(op.run, n);
        printf("%s: %ld runs, %.1f commands each, %ld wrong results\n", name, n,
               static_cast<double>(fake_unit_commands() - commands_before) /
                   static_cast<double>(n),
               wrong);
        delete log;
        return wrong == 0 ? 0 : 1;
    }
    fprintf(stderr, "zkbench: unknown operation %s\n", name);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    // The log's existence switches tracing on for every claim: with a log
    // present the "untraced" figures would be traced ones, and the runs would
    // fill someone's log.
    if (access(kTraceLogPath, F_OK) == 0) {
        fprintf(stderr, "zkbench: %s exists; remove it (or run with a private /tmp)\n",
                kTraceLogPath);
        return 2;
    }
    memset(&g_entry, 0, sizeof g_entry);
    snprintf(g_entry.path, sizeof g_entry.path, "%s", kUnitPath);
    g_entry.inquiry = kUnitStandardInquiry;

    if (argc == 4 && strcmp(argv[1], "--count") == 0)
        return count_mode(argv[2], argv[3]);
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))
        printf("usage: zkbench [--list | --count OPERATION N | Google Benchmark options]\n"
               "  --list                  the operations\n"
               "  --count OPERATION N     run OPERATION N times in zkbench_measured\n"
               "                          (for callgrind --toggle-collect)\n\n");
    if (argc == 2 && strcmp(argv[1], "--list") == 0) {
        for (const Operation &op : kOperations)
            printf("%s\n", op.name);
        return 0;
    }

    for (const Operation &op : kOperations)
        benchmark::RegisterBenchmark(op.name, run_benchmark, op);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
