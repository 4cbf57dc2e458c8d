// claim_device against one scripted device: the host's INQUIRY data, the
// path, the four pages (each pass of each command may differ), open and
// command faults, a failing allocation and the trace log's presence all come
// from the input. The oracle works the claim out from the answers alone and
// checks the result, the six pairs, that nothing is stored unless the result
// is 0, the commands sent, and that no block or descriptor is left behind.
#include "fuzz_support.h"
#include "zkDGCclariion.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>

namespace {

using namespace zkfuzz;

constexpr char kTraceLogPath[] = "/tmp/.ZEVIRO00.log";
constexpr unsigned kInquiryProbe = 36;
constexpr unsigned kModeSenseProbe = 4;
constexpr int kRefusedModels[] = {5200, 5400, 5600, 5603, 7305, 7310, 7317,
                                  7340, 7197, 7345, 7350, 7355, 7427, 7624};

struct PageLayout {
    unsigned opcode;
    unsigned page;
    size_t length_byte;  // the byte that announces the response's length
};
constexpr PageLayout kPages[] = {
    {kModeSenseOpcode, 0x26, 0}, {kModeSenseOpcode, 0x2B, 0},
    {kInquiryOpcode, 0x83, 3},   {kInquiryOpcode, 0x80, 3}};
constexpr int kCommandsPerClaim = 8;

struct Case {
    bool trace_log = false;
    unsigned fail_at = 0;
    bool keep_failing = false;
    device_entry entry = {};
    Bytes inquiry;
    Device device;
};

Case read_case(Input &in)
{
    Case c;
    unsigned flags = in.byte();
    c.trace_log = flags & 1;
    c.keep_failing = flags & 2;
    unsigned fail = in.byte();
    c.fail_at = fail >= 0xE0 ? fail - 0xDF : 0;

    // A length of 128 or more fills the whole field with no terminator.
    unsigned path_length = in.byte();
    Bytes path = in.bytes(path_length < sizeof c.entry.path ? path_length
                                                             : sizeof c.entry.path);
    std::copy(path.begin(), path.end(), c.entry.path);
    if (strncmp(c.entry.path, kTraceLogPath, sizeof c.entry.path) == 0)
        c.entry.path[1] ^= 1;  // the device must not be the trace log
    c.device.path.assign(c.entry.path, strnlen(c.entry.path, sizeof c.entry.path));

    c.inquiry = in.bytes(36);
    c.device.read_open_faults(in, 4);
    for (int i = 0; i < kCommandsPerClaim; ++i)
        c.device.faults[i] = read_fault(in);
    for (const PageLayout &layout : kPages) {
        Answer answer;
        answer.opcode = layout.opcode;
        answer.page = static_cast<int>(layout.page);
        answer.pass[0] = answer.pass[1] = in.counted();
        unsigned change = in.byte();
        unsigned value = in.byte();
        // The length byte differs between the two passes of the command.
        Bytes &changed = answer.pass[(change >> 1) & 1];
        if ((change & 1) && changed.size() > layout.length_byte)
            changed[layout.length_byte] = static_cast<unsigned char>(value);
        c.device.answers.push_back(answer);
    }
    return c;
}

// ---- What the claim must give, from the answers alone --------------------

bool printable(unsigned char b) { return b >= 0x20 && b < 0x7F; }
bool white(unsigned char b) { return b == ' ' || (b >= '\t' && b <= '\r'); }

// Identifier bytes as text: themselves when printable (or all but one zero
// byte at the end), else two upper-case hex digits each; nothing when the
// text needs capacity bytes or more.
std::optional<std::string> identifier_text(const unsigned char *bytes, size_t count,
                                           size_t capacity)
{
    if (count >= capacity)
        return std::nullopt;
    size_t n = 0;
    while (n < count && printable(bytes[n]))
        ++n;
    if (n == count || (n + 1 == count && bytes[n] == 0))
        return std::string(reinterpret_cast<const char *>(bytes), n);
    if (2 * count >= capacity)
        return std::nullopt;
    std::string hex;
    for (size_t i = 0; i < count; ++i) {
        hex += "0123456789ABCDEF"[bytes[i] >> 4];
        hex += "0123456789ABCDEF"[bytes[i] & 15];
    }
    return hex;
}

// A blank-padded field up to its first white space, at most max bytes, read
// as a C text.
std::string field_text(const unsigned char *bytes, size_t max)
{
    std::string out;
    for (size_t i = 0; i < max && !white(bytes[i]) && bytes[i] != 0; ++i)
        out += static_cast<char>(bytes[i]);
    return out;
}

struct Expected {
    int result = 0;
    std::vector<std::string> pairs;
    int opens = 0;
    int commands = 0;
    std::vector<int> open_flags;
    std::vector<std::vector<unsigned char>> cdbs;
};

class Reference {
public:
    explicit Reference(const Device &device) : device_(device) {}

    Expected claim(const device_entry &entry, const unsigned char *inq)
    {
        e_.result = decide(entry, inq);
        return e_;
    }

private:
    // The two passes of one command, as the library must send them.
    std::optional<Bytes> fetch(unsigned opcode, unsigned page)
    {
        bool inquiry = opcode == kInquiryOpcode;
        int n = e_.opens++;
        e_.open_flags.push_back((inquiry ? (O_RDONLY | O_NDELAY) : O_RDONLY) | O_CLOEXEC);
        if (n < kMaxOpens && device_.open_fails[n])
            return std::nullopt;
        unsigned cdb1 = inquiry ? 0x01 : 0x08;
        auto expect_cdb = [&](unsigned length) {
            e_.cdbs.push_back({static_cast<unsigned char>(opcode),
                               static_cast<unsigned char>(cdb1),
                               static_cast<unsigned char>(page), 0,
                               static_cast<unsigned char>(length), 0});
        };
        unsigned probe_length = inquiry ? kInquiryProbe : kModeSenseProbe;
        expect_cdb(probe_length);
        Exchange probe = device_.predict(++e_.commands, opcode, page, 0, probe_length);
        if (!probe.ok)
            return std::nullopt;
        unsigned length = inquiry ? probe.data[3] + 4u : probe.data[0] + 1u;
        if (length > kMaxAllocation)
            length = kMaxAllocation;
        expect_cdb(length);
        Exchange full = device_.predict(++e_.commands, opcode, page, 1, length);
        if (!full.ok)
            return std::nullopt;
        return full.data;
    }

    int decide(const device_entry &entry, const unsigned char *inq)
    {
        bool dgc = memcmp(inq + 8, "DGC", 3) == 0 && (inq[11] == 0 || white(inq[11]));
        if (!dgc)
            return ZK_NOT_CLAIMED;
        if (memchr(entry.path, 0, sizeof entry.path) == nullptr)
            return ZK_CLAIM_FAILED;

        std::optional<Bytes> sp = fetch(kModeSenseOpcode, 0x26);
        if (!sp || sp->size() < 12)
            return ZK_CLAIM_FAILED;
        unsigned sp_number = (*sp)[7];
        int model = static_cast<int>(uint32_t((*sp)[8]) << 24 | uint32_t((*sp)[9]) << 16 |
                                     uint32_t((*sp)[10]) << 8 | (*sp)[11]);
        for (int refused : kRefusedModels)
            if (model == refused)
                return ZK_NOT_CLAIMED;

        std::optional<Bytes> unit = fetch(kModeSenseOpcode, 0x2B);
        if (!unit || unit->size() < 15)
            return ZK_CLAIM_FAILED;
        if (((*unit)[8] & 0x08) == 0)
            return ZK_NOT_CLAIMED;
        std::string owner = (*unit)[14] != 0 ? "Y" : "N";

        std::optional<Bytes> id = fetch(kInquiryOpcode, 0x83);
        if (!id || id->size() < 24)
            return ZK_CLAIM_FAILED;
        std::string lun_serial = *identifier_text(id->data() + 8, 16, 33);

        std::optional<Bytes> sn = fetch(kInquiryOpcode, 0x80);
        if (!sn)
            return ZK_CLAIM_FAILED;
        size_t page_length = (*sn)[3];
        if (page_length > sn->size() - 4)
            return ZK_CLAIM_FAILED;
        std::optional<std::string> cab = identifier_text(sn->data() + 4, page_length, 33);
        if (!cab)
            return ZK_CLAIM_FAILED;

        std::string port = cab->substr(0, std::min(cab->find_first_of(" \t\n\v\f\r"), cab->size()));
        char letter = static_cast<char>(('A' + sp_number) & 0xFF);
        if (letter != 0)
            port += letter;
        std::string scsi(1, static_cast<char>('0' + (inq[2] & 7)));
        e_.pairs = {"CAB_SERIAL_NO=" + *cab, "LUN_SERIAL_NO=" + lun_serial,
                    "REVISION=" + field_text(inq + 32, 4), "SCSI_VERSION=" + scsi,
                    "LUN_OWNER=" + owner, "PORT_SERIAL_NO=" + port};
        return ZK_CLAIMED;
    }

    const Device &device_;
    Expected e_;
};

std::string read_file(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int g_baseline_descriptor = -1;

// Every input starts from the same state: no trace log, the library's log
// descriptor closed, no device, no allocation armed. (The target runs with
// a private /tmp: no other process adds to or removes its log.)
void start_afresh()
{
    alloc_disarm();
    install_device(nullptr);
    CloseDbgTempFile();
    unlink(kTraceLogPath);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silence_stdout();  // do_inquiry reports a failed buffer allocation there
    start_afresh();
    g_baseline_descriptor = lowest_free_descriptor();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    start_afresh();
    Input in(data, size);
    Case c = read_case(in);
    unsigned char *inquiry = heap_copy(c.inquiry);
    c.entry.inquiry = inquiry;
    if (c.trace_log) {
        int fd = open(kTraceLogPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        close(fd);
    }

    Expected e = Reference(c.device).claim(c.entry, inquiry);
    char **const kUntouched = reinterpret_cast<char **>(&c);
    char **list = kUntouched;
    install_device(&c.device);
    alloc_arm(c.fail_at, c.keep_failing);
    int result = claim_device(&c.entry, &list);
    alloc_disarm();
    install_device(nullptr);
    bool injected = alloc_failure_injected();

    const Device &d = c.device;
    ZKFUZZ_EXPECT(d.protocol_error == nullptr, "%s", d.protocol_error);
    ZKFUZZ_EXPECT(d.opened == d.closes, "%d opened, %d closed", d.opened, d.closes);
    if (injected) {
        ZKFUZZ_EXPECT(result == ZK_CLAIM_FAILED, "result %d with allocation %u failed",
                      result, c.fail_at);
    } else {
        ZKFUZZ_EXPECT(result == e.result, "result %d, expected %d", result, e.result);
        ZKFUZZ_EXPECT(d.opens == e.opens && d.commands == e.commands,
                      "%d opens and %d commands, expected %d and %d", d.opens,
                      d.commands, e.opens, e.commands);
        for (int i = 0; i < d.opens && i < kMaxOpens; ++i)
            ZKFUZZ_EXPECT(d.open_flags[i] == e.open_flags[size_t(i)],
                          "open %d with flags %#x", i + 1, d.open_flags[i]);
        for (int i = 0; i < d.commands && i < kMaxCommands; ++i) {
            const CommandRecord &r = d.records[i];
            ZKFUZZ_EXPECT(memcmp(r.cdb, e.cdbs[size_t(i)].data(), 6) == 0 &&
                              r.dxfer_length == r.cdb[4] && r.direction == SG_DXFER_FROM_DEV,
                          "command %d: %02x %02x %02x %02x %02x %02x for %u bytes", i + 1,
                          r.cdb[0], r.cdb[1], r.cdb[2], r.cdb[3], r.cdb[4], r.cdb[5],
                          r.dxfer_length);
        }
    }

    if (result == ZK_CLAIMED) {
        ZKFUZZ_EXPECT(alloc_outstanding() == 1, "%d blocks left beside the list",
                      alloc_outstanding() - 1);
        std::vector<std::string> got;
        for (char **entry = list; *entry != nullptr; ++entry)
            got.emplace_back(*entry);
        ZKFUZZ_EXPECT(injected || got == e.pairs, "list differs from the answers");
        nv_free(list);
    } else {
        ZKFUZZ_EXPECT(list == kUntouched, "list stored with result %d", result);
    }
    ZKFUZZ_EXPECT(alloc_outstanding() == 0, "%d blocks left", alloc_outstanding());

    if (c.trace_log) {
        std::string log = read_file(kTraceLogPath);
        std::string tail = " : retval " + std::to_string(result) + "  " +
                           (result == ZK_CLAIMED ? "(Claimed)\n" : "\n");
        ZKFUZZ_EXPECT(log.rfind("\nclaim_device for ", 0) == 0 && ends_with(log, tail),
                      "trace log does not hold the claim's first and result lines");
    } else {
        ZKFUZZ_EXPECT(access(kTraceLogPath, F_OK) != 0, "a claim created the trace log");
    }
    start_afresh();
    ZKFUZZ_EXPECT(lowest_free_descriptor() == g_baseline_descriptor,
                  "a descriptor stayed open");
    free(inquiry);
    return 0;
}
