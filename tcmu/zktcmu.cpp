/*
 * zktcmu: serves units of the device simulator's model to the kernel's SCSI
 * target through TCMU (target_core_user), so that a kernel initiator (for
 * instance tcm_loop) sees them as real SCSI devices, with sd and sg nodes.
 * The same model answers the SG_IO interposer, so the two transports serve
 * the very same unit.
 */
#include "tcmu_ring.h"
#include "uio_device.h"
#include "zksim.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitSetup = 3;
constexpr int kExitRing = 4;
constexpr int kPollIntervalMs = 1000;

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

struct Served {
    std::string name;
    std::string unit_path;
    const zksim_unit *unit = nullptr;
    std::string dev_path;
    zktcmu::UioDevice device;
    std::unique_ptr<zktcmu::Ring> ring;
    size_t commands = 0;
};

void usage(FILE *out) {
    std::fprintf(out,
        "Usage: zktcmu --config FILE [options] DEVICE=UNIT...\n"
        "Serves simulated units to the kernel's SCSI target through TCMU.\n"
        "\n"
        "  DEVICE   a TCMU device's name in configfs (target/core/user_N/DEVICE),\n"
        "           found through the uio device named tcm-user/N/DEVICE/...;\n"
        "           or a uio device node such as /dev/uio0\n"
        "  UNIT     the path of a unit in the description\n"
        "\n"
        "  -c, --config FILE   the simulator description of the units\n"
        "  -r, --ready FILE    write the process id to FILE once every device is\n"
        "                      mapped and answering\n"
        "  -v, --verbose       one line per command on stderr\n"
        "      --control FIFO  read the array's own requests, one a line:\n"
        "                        trespass NAME A|B     move the LUN to that SP\n"
        "                        in_progress NAME on|off\n"
        "                      NAME is a DEVICE or UNIT given below (any path\n"
        "                      of the LUN names the LUN)\n"
        "      --sysfs DIR     sysfs mount point (default /sys)\n"
        "      --dev DIR       device node directory (default /dev)\n"
        "  -h, --help          this text\n"
        "\n"
        "Runs until SIGTERM or SIGINT. Exit status: 0 stopped by a signal,\n"
        "2 usage, 3 set-up failed (description, device, mapping), 4 a ring held\n"
        "an unusable entry.\n");
}

bool write_ready_file(const std::string &path) {
    std::string tmp = path + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    std::fprintf(f, "%ld\n", static_cast<long>(getpid()));
    if (std::fclose(f) != 0)
        return false;
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string hex(const std::vector<unsigned char> &bytes) {
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02x ", c);
        s += b;
    }
    if (!s.empty())
        s.pop_back();
    return s;
}

char sp_name(int sp) { return sp == 0 ? 'A' : sp == 1 ? 'B' : '-'; }

/* MODE SELECT(6)/(10) and SET TARGET PORT GROUPS (MAINTENANCE OUT): their
 * parameter lists are logged. */
bool carries_parameter_list(const std::vector<unsigned char> &cdb) {
    return !cdb.empty() && (cdb[0] == 0x15 || cdb[0] == 0x55 || cdb[0] == 0xA4);
}

/* Answers everything pending on one device; false when its ring is broken.
 * A command that moves the LUN is logged as a trespass. */
bool serve(Served &s, bool verbose) {
    const zksim_unit *unit = s.unit;
    auto respond = [&s, unit](const unsigned char *cdb, size_t cdb_len,
                              const unsigned char *data_out, size_t data_out_len,
                              unsigned char *data, size_t data_cap, size_t *data_len,
                              unsigned char *sense, size_t sense_cap, size_t *sense_len) {
        *data_len = 0;
        *sense_len = 0;
        int before = zksim_unit_owner(unit);
        int status = zksim_unit_execute(unit, cdb, cdb_len, data_out, data_out_len, data,
                                        data_cap, data_len, sense, sense_cap, sense_len);
        int after = zksim_unit_owner(unit);
        if (after != before)
            std::fprintf(stderr, "zktcmu: %s: trespass by opcode 0x%02x: SP %c -> SP %c\n",
                         s.name.c_str(), cdb[0], sp_name(before), sp_name(after));
        return status;
    };
    std::function<void(const zktcmu::CommandTrace &)> trace;
    if (verbose)
        trace = [&s](const zktcmu::CommandTrace &t) {
            std::string out;
            if (carries_parameter_list(t.cdb))
                out = ", out " + hex(t.data_out);
            std::fprintf(stderr, "zktcmu: %s: [%u] %s: data %zu of %zu, status 0x%02x%s\n",
                         s.name.c_str(), t.cmd_id, hex(t.cdb).c_str(), t.data_len,
                         t.data_cap, t.status, out.c_str());
        };
    zktcmu::WalkResult r = s.ring->walk_with_data_out(respond, trace);
    s.commands += r.commands;
    std::string error;
    if (r.entries() > 0 && !s.device.notify(&error))
        std::fprintf(stderr, "zktcmu: %s: %s\n", s.name.c_str(), error.c_str());
    if (r.malformed > 0)
        std::fprintf(stderr, "zktcmu: %s: %zu malformed command entries answered with "
                     "CHECK CONDITION\n", s.name.c_str(), r.malformed);
    if (r.failed) {
        std::fprintf(stderr, "zktcmu: %s: %s\n", s.name.c_str(), r.error.c_str());
        return false;
    }
    return true;
}

/* The array's own requests, read line by line from the control FIFO. */
class Control {
public:
    bool open(const std::string &path) {
        /* Read and write: the FIFO then never reads as ended between
         * writers, and open does not wait for one. */
        fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0;
    }
    int fd() const { return fd_; }

    void take(const std::vector<std::unique_ptr<Served>> &served) {
        char buf[512];
        ssize_t n;
        while ((n = read(fd_, buf, sizeof buf)) > 0) {
            pending_.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending_.find('\n')) != std::string::npos) {
                run(pending_.substr(0, nl), served);
                pending_.erase(0, nl + 1);
            }
            if (pending_.size() > 4096)  /* no line is that long */
                pending_.clear();
        }
    }

private:
    static void run(const std::string &line, const std::vector<std::unique_ptr<Served>> &served) {
        char verb[32] = "", name[256] = "", arg[16] = "", extra[2] = "";
        int fields = std::sscanf(line.c_str(), "%31s %255s %15s %1s", verb, name, arg, extra);
        if (fields <= 0)
            return;
        const zksim_unit *unit = nullptr;
        for (const auto &s : served)
            if (s->name == name || s->unit_path == name)
                unit = s->unit;
        std::string a = arg;
        int rc = -1;
        if (fields != 3 || !unit) {
        } else if (std::strcmp(verb, "trespass") == 0 && (a == "A" || a == "B")) {
            int before = zksim_unit_owner(unit);
            rc = zksim_unit_trespass(unit, a == "A" ? 0 : 1);
            if (rc == 0)
                std::fprintf(stderr, "zktcmu: control: trespass %s: SP %c -> SP %c\n", name,
                             sp_name(before), sp_name(zksim_unit_owner(unit)));
        } else if (std::strcmp(verb, "in_progress") == 0 && (a == "on" || a == "off")) {
            rc = zksim_unit_set_in_progress(unit, a == "on");
            if (rc == 0)
                std::fprintf(stderr, "zktcmu: control: in_progress %s: %s\n", name, arg);
        }
        if (rc != 0)
            std::fprintf(stderr, "zktcmu: control: refused '%s' (trespass NAME A|B, "
                         "in_progress NAME on|off, NAME a device or unit served)\n",
                         line.c_str());
    }

    int fd_ = -1;
    std::string pending_;
};

}  // namespace

int main(int argc, char **argv) {
    std::string config, ready, control_path, sysfs = "/sys", dev = "/dev";
    bool verbose = false;
    enum { kOptSysfs = 256, kOptDev, kOptControl };
    static const option options[] = {
        {"config", required_argument, nullptr, 'c'},
        {"ready", required_argument, nullptr, 'r'},
        {"verbose", no_argument, nullptr, 'v'},
        {"sysfs", required_argument, nullptr, kOptSysfs},
        {"dev", required_argument, nullptr, kOptDev},
        {"control", required_argument, nullptr, kOptControl},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "c:r:vh", options, nullptr)) != -1) {
        switch (opt) {
        case 'c': config = optarg; break;
        case 'r': ready = optarg; break;
        case 'v': verbose = true; break;
        case kOptSysfs: sysfs = optarg; break;
        case kOptDev: dev = optarg; break;
        case kOptControl: control_path = optarg; break;
        case 'h': usage(stdout); return kExitOk;
        default: usage(stderr); return kExitUsage;
        }
    }
    if (config.empty() || optind >= argc) {
        usage(stderr);
        return kExitUsage;
    }

    char err[256] = "";
    if (zksim_load_file(config.c_str(), err, sizeof err) != 0) {
        std::fprintf(stderr, "zktcmu: %s: %s\n", config.c_str(), err);
        return kExitSetup;
    }

    std::vector<std::unique_ptr<Served>> served;
    for (int i = optind; i < argc; ++i) {
        std::string arg = argv[i];
        size_t eq = arg.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size()) {
            std::fprintf(stderr, "zktcmu: '%s' is not DEVICE=UNIT\n", arg.c_str());
            return kExitUsage;
        }
        auto s = std::make_unique<Served>();
        s->name = arg.substr(0, eq);
        s->unit_path = arg.substr(eq + 1);
        s->unit = zksim_find_unit(s->unit_path.c_str());
        if (!s->unit) {
            std::fprintf(stderr, "zktcmu: no unit '%s' in %s\n", s->unit_path.c_str(),
                         config.c_str());
            return kExitSetup;
        }
        std::string error, uio;
        if (s->name.rfind('/', 0) == 0) {
            s->dev_path = s->name;
            uio = s->name.substr(s->name.rfind('/') + 1);
        } else {
            uio = zktcmu::find_uio_for_tcmu(sysfs, s->name, &error);
            if (uio.empty()) {
                std::fprintf(stderr, "zktcmu: %s\n", error.c_str());
                return kExitSetup;
            }
            s->dev_path = dev + "/" + uio;
        }
        size_t size = zktcmu::uio_map_size(sysfs, uio, &error);
        if (size == 0 || !s->device.open(s->dev_path, size, &error)) {
            std::fprintf(stderr, "zktcmu: %s\n", error.c_str());
            return kExitSetup;
        }
        s->ring = std::make_unique<zktcmu::Ring>(s->device.base(), s->device.size());
        std::string problem = s->ring->check();
        if (!problem.empty()) {
            std::fprintf(stderr, "zktcmu: %s: %s\n", s->dev_path.c_str(), problem.c_str());
            return kExitSetup;
        }
        if (verbose)
            std::fprintf(stderr, "zktcmu: %s: %s serves %s (%zu bytes mapped)\n",
                         s->name.c_str(), s->dev_path.c_str(), s->unit_path.c_str(), size);
        served.push_back(std::move(s));
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    Control control;
    if (!control_path.empty() && !control.open(control_path)) {
        std::fprintf(stderr, "zktcmu: %s: %s\n", control_path.c_str(), std::strerror(errno));
        return kExitSetup;
    }
    /* Commands queued before the devices were opened wait in the rings. */
    for (auto &s : served)
        if (!serve(*s, verbose))
            return kExitRing;
    if (!ready.empty() && !write_ready_file(ready)) {
        std::fprintf(stderr, "zktcmu: %s: %s\n", ready.c_str(), std::strerror(errno));
        return kExitSetup;
    }

    std::vector<pollfd> fds(served.size());
    for (size_t i = 0; i < served.size(); ++i)
        fds[i] = {served[i]->device.fd(), POLLIN, 0};
    if (control.fd() >= 0)
        fds.push_back({control.fd(), POLLIN, 0});
    while (!g_stop) {
        int n = poll(fds.data(), fds.size(), kPollIntervalMs);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "zktcmu: poll: %s\n", std::strerror(errno));
            return kExitRing;
        }
        for (size_t i = 0; i < served.size(); ++i) {
            if (n > 0 && (fds[i].revents & POLLIN))
                served[i]->device.take_event();
            /* Walking an idle ring costs two loads; doing it on every wake
             * also covers an event consumed before its entry was visible. */
            if (!serve(*served[i], verbose))
                return kExitRing;
        }
        if (control.fd() >= 0 && n > 0 && (fds.back().revents & POLLIN))
            control.take(served);
    }
    for (auto &s : served)
        std::fprintf(stderr, "zktcmu: %s: %zu commands answered\n", s->name.c_str(),
                     s->commands);
    return kExitOk;
}
