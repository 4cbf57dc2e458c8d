// The INQUIRY and MODE SENSE printers: exact text on stdout, and for short
// or malformed responses no read at or beyond the given length. Every input
// is an exact-size heap copy, so the sanitizer build and valgrind see any
// byte read past the end.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scsi_test_support.h"
#include "zkDGCclariion.h"

namespace {

using zkscsi_test::append_text;
using zkscsi_test::bytes_of;
using zkscsi_test::capture_stdout;
using zkscsi_test::HeapBytes;
using zkscsi_test::lines;
using zkscsi_test::raw;

// A standard INQUIRY response of a CLARiiON unit, 48 bytes with a serial
// number, followed by 12 more bytes that no line prints.
std::vector<unsigned char> clariion_inquiry()
{
    std::vector<unsigned char> r =
        bytes_of({0x00, 0x00, 0x02, 0x12, 0x2B, 0x00, 0x00, 0x32});
    append_text(r, "DGC     ");
    append_text(r, "RAID 5          ");
    append_text(r, "0219");
    append_text(r, "APM000123456");
    append_text(r, "EXTRA-BYTES!");
    return r;
}

const char *const kInquiryLines[] = {
    "",
    "--------- Inquiry Information",
    "",
    "Peripheral Qualifier/Device Type : 0",
    "Removable bit : 0",
    "Device type modifier : 0",
    "ISO Version : 0",
    "ECMA Version : 0",
    "ANSI Version : 2",
    "AEN Capability : 0",
    "Terminat I/O Capability : 0",
    "Additional Length : 2b",
    "Relative Addressing : 0",
    "32 bit I/O : 0",
    "16 bit I/O : 1",
    "Sync capabilities : 1",
    "Linked command : 0",
    "Command Queing : 1",
    "Soft Reset : 0",
    "Vendor Identification : DGC     ",
    "Product Identification : RAID 5          ",
    "Revision Number : 0219",
    "Serial Number : APM000123456",
};
constexpr size_t kHeadingLines = 3;
constexpr size_t kLinesThroughRevision = 22;

std::string first_inquiry_lines(size_t count, const std::string &last = "")
{
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += kInquiryLines[i];
        out += '\n';
    }
    if (!last.empty())
        out += last + "\n";
    return out;
}

std::string decode_inquiry(const HeapBytes &bytes)
{
    return capture_stdout([&] { decode_inquiry_data(bytes.data(), bytes.length()); });
}

TEST(DecodeInquiry, PrintsEveryFieldAndTheSerialNumberOnlyPast36Bytes)
{
    const std::vector<unsigned char> response = clariion_inquiry();
    struct Case {
        int length;
        size_t lines;
    };
    const Case cases[] = {
        {36, kLinesThroughRevision},
        {48, kLinesThroughRevision + 1},
        {60, kLinesThroughRevision + 1},  // still 12 serial characters
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        HeapBytes bytes(response, static_cast<size_t>(c.length));
        EXPECT_EQ(decode_inquiry(bytes), first_inquiry_lines(c.lines));
    }
}

TEST(DecodeInquiry, BitFieldsAreShiftedDownToBitZero)
{
    struct Case {
        int offset;
        int value;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {0, 0x7F, {"Peripheral Qualifier/Device Type : 7f"}},
        {0, 0xFF, {"Peripheral Qualifier/Device Type : ff"}},
        {1, 0x85, {"Removable bit : 1", "Device type modifier : 5"}},
        {1, 0x7F, {"Removable bit : 0", "Device type modifier : 7f"}},
        {2, 0x02, {"ISO Version : 0", "ECMA Version : 0", "ANSI Version : 2"}},
        {2, 0xDB, {"ISO Version : 3", "ECMA Version : 3", "ANSI Version : 3"}},
        {2, 0x7A, {"ISO Version : 1", "ECMA Version : 7", "ANSI Version : 2"}},
        {3, 0xC2, {"AEN Capability : 1", "Terminat I/O Capability : 1"}},
        {3, 0x3F, {"AEN Capability : 0", "Terminat I/O Capability : 0"}},
        {4, 0xFF, {"Additional Length : ff"}},
        {7, 0x32, {"Relative Addressing : 0", "32 bit I/O : 0", "16 bit I/O : 1",
                   "Sync capabilities : 1", "Linked command : 0",
                   "Command Queing : 1", "Soft Reset : 0"}},
        {7, 0xCD, {"Relative Addressing : 1", "32 bit I/O : 1", "16 bit I/O : 0",
                   "Sync capabilities : 0", "Linked command : 1",
                   "Command Queing : 0", "Soft Reset : 1"}},
        {7, 0x04, {"Relative Addressing : 0", "32 bit I/O : 0", "16 bit I/O : 0",
                   "Sync capabilities : 0", "Linked command : 0",
                   "Command Queing : 0", "Soft Reset : 0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "byte " << c.offset << " = " << c.value);
        std::vector<unsigned char> response(36, 0);
        response[c.offset] = static_cast<unsigned char>(c.value);
        std::string text = decode_inquiry(HeapBytes(response));
        for (const std::string &line : c.expected)
            EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
    }
}

TEST(DecodeInquiry, UnprintedBytesDoNotChangeTheOutput)
{
    std::vector<unsigned char> response = clariion_inquiry();
    response.resize(36);
    std::string plain = decode_inquiry(HeapBytes(response));
    response[5] = 0xFF;
    response[6] = 0xFF;
    response[3] |= 0x3F;
    EXPECT_EQ(decode_inquiry(HeapBytes(response)), plain);
}

TEST(DecodeInquiry, TextFieldsAreWrittenRaw)
{
    std::vector<unsigned char> response = clariion_inquiry();
    response[9] = 0x00;
    response[10] = 0xFF;
    response.resize(36);
    std::string text = decode_inquiry(HeapBytes(response));
    EXPECT_NE(text.find(raw("\nVendor Identification : D\0\xFF     \n")),
              std::string::npos);
}

// Lengths under 36, and from 37 to 47: only the bytes present are read. A
// line whose first byte is missing, and every line after it, is left out; a
// text field cut by the length prints the characters present.
TEST(DecodeInquiry, ShortResponsesPrintOnlyTheBytesPresent)
{
    const std::vector<unsigned char> response = clariion_inquiry();
    struct Case {
        int length;
        size_t whole_lines;
        const char *partial_line;
    };
    const Case cases[] = {
        {0, kHeadingLines, ""},
        {1, kHeadingLines + 1, ""},
        {2, kHeadingLines + 3, ""},
        {4, kHeadingLines + 8, ""},
        {5, kHeadingLines + 9, ""},
        {7, kHeadingLines + 9, ""},  // byte 7 absent: no capability lines
        {8, kHeadingLines + 16, ""},
        {9, kHeadingLines + 16, "Vendor Identification : D"},
        {16, kHeadingLines + 17, ""},
        {20, kHeadingLines + 17, "Product Identification : RAID"},
        {33, kHeadingLines + 18, "Revision Number : 0"},
        {35, kHeadingLines + 18, "Revision Number : 021"},
        {37, kLinesThroughRevision, "Serial Number : A"},
        {47, kLinesThroughRevision, "Serial Number : APM00012345"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        HeapBytes bytes(response, static_cast<size_t>(c.length));
        EXPECT_EQ(decode_inquiry(bytes), first_inquiry_lines(c.whole_lines, c.partial_line));
    }
}

TEST(DecodeInquiry, NegativeLengthPrintsTheHeadingAlone)
{
    HeapBytes none(std::vector<unsigned char>{});
    std::string text =
        capture_stdout([&] { decode_inquiry_data(none.data(), -1); });
    EXPECT_EQ(text, first_inquiry_lines(kHeadingLines));
}

TEST(DumpInquiry, OneLinePerByteWithTheRawCharacter)
{
    const std::string heading = "\n--------- Inquiry Data (in raw format)\n\n";
    std::vector<unsigned char> eleven(11, 0x20);
    eleven[10] = 0x7E;
    std::string eleven_text = heading;
    for (int i = 0; i < 10; ++i)
        eleven_text += "Byte  " + std::to_string(i) + " : 0x20\t \n";
    eleven_text += "Byte 10 : 0x7e\t~\n";
    struct Case {
        const char *name;
        std::vector<unsigned char> bytes;
        int length;
        std::string expected;
    };
    const Case cases[] = {
        {"raw characters, zero and 0xff included", bytes_of({0x00, 0x41, 0xFF, 0x0A}), 4,
         heading + raw("Byte  0 : 0x0\t\0\n") + "Byte  1 : 0x41\tA\n" +
             "Byte  2 : 0xff\t\xff\n" + "Byte  3 : 0xa\t\n\n"},
        {"two-digit index", eleven, 11, eleven_text},
        {"empty", {}, 0, heading},
        {"negative length", {}, -3, heading},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HeapBytes bytes(c.bytes);
        std::string text =
            capture_stdout([&] { dump_inquiry_data(bytes.data(), c.length); });
        EXPECT_EQ(text, c.expected);
    }
}

TEST(DumpModeSense, OneLinePerByte)
{
    const std::string heading = "\n--------- Mode Sense Data (in raw format)\n\n";
    std::vector<unsigned char> twelve(12, 0);
    twelve[0] = 0x0B;
    twelve[4] = 0xA6;
    twelve[11] = 0xFF;
    std::string twelve_text = heading;
    for (int i = 0; i < 12; ++i) {
        char line[32];
        snprintf(line, sizeof line, "Byte #%s%d : 0x%s\n", i < 10 ? " " : "", i,
                 i == 0 ? "b" : i == 4 ? "a6" : i == 11 ? "ff" : "0");
        twelve_text += line;
    }
    struct Case {
        const char *name;
        std::vector<unsigned char> bytes;
        int length;
        std::string expected;
    };
    const Case cases[] = {
        {"header", bytes_of({0x03, 0x00, 0x10, 0x08}), 4,
         heading + lines({"Byte # 0 : 0x3", "Byte # 1 : 0x0", "Byte # 2 : 0x10",
                          "Byte # 3 : 0x8"})},
        {"twelve bytes", twelve, 12, twelve_text},
        {"empty", {}, 0, heading},
        {"negative length", {}, -1, heading},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HeapBytes bytes(c.bytes);
        std::string text =
            capture_stdout([&] { dump_mode_sense_data(bytes.data(), c.length); });
        EXPECT_EQ(text, c.expected);
    }
}

// ---- decode_mode_sense_data ----------------------------------------------

const std::string kModeHeading =
    "\n--------- Mode Sense Information\n\n\n-------- Mode Sense Header\n";

std::string header_lines(int b0, int b1, int b2, int b3)
{
    char text[160];
    snprintf(text, sizeof text,
             "Byte  0 (# 0) : 0x%x\nByte  1 (# 1) : 0x%x\n"
             "Byte  2 (# 2) : 0x%x\nByte  3 (# 3) : 0x%x\n",
             b0, b1, b2, b3);
    return text;
}

std::string descriptor_count(int n)
{
    return "\t\t\t...... Number of block descriptors = " + std::to_string(n) + "\n";
}

std::string page_heading(int number, int code)
{
    char text[80];
    snprintf(text, sizeof text, "\n--------- Mode page : #%d (page code : 0x%x)\n", number, code);
    return text;
}

std::string descriptor_heading(int number)
{
    return "\n-------- Block Descriptor #" + std::to_string(number) + "\n";
}

std::string byte_line(int index, int offset, int value)
{
    char text[40];
    snprintf(text, sizeof text, "Byte %2d (#%2d) : 0x%x\n", index, offset, value);
    return text;
}

std::string decode_mode_sense(const HeapBytes &bytes)
{
    return capture_stdout([&] { decode_mode_sense_data(bytes.data(), bytes.length()); });
}

TEST(DecodeModeSense, WellFormedResponses)
{
    struct Case {
        const char *name;
        std::vector<unsigned char> bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"header alone", bytes_of({0x03, 0x00, 0x00, 0x00}),
         kModeHeading + header_lines(3, 0, 0, 0) + descriptor_count(0)},
        {"one page, no descriptors",
         bytes_of({0x0B, 0x00, 0x00, 0x00, 0x26, 0x06, 1, 2, 3, 4, 5, 6}),
         kModeHeading + header_lines(0xB, 0, 0, 0) + descriptor_count(0) + page_heading(0, 0x26) +
             byte_line(0, 4, 0x26) + byte_line(1, 5, 6) + byte_line(2, 6, 1) +
             byte_line(3, 7, 2) + byte_line(4, 8, 3) + byte_line(5, 9, 4) +
             byte_line(6, 10, 5) + byte_line(7, 11, 6)},
        {"descriptor length 15 counts one; savable page prints code 0x26",
         bytes_of({0x0F, 0x00, 0x00, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                   0xA6, 0x02, 0xAA, 0xBB}),
         kModeHeading + header_lines(0xF, 0, 0, 0xF) + descriptor_count(1) +
             descriptor_heading(0) + byte_line(0, 4, 0x10) + byte_line(1, 5, 0x11) +
             byte_line(2, 6, 0x12) + byte_line(3, 7, 0x13) + byte_line(4, 8, 0x14) +
             byte_line(5, 9, 0x15) + byte_line(6, 10, 0x16) + byte_line(7, 11, 0x17) +
             page_heading(0, 0x26) + byte_line(0, 12, 0xA6) + byte_line(1, 13, 2) +
             byte_line(2, 14, 0xAA) + byte_line(3, 15, 0xBB)},
        {"all pages: each printed whole, an empty page advances by two, top bits dropped",
         bytes_of({0x0B, 0x00, 0x00, 0x00, 0xEB, 0x00, 0x08, 0x02, 0x14, 0x00, 0x0A, 0x00}),
         kModeHeading + header_lines(0xB, 0, 0, 0) + descriptor_count(0) + page_heading(0, 0x2B) +
             byte_line(0, 4, 0xEB) + byte_line(1, 5, 0) + page_heading(1, 0x08) +
             byte_line(0, 6, 0x08) + byte_line(1, 7, 2) + byte_line(2, 8, 0x14) +
             byte_line(3, 9, 0) + page_heading(2, 0x0A) + byte_line(0, 10, 0x0A) +
             byte_line(1, 11, 0)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode_mode_sense(HeapBytes(c.bytes)), c.expected);
    }
}

TEST(DecodeModeSense, TwoDescriptorsThenAPageAtOffset20)
{
    std::vector<unsigned char> r = bytes_of({0x13, 0x00, 0x00, 0x10});
    for (int i = 0; i < 16; ++i)
        r.push_back(static_cast<unsigned char>(0x40 + i));
    r.push_back(0x26);
    r.push_back(0x00);
    std::string expected = kModeHeading + header_lines(0x13, 0, 0, 0x10) + descriptor_count(2);
    for (int k = 0; k < 2; ++k) {
        expected += descriptor_heading(k);
        for (int j = 0; j < 8; ++j)
            expected += byte_line(j, 4 + 8 * k + j, 0x40 + 8 * k + j);
    }
    expected += page_heading(0, 0x26) + byte_line(0, 20, 0x26) + byte_line(1, 21, 0);
    EXPECT_EQ(decode_mode_sense(HeapBytes(r)), expected);
}

// A response cut short anywhere: the bytes present are printed and the walk
// stops at the first missing one; nothing at or past the length is read.
TEST(DecodeModeSense, MalformedResponsesStopAtTheLength)
{
    struct Case {
        const char *name;
        std::vector<unsigned char> bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"no bytes", {}, kModeHeading},
        {"header cut after two bytes", bytes_of({0x03, 0x00}),
         kModeHeading + byte_line(0, 0, 3) + byte_line(1, 1, 0)},
        {"header only, descriptors announced", bytes_of({0x13, 0x00, 0x00, 0x10}),
         kModeHeading + header_lines(0x13, 0, 0, 0x10) + descriptor_count(2)},
        {"first descriptor cut",
         bytes_of({0x13, 0x00, 0x00, 0x10, 1, 2, 3, 4, 5, 6}),
         kModeHeading + header_lines(0x13, 0, 0, 0x10) + descriptor_count(2) +
             descriptor_heading(0) + byte_line(0, 4, 1) + byte_line(1, 5, 2) +
             byte_line(2, 6, 3) + byte_line(3, 7, 4) + byte_line(4, 8, 5) +
             byte_line(5, 9, 6)},
        {"second descriptor missing",
         bytes_of({0x13, 0x00, 0x00, 0x10, 1, 2, 3, 4, 5, 6, 7, 8}),
         kModeHeading + header_lines(0x13, 0, 0, 0x10) + descriptor_count(2) +
             descriptor_heading(0) + byte_line(0, 4, 1) + byte_line(1, 5, 2) +
             byte_line(2, 6, 3) + byte_line(3, 7, 4) + byte_line(4, 8, 5) +
             byte_line(5, 9, 6) + byte_line(6, 10, 7) + byte_line(7, 11, 8)},
        {"largest descriptor length, nothing behind the header",
         bytes_of({0x03, 0x00, 0x00, 0xFF}),
         kModeHeading + header_lines(3, 0, 0, 0xFF) + descriptor_count(31)},
        {"last page reaches past the end",
         bytes_of({0x13, 0x00, 0x00, 0x00, 0x26, 0x10, 0x01, 0x02, 0x03}),
         kModeHeading + header_lines(0x13, 0, 0, 0) + descriptor_count(0) +
             page_heading(0, 0x26) + byte_line(0, 4, 0x26) + byte_line(1, 5, 0x10) +
             byte_line(2, 6, 1) + byte_line(3, 7, 2) + byte_line(4, 8, 3)},
        {"page length byte missing", bytes_of({0x04, 0x00, 0x00, 0x00, 0x26}),
         kModeHeading + header_lines(4, 0, 0, 0) + descriptor_count(0) +
             page_heading(0, 0x26) + byte_line(0, 4, 0x26)},
        {"second page cut",
         bytes_of({0x09, 0x00, 0x00, 0x00, 0x2B, 0x00, 0x26, 0xFF, 0x01}),
         kModeHeading + header_lines(9, 0, 0, 0) + descriptor_count(0) +
             page_heading(0, 0x2B) + byte_line(0, 4, 0x2B) + byte_line(1, 5, 0) +
             page_heading(1, 0x26) + byte_line(0, 6, 0x26) + byte_line(1, 7, 0xFF) +
             byte_line(2, 8, 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode_mode_sense(HeapBytes(c.bytes)), c.expected);
    }
}

TEST(DecodeModeSense, NegativeLengthPrintsTheHeadingsAlone)
{
    HeapBytes none(std::vector<unsigned char>{});
    std::string text = capture_stdout([&] { decode_mode_sense_data(none.data(), -4); });
    EXPECT_EQ(text, kModeHeading);
}

}  // namespace
