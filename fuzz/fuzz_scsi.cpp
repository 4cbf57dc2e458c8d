// do_inquiry, do_mode_sense_raw and do_mode_sense against a scripted device:
// the operation, its flags and page arguments (any int), the answer of each
// pass, open and command faults and a failing allocation come from the
// input. The oracle checks the result, the CDBs and open flags, the lengths,
// the bytes and the out-parameters, and that only the returned buffer stays
// allocated and no descriptor stays open.
#include "fuzz_support.h"
#include "zkDGCclariion.h"

#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <string.h>

#include <algorithm>

namespace {

using namespace zkfuzz;

constexpr char kPath[] = "/dev/zkfuzz/sg0";
constexpr int kNoMemory = 12;

enum Operation { kInquiry, kModeSenseRaw, kModeSense };

int read_int(Input &in)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = value << 8 | in.byte();
    return static_cast<int>(value);
}

struct Expected {
    int result = 0;
    Bytes data;
    int commands = 0;
    bool nothing_to_copy = false;  // do_mode_sense: descriptors past the end
    unsigned char cdbs[2][6] = {};
};

unsigned char low8(unsigned value) { return static_cast<unsigned char>(value & 0xFF); }

// The two passes as the library must send them, and what it receives.
Expected expect(const Device &device, Operation op, int flag, int page_control,
                int page_code)
{
    Expected e;
    if (device.open_fails[0]) {
        e.result = device.open_errno[0] ? device.open_errno[0] : EIO;
        return e;
    }
    bool inquiry = op == kInquiry;
    unsigned opcode = inquiry ? kInquiryOpcode : kModeSenseOpcode;
    unsigned byte1 = inquiry ? low8(unsigned(flag)) : low8(unsigned(flag) << 3);
    unsigned byte2 = inquiry ? low8(unsigned(page_code))
                             : low8(unsigned(page_control) << 6 | unsigned(page_code));
    unsigned length = inquiry ? 36 : 4;
    for (int pass = 0; pass < 2; ++pass) {
        unsigned char *cdb = e.cdbs[pass];
        cdb[0] = low8(opcode);
        cdb[1] = low8(byte1);
        cdb[2] = low8(byte2);
        cdb[4] = low8(length);
        Exchange x = device.predict(++e.commands, opcode, byte2, pass, length);
        if (!x.ok) {
            e.result = x.error ? x.error : EIO;
            return e;
        }
        if (pass == 1) {
            e.data = x.data;
            break;
        }
        length = !inquiry ? x.data[0] + 1u : flag ? x.data[3] + 4u : x.data[4] + 5u;
        length = std::min(length, kMaxAllocation);
    }
    if (op == kModeSense) {
        size_t start = e.data.size() <= 3 ? 4 : 4 + 8 * (e.data[3] / 8);
        if (start > e.data.size()) {
            e.result = kNoMemory;
            e.nothing_to_copy = true;
            e.data.clear();
            return e;
        }
        e.data.erase(e.data.begin(), e.data.begin() + static_cast<long>(start));
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silence_stdout();  // do_inquiry reports a failed buffer allocation there
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    Operation op = static_cast<Operation>(in.byte() % 3);
    unsigned fail = in.byte();
    unsigned fail_at = fail >= 0xE0 ? fail - 0xDF : 0;
    int flag = read_int(in);  // EVPD or DBD
    int page_control = read_int(in);
    int page_code = read_int(in);
    int open_flags = read_int(in);

    Device device;
    device.path = kPath;
    device.read_open_faults(in, 1);
    device.faults[0] = read_fault(in);
    device.faults[1] = read_fault(in);
    Answer answer;
    answer.opcode = op == kInquiry ? kInquiryOpcode : kModeSenseOpcode;
    answer.pass[0] = answer.pass[1] = in.counted();
    unsigned change = in.byte();
    unsigned value = in.byte();
    size_t length_byte = op != kInquiry ? 0 : flag ? 3 : 4;
    Bytes &changed = answer.pass[(change >> 1) & 1];
    if ((change & 1) && changed.size() > length_byte)
        changed[length_byte] = static_cast<unsigned char>(value);
    device.answers.push_back(answer);

    Expected e = expect(device, op, flag, page_control, page_code);
    int length = -7;
    unsigned char untouched = 0;
    unsigned char *buffer = &untouched;
    install_device(&device);
    alloc_arm(fail_at, (fail & 1) != 0);
    int result = 0;
    switch (op) {
    case kInquiry:
        result = do_inquiry(kPath, flag, page_code, open_flags, &length, &buffer);
        break;
    case kModeSenseRaw:
        result = do_mode_sense_raw(kPath, flag, page_control, page_code, &length, &buffer);
        break;
    case kModeSense:
        result = do_mode_sense(kPath, flag, page_control, page_code, &length, &buffer);
        break;
    }
    alloc_disarm();
    install_device(nullptr);

    ZKFUZZ_EXPECT(device.protocol_error == nullptr, "%s", device.protocol_error);
    ZKFUZZ_EXPECT(device.opened == device.closes, "%d opened, %d closed",
                  device.opened, device.closes);
    ZKFUZZ_EXPECT(device.opens == 1, "%d opens", device.opens);
    int expected_flags = (op == kInquiry ? open_flags : O_RDONLY) | O_CLOEXEC;
    ZKFUZZ_EXPECT(device.open_flags[0] == expected_flags, "opened with %#x",
                  device.open_flags[0]);
    if (alloc_failure_injected()) {
        ZKFUZZ_EXPECT(result == kNoMemory, "result %d after a failed allocation", result);
        ZKFUZZ_EXPECT(buffer == &untouched || (op == kModeSense && buffer == nullptr),
                      "buffer stored after a failed allocation");
        ZKFUZZ_EXPECT(op == kInquiry || length == -7, "length stored on failure");
        ZKFUZZ_EXPECT(alloc_outstanding() == 0, "%d blocks left", alloc_outstanding());
        return 0;
    }

    ZKFUZZ_EXPECT(result == e.result, "result %d, expected %d", result, e.result);
    ZKFUZZ_EXPECT(device.commands == e.commands, "%d commands, expected %d",
                  device.commands, e.commands);
    for (int i = 0; i < device.commands; ++i) {
        const CommandRecord &r = device.records[i];
        ZKFUZZ_EXPECT(memcmp(r.cdb, e.cdbs[i], 6) == 0 && r.dxfer_length == r.cdb[4] &&
                          r.direction == SG_DXFER_FROM_DEV,
                      "command %d: %02x %02x %02x %02x %02x %02x for %u bytes", i + 1,
                      r.cdb[0], r.cdb[1], r.cdb[2], r.cdb[3], r.cdb[4], r.cdb[5],
                      r.dxfer_length);
    }
    if (result != 0) {
        ZKFUZZ_EXPECT(e.nothing_to_copy ? buffer == nullptr : buffer == &untouched,
                      "buffer out after result %d", result);
        ZKFUZZ_EXPECT(op == kInquiry || length == -7, "length stored on failure");
        ZKFUZZ_EXPECT(alloc_outstanding() == 0, "%d blocks left", alloc_outstanding());
        return 0;
    }
    ZKFUZZ_EXPECT(length == static_cast<int>(e.data.size()), "length %d, expected %zu",
                  length, e.data.size());
    ZKFUZZ_EXPECT(buffer != &untouched && alloc_is_live(buffer) && alloc_outstanding() == 1,
                  "the response is not the one block left");
    ZKFUZZ_EXPECT(e.data.empty() || memcmp(buffer, e.data.data(), e.data.size()) == 0,
                  "response bytes differ");
    free(buffer);
    return 0;
}
