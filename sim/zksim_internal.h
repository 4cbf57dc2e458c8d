/*
 * Internal interfaces of the simulator, shared by the model sources and the
 * interposer. Not for users of the simulator: they include zksim.h.
 */
#ifndef ZKSIM_INTERNAL_H
#define ZKSIM_INTERNAL_H

#include "zksim.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zksim {

using Bytes = std::vector<std::uint8_t>;

// The kernel's view of a path as its sysfs attributes show it (dh_state,
// access_state, preferred_path): what the host's device handler believes,
// which need not be what the array says.
struct KernelViewDef {
    std::string handler;    // "emc", ...; "detached": no handler any more
    std::string access;     // "active/optimized", ...; "" with "detached"
    bool preferred = false;
};

enum class FaultKind { Errno, Check, Host, Driver, Short, Hang };

// What happens to a faulted command. value is the errno (Errno), the
// host_status (Host), the driver_status (Driver) or the byte count (Short);
// a Hang is never answered (zksim_interpose.cpp).
struct CommandFault {
    FaultKind kind = FaultKind::Errno;
    int value = 0;
    std::uint8_t sense_key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
};

// Everything a description says about one unit. Copyable, so the array form
// can stamp units out of a template.
struct UnitDef {
    std::string path;
    std::string vendor{"DGC"};
    std::string product{"RAID 5"};
    std::string revision{"0219"};
    std::uint8_t device_type = 0;
    std::uint8_t version = 4;
    std::optional<std::uint8_t> tpgs;        // none: 3 in failover mode 4, else 0
    Bytes cab_serial;
    Bytes lun_id;
    std::uint16_t vlu = 0;
    std::uint16_t lu = 0;
    std::uint8_t sp = 0;
    std::uint32_t model = 4700;
    std::uint8_t lun = 0;
    std::uint8_t unit_flags = 0x08;
    std::uint8_t owner = 1;
    std::optional<std::uint8_t> default_sp;  // the LUN's default SP (VPD 0xC0)
    std::uint8_t failover_mode = 1;          // VPD 0xC0 byte 28, low nibble
    std::uint8_t port = 0;                   // VPD 0xC0 byte 7
    bool bound = true;                       // VPD 0xC0 byte 4: 0 when unbound
    bool in_progress = false;                // VPD 0xC0 byte 48 at load
    std::uint32_t implicit_trespass = 64;    // mode 4: media commands through the
                                             // other SP that move the LUN (0: never)
    std::uint8_t inquiry_length = 96;        // standard INQUIRY bytes
    std::uint64_t blocks = 2097152;
    std::uint32_t block_size = 512;
    std::optional<Bytes> inquiry_raw;
    std::map<std::uint8_t, Bytes> vpd_raw;
    std::map<std::uint8_t, Bytes> mode_raw;
    std::uint32_t latency_us = 0;
    int open_errno = 0;
    std::map<std::uint64_t, CommandFault> command_faults;
    std::optional<CommandFault> every_command_fault;
    std::optional<KernelViewDef> kernel;     // none: the kernel has no view

    // The fault for the nth command (1-based), if any. A numbered fault
    // takes precedence over the '*' one.
    const CommandFault *fault_for(std::uint64_t n) const;
};

}  // namespace zksim

namespace zksim {

// What the array keeps per LUN, shared by every path of it (same cabinet
// serial and LUN identifier): the owning SP and the "operation in
// progress" switch. Changed at run time by trespasses, from any thread.
struct LunState {
    static constexpr int kNoOwner = -1;
    std::atomic<int> owner_sp{kNoOwner};
    std::atomic<bool> in_progress{false};
    std::uint8_t default_sp = 0;
    // Failover mode 4: reads and writes through an SP not owning the LUN
    // less those through its owner, since the last move.
    std::atomic<std::uint32_t> foreign_io{0};

    void move_to(int sp) {
        owner_sp.store(sp);
        foreign_io.store(0);
    }
};

}  // namespace zksim

// The unit as the model and the interposer see it: the description plus its
// run-time state, the number of commands it has received and its LUN's
// shared record.
struct zksim_unit {
    zksim_unit(zksim::UnitDef s, std::shared_ptr<zksim::LunState> l)
        : def(std::move(s)), lun(std::move(l)) {}
    zksim::UnitDef def;
    std::shared_ptr<zksim::LunState> lun;
    mutable std::atomic<std::uint64_t> commands{0};

    bool owns() const { return lun->owner_sp.load() == def.sp; }
    bool alua() const { return def.failover_mode == 4; }
    // INQUIRY's target port group support: 3 (implicit and explicit) in
    // failover mode 4 unless described.
    std::uint8_t tpgs() const { return def.tpgs.value_or(alua() ? 3 : 0); }
    // Another SP owns the LUN: reads and writes here are refused.
    bool passive() const {
        int owner = lun->owner_sp.load();
        return owner != zksim::LunState::kNoOwner && owner != def.sp;
    }
};

namespace zksim {

using UnitPtr = std::shared_ptr<const zksim_unit>;

struct Config {
    std::vector<UnitPtr> units;
    // Keys view the paths held by the units.
    std::unordered_map<std::string_view, std::size_t> by_path;
};

// Parses a description. Returns true and fills out, or false with
// "line N: reason" in error.
bool parse_description(std::string_view text, Config &out, std::string &error);

// Loads ZKSIM_CONFIG once, on the first call of any simulator function;
// an explicit load or reset before that wins over it.
void ensure_environment_loaded();

// The unit reached through path in the current configuration, or null.
UnitPtr find_unit(std::string_view path);
// True while the current configuration has at least one unit.
bool have_units();

// Records: no-ops while recording is off; a record that does not fit (the
// list is full, or memory ran out) is counted as dropped.
void record_open(const UnitPtr &unit, int flags) noexcept;
void record_command(const UnitPtr &unit, const std::uint8_t *cdb,
                    unsigned cdb_len, unsigned dxfer_len, int direction) noexcept;

}  // namespace zksim

#endif /* ZKSIM_INTERNAL_H */
