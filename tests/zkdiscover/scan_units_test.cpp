// zkdiscover's units on their own: device ordering, sysfs discovery over a
// fake tree, the trace log session, and the host's side of a claim against
// a fake library.
#include "claims.h"
#include "device_scan.h"
#include "trace_log.h"

#include <gtest/gtest.h>

#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

// A private directory, removed with its content at the end of a test.
class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/zkd_units_XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string &path() const { return path_; }

    void make_dir(const std::string &rel) const
    {
        std::system(("mkdir -p '" + path_ + "/" + rel + "'").c_str());
    }
    void make_file(const std::string &rel, const std::string &content = "") const
    {
        std::ofstream(path_ + "/" + rel) << content;
    }
    void make_link(const std::string &target, const std::string &rel) const
    {
        ASSERT_EQ(symlink(target.c_str(), (path_ + "/" + rel).c_str()), 0);
    }

private:
    std::string path_;
};

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

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void append(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

TEST(TraceLogSession, CreatesAnAbsentLogAndRemovesItAfterwards)
{
    TempDir dir;
    std::string log = dir.path() + "/trace.log";
    {
        zkd::TraceLogSession session(log);
        std::string problem;
        ASSERT_TRUE(session.begin(problem)) << problem;
        EXPECT_TRUE(session.created());
        EXPECT_TRUE(exists(log));
        append(log, "first\n");
        EXPECT_EQ(session.take_new_text(), "first\n");
        EXPECT_EQ(session.take_new_text(), "");
        append(log, "second");
        EXPECT_EQ(session.take_new_text(), "second");
        session.end();
        EXPECT_FALSE(exists(log));
    }
}

TEST(TraceLogSession, LeavesAnExistingLogAndReadsOnlyWhatIsNew)
{
    TempDir dir;
    std::string log = dir.path() + "/trace.log";
    dir.make_file("trace.log", "someone else's lines\n");
    {
        zkd::TraceLogSession session(log);
        std::string problem;
        ASSERT_TRUE(session.begin(problem)) << problem;
        EXPECT_FALSE(session.created());
        append(log, "ours\n");
        EXPECT_EQ(session.take_new_text(), "ours\n");
    }
    EXPECT_EQ(read_file(log), "someone else's lines\nours\n");
}

TEST(TraceLogSession, DoesNotRemoveAFileThatReplacedTheOneItCreated)
{
    TempDir dir;
    std::string log = dir.path() + "/trace.log";
    zkd::TraceLogSession session(log);
    std::string problem;
    ASSERT_TRUE(session.begin(problem));
    ASSERT_EQ(unlink(log.c_str()), 0);
    dir.make_file("trace.log", "a new file, not ours\n");
    session.end();
    EXPECT_EQ(read_file(log), "a new file, not ours\n");
}

TEST(TraceLogSession, RefusesALinkAtTheLogPath)
{
    TempDir dir;
    std::string log = dir.path() + "/trace.log";
    dir.make_file("target", "precious\n");
    dir.make_link(dir.path() + "/target", "trace.log");
    {
        zkd::TraceLogSession session(log);
        std::string problem;
        EXPECT_FALSE(session.begin(problem));
        EXPECT_FALSE(problem.empty());
    }
    EXPECT_TRUE(exists(log));
    EXPECT_EQ(read_file(dir.path() + "/target"), "precious\n");
}

// ---- The host's side of a claim, against a fake library ----------------

struct FakeDevice {
    std::vector<unsigned char> inquiry;   // standard INQUIRY answer
    int inquiry_error = 0;
    int claim_result = ZK_CLAIMED;
    std::vector<std::string> pairs;       // list handed over on claim
};

std::mutex g_fake_mutex;
std::map<std::string, FakeDevice> g_devices;
std::vector<std::string> g_claimed_paths;    // in call order
int g_lists_freed = 0;
std::vector<std::string> g_offered_inquiry;  // bytes 0..35 as claim saw them

int fake_do_inquiry(const char *path, int evpd, int, int flags, int *length,
                    unsigned char **buffer)
{
    EXPECT_EQ(evpd, 0);
    EXPECT_EQ(flags, O_RDONLY | O_NDELAY);
    std::lock_guard<std::mutex> lock(g_fake_mutex);
    const FakeDevice &d = g_devices.at(path);
    if (d.inquiry_error)
        return d.inquiry_error;
    *length = static_cast<int>(d.inquiry.size());
    *buffer = static_cast<unsigned char *>(std::malloc(d.inquiry.size() + 1));
    std::memcpy(*buffer, d.inquiry.data(), d.inquiry.size());
    return 0;
}

int fake_claim_device(const device_entry *entry, char ***list_out)
{
    std::lock_guard<std::mutex> lock(g_fake_mutex);
    g_claimed_paths.push_back(entry->path);
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
        g_devices.clear();
        g_claimed_paths.clear();
        g_offered_inquiry.clear();
        g_lists_freed = 0;
        library_.do_inquiry = fake_do_inquiry;
        library_.claim_device = fake_claim_device;
        library_.nv_free = fake_nv_free;
    }
    zkd::HostLibrary library_;
};

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
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(a.properties, (Pairs{{"CAB_SERIAL_NO", "F1234567"}, {"LUN_OWNER", "Y"}, {"ODD", ""}}));
    ASSERT_NE(zkd::find_property(a, "LUN_OWNER"), nullptr);
    EXPECT_EQ(*zkd::find_property(a, "LUN_OWNER"), "Y");
    EXPECT_EQ(zkd::find_property(a, "REVISION"), nullptr);
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

TEST_F(FakeLibraryTest, ParallelScanKeepsThePathOrder)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 200; ++i) {
        std::string p = "/dev/u" + std::to_string(i);
        paths.push_back(p);
        g_devices[p] = {standard_inquiry("DGC"), 0, i % 3 == 0 ? ZK_CLAIMED : ZK_NOT_CLAIMED,
                        {"CAB_SERIAL_NO=" + p}};
    }
    std::atomic<int> done{0};
    zkd::ScanSettings settings;
    settings.jobs = 8;
    settings.on_device_done = [&done] { ++done; };
    std::vector<zkd::DeviceResult> results = zkd::scan_devices(library_, paths, settings);
    ASSERT_EQ(results.size(), paths.size());
    EXPECT_EQ(done.load(), 200);
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(results[i].path, paths[i]);
        if (i % 3 == 0) {
            ASSERT_EQ(results[i].outcome, zkd::Outcome::Claimed);
            EXPECT_EQ(*zkd::find_property(results[i], "CAB_SERIAL_NO"), paths[i]);
        }
    }
    EXPECT_EQ(std::set<std::string>(g_claimed_paths.begin(), g_claimed_paths.end()).size(), 200u);
    EXPECT_EQ(g_lists_freed, 67);
}

TEST_F(FakeLibraryTest, ExplainTakesEachClaimsOwnTraceLines)
{
    TempDir dir;
    std::string log = dir.path() + "/trace.log";
    zkd::TraceLogSession session(log);
    std::string problem;
    ASSERT_TRUE(session.begin(problem));
    static std::string s_log;
    s_log = log;
    // A claim that writes its own path to the log, as the library does.
    library_.claim_device = [](const device_entry *entry, char ***) -> int {
        int fd = open(s_log.c_str(), O_WRONLY | O_APPEND);
        std::string text = std::string("\nclaim_device for ") + entry->path + "\nnot claiming\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        return ZK_NOT_CLAIMED;
    };
    append(log, "Vendor Info\n\n");   // written before the scan: not a device's
    std::vector<std::string> paths = {"/dev/a", "/dev/b", "/dev/c"};
    for (const std::string &p : paths)
        g_devices[p] = {standard_inquiry("X"), 0, 0, {}};
    g_devices["/dev/b"].inquiry_error = EIO;   // never offered: no lines

    zkd::ScanSettings settings;
    settings.jobs = 4;   // ignored: claims with a trace run one at a time
    settings.trace = &session;
    std::vector<zkd::DeviceResult> results = zkd::scan_devices(library_, paths, settings);
    EXPECT_EQ(results[0].trace,
              (std::vector<std::string>{"", "claim_device for /dev/a", "not claiming"}));
    EXPECT_TRUE(results[1].trace.empty());
    EXPECT_EQ(results[2].trace,
              (std::vector<std::string>{"", "claim_device for /dev/c", "not claiming"}));
}

}  // namespace
