// INQUIRY and MODE SENSE against simulated units: the CDBs of both passes,
// the length rules, short and missing answers, failures (errno kept, EIO for
// a command that did not complete cleanly), flags passed to open, every
// descriptor closed, out-parameters untouched on failure and nothing
// printed. Leaks are the sanitizer build's and valgrind's to find.
#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "scsi_test_support.h"
#include "zkDGCclariion.h"
#include "zksim.h"

namespace {

using zkscsi_test::capture_stdout;

const char kUnitPath[] = "/dev/zksim/c1t0d0s2";

// What the caller's out-parameters hold before a call, to see them kept.
unsigned char g_sentinel_byte;
unsigned char *const kUntouchedBuffer = &g_sentinel_byte;
constexpr int kUntouchedLength = -777;

std::string hex(const std::vector<unsigned char> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out = "hex:";
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// A response of `size` bytes: the given head, then a counting pattern.
std::vector<unsigned char> response(std::vector<unsigned char> head, size_t size)
{
    std::vector<unsigned char> r = std::move(head);
    while (r.size() < size)
        r.push_back(static_cast<unsigned char>(0x40 + r.size()));
    r.resize(size);
    return r;
}

// Standard INQUIRY data with additional length `additional`.
std::vector<unsigned char> standard_data(int additional)
{
    return response({0x00, 0x00, 0x04, 0x12, static_cast<unsigned char>(additional)},
                    static_cast<size_t>(additional) + 5);
}

// A VPD page with page length `page_length`.
std::vector<unsigned char> vpd_page(int page, int page_length)
{
    return response({0x00, static_cast<unsigned char>(page), 0x00,
                     static_cast<unsigned char>(page_length)},
                    static_cast<size_t>(page_length) + 4);
}

// A MODE SENSE(6) response of `size` bytes with the given mode data length
// and block descriptor length bytes.
std::vector<unsigned char> mode_data(int mode_data_length, int descriptor_length, size_t size)
{
    return response({static_cast<unsigned char>(mode_data_length), 0x00, 0x00,
                     static_cast<unsigned char>(descriptor_length)},
                    size);
}

std::vector<unsigned char> first_bytes(const std::vector<unsigned char> &bytes, size_t n)
{
    std::vector<unsigned char> out(bytes.begin(), bytes.begin() + static_cast<long>(std::min(n, bytes.size())));
    out.resize(n, 0);
    return out;
}

std::vector<zksim_command_record> commands()
{
    std::vector<zksim_command_record> out(zksim_command_count());
    for (size_t i = 0; i < out.size(); ++i)
        zksim_command_at(i, &out[i]);
    return out;
}

std::vector<unsigned char> cdb6(const zksim_command_record &record)
{
    return std::vector<unsigned char>(record.cdb, record.cdb + 6);
}

// The two commands of one operation: the same 6-byte CDB (opcode, byte 1,
// byte 2) with the probe's allocation length, then with the exact one, each
// asking for as many bytes as its CDB says.
void expect_two_passes(int opcode, int cdb1, int cdb2, int probe_length, int exact_length)
{
    std::vector<zksim_command_record> sent = commands();
    ASSERT_EQ(sent.size(), 2u);
    const std::vector<unsigned char> probe = {static_cast<unsigned char>(opcode),
                                              static_cast<unsigned char>(cdb1),
                                              static_cast<unsigned char>(cdb2), 0,
                                              static_cast<unsigned char>(probe_length), 0};
    std::vector<unsigned char> exact = probe;
    exact[4] = static_cast<unsigned char>(exact_length);
    EXPECT_EQ(cdb6(sent[0]), probe);
    EXPECT_EQ(cdb6(sent[1]), exact);
    EXPECT_EQ(sent[0].cdb_len, 6u);
    EXPECT_EQ(sent[1].cdb_len, 6u);
    EXPECT_EQ(sent[0].dxfer_len, static_cast<unsigned>(probe_length));
    EXPECT_EQ(sent[1].dxfer_len, static_cast<unsigned>(exact_length));
}

class SimulatedUnit : public ::testing::Test {
protected:
    void SetUp() override { zksim_reset(); }
    void TearDown() override { zksim_reset(); }

    // One unit at kUnitPath with the given further description lines.
    void load(const std::string &lines)
    {
        std::string text = std::string("unit ") + kUnitPath + "\n" + lines + "\n";
        char err[256] = "";
        ASSERT_EQ(zksim_load_text(text.c_str(), err, sizeof err), 0) << err << "\n" << text;
    }

    void expect_balanced_descriptors()
    {
        EXPECT_EQ(zksim_open_descriptors(), 0) << "a descriptor was left open";
    }
};

// ---- INQUIRY ---------------------------------------------------------------

using InquiryCommand = SimulatedUnit;

TEST_F(InquiryCommand, SecondPassAsksForExactlyTheAnnouncedLength)
{
    struct Case {
        const char *name;
        int evpd;
        int page_code;
        std::string description;
        std::vector<unsigned char> answer;
        int cdb1, cdb2;
        int length;
    };
    const std::vector<unsigned char> id_page = vpd_page(0x83, 0x0C);
    const std::vector<unsigned char> long_serial = vpd_page(0x80, 0x80);
    const std::vector<unsigned char> serial_251 = vpd_page(0x80, 251);
    const std::vector<unsigned char> serial_252 = vpd_page(0x80, 252);
    const std::vector<unsigned char> serial_255 = vpd_page(0x80, 255);
    const std::vector<unsigned char> std_31 = standard_data(0x1F);
    const std::vector<unsigned char> std_96 = standard_data(0x60);
    const std::vector<unsigned char> std_250 = standard_data(250);
    const std::vector<unsigned char> std_251 = standard_data(251);
    const std::vector<unsigned char> std_255 = standard_data(255);
    const Case cases[] = {
        {"device identification", 1, 0x83, "vpd 0x83 " + hex(id_page), id_page, 0x01, 0x83, 16},
        {"page length 0x80 is unsigned", 1, 0x80, "vpd 0x80 " + hex(long_serial), long_serial,
         0x01, 0x80, 132},
        {"page length 251 reaches 255", 1, 0x80, "vpd 0x80 " + hex(serial_251), serial_251, 0x01,
         0x80, 255},
        {"page length 252 is capped at 255", 1, 0x80, "vpd 0x80 " + hex(serial_252), serial_252,
         0x01, 0x80, 255},
        {"page length 255 is capped at 255", 1, 0x80, "vpd 0x80 " + hex(serial_255), serial_255,
         0x01, 0x80, 255},
        {"standard, additional length 31", 0, 0, "inquiry " + hex(std_31), std_31, 0, 0, 36},
        {"standard, additional length 0x60", 0, 0, "inquiry " + hex(std_96), std_96, 0, 0, 101},
        {"standard, additional length 250", 0, 0, "inquiry " + hex(std_250), std_250, 0, 0, 255},
        {"standard, additional length 251 is capped", 0, 0, "inquiry " + hex(std_251), std_251,
         0, 0, 255},
        {"standard, additional length 255 is capped", 0, 0, "inquiry " + hex(std_255), std_255,
         0, 0, 255},
        {"only the low eight bits of the arguments", 0x101, 0x180,
         "vpd 0x80 " + hex(long_serial), long_serial, 0x01, 0x80, 132},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zksim_reset();
        load(c.description);
        int length = kUntouchedLength;
        unsigned char *buffer = kUntouchedBuffer;

        ASSERT_EQ(do_inquiry(kUnitPath, c.evpd, c.page_code, O_RDONLY | O_NDELAY, &length, &buffer), 0);

        EXPECT_EQ(length, c.length);
        ASSERT_NE(buffer, kUntouchedBuffer);
        EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + length),
                  first_bytes(c.answer, static_cast<size_t>(c.length)));
        free(buffer);

        expect_two_passes(0x12, c.cdb1, c.cdb2, 36, c.length);
        expect_balanced_descriptors();
    }
}

TEST_F(InquiryCommand, OpenFlagsArePassedWithCloseOnExecAdded)
{
    const int cases[] = {O_RDONLY | O_NDELAY, O_RDONLY, O_RDWR | O_NONBLOCK, O_RDONLY | O_CLOEXEC};
    for (int flags : cases) {
        SCOPED_TRACE(flags);
        zksim_reset();
        load("cab_serial \"APM00012345678\"");
        int length = 0;
        unsigned char *buffer = nullptr;
        ASSERT_EQ(do_inquiry(kUnitPath, 1, 0x80, flags, &length, &buffer), 0);
        free(buffer);
        ASSERT_EQ(zksim_open_count(), 1u);
        zksim_open_record record;
        ASSERT_EQ(zksim_open_at(0, &record), 0);
        EXPECT_STREQ(record.path, kUnitPath);
        EXPECT_EQ(record.flags, flags | O_CLOEXEC);  // close-on-exec added
        expect_balanced_descriptors();
    }
}

TEST_F(InquiryCommand, ShortAnswersSucceedWithTheMissingBytesZero)
{
    const std::vector<unsigned char> id_page = vpd_page(0x83, 0x0C);
    const std::vector<unsigned char> std_31 = standard_data(0x1F);
    struct Case {
        const char *name;
        int evpd;
        std::string description;
        std::vector<unsigned char> expected;
    };
    const Case cases[] = {
        {"second pass short", 1, "vpd 0x83 " + hex(id_page) + "\nfault command 2 short 10",
         first_bytes(first_bytes(id_page, 10), 16)},
        {"first pass misses the page length: 4 bytes", 1,
         "vpd 0x83 " + hex(id_page) + "\nfault command 1 short 3", first_bytes(id_page, 4)},
        {"first pass misses the additional length: 5 bytes", 0,
         "inquiry " + hex(std_31) + "\nfault command 1 short 4", first_bytes(std_31, 5)},
        {"nothing at all in the second pass", 0,
         "inquiry " + hex(std_31) + "\nfault command 2 short 0", std::vector<unsigned char>(36, 0)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zksim_reset();
        load(c.description);
        int length = kUntouchedLength;
        unsigned char *buffer = kUntouchedBuffer;
        ASSERT_EQ(do_inquiry(kUnitPath, c.evpd, c.evpd ? 0x83 : 0, O_RDONLY, &length, &buffer), 0);
        ASSERT_EQ(length, static_cast<int>(c.expected.size()));
        EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + length), c.expected);
        free(buffer);
        expect_balanced_descriptors();
    }
}

// Failures: the errno of the failed open() or ioctl (EIO for a command that
// did not complete cleanly), the buffer out-parameter untouched, nothing
// printed, every descriptor closed.
struct FailureCase {
    const char *name;
    std::string description;
    int result;
    size_t commands;
};

const FailureCase kCommandFailures[] = {
    {"open fails with ENOENT", "fault open ENOENT", ENOENT, 0},
    {"open fails with EACCES", "fault open EACCES", EACCES, 0},
    {"open fails with ENOMEM", "fault open ENOMEM", ENOMEM, 0},
    {"first ioctl fails with ENXIO", "fault command 1 errno ENXIO", ENXIO, 1},
    {"second ioctl fails with ETIMEDOUT", "fault command 2 errno ETIMEDOUT", ETIMEDOUT, 2},
    {"CHECK CONDITION on the first pass", "fault command 1 check", EIO, 1},
    {"CHECK CONDITION on the second pass", "fault command 2 check", EIO, 2},
    {"host error", "fault command 1 host", EIO, 1},
    {"driver error on the second pass", "fault command 2 driver", EIO, 2},
};

TEST_F(InquiryCommand, FailuresReturnTheirErrnoAndReleaseEverything)
{
    for (const FailureCase &c : kCommandFailures) {
        SCOPED_TRACE(c.name);
        zksim_reset();
        load("cab_serial \"APM00012345678\"\n" + c.description);
        int length = kUntouchedLength;
        unsigned char *buffer = kUntouchedBuffer;
        int result = -1;
        std::string printed = capture_stdout(
            [&] { result = do_inquiry(kUnitPath, 1, 0x80, O_RDONLY | O_NDELAY, &length, &buffer); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(errno, c.result) << "errno must survive the releases and the close";
        EXPECT_EQ(buffer, kUntouchedBuffer);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(zksim_command_count(), c.commands);
        expect_balanced_descriptors();
    }
}

TEST_F(InquiryCommand, UnansweredRequestsFailWithEio)
{
    struct Case {
        const char *name;
        int evpd;
        int page_code;
    };
    const Case cases[] = {
        {"unsupported VPD page", 1, 0x99},
        {"page code without EVPD is still sent", 0, 0x83},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zksim_reset();
        load("");
        int length = 0;
        unsigned char *buffer = kUntouchedBuffer;
        EXPECT_EQ(do_inquiry(kUnitPath, c.evpd, c.page_code, O_RDONLY, &length, &buffer), EIO);
        EXPECT_EQ(buffer, kUntouchedBuffer);
        std::vector<zksim_command_record> sent = commands();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].cdb[1], c.evpd);
        EXPECT_EQ(sent[0].cdb[2], c.page_code);
        expect_balanced_descriptors();
    }
}

TEST_F(InquiryCommand, PathThatIsNotThereGivesOpensErrno)
{
    load("");
    int length = kUntouchedLength;
    unsigned char *buffer = kUntouchedBuffer;
    EXPECT_EQ(do_inquiry("/nonexistent-zk-dir/device", 1, 0x83, O_RDONLY, &length, &buffer), ENOENT);
    EXPECT_EQ(buffer, kUntouchedBuffer);
    EXPECT_EQ(length, kUntouchedLength);
    EXPECT_EQ(zksim_command_count(), 0u);
}

// ---- MODE SENSE --------------------------------------------------------------

using ModeSenseCommand = SimulatedUnit;

TEST_F(ModeSenseCommand, CdbOfBothPasses)
{
    struct Case {
        const char *name;
        int dbd, page_control, page_code;
        int cdb1, cdb2;
    };
    const Case cases[] = {
        {"SP Report, block descriptors disabled", 1, 0, 0x26, 0x08, 0x26},
        {"default values of Unit Config", 0, 2, 0x2B, 0x00, 0xAB},
        {"saved values of all pages", 0, 3, 0x3F, 0x00, 0xFF},
        {"page code above 0x3F spills into page control", 0, 0, 0x6B, 0x00, 0x6B},
        {"only the low eight bits of the DBD argument", 0x21, 1, 0x26, 0x08, 0x66},
        // Arguments outside 0-3 still give their low bits, without the
        // signed overflow of shifting them (UBSan stops the program).
        {"negative DBD and page control", -1, -1, 0x26, 0xF8, 0xE6},
        {"DBD and page control too large to shift", 0x7FFFFFFF, 0x40000001, 0x2B, 0xF8, 0x6B},
    };
    const std::vector<unsigned char> answer = mode_data(0x17, 0, 24);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zksim_reset();
        load("mode " + std::to_string(c.page_code & 0x3F) + " " + hex(answer));
        int length = kUntouchedLength;
        unsigned char *buffer = kUntouchedBuffer;

        ASSERT_EQ(do_mode_sense_raw(kUnitPath, c.dbd, c.page_control, c.page_code, &length, &buffer), 0);
        EXPECT_EQ(length, 24);
        EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 24), answer);
        free(buffer);

        expect_two_passes(0x1A, c.cdb1, c.cdb2, 4, 24);

        ASSERT_EQ(zksim_open_count(), 1u);
        zksim_open_record record;
        ASSERT_EQ(zksim_open_at(0, &record), 0);
        EXPECT_EQ(record.flags, O_RDONLY | O_CLOEXEC);
        expect_balanced_descriptors();
    }
}

// The whole response is mode data length + 1 bytes, at most 255 (the
// one-byte allocation length cannot ask for 256, and 0 would ask for
// nothing); the page copy starts after the header and the whole 8-byte
// block descriptors.
TEST_F(ModeSenseCommand, LengthRulesOfTheResponseAndThePageCopy)
{
    constexpr int kFails = -1;
    struct Case {
        const char *name;
        std::vector<unsigned char> answer;
        int raw_length;
        int page_start;  // kFails: do_mode_sense gives 12 and a null buffer
    };
    const Case cases[] = {
        {"no block descriptors", mode_data(0x17, 0, 24), 24, 4},
        {"one block descriptor", mode_data(0x17, 8, 24), 24, 12},
        {"descriptor length 12 counts one", mode_data(0x17, 12, 24), 24, 12},
        {"two block descriptors", mode_data(0x17, 16, 24), 24, 20},
        {"header alone: an empty copy", mode_data(0x03, 0, 4), 4, 4},
        {"header and descriptor alone: an empty copy", mode_data(0x0B, 8, 12), 12, 12},
        {"descriptors past the end", mode_data(0x03, 8, 4), 4, kFails},
        {"largest descriptor length", mode_data(0x0B, 0xFF, 12), 12, kFails},
        {"mode data length 254", mode_data(0xFE, 0, 255), 255, 4},
        {"mode data length 255 is capped at 255", mode_data(0xFF, 0, 256), 255, 4},
        {"mode data length 0: one byte, no header", mode_data(0x00, 0, 1), 1, kFails},
        {"mode data length 2: header cut", mode_data(0x02, 0, 3), 3, kFails},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zksim_reset();
        load("mode 0x26 " + hex(c.answer));

        int length = kUntouchedLength;
        unsigned char *buffer = kUntouchedBuffer;
        ASSERT_EQ(do_mode_sense_raw(kUnitPath, 1, 0, 0x26, &length, &buffer), 0);
        EXPECT_EQ(length, c.raw_length);
        EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + length),
                  first_bytes(c.answer, static_cast<size_t>(c.raw_length)));
        free(buffer);
        std::vector<zksim_command_record> sent = commands();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[1].cdb[4], c.raw_length);
        EXPECT_EQ(sent[1].dxfer_len, static_cast<unsigned>(c.raw_length));

        length = kUntouchedLength;
        buffer = kUntouchedBuffer;
        int result = do_mode_sense(kUnitPath, 1, 0, 0x26, &length, &buffer);
        if (c.page_start == kFails) {
            EXPECT_EQ(result, ENOMEM);
            EXPECT_EQ(buffer, nullptr);
            EXPECT_EQ(length, kUntouchedLength);
        } else {
            ASSERT_EQ(result, 0);
            ASSERT_NE(buffer, nullptr);
            EXPECT_EQ(length, c.raw_length - c.page_start);
            EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + length),
                      std::vector<unsigned char>(c.answer.begin() + c.page_start,
                                                 c.answer.begin() + c.raw_length));
            free(buffer);
        }
        expect_balanced_descriptors();
    }
}

TEST_F(ModeSenseCommand, ShortAnswersSucceedWithTheMissingBytesZero)
{
    const std::vector<unsigned char> answer = mode_data(0x17, 0, 24);
    struct Case {
        const char *name;
        std::string fault;
        std::vector<unsigned char> expected;
    };
    const Case cases[] = {
        {"second pass short", "fault command 2 short 10", first_bytes(first_bytes(answer, 10), 24)},
        {"first pass empty: one byte asked for", "fault command 1 short 0", first_bytes(answer, 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zksim_reset();
        load("mode 0x26 " + hex(answer) + "\n" + c.fault);
        int length = kUntouchedLength;
        unsigned char *buffer = kUntouchedBuffer;
        ASSERT_EQ(do_mode_sense_raw(kUnitPath, 1, 0, 0x26, &length, &buffer), 0);
        ASSERT_EQ(length, static_cast<int>(c.expected.size()));
        EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + length), c.expected);
        free(buffer);
        expect_balanced_descriptors();
    }
}

TEST_F(ModeSenseCommand, FailuresLeaveBothOutParametersAsTheyWere)
{
    using Operation = int (*)(const char *, int, int, int, int *, unsigned char **);
    const std::pair<const char *, Operation> operations[] = {
        {"do_mode_sense_raw", do_mode_sense_raw},
        {"do_mode_sense", do_mode_sense},
    };
    // Page 0x26 answers 24 bytes unless a fault strikes; page 0x19 is not
    // modelled and gets CHECK CONDITION.
    const std::string answered = "mode 0x26 " + hex(mode_data(0x17, 0, 24)) + "\n";
    std::vector<FailureCase> cases(std::begin(kCommandFailures), std::end(kCommandFailures));
    cases.push_back({"unsupported page", "", EIO, 1});
    for (const auto &[name, operation] : operations) {
        for (const FailureCase &c : cases) {
            SCOPED_TRACE(std::string(name) + ": " + c.name);
            zksim_reset();
            load(answered + c.description);
            const int page = c.description.empty() ? 0x19 : 0x26;
            int length = kUntouchedLength;
            unsigned char *buffer = kUntouchedBuffer;
            int result = -1;
            std::string printed =
                capture_stdout([&] { result = operation(kUnitPath, 1, 0, page, &length, &buffer); });
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(errno, c.result) << "errno must survive the releases and the close";
            EXPECT_EQ(length, kUntouchedLength);
            EXPECT_EQ(buffer, kUntouchedBuffer);
            EXPECT_EQ(printed, "");
            EXPECT_EQ(zksim_command_count(), c.commands);
            expect_balanced_descriptors();
        }
    }
}

}  // namespace
