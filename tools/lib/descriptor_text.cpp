#include "tools/lib/descriptor_text.h"

#include <cstdio>
#include <vector>

#include "platform/sim/hid_class.h"
#include "tools/lib/report_format.h"

namespace mivo::tools {

namespace {

template <typename... Args> std::string format(const char *fmt, Args... args)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

struct Named {
    uint16_t id;
    const char *name;
};

constexpr Named kPages[] = {
    {0x01, "Generic Desktop"}, {0x02, "Simulation Controls"}, {0x05, "Game Controls"}, {0x06, "Generic Device Controls"},
    {0x07, "Keyboard/Keypad"}, {0x08, "LED"},                 {0x09, "Button"},        {0x0C, "Consumer"},
};

constexpr Named kDesktop[] = {
    {0x01, "Pointer"},      {0x02, "Mouse"},          {0x04, "Joystick"},       {0x05, "Game Pad"},
    {0x06, "Keyboard"},     {0x07, "Keypad"},         {0x08, "Multi-axis Controller"},
    {0x30, "X"},            {0x31, "Y"},              {0x32, "Z"},              {0x33, "Rx"},
    {0x34, "Ry"},           {0x35, "Rz"},             {0x36, "Slider"},         {0x37, "Dial"},
    {0x38, "Wheel"},        {0x39, "Hat switch"},     {0x3A, "Counted Buffer"}, {0x3B, "Byte Count"},
    {0x3D, "Start"},        {0x3E, "Select"},         {0x80, "System Control"},
};

constexpr Named kConsumer[] = {
    {0x01, "Consumer Control"}, {0xB0, "Play"},          {0xB1, "Pause"},        {0xB5, "Scan Next Track"},
    {0xB6, "Scan Previous Track"}, {0xB7, "Stop"},       {0xCD, "Play/Pause"},   {0xE2, "Mute"},
    {0xE9, "Volume Increment"}, {0xEA, "Volume Decrement"}, {0x18A, "AL Email Reader"}, {0x192, "AL Calculator"},
    {0x221, "AC Search"},       {0x223, "AC Home"},      {0x224, "AC Back"},     {0x225, "AC Forward"},
    {0x226, "AC Stop"},         {0x227, "AC Refresh"},   {0x22A, "AC Bookmarks"},
};

constexpr Named kLeds[] = {
    {0x01, "Num Lock"}, {0x02, "Caps Lock"}, {0x03, "Scroll Lock"}, {0x4B, "Generic Indicator"},
};

template <size_t N> const char *lookup(const Named (&table)[N], uint32_t id)
{
    for (const Named &n : table) {
        if (n.id == id) return n.name;
    }
    return nullptr;
}

bool vendor_page(uint32_t page) { return page >= 0xFF00 && page <= 0xFFFF; }

std::string page_name(uint32_t page)
{
    if (const char *n = lookup(kPages, page)) return n;
    if (vendor_page(page)) return format("vendor-defined 0x%04X", unsigned(page));
    return format("0x%04X", unsigned(page));
}

// A usage of the given page, by name where this page is one we know; the code
// stays in front where the name alone would hide it (key codes, vendor usages).
std::string usage_name(uint32_t page, uint32_t usage)
{
    const char *name = nullptr;
    switch (page) {
    case 0x01: name = lookup(kDesktop, usage); break;
    case 0x08: name = lookup(kLeds, usage); break;
    case 0x0C: name = lookup(kConsumer, usage); break;
    case 0x09: return usage == 0 ? "no button" : format("Button %u", unsigned(usage));
    case 0x07:
        if (usage == 0) return "0x00: no key";
        if (usage <= 0xFF) return format("0x%02X: %s", unsigned(usage), key_name(uint8_t(usage)).c_str());
        break;
    default:
        if (vendor_page(page)) return format("vendor 0x%02X", unsigned(usage));
        break;
    }
    if (name != nullptr) {
        return usage > 0xFF ? format("%s (0x%X)", name, unsigned(usage)) : std::string(name);
    }
    return format("0x%02X", unsigned(usage));
}

std::string main_flags(uint8_t tag, uint32_t data)
{
    std::string out = data & 0x01 ? "Constant" : "Data";
    out += data & 0x02 ? ", Variable" : ", Array";
    out += data & 0x04 ? ", Relative" : ", Absolute";
    if (data & 0x08) out += ", Wrap";
    if (data & 0x10) out += ", Non Linear";
    if (data & 0x20) out += ", No Preferred";
    if (data & 0x40) out += ", Null State";
    if ((data & 0x80) && tag != 0x8) out += ", Volatile"; // reserved for Input
    if (data & 0x100) out += ", Buffered Bytes";
    return out;
}

std::string collection_kind(uint32_t data)
{
    static const char *kinds[] = {"Physical", "Application", "Logical", "Report", "Named Array", "Usage Switch",
                                  "Usage Modifier"};
    if (data < std::size(kinds)) return kinds[data];
    if (data >= 0x80 && data <= 0xFF) return format("vendor-defined 0x%02X", unsigned(data));
    return format("reserved 0x%02X", unsigned(data));
}

int nibble(uint32_t value, int index)
{
    int n = int((value >> (4 * index)) & 0xF);
    return n >= 8 ? n - 16 : n; // each exponent is a signed nibble
}

std::string unit_text(uint32_t data)
{
    static const char *systems[] = {"None", "SI Linear", "SI Rotation", "English Linear", "English Rotation"};
    // The base unit of each nibble 1..6, per system (length, mass, time,
    // temperature, current, luminous intensity).
    static const char *lengths[] = {"", "cm", "rad", "inch", "degrees"};
    static const char *masses[] = {"", "g", "g", "slug", "slug"};
    static const char *temperatures[] = {"", "K", "K", "F", "F"};
    unsigned system = data & 0xF;
    std::string out = format("0x%X: ", unsigned(data));
    if (system >= std::size(systems)) return out + format("vendor-defined system %u", system);
    out += systems[system];
    const char *units[7] = {nullptr, lengths[system], masses[system], "s", temperatures[system], "A", "cd"};
    for (int i = 1; i < 7; i++) {
        int e = nibble(data, i);
        if (e == 0) continue;
        out += std::string(", ") + units[i];
        if (e != 1) out += format("^%d", e);
    }
    return out;
}

std::string item_text(const sim::HidItem &item, uint32_t page)
{
    uint32_t d = item.data;
    switch (item.type) {
    case 0:
        switch (item.tag) {
        case 0x8: return "Input (" + main_flags(item.tag, d) + ")";
        case 0x9: return "Output (" + main_flags(item.tag, d) + ")";
        case 0xB: return "Feature (" + main_flags(item.tag, d) + ")";
        case 0xA: return "Collection (" + collection_kind(d) + ")";
        case 0xC: return "End Collection";
        }
        break;
    case 1:
        switch (item.tag) {
        case 0x0: return "Usage Page (" + page_name(d) + ")";
        case 0x1: return format("Logical Minimum (%d)", item.signed_data());
        case 0x2: return format("Logical Maximum (%d)", item.signed_data());
        case 0x3: return format("Physical Minimum (%d)", item.signed_data());
        case 0x4: return format("Physical Maximum (%d)", item.signed_data());
        case 0x5: return format("Unit Exponent (%d)", nibble(d, 0));
        case 0x6: return "Unit (" + unit_text(d) + ")";
        case 0x7: return format("Report Size (%u)", unsigned(d));
        case 0x8: return format("Report ID (0x%02X)", unsigned(d));
        case 0x9: return format("Report Count (%u)", unsigned(d));
        case 0xA: return "Push";
        case 0xB: return "Pop";
        }
        break;
    case 2: {
        // A four-byte usage names its own page in the high half.
        uint32_t usage_page = item.size == 4 ? d >> 16 : page;
        uint32_t usage = item.size == 4 ? d & 0xFFFF : d;
        switch (item.tag) {
        case 0x0: return "Usage (" + usage_name(usage_page, usage) + ")";
        case 0x1: return "Usage Minimum (" + usage_name(usage_page, usage) + ")";
        case 0x2: return "Usage Maximum (" + usage_name(usage_page, usage) + ")";
        case 0x3: return format("Designator Index (%u)", unsigned(d));
        case 0x4: return format("Designator Minimum (%u)", unsigned(d));
        case 0x5: return format("Designator Maximum (%u)", unsigned(d));
        case 0x7: return format("String Index (%u)", unsigned(d));
        case 0x8: return format("String Minimum (%u)", unsigned(d));
        case 0x9: return format("String Maximum (%u)", unsigned(d));
        case 0xA: return d == 1 ? "Delimiter (open)" : "Delimiter (close)";
        }
        break;
    }
    }
    return format("reserved item (type %u, tag 0x%X, data 0x%X)", unsigned(item.type), unsigned(item.tag), unsigned(d));
}

} // namespace

std::string descriptor_hex(std::span<const uint8_t> descriptor)
{
    std::string out;
    for (size_t line = 0; line < descriptor.size(); line += 16) {
        out += format("%04zX ", line);
        for (size_t i = line; i < descriptor.size() && i < line + 16; i++) out += format(" %02X", unsigned(descriptor[i]));
        out += '\n';
    }
    return out;
}

std::string descriptor_items_text(std::span<const uint8_t> descriptor)
{
    sim::HidItems split = sim::hid_items(descriptor);
    std::string out;
    uint32_t page = 0;
    std::vector<uint32_t> pushed; // the usage page is the one global that naming needs
    int depth = 0;
    for (const sim::HidItem &item : split.items) {
        bool main = item.type == 0;
        if (main && item.tag == 0xC && depth > 0) depth--;
        std::string bytes;
        for (size_t i = item.offset; i <= item.offset + item.size && i < descriptor.size(); i++) {
            if (!bytes.empty()) bytes += ' ';
            bytes += format("%02X", unsigned(descriptor[i]));
        }
        out += format("%04zX  %-14s ", item.offset, bytes.c_str()) + std::string(size_t(depth) * 2, ' ') +
               item_text(item, page) + "\n";
        if (main && item.tag == 0xA) depth++;
        if (item.type == 1 && item.tag == 0x0) page = item.data;
        if (item.type == 1 && item.tag == 0xA) pushed.push_back(page);
        if (item.type == 1 && item.tag == 0xB && !pushed.empty()) {
            page = pushed.back();
            pushed.pop_back();
        }
    }
    if (!split.ok()) out += format("%04zX  error: ", split.error_offset) + split.error + "\n";
    return out;
}

} // namespace mivo::tools
