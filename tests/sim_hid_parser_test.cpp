// The simulated HID class driver's reading of report descriptors: what it
// makes of good descriptors (collections, report IDs, lengths per direction)
// and where it stops on bad ones.
#include <gtest/gtest.h>

#include "platform/sim/hid_class.h"
#include "tests/support/bytes.h"

namespace {

using test_bytes::hex;

// A parse in one line: "ids" or "no ids", then each top-level collection as
// page:usage and its reports as [id i<input> o<output> f<feature>], lengths
// that are 0 left out.
std::string summary(const sim::HidDescriptorInfo &info) {
    char buf[32];
    std::string s = info.report_ids ? "ids" : "no ids";
    for (const sim::HidCollection &c : info.collections) {
        std::snprintf(buf, sizeof buf, "; %02X:%02X", c.usage_page, c.usage);
        s += buf;
        for (const sim::HidReport &r : c.reports) {
            std::snprintf(buf, sizeof buf, " [%02X", r.id);
            s += buf;
            if (r.input)
                s += " i" + std::to_string(r.input);
            if (r.output)
                s += " o" + std::to_string(r.output);
            if (r.feature)
                s += " f" + std::to_string(r.feature);
            s += "]";
        }
    }
    return s;
}

struct GoodCase {
    const char *name;
    const char *bytes;
    const char *expected;
};

const GoodCase kGood[] = {
    {"report IDs in two collections, every direction",
     "05 01 09 02 A1 01  85 01 75 08 95 03 81 06  85 02 95 02 91 02  C0 "
     "05 0C 09 01 A1 01  85 03 75 01 95 0C 81 02  75 08 95 05 B1 02  C0",
     "ids; 01:02 [01 i4] [02 o3]; 0C:01 [03 i3 f6]"},
    {"no report IDs, input and output", "A1 01 75 08 95 02 81 02 91 02 C0", "no ids; 00:00 [00 i2 o2]"},
    {"bits summed across fields and rounded up once",
     "A1 01 85 07 75 01 95 01 81 02 75 07 81 02 75 01 81 02 C0", "ids; 00:00 [07 i3]"},
    {"Pop restores the size and count that Push saved",
     "05 01 09 04 A1 01 85 01 75 10 95 02 A4 75 01 95 04 81 02 B4 81 02 C0", "ids; 01:04 [01 i6]"},
    {"Pop restores the report ID; reports keep their first appearance",
     "A1 01 85 01 75 08 95 01 A4 85 02 81 02 B4 81 02 C0", "ids; 00:00 [02 i2] [01 i2]"},
    {"nested collections belong to their top-level one",
     "05 01 09 04 A1 01 85 01 A1 00 A1 02 75 08 95 02 81 02 C0 C0 85 02 B1 02 C0",
     "ids; 01:04 [01 i3] [02 f3]"},
    {"an extended usage names the collection's page; locals end at each main item",
     "0B 01 00 0C 00 A1 01 85 01 09 30 75 08 95 01 81 02 C0 06 00 FF A1 01 85 02 81 02 C0",
     "ids; 0C:01 [01 i2]; FF00:00 [02 i2]"},
    {"the longest report without an ID", "A1 01 75 08 97 FF FF 00 00 81 02 C0", "no ids; 00:00 [00 i65535]"},
    {"the longest report with an ID", "A1 01 85 01 75 08 97 FE FF 00 00 81 02 C0", "ids; 00:00 [01 i65535]"},
};

TEST(SimHidParser, ReadsGoodDescriptors) {
    for (const GoodCase &c : kGood) {
        SCOPED_TRACE(c.name);
        test_bytes::Bytes bytes = hex(c.bytes);
        sim::HidParse parse = sim::hid_parse_report_descriptor(bytes);
        ASSERT_TRUE(parse.info) << parse.error << " at " << parse.error_offset;
        EXPECT_EQ(summary(*parse.info), c.expected);
    }
}

struct BadCase {
    const char *name;
    const char *bytes;
    size_t offset;
    const char *error; // a part of the message
};

const BadCase kBad[] = {
    {"an item running past the end", "A1 01 C0 05 01 09", 5, "past the end"},
    {"a long item", "A1 01 FE 02 00 AA BB C0", 2, "long item"},
    {"a reserved item type", "A1 01 0C C0", 2, "reserved item type"},
    {"a field outside any collection", "75 08 95 01 81 02", 4, "outside any collection"},
    {"an End Collection too many", "A1 01 C0 C0", 3, "without an open collection"},
    {"the innermost collection left open is named", "A1 01 A1 00", 2, "left open"},
    {"report ID 0", "A1 01 85 00 C0", 2, "report ID 0"},
    {"a report ID over a byte", "A1 01 86 00 01 C0", 2, "does not fit a byte"},
    {"a report ID in two top-level collections",
     "85 01 A1 01 75 08 95 01 81 02 C0 A1 01 91 02 C0", 13, "two top-level collections"},
    {"no report IDs and fields in two top-level collections", "75 08 95 01 A1 01 81 02 C0 A1 01 81 02 C0", 11,
     "two top-level collections"},
    {"a field without Report Size", "A1 01 95 01 81 02 C0", 4, "Report Size"},
    {"a field without Report Count", "A1 01 75 08 B1 02 C0", 4, "Report Count"},
    {"Push does not bring back a size it never had", "A1 01 A4 75 08 B4 95 01 81 02 C0", 8, "Report Size"},
    {"Pop without Push", "A1 01 B4 C0", 2, "Pop without a Push"},
    {"a field before the first Report ID", "A1 01 75 08 95 01 81 02 85 01 81 02 C0", 6, "before the first Report ID"},
    {"a report one byte too long with an ID", "A1 01 85 01 75 08 97 FF FF 00 00 81 02 C0", 11, "longer than"},
    {"a size times count that no report holds", "A1 01 75 20 97 FF FF FF FF 81 02 C0", 9, "longer than"},
};

TEST(SimHidParser, RefusesBadDescriptorsWhereTheyGoWrong) {
    for (const BadCase &c : kBad) {
        SCOPED_TRACE(c.name);
        test_bytes::Bytes bytes = hex(c.bytes);
        sim::HidParse parse = sim::hid_parse_report_descriptor(bytes);
        EXPECT_FALSE(parse.info);
        EXPECT_NE(parse.error.find(c.error), std::string::npos) << parse.error;
        EXPECT_EQ(parse.error_offset, c.offset) << parse.error;
    }
}

} // namespace
