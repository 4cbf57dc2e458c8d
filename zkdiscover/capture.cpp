#include "capture.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace zkd {

namespace {

// Commands a replayed run sends to one unit, in order: the standard
// INQUIRY (two passes), then what claim_device sends, two passes each, in
// this order. A fault on the first pass of a page makes the claim see the
// failure where it saw it on the real device.
constexpr int kFirstClaimCommand = 3;
constexpr int kCommandsPerRead = 2;

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

std::string comment_safe(std::string text)
{
    for (char &c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

struct PageRead {
    const char *statement;   // "vpd 0x83" / "mode 0x26"
    const CapturedResponse *response;
};

}  // namespace

std::string capture_description(const std::vector<DeviceResult> &results,
                                const std::string &origin)
{
    std::string out;
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
        if (d.outcome == Outcome::Unreadable) {
            char line[80];
            if (d.capture.open_error != 0)
                std::snprintf(line, sizeof line, "  fault open %d   # %s\n", d.capture.open_error,
                              std::strerror(d.capture.open_error));
            else
                std::snprintf(line, sizeof line, "  fault command 1 errno %d   # %s\n",
                              d.error_number, std::strerror(d.error_number));
            out += line;
            continue;
        }
        out += "  inquiry " + hex_bytes(d.inquiry) + "\n";

        const PageRead reads[] = {
            {"mode 0x26", &d.capture.mode_sp_report},
            {"mode 0x2b", &d.capture.mode_unit_config},
            {"vpd 0x83", &d.capture.vpd_device_id},
            {"vpd 0x80", &d.capture.vpd_unit_serial},
        };
        bool fault_written = false;
        for (size_t i = 0; i < std::size(reads); ++i) {
            const CapturedResponse &r = *reads[i].response;
            if (!r.read)
                continue;
            if (r.error == 0) {
                out += std::string("  ") + reads[i].statement + " " + hex_bytes(r.bytes) + "\n";
                continue;
            }
            // Only the first failure matters: a claim stops there.
            if (fault_written)
                continue;
            fault_written = true;
            char line[120];
            std::snprintf(line, sizeof line, "  fault command %d errno %d   # %s failed: %s\n",
                          kFirstClaimCommand + kCommandsPerRead * static_cast<int>(i), r.error,
                          reads[i].statement, std::strerror(r.error));
            out += line;
        }
    }
    return out;
}

std::string write_capture(const std::string &directory, const std::string &text,
                          std::string &error)
{
    if (mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) {
        error = "cannot create " + directory + ": " + std::strerror(errno);
        return "";
    }
    struct stat st;
    if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = directory + " is not a directory";
        return "";
    }
    std::string path = directory + "/" + kCaptureFileName;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return "";
    }
    file << text;
    file.close();
    if (!file) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return "";
    }
    return path;
}

}  // namespace zkd
