#include "claims.h"

#include "text_escape.h"
#include "trace_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace zkd {

namespace {

// The library reads bytes up to 35 of the standard INQUIRY data it is
// handed, so the host always hands over at least this many.
constexpr size_t kStandardInquiryMinimum = 36;
constexpr int kInquiryStandard = 0;

std::string inquiry_text(const std::vector<unsigned char> &data, size_t from, size_t to)
{
    if (data.size() < to)
        return "";
    size_t end = to;
    while (end > from && (data[end - 1] == ' ' || data[end - 1] == 0))
        --end;
    return std::string(reinterpret_cast<const char *>(data.data()) + from, end - from);
}

}  // namespace

int read_vpd(const HostLibrary &library, const char *path, int page,
             std::vector<unsigned char> &bytes)
{
    constexpr int kInquiryEvpd = 1;
    int length = 0;
    unsigned char *buffer = nullptr;
    int error = library.do_inquiry(path, kInquiryEvpd, page, O_RDONLY | O_NDELAY, &length,
                                   &buffer);
    bytes.clear();
    if (error == 0 && buffer != nullptr)
        bytes.assign(buffer, buffer + length);
    std::free(buffer);
    return error;
}

const char *outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Claimed: return "claimed";
    case Outcome::NotClaimed: return "not_claimed";
    case Outcome::Failed: return "failed";
    case Outcome::Unreadable: return "unreadable";
    case Outcome::Skipped: return "skipped";
    case Outcome::NotAnswering: return "not_answering";
    }
    return "?";
}

PropertyList::PropertyList(std::initializer_list<Pair> pairs)
{
    for (const Pair &p : pairs)
        add(p.first, p.second);
}

void PropertyList::add(std::string_view name, std::string_view value)
{
    packed_.append(name.data(), name.size());
    packed_ += '\0';
    packed_.append(value.data(), value.size());
    packed_ += '\0';
}

PropertyList::Pair PropertyList::const_iterator::operator*() const
{
    const char *name = packed_->c_str() + at_;
    std::string_view n(name);
    return {n, std::string_view(name + n.size() + 1)};
}

PropertyList::const_iterator &PropertyList::const_iterator::operator++()
{
    Pair p = **this;
    at_ += p.first.size() + p.second.size() + 2;
    return *this;
}

const char *PropertyList::find(std::string_view name) const
{
    for (Pair p : *this)
        if (p.first == name)
            return p.second.data();
    return nullptr;
}

size_t PropertyList::size() const
{
    return static_cast<size_t>(std::distance(begin(), end()));
}

std::string inquiry_vendor(const DeviceResult &r) { return inquiry_text(r.inquiry, 8, 16); }
std::string inquiry_product(const DeviceResult &r) { return inquiry_text(r.inquiry, 16, 32); }
std::string inquiry_revision(const DeviceResult &r) { return inquiry_text(r.inquiry, 32, 36); }

namespace {

// Why a node refused the INQUIRY, where the error number alone misleads: a
// node that takes no SCSI commands (a virtio disk, a partition, no SCSI
// device at all) fails the SG_IO request with ENOTTY or EINVAL; EACCES or
// EPERM from a node this user may read is the kernel refusing the command,
// not a missing permission on the node.
std::string refusal_hint(const char *path, int rc)
{
    if (rc == ENOTTY || rc == EINVAL)
        return " (the node takes no SCSI commands: not a SCSI device)";
    if (rc != EACCES && rc != EPERM)
        return "";
    if (access(path, R_OK) != 0)
        return " (read access to the device node is needed)";
    return " (the kernel refused the command on this node)";
}

// The device answered no INQUIRY: why, and with --capture what a replay
// must meet (the commands sent, whether the node opened).
void inquiry_failed(DeviceResult &result, int rc, const char *path, CommandRecording *recording)
{
    result.outcome = Outcome::Unreadable;
    result.error_number = rc;
    result.error = std::string("cannot read its INQUIRY data: ") + std::strerror(rc);
    result.error += refusal_hint(path, rc);
    if (recording) {
        result.capture.commands = recording->take();
        int fd = open(path, O_RDONLY | O_NDELAY | O_CLOEXEC);
        if (fd < 0)
            result.capture.open_error = errno;
        else
            close(fd);
    }
}

// The outcome of claim_device, with the property list it handed over.
void take_claim(const HostLibrary &library, DeviceResult &result, char **list)
{
    switch (result.claim_result) {
    case ZK_CLAIMED:
        result.outcome = Outcome::Claimed;
        if (list == nullptr) {
            result.error = "claimed, but no property list was handed over";
            break;
        }
        for (size_t i = 0; list[i] != nullptr; ++i) {
            std::string_view pair(list[i]);
            size_t eq = pair.find('=');
            if (eq == std::string_view::npos)
                result.properties.add(pair, "");
            else
                result.properties.add(pair.substr(0, eq), pair.substr(eq + 1));
        }
        library.nv_free(list);
        break;
    case ZK_NOT_CLAIMED:
        result.outcome = Outcome::NotClaimed;
        break;
    case ZK_CLAIM_FAILED:
        result.outcome = Outcome::Failed;
        break;
    default:
        result.outcome = Outcome::Failed;
        result.error = "unexpected claim result " + std::to_string(result.claim_result);
        break;
    }
}

}  // namespace

void examine_device(const HostLibrary &library, DeviceResult &result, bool capture,
                    const ViewSource *views)
{
    const std::string &path = result.path;

    device_entry entry;
    std::memset(&entry, 0, sizeof entry);
    if (path.empty() || path.size() >= sizeof entry.path) {
        result.outcome = Outcome::Skipped;
        result.error = path.empty() ? "empty device path"
                                    : "device path longer than " +
                                          std::to_string(sizeof entry.path - 1) +
                                          " characters, which the library cannot take";
        return;
    }
    std::memcpy(entry.path, path.c_str(), path.size() + 1);

    // --capture records what passes, from the host's first command on, so
    // that a replay meets each answer and fault at the same position.
    std::unique_ptr<CommandRecording> recording;
    if (capture)
        recording = std::make_unique<CommandRecording>();

    int length = 0;
    unsigned char *buffer = nullptr;
    int rc = library.do_inquiry(entry.path, kInquiryStandard, 0, O_RDONLY | O_NDELAY,
                                &length, &buffer);
    if (rc != 0) {
        inquiry_failed(result, rc, entry.path, recording.get());
        return;
    }
    std::vector<unsigned char> offered(buffer, buffer + length);
    std::free(buffer);
    size_t read = offered.size();
    if (offered.size() < kStandardInquiryMinimum)
        offered.resize(kStandardInquiryMinimum, 0);
    entry.inquiry = offered.data();

    char **list = nullptr;
    result.claim_result = library.claim_device(&entry, &list);
    // The views of a claimed path come right after its claim, recorded with
    // it, so a replay meets VPD 0xC0 at the same position.
    if (result.claim_result == ZK_CLAIMED && views != nullptr && views->read)
        read_device_views(library, result, *views);
    if (recording)
        result.capture.commands = recording->take();
    take_claim(library, result, list);
    if (result.outcome != Outcome::Claimed || capture) {
        offered.resize(read);
        result.inquiry = std::move(offered);
    }
}

DeviceResult examine_device(const HostLibrary &library, const std::string &path, bool capture)
{
    DeviceResult result;
    result.path = path;
    examine_device(library, result, capture);
    return result;
}

std::vector<DeviceResult> scan_devices(const HostLibrary &library,
                                       const std::vector<std::string> &paths,
                                       const ScanSettings &settings)
{
    std::vector<DeviceResult> results(paths.size());
    std::vector<size_t> which(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        results[i].path = paths[i];
        which[i] = i;
    }
    scan_devices(library, results, which, settings);
    return results;
}

}  // namespace zkd
