// zkdiscover's units on their own: device ordering, sysfs discovery over a
// fake tree (one device per SCSI address), and the host's side of a claim
// against a fake library, with each claim's trace kept per thread.
#include "claims.h"
#include "device_scan.h"
#include "kernel_view.h"
#include "not_answering.h"
#include "report.h"
#include "trace_log.h"

#include "fake_tree.h"

extern "C" char *zkd_take_trace(void);

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using zkdtest::TempDir;

TEST(NaturalOrder, ComparesLikeTheKernelNumbersDevices)
{
    struct Case {
        const char *a, *b;
        bool a_first;
    } cases[] = {
        {"/dev/sg2", "/dev/sg10", true},
        {"/dev/sg10", "/dev/sg2", false},
        {"/dev/sdz", "/dev/sdaa", true},
        {"/dev/sdb", "/dev/sdc", true},
        {"/dev/sg1", "/dev/sg01", true},     // equal value: fewer zeros first
        {"/dev/sg01", "/dev/sg1", false},
        {"/dev/sg1", "/dev/sg1", false},     // irreflexive
        {"/dev/sg1", "/dev/sg1a", true},     // prefix first
        {"x9", "x10", true},
        {"path99/a", "path100/a", true},
        {"/dev/sim/sdb", "/dev/sim/sdb2", true},
        {"18446744073709551616", "18446744073709551617", true},  // beyond 64 bits
    };
    for (const Case &c : cases)
        EXPECT_EQ(zkd::natural_less(c.a, c.b), c.a_first) << c.a << " vs " << c.b;
}

TEST(NaturalOrder, SortDropsRepeatedPaths)
{
    std::vector<std::string> paths = {"/dev/sg10", "/dev/sg2", "/dev/sg10", "/dev/sg1"};
    zkd::sort_unique_natural(paths);
    EXPECT_EQ(paths, (std::vector<std::string>{"/dev/sg1", "/dev/sg2", "/dev/sg10"}));
}

TEST(FindDevices, TakesEveryScsiGenericNodeInOrder)
{
    TempDir sys;
    for (const char *sg : {"sg10", "sg0", "sg2"})
        sys.make_dir(std::string("class/scsi_generic/") + sg);
    sys.make_dir("class/block/sda");  // ignored while sg nodes exist

    zkd::DeviceList list = zkd::find_devices(sys.path(), "/dev");
    EXPECT_EQ(list.paths, (std::vector<std::string>{"/dev/sg0", "/dev/sg2", "/dev/sg10"}));
    EXPECT_TRUE(list.messages.empty());
}

TEST(FindDevices, FallsBackToWholeScsiDisksWithoutScsiGenericNodes)
{
    TempDir sys;
    sys.make_dir("bus/scsi");
    sys.make_dir("bus/nvme");
    struct Disk {
        const char *name;
        const char *subsystem;   // nullptr: no device link (virtual)
        bool partition;
    } disks[] = {
        {"sdb", "bus/scsi", false},
        {"sda", "bus/scsi", false},
        {"sda1", "bus/scsi", true},
        {"nvme0n1", "bus/nvme", false},
        {"loop0", nullptr, false},
    };
    sys.make_dir("class/scsi_generic");  // present but empty: no sg driver nodes
    for (const Disk &d : disks) {
        std::string entry = std::string("class/block/") + d.name;
        sys.make_dir(entry + "/device");
        if (d.subsystem)
            sys.make_link(sys.path() + "/" + d.subsystem, entry + "/device/subsystem");
        if (d.partition)
            sys.make_file(entry + "/partition", "1\n");
    }

    zkd::DeviceList list = zkd::find_devices(sys.path(), "/dev");
    EXPECT_EQ(list.paths, (std::vector<std::string>{"/dev/sda", "/dev/sdb"}));
}

TEST(FindDevices, MissingSysfsIsReportedNotFatal)
{
    TempDir sys;
    zkd::DeviceList list = zkd::find_devices(sys.path() + "/absent", "/dev");
    EXPECT_TRUE(list.paths.empty());
    ASSERT_FALSE(list.messages.empty());
    EXPECT_NE(list.messages.back().find("class/block"), std::string::npos);
}

// A fake sysfs with SCSI devices as the kernel lays them out: the device
// directory named by its address, with block/ and scsi_generic/ (or the
// older block:NAME and scsi_generic:NAME entries), and the class entries'
// device links and dev numbers.
struct FakeScsiDevice {
    const char *address;
    const char *sg;      // "" when none
    const char *block;   // "" when none
    bool old_layout;
};

void make_scsi_devices(const TempDir &sys, const std::vector<FakeScsiDevice> &devices)
{
    int minor = 0;
    for (const FakeScsiDevice &d : devices) {
        std::string dir = "devices/pci0/host9/" + std::string(d.address);
        sys.make_dir(dir);
        struct Node {
            const char *name, *kind, *class_dir, *major;
        } nodes[] = {{d.sg, "scsi_generic", "class/scsi_generic/", "21"},
                     {d.block, "block", "class/block/", "8"}};
        for (const Node &n : nodes) {
            if (!*n.name)
                continue;
            std::string entry = n.class_dir + std::string(n.name);
            sys.make_dir(d.old_layout ? dir : dir + "/" + n.kind);
            sys.make_file(d.old_layout ? dir + "/" + n.kind + ":" + n.name
                                       : dir + "/" + n.kind + "/" + n.name);
            sys.make_dir(entry);
            sys.make_link(sys.path() + "/" + dir, entry + "/device");
            sys.make_file(entry + "/dev", std::string(n.major) + ":" + std::to_string(minor++) + "\n");
        }
    }
}

TEST(FindDevices, EachScsiDeviceOnceWithItsAddressAndBothNodes)
{
    TempDir sys;
    make_scsi_devices(sys, {{"2:0:0:1", "sg3", "sdb", false},
                            {"2:0:0:0", "sg2", "", false},     // enclosure: no disk
                            {"10:0:3:12", "sg10", "sdc", true}});
    zkd::DeviceList list = zkd::find_devices(sys.path(), "/dev");
    ASSERT_EQ(list.paths, (std::vector<std::string>{"/dev/sg2", "/dev/sg3", "/dev/sg10"}));
    ASSERT_EQ(list.identities.size(), 3u);
    const char *expected[][2] = {{"2:0:0:0", ""}, {"2:0:0:1", "/dev/sdb"}, {"10:0:3:12", "/dev/sdc"}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(list.identities[i].address, expected[i][0]) << i;
        EXPECT_EQ(list.identities[i].other_node, expected[i][1]) << i;
    }
}

TEST(NamedDevices, NodesOfOneScsiDeviceAreOneDevice)
{
    TempDir sys, dev;
    make_scsi_devices(sys, {{"2:0:0:1", "sg3", "sdb", false}, {"2:0:0:2", "sg4", "sdc", false}});
    // Entries of the fake /dev: plain files (no device number to check), a
    // link to one of them, and a node outside it with a known name.
    dev.make_file("sdb");
    dev.make_file("sg3");
    dev.make_dir("disk");
    dev.make_link(dev.path() + "/sdb", "disk/by-id-lun1");
    dev.make_file("disk/sg4");
    std::string d = dev.path();

    struct Case {
        std::vector<std::string> given;
        std::vector<std::string> paths;
        std::vector<std::string> labels;   // address, other node
    } cases[] = {
        {{d + "/sdb", d + "/sg3"}, {d + "/sdb"}, {"2:0:0:1 " + d + "/sg3"}},
        {{d + "/sg3", d + "/sdb", d + "/sg3"}, {d + "/sg3"}, {"2:0:0:1 " + d + "/sdb"}},
        {{d + "/disk/by-id-lun1", d + "/sg3"}, {d + "/disk/by-id-lun1"}, {"2:0:0:1 " + d + "/sg3"}},
        // Absent nodes are taken by their names.
        {{d + "/sg4", d + "/sdc"}, {d + "/sg4"}, {"2:0:0:2 " + d + "/sdc"}},
        // Not directly in /dev, or unknown to sysfs: kept apart, no identity.
        {{d + "/disk/sg4", d + "/sg4", d + "/sdz", d + "/sdz"},
         {d + "/disk/sg4", d + "/sg4", d + "/sdz"},
         {" ", "2:0:0:2 " + d + "/sdc", " "}},
    };
    for (const Case &c : cases) {
        zkd::DeviceList list = zkd::named_devices(c.given, sys.path(), d);
        EXPECT_EQ(list.paths, c.paths) << c.given[0];
        std::vector<std::string> labels;
        for (const zkd::ScsiIdentity &id : list.identities)
            labels.push_back(id.address + " " + id.other_node);
        EXPECT_EQ(labels, c.labels) << c.given[0];
    }

    // A real device node must carry the number sysfs gives its name:
    // /dev/null (character 1:3) is not the disk "null" of 8:0.
    TempDir fake;
    make_scsi_devices(fake, {{"3:0:0:0", "", "null", false}});
    zkd::DeviceList list = zkd::named_devices({"/dev/null"}, fake.path(), "/dev");
    ASSERT_EQ(list.identities.size(), 1u);
    EXPECT_EQ(list.identities[0].address, "");
}

// ---- The host's side of a claim, against a fake library ----------------

struct FakeDevice {
    std::vector<unsigned char> inquiry;   // standard INQUIRY answer
    int inquiry_error = 0;
    int claim_result = ZK_CLAIMED;
    std::vector<std::string> pairs;       // list handed over on claim
    int hang = 0;                         // Hang: how its INQUIRY is not answered
};

// Devices that do not answer: as on an sg node, until a signal is caught;
// as on a block node, through signals until the test releases them.
enum Hang { kAnswers, kUntilSignal, kUntilReleased };
std::atomic<bool> g_released{false};

int hang(int how)
{
    for (;;) {
        struct timespec wait = {0, 20000000};
        if (nanosleep(&wait, nullptr) == -1 && errno == EINTR && how == kUntilSignal)
            return EINTR;
        if (how == kUntilReleased && g_released)
            return EIO;
    }
}

std::mutex g_fake_mutex;
std::map<std::string, FakeDevice> g_devices;
std::vector<std::string> g_claimed_paths;    // in call order
std::chrono::steady_clock::time_point g_last_claim;
int g_lists_freed = 0;
std::vector<std::string> g_offered_inquiry;  // bytes 0..35 as claim saw them
std::vector<std::string> g_vpd_asked;        // paths asked for VPD 0xC0
std::map<std::string, std::vector<unsigned char>> g_unit_path_reports;  // none: EIO

int fake_do_inquiry(const char *path, int evpd, int page, int flags, int *length,
                    unsigned char **buffer)
{
    EXPECT_TRUE(evpd == 0 || page == 0xC0);
    EXPECT_EQ(flags, O_RDONLY | O_NDELAY);
    std::unique_lock<std::mutex> lock(g_fake_mutex);
    const FakeDevice &d = g_devices.at(path);
    if (d.hang != kAnswers) {
        int how = d.hang;
        lock.unlock();
        return hang(how);
    }
    if (d.inquiry_error)
        return d.inquiry_error;
    const std::vector<unsigned char> &answer = evpd ? g_unit_path_reports[path] : d.inquiry;
    if (evpd)
        g_vpd_asked.push_back(path);
    if (answer.empty())
        return EIO;
    *length = static_cast<int>(answer.size());
    *buffer = static_cast<unsigned char *>(std::malloc(answer.size() + 1));
    std::memcpy(*buffer, answer.data(), answer.size());
    return 0;
}

int fake_claim_device(const device_entry *entry, char ***list_out)
{
    std::lock_guard<std::mutex> lock(g_fake_mutex);
    g_claimed_paths.push_back(entry->path);
    g_last_claim = std::chrono::steady_clock::now();
    // The library reads up to byte 35: all of it must be there.
    g_offered_inquiry.emplace_back(reinterpret_cast<const char *>(entry->inquiry), 36);
    const FakeDevice &d = g_devices.at(entry->path);
    if (d.claim_result != ZK_CLAIMED)
        return d.claim_result;
    char **list = static_cast<char **>(std::calloc(d.pairs.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < d.pairs.size(); ++i)
        list[i] = strdup(d.pairs[i].c_str());
    *list_out = list;
    return ZK_CLAIMED;
}

void fake_nv_free(void *block)
{
    std::lock_guard<std::mutex> lock(g_fake_mutex);
    char **list = static_cast<char **>(block);
    for (size_t i = 0; list[i]; ++i)
        std::free(list[i]);
    std::free(list);
    ++g_lists_freed;
}

std::vector<unsigned char> standard_inquiry(const std::string &vendor, size_t size = 36)
{
    std::vector<unsigned char> data(size, ' ');
    data[0] = 0;
    data[2] = 4;
    for (size_t i = 0; i < vendor.size() && 8 + i < size; ++i)
        data[8 + i] = static_cast<unsigned char>(vendor[i]);
    return data;
}

class FakeLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Locked: a worker an earlier test left behind read the map so.
        std::lock_guard<std::mutex> lock(g_fake_mutex);
        g_devices.clear();
        g_claimed_paths.clear();
        g_offered_inquiry.clear();
        g_vpd_asked.clear();
        g_lists_freed = 0;
        library_.do_inquiry = fake_do_inquiry;
        library_.claim_device = fake_claim_device;
        library_.nv_free = fake_nv_free;
    }
    zkd::HostLibrary library_;
};

// The views are read inside the scan, right after a claim, for claimed
// devices only: VPD 0xC0 through do_inquiry, the kernel's view from sysfs
// by address or from the simulator; a view that cannot be read is left out.
bool fake_simulated_view(const std::string &path, zkd::KernelPathState &out)
{
    if (path == "/dev/v2")
        return false;
    out = zkd::kernel_state_from("emc", "standby", "0");
    return true;
}

TEST_F(FakeLibraryTest, ViewsReadInsideTheScanForClaimedDevices)
{
    std::vector<unsigned char> page(96, 0);
    page[1] = 0xC0;
    page[4] = 2;
    TempDir sys;
    sys.make_dir("bus/scsi/devices/0:0:0:0");
    sys.make_file("bus/scsi/devices/0:0:0:0/dh_state", "emc\n");
    sys.make_file("bus/scsi/devices/0:0:0:0/access_state", "active/optimized\n");
    struct Case {
        const char *path, *address;
        int claim;
        bool with_page, simulated;
        bool report_read, kernel_read;
        const char *kernel;
    } cases[] = {
        {"/dev/v0", "0:0:0:0", ZK_CLAIMED, true, false, true, true, "kernel emc active/optimized"},
        {"/dev/v1", "", ZK_CLAIMED, false, false, false, false, ""},
        {"/dev/v1", "9:9:9:9", ZK_CLAIMED, true, false, true, true, "kernel unknown"},
        {"/dev/v0", "0:0:0:0", ZK_CLAIMED, true, true, true, true, "kernel emc standby"},
        {"/dev/v2", "", ZK_CLAIMED, true, true, true, false, ""},
        {"/dev/v3", "0:0:0:0", ZK_NOT_CLAIMED, true, false, false, false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " at [" + c.address + "]" + (c.simulated ? " simulated" : ""));
        g_vpd_asked.clear();
        g_devices[c.path] = {standard_inquiry("DGC"), 0, c.claim, {"LUN_OWNER=Y"}};
        g_unit_path_reports[c.path] = c.with_page ? page : std::vector<unsigned char>{};
        std::vector<zkd::DeviceResult> results(1);
        results[0].path = c.path;
        results[0].scsi_address = c.address;
        zkd::ScanSettings settings;
        settings.jobs = 2;
        settings.views.read = true;
        settings.views.sysfs_root = sys.path();
        if (c.simulated)
            settings.views.simulated = fake_simulated_view;
        zkd::scan_devices(library_, results, {0}, settings);
        const zkd::KernelView &v = results[0].views;
        EXPECT_EQ(g_vpd_asked.size(), c.claim == ZK_CLAIMED ? 1u : 0u);
        EXPECT_EQ(v.report.read, c.report_read);
        EXPECT_EQ(v.kernel.read, c.kernel_read);
        if (c.kernel_read) {
            EXPECT_EQ(v.kernel.text(), c.kernel);
        }
    }
}

TEST_F(FakeLibraryTest, OutcomesFollowTheClaimResult)
{
    g_devices["/dev/a"] = {standard_inquiry("DGC"), 0, ZK_CLAIMED,
                           {"CAB_SERIAL_NO=F1234567", "LUN_OWNER=Y", "ODD"}};
    g_devices["/dev/b"] = {standard_inquiry("SEAGATE"), 0, ZK_NOT_CLAIMED, {}};
    g_devices["/dev/c"] = {standard_inquiry("DGC"), 0, ZK_CLAIM_FAILED, {}};
    g_devices["/dev/d"] = {standard_inquiry("DGC"), 0, 7, {}};
    g_devices["/dev/e"] = {{}, EACCES, 0, {}};
    g_devices["/dev/f"] = {{}, EIO, 0, {}};

    struct Case {
        const char *path;
        zkd::Outcome outcome;
        const char *error_part;   // "" when no error text is expected
    } cases[] = {
        {"/dev/a", zkd::Outcome::Claimed, ""},
        {"/dev/b", zkd::Outcome::NotClaimed, ""},
        {"/dev/c", zkd::Outcome::Failed, ""},
        {"/dev/d", zkd::Outcome::Failed, "unexpected claim result 7"},
        {"/dev/e", zkd::Outcome::Unreadable, "read access"},
        {"/dev/f", zkd::Outcome::Unreadable, "Input/output error"},
    };
    for (const Case &c : cases) {
        zkd::DeviceResult r = zkd::examine_device(library_, c.path, false);
        EXPECT_EQ(r.outcome, c.outcome) << c.path;
        if (*c.error_part)
            EXPECT_NE(r.error.find(c.error_part), std::string::npos) << c.path << ": " << r.error;
        else
            EXPECT_EQ(r.error, "") << c.path;
    }
    // Unreadable devices are never offered.
    EXPECT_EQ(g_claimed_paths, (std::vector<std::string>{"/dev/a", "/dev/b", "/dev/c", "/dev/d"}));
    EXPECT_EQ(g_lists_freed, 1);

    zkd::DeviceResult a = zkd::examine_device(library_, "/dev/a", false);
    EXPECT_TRUE(a.properties ==
                (zkd::PropertyList{{"CAB_SERIAL_NO", "F1234567"}, {"LUN_OWNER", "Y"}, {"ODD", ""}}));
    EXPECT_EQ(a.properties.size(), 3u);
    EXPECT_STREQ(zkd::find_property(a, "LUN_OWNER"), "Y");
    EXPECT_EQ(zkd::find_property(a, "REVISION"), nullptr);
}

TEST(PropertyList, KeepsPairsInOrderWhateverTheirBytes)
{
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    Pairs given = {{"A", "x=y"}, {"", ""}, {"B", "\xff\n"}, {"A", "second"}};
    zkd::PropertyList list{{"A", "x=y"}, {"", ""}, {"B", "\xff\n"}, {"A", "second"}};
    Pairs seen;
    for (zkd::PropertyList::Pair kv : list)
        seen.emplace_back(kv.first, kv.second);
    EXPECT_EQ(seen, given);
    EXPECT_EQ(list.size(), 4u);
    EXPECT_STREQ(list.find("A"), "x=y");   // the first of its name
    EXPECT_STREQ(list.find(""), "");
    EXPECT_EQ(list.find("C"), nullptr);
    EXPECT_TRUE(zkd::PropertyList().empty());
}

TEST_F(FakeLibraryTest, AShortInquiryIsOfferedPaddedToThirtySixBytes)
{
    g_devices["/dev/short"] = {standard_inquiry("DGC", 12), 0, ZK_NOT_CLAIMED, {}};
    zkd::DeviceResult r = zkd::examine_device(library_, "/dev/short", false);
    EXPECT_EQ(r.outcome, zkd::Outcome::NotClaimed);
    EXPECT_EQ(r.inquiry.size(), 12u);   // reported as read
    ASSERT_EQ(g_offered_inquiry.size(), 1u);
    EXPECT_EQ(g_offered_inquiry[0].substr(8, 4), std::string("DGC "));
    EXPECT_EQ(g_offered_inquiry[0].substr(12), std::string(24, '\0'));
    EXPECT_EQ(zkd::inquiry_revision(r), "");   // too short to hold one
}

TEST_F(FakeLibraryTest, PathsTheDeviceEntryCannotHoldAreNotOffered)
{
    std::string longest(127, 'p');
    std::string too_long(128, 'p');
    g_devices[longest] = {standard_inquiry("DGC"), 0, ZK_NOT_CLAIMED, {}};
    EXPECT_EQ(zkd::examine_device(library_, longest, false).outcome, zkd::Outcome::NotClaimed);
    zkd::DeviceResult r = zkd::examine_device(library_, too_long, false);
    EXPECT_EQ(r.outcome, zkd::Outcome::Skipped);
    EXPECT_NE(r.error.find("127"), std::string::npos);
    EXPECT_EQ(g_claimed_paths.size(), 1u);
}

TEST_F(FakeLibraryTest, ParallelScanInPlaceKeepsOrderAndIdentity)
{
    // Every fifth device is not offered; the others keep the address and
    // node that sysfs gave them.
    std::vector<zkd::DeviceResult> results(200);
    std::vector<size_t> which;
    for (size_t i = 0; i < results.size(); ++i) {
        std::string p = "/dev/u" + std::to_string(i);
        results[i].path = p;
        results[i].scsi_address = "0:0:" + std::to_string(i) + ":0";
        results[i].other_node = "/dev/sd" + std::to_string(i);
        if (i % 5 != 4)
            which.push_back(i);
        g_devices[p] = {standard_inquiry("DGC"), 0, i % 3 == 0 ? ZK_CLAIMED : ZK_NOT_CLAIMED,
                        {"CAB_SERIAL_NO=" + p}};
    }
    std::atomic<int> done{0};
    zkd::ScanSettings settings;
    settings.jobs = 8;
    settings.on_device_done = [&done] { ++done; };
    zkd::scan_devices(library_, results, which, settings);
    EXPECT_EQ(done.load(), 160);
    for (size_t i = 0; i < results.size(); ++i) {
        std::string p = "/dev/u" + std::to_string(i);
        EXPECT_EQ(results[i].path, p);
        EXPECT_EQ(results[i].scsi_address, "0:0:" + std::to_string(i) + ":0");
        EXPECT_EQ(results[i].other_node, "/dev/sd" + std::to_string(i));
        zkd::Outcome expected = i % 5 == 4   ? zkd::Outcome::Skipped
                                : i % 3 == 0 ? zkd::Outcome::Claimed
                                             : zkd::Outcome::NotClaimed;
        ASSERT_EQ(results[i].outcome, expected) << p;
        if (expected == zkd::Outcome::Claimed) {
            EXPECT_STREQ(zkd::find_property(results[i], "CAB_SERIAL_NO"), p.c_str());
        }
    }
    EXPECT_EQ(std::set<std::string>(g_claimed_paths.begin(), g_claimed_paths.end()).size(), 160u);
    EXPECT_EQ(g_lists_freed, 54);
}

// Devices past their deadline: the ones behind them are claimed while they
// wait (workers start beside waiting ones), and each is reported as not
// answering, not as an I/O error.
TEST_F(FakeLibraryTest, DevicesPastTheirDeadlineDoNotHoldUpTheOthers)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 24; ++i) {
        paths.push_back("/dev/h" + std::to_string(i));
        g_devices[paths.back()] = {standard_inquiry("DGC"), 0, ZK_CLAIMED, {"LUN_SERIAL_NO=x"},
                                   i < 4 ? kUntilSignal : kAnswers};
    }
    zkd::ScanSettings settings;
    settings.jobs = 2;
    settings.device_timeout_ms = 1500;
    settings.scan_timeout_ms = 20000;
    auto start = std::chrono::steady_clock::now();
    std::vector<zkd::DeviceResult> results = zkd::scan_devices(library_, paths, settings);
    auto took = std::chrono::steady_clock::now() - start;
    for (size_t i = 0; i < results.size(); ++i) {
        if (i < 4) {
            EXPECT_EQ(results[i].outcome, zkd::Outcome::NotAnswering) << paths[i];
            EXPECT_EQ(results[i].error, "no answer within 1.5 s");
            EXPECT_EQ(results[i].error_number, ETIMEDOUT);
        } else {
            EXPECT_EQ(results[i].outcome, zkd::Outcome::Claimed) << paths[i];
        }
    }
    // Two rounds of two hung devices would be 3 s before any claim.
    EXPECT_LT(g_last_claim - start, std::chrono::milliseconds(1500));
    EXPECT_LT(took, std::chrono::milliseconds(4000));
    EXPECT_FALSE(zkd::scan_left_workers_behind());
}

// The scan's deadline: the device being examined is not answering, those
// not reached are not examined, and the call returns in time; a worker
// that cannot be interrupted is left behind (the program then ends with
// _exit), one that can is not.
TEST_F(FakeLibraryTest, TheScansDeadlineEndsItWithWhatIsOutstanding)
{
    // The library outlives a worker left behind, as the program's does.
    static zkd::HostLibrary kept;
    kept.do_inquiry = library_.do_inquiry;
    kept.claim_device = library_.claim_device;
    kept.nv_free = library_.nv_free;
    for (int how : {kUntilSignal, kUntilReleased}) {
        std::vector<std::string> paths = {"/dev/s0", "/dev/s1", "/dev/s2"};
        g_devices["/dev/s0"] = {standard_inquiry("DGC"), 0, ZK_CLAIMED, {}, how};
        g_devices["/dev/s1"] = {standard_inquiry("DGC"), 0, ZK_NOT_CLAIMED, {}};
        g_devices["/dev/s2"] = g_devices["/dev/s1"];
        zkd::ScanSettings settings;
        settings.jobs = 1;
        settings.device_timeout_ms = 10000;
        settings.scan_timeout_ms = 300;
        auto start = std::chrono::steady_clock::now();
        std::vector<zkd::DeviceResult> results = zkd::scan_devices(kept, paths, settings);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(how == kUntilSignal ? 600 : 1200)) << how;
        EXPECT_EQ(results[0].outcome, zkd::Outcome::NotAnswering);
        EXPECT_EQ(results[0].error, "no answer before the scan's deadline of 0.3 s");
        for (size_t i : {1, 2}) {
            EXPECT_EQ(results[i].outcome, zkd::Outcome::Skipped);
            EXPECT_EQ(results[i].error, "not examined: the scan's deadline of 0.3 s passed first");
        }
        EXPECT_EQ(zkd::scan_left_workers_behind(), how == kUntilReleased) << how;
    }
    g_released = true;   // the worker left behind ends; it touches nothing of the test's
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// A claim that traces the way the library does: several messages, the
// first ones without a newline, through xDbgPrint by name (here the
// collector's, which the test program is linked with).
int tracing_claim(const device_entry *entry, char ***)
{
    xDbgPrint(2, "\nclaim_device for ");
    std::this_thread::yield();   // let other claims trace in between
    xDbgPrint(2, entry->path);
    xDbgPrint(1, "\nnot claiming\n");
    return ZK_NOT_CLAIMED;
}

TEST_F(FakeLibraryTest, ExplainKeepsEachClaimsTraceInItsThread)
{
    library_.claim_device = tracing_claim;
    std::vector<std::string> paths;
    for (int i = 0; i < 64; ++i) {
        paths.push_back("/dev/t" + std::to_string(i));
        g_devices[paths.back()] = {standard_inquiry("X"), i % 5 == 1 ? EIO : 0, 0, {}};
    }
    zkd::use_trace_collector(zkd_take_trace);
    for (int jobs : {1, 8}) {
        xDbgPrint(1, "Vendor Info\n\n");   // before the scan: no device's
        zkd::ScanSettings settings;
        settings.jobs = jobs;
        settings.explain = true;
        std::vector<zkd::DeviceResult> results = zkd::scan_devices(library_, paths, settings);
        for (size_t i = 0; i < paths.size(); ++i) {
            std::vector<std::string> expected;
            if (i % 5 != 1)   // never offered: no lines
                expected = {"", "claim_device for " + paths[i], "not claiming"};
            EXPECT_EQ(results[i].trace, expected) << paths[i] << " with " << jobs << " jobs";
        }
    }
    zkd::use_trace_collector(nullptr);
    EXPECT_EQ(zkd::take_thread_trace(), "");
}

}  // namespace

namespace {

// Stands in for the library's bascii_copy: printable bytes as text, else hex.
int identifier_text(char *target, const unsigned char *source, int count, int size)
{
    std::string out(reinterpret_cast<const char *>(source), static_cast<size_t>(count));
    for (unsigned char c : out)
        if (c < 0x21 || c > 0x7e) {
            out.clear();
            for (int i = 0; i < count; ++i)
                out += "0123456789ABCDEF"[source[i] >> 4], out += "0123456789ABCDEF"[source[i] & 15];
            break;
        }
    if (static_cast<int>(out.size()) >= size)
        return -1;
    std::memcpy(target, out.c_str(), out.size() + 1);
    return 0;
}

// What is known of devices that did not answer: the kernel's VPD pages,
// an earlier scan that agrees with them, and the SP from the kernel's
// handler beside a claimed path that names the owner.
TEST(NotAnswering, AttributedFromTheKernelAndTheEarlierScan)
{
    const std::string pg83 = std::string("\0\x83\0\x20\x01\x03\0\x10", 8) + "LUN-0000-0000-01";
    const std::string pg80 = std::string("\0\x80\0\x04", 4) + "CAB1";
    struct Case {
        const char *address;
        std::string vpd83, vpd80;
        const char *access_state;       // with dh_state emc; null: no handler
        const char *earlier;            // "ARRAY LUN SP" claimed there, or null
        const char *expected;           // the pairs, "NAME=VALUE;..."
    } cases[] = {
        {"1:0:0:2", pg83, pg80, "standby", nullptr,
         "CAB_SERIAL_NO=CAB1;LUN_SERIAL_NO=LUN-0000-0000-01;SP=B;KNOWN_FROM=kernel;"},
        {"1:0:0:3", pg83, pg80, "active/optimized", nullptr,
         "CAB_SERIAL_NO=CAB1;LUN_SERIAL_NO=LUN-0000-0000-01;SP=A;KNOWN_FROM=kernel;"},
        {"1:0:0:4", pg83, pg80, nullptr, "CAB1 LUN-0000-0000-01 B",
         "CAB_SERIAL_NO=CAB1;LUN_SERIAL_NO=LUN-0000-0000-01;SP=B;KNOWN_FROM=kernel, earlier scan;"},
        {"", "", "", nullptr, "CAB9 LUN-9 A", "CAB_SERIAL_NO=CAB9;LUN_SERIAL_NO=LUN-9;SP=A;"
                                             "KNOWN_FROM=earlier scan;"},
        // The earlier scan saw another LUN behind the node: not taken.
        {"1:0:0:6", pg83, pg80, nullptr, "CAB1 LUN-OTHER A",
         "CAB_SERIAL_NO=CAB1;LUN_SERIAL_NO=LUN-0000-0000-01;KNOWN_FROM=kernel;"},
        // Binary identifier bytes as the library shows them; a page too
        // short to hold what its length says is left out.
        {"1:0:0:7", pg83.substr(0, 8) + std::string(16, '\x11'), pg80.substr(0, 6), nullptr,
         nullptr, "LUN_SERIAL_NO=11111111111111111111111111111111;KNOWN_FROM=kernel;"},
        {"1:0:0:8", pg83.substr(0, 20), "", nullptr, nullptr, ""},
    };
    TempDir sys;
    std::vector<zkd::DeviceResult> results(1);
    results[0].path = "/dev/sg1";
    results[0].outcome = zkd::Outcome::Claimed;
    results[0].properties = {{"CAB_SERIAL_NO", "CAB1"}, {"LUN_SERIAL_NO", "LUN-0000-0000-01"},
                             {"LUN_OWNER", "Y"}, {"PORT_SERIAL_NO", "CAB1A"}};
    std::map<std::string, zkd::EarlierPath> earlier;
    for (const Case &c : cases) {
        zkd::DeviceResult r;
        r.path = "/dev/sg" + std::to_string(results.size() + 1);
        r.scsi_address = c.address;
        r.outcome = zkd::Outcome::NotAnswering;
        results.push_back(r);
        std::string dir = std::string("bus/scsi/devices/") + c.address;
        sys.make_dir(dir);
        if (!c.vpd83.empty()) sys.make_file(dir + "/vpd_pg83", c.vpd83);
        if (!c.vpd80.empty()) sys.make_file(dir + "/vpd_pg80", c.vpd80);
        if (c.access_state) {
            sys.make_file(dir + "/dh_state", "emc\n");
            sys.make_file(dir + "/access_state", std::string(c.access_state) + "\n");
        }
        if (c.earlier) {
            std::istringstream in(c.earlier);
            zkd::EarlierPath &e = earlier[r.path];
            in >> e.array >> e.lun >> e.sp;
        }
    }
    zkd::attribute_paths(results, sys.path(), identifier_text,
                         [&](const std::string &path, zkd::EarlierPath &found) {
                             auto it = earlier.find(path);
                             if (it == earlier.end())
                                 return false;
                             found = it->second;
                             return true;
                         });
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::string pairs;
        for (zkd::PropertyList::Pair kv : results[i + 1].properties)
            pairs += std::string(kv.first) + "=" + std::string(kv.second) + ";";
        EXPECT_EQ(pairs, cases[i].expected) << results[i + 1].path;
    }
    // Without sysfs (simulated devices) only the earlier scan speaks.
    zkd::attribute_paths(results, "", identifier_text, nullptr);
    EXPECT_TRUE(results[1].properties.empty());
    EXPECT_EQ(zkd::attribution_text(results[1]), "");
}

}  // namespace
