// --compare: a scan as a comparison sees it, from this run's results or
// from an earlier run's --json report. A report is read as it is parsed
// (65,536 paths make 36 MiB of JSON): each path becomes a small record,
// and neither the text nor a document is ever held whole.
#include "compare.h"

#include "file_io.h"
#include "report.h"
#include "report_reader.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

namespace zkd {

namespace {

using json = nlohmann::json;
using reading::parse_strictly;
using reading::quoted_word;
using reading::ReportInput;
using reading::ReportReader;

// State names as the text and the JSON documents write them.
struct StateName {
    DeviceState state;
    const char *text;
    const char *json_name;
};
constexpr StateName kStateNames[] = {
    {DeviceState::Absent, "absent", "absent"},
    {DeviceState::Claimed, "claimed", "claimed"},
    {DeviceState::NotClaimed, "not claimed", "not_claimed"},
    {DeviceState::Failed, "failed", "failed"},
    {DeviceState::NotExamined, "not examined", "not_examined"},
};

const StateName *find_state(DeviceState state)
{
    for (const StateName &n : kStateNames)
        if (n.state == state)
            return &n;
    return nullptr;
}

// The strings behind SharedText handles; handle 0 is "". Never freed: a
// handle may outlive any object that made it.
struct TextPool {
    std::mutex lock;
    std::deque<std::string> texts{std::string()};   // elements never move
    std::unordered_map<std::string_view, uint32_t> ids;
};

TextPool &text_pool()
{
    static TextPool *pool = new TextPool;
    return *pool;
}

// Sorts the devices; the paths found more than once.
std::set<std::string, NaturalOrder> sort_devices(Snapshot &snapshot)
{
    std::deque<DeviceRecord> &devices = snapshot.devices;
    std::sort(devices.begin(), devices.end(), NaturalOrder());
    std::set<std::string, NaturalOrder> repeated;
    for (size_t i = 1; i < devices.size(); ++i)
        if (!natural_less(devices[i - 1].path, devices[i].path))
            repeated.insert(devices[i].path);
    return repeated;
}

bool read_report(ReportInput &input, Snapshot &snapshot, std::string &problem)
{
    snapshot = Snapshot();
    ReportReader reader(&snapshot, nullptr);
    bool ok = parse_strictly(input, reader, problem);
    if (ok && !reader.document_is_object()) {
        problem = "not a zkdiscover --json report (the document is not an object)";
        ok = false;
    }
    if (ok) {
        std::set<std::string, NaturalOrder> repeated = sort_devices(snapshot);
        problem = reader.problem();
        if (!repeated.empty()) {
            // Read again to find where a device is listed a second time:
            // the first problem in file order is the one to report.
            ReportReader again(nullptr, &repeated);
            if (!input.rewind() || !parse_strictly(input, again, problem))
                problem = input.error().empty() ? problem : input.error();
            else
                problem = again.problem();
            if (problem.empty())
                problem = "device " + quoted_word(*repeated.begin()) + " is listed twice";
        }
        ok = problem.empty();
    }
    if (!ok)
        snapshot = Snapshot();
    return ok;
}

}  // namespace

SharedText::SharedText(std::string_view text)
{
    if (text.empty())
        return;
    TextPool &pool = text_pool();
    std::lock_guard<std::mutex> hold(pool.lock);
    auto it = pool.ids.find(text);
    if (it != pool.ids.end()) {
        id_ = it->second;
        return;
    }
    id_ = static_cast<uint32_t>(pool.texts.size());
    pool.texts.emplace_back(text);
    pool.ids.emplace(pool.texts.back(), id_);
}

const std::string &SharedText::str() const
{
    TextPool &pool = text_pool();
    std::lock_guard<std::mutex> hold(pool.lock);
    return pool.texts[id_];
}

const char *state_name(DeviceState state)
{
    const StateName *n = find_state(state);
    return n ? n->text : "?";
}

const char *json_state_name(DeviceState state)
{
    const StateName *n = find_state(state);
    return n ? n->json_name : "?";
}

const DeviceRecord *Snapshot::find(const std::string &path) const
{
    auto it = std::lower_bound(devices.begin(), devices.end(), path,
                               [](const DeviceRecord &r, const std::string &p) { return natural_less(r.path, p); });
    return it != devices.end() && !natural_less(path, it->path) ? &*it : nullptr;
}

bool put_in_order(Snapshot &snapshot, std::string &repeated)
{
    std::set<std::string, NaturalOrder> twice = sort_devices(snapshot);
    repeated = twice.empty() ? "" : *twice.begin();
    return twice.empty();
}

Snapshot snapshot_of_scan(const std::vector<DeviceResult> &results)
{
    Snapshot snapshot;
    for (const ArrayView &array : group_claims(results)) {
        SharedText cabinet(array.cabinet_serial);
        for (const LunView &lun : array.luns) {
            SharedText serial(lun.lun_serial);
            for (const PathView &p : lun.paths) {
                DeviceRecord r;
                r.path = std::string(p.device->path);
                r.state = DeviceState::Claimed;
                r.cabinet_serial = cabinet;
                r.lun_serial = serial;
                r.sp = SharedText(p.sp);
                r.owner = p.owner;
                r.firmware_known = true;
                r.revision = SharedText(property_or_empty(*p.device, "REVISION"));
                r.scsi_version = SharedText(property_or_empty(*p.device, "SCSI_VERSION"));
                r.port_serial = SharedText(p.port_serial);
                snapshot.devices.push_back(std::move(r));
            }
        }
    }
    for (const DeviceResult &d : results) {
        if (d.outcome == Outcome::Claimed)
            continue;
        DeviceRecord r;
        r.path = std::string(d.path);
        r.state = d.outcome == Outcome::NotClaimed ? DeviceState::NotClaimed
                  : d.outcome == Outcome::Failed   ? DeviceState::Failed
                                                   : DeviceState::NotExamined;
        snapshot.devices.push_back(std::move(r));
    }
    std::string repeated;
    put_in_order(snapshot, repeated);   // a scan examines each device once
    return snapshot;
}

bool read_snapshot(const json &doc, Snapshot &snapshot, std::string &problem)
{
    std::string text = doc.dump();
    ReportInput input(text);
    return read_report(input, snapshot, problem);
}

bool load_snapshot(const std::string &file, Snapshot &snapshot, std::string &problem)
{
    size_t size = 0;
    int fd = open_regular_file(file, kMaxInputBytes, size, problem);
    if (fd < 0)
        return false;
    ReportInput input(fd, kMaxInputBytes);
    bool ok = read_report(input, snapshot, problem);
    ::close(fd);
    return ok;
}

void keep_only(Snapshot &snapshot, const std::vector<std::string> &paths)
{
    std::vector<std::string> wanted(paths);
    std::sort(wanted.begin(), wanted.end());
    auto unwanted = [&](const DeviceRecord &r) {
        return !std::binary_search(wanted.begin(), wanted.end(), r.path);
    };
    std::deque<DeviceRecord> &devices = snapshot.devices;
    devices.erase(std::remove_if(devices.begin(), devices.end(), unwanted), devices.end());
}

}  // namespace zkd
