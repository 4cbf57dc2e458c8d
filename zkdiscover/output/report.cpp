#include "report.h"

#include "json_stream.h"
#include "not_answering.h"
#include "text_escape.h"

#include <map>
#include <utility>

namespace zkd {

namespace {

using ojson = nlohmann::ordered_json;

// A line of the tree and the lines below it.
struct Node {
    std::string text;
    std::vector<Node> children;
};

// A node and its children, below prefix; last: the node ends its list.
void render_node(const Node &node, const std::string &prefix, bool last, Spool &out)
{
    out += prefix;
    out += last ? "`-- " : "|-- ";
    out += node.text;
    out += '\n';
    std::string below = prefix + (last ? "    " : "|   ");
    for (size_t i = 0; i < node.children.size(); ++i)
        render_node(node.children[i], below, i + 1 == node.children.size(), out);
}

// Trace lines of a device as leaves under its line (blank lines dropped).
void add_trace(const ReportContext &context, const DeviceResult &device, Node &node)
{
    if (!context.explain)
        return;
    if (device.trace.empty() && (device.outcome == Outcome::Unreadable ||
                                 device.outcome == Outcome::Skipped))
        return;  // never offered to the library: nothing to explain
    bool any = false;
    for (const std::string &line : device.trace) {
        size_t end = line.find_last_not_of(" \t");
        if (end == std::string::npos)
            continue;
        node.children.push_back({"> " + escape_text(line.substr(0, end + 1)), {}});
        any = true;
    }
    if (!any)
        node.children.push_back({"> (the library wrote no trace)", {}});
}

// A device as the tree names it: its path, then, when sysfs told them, its
// other node and its SCSI address ("/dev/sg3 /dev/sdb [2:0:0:1]").
std::string device_label(const DeviceResult &d)
{
    std::string out = escape_text(d.path);
    if (!d.other_node.empty())
        out += " " + escape_text(d.other_node);
    if (!d.scsi_address.empty())
        out += " [" + d.scsi_address + "]";
    return out;
}

std::string quoted_or_empty(std::string_view text)
{
    return text.empty() ? "(empty)" : escape_text(text);
}

std::string inquiry_summary(const DeviceResult &d)
{
    std::string out;
    for (const std::string &field : {inquiry_vendor(d), inquiry_product(d), inquiry_revision(d)}) {
        if (field.empty())
            continue;
        if (!out.empty())
            out += "  ";
        out += escape_text(field);
    }
    return out;
}

bool not_examined(const DeviceResult &d)
{
    return in_group(d, Outcome::Unreadable);
}

// The tree's LUN line with its paths below.
Node lun_node(const ReportContext &context, const LunView &lun)
{
    Node node{"LUN " + quoted_or_empty(lun.lun_serial) + "  rev " + quoted_or_empty(lun.revision) +
                  "  SCSI " + quoted_or_empty(lun.scsi_version),
              {}};
    size_t owners = 0;
    for (const PathView &p : lun.paths) {
        owners += p.owner;
        std::string text = device_label(*p.device) + "  SP " + escape_text(p.sp) + "  port " +
                           quoted_or_empty(p.port_serial);
        if (p.owner)
            text += "  owner";
        std::string_view rev = property_or_empty(*p.device, "REVISION");
        if (rev != lun.revision)
            text += "  rev " + quoted_or_empty(rev);
        text += path_views_text(*p.device);  // kernel_view.h
        text += dm_view_text(*p.device);     // dm_view.h
        Node path_node{text, {}};
        add_trace(context, *p.device, path_node);
        if (context.explain && !disagreement_text(*p.device).empty())
            path_node.children.push_back({"> " + disagreement_text(*p.device), {}});
        node.children.push_back(std::move(path_node));
    }
    if (owners == 0)
        node.text += "  (no path through the owning SP)";
    node.text += lun_views_text(lun);  // kernel_view.h
    return node;
}

// The tree's line of a device that was not claimed.
Node unclaimed_node(const ReportContext &context, const DeviceResult &d)
{
    std::string text = device_label(d);
    if (d.outcome == Outcome::NotAnswering) {
        text += ": " + d.error;
        std::string known = attribution_text(d);
        if (!known.empty())
            text += "; " + known;
    } else if (not_examined(d)) {
        text += ": " + d.error;
    } else {
        std::string inq = inquiry_summary(d);
        if (!inq.empty())
            text += "  " + inq;
        if (!d.error.empty())
            text += "  (" + d.error + ")";
    }
    Node node{text, {}};
    add_trace(context, d, node);
    return node;
}

void with_trace(const ReportContext &context, ojson &object, const DeviceResult &d)
{
    if (!context.explain)
        return;
    ojson lines = ojson::array();
    for (const std::string &line : d.trace)
        if (!line.empty())
            lines.push_back(line);
    object["trace"] = lines;
}

// The SCSI address and both nodes, for devices that sysfs described.
void with_identity(ojson &object, const DeviceResult &d)
{
    if (d.scsi_address.empty())
        return;
    object["scsi_address"] = d.scsi_address;
    ojson nodes = ojson::array({d.path});
    if (!d.other_node.empty())
        nodes.push_back(d.other_node);
    object["nodes"] = nodes;
}

ojson path_json(const ReportContext &context, const PathView &p)
{
    const DeviceResult &d = *p.device;
    ojson path;
    path["device"] = d.path;
    with_identity(path, d);
    path["sp"] = std::string(p.sp);
    path["port_serial"] = std::string(p.port_serial);
    path["owner"] = p.owner;
    ojson props = ojson::object();
    for (PropertyList::Pair kv : d.properties)
        props[std::string(kv.first)] = std::string(kv.second);
    path["properties"] = std::move(props);
    add_views_json(path, d);  // kernel_view.h
    add_dm_json(path, d);     // dm_view.h
    with_trace(context, path, d);
    return path;
}

// A device of the lists after the arrays.
ojson unclaimed_json(const ReportContext &context, const DeviceResult &d)
{
    ojson item;
    item["device"] = d.path;
    with_identity(item, d);
    if (d.outcome == Outcome::NotAnswering) {
        item["error"] = d.error;
        for (auto name : {std::make_pair("CAB_SERIAL_NO", "cabinet_serial"),
                          std::make_pair("LUN_SERIAL_NO", "lun_serial"),
                          std::make_pair("SP", "sp"), std::make_pair("KNOWN_FROM", "known_from")})
            item[name.second] = std::string(property_or_empty(d, name.first));
        with_trace(context, item, d);
        return item;
    }
    if (not_examined(d)) {
        item["error"] = d.error;
        item["errno"] = d.error_number;
        return item;
    }
    item["result"] = d.claim_result;
    item["vendor"] = inquiry_vendor(d);
    item["product"] = inquiry_product(d);
    item["revision"] = inquiry_revision(d);
    if (!d.error.empty())
        item["error"] = d.error;
    with_trace(context, item, d);
    return item;
}

// A device's first export lines: DEVICE=, then SCSI_ADDRESS= and
// DEVICE_NODES= when sysfs described it; and its pairs in list order;
// values quoted by quote.
using Quote = std::string (*)(std::string_view);

void export_head(const DeviceResult &d, Spool &out, Quote quote)
{
    out += "DEVICE=" + quote(d.path) + "\n";
    if (!d.scsi_address.empty()) {
        out += "SCSI_ADDRESS=" + quote(d.scsi_address) + "\n";
        out += "DEVICE_NODES=" +
               quote(d.path + (d.other_node.empty() ? "" : " " + d.other_node)) + "\n";
    }
}

void export_pairs(const DeviceResult &d, Spool &out, Quote quote)
{
    for (PropertyList::Pair kv : d.properties) {
        out += kv.first;
        out += '=';
        out += quote(kv.second);
        out += '\n';
    }
}

}  // namespace

std::string plural(size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void write_tree(const ReportContext &context, const std::vector<DeviceResult> &results,
                Spool &out)
{
    out += "Library: " + escape_text(context.library_path) + " (interface version " +
           std::to_string(context.interface_version) + ")\n";
    std::string info;
    for (const std::string &pair : context.vendor_info)
        info += (info.empty() ? "" : "  ") + escape_text(pair);
    out += "  " + info + "\n";
    if (!context.simulation.empty())
        out += "Simulated devices: " + escape_text(context.simulation) + "\n";

    std::vector<ArrayView> arrays = group_claims(results);
    size_t lun_total = 0;
    for (const ArrayView &array : arrays) {
        lun_total += array.luns.size();
        out += "\nArray " + quoted_or_empty(array.cabinet_serial) + ": " +
               plural(array.luns.size(), "LUN", "LUNs") + ", " +
               plural(array.path_count, "path", "paths") + "\n";
        for (size_t i = 0; i < array.luns.size(); ++i)
            render_node(lun_node(context, array.luns[i]), "", i + 1 == array.luns.size(), out);
    }

    struct Section {
        Outcome outcome;
        const char *title;
    };
    for (Section section : {Section{Outcome::NotClaimed, "Not claimed"},
                            Section{Outcome::Failed, "Claim failed"},
                            Section{Outcome::NotAnswering, "Not answering"},
                            Section{Outcome::Unreadable, "Not examined"}}) {
        size_t total = count_in(results, section.outcome);
        if (total == 0)
            continue;
        out += std::string("\n") + section.title + ": " + plural(total, "device", "devices");
        if (!context.explain && section.outcome != Outcome::Unreadable &&
            section.outcome != Outcome::NotAnswering)
            out += " (--explain shows why)";
        out += "\n";
        size_t shown = 0;
        for (const DeviceResult &d : results)
            if (in_group(d, section.outcome))
                render_node(unclaimed_node(context, d), "", ++shown == total, out);
    }

    out += "\nSummary: " + plural(count_in(results, Outcome::Claimed), "path", "paths") +
           " claimed (" + plural(arrays.size(), "array", "arrays") + ", " +
           plural(lun_total, "LUN", "LUNs") + "), " +
           std::to_string(count_in(results, Outcome::NotClaimed)) + " not claimed, " +
           std::to_string(count_in(results, Outcome::Failed)) + " failed, " +
           std::to_string(count_in(results, Outcome::Unreadable)) + " not examined";
    if (size_t silent = count_in(results, Outcome::NotAnswering))
        out += ", " + std::to_string(silent) + " not answering";
    out += "\n";
}

void write_json(const ReportContext &context, const std::vector<DeviceResult> &results,
                Spool &out)
{
    JsonStream json(out);
    json.open(nullptr, '{');
    json.put("format_version", kReportFormatVersion);
    if (!context.scanned_at.empty())
        json.put("scanned_at", context.scanned_at);
    if (!context.host.empty())
        json.put("host", context.host);
    ojson library;
    library["path"] = context.library_path;
    library["interface_version"] = context.interface_version;
    library["vendor_info"] = context.vendor_info;
    json.put("library", library);
    json.put("simulation", context.simulation.empty() ? ojson(nullptr) : ojson(context.simulation));

    std::vector<ArrayView> arrays = group_claims(results);
    size_t lun_total = 0;
    json.open("arrays", '[');
    for (const ArrayView &array : arrays) {
        json.open(nullptr, '{');
        json.put("cabinet_serial", std::string(array.cabinet_serial));
        json.open("luns", '[');
        for (const LunView &lun : array.luns) {
            ++lun_total;
            ojson head;
            head["lun_serial"] = std::string(lun.lun_serial);
            head["revision"] = std::string(lun.revision);
            head["scsi_version"] = std::string(lun.scsi_version);
            add_lun_views_json(head, lun);  // kernel_view.h
            json.open(nullptr, '{');
            json.members(head);
            json.open("paths", '[');
            for (const PathView &p : lun.paths)
                json.put(nullptr, path_json(context, p));
            json.close();
            json.close();
        }
        json.close();
        json.close();
    }
    json.close();

    struct Section {
        const char *name;
        Outcome outcome;
    };
    for (Section section : {Section{"not_claimed", Outcome::NotClaimed},
                            Section{"failed", Outcome::Failed},
                            Section{"not_examined", Outcome::Unreadable},
                            Section{"not_answering", Outcome::NotAnswering}}) {
        json.open(section.name, '[');
        for (const DeviceResult &d : results)
            if (in_group(d, section.outcome))
                json.put(nullptr, unclaimed_json(context, d));
        json.close();
    }

    ojson summary;
    summary["devices"] = results.size();
    summary["claimed"] = count_in(results, Outcome::Claimed);
    summary["arrays"] = arrays.size();
    summary["luns"] = lun_total;
    summary["not_claimed"] = count_in(results, Outcome::NotClaimed);
    summary["failed"] = count_in(results, Outcome::Failed);
    summary["not_examined"] = count_in(results, Outcome::Unreadable);
    summary["not_answering"] = count_in(results, Outcome::NotAnswering);
    json.put("summary", summary);
    json.close();
    out += '\n';
}

void write_export(const std::vector<DeviceResult> &results, Spool &out, bool terminal)
{
    auto quote = terminal ? terminal_shell_quote : shell_quote;
    bool first = true;
    for (const DeviceResult &d : results) {
        if (d.outcome != Outcome::Claimed)
            continue;
        if (!first)
            out += '\n';
        first = false;
        // Values single-quoted: eval gives them back byte for byte and never
        // runs what a device wrote into them.
        export_head(d, out, quote);
        export_pairs(d, out, quote);
        out += views_export(d);  // kernel_view.h
        out += dm_view_export(d);  // dm_view.h
    }
    // Then the devices that did not answer, with what is known of them.
    for (const DeviceResult &d : results) {
        if (d.outcome != Outcome::NotAnswering)
            continue;
        if (!first)
            out += '\n';
        first = false;
        export_head(d, out, quote);
        out += "OUTCOME=not_answering\nERROR=" + quote(d.error) + "\n";
        export_pairs(d, out, quote);
    }
}

std::string render_tree(const ReportContext &context, const std::vector<DeviceResult> &results)
{
    return collect([&](Spool &out) { write_tree(context, results, out); });
}

std::string render_json_text(const ReportContext &context,
                             const std::vector<DeviceResult> &results)
{
    return collect([&](Spool &out) { write_json(context, results, out); });
}

std::string render_export(const std::vector<DeviceResult> &results)
{
    return collect([&](Spool &out) { write_export(results, out); });
}

}  // namespace zkd
