// The scan's workers (claims.h): each takes the next device, examines it
// within its deadline and stores its result under the pool's lock. The
// calling thread supervises: it interrupts workers past their device's
// deadline, starts others beside workers that wait, and closes the scan
// when its own deadline passes. What a worker shares with the scan lives in
// the pool, which the workers own too: a worker left blocked in a command
// touches nothing of the caller's when it comes back.
#include "claims.h"
#include "deadline.h"
#include "kernel_view.h"
#include "trace_log.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace zkd {

namespace {

// At most this many workers, those waiting on a device included.
constexpr size_t kMaxWorkers = 512;
// A worker whose device took this long counts as waiting: another starts.
constexpr auto kWaitingAfter = std::chrono::milliseconds(500);
// How often the supervisor looks at the workers.
constexpr auto kTick = std::chrono::milliseconds(50);
// After the scan's deadline: how long interrupted workers get to come back.
constexpr auto kGrace = std::chrono::milliseconds(500);
constexpr size_t kNone = static_cast<size_t>(-1);

std::atomic<bool> g_left_behind{false};

Clock::rep ticks(Clock::time_point t) { return t.time_since_epoch().count(); }

struct Worker {
    std::thread thread;                     // the supervisor's
    pthread_t handle{};                     // the supervisor's
    // Written by the worker in this order for each device, and started
    // cleared when it is done: position, deadline, started.
    std::atomic<size_t> position{kNone};
    std::atomic<Clock::rep> deadline{0};
    std::atomic<Clock::rep> started{0};
    std::atomic<size_t> interrupted{kNone}; // position the supervisor signalled
    std::atomic<bool> finished{false};
};

struct Pool {
    Pool(const HostLibrary &l, const std::vector<size_t> &w, const ScanSettings &s,
         std::vector<DeviceResult> &r)
        : library(l), which(w), settings(s), results(&r), begun(w.size()), taken(w.size())
    {
    }
    const HostLibrary &library;   // loaded until the program ends
    const std::vector<size_t> which;
    const ScanSettings settings;
    std::vector<DeviceResult> *results;   // under mutex, until closed
    std::atomic<size_t> next{0};
    std::atomic<size_t> live{0};
    std::mutex mutex;
    std::condition_variable changed;
    size_t done = 0;              // under mutex
    bool closed = false;          // under mutex
    std::vector<char> begun;      // under mutex: a worker took the device
    std::vector<char> taken;      // under mutex: its result is stored
    Worker workers[kMaxWorkers];
    size_t spawned = 0;           // the supervisor's
};

void not_answering(DeviceResult &r, const std::string &why)
{
    r.outcome = Outcome::NotAnswering;
    r.error_number = ETIMEDOUT;
    r.error = why;
    r.properties = PropertyList();
    r.views = KernelView();
}

// The SCSI host of a device in error recovery: the kernel holds every new
// command to it, and an SG_IO would wait without a way to interrupt it.
bool host_in_recovery(const std::string &sysfs, const std::string &address, std::string &host)
{
    if (sysfs.empty() || address.empty())
        return false;
    host = "host" + address.substr(0, address.find(':'));
    std::ifstream in(sysfs + "/class/scsi_host/" + host + "/state");
    std::string state;
    return (in >> state) && state.find("recovery") != std::string::npos;
}

void examine_within_deadline(Pool &p, Worker &self, size_t k, DeviceResult &result,
                             Clock::time_point deadline)
{
    const ScanSettings &s = p.settings;
    struct stat st;
    begin_device_deadline(deadline, deadline != Clock::time_point::max() &&
                                        stat(result.path.c_str(), &st) == 0 &&
                                        S_ISBLK(st.st_mode));
    if (s.explain)
        take_thread_trace();  // what came before is not this claim's
    std::string host;
    const std::string &sysfs = s.views.read && !s.views.simulated ? s.views.sysfs_root : "";
    if (host_in_recovery(sysfs, result.scsi_address, host)) {
        not_answering(result, "no answer: its SCSI host " + host +
                                  " is in error recovery (nothing sent)");
    } else {
        examine_device(p.library, result, s.capture, &s.views);
    }
    if (s.explain)
        result.trace = split_lines(take_thread_trace());
    bool late = device_deadline_hit() || self.interrupted.load() == k;
    end_device_deadline();
    if (late)
        not_answering(result, "no answer within " + seconds_text(s.device_timeout_ms));
}

void work(std::shared_ptr<Pool> pool, Worker *self)
{
    Pool &p = *pool;
    const size_t n = p.which.size();
    const size_t jobs = static_cast<size_t>(std::max(1, p.settings.jobs));
    const bool timed = p.settings.device_timeout_ms > 0;
    for (;;) {
        size_t k = p.next.fetch_add(1);
        if (k >= n)
            break;
        DeviceResult result;
        {
            std::lock_guard<std::mutex> lock(p.mutex);
            if (p.closed)
                break;
            const DeviceResult &given = (*p.results)[p.which[k]];
            result.path = given.path;
            result.scsi_address = given.scsi_address;
            result.other_node = given.other_node;
            p.begun[k] = 1;
        }
        Clock::time_point start = Clock::now();
        Clock::time_point deadline =
            timed ? start + std::chrono::milliseconds(p.settings.device_timeout_ms)
                  : Clock::time_point::max();
        self->position = k;
        self->deadline = ticks(deadline);
        self->started = ticks(start);
        examine_within_deadline(p, *self, k, result, deadline);
        self->started = 0;
        bool waited = Clock::now() - start >= kWaitingAfter;
        {
            std::lock_guard<std::mutex> lock(p.mutex);
            if (p.closed)
                break;
            (*p.results)[p.which[k]] = std::move(result);
            p.taken[k] = 1;
            ++p.done;
            if (p.settings.on_device_done)
                p.settings.on_device_done();
        }
        p.changed.notify_all();
        // A worker back from a wait leaves when others took its place.
        if (waited && p.live.fetch_sub(1) > jobs) {
            self->finished = true;
            p.changed.notify_all();
            return;
        }
        if (waited)
            p.live.fetch_add(1);
    }
    p.live.fetch_sub(1);
    self->finished = true;
    p.changed.notify_all();
}

void spawn(const std::shared_ptr<Pool> &pool, size_t count)
{
    Pool &p = *pool;
    for (size_t i = 0; i < count && p.spawned < kMaxWorkers; ++i) {
        Worker &w = p.workers[p.spawned];
        p.live.fetch_add(1);
        try {
            w.thread = std::thread(work, pool, &w);
        } catch (const std::system_error &) {
            p.live.fetch_sub(1);   // no more threads: the others go on
            return;
        }
        w.handle = w.thread.native_handle();
        ++p.spawned;
    }
}

// Interrupts the workers past their device's deadline (all busy ones when
// every is true) and counts those not waiting.
size_t look_at_workers(Pool &p, Clock::time_point now, bool every)
{
    size_t answering = 0;
    for (size_t i = 0; i < p.spawned; ++i) {
        Worker &w = p.workers[i];
        if (w.finished)
            continue;
        size_t position = w.position;
        Clock::rep deadline = w.deadline;
        Clock::rep started = w.started;
        if (started == 0 || now - Clock::time_point(Clock::duration(started)) < kWaitingAfter)
            ++answering;
        if (started != 0 && (every || ticks(now) >= deadline) && w.position == position) {
            w.interrupted = position;
            pthread_kill(w.handle, deadline_signal());
        }
    }
    return answering;
}

// The scan's deadline passed: what is outstanding is marked, and the
// workers' results are no longer taken.
void close_scan(Pool &p)
{
    p.closed = true;
    std::string limit = seconds_text(p.settings.scan_timeout_ms);
    for (size_t k = 0; k < p.which.size(); ++k) {
        if (p.taken[k])
            continue;
        DeviceResult &r = (*p.results)[p.which[k]];
        if (p.begun[k]) {
            not_answering(r, "no answer before the scan's deadline of " + limit);
        } else {
            r.outcome = Outcome::Skipped;
            r.error = "not examined: the scan's deadline of " + limit + " passed first";
        }
    }
}

// Joins the workers; those still blocked after the grace are left behind.
void end_workers(Pool &p, bool closed)
{
    if (closed) {
        Clock::time_point until = Clock::now() + kGrace;
        std::unique_lock<std::mutex> lock(p.mutex);
        while (Clock::now() < until) {
            lock.unlock();
            look_at_workers(p, Clock::now(), true);
            lock.lock();
            if (p.live == 0)
                break;
            p.changed.wait_for(lock, kTick);
        }
    }
    for (size_t i = 0; i < p.spawned; ++i) {
        Worker &w = p.workers[i];
        if (!closed || w.finished) {
            w.thread.join();
        } else {
            w.thread.detach();
            g_left_behind = true;
        }
    }
}

}  // namespace

bool scan_left_workers_behind() { return g_left_behind; }

void scan_devices(const HostLibrary &library, std::vector<DeviceResult> &results,
                  const std::vector<size_t> &which, const ScanSettings &settings)
{
    if (which.empty())
        return;
    auto pool = std::make_shared<Pool>(library, which, settings, results);
    Pool &p = *pool;
    if (settings.device_timeout_ms > 0 || settings.scan_timeout_ms > 0)
        deadline_signal();
    Clock::time_point scan_deadline =
        settings.scan_timeout_ms > 0
            ? Clock::now() + std::chrono::milliseconds(settings.scan_timeout_ms)
            : Clock::time_point::max();
    const size_t n = which.size();
    const size_t jobs = static_cast<size_t>(std::max(1, settings.jobs));
    spawn(pool, std::min(jobs, n));

    bool closed = false;
    std::unique_lock<std::mutex> lock(p.mutex);
    while (p.done < n) {
        Clock::time_point now = Clock::now();
        if (now >= scan_deadline) {
            close_scan(p);
            closed = true;
            break;
        }
        p.changed.wait_until(lock, std::min(now + kTick, scan_deadline));
        if (p.done == n)
            break;
        lock.unlock();
        now = Clock::now();
        size_t answering = look_at_workers(p, now, false);
        size_t next = p.next;
        if (answering < jobs && next < n)
            spawn(pool, std::min(jobs - answering, n - next));
        lock.lock();
    }
    lock.unlock();
    end_workers(p, closed);
}

}  // namespace zkd
