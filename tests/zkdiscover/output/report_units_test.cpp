// zkdiscover's outputs from lists of results: the tree's grouping, the JSON
// document, the export lines, the capture description, and the command line.
#include "capture.h"
#include "options.h"
#include "report.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

zkd::DeviceResult claimed(const std::string &path, const std::string &cab, const std::string &lun,
                          char sp, bool owner, const std::string &rev = "0219")
{
    zkd::DeviceResult r;
    r.path = path;
    r.outcome = zkd::Outcome::Claimed;
    std::string first_word = cab.substr(0, cab.find(' '));
    r.properties = {{"CAB_SERIAL_NO", cab},
                    {"LUN_SERIAL_NO", lun},
                    {"REVISION", rev},
                    {"SCSI_VERSION", "4"},
                    {"LUN_OWNER", owner ? "Y" : "N"},
                    {"PORT_SERIAL_NO", first_word + sp}};
    return r;
}

zkd::DeviceResult other(const std::string &path, zkd::Outcome outcome, const std::string &vendor)
{
    zkd::DeviceResult r;
    r.path = path;
    r.outcome = outcome;
    r.claim_result = outcome == zkd::Outcome::NotClaimed ? 1 : -1;
    r.inquiry.assign(36, ' ');
    for (size_t i = 0; i < vendor.size(); ++i)
        r.inquiry[8 + i] = static_cast<unsigned char>(vendor[i]);
    return r;
}

zkd::DeviceResult unreadable(const std::string &path, int error)
{
    zkd::DeviceResult r;
    r.path = path;
    r.outcome = zkd::Outcome::Unreadable;
    r.error_number = error;
    r.error = "cannot read its INQUIRY data";
    return r;
}

// Two arrays met in interleaved order, one LUN with no owning path.
std::vector<zkd::DeviceResult> sample()
{
    return {
        claimed("/dev/sg1", "CAB1", "LUN-A", 'A', true),
        claimed("/dev/sg2", "CAB2 X", "LUN-C", 'B', false),
        claimed("/dev/sg3", "CAB1", "LUN-B", 'A', false),
        claimed("/dev/sg4", "CAB1", "LUN-A", 'B', false, "0220"),
        other("/dev/sg5", zkd::Outcome::NotClaimed, "SEAGATE"),
        other("/dev/sg6", zkd::Outcome::Failed, "DGC"),
        unreadable("/dev/sg7", 13),
        claimed("/dev/sg8", "CAB1", "LUN-B", 'B', true),
    };
}

zkd::ReportContext context(bool explain = false)
{
    zkd::ReportContext c;
    c.library_path = "/lib/libzkDGCclariion.so";
    c.interface_version = 1;
    c.vendor_info = {"VID=DGC", "PID=CLARiiON", "ATYPE=A/P", "ANAME=EMC_CLARiiON"};
    c.explain = explain;
    return c;
}

TEST(GroupClaims, ArraysAndLunsInOrderOfTheirFirstPath)
{
    std::vector<zkd::DeviceResult> results = sample();
    std::vector<zkd::ArrayView> arrays = zkd::group_claims(results);
    ASSERT_EQ(arrays.size(), 2u);
    EXPECT_EQ(arrays[0].cabinet_serial, "CAB1");
    EXPECT_EQ(arrays[0].path_count, 4u);
    ASSERT_EQ(arrays[0].luns.size(), 2u);
    EXPECT_EQ(arrays[0].luns[0].lun_serial, "LUN-A");
    EXPECT_EQ(arrays[0].luns[1].lun_serial, "LUN-B");
    const auto &paths = arrays[0].luns[1].paths;
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0].device->path, "/dev/sg3");
    EXPECT_EQ(paths[0].sp, "A");
    EXPECT_FALSE(paths[0].owner);
    EXPECT_EQ(paths[1].device->path, "/dev/sg8");
    EXPECT_EQ(paths[1].sp, "B");
    EXPECT_TRUE(paths[1].owner);
    // The cabinet serial keeps its blank; the port serial is its first word.
    EXPECT_EQ(arrays[1].cabinet_serial, "CAB2 X");
    EXPECT_EQ(arrays[1].luns[0].paths[0].port_serial, "CAB2B");
}

TEST(Tree, ShowsEverySectionAndFlagsAnUnownedLun)
{
    std::vector<zkd::DeviceResult> results = sample();
    std::string tree = zkd::render_tree(context(), results);
    const char *expected_lines[] = {
        "Library: /lib/libzkDGCclariion.so (interface version 1)\n",
        "  VID=DGC  PID=CLARiiON  ATYPE=A/P  ANAME=EMC_CLARiiON\n",
        "\nArray CAB1: 2 LUNs, 4 paths\n"
        "|-- LUN LUN-A  rev 0219  SCSI 4\n"
        "|   |-- /dev/sg1  SP A  port CAB1A  owner\n"
        "|   `-- /dev/sg4  SP B  port CAB1B  rev 0220\n"
        "`-- LUN LUN-B  rev 0219  SCSI 4\n"
        "    |-- /dev/sg3  SP A  port CAB1A\n"
        "    `-- /dev/sg8  SP B  port CAB1B  owner\n",
        "\nArray CAB2 X: 1 LUN, 1 path\n"
        "`-- LUN LUN-C  rev 0219  SCSI 4  (no path through the owning SP)\n"
        "    `-- /dev/sg2  SP B  port CAB2B\n",
        "\nNot claimed: 1 device (--explain shows why)\n`-- /dev/sg5  SEAGATE\n",
        "\nClaim failed: 1 device (--explain shows why)\n`-- /dev/sg6  DGC\n",
        "\nNot examined: 1 device\n`-- /dev/sg7: cannot read its INQUIRY data\n",
        "\nSummary: 5 paths claimed (2 arrays, 3 LUNs), 1 not claimed, 1 failed, 1 not examined\n",
    };
    for (const char *part : expected_lines)
        EXPECT_NE(tree.find(part), std::string::npos) << "missing:\n" << part << "\nin:\n" << tree;
    EXPECT_EQ(tree.find("Simulated"), std::string::npos);
}

TEST(Tree, ExplainPutsTraceLinesUnderTheirDevice)
{
    std::vector<zkd::DeviceResult> results = {other("/dev/sg5", zkd::Outcome::NotClaimed, "SEAGATE"),
                                              other("/dev/sg6", zkd::Outcome::Failed, "DGC")};
    results[0].trace = {"", "claim_device for /dev/sg5", "not claiming: /dev/sg5", "",
                        "/dev/sg5 : retval 1  "};
    std::string tree = zkd::render_tree(context(true), results);
    EXPECT_NE(tree.find("Not claimed: 1 device\n"
                        "`-- /dev/sg5  SEAGATE\n"
                        "    |-- > claim_device for /dev/sg5\n"
                        "    |-- > not claiming: /dev/sg5\n"
                        "    `-- > /dev/sg5 : retval 1\n"),
              std::string::npos)
        << tree;
    EXPECT_NE(tree.find("`-- /dev/sg6  DGC\n    `-- > (the library wrote no trace)\n"),
              std::string::npos)
        << tree;
}

TEST(Json, CarriesTheTreeAndEveryProperty)
{
    std::vector<zkd::DeviceResult> results = sample();
    results[4].inquiry[10] = 0xC3;   // invalid UTF-8 must not break the document
    std::string text = zkd::render_json_text(context(), results);
    nlohmann::json doc = nlohmann::json::parse(text);

    EXPECT_EQ(doc["library"]["interface_version"], 1);
    EXPECT_EQ(doc["library"]["vendor_info"].size(), 4u);
    EXPECT_TRUE(doc["simulation"].is_null());
    ASSERT_EQ(doc["arrays"].size(), 2u);
    const auto &lun_b = doc["arrays"][0]["luns"][1];
    EXPECT_EQ(lun_b["lun_serial"], "LUN-B");
    EXPECT_EQ(lun_b["paths"][1]["device"], "/dev/sg8");
    EXPECT_EQ(lun_b["paths"][1]["sp"], "B");
    EXPECT_EQ(lun_b["paths"][1]["owner"], true);
    EXPECT_EQ(lun_b["paths"][1]["properties"]["PORT_SERIAL_NO"], "CAB1B");
    EXPECT_EQ(lun_b["paths"][1]["properties"].size(), 6u);
    EXPECT_FALSE(lun_b["paths"][1].contains("trace"));

    EXPECT_EQ(doc["not_claimed"][0]["device"], "/dev/sg5");
    EXPECT_EQ(doc["not_claimed"][0]["result"], 1);
    EXPECT_EQ(doc["failed"][0]["result"], -1);
    EXPECT_EQ(doc["not_examined"][0]["errno"], 13);
    const auto &summary = doc["summary"];
    EXPECT_EQ(summary["devices"], 8);
    EXPECT_EQ(summary["claimed"], 5);
    EXPECT_EQ(summary["arrays"], 2);
    EXPECT_EQ(summary["luns"], 3);

    // Written a member at a time, laid out as a dump of the whole document:
    // empty lists, traces and replaced bytes included.
    using ojson = nlohmann::ordered_json;
    std::vector<zkd::DeviceResult> traced = results;
    traced[0].trace = {"claim_device for /dev/sg1", ""};
    for (const std::string &written :
         {text, zkd::render_json_text(context(), {}), zkd::render_json_text(context(true), traced)})
        EXPECT_EQ(written,
                  ojson::parse(written).dump(2, ' ', false, ojson::error_handler_t::replace) + "\n");
}

TEST(Identity, EachDeviceShowsItsNodesAndAddressInEveryOutput)
{
    std::vector<zkd::DeviceResult> results = {claimed("/dev/sg3", "CAB1", "LUN-A", 'A', true),
                                              unreadable("/dev/sg4", 5),
                                              claimed("/dev/sim/sdb", "CAB1", "LUN-A", 'B', false)};
    results[0].scsi_address = "2:0:0:1";
    results[0].other_node = "/dev/sdb";
    results[1].scsi_address = "2:0:0:0";   // an sg node without a disk
    std::string tree = zkd::render_tree(context(), results);
    EXPECT_NE(tree.find("|-- /dev/sg3 /dev/sdb [2:0:0:1]  SP A  port CAB1A  owner\n"
                        "    `-- /dev/sim/sdb  SP B  port CAB1B\n"),
              std::string::npos) << tree;
    EXPECT_NE(tree.find("`-- /dev/sg4 [2:0:0:0]: cannot read"), std::string::npos) << tree;

    nlohmann::json doc = nlohmann::json::parse(zkd::render_json_text(context(), results));
    const auto &paths = doc["arrays"][0]["luns"][0]["paths"];
    EXPECT_EQ(paths[0]["scsi_address"], "2:0:0:1");
    EXPECT_EQ(paths[0]["nodes"], nlohmann::json::array({"/dev/sg3", "/dev/sdb"}));
    EXPECT_FALSE(paths[1].contains("scsi_address"));   // simulated: as before
    EXPECT_FALSE(paths[1].contains("nodes"));
    EXPECT_EQ(doc["not_examined"][0]["nodes"], nlohmann::json::array({"/dev/sg4"}));

    EXPECT_EQ(zkd::render_export(results).rfind(
                  "DEVICE='/dev/sg3'\nSCSI_ADDRESS='2:0:0:1'\nDEVICE_NODES='/dev/sg3 /dev/sdb'\n"
                  "CAB_SERIAL_NO='CAB1'\n", 0),
              0u);
    EXPECT_NE(zkd::render_export(results).find("\n\nDEVICE='/dev/sim/sdb'\nCAB_SERIAL_NO="),
              std::string::npos);
}

// A device that did not answer: its own outcome in every output, with what
// is known of it, apart from the devices not examined.
TEST(NotAnswering, ItsOwnOutcomeInEveryOutput)
{
    zkd::DeviceResult silent;
    silent.path = "/dev/sg5";
    silent.other_node = "/dev/sdf";
    silent.scsi_address = "3:0:1:0";
    silent.outcome = zkd::Outcome::NotAnswering;
    silent.error = "no answer within 10 s";
    silent.properties = {{"CAB_SERIAL_NO", "CAB1"}, {"LUN_SERIAL_NO", "LUN-A"}, {"SP", "B"},
                         {"KNOWN_FROM", "kernel, earlier scan"}};
    zkd::DeviceResult unknown = silent;
    unknown.path = "/dev/sg6";
    unknown.other_node = unknown.scsi_address = "";
    unknown.properties = zkd::PropertyList();
    std::vector<zkd::DeviceResult> results = {claimed("/dev/sg1", "CAB1", "LUN-A", 'A', true),
                                              silent, unreadable("/dev/sg7", 5), unknown};

    std::string tree = zkd::render_tree(context(), results);
    for (const char *part :
         {"\nNot answering: 2 devices\n"
          "|-- /dev/sg5 /dev/sdf [3:0:1:0]: no answer within 10 s; LUN LUN-A of array CAB1 "
          "through SP B (known from the kernel and the earlier scan)\n"
          "`-- /dev/sg6: no answer within 10 s\n\nNot examined: 1 device\n",
          ", 1 not examined, 2 not answering\n"})
        EXPECT_NE(tree.find(part), std::string::npos) << tree;

    nlohmann::json doc = nlohmann::json::parse(zkd::render_json_text(context(), results));
    EXPECT_EQ(doc["not_answering"][0],
              nlohmann::json::parse(R"({"device":"/dev/sg5","scsi_address":"3:0:1:0",
                  "nodes":["/dev/sg5","/dev/sdf"],"error":"no answer within 10 s",
                  "cabinet_serial":"CAB1","lun_serial":"LUN-A","sp":"B",
                  "known_from":"kernel, earlier scan"})"));
    EXPECT_EQ(doc["not_answering"][1]["lun_serial"], "");
    EXPECT_EQ(doc["not_examined"].size(), 1u);
    EXPECT_EQ(doc["summary"]["not_answering"], 2);
    EXPECT_EQ(doc["summary"]["not_examined"], 1);

    std::string exported = zkd::render_export(results);
    EXPECT_NE(exported.find("\n\nDEVICE='/dev/sg5'\nSCSI_ADDRESS='3:0:1:0'\n"
                            "DEVICE_NODES='/dev/sg5 /dev/sdf'\nOUTCOME=not_answering\n"
                            "ERROR='no answer within 10 s'\nCAB_SERIAL_NO='CAB1'\n"
                            "LUN_SERIAL_NO='LUN-A'\nSP='B'\nKNOWN_FROM='kernel, earlier scan'\n"
                            "\nDEVICE='/dev/sg6'\nOUTCOME=not_answering\n"),
              std::string::npos) << exported;
    EXPECT_EQ(exported.find("/dev/sg7"), std::string::npos);
}

// ---- Capture ------------------------------------------------------------

// A command as the recorder keeps it: its CDB and what came back.
zkd::RecordedCommand command(std::vector<std::uint8_t> cdb, std::vector<std::uint8_t> data)
{
    zkd::RecordedCommand c;
    c.cdb = std::move(cdb);
    c.data = std::move(data);
    return c;
}

zkd::DeviceResult captured_device()
{
    zkd::DeviceResult r = other("/dev/sg9", zkd::Outcome::Failed, "DGC");
    r.inquiry = {0x00, 0x00, 0x04, 0x02, 0x1f, 0xab};
    r.capture.commands = {
        command({0x12, 0, 0, 0, 5, 0}, {0x00, 0x00, 0x04}),
        command({0x12, 0, 0, 0, 6, 0}, r.inquiry),
        command({0x1a, 0x08, 0x26, 0, 4, 0}, {0x0b, 0x00, 0x00, 0x00}),
        command({0x1a, 0x08, 0x26, 0, 5, 0}, {0x0b, 0x00, 0x00, 0x00, 0x26}),
        command({0x12, 1, 0x80, 0, 4, 0}, {0x00, 0x80, 0x00, 0x01}),
        command({0x12, 1, 0x80, 0, 5, 0}, {0x00, 0x80, 0x00, 0x01, 0x41}),
    };
    return r;
}

TEST(Capture, EachPageIsKeptWholeAndEachFailureIsAFaultAtItsPosition)
{
    zkd::RecordedCommand eio, check, descriptor, host, busy, interrupted, timed_out;
    eio.error = 5;
    interrupted.error = EINTR;     // at its deadline
    timed_out.host_status = 0x03;  // DID_TIME_OUT
    check.status = 0x02;
    check.driver_status = 0x08;   // the driver's "sense data follows"
    check.sense = {0x70, 0, 0x06, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x29, 0x01};
    descriptor.status = 0x02;
    descriptor.sense = {0x72, 0x04, 0x44, 0x00};
    host.host_status = 0x07;
    busy.status = 0x08;   // BUSY: the library sees an I/O error
    struct Case {
        zkd::RecordedCommand failing;
        const char *fault;
    } cases[] = {
        {eio, "  fault command 7 errno 5 "},
        {check, "  fault command 7 check 6 41 1 "},
        {descriptor, "  fault command 7 check 4 68 0 "},
        {host, "  fault command 7 host 7\n"},
        {busy, "  fault command 7 errno 5 "},
        {interrupted, "  fault command 7 hang "},
        {timed_out, "  fault command 7 hang "},
    };
    for (const Case &c : cases) {
        zkd::DeviceResult d = captured_device();
        d.capture.commands.push_back(c.failing);
        std::string text = zkd::capture_description({d}, "");
        EXPECT_NE(text.find("unit /dev/sg9\n  inquiry hex:00 00 04 02 1f ab\n"
                            "  vpd 0x80 hex:00 80 00 01 41\n"
                            "  mode 0x26 hex:0b 00 00 00 26\n" + std::string(c.fault)),
                  std::string::npos) << text;
        EXPECT_EQ(text.rfind("capture\n", 0), 0u);
        EXPECT_EQ(text.substr(text.size() - 5), "\nend\n");
    }
}

TEST(Capture, UnreadableDevicesReplayTheirFailure)
{
    zkd::DeviceResult no_open = unreadable("/dev/sg1", 13);
    no_open.capture.open_error = 13;
    zkd::DeviceResult no_answer = unreadable("/dev/sg2", 5);
    zkd::DeviceResult odd_path = unreadable("/dev/my disk", 5);
    std::string text = zkd::capture_description({no_open, no_answer, odd_path}, "");
    EXPECT_NE(text.find("unit /dev/sg1\n  fault open 13 "), std::string::npos) << text;
    EXPECT_NE(text.find("unit /dev/sg2\n  fault command 1 errno 5 "), std::string::npos) << text;
    EXPECT_EQ(text.find("unit /dev/my disk"), std::string::npos) << text;
    EXPECT_NE(text.find("# skipped /dev/my disk"), std::string::npos) << text;
}

TEST(Capture, WriteCreatesTheDirectoryAndRefusesAFile)
{
    zktest::TempDir dir("zkd_capture");
    const std::string &base = dir.path();
    std::string error;
    std::string file = zkd::write_capture(base + "/new", "unit /dev/x\n", error);
    EXPECT_EQ(file, base + "/new/capture.sim") << error;
    std::string not_dir = zkd::write_capture(file, "x", error);
    EXPECT_EQ(not_dir, "");
    EXPECT_NE(error.find("not a folder"), std::string::npos) << error;
}

// ---- Command line --------------------------------------------------------

struct Parsed {
    int code;
    zkd::Options options;
    std::string out, err;
};

Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "zkdiscover");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p;
    p.code = zkd::parse_options(static_cast<int>(args.size()), argv.data(), p.options, p.out, p.err);
    return p;
}

TEST(Options, UsageErrorsExitWithTheirCode)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--json", "--export"},
        {"--explain", "--export"},
        {"--jobs", "0"},
        {"--jobs", "257"},
        {"--jobs", "many"},
        {"--device-timeout", "0"},
        {"--device-timeout", "3601"},
        {"--device-timeout", "1.5"},
        {"--scan-timeout", "0"},
        {"--scan-timeout", "soon"},
        {"--scan-timeout="},
        {"--no-such-option"},
        {"--library"},
        {""},
    };
    for (const auto &args : bad) {
        Parsed p = parse(args);
        EXPECT_EQ(p.code, zkd::kExitUsage) << args[0];
        EXPECT_FALSE(p.err.empty()) << args[0];
    }
}

TEST(Options, SimulateTakesAnOptionalFile)
{
    Parsed bare = parse({"--simulate"});
    EXPECT_EQ(bare.code, -1);
    EXPECT_TRUE(bare.options.simulate);
    EXPECT_EQ(bare.options.description, "");

    Parsed with_file = parse({"/dev/sg1", "--simulate=x.sim", "--json", "-j", "4"});
    EXPECT_EQ(with_file.code, -1);
    EXPECT_TRUE(with_file.options.simulate);
    EXPECT_EQ(with_file.options.description, "x.sim");
    EXPECT_EQ(with_file.options.devices, std::vector<std::string>{"/dev/sg1"});
    EXPECT_EQ(with_file.options.format, zkd::Format::Json);
    EXPECT_EQ(with_file.options.jobs, 4);

    Parsed plain = parse({"--export", "/dev/sg2"});
    EXPECT_FALSE(plain.options.simulate);
    EXPECT_EQ(plain.options.format, zkd::Format::Export);
}

TEST(Options, HelpListsEveryExitCode)
{
    Parsed p = parse({"--help"});
    EXPECT_EQ(p.code, zkd::kExitOk);
    for (int code = 0; code <= 7; ++code)
        EXPECT_NE(p.out.find("\n  " + std::to_string(code) + "  "), std::string::npos) << code;
}

}  // namespace
