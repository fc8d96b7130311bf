// The simulated HID class driver's reading of report descriptors: short items
// split out, then the item state machine of HID 1.11 section 6.2.2 run over
// them far enough to know each top-level collection and the length of every
// report it declares. Usages beyond the collections' own are not kept: the
// class driver needs only the lengths to check and sort what a minidriver
// delivers.
#include <map>

#include "platform/sim/hid_class.h"

namespace sim {
namespace {

enum MainTag : uint8_t { kInput = 0x8, kOutput = 0x9, kCollection = 0xA, kFeature = 0xB, kEndCollection = 0xC };
enum GlobalTag : uint8_t {
    kUsagePage = 0x0,
    kReportSize = 0x7,
    kReportId = 0x8,
    kReportCount = 0x9,
    kPush = 0xA,
    kPop = 0xB,
};
enum LocalTag : uint8_t { kUsage = 0x0 };

// Windows hands report lengths around as USHORTs (HIDP_CAPS); a report that
// cannot be said in one is refused rather than truncated.
constexpr uint64_t kMaxReportBytes = 0xFFFF;

// The global items that decide report layout, as Push and Pop save them.
struct Globals {
    uint16_t usage_page = 0;
    std::optional<uint32_t> report_size;
    std::optional<uint32_t> report_count;
    uint8_t report_id = 0;
};

struct ReportBits {
    size_t collection = 0;
    uint64_t bits[3] = {}; // input, output, feature
    size_t first_field = 0; // offset of its first main item, for a late refusal
};

std::string hex8(uint32_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s = "0x";
    s += digits[(v >> 4) & 0xF];
    s += digits[v & 0xF];
    return s;
}

} // namespace

int32_t HidItem::signed_data() const {
    switch (size) {
    case 1:
        return static_cast<int8_t>(data);
    case 2:
        return static_cast<int16_t>(data);
    case 4:
        return static_cast<int32_t>(data);
    default:
        return 0;
    }
}

HidItems hid_items(std::span<const uint8_t> descriptor) {
    HidItems out;
    size_t at = 0;
    while (at < descriptor.size()) {
        uint8_t prefix = descriptor[at];
        if (prefix == 0xFE) {
            out.error = "long item";
            out.error_offset = at;
            return out;
        }
        HidItem item;
        item.offset = at;
        item.type = (prefix >> 2) & 3;
        item.tag = prefix >> 4;
        static constexpr uint8_t kSizes[4] = {0, 1, 2, 4};
        item.size = kSizes[prefix & 3];
        if (item.type == 3) {
            out.error = "reserved item type";
            out.error_offset = at;
            return out;
        }
        if (descriptor.size() - at - 1 < item.size) {
            out.error = "item runs past the end of the descriptor";
            out.error_offset = at;
            return out;
        }
        for (uint8_t i = 0; i < item.size; ++i)
            item.data |= uint32_t(descriptor[at + 1 + i]) << (8 * i);
        out.items.push_back(item);
        at += 1 + item.size;
    }
    return out;
}

std::optional<std::pair<size_t, HidReport>> HidDescriptorInfo::find(uint8_t id) const {
    for (size_t c = 0; c < collections.size(); ++c)
        for (const HidReport &r : collections[c].reports)
            if (r.id == id)
                return std::pair{c, r};
    return std::nullopt;
}

HidParse hid_parse_report_descriptor(std::span<const uint8_t> descriptor) {
    HidParse out;
    auto refuse = [&](size_t offset, std::string why) {
        out.error = std::move(why);
        out.error_offset = offset;
        return out;
    };

    HidItems split = hid_items(descriptor);
    if (!split.ok())
        return refuse(split.error_offset, split.error);

    HidDescriptorInfo info;
    Globals globals;
    std::vector<Globals> stack;
    const HidItem *first_usage = nullptr; // local state: only what a collection needs
    std::vector<size_t> open;            // offsets of the collections still open
    std::map<uint8_t, ReportBits> reports;
    std::optional<size_t> first_report_id_item;

    for (const HidItem &item : split.items) {
        switch (item.type) {
        case 1: // global
            switch (item.tag) {
            case kUsagePage:
                globals.usage_page = static_cast<uint16_t>(item.data);
                break;
            case kReportSize:
                globals.report_size = item.data;
                break;
            case kReportCount:
                globals.report_count = item.data;
                break;
            case kReportId:
                if (item.data == 0)
                    return refuse(item.offset, "report ID 0");
                if (item.data > 0xFF)
                    return refuse(item.offset, "report ID " + std::to_string(item.data) + " does not fit a byte");
                globals.report_id = static_cast<uint8_t>(item.data);
                if (!first_report_id_item)
                    first_report_id_item = item.offset;
                break;
            case kPush:
                stack.push_back(globals);
                break;
            case kPop:
                if (stack.empty())
                    return refuse(item.offset, "Pop without a Push");
                globals = stack.back();
                stack.pop_back();
                break;
            default: // ranges, units, exponents: no bearing on report lengths
                break;
            }
            break;
        case 2: // local
            if (item.tag == kUsage && !first_usage)
                first_usage = &item;
            break;
        default: // main
            switch (item.tag) {
            case kCollection:
                if (open.empty()) {
                    // A short usage takes the page in force at the main item,
                    // not at the usage (HID 1.11, 6.2.2.8).
                    HidCollection c;
                    c.usage_page = globals.usage_page;
                    if (first_usage) {
                        c.usage = static_cast<uint16_t>(first_usage->data);
                        if (first_usage->size == 4)
                            c.usage_page = static_cast<uint16_t>(first_usage->data >> 16);
                    }
                    info.collections.push_back(c);
                }
                open.push_back(item.offset);
                break;
            case kEndCollection:
                if (open.empty())
                    return refuse(item.offset, "End Collection without an open collection");
                open.pop_back();
                break;
            case kInput:
            case kOutput:
            case kFeature: {
                if (open.empty())
                    return refuse(item.offset, "main item outside any collection");
                if (!globals.report_size)
                    return refuse(item.offset, "field without a Report Size");
                if (!globals.report_count)
                    return refuse(item.offset, "field without a Report Count");
                size_t collection = info.collections.size() - 1;
                auto [it, added] = reports.try_emplace(globals.report_id);
                ReportBits &r = it->second;
                if (added) {
                    r.collection = collection;
                    r.first_field = item.offset;
                    info.collections[collection].reports.push_back(HidReport{globals.report_id});
                } else if (r.collection != collection) {
                    return refuse(item.offset, "report ID " + hex8(globals.report_id) +
                                                   " used in two top-level collections");
                }
                int direction = item.tag == kInput ? 0 : item.tag == kOutput ? 1 : 2;
                r.bits[direction] += uint64_t(*globals.report_size) * *globals.report_count;
                // Report 0 carries no ID byte; in a descriptor with IDs it is refused below anyway.
                if ((r.bits[direction] + 7) / 8 + (globals.report_id ? 1 : 0) > kMaxReportBytes)
                    return refuse(item.offset, "report " + hex8(globals.report_id) + " longer than " +
                                                   std::to_string(kMaxReportBytes) + " bytes");
                break;
            }
            default:
                return refuse(item.offset, "reserved main item");
            }
            first_usage = nullptr;
            break;
        }
    }
    if (!open.empty())
        return refuse(open.back(), "collection left open");

    info.report_ids = first_report_id_item.has_value();
    if (info.report_ids) {
        auto unnamed = reports.find(0);
        if (unnamed != reports.end())
            return refuse(unnamed->second.first_field, "field before the first Report ID of a descriptor that uses them");
    }
    unsigned id_byte = info.report_ids ? 1 : 0;
    for (HidCollection &c : info.collections)
        for (HidReport &r : c.reports) {
            const ReportBits &bits = reports[r.id];
            auto bytes = [&](int d) { return bits.bits[d] ? static_cast<uint16_t>((bits.bits[d] + 7) / 8 + id_byte) : 0; };
            r.input = bytes(0);
            r.output = bytes(1);
            r.feature = bytes(2);
        }
    out.info = std::move(info);
    return out;
}

} // namespace sim
