// The simulated HID class driver's reading of a report descriptor, on any
// bytes: it splits and parses them or says where and why not, and what it
// accepts is consistent (report IDs findable, lengths within a USHORT).
#include <span>

#include "fuzz/fuzz.h"
#include "platform/sim/hid_class.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::span<const uint8_t> descriptor(data, size);
    const sim::HidItems items = sim::hid_items(descriptor);
    fuzz::check(items.ok() || items.error_offset < size, "an item that does not split is inside the descriptor");
    for (const sim::HidItem &item : items.items) {
        fuzz::check(item.offset + 1 + item.size <= size, "an item lies inside the descriptor");
        item.signed_data();
    }

    const sim::HidParse parse = sim::hid_parse_report_descriptor(descriptor);
    fuzz::check(parse.info.has_value() == parse.error.empty(), "a parse gives either the layout or an error");
    if (!parse.info) {
        fuzz::check(parse.error_offset <= size, "the error's offset is inside the descriptor");
        return 0;
    }
    fuzz::check(items.ok(), "a descriptor that parses splits into items");
    for (size_t c = 0; c < parse.info->collections.size(); c++) {
        for (const sim::HidReport &report : parse.info->collections[c].reports) {
            fuzz::check(parse.info->report_ids == (report.id != 0), "report IDs are used throughout or not at all");
            if (!parse.info->report_ids) continue;
            const auto found = parse.info->find(report.id);
            fuzz::check(found && found->first == c, "each report ID is found in its own collection");
        }
    }
    return 0;
}
