// Facts about the target that the library's records and byte handling
// depend on: the Solaris pass-through record, the host's device record, the
// open flag of a device claim and the big-endian field helpers. Runs on
// every target; the cross build runs it on 32-bit big-endian SPARC.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/uscsi.h"
#include "zkDGCclariion.h"
#include "zkbytes.h"

namespace {

constexpr size_t P = sizeof(void *);
constexpr size_t L = sizeof(size_t);

constexpr size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

#if defined(__sparc__) && !defined(__arch64__)
static_assert(P == 4, "the 32-bit SPARC build must use 4-byte pointers");
static_assert(sizeof(struct uscsi_cmd) == 36,
              "the Solaris pass-through record is 36 bytes with 4-byte pointers");
#endif

#ifdef ZK_EMULATED
// The emulated target is the library's original one: if the toolchain ever
// built 64-bit or little-endian code, every layout check below would pass
// for the wrong reason.
static_assert(P == 4, "emulated build is not 32-bit");
static_assert(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, "emulated build is not big-endian");
#endif

TEST(UscsiRecord, FieldsFollowTheSolarisOrderAndWidths)
{
    // Offsets from the field order and widths: two shorts behind the int,
    // three pointers and two size_t lengths, four single bytes, then two
    // pointers at pointer alignment.
    const size_t after_lengths = 8 + 2 * P + 2 * L;
    const size_t rqbuf = round_up(after_lengths + 4, alignof(char *));
    const struct {
        const char *field;
        size_t offset;
        size_t width;
        size_t expected_offset;
        size_t expected_width;
    } fields[] = {
        {"uscsi_flags", offsetof(uscsi_cmd, uscsi_flags), sizeof(uscsi_cmd::uscsi_flags), 0, 4},
        {"uscsi_status", offsetof(uscsi_cmd, uscsi_status), sizeof(uscsi_cmd::uscsi_status), 4, 2},
        {"uscsi_timeout", offsetof(uscsi_cmd, uscsi_timeout), sizeof(uscsi_cmd::uscsi_timeout), 6, 2},
        {"uscsi_cdb", offsetof(uscsi_cmd, uscsi_cdb), sizeof(uscsi_cmd::uscsi_cdb), 8, P},
        {"uscsi_bufaddr", offsetof(uscsi_cmd, uscsi_bufaddr), sizeof(uscsi_cmd::uscsi_bufaddr), 8 + P, P},
        {"uscsi_buflen", offsetof(uscsi_cmd, uscsi_buflen), sizeof(uscsi_cmd::uscsi_buflen), 8 + 2 * P, L},
        {"uscsi_resid", offsetof(uscsi_cmd, uscsi_resid), sizeof(uscsi_cmd::uscsi_resid), 8 + 2 * P + L, L},
        {"uscsi_cdblen", offsetof(uscsi_cmd, uscsi_cdblen), sizeof(uscsi_cmd::uscsi_cdblen), after_lengths, 1},
        {"uscsi_rqlen", offsetof(uscsi_cmd, uscsi_rqlen), sizeof(uscsi_cmd::uscsi_rqlen), after_lengths + 1, 1},
        {"uscsi_rqstatus", offsetof(uscsi_cmd, uscsi_rqstatus), sizeof(uscsi_cmd::uscsi_rqstatus), after_lengths + 2, 1},
        {"uscsi_rqresid", offsetof(uscsi_cmd, uscsi_rqresid), sizeof(uscsi_cmd::uscsi_rqresid), after_lengths + 3, 1},
        {"uscsi_rqbuf", offsetof(uscsi_cmd, uscsi_rqbuf), sizeof(uscsi_cmd::uscsi_rqbuf), rqbuf, P},
        {"uscsi_reserved", offsetof(uscsi_cmd, uscsi_reserved), sizeof(uscsi_cmd::uscsi_reserved), rqbuf + P, P},
    };
    for (const auto &f : fields) {
        EXPECT_EQ(f.offset, f.expected_offset) << f.field;
        EXPECT_EQ(f.width, f.expected_width) << f.field;
    }
    EXPECT_EQ(sizeof(uscsi_cmd), round_up(rqbuf + 2 * P, alignof(uscsi_cmd)));
    if (P == 4) {
        EXPECT_EQ(sizeof(uscsi_cmd), 36u);
    }
}

TEST(UscsiRecord, RequestConstantsAreTheSolarisOnes)
{
    EXPECT_EQ(USCSICMD, 0x04C9);
    EXPECT_EQ(USCSI_READ, 0x08);
}

TEST(DeviceEntry, PathFieldThenInquiryPointerInNativeLayout)
{
    EXPECT_EQ(offsetof(device_entry, path), 0u);
    EXPECT_EQ(sizeof(device_entry::path), 128u);
    EXPECT_EQ(offsetof(device_entry, inquiry), 128u);
    EXPECT_EQ(sizeof(device_entry), 128 + P);
    EXPECT_EQ(alignof(device_entry), alignof(const unsigned char *));
}

TEST(OpenFlags, ClaimFlagIsThePlatformsOwnNonBlockingConstant)
{
    // The claim opens with O_NDELAY as the platform defines it, never with a
    // Solaris number; on SPARC Linux it is not the same as O_NONBLOCK.
#if defined(__sparc__)
    EXPECT_EQ(O_NDELAY, 0x4004);
    EXPECT_NE(O_NDELAY, O_NONBLOCK);
#elif defined(__x86_64__) || defined(__i386__)
    EXPECT_EQ(O_NDELAY, 04000);
    EXPECT_EQ(O_NDELAY, O_NONBLOCK);
#endif
    EXPECT_EQ(O_NDELAY & O_ACCMODE, 0);
    EXPECT_EQ(O_RDONLY | O_NDELAY, O_NDELAY);
}

TEST(ByteOrder, BigEndianFieldsReadTheSameAtEveryAlignment)
{
    // A field may start at any offset of a response buffer; a wide load from
    // an odd address would stop a SPARC program, and a native load would
    // swap the bytes on a little-endian host.
    const struct {
        unsigned char bytes[4];
        uint16_t be16;
        uint32_t be32;
    } cases[] = {
        {{0x12, 0x34, 0x56, 0x78}, 0x1234, 0x12345678u},
        {{0x00, 0x00, 0x00, 0x01}, 0x0000, 0x00000001u},
        {{0x80, 0x01, 0x00, 0xFF}, 0x8001, 0x800100FFu},
        {{0xFF, 0xFF, 0xFF, 0xFE}, 0xFFFF, 0xFFFFFFFEu},
    };
    for (const auto &c : cases) {
        for (size_t offset = 0; offset < 4; ++offset) {
            alignas(8) unsigned char buffer[12] = {};
            std::memcpy(buffer + offset, c.bytes, sizeof c.bytes);
            EXPECT_EQ(zk_get_be16(buffer + offset), c.be16) << "offset " << offset;
            EXPECT_EQ(zk_get_be32(buffer + offset), c.be32) << "offset " << offset;

            alignas(8) unsigned char written[12] = {};
            zk_put_be32(written + offset, c.be32);
            EXPECT_EQ(std::memcmp(written + offset, c.bytes, 4), 0) << "offset " << offset;
            zk_put_be16(written + offset + 1, c.be16);
            EXPECT_EQ(std::memcmp(written + offset + 1, c.bytes, 2), 0) << "offset " << offset;
            EXPECT_EQ(written[offset], c.bytes[0]) << "put_be16 wrote in front of its field";
        }
    }
}

TEST(ByteOrder, HelpersAgreeWithANativeLoadOnlyOnBigEndian)
{
    const unsigned char bytes[4] = {0x00, 0x00, 0x01, 0x2C};  // 300
    uint32_t native;
    std::memcpy(&native, bytes, sizeof native);
    EXPECT_EQ(zk_get_be32(bytes), 300u);
    if (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
        EXPECT_EQ(native, 300u);
    } else {
        EXPECT_NE(native, 300u);
    }
}

#if defined(__sparc__)
// The point of the SPARC run: a wide load from a misaligned address stops
// the program there, as on the hardware, so any such load the library makes
// fails its test instead of passing quietly.
TEST(Alignment, MisalignedWideLoadStopsTheProgram)
{
    alignas(8) unsigned char buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    // An offset the compiler cannot see, or it would assemble the value
    // byte by byte itself.
    volatile size_t one = 1;
    EXPECT_EXIT(
        {
            volatile uint32_t *misaligned =
                reinterpret_cast<volatile uint32_t *>(buffer + one);
            fprintf(stderr, "loaded %u\n", static_cast<unsigned>(*misaligned));
            exit(0);
        },
        ::testing::KilledBySignal(SIGBUS), "");
    volatile uint32_t *aligned = reinterpret_cast<volatile uint32_t *>(buffer + 4 * one);
    EXPECT_EQ(*aligned, 0x05060708u);
}
#endif

}  // namespace
