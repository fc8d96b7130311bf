#include "tools/lib/timeline.h"

#include <charconv>
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

} // namespace

bool append_jsonl(std::string &out, const TimelineEntry &e)
{
    // A session's lines are nearly all reports: written straight into the
    // line, the rest through a JSON object.
    if (e.kind == TimelineEntry::Kind::Report) {
        char time[24];
        char *end = std::to_chars(time, time + sizeof time, e.t_ms).ptr;
        out.append("{\"t_ms\":");
        out.append(time, end);
        out.append(",\"report\":\"");
        out.append(report_name(report_kind(e.bytes.data(), e.bytes.size())));
        out.append("\",\"hex\":\"");
        append_hex_bytes(out, e.bytes.data(), e.bytes.size());
        out += '"';
        append_report_fields_json(out, e.bytes.data(), e.bytes.size());
        out += '}';
        return true;
    }
    nlohmann::ordered_json j;
    j["t_ms"] = e.t_ms;
    switch (e.kind) {
    case TimelineEntry::Kind::Report: break;
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
    case TimelineEntry::Kind::Device:
        j["device"] = e.label;
        if (e.answered) j["result"] = status_name(e.status);
        break;
    case TimelineEntry::Kind::Input: return false;
    }
    out += j.dump();
    return true;
}

std::string jsonl_line(const TimelineEntry &e)
{
    std::string line;
    append_jsonl(line, e);
    return line;
}

void write_jsonl(std::ostream &out, const std::vector<TimelineEntry> &timeline)
{
    TimelinePrinter printer(out, TimelinePrinter::Format::Jsonl);
    for (const TimelineEntry &e : timeline) printer.add(e);
    printer.finish();
}

void write_text(std::ostream &out, const std::vector<TimelineEntry> &timeline, bool expand)
{
    TimelinePrinter printer(out, TimelinePrinter::Format::Text, expand);
    for (const TimelineEntry &e : timeline) printer.add(e);
    printer.finish();
}

TimelinePrinter::TimelinePrinter(std::ostream &out, Format format, bool expand)
    : out_(out), format_(format), expand_(expand)
{
}

void TimelinePrinter::add(const TimelineEntry &e)
{
    if (format_ == Format::Jsonl) {
        line_.clear();
        if (!append_jsonl(line_, e)) return;
        line_ += '\n';
        out_.write(line_.data(), std::streamsize(line_.size()));
        return;
    }
    if (run_first_) {
        const TimelineEntry &last_seen = *run_first_;
        if (e.kind == TimelineEntry::Kind::Report && e.bytes == last_seen.bytes && e.t_ms > run_last_ms_) {
            uint64_t gap = e.t_ms - run_last_ms_;
            if (run_count_ == 0) run_interval_ = gap;
            else if (gap != run_interval_) run_regular_ = false;
            run_count_++;
            run_last_ms_ = e.t_ms;
            return;
        }
        end_run();
    }
    switch (e.kind) {
    case TimelineEntry::Kind::Input:
        if (!e.label.empty()) out_ << time_column(e.t_ms) << "-- " << e.label << '\n';
        out_ << time_column(e.t_ms) << padded("device input", kNameWidth) << hex_bytes(e.bytes) << '\n';
        break;
    case TimelineEntry::Kind::Led:
        out_ << time_column(e.t_ms) << padded("LED", kNameWidth) << (e.led ? "on" : "off") << '\n';
        break;
    case TimelineEntry::Kind::Profile:
        out_ << time_column(e.t_ms) << padded("profile", kNameWidth) << e.profile;
        if (!e.label.empty()) out_ << " \"" << e.label << "\"";
        out_ << '\n';
        break;
    case TimelineEntry::Kind::Write:
        out_ << time_column(e.t_ms) << padded("write", kNameWidth) << hex_bytes(e.bytes) << "  "
             << control::describe(e.bytes) << ": " << status_name(e.status) << ", " << e.written << " byte"
             << (e.written == 1 ? "" : "s") << " written\n";
        break;
    case TimelineEntry::Kind::Device:
        out_ << time_column(e.t_ms) << padded("device", kNameWidth) << e.label;
        if (e.answered) out_ << ": " << status_name(e.status);
        out_ << '\n';
        break;
    case TimelineEntry::Kind::Report:
        write_report(out_, e);
        if (expand_) break;
        run_first_ = e;
        run_last_ms_ = e.t_ms;
        run_count_ = 0;
        run_regular_ = true;
        break;
    }
}

void TimelinePrinter::end_run()
{
    if (!run_first_) return;
    if (run_count_ > 0) {
        std::string how = "the same " + std::to_string(run_count_) + " more time" + (run_count_ > 1 ? "s" : "");
        if (run_regular_) how += ", every " + std::to_string(run_interval_) + " ms";
        out_ << time_column(run_last_ms_) << padded("", kNameWidth) << "(" << how << ", until here)\n";
    }
    run_first_.reset();
}

void TimelinePrinter::finish() { end_run(); }

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
