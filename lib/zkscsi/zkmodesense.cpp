// MODE SENSE(6): the command (sent twice: learn the mode data length, then
// read exactly that much), the page extraction and the two printers.
#include "zkDGCclariion.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zkpassthrough.h"

namespace {

constexpr int kNoMemory = 12;  // ENOMEM: the result of a failed allocation

constexpr int kCdbOpcode = 0;
constexpr int kCdbDbd = 1;
constexpr int kCdbPage = 2;
constexpr int kCdbAllocationLength = 4;
constexpr int kDbdShift = 3;
constexpr int kPageControlShift = 6;

// Mode parameter header of MODE SENSE(6).
constexpr int kModeDataLengthByte = 0;
constexpr int kBlockDescriptorLengthByte = 3;
constexpr unsigned kPageCodeMask = 0x3F;
constexpr int kPageLengthByte = 1;
constexpr int kPageHeaderLength = 2;

// The mode data length byte counts the bytes after itself, so the response
// is byte 0 + 1 long: up to 256. The one-byte allocation length carries at
// most 255, and 0 would ask for no data at all. The exact length is
// therefore capped at 255, as INQUIRY's is: CDB byte 4, the buffer and the
// length reported all say 255, and a 256-byte response loses its last byte
// rather than being reported with a byte the device was never asked for.
constexpr int kMaxAllocationLength = 255;

int exact_length(const unsigned char *probe)
{
    int length = probe[kModeDataLengthByte] + 1;
    return length > kMaxAllocationLength ? kMaxAllocationLength : length;
}

// Start of the mode pages: the header plus the whole 8-byte descriptors
// that the block descriptor length announces. A response too short to hold
// that byte (mode data length 0 to 2) announces none, and its pages would
// start past its end.
int page_offset(const unsigned char *response, int response_length)
{
    if (response_length <= kBlockDescriptorLengthByte)
        return kModeHeader6Length;
    return kModeHeader6Length +
           kBlockDescriptorLength *
               (response[kBlockDescriptorLengthByte] / kBlockDescriptorLength);
}

// Fills CDB bytes 0-2: opcode, DBD bit, page control and page code. The
// page code is ORed in unmasked, so a code above 0x3F spills into the page
// control bits, as the command has always been sent. The arguments are
// shifted as unsigned values: a caller's negative or large DBD or page
// control still gives its low bits, never a signed overflow.
void fill_mode_sense_cdb(unsigned char *cdb, int dbd, int page_control,
                         int page_code)
{
    cdb[kCdbOpcode] = kModeSense6Opcode;
    cdb[kCdbDbd] = static_cast<unsigned char>(static_cast<unsigned>(dbd) << kDbdShift);
    cdb[kCdbPage] = static_cast<unsigned char>(
        (static_cast<unsigned>(page_control) << kPageControlShift) |
        static_cast<unsigned>(page_code));
}

// Sends MODE SENSE(6) twice and stores the whole response. Writes
// *length_out during the call, also on paths that then fail; *buffer_out
// only on success. Results as do_mode_sense_raw.
int generic_mode_sense(const char *path, int dbd, int page_control,
                       int page_code, int *length_out,
                       unsigned char **buffer_out)
{
    zk_command_guard guard;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return zk_failure_result();

    struct zk_request request;
    unsigned char *probe = nullptr;
    if (zk_request_alloc(&request, kModeSenseProbeLength, &probe) != 0) {
        close(fd);
        return kNoMemory;
    }

    // First pass: only the mode data length matters.
    *length_out = kModeSenseProbeLength;
    fill_mode_sense_cdb(request.cdb, dbd, page_control, page_code);
    request.cdb[kCdbAllocationLength] = kModeSenseProbeLength;
    zk_fill_read_request(&request, probe, kModeSenseProbeLength);
    if (zk_uscsi_ioctl(fd, request.cmd) == -1)
        return zk_request_fail(fd, &request, probe);

    int length = exact_length(probe);
    *length_out = length;
    free(probe);

    unsigned char *buffer =
        static_cast<unsigned char *>(malloc(static_cast<size_t>(length)));
    if (buffer == nullptr) {
        zk_request_release(&request);
        close(fd);
        return kNoMemory;
    }

    // Second pass: the request record and CDB area are reused as the first
    // pass left them. Bytes the device does not send stay zero.
    memset(buffer, 0, static_cast<size_t>(length));
    fill_mode_sense_cdb(request.cdb, dbd, page_control, page_code);
    request.cdb[kCdbAllocationLength] = static_cast<unsigned char>(length);
    zk_fill_read_request(&request, buffer, static_cast<size_t>(length));
    if (zk_uscsi_ioctl(fd, request.cmd) == -1)
        return zk_request_fail(fd, &request, buffer);

    *buffer_out = buffer;
    zk_request_release(&request);
    close(fd);
    return 0;
}

// Copies what follows the header and the block descriptors into a new
// buffer. *buffer_out is written at once, so it is null when the copy cannot
// be allocated (result 12, *length_out untouched). A header or block
// descriptors that reach past the end leave nothing to copy: no allocation,
// null, 12. An
// empty copy (n = 0) is a valid 1-byte buffer with length 0 and result 0,
// whatever malloc(0) would give, so the result never depends on the C
// library.
int get_mode_page_info(const unsigned char *response, int response_length,
                       unsigned char **buffer_out, int *length_out)
{
    int start = page_offset(response, response_length);
    int n = response_length - start;
    if (n < 0) {
        *buffer_out = nullptr;
        return kNoMemory;
    }
    size_t size = n > 0 ? static_cast<size_t>(n) : 1;
    unsigned char *copy = static_cast<unsigned char *>(malloc(size));
    *buffer_out = copy;
    if (copy == nullptr)
        return kNoMemory;
    memset(copy, 0, size);
    memmove(copy, response + start, static_cast<size_t>(n));
    *length_out = n;
    return 0;
}

// One "Byte index (#offset) : value" line.
void print_byte_line(int index, int offset, unsigned value)
{
    printf("Byte %2d (#%2d) : 0x%x\n", index, offset, value);
}

}  // namespace

extern "C" {

/* MODE SENSE(6) of page_code with the given DBD flag and page control,
 * sent with a 4-byte allocation to learn the length, then with exactly the
 * length the header announces (at most 255). Returns 0 with the whole
 * response (header, block descriptors, pages) in a malloc'd *buffer_out of
 * *length_out bytes, which the caller frees; or the errno of a failed open()
 * or ioctl, or 12 when an allocation fails, leaving both out-parameters
 * untouched. */
int do_mode_sense_raw(const char *path, int dbd, int page_control,
                      int page_code, int *length_out,
                      unsigned char **buffer_out)
{
    int length = 0;
    unsigned char *buffer = nullptr;
    int result = generic_mode_sense(path, dbd, page_control, page_code,
                                    &length, &buffer);
    if (result != 0)
        return result;
    *buffer_out = buffer;
    *length_out = length;
    return 0;
}

/* As do_mode_sense_raw, but hands back only the bytes after the header and
 * the block descriptors, in a new malloc'd buffer the caller frees (a
 * 1-byte buffer with length 0 when nothing follows them); the whole response
 * is released here. When the copy cannot be made the result is 12 with
 * *buffer_out null and *length_out untouched; on a command failure neither
 * is touched. */
int do_mode_sense(const char *path, int dbd, int page_control, int page_code,
                  int *length_out, unsigned char **buffer_out)
{
    int length = 0;
    unsigned char *response = nullptr;
    int result = generic_mode_sense(path, dbd, page_control, page_code,
                                    &length, &response);
    if (result != 0)
        return result;
    result = get_mode_page_info(response, length, buffer_out, length_out);
    free(response);
    return result;
}

/* Prints the bytes below length, one "Byte #index : value" line each. */
void dump_mode_sense_data(const unsigned char *data, int length)
{
    printf("\n--------- Mode Sense Data (in raw format)\n\n");
    for (int i = 0; i < length; ++i)
        printf("Byte #%2d : 0x%x\n", i, data[i]);
}

/* Prints a MODE SENSE(6) response: header, the block descriptors the header
 * announces, then each mode page. Never reads at or beyond length: a header,
 * descriptor or page cut by the length prints the bytes present and the walk
 * stops there; the block descriptor count is the one announced. */
void decode_mode_sense_data(const unsigned char *data, int length)
{
    printf("\n--------- Mode Sense Information\n\n");
    printf("\n-------- Mode Sense Header\n");
    for (int i = 0; i < kModeHeader6Length; ++i) {
        if (i >= length)
            return;
        print_byte_line(i, i, data[i]);
    }

    int descriptors = data[kBlockDescriptorLengthByte] / kBlockDescriptorLength;
    printf("\t\t\t...... Number of block descriptors = %d\n", descriptors);
    for (int k = 0; k < descriptors; ++k) {
        int base = kModeHeader6Length + kBlockDescriptorLength * k;
        if (base >= length)
            return;
        printf("\n-------- Block Descriptor #%d\n", k);
        for (int j = 0; j < kBlockDescriptorLength; ++j) {
            if (base + j >= length)
                return;
            print_byte_line(j, base + j, data[base + j]);
        }
    }

    int p = kModeHeader6Length + kBlockDescriptorLength * descriptors;
    for (int m = 0; p < length; ++m) {
        printf("\n--------- Mode page : #%d (page code : 0x%x)\n", m,
               data[p] & kPageCodeMask);
        print_byte_line(0, p, data[p]);
        if (p + kPageLengthByte >= length)
            return;
        int page_size = data[p + kPageLengthByte] + kPageHeaderLength;
        for (int j = 1; j < page_size; ++j) {
            if (p + j >= length)
                return;
            print_byte_line(j, p + j, data[p + j]);
        }
        p += page_size;
    }
}

}  // extern "C"
