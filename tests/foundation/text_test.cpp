// bascii_copy and strcpy_nb: texts, results, source positions and the
// bytes they may write, checked against a guard zone behind the capacity.
#include "zkDGCclariion.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <string>

namespace {

constexpr unsigned char kCanary = 0xEE;
constexpr int kBufferSize = 80;

std::string bytes(const char *text, size_t n) { return std::string(text, n); }

struct BasciiCase {
    const char *label;
    std::string source;
    int count;
    int capacity;
    int expected_result;
    const char *expected_text;  // checked when the result is 0
};

TEST(BasciiCopy, Table)
{
    const std::string letters = "ABCDEFGHIJKLMNOP";
    const BasciiCase cases[] = {
        {"16 letters", letters, 16, 33, 0, "ABCDEFGHIJKLMNOP"},
        {"15 letters and a zero", bytes("ABCDEFGHIJKLMNO\0", 16), 16, 33, 0, "ABCDEFGHIJKLMNO"},
        {"14 letters and two zeros", bytes("ABCDEFGHIJKLMN\0\0", 16), 16, 33, 0,
         "4142434445464748494A4B4C4D4E0000"},
        {"single zero", bytes("\0", 1), 1, 33, 0, ""},
        {"binary", "\x60\x06\x01\x6A", 4, 33, 0, "6006016A"},
        {"high byte", "\xA5", 1, 33, 0, "A5"},
        {"blanks kept", "  AB  ", 6, 7, 0, "  AB  "},
        {"tilde and space are printable", "~ ", 2, 3, 0, "~ "},
        {"DEL is not printable", "A\x7F", 2, 5, 0, "417F"},
        {"zero in the middle", bytes("A\0B", 3), 3, 7, 0, "410042"},
        {"printable, 0x01, printable", "AB\x01" "CD", 5, 11, 0, "4142014344"},
        {"count equals capacity", letters, 16, 16, -1, nullptr},
        {"count above capacity", letters, 16, 8, -1, nullptr},
        {"printable, just fits", letters, 16, 17, 0, "ABCDEFGHIJKLMNOP"},
        {"hex does not fit", bytes("\x01" "BCDEFGHIJKLMNOP", 16), 16, 17, -1, nullptr},
        {"hex one short", bytes("\x01" "BCDEFGHIJKLMNOP", 16), 16, 32, -1, nullptr},
        {"hex fills exactly", bytes("\x01" "BCDEFGHIJKLMNOP", 16), 16, 33, 0,
         "0142434445464748494A4B4C4D4E4F50"},
        {"count zero", "", 0, 1, 0, ""},
        {"count zero, no room", "", 0, 0, -1, nullptr},
        {"negative count", "", -3, 1, 0, ""},
        {"negative count, no room", "", -3, 0, -1, nullptr},
        {"negative count, negative capacity", "", -3, -1, -1, nullptr},
    };
    for (const BasciiCase &c : cases) {
        unsigned char buffer[kBufferSize];
        memset(buffer, kCanary, sizeof buffer);
        int result = bascii_copy(reinterpret_cast<char *>(buffer),
                                 reinterpret_cast<const unsigned char *>(c.source.data()),
                                 c.count, c.capacity);
        EXPECT_EQ(result, c.expected_result) << c.label;
        // Never a byte written at or past the capacity.
        for (int i = c.capacity > 0 ? c.capacity : 0; i < kBufferSize; ++i)
            ASSERT_EQ(buffer[i], kCanary) << c.label << " byte " << i;
        if (c.expected_result == 0 && c.expected_text) {
            EXPECT_STREQ(reinterpret_cast<char *>(buffer), c.expected_text) << c.label;
        }
        // Nothing is written when the count alone does not fit.
        if (c.count >= c.capacity) {
            EXPECT_EQ(buffer[0], kCanary) << c.label;
        }
    }
}

TEST(BasciiCopy, HugeCountIsRefusedWithoutOverflow)
{
    // Twice the count does not fit in an int: still -1, and only the first
    // (non-printable) byte is read.
    const unsigned char source[1] = {0x01};
    char target[1] = {'x'};
    EXPECT_EQ(bascii_copy(target, source, 1 << 30, (1 << 30) + 1), -1);
    EXPECT_EQ(bascii_copy(target, source, INT_MAX - 1, INT_MAX), -1);
    EXPECT_EQ(target[0], 'x');
}

struct StrcpyCase {
    const char *label;
    std::string source;
    int size;
    const char *expected_text;
    int expected_offset;
};

TEST(StrcpyNb, Table)
{
    const StrcpyCase cases[] = {
        {"vendor field", "DGC     ", 9, "DGC", 3},
        {"8 non-blank, capacity 9", "ABCDEFGH", 9, "ABCDEFGH", 8},
        {"10 non-blank, capacity 5", "ABCDEFGHIJ", 5, "ABCD", 4},
        {"leading blank", " DGC", 9, "", 0},
        {"leading tab", "\tDGC", 9, "", 0},
        {"stops at each white space", "AB\nC", 9, "AB", 2},
        {"vertical tab", "AB\vC", 9, "AB", 2},
        {"form feed", "AB\fC", 9, "AB", 2},
        {"carriage return", "AB\rC", 9, "AB", 2},
        {"capacity 1", "DGC", 1, "", 0},
        {"zero byte copied", bytes("AB\0CD ", 6), 9, "AB", 5},
        {"high bytes are not white", "\xA0\x85 ", 9, "\xA0\x85", 2},
        {"revision field", "0221", 5, "0221", 4},
    };
    for (const StrcpyCase &c : cases) {
        unsigned char buffer[kBufferSize];
        memset(buffer, kCanary, sizeof buffer);
        std::string source = c.source;
        source.resize(40, 'z');  // readable bytes behind the field
        const char *end = strcpy_nb(source.data(), reinterpret_cast<char *>(buffer), c.size);
        EXPECT_EQ(end - source.data(), c.expected_offset) << c.label;
        EXPECT_STREQ(reinterpret_cast<char *>(buffer), c.expected_text) << c.label;
        for (int i = c.size; i < kBufferSize; ++i)
            ASSERT_EQ(buffer[i], kCanary) << c.label << " byte " << i;
    }
}

TEST(StrcpyNb, NoRoomWritesNothing)
{
    const char source[] = "DGC";
    for (int size : {0, -1, INT_MIN}) {
        char target[4] = {'x', 'x', 'x', 'x'};
        EXPECT_EQ(strcpy_nb(source, target, size), source) << size;
        EXPECT_EQ(target[0], 'x') << size;
    }
}

}  // namespace
