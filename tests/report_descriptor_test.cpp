// The served report descriptor: the device's own descriptor follows the
// virtual half unchanged, whole or not at all, and nothing is copied into a
// buffer too small for both. What the class driver reads in it is
// sim_hid_class_test's business.
#include <gtest/gtest.h>

#include <algorithm>

#include "hid/hid.h"
#include "platform/sim/sim.h"
#include "tests/support/bytes.h"
#include "tests/support/sim_test.h"

namespace {

using test_bytes::Bytes;
using test_bytes::hex;

constexpr uint8_t kUntouched = 0xEE;

class ServedDescriptor : public SimTest {
protected:
    // As bring-up keeps the device's descriptor and the start fixes the length.
    void device_descriptor(const Bytes &bytes)
    {
        own = bytes;
        dx->DeviceReportDescriptor = own.empty() ? nullptr : own.data();
        dx->DeviceReportDescriptorLength = static_cast<USHORT>(own.size());
        dx->ReportDescriptorLength = static_cast<USHORT>(VIRTUAL_REPORT_DESCRIPTOR_LENGTH + own.size());
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

    DEVICE_EXTENSION ext{};
    PDEVICE_EXTENSION dx = &ext;
    Bytes own;
};

TEST_F(ServedDescriptor, DevicesOwnDescriptorFollowsWholeOrNothingIsCopied)
{
    const Bytes device = hex("05 01 09 08 A1 01 85 01 75 10 95 03 81 02 C0 06 00 FF 09 01 A1 01 85 04 91 02 C0");
    struct Row {
        const char *what;
        Bytes device;
        int extra; // buffer size minus the served length
        NTSTATUS status;
        bool started = true;
    };
    const Row rows[] = {
        {"exact", device, 0, STATUS_SUCCESS},
        {"roomy", device, 9, STATUS_SUCCESS},
        {"one short", device, -1, STATUS_BUFFER_TOO_SMALL},
        {"empty device descriptor, exact", {}, 0, STATUS_SUCCESS},
        {"empty device descriptor, one short", {}, -1, STATUS_BUFFER_TOO_SMALL},
        // Before a start has fixed it the served length reads 0: still nothing
        // more than the buffer holds.
        {"no start yet", {}, 64 - int(VIRTUAL_REPORT_DESCRIPTOR_LENGTH), STATUS_BUFFER_TOO_SMALL, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        device_descriptor(row.device);
        if (!row.started) dx->ReportDescriptorLength = 0;
        const ULONG served = VIRTUAL_REPORT_DESCRIPTOR_LENGTH + ULONG(row.device.size());
        const ULONG size = ULONG(int(served) + row.extra);
        const Served s = serve(size);
        EXPECT_EQ(s.status, row.status);

        Bytes expected(size, kUntouched);
        if (row.status == STATUS_SUCCESS) {
            EXPECT_EQ(s.length, served);
            auto behind = std::copy(VirtualReportDescriptor, VirtualReportDescriptor + VIRTUAL_REPORT_DESCRIPTOR_LENGTH,
                                    expected.begin());
            std::copy(row.device.begin(), row.device.end(), behind);
        } else {
            EXPECT_EQ(s.length, size) << "a refusal leaves the length as given";
        }
        EXPECT_EQ(s.buffer, expected);
    }
}

} // namespace
