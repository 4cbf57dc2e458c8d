// The simulator's shared state: the current configuration, the records and
// the one-time load of ZKSIM_CONFIG. Every exported function catches all
// exceptions: nothing may unwind through a C caller.
#include "zksim_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

namespace zksim {
namespace {

struct OpenRecord {
    UnitPtr unit;
    int flags;
};

struct CommandRecord {
    UnitPtr unit;
    std::uint8_t cdb[16];
    std::uint8_t cdb_len;
    unsigned dxfer_len;
    int direction;
};

constexpr std::size_t kDefaultRecordLimit = 1u << 20;

struct State {
    std::mutex config_mutex;
    std::shared_ptr<const Config> config = std::make_shared<Config>();
    std::atomic<bool> have_units{false};

    std::mutex record_mutex;
    std::deque<OpenRecord> opens;
    std::deque<CommandRecord> commands;
    std::size_t record_limit = kDefaultRecordLimit;
    std::size_t dropped = 0;
    std::atomic<bool> recording{true};

    std::once_flag environment_once;
};

// Never destroyed: descriptors may still be closed by other libraries'
// destructors after ours have run.
State &state() {
    static State *s = new State;
    return *s;
}

thread_local bool loading_environment = false;

void install(std::shared_ptr<const Config> config) {
    State &s = state();
    bool any = !config->units.empty();
    std::shared_ptr<const Config> old;
    {
        std::lock_guard<std::mutex> lock(s.config_mutex);
        old = std::move(s.config);
        s.config = std::move(config);
        s.have_units.store(any);
    }
    std::deque<OpenRecord> old_opens;
    std::deque<CommandRecord> old_commands;
    {
        std::lock_guard<std::mutex> lock(s.record_mutex);
        old_opens.swap(s.opens);
        old_commands.swap(s.commands);
        s.dropped = 0;
        s.recording.store(true);
    }
    // The old configuration and records are released here, outside the locks.
}

std::shared_ptr<const Config> current() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.config_mutex);
    return s.config;
}

void copy_path(char (&out)[256], const std::string &path) {
    std::size_t n = std::min(path.size(), sizeof out - 1);
    std::memcpy(out, path.data(), n);
    out[n] = '\0';
}

void set_error(char *err, std::size_t err_size, const std::string &message) {
    if (!err || err_size == 0) return;
    std::snprintf(err, err_size, "%s", message.c_str());
}

int load_text(const char *text, std::size_t length, char *err, std::size_t err_size) {
    auto config = std::make_shared<Config>();
    std::string error;
    if (!parse_description(std::string_view(text, length), *config, error)) {
        set_error(err, err_size, error);
        return -1;
    }
    install(std::move(config));
    if (err && err_size) err[0] = '\0';
    return 0;
}

// Largest description the simulator reads (as zkdiscover's limit).
constexpr std::size_t kMaxDescriptionBytes = 64u << 20;

// Reads a whole description. The file is opened with the system call
// itself, which never reaches the interposed open(), and without blocking;
// only a regular file within the limit is read, so a FIFO, /dev/zero or a
// disk named by mistake neither hangs the program nor fills its memory.
bool read_file(const char *path, std::string &out, std::string &error) {
    int fd = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd < 0) {
        error = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = false;
    if (fstat(fd, &st) != 0) {
        error = std::string(path) + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = std::string(path) + ": not a regular file";
    } else if (static_cast<unsigned long long>(st.st_size) > kMaxDescriptionBytes) {
        error = std::string(path) + ": larger than 64 MiB";
    } else {
        ok = true;
        char buffer[65536];
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = std::string(path) + ": " + std::strerror(errno);
                ok = false;
                break;
            }
            if (n == 0) break;
            if (out.size() + static_cast<std::size_t>(n) > kMaxDescriptionBytes) {
                error = std::string(path) + ": larger than 64 MiB";
                ok = false;
                break;
            }
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return ok;
}

int load_file(const char *path, char *err, std::size_t err_size) {
    std::string text, error;
    if (!read_file(path, text, error)) {
        set_error(err, err_size, error);
        return -1;
    }
    return load_text(text.data(), text.size(), err, err_size);
}

void load_environment() {
    const char *path = std::getenv("ZKSIM_CONFIG");
    if (!path || !*path) return;
    loading_environment = true;
    char err[512];
    int rc;
    try {
        rc = load_file(path, err, sizeof err);
    } catch (...) {
        std::snprintf(err, sizeof err, "out of memory");
        rc = -1;
    }
    if (rc != 0) std::fprintf(stderr, "zksim: ZKSIM_CONFIG=%s: %s\n", path, err);
    loading_environment = false;
}

}  // namespace

void ensure_environment_loaded() {
    if (loading_environment) return;
    std::call_once(state().environment_once, load_environment);
}

UnitPtr find_unit(std::string_view path) {
    ensure_environment_loaded();
    if (!state().have_units.load(std::memory_order_relaxed)) return nullptr;
    auto config = current();
    auto it = config->by_path.find(path);
    return it == config->by_path.end() ? nullptr : config->units[it->second];
}

bool have_units() {
    ensure_environment_loaded();
    return state().have_units.load(std::memory_order_relaxed);
}

void record_open(const UnitPtr &unit, int flags) noexcept {
    State &s = state();
    if (!s.recording.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(s.record_mutex);
    if (s.opens.size() >= s.record_limit) {
        ++s.dropped;
        return;
    }
    try {
        s.opens.push_back(OpenRecord{unit, flags});
    } catch (...) {
        ++s.dropped;
    }
}

void record_command(const UnitPtr &unit, const std::uint8_t *cdb, unsigned cdb_len,
                    unsigned dxfer_len, int direction) noexcept {
    State &s = state();
    if (!s.recording.load(std::memory_order_relaxed)) return;
    CommandRecord r{unit, {}, static_cast<std::uint8_t>(std::min(cdb_len, 16u)), dxfer_len, direction};
    if (cdb) std::memcpy(r.cdb, cdb, r.cdb_len);
    std::lock_guard<std::mutex> lock(s.record_mutex);
    if (s.commands.size() >= s.record_limit) {
        ++s.dropped;
        return;
    }
    try {
        s.commands.push_back(std::move(r));
    } catch (...) {
        ++s.dropped;
    }
}

}  // namespace zksim

using namespace zksim;

extern "C" {

int zksim_load_text(const char *text, char *err, size_t err_size) {
    try {
        ensure_environment_loaded();
        return load_text(text, std::strlen(text), err, err_size);
    } catch (...) {
        set_error(err, err_size, "line 0: out of memory");
        return -1;
    }
}

int zksim_load_file(const char *path, char *err, size_t err_size) {
    try {
        ensure_environment_loaded();
        return load_file(path, err, err_size);
    } catch (...) {
        set_error(err, err_size, "line 0: out of memory");
        return -1;
    }
}

void zksim_reset(void) {
    try {
        ensure_environment_loaded();
        install(std::make_shared<Config>());
    } catch (...) {
    }
}

size_t zksim_unit_count(void) {
    ensure_environment_loaded();
    return current()->units.size();
}

const char *zksim_unit_path(size_t index) {
    ensure_environment_loaded();
    auto config = current();
    return index < config->units.size() ? config->units[index]->def.path.c_str() : nullptr;
}

const struct zksim_unit *zksim_find_unit(const char *path) {
    try {
        return find_unit(path).get();
    } catch (...) {
        return nullptr;
    }
}

size_t zksim_open_count(void) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.record_mutex);
    return s.opens.size();
}

int zksim_open_at(size_t index, struct zksim_open_record *out) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.record_mutex);
    if (index >= s.opens.size() || !out) return -1;
    const OpenRecord &r = s.opens[index];
    copy_path(out->path, r.unit->def.path);
    out->flags = r.flags;
    return 0;
}

size_t zksim_command_count(void) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.record_mutex);
    return s.commands.size();
}

int zksim_command_at(size_t index, struct zksim_command_record *out) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.record_mutex);
    if (index >= s.commands.size() || !out) return -1;
    const CommandRecord &r = s.commands[index];
    copy_path(out->path, r.unit->def.path);
    std::memset(out->cdb, 0, sizeof out->cdb);
    std::memcpy(out->cdb, r.cdb, r.cdb_len);
    out->cdb_len = r.cdb_len;
    out->dxfer_len = r.dxfer_len;
    out->dxfer_direction = r.direction;
    return 0;
}

void zksim_clear_records(void) {
    State &s = state();
    std::deque<OpenRecord> old_opens;
    std::deque<CommandRecord> old_commands;
    std::lock_guard<std::mutex> lock(s.record_mutex);
    old_opens.swap(s.opens);
    old_commands.swap(s.commands);
    s.dropped = 0;
}

void zksim_set_recording(int on) { state().recording.store(on != 0); }

void zksim_set_record_limit(size_t limit) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.record_mutex);
    s.record_limit = limit;
}

size_t zksim_records_dropped(void) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.record_mutex);
    return s.dropped;
}

}  // extern "C"
