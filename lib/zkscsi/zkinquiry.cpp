// INQUIRY: the command (sent twice: learn the length, then read exactly
// that much) and its two printers.
#include "zkDGCclariion.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zkpassthrough.h"

namespace {

constexpr int kNoMemory = 12;  // ENOMEM: the result of a failed allocation

// Response length rule: VPD page length (byte 3) + the 4 header bytes, or
// standard additional length (byte 4) + bytes 0-4; at most what the
// one-byte allocation length can carry.
constexpr int kVpdPageLengthByte = 3;
constexpr int kVpdHeaderLength = 4;
constexpr int kStdAdditionalLengthByte = 4;
constexpr int kStdHeaderLength = 5;
constexpr int kMaxAllocationLength = 255;

constexpr int kCdbOpcode = 0;
constexpr int kCdbEvpd = 1;
constexpr int kCdbPageCode = 2;
constexpr int kCdbAllocationLength = 4;

void fill_inquiry_cdb(unsigned char *cdb, int evpd, int page_code,
                      int allocation_length)
{
    cdb[kCdbOpcode] = kInquiryOpcode;
    cdb[kCdbEvpd] |= static_cast<unsigned char>(evpd);
    cdb[kCdbPageCode] = static_cast<unsigned char>(page_code);
    cdb[kCdbAllocationLength] = static_cast<unsigned char>(allocation_length);
}

int response_length(const unsigned char *probe, int evpd)
{
    int length = evpd ? probe[kVpdPageLengthByte] + kVpdHeaderLength
                      : probe[kStdAdditionalLengthByte] + kStdHeaderLength;
    return length > kMaxAllocationLength ? kMaxAllocationLength : length;
}

// One decoded line of standard INQUIRY data: a bit field of one byte, or a
// run of characters.
struct InquiryField {
    const char *label;
    int offset;
    int width;     // characters of a text field; 0 for a bit field
    unsigned mask;
    int shift;
};

constexpr InquiryField kInquiryFields[] = {
    {"Peripheral Qualifier/Device Type", 0, 0, 0xFF, 0},
    {"Removable bit", 1, 0, 0x80, 7},
    {"Device type modifier", 1, 0, 0x7F, 0},
    {"ISO Version", 2, 0, 0xC0, 6},
    {"ECMA Version", 2, 0, 0x38, 3},
    {"ANSI Version", 2, 0, 0x07, 0},
    {"AEN Capability", 3, 0, 0x80, 7},
    {"Terminat I/O Capability", 3, 0, 0x40, 6},
    {"Additional Length", 4, 0, 0xFF, 0},
    {"Relative Addressing", 7, 0, 0x80, 7},
    {"32 bit I/O", 7, 0, 0x40, 6},
    {"16 bit I/O", 7, 0, 0x20, 5},
    {"Sync capabilities", 7, 0, 0x10, 4},
    {"Linked command", 7, 0, 0x08, 3},
    {"Command Queing", 7, 0, 0x02, 1},
    {"Soft Reset", 7, 0, 0x01, 0},
    {"Vendor Identification", 8, 8, 0, 0},
    {"Product Identification", 16, 16, 0, 0},
    {"Revision Number", 32, 4, 0, 0},
};

// Printed only when the response is longer than the 36 standard bytes.
constexpr InquiryField kSerialNumberField = {"Serial Number", 36, 12, 0, 0};
constexpr int kStandardInquiryLength = 36;

// Prints one field from the bytes below length. Returns false, printing
// nothing, when the field's first byte lies at or beyond length; a text
// field cut by length prints the characters present.
bool print_inquiry_field(const InquiryField &field, const unsigned char *data,
                         int length)
{
    if (field.offset >= length)
        return false;
    if (field.width == 0) {
        printf("%s : %x\n", field.label,
               (data[field.offset] & field.mask) >> field.shift);
        return true;
    }
    printf("%s : ", field.label);
    int end = field.offset + field.width;
    if (end > length)
        end = length;
    for (int i = field.offset; i < end; ++i)
        printf("%c", data[i]);
    printf("\n");
    return true;
}

}  // namespace

extern "C" {

/* INQUIRY for standard data (evpd 0) or the VPD page page_code (evpd
 * nonzero). Opens path with open_flags (close-on-exec added), sends the command with a
 * 36-byte allocation to learn the length, then again with exactly that
 * length (at most 255). Returns 0 and a malloc'd buffer of *length_out bytes
 * in *buffer_out (the caller frees it); or the errno of a failed open() or
 * ioctl, or 12 when an allocation fails. *buffer_out is written only on
 * success; *length_out may be overwritten on failure. */
int do_inquiry(const char *path, int evpd, int page_code, int open_flags,
               int *length_out, unsigned char **buffer_out)
{
    zk_command_guard guard;
    int fd = open(path, open_flags | O_CLOEXEC);  // never inherited by a program the host starts
    if (fd == -1)
        return zk_failure_result();

    struct zk_request request;
    unsigned char *probe = nullptr;
    if (zk_request_alloc(&request, kInquiryProbeLength, &probe) != 0) {
        close(fd);
        return kNoMemory;
    }

    // First pass: only the length field of the answer matters.
    *length_out = kInquiryProbeLength;
    fill_inquiry_cdb(request.cdb, evpd, page_code, kInquiryProbeLength);
    zk_fill_read_request(&request, probe, kInquiryProbeLength);
    if (zk_uscsi_ioctl(fd, request.cmd) == -1)
        return zk_request_fail(fd, &request, probe);

    int length = response_length(probe, evpd);
    *length_out = length;
    free(probe);

    unsigned char *buffer =
        static_cast<unsigned char *>(malloc(static_cast<size_t>(length)));
    if (buffer == nullptr) {
        printf("malloc failed for inquiry buffer\n");
        zk_request_release(&request);
        close(fd);
        return kNoMemory;
    }

    // Second pass: exactly the announced length. Bytes the device does not
    // send stay zero.
    memset(buffer, 0, static_cast<size_t>(length));
    memset(request.cmd, 0, sizeof *request.cmd);
    memset(request.cdb, 0, kCdbAreaSize);
    fill_inquiry_cdb(request.cdb, evpd, page_code, length);
    zk_fill_read_request(&request, buffer, static_cast<size_t>(length));
    if (zk_uscsi_ioctl(fd, request.cmd) == -1)
        return zk_request_fail(fd, &request, buffer);

    *buffer_out = buffer;
    zk_request_release(&request);
    close(fd);
    return 0;
}

/* Prints the bytes below length, one line each: index, hex value and the
 * byte written raw as a character. */
void dump_inquiry_data(const unsigned char *data, int length)
{
    printf("\n--------- Inquiry Data (in raw format)\n\n");
    for (int i = 0; i < length; ++i)
        printf("Byte %2d : 0x%x\t%c\n", i, data[i], data[i]);
}

/* Prints the fields of standard INQUIRY data, one line each; the serial
 * number only when length exceeds 36. Never reads at or beyond length: a
 * shorter response prints the lines whose bytes are present, a text field
 * cut by the length ends with the characters present, and the lines after
 * the first absent byte are left out. */
void decode_inquiry_data(const unsigned char *data, int length)
{
    printf("\n--------- Inquiry Information\n\n");
    for (const InquiryField &field : kInquiryFields) {
        if (!print_inquiry_field(field, data, length))
            return;
    }
    if (length > kStandardInquiryLength)
        print_inquiry_field(kSerialNumberField, data, length);
}

}  // extern "C"
