#include "capture.h"

#include "file_io.h"
#include "output_target.h"
#include "text_escape.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace zkd {

namespace {

constexpr std::uint8_t kInquiryOpcode = 0x12;
constexpr std::uint8_t kModeSense6Opcode = 0x1A;
constexpr std::uint8_t kEvpdBit = 0x01;
constexpr std::uint8_t kModePageMask = 0x3F;
constexpr std::uint8_t kCheckCondition = 0x02;

std::string hex_bytes(const std::vector<unsigned char> &bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out = "hex:";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ' ';
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

// Text for a comment line: on one line, and escaped (it may come from a
// device or a path).
std::string comment_safe(const std::string &text) { return escape_text(text); }

// Sense key, ASC and ASCQ of fixed or descriptor format sense data; false
// when there is too little of it to tell.
bool sense_fields(const std::vector<std::uint8_t> &sense, int &key, int &asc, int &ascq)
{
    if (sense.empty())
        return false;
    int response_code = sense[0] & 0x7F;
    if ((response_code == 0x72 || response_code == 0x73) && sense.size() >= 4) {
        key = sense[1] & 0x0F;
        asc = sense[2];
        ascq = sense[3];
        return true;
    }
    if ((response_code == 0x70 || response_code == 0x71) && sense.size() >= 14) {
        key = sense[2] & 0x0F;
        asc = sense[12];
        ascq = sense[13];
        return true;
    }
    return false;
}

// The fault statement that makes a replay fail command n as it failed.
std::string fault_line(size_t n, const RecordedCommand &c)
{
    char line[160];
    int key = 0, asc = 0, ascq = 0;
    // Interrupted at its deadline, or timed out: it was never answered.
    constexpr unsigned kDidTimeOut = 0x03;
    if (c.error == EINTR || (c.error == 0 && c.host_status == kDidTimeOut))
        std::snprintf(line, sizeof line, "  fault command %zu hang   # no answer\n", n);
    else if (c.error != 0)
        std::snprintf(line, sizeof line, "  fault command %zu errno %d   # %s\n", n, c.error,
                      std::strerror(c.error));
    else if (c.host_status != 0)
        std::snprintf(line, sizeof line, "  fault command %zu host %d\n", n, c.host_status);
    else if (c.status == kCheckCondition && sense_fields(c.sense, key, asc, ascq))
        // The driver's status then only says that sense data came back.
        std::snprintf(line, sizeof line, "  fault command %zu check %d %d %d   # CHECK CONDITION\n",
                      n, key, asc, ascq);
    else if (c.driver_status != 0)
        std::snprintf(line, sizeof line, "  fault command %zu driver %d\n", n, c.driver_status);
    else  // another status, or no sense data: the library sees an I/O error
        std::snprintf(line, sizeof line, "  fault command %zu errno %d   # SCSI status 0x%02x\n",
                      n, EIO, c.status);
    return line;
}

bool failed(const RecordedCommand &c)
{
    return c.error != 0 || c.status != 0 || c.host_status != 0 || c.driver_status != 0;
}

// Keeps the longest answer seen for a page (the claim reads a page's
// header first, then the whole page).
void keep_longest(std::map<int, std::vector<std::uint8_t>> &pages, int page,
                  const std::vector<std::uint8_t> &data)
{
    std::vector<std::uint8_t> &kept = pages[page];
    if (data.size() > kept.size())
        kept = data;
}

// The simulator's kernel statement for the kernel's view of a claimed
// path (a comment when the view cannot be written as one).
std::string kernel_statement(const KernelPathState &k)
{
    if (!k.read)
        return "";
    if (k.handler == "detached")
        return "  kernel detached\n";
    bool word = !k.handler.empty() && k.handler.size() < 32 && k.handler != "unknown" &&
                k.handler.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-") ==
                    std::string::npos;
    const char *state = kernel_state_name(k);
    bool known = (std::string_view(state) != "unknown" && std::string_view(state) != "detached") ||
                 k.access == "lba-dependent";
    if (!word || !known)
        return "  # the kernel's view could not be read: " + comment_safe(k.text()) + "\n";
    return "  kernel " + k.handler + " " + k.access + (k.preferred ? " preferred" : "") + "\n";
}

// One unit's statements from the commands it answered.
std::string unit_statements(const DeviceResult &d)
{
    std::vector<std::uint8_t> inquiry = d.inquiry;
    std::map<int, std::vector<std::uint8_t>> vpd, mode;
    std::string faults;
    const std::vector<RecordedCommand> &commands = d.capture.commands;
    for (size_t i = 0; i < commands.size(); ++i) {
        const RecordedCommand &c = commands[i];
        if (failed(c)) {
            faults += fault_line(i + 1, c);
            continue;
        }
        if (c.cdb.size() < 3)
            continue;
        if (c.cdb[0] == kInquiryOpcode && (c.cdb[1] & kEvpdBit))
            keep_longest(vpd, c.cdb[2], c.data);
        else if (c.cdb[0] == kInquiryOpcode && c.data.size() > inquiry.size())
            inquiry = c.data;
        else if (c.cdb[0] == kModeSense6Opcode)
            keep_longest(mode, c.cdb[2] & kModePageMask, c.data);
    }
    std::string out;
    if (!inquiry.empty())
        out += "  inquiry " + hex_bytes(inquiry) + "\n";
    char statement[32];
    for (const auto &page : vpd) {
        std::snprintf(statement, sizeof statement, "  vpd 0x%02x ", page.first);
        out += statement + hex_bytes(page.second) + "\n";
    }
    for (const auto &page : mode) {
        std::snprintf(statement, sizeof statement, "  mode 0x%02x ", page.first);
        out += statement + hex_bytes(page.second) + "\n";
    }
    return out + faults + kernel_statement(d.views.kernel);
}

}  // namespace

std::string capture_description(const std::vector<DeviceResult> &results,
                                const std::string &origin)
{
    std::string out = "capture\n";
    out += "# Device answers captured by zkdiscover --capture";
    if (!origin.empty())
        out += " from " + comment_safe(origin);
    out += ".\n# Replay with: zkdiscover --simulate FILE\n";
    for (const DeviceResult &d : results) {
        if (d.path.empty() || d.path.find_first_of(" \t\n\r#\"") != std::string::npos) {
            out += "\n# skipped " + comment_safe(d.path) + ": its path cannot be written here\n";
            continue;
        }
        out += "\n# " + comment_safe(d.path) + ": " + outcome_name(d.outcome);
        if (!d.inquiry.empty())
            out += " (" + comment_safe(inquiry_vendor(d) + " " + inquiry_product(d)) + ")";
        out += "\nunit " + d.path + "\n";

        if (d.outcome == Outcome::Skipped)
            continue;
        if (d.outcome == Outcome::Unreadable && d.capture.open_error != 0) {
            char line[80];
            std::snprintf(line, sizeof line, "  fault open %d   # %s\n", d.capture.open_error,
                          std::strerror(d.capture.open_error));
            out += line;
            continue;
        }
        if (d.outcome == Outcome::Unreadable && d.capture.commands.empty()) {
            RecordedCommand lost;
            lost.error = d.error_number;
            out += fault_line(1, lost);
            continue;
        }
        out += unit_statements(d);
    }
    // Replay refuses a capture without this line: the file is whole.
    out += "\nend\n";
    return out;
}

bool prepare_capture_folder(const std::string &directory, std::string &error)
{
    // Never writable by others, whatever the umask: such a folder is refused.
    if (mkdir(directory.c_str(), 0775) != 0 && errno != EEXIST) {
        error = "cannot create " + escape_text(directory) + ": " + std::strerror(errno);
        return false;
    }
    std::string why = refused_capture_folder(directory);
    if (!why.empty()) {
        error = escape_text(directory) + ": " + why;
        return false;
    }
    if (!check_output_folder(directory, why)) {
        error = "cannot write in " + escape_text(directory) + ": " + why;
        return false;
    }
    return true;
}

std::string write_capture(const std::string &directory, const std::string &text,
                          std::string &error)
{
    if (!prepare_capture_folder(directory, error))
        return "";
    std::string path = directory + "/" + kCaptureFileName;
    std::string why;
    if (!write_file_atomically(path, [&text](Spool &out) { out += text; }, why)) {
        error = "cannot write " + escape_text(path) + ": " + why;
        return "";
    }
    return path;
}

}  // namespace zkd
