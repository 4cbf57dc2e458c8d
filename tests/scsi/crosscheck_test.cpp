// The printers against tools no one here wrote: for the same response
// bytes, the fields decode_inquiry_data prints must agree with sg_inq
// (--inhex), and the page walk of decode_mode_sense_data with sdparm
// (--inhex --six). The tools' paths come from the environment (ZK_SG_INQ,
// ZK_SDPARM); the test skips, saying why, when they are missing or the
// program runs on a cross target.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "scsi_test_support.h"
#include "zkDGCclariion.h"

namespace {

using zkscsi_test::append_text;
using zkscsi_test::bytes_of;
using zkscsi_test::capture_stdout;
using zkscsi_test::HeapBytes;

// The tool named by the environment variable, or "" with the reason to skip.
std::string tool_path(const char *variable, std::string &why_not)
{
    const char *path = getenv(variable);
    if (path == nullptr || *path == '\0' || access(path, X_OK) != 0) {
        why_not = std::string(variable) + " names no runnable tool (install sg3-utils and sdparm)";
        return "";
    }
    return path;
}

// Writes the bytes as ASCII hex to a temporary file, runs the tool on it
// with the given options, and returns what it printed.
std::string run_on_hex(const std::string &tool, const std::string &options,
                       const std::vector<unsigned char> &bytes)
{
    char name[] = "/tmp/zk-crosscheck-XXXXXX";
    int fd = mkstemp(name);
    if (fd == -1)
        return "<mkstemp failed>";
    FILE *file = fdopen(fd, "w");
    for (size_t i = 0; i < bytes.size(); ++i)
        fprintf(file, "%02x%c", bytes[i], (i % 16 == 15) ? '\n' : ' ');
    fprintf(file, "\n");
    fclose(file);

    std::string command = tool + " --inhex=" + name + " " + options + " 2>&1";
    std::string output;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
            output.append(chunk, got);
        pclose(pipe);
    }
    unlink(name);
    return output;
}

std::string rtrim(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n'))
        text.pop_back();
    return text;
}

// "NAME=value" of sg_inq (NAME at a word start), as a number (hex when
// written 0x...); -1 when absent.
long tool_number(const std::string &output, const std::string &name)
{
    const std::string key = name + "=";
    for (size_t at = output.find(key); at != std::string::npos; at = output.find(key, at + 1)) {
        if (at == 0 || output[at - 1] == ' ' || output[at - 1] == '[' || output[at - 1] == '\n')
            return strtol(output.c_str() + at + key.size(), nullptr, 0);
    }
    return -1;
}

// The number after "after" in line, read in base 16; -1 when absent.
long hex_after(const std::string &line, const std::string &after)
{
    size_t at = line.find(after);
    return at == std::string::npos ? -1 : strtol(line.c_str() + at + after.size(), nullptr, 16);
}

// The rest of the line after "label: " in sg_inq's output.
std::string tool_text(const std::string &output, const std::string &label)
{
    size_t at = output.find(" " + label + ": ");
    if (at == std::string::npos)
        return "<missing>";
    at += label.size() + 3;
    return output.substr(at, output.find('\n', at) - at);
}

// "Label : value" lines of decode_inquiry_data.
std::map<std::string, std::string> our_inquiry_fields(const std::vector<unsigned char> &bytes)
{
    HeapBytes copy(bytes);
    std::string text =
        capture_stdout([&] { decode_inquiry_data(copy.data(), copy.length()); });
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        size_t colon = line.find(" : ");
        if (colon != std::string::npos)
            fields[line.substr(0, colon)] = line.substr(colon + 3);
        start = end + 1;
    }
    return fields;
}

long hex_field(const std::map<std::string, std::string> &fields, const std::string &label)
{
    auto it = fields.find(label);
    return it == fields.end() ? -1 : strtol(it->second.c_str(), nullptr, 16);
}

std::vector<unsigned char> inquiry(std::initializer_list<int> head, const char *vendor,
                                   const char *product, const char *revision,
                                   const char *serial)
{
    std::vector<unsigned char> r = bytes_of(head);
    append_text(r, vendor);
    append_text(r, product);
    append_text(r, revision);
    append_text(r, serial);
    return r;
}

TEST(CrossCheck, InquiryFieldsAgreeWithSgInq)
{
    std::string why_not;
    std::string sg_inq = tool_path("ZK_SG_INQ", why_not);
    if (sg_inq.empty())
        GTEST_SKIP() << why_not;

    struct Case {
        const char *name;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"CLARiiON unit with serial",
         inquiry({0x00, 0x00, 0x02, 0x12, 0x2B, 0x00, 0x00, 0x32}, "DGC     ",
                 "RAID 5          ", "0219", "APM000123456")},
        {"every printed bit set",
         inquiry({0x7F, 0x85, 0xDB, 0xC2, 0x1F, 0x00, 0x00, 0xCD}, "DGC     ",
                 "RAID 5          ", "0219", "")},
        {"serial cut at 40 bytes",
         inquiry({0x1F, 0x80, 0x05, 0x02, 0x23, 0x00, 0x00, 0xFF}, "ABCDEFGH",
                 "1234567890123456", "rev1", "SN01")},
        {"SCSI-3 disk, no capabilities",
         inquiry({0x00, 0x00, 0x7A, 0x02, 0x1F, 0x00, 0x00, 0x00}, "VENDOR  ",
                 "PRODUCT NAME    ", "1.00", "")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string theirs = run_on_hex(sg_inq, "--page=sinq --vendor", c.bytes);
        ASSERT_NE(theirs.find("standard INQUIRY"), std::string::npos) << theirs;
        std::map<std::string, std::string> ours = our_inquiry_fields(c.bytes);

        EXPECT_EQ((tool_number(theirs, "PQual") << 5) | tool_number(theirs, "PDT"),
                  hex_field(ours, "Peripheral Qualifier/Device Type"));
        EXPECT_EQ(tool_number(theirs, "RMB"), hex_field(ours, "Removable bit"));
        EXPECT_EQ(tool_number(theirs, "version"),
                  (hex_field(ours, "ISO Version") << 6) | (hex_field(ours, "ECMA Version") << 3) |
                      hex_field(ours, "ANSI Version"));
        EXPECT_EQ(tool_number(theirs, "AERC"), hex_field(ours, "AEN Capability"));
        EXPECT_EQ(tool_number(theirs, "TrmTsk"), hex_field(ours, "Terminat I/O Capability"));
        EXPECT_EQ(tool_number(theirs, "length"), hex_field(ours, "Additional Length") + 5);
        EXPECT_EQ(tool_number(theirs, "RelAdr"), hex_field(ours, "Relative Addressing"));
        EXPECT_EQ(tool_number(theirs, "WBus16"), hex_field(ours, "16 bit I/O"));
        EXPECT_EQ(tool_number(theirs, "Sync"), hex_field(ours, "Sync capabilities"));
        EXPECT_EQ(tool_number(theirs, "Linked"), hex_field(ours, "Linked command"));
        EXPECT_EQ(tool_number(theirs, "CmdQue"), hex_field(ours, "Command Queing"));
        EXPECT_EQ(rtrim(tool_text(theirs, "Vendor identification")),
                  rtrim(ours["Vendor Identification"]));
        EXPECT_EQ(rtrim(tool_text(theirs, "Product identification")),
                  rtrim(ours["Product Identification"]));
        EXPECT_EQ(rtrim(tool_text(theirs, "Product revision level")),
                  rtrim(ours["Revision Number"]));
        if (c.bytes.size() > 36) {
            EXPECT_EQ(rtrim(tool_text(theirs, "Vendor specific")).substr(0, 12),
                      rtrim(ours["Serial Number"]));
        } else {
            EXPECT_EQ(ours.count("Serial Number"), 0u);
        }
    }
}

// Page codes in the order decode_mode_sense_data walks them, and byte 2 of
// the caching page (0x08) as it prints it (-1 when absent).
struct OurWalk {
    std::vector<int> page_codes;
    int caching_byte2 = -1;
};

OurWalk our_mode_walk(const std::vector<unsigned char> &bytes)
{
    HeapBytes copy(bytes);
    std::string text =
        capture_stdout([&] { decode_mode_sense_data(copy.data(), copy.length()); });
    OurWalk walk;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        if (line.find("Mode page : #") != std::string::npos)
            walk.page_codes.push_back(static_cast<int>(hex_after(line, "(page code : 0x")));
        else if (!walk.page_codes.empty() && walk.page_codes.back() == 0x08 &&
                 line.rfind("Byte  2 (#", 0) == 0)
            walk.caching_byte2 = static_cast<int>(hex_after(line, ") : 0x"));
        start = end + 1;
    }
    return walk;
}

// Page codes of sdparm's "... [0xNN] mode page ..." lines, in order.
std::vector<int> sdparm_page_codes(const std::string &output)
{
    std::vector<int> codes;
    const std::string tail = "] mode page";
    for (size_t at = output.find(tail); at != std::string::npos; at = output.find(tail, at + 1)) {
        size_t open = output.rfind("[0x", at);
        if (open != std::string::npos)
            codes.push_back(static_cast<int>(strtol(output.c_str() + open + 3, nullptr, 16)));
    }
    return codes;
}

// The value sdparm prints for a field: "  NAME   value" on a line of its own.
long sdparm_field(const std::string &output, const std::string &name)
{
    size_t at = output.find("\n  " + name + " ");
    return at == std::string::npos ? -1 : strtol(output.c_str() + at + name.size() + 3, nullptr, 10);
}

std::vector<unsigned char> caching_page(int first_byte, int byte2)
{
    return bytes_of({first_byte, 0x12, byte2, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF,
                     0xFF, 0xFF, 0x80, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
}

std::vector<unsigned char> mode_response(int descriptor_bytes,
                                         std::initializer_list<std::vector<unsigned char>> pages)
{
    std::vector<unsigned char> r = bytes_of({0x00, 0x00, 0x00, descriptor_bytes});
    for (int i = 0; i < descriptor_bytes; ++i)
        r.push_back(static_cast<unsigned char>(i % 8 == 6 ? 0x02 : 0x00));
    for (const auto &page : pages)
        r.insert(r.end(), page.begin(), page.end());
    r[0] = static_cast<unsigned char>(r.size() - 1);
    return r;
}

TEST(CrossCheck, ModePageWalkAgreesWithSdparm)
{
    std::string why_not;
    std::string sdparm = tool_path("ZK_SDPARM", why_not);
    if (sdparm.empty())
        GTEST_SKIP() << why_not;

    const std::vector<unsigned char> control =
        bytes_of({0x0A, 0x0A, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    const std::vector<unsigned char> exceptions =
        bytes_of({0x1C, 0x0A, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    const std::vector<unsigned char> sp_report =
        bytes_of({0x26, 0x06, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06});

    struct Case {
        const char *name;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"caching page alone", mode_response(0, {caching_page(0x08, 0x14)})},
        {"one block descriptor, savable page", mode_response(8, {caching_page(0x88, 0x05)})},
        {"two descriptors, vendor page first",
         mode_response(16, {sp_report, caching_page(0x08, 0x11), control, exceptions})},
        {"all pages, no descriptors",
         mode_response(0, {control, caching_page(0x08, 0x04), exceptions})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string theirs = run_on_hex(sdparm, "--six --all --verbose", c.bytes);
        OurWalk ours = our_mode_walk(c.bytes);
        EXPECT_EQ(ours.page_codes, sdparm_page_codes(theirs)) << theirs;
        ASSERT_NE(ours.caching_byte2, -1);
        for (auto [name, bit] : {std::pair<const char *, int>{"DISC", 4}, {"WCE", 2}, {"RCD", 0}})
            EXPECT_EQ(sdparm_field(theirs, name), (ours.caching_byte2 >> bit) & 1) << name;
    }
}

}  // namespace
