// Parsing of unit descriptions, including the compact `array` form.
#include "zksim_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_set>

namespace zksim {

const CommandFault *UnitDef::fault_for(std::uint64_t n) const {
    auto it = command_faults.find(n);
    if (it != command_faults.end()) return &it->second;
    return every_command_fault ? &*every_command_fault : nullptr;
}

namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

struct ParseError {
    std::string reason;
};

[[noreturn]] void fail(std::string reason) { throw ParseError{std::move(reason)}; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits one line into tokens. A '#' at the start of a token begins a
// comment; inside a token or a quoted text it is an ordinary character.
std::vector<Token> tokenize(std::string_view line) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
            ++i;
            continue;
        }
        if (c == '#') break;
        Token t;
        if (c == '"') {
            t.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char q = line[i++];
                if (q == '"') {
                    closed = true;
                    break;
                }
                if (q != '\\') {
                    t.text.push_back(q);
                    continue;
                }
                if (i >= line.size()) fail("unterminated text");
                char e = line[i++];
                if (e == '"' || e == '\\') {
                    t.text.push_back(e);
                } else if (e == 'x') {
                    int hi = i < line.size() ? hex_digit(line[i]) : -1;
                    int lo = i + 1 < line.size() ? hex_digit(line[i + 1]) : -1;
                    if (hi < 0 || lo < 0) fail("bad \\x escape (two hex digits needed)");
                    t.text.push_back(static_cast<char>(hi * 16 + lo));
                    i += 2;
                } else {
                    fail(std::string("unknown escape \\") + e);
                }
            }
            if (!closed) fail("unterminated text");
            if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
                fail("text must be followed by a blank");
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
                   line[i] != '\v' && line[i] != '\f')
                t.text.push_back(line[i++]);
        }
        tokens.push_back(std::move(t));
    }
    return tokens;
}

// Numbers: decimal or 0x-hex, optionally negative when min < 0.
long long parse_number(const Token &t, const char *what, long long min, long long max) {
    const std::string &s = t.text;
    if (t.quoted || s.empty()) fail(std::string("bad number for ") + what);
    bool negative = s[0] == '-';
    std::string digits = negative ? s.substr(1) : s;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty()) fail(std::string("bad number '") + s + "' for " + what);
    for (char c : digits) {
        bool ok = base == 16 ? hex_digit(c) >= 0 : (c >= '0' && c <= '9');
        if (!ok) fail(std::string("bad number '") + s + "' for " + what);
    }
    errno = 0;
    unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, base);
    if (errno == ERANGE || magnitude > static_cast<unsigned long long>(
                                           std::numeric_limits<long long>::max()))
        fail(std::string(what) + " out of range");
    long long value = negative ? -static_cast<long long>(magnitude)
                               : static_cast<long long>(magnitude);
    if (value < min || value > max)
        fail(std::string(what) + " out of range (" + std::to_string(min) + " to " +
             std::to_string(max) + ")");
    return value;
}

// BYTES: a quoted text, hex:HH... (blanks allowed between pairs, running to
// the end of the line), or a single bare word taken as its text.
Bytes parse_bytes(const std::vector<Token> &tokens, std::size_t first, const char *what) {
    if (first >= tokens.size()) fail(std::string("missing value for ") + what);
    const Token &t = tokens[first];
    if (!t.quoted && t.text.rfind("hex:", 0) == 0) {
        std::string digits = t.text.substr(4);
        for (std::size_t k = first + 1; k < tokens.size(); ++k) {
            if (tokens[k].quoted) fail(std::string("bad hex bytes for ") + what);
            digits += tokens[k].text;
        }
        if (digits.size() % 2 != 0) fail(std::string("odd number of hex digits for ") + what);
        Bytes out;
        out.reserve(digits.size() / 2);
        for (std::size_t k = 0; k < digits.size(); k += 2) {
            int hi = hex_digit(digits[k]), lo = hex_digit(digits[k + 1]);
            if (hi < 0 || lo < 0) fail(std::string("bad hex digit in ") + what);
            out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
        return out;
    }
    if (tokens.size() > first + 1) fail(std::string("extra text after ") + what);
    return Bytes(t.text.begin(), t.text.end());
}

std::string parse_text(const std::vector<Token> &tokens, const char *what, std::size_t max_len) {
    Bytes b = parse_bytes(tokens, 1, what);
    if (b.size() > max_len)
        fail(std::string(what) + " is longer than " + std::to_string(max_len) + " bytes");
    return std::string(b.begin(), b.end());
}

struct ErrnoName {
    const char *name;
    int value;
};

constexpr ErrnoName kErrnoNames[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},     {"EINTR", EINTR},   {"EIO", EIO},
    {"ENXIO", ENXIO},   {"E2BIG", E2BIG},       {"EBADF", EBADF},   {"EAGAIN", EAGAIN},
    {"ENOMEM", ENOMEM}, {"EACCES", EACCES},     {"EFAULT", EFAULT}, {"EBUSY", EBUSY},
    {"EEXIST", EEXIST}, {"ENODEV", ENODEV},     {"ENOTDIR", ENOTDIR},
    {"EISDIR", EISDIR}, {"EINVAL", EINVAL},     {"ENFILE", ENFILE}, {"EMFILE", EMFILE},
    {"ENOTTY", ENOTTY}, {"EROFS", EROFS},       {"ENOSYS", ENOSYS}, {"EMSGSIZE", EMSGSIZE},
    {"ENOSPC", ENOSPC}, {"ETIMEDOUT", ETIMEDOUT}, {"ENOMEDIUM", ENOMEDIUM},
    {"EOVERFLOW", EOVERFLOW}, {"EOPNOTSUPP", EOPNOTSUPP}, {"ECONNRESET", ECONNRESET},
    {"EHOSTDOWN", EHOSTDOWN}, {"ENOLINK", ENOLINK}, {"EREMOTEIO", EREMOTEIO},
    {"EWOULDBLOCK", EWOULDBLOCK}, {"ETIME", ETIME},
};

int parse_errno(const std::vector<Token> &tokens, std::size_t at) {
    if (at >= tokens.size()) fail("missing errno");
    const std::string &s = tokens[at].text;
    if (!s.empty() && s[0] == 'E') {
        for (const ErrnoName &e : kErrnoNames)
            if (s == e.name) return e.value;
        fail("unknown errno name '" + s + "'");
    }
    return static_cast<int>(parse_number(tokens[at], "errno", 1, 4095));
}

void expect_count(const std::vector<Token> &tokens, std::size_t n, const char *keyword) {
    if (tokens.size() < n) fail(std::string("missing value for ") + keyword);
    if (tokens.size() > n) fail(std::string("extra text after ") + keyword);
}

std::uint64_t fnv1a(std::string_view s) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

// A binary NAA-6 style identifier as an array of that make reports it:
// the 60 06 01 60 company prefix, six bytes naming the array, the LUN.
Bytes make_lun_id(std::string_view array_name, unsigned lun) {
    std::uint64_t h = fnv1a(array_name);
    Bytes id = {0x60, 0x06, 0x01, 0x60};
    for (int k = 0; k < 6; ++k) id.push_back(static_cast<std::uint8_t>(h >> (8 * k)));
    id.push_back(0x00);
    id.push_back(0x00);
    id.push_back(static_cast<std::uint8_t>(lun >> 8));
    id.push_back(static_cast<std::uint8_t>(lun));
    id.push_back(0xDF);
    id.push_back(0x11);
    return id;
}

UnitDef default_unit(std::string path) {
    UnitDef u;
    u.lun_id = make_lun_id(path, 0);
    u.cab_serial = Bytes{'F', '1', '2', '3', '4', '5', '6', '7'};
    u.path = std::move(path);
    return u;
}

// An SP named A or B (or 0 or 1).
std::uint8_t parse_sp(const std::string &text, const char *what) {
    if (text == "A" || text == "a" || text == "0") return 0;
    if (text == "B" || text == "b" || text == "1") return 1;
    fail(std::string(what) + " takes A or B");
}

// Failover modes 0, 1 (active/passive), 2 and 4 (ALUA).
std::uint8_t parse_failover_mode(const Token &t) {
    long long mode = parse_number(t, "failover_mode", 0, 4);
    if (mode == 3) fail("failover_mode takes 0, 1, 2 or 4");
    return static_cast<std::uint8_t>(mode);
}

// The access states the kernel's sysfs names (access_state).
bool kernel_access_state(const std::string &state) {
    static const char *const kStates[] = {"active/optimized", "active/non-optimized", "standby",
                                          "unavailable", "lba-dependent", "offline",
                                          "transitioning"};
    for (const char *known : kStates)
        if (state == known) return true;
    return false;
}

// kernel HANDLER STATE [preferred] | kernel detached | kernel none
std::optional<KernelViewDef> parse_kernel(const std::vector<Token> &tokens) {
    if (tokens.size() == 2 && tokens[1].text == "none") return std::nullopt;
    if (tokens.size() == 2 && tokens[1].text == "detached") return KernelViewDef{"detached", "", false};
    if (tokens.size() < 3 || tokens.size() > 4)
        fail("kernel takes HANDLER STATE [preferred], detached or none");
    KernelViewDef k{tokens[1].text, tokens[2].text, false};
    if (k.handler.empty() || k.handler.size() > 31 || k.handler.find(' ') != std::string::npos)
        fail("kernel handler must be one word of at most 31 characters");
    if (!kernel_access_state(k.access)) fail("unknown kernel access state '" + k.access + "'");
    if (tokens.size() == 4) {
        if (tokens[3].text != "preferred") fail("kernel: expected 'preferred' after the state");
        k.preferred = true;
    }
    return k;
}

constexpr std::size_t kMaxArrayPaths = 1u << 20;

using PathSet = std::unordered_set<std::string>;

void add_path(PathSet &seen, const std::string &path) {
    if (!seen.insert(path).second) fail("duplicate unit path '" + path + "'");
}

void expand_array(const std::vector<Token> &tokens, std::vector<UnitDef> &units,
                  PathSet &seen) {
    if (tokens.size() < 2) fail("missing array serial");
    const std::string serial = tokens[1].text;
    if (serial.empty()) fail("empty array serial");
    long long model = 4700, luns = 8, paths_per_sp = 1, latency = 0, failover_mode = 1;
    std::optional<std::uint8_t> default_sp;  // none: each LUN's first owner
    std::string kernel;                      // handler of the kernel's view; none
    int kernel_active = -1;                  // its active SP; -1: the first owner
    std::string prefix = "/dev/sim/" + serial + "/path";
    for (std::size_t k = 2; k < tokens.size(); ++k) {
        const std::string &kv = tokens[k].text;
        std::size_t eq = kv.find('=');
        if (tokens[k].quoted || eq == std::string::npos || eq == 0)
            fail("expected key=value, got '" + kv + "'");
        std::string key = kv.substr(0, eq);
        Token value{kv.substr(eq + 1), false};
        if (key == "model") {
            model = parse_number(value, "model", std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::uint32_t>::max());
        } else if (key == "luns") {
            luns = parse_number(value, "luns", 1, 65536);
        } else if (key == "paths_per_sp") {
            paths_per_sp = parse_number(value, "paths_per_sp", 1, 64);
        } else if (key == "latency_us") {
            latency = parse_number(value, "latency_us", 0, 10000000);
        } else if (key == "default_sp") {
            default_sp = parse_sp(value.text, "default_sp");
        } else if (key == "failover_mode") {
            failover_mode = parse_failover_mode(value);
        } else if (key == "kernel") {
            if (value.text.empty() || value.text == "detached" || value.text == "none")
                fail("kernel takes a handler name (emc, ...)");
            kernel = value.text;
            if (kernel.size() > 31) fail("kernel handler longer than 31 characters");
        } else if (key == "kernel_active") {
            kernel_active = value.text == "owner" ? -1 : parse_sp(value.text, "kernel_active");
        } else if (key == "prefix") {
            if (value.text.empty()) fail("empty prefix");
            prefix = value.text;
        } else {
            fail("unknown array key '" + key + "'");
        }
    }
    std::size_t total = static_cast<std::size_t>(luns) * 2 * static_cast<std::size_t>(paths_per_sp);
    if (total > kMaxArrayPaths) fail("array has too many paths");
    units.reserve(units.size() + total);
    std::size_t index = 0;
    for (long long lun = 0; lun < luns; ++lun) {
        Bytes id = make_lun_id(serial, static_cast<unsigned>(lun));
        std::uint8_t owner_sp = static_cast<std::uint8_t>(lun % 2);
        for (std::uint8_t sp = 0; sp < 2; ++sp) {
            for (long long p = 0; p < paths_per_sp; ++p) {
                UnitDef u;
                u.path = prefix + std::to_string(index++);
                add_path(seen, u.path);
                u.cab_serial.assign(serial.begin(), serial.end());
                u.lun_id = id;
                u.vlu = static_cast<std::uint16_t>(lun);
                u.lu = static_cast<std::uint16_t>(lun);
                u.lun = static_cast<std::uint8_t>(lun);
                u.sp = sp;
                u.owner = sp == owner_sp ? 1 : 0;
                u.model = static_cast<std::uint32_t>(model);
                u.latency_us = static_cast<std::uint32_t>(latency);
                u.default_sp = default_sp ? *default_sp : owner_sp;
                u.failover_mode = static_cast<std::uint8_t>(failover_mode);
                // As the kernel's handler sees the paths when they attach:
                // active through one SP, preferred through the default SP.
                if (!kernel.empty()) {
                    int active = kernel_active < 0 ? owner_sp : kernel_active;
                    u.kernel = KernelViewDef{kernel, sp == active ? "active/optimized" : "standby",
                                             sp == *u.default_sp};
                }
                units.push_back(std::move(u));
            }
        }
    }
}

void parse_fault(const std::vector<Token> &tokens, UnitDef &u) {
    if (tokens.size() < 2) fail("missing fault kind");
    const std::string &what = tokens[1].text;
    if (what == "open") {
        expect_count(tokens, 3, "fault open");
        u.open_errno = parse_errno(tokens, 2);
        return;
    }
    if (what != "command") fail("unknown fault '" + what + "' (open or command)");
    if (tokens.size() < 4) fail("fault command needs N and a kind");
    bool every = tokens[2].text == "*" && !tokens[2].quoted;
    std::uint64_t n = 0;
    if (!every)
        n = static_cast<std::uint64_t>(parse_number(
            tokens[2], "command number", 1, std::numeric_limits<long long>::max()));
    const std::string &kind = tokens[3].text;
    CommandFault f;
    if (kind == "errno") {
        expect_count(tokens, 5, "fault command errno");
        f.kind = FaultKind::Errno;
        f.value = parse_errno(tokens, 4);
    } else if (kind == "check") {
        // Optional sense key, ASC and ASCQ; ILLEGAL REQUEST / invalid field
        // in CDB by default.
        if (tokens.size() > 7) fail("extra text after fault command check");
        f.kind = FaultKind::Check;
        f.sense_key = 0x05;
        f.asc = 0x24;
        if (tokens.size() > 4)
            f.sense_key = static_cast<std::uint8_t>(parse_number(tokens[4], "sense key", 0, 15));
        if (tokens.size() > 5)
            f.asc = static_cast<std::uint8_t>(parse_number(tokens[5], "asc", 0, 255));
        if (tokens.size() > 6)
            f.ascq = static_cast<std::uint8_t>(parse_number(tokens[6], "ascq", 0, 255));
    } else if (kind == "host" || kind == "driver") {
        if (tokens.size() > 5) fail("extra text after fault command " + kind);
        bool host = kind == "host";
        f.kind = host ? FaultKind::Host : FaultKind::Driver;
        f.value = host ? 0x07 /* DID_ERROR */ : 0x04 /* DRIVER_ERROR */;
        if (tokens.size() == 5)
            f.value = static_cast<int>(parse_number(tokens[4], host ? "host status" : "driver status",
                                                    1, 0xFF));
    } else if (kind == "short") {
        expect_count(tokens, 5, "fault command short");
        f.kind = FaultKind::Short;
        f.value = static_cast<int>(parse_number(tokens[4], "short count", 0, 1 << 30));
    } else if (kind == "hang") {
        expect_count(tokens, 4, "fault command hang");
        f.kind = FaultKind::Hang;
    } else {
        fail("unknown fault kind '" + kind + "' (errno, check, host, driver, short, hang)");
    }
    if (every) {
        if (u.every_command_fault) fail("fault command * given twice");
        u.every_command_fault = f;
    } else if (!u.command_faults.emplace(n, f).second) {
        fail("fault for command " + std::to_string(n) + " given twice");
    }
}

bool parse_switch(const std::vector<Token> &tokens, const char *what) {
    expect_count(tokens, 2, what);
    if (tokens[1].text == "on") return true;
    if (tokens[1].text == "off") return false;
    fail(std::string(what) + " takes on or off");
}

template <typename T>
T number_arg(const std::vector<Token> &tokens, const char *what, long long min, long long max) {
    expect_count(tokens, 2, what);
    return static_cast<T>(parse_number(tokens[1], what, min, max));
}

void parse_unit_key(const std::vector<Token> &tokens, UnitDef &u) {
    const std::string &key = tokens[0].text;
    const char *k = key.c_str();
    if (key == "vendor") {
        u.vendor = parse_text(tokens, k, 8);
    } else if (key == "product") {
        u.product = parse_text(tokens, k, 16);
    } else if (key == "revision") {
        u.revision = parse_text(tokens, k, 4);
    } else if (key == "version") {
        u.version = number_arg<std::uint8_t>(tokens, k, 0, 255);
    } else if (key == "device_type") {
        u.device_type = number_arg<std::uint8_t>(tokens, k, 0, 31);
    } else if (key == "tpgs") {
        u.tpgs = number_arg<std::uint8_t>(tokens, k, 0, 3);
    } else if (key == "cab_serial") {
        u.cab_serial = parse_bytes(tokens, 1, k);
        if (u.cab_serial.size() > 0xFFFB) fail("cab_serial too long");
    } else if (key == "lun_id") {
        Bytes id = parse_bytes(tokens, 1, k);
        if (id.size() != 16) fail("lun_id must be 16 bytes, got " + std::to_string(id.size()));
        u.lun_id = std::move(id);
    } else if (key == "vlu") {
        u.vlu = number_arg<std::uint16_t>(tokens, k, 0, 0xFFFF);
    } else if (key == "lu") {
        u.lu = number_arg<std::uint16_t>(tokens, k, 0, 0xFFFF);
    } else if (key == "sp") {
        u.sp = number_arg<std::uint8_t>(tokens, k, 0, 255);
    } else if (key == "model") {
        u.model = number_arg<std::uint32_t>(tokens, k, std::numeric_limits<std::int32_t>::min(),
                                            std::numeric_limits<std::uint32_t>::max());
    } else if (key == "lun") {
        u.lun = number_arg<std::uint8_t>(tokens, k, 0, 255);
    } else if (key == "unit_flags") {
        u.unit_flags = number_arg<std::uint8_t>(tokens, k, 0, 255);
    } else if (key == "auto_trespass") {
        if (parse_switch(tokens, k))
            u.unit_flags |= 0x08;
        else
            u.unit_flags &= static_cast<std::uint8_t>(~0x08);
    } else if (key == "owner") {
        u.owner = number_arg<std::uint8_t>(tokens, k, 0, 255);
    } else if (key == "default_sp") {
        expect_count(tokens, 2, k);
        u.default_sp = parse_sp(tokens[1].text, k);
    } else if (key == "failover_mode") {
        expect_count(tokens, 2, k);
        u.failover_mode = parse_failover_mode(tokens[1]);
    } else if (key == "port") {
        u.port = number_arg<std::uint8_t>(tokens, k, 0, 255);
    } else if (key == "bound") {
        u.bound = parse_switch(tokens, k);
    } else if (key == "in_progress") {
        u.in_progress = parse_switch(tokens, k);
    } else if (key == "implicit_trespass") {
        u.implicit_trespass = number_arg<std::uint32_t>(tokens, k, 0, 1u << 30);
    } else if (key == "inquiry_length") {
        u.inquiry_length = number_arg<std::uint8_t>(tokens, k, 36, 255);
    } else if (key == "blocks") {
        u.blocks = number_arg<std::uint64_t>(tokens, k, 1, std::numeric_limits<long long>::max());
    } else if (key == "block_size") {
        u.block_size = number_arg<std::uint32_t>(tokens, k, 1, 1 << 24);
    } else if (key == "inquiry") {
        u.inquiry_raw = parse_bytes(tokens, 1, k);
    } else if (key == "vpd" || key == "mode") {
        if (tokens.size() < 3) fail(key + " needs a page and bytes");
        long long page = parse_number(tokens[1], "page", 0, key == "vpd" ? 0xFF : 0x3F);
        auto &table = key == "vpd" ? u.vpd_raw : u.mode_raw;
        table[static_cast<std::uint8_t>(page)] = parse_bytes(tokens, 2, k);
    } else if (key == "latency_us") {
        u.latency_us = number_arg<std::uint32_t>(tokens, k, 0, 10000000);
    } else if (key == "fault") {
        parse_fault(tokens, u);
    } else if (key == "kernel") {
        u.kernel = parse_kernel(tokens);
    } else {
        fail("unknown keyword '" + key + "'");
    }
}

// One record per LUN for the paths sharing a cabinet serial and LUN
// identifier. It starts owned by the SP of the first path described with a
// nonzero owner (none: no SP owns it) and defaults to the first default_sp
// given, else to that owner, else SP A.
std::vector<std::shared_ptr<LunState>> share_lun_states(const std::vector<UnitDef> &units) {
    std::unordered_map<std::string, std::shared_ptr<LunState>> by_lun;
    std::unordered_map<const LunState *, bool> default_given;
    std::vector<std::shared_ptr<LunState>> out;
    out.reserve(units.size());
    for (const UnitDef &u : units) {
        std::string key(u.cab_serial.begin(), u.cab_serial.end());
        key.push_back('\0');
        key.append(u.lun_id.begin(), u.lun_id.end());
        std::shared_ptr<LunState> &lun = by_lun[key];
        if (!lun) lun = std::make_shared<LunState>();
        bool &given = default_given[lun.get()];
        if (u.owner != 0 && lun->owner_sp.load() == LunState::kNoOwner) {
            lun->owner_sp.store(u.sp);
            if (!given) lun->default_sp = u.sp;
        }
        if (u.default_sp && !given) {
            lun->default_sp = *u.default_sp;
            given = true;
        }
        if (u.in_progress) lun->in_progress.store(true);
        out.push_back(lun);
    }
    return out;
}

}  // namespace

bool parse_description(std::string_view text, Config &out, std::string &error) {
    std::vector<UnitDef> units;
    std::size_t line_no = 0;
    // Keys apply to the unit opened by the latest `unit` line; after an
    // `array` line there is none until the next `unit`.
    bool in_unit = false;
    // A capture (first statement `capture`) must end with `end`: without it
    // the file was cut short, and replaying the rest would invent units
    // from the defaults.
    bool capture = false, ended = false, first = true;
    PathSet seen;
    try {
        std::size_t pos = 0;
        while (pos <= text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            ++line_no;
            std::vector<Token> tokens = tokenize(line);
            if (tokens.empty()) continue;
            const std::string &keyword = tokens[0].text;
            if (tokens[0].quoted) fail("a line must start with a keyword");
            if (ended) fail("text after the end line");
            bool was_first = first;
            first = false;
            if (keyword == "capture") {
                if (!was_first) fail("capture must be the first statement");
                expect_count(tokens, 1, "capture");
                capture = true;
            } else if (keyword == "end") {
                expect_count(tokens, 1, "end");
                ended = true;
                in_unit = false;
            } else if (keyword == "unit") {
                expect_count(tokens, 2, "unit");
                if (tokens[1].text.empty()) fail("empty unit path");
                add_path(seen, tokens[1].text);
                units.push_back(default_unit(tokens[1].text));
                in_unit = true;
            } else if (keyword == "array") {
                expand_array(tokens, units, seen);
                in_unit = false;
            } else if (!in_unit) {
                fail("'" + keyword + "' before any unit line");
            } else {
                parse_unit_key(tokens, units.back());
            }
        }
        if (capture && !ended) fail("the capture has no end line: the file is incomplete");
        // A capture holds the unit path report (VPD 0xC0) of the paths it
        // was read from; one made before it was read holds none, and the
        // model must not invent one for it.
        if (capture)
            for (UnitDef &u : units) u.vpd_raw.emplace(0xC0, Bytes{});
        std::vector<std::shared_ptr<LunState>> luns = share_lun_states(units);
        Config config;
        config.units.reserve(units.size());
        config.by_path.reserve(units.size());
        for (std::size_t k = 0; k < units.size(); ++k) {
            auto unit = std::make_shared<const zksim_unit>(std::move(units[k]), std::move(luns[k]));
            config.by_path.emplace(unit->def.path, config.units.size());
            config.units.push_back(std::move(unit));
        }
        out = std::move(config);
        return true;
    } catch (const ParseError &e) {
        error = "line " + std::to_string(line_no) + ": " + e.reason;
    } catch (const std::exception &e) {
        error = "line " + std::to_string(line_no) + ": " + e.what();
    }
    return false;
}

}  // namespace zksim
