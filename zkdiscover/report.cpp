#include "report.h"

#include "compare.h"
#include "text_escape.h"

#include <map>

namespace zkd {

namespace {

// A line of the tree and the lines below it.
struct Node {
    std::string text;
    std::vector<Node> children;
};

void render_children(const std::vector<Node> &children, const std::string &prefix,
                     std::string &out)
{
    for (size_t i = 0; i < children.size(); ++i) {
        bool last = i + 1 == children.size();
        out += prefix;
        out += last ? "`-- " : "|-- ";
        out += children[i].text;
        out += '\n';
        render_children(children[i].children, prefix + (last ? "    " : "|   "), out);
    }
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

std::string quoted_or_empty(const std::string &text)
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
        out += field;
    }
    return out;
}


size_t count(const std::vector<DeviceResult> &results, Outcome outcome)
{
    size_t n = 0;
    for (const DeviceResult &d : results)
        n += d.outcome == outcome;
    return n;
}

}  // namespace

std::string property_or_empty(const DeviceResult &d, const char *name)
{
    const std::string *v = find_property(d, name);
    return v ? *v : "";
}

std::string plural(size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::vector<ArrayView> group_claims(const std::vector<DeviceResult> &results)
{
    std::vector<ArrayView> arrays;
    std::map<std::string, size_t> array_index;
    std::map<std::pair<std::string, std::string>, size_t> lun_index;

    for (const DeviceResult &d : results) {
        if (d.outcome != Outcome::Claimed)
            continue;
        std::string cab = property_or_empty(d, "CAB_SERIAL_NO");
        std::string lun = property_or_empty(d, "LUN_SERIAL_NO");
        auto a = array_index.find(cab);
        if (a == array_index.end()) {
            a = array_index.emplace(cab, arrays.size()).first;
            arrays.push_back({cab, {}, 0});
        }
        ArrayView &array = arrays[a->second];
        auto key = std::make_pair(cab, lun);
        auto l = lun_index.find(key);
        if (l == lun_index.end()) {
            l = lun_index.emplace(key, array.luns.size()).first;
            array.luns.push_back({lun, property_or_empty(d, "REVISION"),
                                  property_or_empty(d, "SCSI_VERSION"), {}});
        }
        PathView path;
        path.device = &d;
        path.port_serial = property_or_empty(d, "PORT_SERIAL_NO");
        // The port serial is the cabinet serial's first word plus the SP's
        // letter.
        path.sp = path.port_serial.empty() ? "?" : path.port_serial.substr(path.port_serial.size() - 1);
        path.owner = property_or_empty(d, "LUN_OWNER") == "Y";
        array.luns[l->second].paths.push_back(path);
        ++array.path_count;
    }
    return arrays;
}

std::string render_tree(const ReportContext &context, const std::vector<DeviceResult> &results)
{
    std::string out;
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
        Node root;
        for (const LunView &lun : array.luns) {
            Node lun_node{"LUN " + quoted_or_empty(lun.lun_serial) + "  rev " +
                              quoted_or_empty(lun.revision) + "  SCSI " +
                              quoted_or_empty(lun.scsi_version),
                          {}};
            size_t owners = 0;
            for (const PathView &p : lun.paths) {
                owners += p.owner;
                std::string text = device_label(*p.device) + "  SP " + escape_text(p.sp) + "  port " +
                                   quoted_or_empty(p.port_serial);
                if (p.owner)
                    text += "  owner";
                std::string rev = property_or_empty(*p.device, "REVISION");
                if (rev != lun.revision)
                    text += "  rev " + quoted_or_empty(rev);
                text += path_views_text(*p.device);  // kernel_view.h
                Node path_node{text, {}};
                add_trace(context, *p.device, path_node);
                if (context.explain && !disagreement_text(*p.device).empty())
                    path_node.children.push_back({"> " + disagreement_text(*p.device), {}});
                lun_node.children.push_back(path_node);
            }
            if (owners == 0)
                lun_node.text += "  (no path through the owning SP)";
            lun_node.text += lun_views_text(lun);  // kernel_view.h
            root.children.push_back(lun_node);
        }
        out += "\nArray " + quoted_or_empty(array.cabinet_serial) + ": " +
               plural(array.luns.size(), "LUN", "LUNs") + ", " +
               plural(array.path_count, "path", "paths") + "\n";
        render_children(root.children, "", out);
    }

    struct Section {
        Outcome outcome;
        const char *title;
    };
    for (Section section : {Section{Outcome::NotClaimed, "Not claimed"},
                            Section{Outcome::Failed, "Claim failed"},
                            Section{Outcome::Unreadable, "Not examined"}}) {
        std::vector<Node> nodes;
        for (const DeviceResult &d : results) {
            bool belongs = d.outcome == section.outcome ||
                           (section.outcome == Outcome::Unreadable && d.outcome == Outcome::Skipped);
            if (!belongs)
                continue;
            std::string text = device_label(d);
            if (d.outcome == Outcome::Unreadable || d.outcome == Outcome::Skipped) {
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
            nodes.push_back(node);
        }
        if (nodes.empty())
            continue;
        out += std::string("\n") + section.title + ": " +
               plural(nodes.size(), "device", "devices");
        if (!context.explain && section.outcome != Outcome::Unreadable)
            out += " (--explain shows why)";
        out += "\n";
        render_children(nodes, "", out);
    }

    out += "\nSummary: " + plural(count(results, Outcome::Claimed), "path", "paths") +
           " claimed (" + plural(arrays.size(), "array", "arrays") + ", " +
           plural(lun_total, "LUN", "LUNs") + "), " +
           std::to_string(count(results, Outcome::NotClaimed)) + " not claimed, " +
           std::to_string(count(results, Outcome::Failed)) + " failed, " +
           std::to_string(count(results, Outcome::Unreadable) + count(results, Outcome::Skipped)) +
           " not examined\n";
    return out;
}

nlohmann::ordered_json render_json(const ReportContext &context,
                                   const std::vector<DeviceResult> &results)
{
    using json = nlohmann::ordered_json;
    auto with_trace = [&](json &object, const DeviceResult &d) {
        if (!context.explain)
            return;
        json lines = json::array();
        for (const std::string &line : d.trace)
            if (!line.empty())
                lines.push_back(line);
        object["trace"] = lines;
    };

    // The SCSI address and both nodes, for devices that sysfs described.
    auto with_identity = [](json &object, const DeviceResult &d) {
        if (d.scsi_address.empty())
            return;
        object["scsi_address"] = d.scsi_address;
        json nodes = json::array({d.path});
        if (!d.other_node.empty())
            nodes.push_back(d.other_node);
        object["nodes"] = nodes;
    };

    json doc;
    doc["format_version"] = kReportFormatVersion;
    if (!context.scanned_at.empty())
        doc["scanned_at"] = context.scanned_at;
    if (!context.host.empty())
        doc["host"] = context.host;
    json library;
    library["path"] = context.library_path;
    library["interface_version"] = context.interface_version;
    json info = json::array();
    for (const std::string &pair : context.vendor_info)
        info.push_back(pair);
    library["vendor_info"] = info;
    doc["library"] = library;
    doc["simulation"] = context.simulation.empty() ? json(nullptr) : json(context.simulation);

    std::vector<ArrayView> arrays = group_claims(results);
    json jarrays = json::array();
    size_t lun_total = 0;
    for (const ArrayView &array : arrays) {
        json jarray;
        jarray["cabinet_serial"] = array.cabinet_serial;
        json luns = json::array();
        for (const LunView &lun : array.luns) {
            ++lun_total;
            json jlun;
            jlun["lun_serial"] = lun.lun_serial;
            jlun["revision"] = lun.revision;
            jlun["scsi_version"] = lun.scsi_version;
            json paths = json::array();
            for (const PathView &p : lun.paths) {
                json jpath;
                jpath["device"] = p.device->path;
                with_identity(jpath, *p.device);
                jpath["sp"] = p.sp;
                jpath["port_serial"] = p.port_serial;
                jpath["owner"] = p.owner;
                json props;
                for (const auto &kv : p.device->properties)
                    props[kv.first] = kv.second;
                jpath["properties"] = props.is_null() ? json::object() : props;
                add_views_json(jpath, *p.device);  // kernel_view.h
                with_trace(jpath, *p.device);
                paths.push_back(jpath);
            }
            add_lun_views_json(jlun, lun);  // kernel_view.h
            jlun["paths"] = paths;
            luns.push_back(jlun);
        }
        jarray["luns"] = luns;
        jarrays.push_back(jarray);
    }
    doc["arrays"] = jarrays;

    json not_claimed = json::array(), failed = json::array(), not_examined = json::array();
    for (const DeviceResult &d : results) {
        json item;
        item["device"] = d.path;
        with_identity(item, d);
        switch (d.outcome) {
        case Outcome::Claimed:
            continue;
        case Outcome::NotClaimed:
        case Outcome::Failed:
            item["result"] = d.claim_result;
            item["vendor"] = inquiry_vendor(d);
            item["product"] = inquiry_product(d);
            item["revision"] = inquiry_revision(d);
            if (!d.error.empty())
                item["error"] = d.error;
            with_trace(item, d);
            (d.outcome == Outcome::NotClaimed ? not_claimed : failed).push_back(item);
            break;
        case Outcome::Unreadable:
        case Outcome::Skipped:
            item["error"] = d.error;
            item["errno"] = d.error_number;
            not_examined.push_back(item);
            break;
        }
    }
    doc["not_claimed"] = not_claimed;
    doc["failed"] = failed;
    doc["not_examined"] = not_examined;

    json summary;
    summary["devices"] = results.size();
    summary["claimed"] = count(results, Outcome::Claimed);
    summary["arrays"] = arrays.size();
    summary["luns"] = lun_total;
    summary["not_claimed"] = not_claimed.size();
    summary["failed"] = failed.size();
    summary["not_examined"] = not_examined.size();
    doc["summary"] = summary;
    return doc;
}

std::string render_json_text(const ReportContext &context,
                             const std::vector<DeviceResult> &results)
{
    return render_json(context, results)
               .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
           "\n";
}

std::string render_export(const std::vector<DeviceResult> &results)
{
    std::string out;
    bool first = true;
    for (const DeviceResult &d : results) {
        if (d.outcome != Outcome::Claimed)
            continue;
        if (!first)
            out += '\n';
        first = false;
        // Values single-quoted: eval gives them back byte for byte and never
        // runs what a device wrote into them.
        out += "DEVICE=" + shell_quote(d.path) + "\n";
        if (!d.scsi_address.empty()) {
            out += "SCSI_ADDRESS=" + shell_quote(d.scsi_address) + "\n";
            out += "DEVICE_NODES=" +
                   shell_quote(d.path + (d.other_node.empty() ? "" : " " + d.other_node)) + "\n";
        }
        for (const auto &kv : d.properties)
            out += kv.first + "=" + shell_quote(kv.second) + "\n";
        out += views_export(d);  // kernel_view.h
    }
    return out;
}

}  // namespace zkd
