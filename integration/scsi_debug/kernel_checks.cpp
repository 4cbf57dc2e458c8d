// Guest program of the scsi_debug kernel test: runs the library against the
// real kernel's /dev/sgN and /dev/sdX nodes and compares what it reads with
// what sg3_utils reads from the same devices. Prints one verdict line per
// check and device ("ZK-CHECK <id> PASS|FAIL <text>") on stdout.
//
// Usage: zk_kernel_checks --vendor V --claim R [--user UID] [--denied NODE]
//                         NODE...
//   --vendor V    vendor identification the devices report (blanks cut)
//   --claim R     result claim_device must give (-1 for DGC devices, which
//                 refuse the SP Report page; 1 for another vendor)
//   --user UID    also run the claims as this unprivileged user (group disk)
//   --denied NODE a node that user may not read
#include "zkDGCclariion.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr const char *kTraceLog = "/tmp/.ZEVIRO00.log";
constexpr int kDiskGroup = 6;
constexpr int kModeSenseOpcode = 0x1A;
constexpr int kSpReportPage = 0x26;
constexpr int kCheckCondition = 0x02;
constexpr int kIllegalRequest = 0x05;
constexpr int kClaimRounds = 20;

struct Options {
    std::string vendor;
    int claim = 0;
    uid_t user = 0;
    std::string denied;
    std::vector<std::string> nodes;
};

int g_failures = 0;


std::string hex(const Bytes &bytes, size_t limit = 48)
{
    std::string out;
    char cell[4];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(cell, sizeof cell, "%02x", bytes[i]);
        if (i)
            out += ' ';
        out += cell;
    }
    if (bytes.size() > limit)
        out += " ...";
    return out;
}

// Keeps every verdict on one console line: newlines and other control or
// non-ASCII bytes are written as escapes.
std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte > 0x7E) {
            char cell[8];
            std::snprintf(cell, sizeof cell, "\\x%02x", byte);
            out += cell;
        } else {
            out += c;
        }
    }
    return out;
}

void verdict(const char *id, bool ok, const std::string &text)
{
    if (!ok)
        ++g_failures;
    std::printf("ZK-CHECK %s %s %s\n", id, ok ? "PASS" : "FAIL", escaped(text).c_str());
    std::fflush(stdout);
}

// One check over many nodes: a failure is printed at once with its detail;
// the nodes that passed are summed up in one line, with the first one's
// detail as the example.
class NodeReport {
public:
    explicit NodeReport(const char *id) : id_(id) {}
    NodeReport(const NodeReport &) = delete;
    NodeReport &operator=(const NodeReport &) = delete;

    void add(const std::string &node, bool ok, const std::string &detail)
    {
        if (!ok) {
            verdict(id_, false, node + ": " + detail);
            return;
        }
        if (passed_.empty())
            example_ = detail;
        passed_.push_back(node);
    }

    ~NodeReport()
    {
        if (passed_.empty())
            return;
        std::string nodes;
        for (const auto &node : passed_)
            nodes += (nodes.empty() ? "" : " ") + node;
        std::string text = std::to_string(passed_.size()) + " node" +
                           (passed_.size() > 1 ? "s" : "") + " (" + nodes + "): " + example_;
        if (passed_.size() > 1)
            text += " [shown for " + passed_.front() + "]";
        verdict(id_, true, text);
    }

private:
    const char *id_;
    std::vector<std::string> passed_;
    std::string example_;
};

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

// Runs a program and returns what it wrote on stdout; stderr is dropped.
bool run_tool(const std::vector<std::string> &argv, Bytes &out)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        close(pipe_fds[0]);
        std::vector<char *> args;
        for (const auto &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    out.clear();
    unsigned char chunk[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof chunk)) > 0)
        out.insert(out.end(), chunk, chunk + got);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int count_open_descriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

// The trace log grows with every claim; each claim's text is what it added.
class TraceLog {
public:
    bool create()
    {
        int fd = open(kTraceLog, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        close(fd);
        offset_ = 0;
        return true;
    }

    std::string take_new()
    {
        std::string text;
        FILE *file = std::fopen(kTraceLog, "rb");
        if (!file)
            return text;
        std::fseek(file, offset_, SEEK_SET);
        char chunk[512];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            text.append(chunk, got);
        std::fclose(file);
        offset_ += static_cast<long>(text.size());
        return text;
    }

private:
    long offset_ = 0;
};

bool library_inquiry(const std::string &node, int evpd, int page, Bytes &out,
                     int &result)
{
    int length = -1;
    unsigned char *buffer = nullptr;
    result = do_inquiry(node.c_str(), evpd, page, O_RDONLY | O_NDELAY, &length,
                        &buffer);
    if (result != 0)
        return false;
    out.assign(buffer, buffer + length);
    std::free(buffer);
    return true;
}

std::string expected_trace(const std::string &node, int claim)
{
    std::string text = "\nclaim_device for " + node + "\n";
    if (claim == ZK_NOT_CLAIMED) {
        text += "not claiming: " + node + "\n\n";
    } else {
        text += "DGC inquiry match : trying to claim: " + node + "\n";
        text += "V10 claim_device: can't get SP Report Mode Page";
    }
    text += node + " : retval " + std::to_string(claim) + "  \n";
    return text;
}

// What the kernel itself answers to MODE SENSE(6) of the SP Report page:
// the ioctl succeeds and the header carries CHECK CONDITION.
std::string kernel_view_of_sp_report(const std::string &node, bool &refused)
{
    refused = false;
    int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return "open: " + std::string(std::strerror(errno));
    unsigned char cdb[6] = {kModeSenseOpcode, 0x08, kSpReportPage, 0, 4, 0};
    unsigned char data[4] = {};
    unsigned char sense[32] = {};
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr.cmd_len = sizeof cdb;
    hdr.cmdp = cdb;
    hdr.dxfer_len = sizeof data;
    hdr.dxferp = data;
    hdr.mx_sb_len = sizeof sense;
    hdr.sbp = sense;
    hdr.timeout = 20000;
    int rc = ioctl(fd, SG_IO, &hdr);
    close(fd);
    int sense_key = hdr.sb_len_wr > 2 ? (sense[2] & 0x0F) : -1;
    refused = rc == 0 && hdr.status == kCheckCondition && sense_key == kIllegalRequest;
    char text[128];
    std::snprintf(text, sizeof text,
                  "kernel: ioctl %d, status 0x%02x, host 0x%02x, driver 0x%02x, sense key %d", rc,
                  hdr.status, hdr.host_status, hdr.driver_status, sense_key);
    return text;
}

// Check 1: the claim through the real kernel, its result and its trace.
void check_claims(const Options &options, TraceLog &trace)
{
    NodeReport report("1");
    for (const auto &node : options.nodes) {
        Bytes inquiry;
        int result = 0;
        if (!library_inquiry(node, 0, 0, inquiry, result) || inquiry.size() < 36) {
            report.add(node, false, "standard INQUIRY failed: " + std::to_string(result));
            continue;
        }
        device_entry entry;
        std::memset(&entry, 0, sizeof entry);
        std::snprintf(entry.path, sizeof entry.path, "%s", node.c_str());
        entry.inquiry = inquiry.data();
        char *untouched[1] = {nullptr};
        char **list = untouched;
        trace.take_new();
        int claim = claim_device(&entry, &list);
        std::string text = trace.take_new();
        std::string want = expected_trace(node, options.claim);

        int length = -7;
        unsigned char *buffer = reinterpret_cast<unsigned char *>(&length);
        int sense_result = do_mode_sense_raw(node.c_str(), 1, 0, kSpReportPage, &length, &buffer);
        bool refused = false;
        std::string kernel = kernel_view_of_sp_report(node, refused);

        bool ok = claim == options.claim && list == untouched && text == want &&
                  sense_result == EIO && length == -7 &&
                  buffer == reinterpret_cast<unsigned char *>(&length) && refused;
        std::string detail = "claim " + std::to_string(claim) +
                             ", SP Report page: result " + std::to_string(sense_result) +
                             " (" + kernel + "), trace \"" + text + "\"";
        if (text != want)
            detail += ", expected trace \"" + want + "\"";
        if (list != untouched)
            detail += ", list out was written";
        report.add(node, ok, detail);
    }
}

// Check 2: VPD pages and standard INQUIRY agree with sg_vpd and sg_inq.
void check_inquiry(const Options &options)
{
    NodeReport report("2");
    for (const auto &node : options.nodes) {
        std::string problems;
        for (int page : {0x80, 0x83}) {
            Bytes mine, theirs;
            int result = 0;
            char page_text[8];
            std::snprintf(page_text, sizeof page_text, "0x%02x", page);
            if (!library_inquiry(node, 1, page, mine, result)) {
                problems += std::string(" page ") + page_text + ": do_inquiry " +
                            std::to_string(result) + ";";
                continue;
            }
            if (!run_tool({"sg_vpd", "-p", page_text, "-r", node}, theirs)) {
                problems += std::string(" page ") + page_text + ": sg_vpd failed;";
                continue;
            }
            if (mine != theirs)
                problems += std::string(" page ") + page_text + ": library [" + hex(mine) +
                            "] sg_vpd [" + hex(theirs) + "];";
        }

        Bytes standard, text_out;
        int result = 0;
        if (!library_inquiry(node, 0, 0, standard, result) || standard.size() < 36) {
            problems += " standard INQUIRY: do_inquiry " + std::to_string(result) + ";";
        } else if (!run_tool({"sg_inq", node}, text_out)) {
            problems += " sg_inq failed;";
        } else {
            std::string listing(text_out.begin(), text_out.end());
            auto field = [&](const char *label) {
                size_t at = listing.find(label);
                if (at == std::string::npos)
                    return std::string("?");
                at += std::strlen(label);
                return trimmed(listing.substr(at, listing.find('\n', at) - at));
            };
            auto bytes_text = [&](size_t from, size_t count) {
                return trimmed(std::string(standard.begin() + from, standard.begin() + from + count));
            };
            const std::string vendor = bytes_text(8, 8), product = bytes_text(16, 16),
                              revision = bytes_text(32, 4);
            if (vendor != field("Vendor identification:") ||
                product != field("Product identification:") ||
                revision != field("Product revision level:") || vendor != options.vendor)
                problems += " standard INQUIRY: library [" + vendor + "|" + product + "|" +
                            revision + "] sg_inq [" + field("Vendor identification:") + "|" +
                            field("Product identification:") + "|" +
                            field("Product revision level:") + "];";
            if (static_cast<int>(standard.size()) != std::min(standard[4] + 5, 255))
                problems += " standard INQUIRY length " + std::to_string(standard.size()) + ";";
        }
        report.add(node, problems.empty(),
                   problems.empty() ? "VPD 0x80, 0x83 identical to sg_vpd; vendor, product, "
                                      "revision agree with sg_inq"
                                    : problems);
    }
}

struct ModeCase {
    int page;
    int dbd;
    int control;
};

// Check 3: MODE SENSE(6) responses agree with sg_modes -6.
void check_mode_sense(const Options &options)
{
    static constexpr ModeCase kCases[] = {
        {0x08, 1, 0},  // caching page, block descriptors off
        {0x08, 0, 0},  // caching page behind a block descriptor
        {0x3F, 0, 0},  // every page
        {0x0A, 1, 2},  // control page, default values
    };
    NodeReport report("3");
    for (const auto &node : options.nodes) {
        std::string problems;
        int cases = 0;
        for (const auto &c : kCases) {
            char label[48];
            std::snprintf(label, sizeof label, " page 0x%02x dbd %d pc %d", c.page, c.dbd,
                          c.control);
            int raw_length = 0, page_length = 0;
            unsigned char *raw = nullptr, *pages = nullptr;
            int raw_result = do_mode_sense_raw(node.c_str(), c.dbd, c.control, c.page,
                                               &raw_length, &raw);
            int page_result = do_mode_sense(node.c_str(), c.dbd, c.control, c.page,
                                            &page_length, &pages);
            if (raw_result != 0 || page_result != 0) {
                problems += std::string(label) + ": results " + std::to_string(raw_result) +
                            ", " + std::to_string(page_result) + ";";
                if (raw_result == 0)
                    std::free(raw);
                if (page_result == 0)
                    std::free(pages);
                continue;
            }
            Bytes whole(raw, raw + raw_length), stripped(pages, pages + page_length);
            std::free(raw);
            std::free(pages);

            std::vector<std::string> argv = {"sg_modes", "-6", "-r",
                                             "-c", std::to_string(c.control),
                                             "-p", std::to_string(c.page)};
            if (c.dbd)
                argv.push_back("-d");
            argv.push_back(node);
            Bytes theirs;
            if (!run_tool(argv, theirs)) {
                problems += std::string(label) + ": sg_modes failed;";
                continue;
            }
            if (whole != theirs) {
                problems += std::string(label) + ": library [" + hex(whole) + "] sg_modes [" +
                            hex(theirs) + "];";
                continue;
            }
            size_t start = 4 + 8 * (theirs.size() > 3 ? theirs[3] / 8 : 0);
            Bytes after_header(theirs.begin() + std::min(start, theirs.size()), theirs.end());
            if (stripped != after_header) {
                problems += std::string(label) + ": do_mode_sense [" + hex(stripped) +
                            "] expected [" + hex(after_header) + "];";
                continue;
            }
            if (c.dbd == 0 && theirs[3] == 0)
                problems += std::string(label) + ": the device sent no block descriptor;";
            ++cases;
        }
        report.add(node, problems.empty(),
                   problems.empty() ? std::to_string(cases) +
                                          " MODE SENSE(6) requests (caching, all, control pages; "
                                          "with and without block descriptors) identical to "
                                          "sg_modes -6; pages stripped after header and block "
                                          "descriptors"
                                    : problems);
    }
}

// Runs the printers in a child so that a fault shows as a signal, not as
// the end of this program.
bool printers_survive(const std::vector<Bytes> &inquiries, const Bytes &mode, std::string &why)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        for (const auto &data : inquiries) {
            dump_inquiry_data(data.data(), static_cast<int>(data.size()));
            decode_inquiry_data(data.data(), static_cast<int>(data.size()));
        }
        dump_mode_sense_data(mode.data(), static_cast<int>(mode.size()));
        decode_mode_sense_data(mode.data(), static_cast<int>(mode.size()));
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) {
        why = "printers died of signal " + std::to_string(WTERMSIG(status));
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int claim_once(const std::string &node, const Bytes &inquiry)
{
    device_entry entry;
    std::memset(&entry, 0, sizeof entry);
    std::snprintf(entry.path, sizeof entry.path, "%s", node.c_str());
    entry.inquiry = inquiry.data();
    char **list = nullptr;
    int result = claim_device(&entry, &list);
    if (result == ZK_CLAIMED)
        nv_free(list);
    return result;
}

// Check 4a: printers on real responses; no descriptor left open after many
// claims and commands.
void check_printers_and_descriptors(const Options &options)
{
    NodeReport printers("4");
    for (const auto &node : options.nodes) {
        std::vector<Bytes> inquiries(3);
        Bytes mode;
        int result = 0;
        bool read_all = library_inquiry(node, 0, 0, inquiries[0], result) &&
                        library_inquiry(node, 1, 0x80, inquiries[1], result) &&
                        library_inquiry(node, 1, 0x83, inquiries[2], result);
        int length = 0;
        unsigned char *buffer = nullptr;
        if (read_all && do_mode_sense_raw(node.c_str(), 0, 0, 0x3F, &length, &buffer) == 0) {
            mode.assign(buffer, buffer + length);
            std::free(buffer);
        } else {
            read_all = false;
        }
        std::string why;
        bool ok = read_all && printers_survive(inquiries, mode, why);
        printers.add(node, ok, ok ? "the four printers ran on standard INQUIRY, VPD 0x80, 0x83 "
                                    "and all mode pages"
                                  : "printers: " + (why.empty() ? "no responses" : why));
    }

    std::vector<Bytes> inquiries;
    for (const auto &node : options.nodes) {
        Bytes data;
        int result = 0;
        library_inquiry(node, 0, 0, data, result);
        data.resize(std::max<size_t>(data.size(), 36));
        inquiries.push_back(data);
    }
    CloseDbgTempFile();  // opened by the claims before
    int before = count_open_descriptors();
    int calls = 0, wrong = 0;
    for (int round = 0; round < kClaimRounds; ++round) {
        for (size_t i = 0; i < options.nodes.size(); ++i, ++calls) {
            const std::string &node = options.nodes[i];
            if (claim_once(node, inquiries[i]) != options.claim)
                ++wrong;
            // A claim of another vendor's device opens nothing: the
            // commands themselves are counted too.
            Bytes serial;
            int result = 0;
            if (!library_inquiry(node, 1, 0x80, serial, result))
                ++wrong;
            int length = 0;
            unsigned char *pages = nullptr;
            if (do_mode_sense(node.c_str(), 0, 0, 0x08, &length, &pages) == 0)
                std::free(pages);
            else
                ++wrong;
        }
    }
    int with_log = count_open_descriptors();
    CloseDbgTempFile();
    int after = count_open_descriptors();
    verdict("4", wrong == 0 && after == before && with_log <= before + 1,
            std::to_string(calls) + " claims, VPD 0x80 reads and caching page reads (" +
                std::to_string(wrong) + " with another result): descriptors " + std::to_string(before) + " before, " +
                std::to_string(with_log) + " after (trace log open), " + std::to_string(after) +
                " after closing the log");
}

// Check 4b: the same claims and reads as an unprivileged member of the
// disk group; a node it may not read fails with the open's errno.
void check_unprivileged(const Options &options)
{
    std::vector<int> root_claims;
    std::vector<Bytes> root_serials, inquiries;
    for (const auto &node : options.nodes) {
        Bytes data, serial;
        int result = 0;
        library_inquiry(node, 0, 0, data, result);
        data.resize(std::max<size_t>(data.size(), 36));
        library_inquiry(node, 1, 0x80, serial, result);
        root_claims.push_back(claim_once(node, data));
        root_serials.push_back(serial);
        inquiries.push_back(data);
    }
    CloseDbgTempFile();

    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        gid_t groups[] = {kDiskGroup};
        if (setgroups(1, groups) != 0 || setgid(options.user) != 0 || setuid(options.user) != 0) {
            verdict("4", false, "cannot become user " + std::to_string(options.user));
            _exit(1);
        }
        {
            NodeReport report("4");
            for (size_t i = 0; i < options.nodes.size(); ++i) {
                const auto &node = options.nodes[i];
                if (node == options.denied)
                    continue;
                Bytes serial;
                int result = 0;
                bool read = library_inquiry(node, 1, 0x80, serial, result);
                int claim = claim_once(node, inquiries[i]);
                bool ok = read && serial == root_serials[i] && claim == root_claims[i];
                report.add(node, ok, "as uid " + std::to_string(getuid()) + " in group disk: claim " +
                                         std::to_string(claim) + " (as root " +
                                         std::to_string(root_claims[i]) + "), VPD 0x80 " +
                                         (read ? (serial == root_serials[i] ? "same as root's" : "differs")
                                               : "failed: " + std::to_string(result)));
            }
        }  // the summary line comes before the unreadable node's
        if (!options.denied.empty()) {
            Bytes serial;
            int result = 0;
            library_inquiry(options.denied, 1, 0x80, serial, result);
            int length = 0;
            unsigned char *buffer = nullptr;
            int mode_result = do_mode_sense_raw(options.denied.c_str(), 1, 0, 0x08, &length, &buffer);
            if (mode_result == 0)
                std::free(buffer);
            verdict("4", result == EACCES && mode_result == EACCES,
                    options.denied + " unreadable for uid " + std::to_string(getuid()) +
                        ": do_inquiry " + std::to_string(result) + ", do_mode_sense_raw " +
                        std::to_string(mode_result) + " (EACCES is " + std::to_string(EACCES) + ")");
        }
        std::fflush(stdout);
        _exit(g_failures ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        verdict("4", false, "unprivileged run died of signal " + std::to_string(WTERMSIG(status)));
    else if (WEXITSTATUS(status) != 0)
        ++g_failures;
}

bool parse(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--vendor" && has_value)
            options.vendor = argv[++i];
        else if (arg == "--claim" && has_value)
            options.claim = std::atoi(argv[++i]);
        else if (arg == "--user" && has_value)
            options.user = static_cast<uid_t>(std::atoi(argv[++i]));
        else if (arg == "--denied" && has_value)
            options.denied = argv[++i];
        else if (arg.rfind("--", 0) == 0)
            return false;
        else
            options.nodes.push_back(arg);
    }
    return !options.nodes.empty() && !options.vendor.empty();
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s --vendor V --claim R [--user UID] [--denied NODE] NODE...\n",
                     argv[0]);
        return 2;
    }
    TraceLog trace;
    if (!trace.create()) {
        verdict("1", false, std::string("cannot create ") + kTraceLog);
        return 1;
    }
    check_claims(options, trace);
    check_inquiry(options);
    check_mode_sense(options);
    check_printers_and_descriptors(options);
    if (options.user != 0)
        check_unprivileged(options);
    unlink(kTraceLog);
    return g_failures ? 1 : 0;
}
