// The served report descriptor: the virtual half reads as a well-formed HID
// descriptor whose reports are exactly the images the driver hands to reads,
// a few rows hold their exact bytes, and the device's own descriptor follows
// it unchanged, whole or not at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <tuple>
#include <string>
#include <vector>

#include "context/context.h"
#include "hid/hid.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/sim.h"
#include "tests/support/bytes.h"
#include "tests/support/sim_test.h"

namespace {

using test_bytes::Bytes;
using test_bytes::hex;

constexpr uint8_t kUntouched = 0xEE;

Bytes virtual_half()
{
    return Bytes(VirtualReportDescriptor, VirtualReportDescriptor + VIRTUAL_REPORT_DESCRIPTOR_LENGTH);
}

// The class driver's own reading: four application collections in order,
// each with its report, whose input length is the image a read receives.
TEST(ReportDescriptor, ClassDriverFindsFourApplicationsWhoseReportsAreTheImagesReadsReceive)
{
    const Bytes d = virtual_half();
    const sim::HidParse parse = sim::hid_parse_report_descriptor(d);
    ASSERT_TRUE(parse.info) << parse.error << " at " << parse.error_offset;
    const sim::HidDescriptorInfo &info = *parse.info;
    EXPECT_TRUE(info.report_ids);

    struct Expected {
        const char *what;
        uint16_t usage_page, usage;
        std::vector<std::tuple<uint8_t, unsigned, unsigned>> reports; // id, input, output bytes
    };
    const Expected expected[] = {
        {"joystick", 0x01, 0x04, {{REPORT_ID_JOYSTICK, sizeof(JOYSTICK_REPORT), 0}}},
        {"mouse", 0x01, 0x02, {{REPORT_ID_MOUSE, sizeof(MOUSE_REPORT), 0}}},
        {"keyboard, without LEDs", 0x01, 0x06, {{REPORT_ID_KEYBOARD, sizeof(KEYBOARD_REPORT), 0}}},
        {"consumer control with the command and status report",
         0x0C,
         0x01,
         {{REPORT_ID_CONSUMER, sizeof(CONSUMER_REPORT), 0}, {REPORT_ID_STATUS, sizeof(STATUS_REPORT), 4}}},
    };
    ASSERT_EQ(info.collections.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); i++) {
        SCOPED_TRACE(expected[i].what);
        const sim::HidCollection &c = info.collections[i];
        EXPECT_EQ(c.usage_page, expected[i].usage_page);
        EXPECT_EQ(c.usage, expected[i].usage);
        std::vector<std::tuple<uint8_t, unsigned, unsigned>> got;
        for (const sim::HidReport &r : c.reports) {
            EXPECT_EQ(r.feature, 0u);
            got.emplace_back(r.id, r.input, r.output);
        }
        EXPECT_EQ(got, expected[i].reports);
    }

    // Collections open and close in pairs and the last item closes the
    // consumer control: the parser refuses anything left open, and a table
    // cut short would leave one.
    const sim::HidItems items = sim::hid_items(d);
    ASSERT_TRUE(items.ok()) << items.error;
    int depth = 0, deepest = 0;
    for (const sim::HidItem &item : items.items) {
        if (item.type != 0) continue;
        if (item.tag == 0xA) deepest = std::max(deepest, ++depth);
        if (item.tag == 0xC) depth--;
    }
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(deepest, 2) << "physical and logical collections sit directly in an application";
}

TEST(ReportDescriptor, RowsHoldTheirExactItems)
{
    struct Row {
        const char *what;
        size_t offset;
        Bytes bytes;
    };
    const Row rows[] = {
        {"joystick application", 0, hex("05 01 09 04 A1 01")},
        {"X and Y, 0..720", 14, hex("15 00 26 D0 02 75 10 95 02 05 01 09 30 09 31 81 02")},
        {"hat switch with null state", 116, hex("75 04 95 01 15 00 25 07 35 00 46 3B 01 65 14 05 01 09 39 81 42")},
        {"mouse X and Y, relative", 178, hex("15 81 25 7F 35 00 45 00 75 08 95 02 05 01 09 30 09 31 81 06")},
        {"keyboard modifiers", 250, hex("85 F2 05 07 19 E0 29 E7 15 00 25 01 75 01 95 08 81 02")},
        {"consumer usages start with Mute", 291, hex("85 F3 15 00 25 01 75 01 95 10 09 E2 09 E9")},
        {"consumer usages end with AC Back", 339, hex("0A 24 02 81 62")},
        {"command output report", 346, hex("85 F0 75 08 95 03 15 00 26 FF 00 06 00 FF 09 01 91 02")},
        {"status input report and the closing items", 367, hex("85 F0 05 01 09 3A 75 08 95 03 81 02 C0 C0")},
    };
    const Bytes d = virtual_half();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_LE(row.offset + row.bytes.size(), d.size());
        EXPECT_EQ(Bytes(d.begin() + row.offset, d.begin() + row.offset + row.bytes.size()), row.bytes);
    }
}

class ServedDescriptor : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        dx = static_cast<PDEVICE_EXTENSION>(ExAllocatePool(NonPagedPool, sizeof(DEVICE_EXTENSION)));
        RtlZeroMemory(dx, sizeof(DEVICE_EXTENSION));
    }

    void TearDown() override
    {
        if (dx->DeviceReportDescriptor) ExFreePool(dx->DeviceReportDescriptor);
        ExFreePool(dx);
        SimTest::TearDown();
    }

    // As bring-up keeps the device's descriptor and the start fixes the length.
    void device_descriptor(const Bytes &bytes)
    {
        if (dx->DeviceReportDescriptor) ExFreePool(dx->DeviceReportDescriptor);
        dx->DeviceReportDescriptor = nullptr;
        if (!bytes.empty()) {
            dx->DeviceReportDescriptor = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, bytes.size()));
            std::copy(bytes.begin(), bytes.end(), dx->DeviceReportDescriptor);
        }
        dx->DeviceReportDescriptorLength = static_cast<USHORT>(bytes.size());
        dx->ReportDescriptorLength = static_cast<USHORT>(VIRTUAL_REPORT_DESCRIPTOR_LENGTH + bytes.size());
    }

    struct Served {
        NTSTATUS status;
        ULONG length;
        Bytes buffer;
    };
    Served serve(ULONG size)
    {
        Served s{0, size, Bytes(size, kUntouched)};
        s.status = MIVO_hid_get_rep_desc(dx, s.buffer.data(), &s.length);
        return s;
    }

    PDEVICE_EXTENSION dx = nullptr;
};

TEST_F(ServedDescriptor, DevicesOwnDescriptorFollowsWholeOrNothingIsCopied)
{
    const Bytes device = hex("05 01 09 08 A1 01 85 01 75 10 95 03 81 02 C0 06 00 FF 09 01 A1 01 85 04 91 02 C0");
    struct Row {
        const char *what;
        Bytes device;
        int extra; // buffer size minus the served length
        NTSTATUS status;
    };
    const Row rows[] = {
        {"exact", device, 0, STATUS_SUCCESS},
        {"roomy", device, 9, STATUS_SUCCESS},
        {"one short", device, -1, STATUS_BUFFER_TOO_SMALL},
        {"short of the device half", device, -int(device.size()), STATUS_BUFFER_TOO_SMALL},
        {"empty device descriptor, exact", {}, 0, STATUS_SUCCESS},
        {"empty device descriptor, one short", {}, -1, STATUS_BUFFER_TOO_SMALL},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        device_descriptor(row.device);
        const ULONG served = VIRTUAL_REPORT_DESCRIPTOR_LENGTH + ULONG(row.device.size());
        const ULONG size = ULONG(int(served) + row.extra);
        sim::trace_clear();
        const Served s = serve(size);
        EXPECT_EQ(s.status, row.status);

        Bytes expected(size, kUntouched);
        if (row.status == STATUS_SUCCESS) {
            EXPECT_EQ(s.length, served);
            const Bytes half = virtual_half();
            auto behind = std::copy(half.begin(), half.end(), expected.begin());
            std::copy(row.device.begin(), row.device.end(), behind);
        } else {
            EXPECT_EQ(s.length, size) << "a refusal leaves the length as given";
        }
        EXPECT_EQ(s.buffer, expected);

        const std::vector<std::string> lines = sim::trace_lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_TRUE(lines[0].starts_with("> Enter: MIVO_hid_get_rep_desc: ")) << lines[0];
        EXPECT_TRUE(lines[0].ends_with(", " + std::to_string(size) + ", 381")) << lines[0];
        EXPECT_EQ(lines[1], row.status == STATUS_SUCCESS
                                ? "> Leave: MIVO_hid_get_rep_desc: STATUS_SUCCESS: " + std::to_string(served)
                                : std::string("> Leave: MIVO_hid_get_rep_desc: STATUS_BUFFER_TOO_SMALL"));
    }
}

// Before a start has fixed the served length it reads 0; a request then must
// still not get more bytes than its buffer holds.
TEST_F(ServedDescriptor, LengthNotYetFixedByAStartCopiesNothingIntoASmallBuffer)
{
    const Served s = serve(64);
    EXPECT_EQ(s.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.buffer, Bytes(64, kUntouched));
}

} // namespace
