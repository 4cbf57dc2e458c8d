// claim_device through the device simulator: results, property lists,
// the exact trace, the commands sent and the descriptors left open.
#include "claim_support.h"
#include "claim_trace_log.h"
#include "format_counter.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <memory>
#include <string>
#include <vector>

using namespace claimtest;

namespace {

struct Outcome {
    int result;
    std::vector<std::string> list;
    std::string log;
    size_t opens;
};

class Claim : public ::testing::Test {
protected:
    void SetUp() override { zksim_reset(); }
    void TearDown() override { zksim_reset(); }

    Outcome claim(const UnitDef &unit,
                  const std::array<unsigned char, 36> &inq = make_inquiry())
    {
        EXPECT_EQ(load_units({unit}), "");
        device_entry entry = make_entry(unit.path, inq.data());
        return claim_entry(entry);
    }

    // Claims with an empty log; checks what must hold after every claim.
    Outcome claim_entry(const device_entry &entry)
    {
        log_.clear();
        zksim_clear_records();
        char *sentinel[1] = {nullptr};
        char **list = sentinel;
        Outcome out;
        out.result = claim_device(&entry, &list);
        if (out.result == ZK_CLAIMED) {
            out.list = list_strings(list);
            nv_free(list);
        } else {
            EXPECT_EQ(list, sentinel) << "list stored with result " << out.result;
        }
        EXPECT_EQ(zksim_open_descriptors(), 0) << "descriptor left open";
        out.opens = zksim_open_count();
        out.log = log_.contents();
        return out;
    }

    TraceLog log_;
};

const std::string P = kDefaultPath;
const std::string kHead = "\nclaim_device for " + P + "\n" +
                          "DGC inquiry match : trying to claim: " + P + "\n";
const std::string kModel = "MODEL: [4700]\n";
const std::string kClaimedLine =
    "claimed " + P + ": Lun:0x03  SP: 1  DOwn: 1  COwn: 1  SpMdl:4700  AT: 1\n";
const std::string kDevIdLine = P + ": VLU: 0x05  LU: 0x06\n";

std::string result_line(int result)
{
    return P + " : retval " + std::to_string(result) + "  " +
           (result == 0 ? "(Claimed)\n" : "\n");
}

// "hex:" followed by count copies of the byte.
std::string hex_run(const char *byte_hex, size_t count)
{
    std::string text = "hex:";
    for (size_t i = 0; i < count; ++i)
        text += byte_hex;
    return text;
}

TEST_F(Claim, AppendsElevenTextsToAnExistingLogAndHandsOverSixPairs)
{
    ASSERT_EQ(load_units({UnitDef{}}), "");
    TraceLog log("earlier line\n");
    auto inq = make_inquiry();
    device_entry entry = make_entry(P, inq.data());
    char **list = nullptr;

    ASSERT_EQ(claim_device(&entry, &list), ZK_CLAIMED);

    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list_strings(list), default_list());
    EXPECT_EQ(list[6], nullptr);
    nv_free(list);
    EXPECT_EQ(log.contents(),
              "earlier line\n" + kHead + kModel + kClaimedLine + kDevIdLine +
                  "port SN: [8] F1234567B\n"
                  "LunSn: " + kBinaryLunSerial + "  LunId:   3\n"
                  "cab: F1234567  port: F1234567B  owner: Y  rev: 0219  scsi: 4\n"
                  "\n" + result_line(0));
}

// This program does not define xDbgPrint, so with no log the library's own
// would drop every message: none is even formatted. With the log, all are.
TEST_F(Claim, FormatsTheTraceOnlyWhenTheLogIsOpen)
{
    const struct {
        const char *name;
        const char *vendor;
        uint32_t model;
        const char *extra;
        int result;
    } rows[] = {
        {"claimed", "DGC", 4700, "", ZK_CLAIMED},
        {"not DGC", "SEAGATE", 4700, "", ZK_NOT_CLAIMED},
        {"model refused", "DGC", 7624, "", ZK_NOT_CLAIMED},
        {"SP Report fails", "DGC", 4700, "  fault command 1 errno EIO\n", ZK_CLAIM_FAILED},
    };
    for (const auto &row : rows) {
        for (bool log_present : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (log_present ? ", log" : ", no log"));
            UnitDef unit;
            unit.model = row.model;
            unit.extra = row.extra;
            ASSERT_EQ(load_units({unit}), "");
            auto inq = make_inquiry(row.vendor);
            device_entry entry = make_entry(P, inq.data());
            remove_trace_log();
            std::unique_ptr<TraceLog> log;
            if (log_present)
                log = std::make_unique<TraceLog>();
            char **list = nullptr;
            int result = 0;
            int formats = count_formats([&] { result = claim_device(&entry, &list); });
            EXPECT_EQ(result, row.result);
            if (result == ZK_CLAIMED)
                nv_free(list);
            EXPECT_EQ(formats > 0, log_present) << formats << " messages formatted";
            EXPECT_EQ(log != nullptr && !log->contents().empty(), log_present);
            EXPECT_EQ(trace_log_exists(), log_present);
        }
    }
}

TEST_F(Claim, FailuresAndRefusalsGiveTheirResultAndTrace)
{
    const std::string sp_fail = "V10 claim_device: can't get SP Report Mode Page";
    const std::string unit_fail = "V10 claim_device: can't get Unit Conf Mode Page";
    const std::string devid_fail = "V10 claim_device: can't get Dev ID VPD Page";
    const std::string sn_fail = "V10 claim_device: can't get Unit SN VPD Page";
    const std::string cab_fail = "V10 claim_device: cab_serial_no invalid";
    // A 255-byte Unit Serial Number page whose length byte announces more.
    const std::string capped_sn = "hex:008000FC" + hex_run("41", 251).substr(4);
    struct Row {
        const char *name;
        std::string extra;        // description lines for the unit
        uint32_t model;
        unsigned flags;
        std::string cab_serial;
        int result;
        std::string log;          // the whole trace of the claim
        size_t opens;
    };
    const std::string cab = UnitDef{}.cab_serial;
    const std::vector<Row> rows = {
        {"open fails", "  fault open ENOENT\n", 4700, 0x48, cab, -1,
         kHead + sp_fail + result_line(-1), 1},
        {"SP Report probe fails", "  fault command 1 errno EIO\n", 4700, 0x48,
         cab, -1, kHead + sp_fail + result_line(-1), 1},
        {"SP Report read ends in CHECK CONDITION", "  fault command 2 check\n",
         4700, 0x48, cab, -1, kHead + sp_fail + result_line(-1), 1},
        {"SP Report shorter than the model field",
         "  mode 0x26 hex:0A000000 00000001 000012\n", 4700, 0x48, cab, -1,
         kHead + sp_fail + result_line(-1), 1},
        {"model 7624 refused", "", 7624, 0x48, cab, 1,
         kHead + "V10 claim_device: unsupported Clariion: 7624 : 00 00 1d c8\n" +
             result_line(1), 1},
        {"Unit Config fails", "  fault command 3 errno EIO\n", 4700, 0x48, cab,
         -1, kHead + kModel + unit_fail + result_line(-1), 2},
        {"Unit Config read ends in a host error", "  fault command 4 host\n",
         4700, 0x48, cab, -1, kHead + kModel + unit_fail + result_line(-1), 2},
        {"Unit Config shorter than the owner byte",
         "  mode 0x2B hex:0D000000 2B0A0300 48000000 0000\n", 4700, 0x48, cab,
         -1, kHead + kModel + unit_fail + result_line(-1), 2},
        {"auto-trespass off", "", 4700, 0x40, cab, 1,
         kHead + kModel + P +
             " Not Claimed: AutoTrespass not previously enabled for Model 4700\n" +
             result_line(1), 2},
        {"Device Identification fails", "  fault command 5 errno EIO\n", 4700,
         0x48, cab, -1, kHead + kModel + kClaimedLine + devid_fail + result_line(-1),
         3},
        {"Device Identification read ends in a driver error",
         "  fault command 6 driver\n", 4700, 0x48, cab, -1,
         kHead + kModel + kClaimedLine + devid_fail + result_line(-1), 3},
        {"Device Identification shorter than the identifier",
         "  vpd 0x83 hex:00830013 01030010 600601601A2B3C4D5E6F708192A3B4\n",
         4700, 0x48, cab, -1,
         kHead + kModel + kClaimedLine + devid_fail + result_line(-1), 3},
        {"Unit Serial Number fails", "  fault command 7 errno EIO\n", 4700, 0x48,
         cab, -1, kHead + kModel + kClaimedLine + kDevIdLine + sn_fail +
                      result_line(-1), 4},
        {"cabinet serial of 33 printable bytes", "", 4700, 0x48,
         "\"" + std::string(33, 'S') + "\"", -1,
         kHead + kModel + kClaimedLine + kDevIdLine + cab_fail + result_line(-1), 4},
        {"cabinet serial of 17 bytes not printable", "", 4700, 0x48,
         hex_run("01", 17), -1,
         kHead + kModel + kClaimedLine + kDevIdLine + cab_fail + result_line(-1), 4},
        {"Unit Serial Number page length past the capped response",
         "  vpd 0x80 " + capped_sn + "\n", 4700, 0x48, cab, -1,
         kHead + kModel + kClaimedLine + kDevIdLine + cab_fail + result_line(-1), 4},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        UnitDef unit;
        unit.extra = row.extra;
        unit.model = row.model;
        unit.flags = row.flags;
        unit.cab_serial = row.cab_serial;
        Outcome out = claim(unit);
        EXPECT_EQ(out.result, row.result);
        EXPECT_EQ(out.log, row.log);
        EXPECT_EQ(out.opens, row.opens);
    }
}

TEST_F(Claim, VendorIdentificationMustBeDgcUpToTheFirstBlank)
{
    const struct {
        const char *vendor;
        int result;
    } rows[] = {
        {"DGC", ZK_CLAIMED},      {"DGC\tXY", ZK_CLAIMED},
        {"DGCX", ZK_NOT_CLAIMED}, {"dgc", ZK_NOT_CLAIMED},
        {"DG", ZK_NOT_CLAIMED},   {" DGC", ZK_NOT_CLAIMED},
        {"SEAGATE", ZK_NOT_CLAIMED},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.vendor);
        Outcome out = claim(UnitDef{}, make_inquiry(row.vendor));
        EXPECT_EQ(out.result, row.result);
        if (row.result == ZK_NOT_CLAIMED) {
            EXPECT_EQ(out.log, "\nclaim_device for " + P + "\nnot claiming: " + P +
                                   "\n\n" + result_line(1));
            EXPECT_EQ(out.opens, 0u) << "a foreign device was opened";
        }
    }
}

TEST_F(Claim, RefusesUnsupportedModelsAndShowsTheModelWhole)
{
    // The end mark of the table is no refused model.
    EXPECT_EQ(SupportedClariion(-1), 1);

    // The MODEL line shows "%4d"; numbers wider than four characters are
    // shown whole.
    const struct {
        uint32_t model;
        int result;
        const char *shown;
    } rows[] = {
        {7624, ZK_NOT_CLAIMED, nullptr},
        {5600, ZK_NOT_CLAIMED, nullptr},
        {7623, ZK_CLAIMED, "MODEL: [7623]\n"},
        {4700, ZK_CLAIMED, "MODEL: [4700]\n"},
        {42, ZK_CLAIMED, "MODEL: [  42]\n"},
        {123456, ZK_CLAIMED, "MODEL: [123456]\n"},
        {0xFFFFFFFFu, ZK_CLAIMED, "MODEL: [  -1]\n"},
        {0x80000000u, ZK_CLAIMED, "MODEL: [-2147483648]\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.model);
        UnitDef unit;
        unit.model = row.model;
        Outcome out = claim(unit);
        EXPECT_EQ(out.result, row.result);
        if (row.shown != nullptr) {
            EXPECT_NE(out.log.find(row.shown), std::string::npos) << out.log;
        }
    }
    UnitDef wide;
    wide.model = 0x80000000u;
    EXPECT_NE(claim(wide).log.find("SpMdl:-2147483648  AT: 1\n"), std::string::npos);
}

// The default list with the named pairs given other values.
std::vector<std::string> default_list_with(
    std::initializer_list<std::pair<std::string, std::string>> changes)
{
    std::vector<std::string> list = default_list();
    for (const auto &change : changes) {
        for (std::string &pair : list) {
            if (pair.compare(0, change.first.size() + 1, change.first + "=") == 0)
                pair = change.first + "=" + change.second;
        }
    }
    return list;
}

TEST_F(Claim, PropertiesFollowTheUnit)
{
    struct Row {
        const char *name;
        void (*change)(UnitDef &);
        std::array<unsigned char, 36> inq;
        std::vector<std::string> list;
    };
    const std::string hex16 = "00112233445566778899AABBCCDDEEFF";
    const std::string s32(32, 'S');
    const std::vector<Row> rows = {
        {"owner byte 0", [](UnitDef &u) { u.owner = 0; }, make_inquiry(),
         default_list_with({{"LUN_OWNER", "N"}})},
        {"owner byte 0x80", [](UnitDef &u) { u.owner = 0x80; }, make_inquiry(),
         default_list()},
        {"SP 0", [](UnitDef &u) { u.sp = 0; }, make_inquiry(),
         default_list_with({{"PORT_SERIAL_NO", "F1234567A"}})},
        {"SP 2", [](UnitDef &u) { u.sp = 2; }, make_inquiry(),
         default_list_with({{"PORT_SERIAL_NO", "F1234567C"}})},
        {"cabinet serial with an inner blank",
         [](UnitDef &u) { u.sp = 0; u.cab_serial = "\"ABC 123\""; }, make_inquiry(),
         default_list_with({{"CAB_SERIAL_NO", "ABC 123"}, {"PORT_SERIAL_NO", "ABCA"}})},
        {"page length 0", [](UnitDef &u) { u.extra = "  vpd 0x80 hex:00800000\n"; },
         make_inquiry(),
         default_list_with({{"CAB_SERIAL_NO", ""}, {"PORT_SERIAL_NO", "B"}})},
        {"16 cabinet serial bytes not printable",
         [](UnitDef &u) { u.cab_serial = "hex:00112233445566778899AABBCCDDEEFF"; },
         make_inquiry(),
         default_list_with({{"CAB_SERIAL_NO", hex16}, {"PORT_SERIAL_NO", hex16 + "B"}})},
        {"32 printable cabinet serial bytes",
         [](UnitDef &u) { u.cab_serial = "\"" + std::string(32, 'S') + "\""; },
         make_inquiry(),
         default_list_with({{"CAB_SERIAL_NO", s32}, {"PORT_SERIAL_NO", s32 + "B"}})},
        {"printable identifier", [](UnitDef &u) { u.lun_id = "\"ABCDEFGHIJKLMNOP\""; },
         make_inquiry(), default_list_with({{"LUN_SERIAL_NO", "ABCDEFGHIJKLMNOP"}})},
        {"identifier ended by one zero byte",
         [](UnitDef &u) { u.lun_id = "\"ABCDEFGHIJKLMNO\\x00\""; }, make_inquiry(),
         default_list_with({{"LUN_SERIAL_NO", "ABCDEFGHIJKLMNO"}})},
        {"short revision, version byte with high bits", [](UnitDef &) {},
         make_inquiry("DGC", "02", 0x85),
         default_list_with({{"REVISION", "02"}, {"SCSI_VERSION", "5"}})},
        {"SP Report of exactly 12 bytes",
         [](UnitDef &u) { u.extra = "  mode 0x26 hex:0B000000 00000001 0000125C\n"; },
         make_inquiry(), default_list()},
        {"Unit Config of exactly 15 bytes",
         [](UnitDef &u) { u.extra = "  mode 0x2B hex:0E000000 2B0A0300 48000000 000001\n"; },
         make_inquiry(), default_list()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        UnitDef unit;
        row.change(unit);
        Outcome out = claim(unit, row.inq);
        ASSERT_EQ(out.result, ZK_CLAIMED) << out.log;
        EXPECT_EQ(out.list, row.list);
    }
}

TEST_F(Claim, DeviceIdentificationTooShortForTheTraceNumbersShowsThemAsZero)
{
    UnitDef unit;
    unit.extra = "  vpd 0x83 hex:00830014 01030010 600601601A2B3C4D5E6F708192A3B4C5\n";
    Outcome out = claim(unit);
    ASSERT_EQ(out.result, ZK_CLAIMED) << out.log;
    EXPECT_EQ(out.list, default_list());
    EXPECT_NE(out.log.find(P + ": VLU: 0x00  LU: 0x00\n"), std::string::npos) << out.log;
}

TEST_F(Claim, ReadsTheFourPagesWithTheirOpenFlags)
{
    Outcome out = claim(UnitDef{});
    ASSERT_EQ(out.result, ZK_CLAIMED);

    // Close-on-exec added to each: a program the host starts inherits no device.
    const int inquiry_flags = O_RDONLY | O_NDELAY | O_CLOEXEC;
    const int expected_flags[] = {O_RDONLY | O_CLOEXEC, O_RDONLY | O_CLOEXEC, inquiry_flags, inquiry_flags};
    ASSERT_EQ(zksim_open_count(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        zksim_open_record open{};
        ASSERT_EQ(zksim_open_at(i, &open), 0);
        EXPECT_STREQ(open.path, kDefaultPath);
        EXPECT_EQ(open.flags, expected_flags[i]) << "open " << i;
    }
    // Two passes per page: opcode and page code of each command.
    const unsigned char expected[][2] = {{0x1A, 0x26}, {0x1A, 0x26}, {0x1A, 0x2B},
                                         {0x1A, 0x2B}, {0x12, 0x83}, {0x12, 0x83},
                                         {0x12, 0x80}, {0x12, 0x80}};
    ASSERT_EQ(zksim_command_count(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        zksim_command_record command{};
        ASSERT_EQ(zksim_command_at(i, &command), 0);
        EXPECT_EQ(command.cdb[0], expected[i][0]) << "command " << i;
        EXPECT_EQ(command.cdb[2], expected[i][1]) << "command " << i;
    }
}

TEST_F(Claim, PathFieldWithoutTerminatorIsNeitherReadPastNorOpened)
{
    // The unit answers at the 127-byte prefix, which a cut path would name.
    const std::string prefix = "/dev/zkclaim/" + std::string(127 - 13, 'p');
    UnitDef unit;
    unit.path = prefix;
    ASSERT_EQ(load_units({unit}), "");
    auto inq = make_inquiry();

    device_entry entry = make_entry(prefix, inq.data());
    entry.path[127] = 'q';
    Outcome out = claim_entry(entry);
    EXPECT_EQ(out.result, ZK_CLAIM_FAILED);
    EXPECT_EQ(out.opens, 0u);
    const std::string shown = prefix;
    EXPECT_EQ(out.log, "\nclaim_device for " + shown +
                           "\nDGC inquiry match : trying to claim: " + shown +
                           "\nV10 claim_device: device path not terminated" +
                           shown + " : retval -1  \n");

    // The same field with its terminator in the last byte is a whole path.
    entry.path[127] = '\0';
    out = claim_entry(entry);
    EXPECT_EQ(out.result, ZK_CLAIMED) << out.log;
    EXPECT_EQ(out.opens, 4u);

    // A foreign device is refused as usual, whatever its path.
    auto foreign = make_inquiry("SEAGATE");
    entry.inquiry = foreign.data();
    entry.path[127] = 'q';
    EXPECT_EQ(claim_entry(entry).result, ZK_NOT_CLAIMED);
}

}  // namespace
