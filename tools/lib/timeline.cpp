#include "tools/lib/timeline.h"

#include <cstdio>

#include "platform/kernel.h"
#include "tools/lib/control.h"
#include "tools/lib/report_format.h"

namespace mivo::tools {

namespace {

std::string time_column(uint64_t t_ms)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%7llu ms  ", static_cast<unsigned long long>(t_ms));
    return buf;
}

std::string padded(std::string_view s, size_t width)
{
    std::string out(s);
    if (out.size() < width) out.append(width - out.size(), ' ');
    return out;
}

constexpr size_t kNameWidth = 17;

void write_report(std::ostream &out, const TimelineEntry &e)
{
    ReportKind kind = report_kind(e.bytes.data(), e.bytes.size());
    std::string fields = kind == ReportKind::Unknown ? hex_bytes(e.bytes) : report_text(e.bytes);
    out << time_column(e.t_ms) << padded(report_name(kind), kNameWidth) << fields << '\n';
}

bool same_report(const TimelineEntry &a, const TimelineEntry &b)
{
    return a.kind == TimelineEntry::Kind::Report && b.kind == TimelineEntry::Kind::Report && a.bytes == b.bytes &&
           b.t_ms > a.t_ms;
}

} // namespace

std::string jsonl_line(const TimelineEntry &e)
{
    nlohmann::ordered_json j;
    j["t_ms"] = e.t_ms;
    switch (e.kind) {
    case TimelineEntry::Kind::Report:
        j["report"] = report_name(report_kind(e.bytes.data(), e.bytes.size()));
        j["hex"] = hex_bytes(e.bytes);
    {
        nlohmann::ordered_json fields = report_fields(e.bytes);
        for (auto &[key, value] : fields.items()) j[key] = value;
    }
        break;
    case TimelineEntry::Kind::Led: j["led"] = e.led; break;
    case TimelineEntry::Kind::Profile:
        j["profile"] = e.profile;
        j["name"] = e.label;
        break;
    case TimelineEntry::Kind::Write:
        j["write"] = hex_bytes(e.bytes);
        j["command"] = control::describe(e.bytes);
        j["result"] = status_name(e.status);
        j["written"] = e.written;
        break;
    case TimelineEntry::Kind::Input: return "";
    }
    return j.dump();
}

void write_jsonl(std::ostream &out, const std::vector<TimelineEntry> &timeline)
{
    for (const TimelineEntry &e : timeline) {
        std::string line = jsonl_line(e);
        if (!line.empty()) out << line << '\n';
    }
}

void write_text(std::ostream &out, const std::vector<TimelineEntry> &timeline, bool expand)
{
    for (size_t i = 0; i < timeline.size(); i++) {
        const TimelineEntry &e = timeline[i];
        switch (e.kind) {
        case TimelineEntry::Kind::Input:
            if (!e.label.empty()) out << time_column(e.t_ms) << "-- " << e.label << '\n';
            out << time_column(e.t_ms) << padded("device input", kNameWidth) << hex_bytes(e.bytes) << '\n';
            break;
        case TimelineEntry::Kind::Led:
            out << time_column(e.t_ms) << padded("LED", kNameWidth) << (e.led ? "on" : "off") << '\n';
            break;
        case TimelineEntry::Kind::Profile:
            out << time_column(e.t_ms) << padded("profile", kNameWidth) << e.profile << " \"" << e.label << "\"\n";
            break;
        case TimelineEntry::Kind::Write:
            out << time_column(e.t_ms) << padded("write", kNameWidth) << hex_bytes(e.bytes) << "  "
                << control::describe(e.bytes) << ": " << status_name(e.status) << ", " << e.written << " byte"
                << (e.written == 1 ? "" : "s") << " written\n";
            break;
        case TimelineEntry::Kind::Report: {
            write_report(out, e);
            if (expand) break;
            size_t last = i;
            bool regular = true;
            while (last + 1 < timeline.size() && same_report(timeline[last], timeline[last + 1])) {
                if (last > i && timeline[last + 1].t_ms - timeline[last].t_ms != timeline[i + 1].t_ms - e.t_ms) {
                    regular = false;
                }
                last++;
            }
            if (last == i) break;
            std::string how = "the same " + std::to_string(last - i) + " more time" + (last - i > 1 ? "s" : "");
            if (regular) how += ", every " + std::to_string(timeline[i + 1].t_ms - e.t_ms) + " ms";
            out << time_column(timeline[last].t_ms) << padded("", kNameWidth) << "(" << how << ", until here)\n";
            i = last;
            break;
        }
        }
    }
}

std::string status_name(uint32_t status)
{
    static const struct {
        NTSTATUS status;
        const char *name;
    } names[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
    };
    for (const auto &n : names) {
        if (uint32_t(n.status) == status) return n.name;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", unsigned(status));
    return buf;
}

} // namespace mivo::tools
