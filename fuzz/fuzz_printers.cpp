// The four printers on fuzzed responses and lengths (negative ones too),
// each response in a heap block of exactly its length so that any read at or
// beyond it stops the run. The oracle reads what was printed: the raw dumps
// exactly, the MODE SENSE decoding as every byte once, in order, with its
// value, and the INQUIRY decoding's heading and serial number line.
#include "fuzz_support.h"
#include "zkDGCclariion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

using namespace zkfuzz;

enum Printer { kDumpInquiry, kDecodeInquiry, kDumpModeSense, kDecodeModeSense };

// Runs print with stdout going to memory; returns what it printed.
template <typename Fn>
std::string printed(Fn print)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&text, &size);
    FILE *saved = stdout;
    stdout = memory;
    print();
    stdout = saved;
    fclose(memory);
    std::string out(text, size);
    free(text);
    return out;
}

std::string format(const char *format, unsigned a, unsigned b, unsigned c)
{
    char line[64];
    int n = snprintf(line, sizeof line, format, a, b, c);
    return std::string(line, size_t(n));
}

std::string expected_dump(const char *heading, const char *line, bool with_char,
                          const unsigned char *data, int length)
{
    std::string out = heading;
    for (int i = 0; i < length; ++i) {
        out += format(line, unsigned(i), data[i], 0);
        if (with_char)
            out += static_cast<char>(data[i]), out += '\n';
    }
    return out;
}

// Every "(#offset) : 0xvalue" of the MODE SENSE decoding, in order.
void check_mode_sense_decoding(const std::string &out, const unsigned char *data,
                               int length)
{
    int next = 0;
    for (size_t at = out.find("(#"); at != std::string::npos; at = out.find("(#", at + 1)) {
        unsigned offset = 0, value = 0;
        ZKFUZZ_EXPECT(sscanf(out.c_str() + at, "(#%u) : 0x%x", &offset, &value) == 2,
                      "unreadable byte line");
        ZKFUZZ_EXPECT(int(offset) == next && int(offset) < length && value == data[offset],
                      "byte line #%u = 0x%x, expected #%d of %d", offset, value, next,
                      length);
        ++next;
    }
    ZKFUZZ_EXPECT(next == std::max(length, 0), "%d of %d bytes printed", next, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    Printer printer = static_cast<Printer>(in.byte() % 4);
    int length = static_cast<int16_t>(in.byte() << 8 | in.byte());
    Bytes response = in.rest();
    length = std::min(length, static_cast<int>(response.size()));
    response.resize(size_t(std::max(length, 0)));
    unsigned char *bytes = heap_copy(response);

    switch (printer) {
    case kDumpInquiry: {
        std::string out = printed([&] { dump_inquiry_data(bytes, length); });
        ZKFUZZ_EXPECT(out == expected_dump("\n--------- Inquiry Data (in raw format)\n\n",
                                           "Byte %2d : 0x%x\t", true, bytes, length),
                      "raw INQUIRY dump differs");
        break;
    }
    case kDumpModeSense: {
        std::string out = printed([&] { dump_mode_sense_data(bytes, length); });
        ZKFUZZ_EXPECT(out == expected_dump("\n--------- Mode Sense Data (in raw format)\n\n",
                                           "Byte #%2d : 0x%x\n", false, bytes, length),
                      "raw MODE SENSE dump differs");
        break;
    }
    case kDecodeModeSense: {
        std::string out = printed([&] { decode_mode_sense_data(bytes, length); });
        check_mode_sense_decoding(out, bytes, length);
        break;
    }
    case kDecodeInquiry: {
        std::string out = printed([&] { decode_inquiry_data(bytes, length); });
        const std::string heading = "\n--------- Inquiry Information\n\n";
        ZKFUZZ_EXPECT(out.compare(0, heading.size(), heading) == 0, "no heading");
        ZKFUZZ_EXPECT(length > 0 || out == heading, "fields printed for length %d", length);
        // A whole serial number ends the decoding of a long enough response.
        if (length >= 48) {
            std::string serial = "Serial Number : " +
                                 std::string(reinterpret_cast<const char *>(bytes) + 36, 12) + "\n";
            ZKFUZZ_EXPECT(out.size() >= serial.size() &&
                              out.compare(out.size() - serial.size(), serial.size(), serial) == 0,
                          "no serial number line for length %d", length);
        }
        break;
    }
    }
    free(bytes);
    return 0;
}
