// The HID class driver's internal requests through the real dispatch routine:
// each completed once with its status and byte count, nothing written past
// those bytes, the reference given back; a removed device refuses without a
// handler, and the refusal that drains the count signals RemoveEvent, which
// the remove handler waits on; reads wait in the queue, holding no reference,
// for a worker step.
// The simulated I/O manager fails a test on a request completed twice or never.
#include <gtest/gtest.h>

#include "tests/support/hid_device.h"

namespace {

using namespace hid_device;

class HidRequests : public HidDeviceTest {
protected:
    void SetUp() override
    {
        HidDeviceTest::SetUp();
        pass(); // the start's rebuild: every report due, none read
        MIVO_pending_clear(dx, PENDING_ALL);
        KeResetEvent(&dx->NewInputEvent);
    }

    static void expect_done(const sim::Request &r, NTSTATUS status, ULONG_PTR information = 0)
    {
        ASSERT_EQ(r.completions(), 1);
        EXPECT_EQ(r.status(), status);
        EXPECT_EQ(r.information(), information);
    }
};

TEST_F(HidRequests, EachIsCompletedOnceWithItsStatusAndBytesAndTheReferenceGivenBack)
{
    const ULONG n = dx->ReportDescriptorLength;
    const struct {
        const char *what;
        ULONG state, ioctl, length;
        NTSTATUS status;
        ULONG_PTR information;
        LONG count = 1; // IoCount before and after: 0 once the remove handler gave back its own and the device's
    } rows[] = {
        {"HID descriptor, one short", DEVICE_STATE_STARTED, IOCTL_HID_GET_DEVICE_DESCRIPTOR, 8, STATUS_BUFFER_TOO_SMALL, 0},
        {"HID descriptor, roomy", DEVICE_STATE_STARTED, IOCTL_HID_GET_DEVICE_DESCRIPTOR, 64, STATUS_SUCCESS, 9},
        {"attributes, one short", DEVICE_STATE_STARTED, IOCTL_HID_GET_DEVICE_ATTRIBUTES, 31, STATUS_BUFFER_TOO_SMALL, 0},
        {"attributes, roomy", DEVICE_STATE_STARTED, IOCTL_HID_GET_DEVICE_ATTRIBUTES, 40, STATUS_SUCCESS, 32},
        {"report descriptor, one short", DEVICE_STATE_STARTED, IOCTL_HID_GET_REPORT_DESCRIPTOR, n - 1,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"report descriptor, exact", DEVICE_STATE_STARTED, IOCTL_HID_GET_REPORT_DESCRIPTOR, n, STATUS_SUCCESS, n},
        {"report descriptor, roomy", DEVICE_STATE_STARTED, IOCTL_HID_GET_REPORT_DESCRIPTOR, n + 7, STATUS_SUCCESS, n},
        {"get string", DEVICE_STATE_STARTED, IOCTL_HID_GET_STRING, 64, STATUS_NOT_SUPPORTED, 0},
        {"a code of nobody's", DEVICE_STATE_STARTED, 0x000B0FFF, 16, STATUS_NOT_SUPPORTED, 0},
        {"removed: HID descriptor", DEVICE_STATE_REMOVED, IOCTL_HID_GET_DEVICE_DESCRIPTOR, 64, STATUS_DELETE_PENDING, 0},
        {"removed: read", DEVICE_STATE_REMOVED, IOCTL_HID_READ_REPORT, 64, STATUS_DELETE_PENDING, 0},
        {"removed, the remove handler waiting", DEVICE_STATE_REMOVED, IOCTL_HID_GET_DEVICE_DESCRIPTOR, 64,
         STATUS_DELETE_PENDING, 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        MIVO_device_state_set(dx, row.state);
        MIVO_pending_set(dx, PENDING_STATUS);
        KeResetEvent(&dx->RemoveEvent);
        dx->IoCount = row.count;
        sim::trace_clear();
        auto r = send(row.ioctl, row.length);
        expect_done(*r, row.status, row.information);
        EXPECT_FALSE(r->pending_returned());
        EXPECT_EQ(dx->IoCount, row.count) << "the reference taken is given back, a refused one never held";
        EXPECT_EQ(KeReadStateEvent(&dx->RemoveEvent) != 0, row.count == 0)
            << "whoever brings the count to 0 signals RemoveEvent, a refusal included";
        EXPECT_TRUE(std::all_of(r->output().begin() + row.information, r->output().end(),
                                [](uint8_t b) { return b == kUntouched; }))
            << "nothing written past the bytes reported";
        EXPECT_TRUE(IsListEmpty(&dx->ReadQueue));
        EXPECT_EQ(MIVO_pending_get(dx), ULONG(PENDING_STATUS)) << "the report waits for a read that can take it";
        if (row.status == STATUS_DELETE_PENDING || row.status == STATUS_NOT_SUPPORTED) {
            EXPECT_EQ(sim::trace_lines().size(), 2u) << "no handler between the dispatch routine's own lines";
        }
    }
    dx->IoCount = 1;
    // A write to a removed device never reaches the command channel.
    MIVO_pending_clear(dx, PENDING_ALL);
    EXPECT_EQ(write({0xF0, 0x01}).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(MIVO_pending_get(dx), 0u);
    EXPECT_EQ(dx->IoCount, 1);
}

// The device's own descriptor follows the virtual half whole or not at all;
// before a start has fixed the served length it reads 0, and still nothing is
// copied beyond the buffer.
TEST_F(HidRequests, ReportDescriptorWithoutTheDevicesOwnOrBeforeAStart)
{
    const Bytes half(VirtualReportDescriptor, VirtualReportDescriptor + VIRTUAL_REPORT_DESCRIPTOR_LENGTH);
    dx->DeviceReportDescriptor = nullptr;
    dx->DeviceReportDescriptorLength = 0;
    dx->ReportDescriptorLength = VIRTUAL_REPORT_DESCRIPTOR_LENGTH;
    auto r = send(IOCTL_HID_GET_REPORT_DESCRIPTOR, VIRTUAL_REPORT_DESCRIPTOR_LENGTH);
    expect_done(*r, STATUS_SUCCESS, VIRTUAL_REPORT_DESCRIPTOR_LENGTH);
    EXPECT_EQ(r->output(), half);
    expect_done(*send(IOCTL_HID_GET_REPORT_DESCRIPTOR, VIRTUAL_REPORT_DESCRIPTOR_LENGTH - 1), STATUS_BUFFER_TOO_SMALL);

    dx->ReportDescriptorLength = 0;
    r = send(IOCTL_HID_GET_REPORT_DESCRIPTOR, 64);
    expect_done(*r, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r->output(), Bytes(64, kUntouched));
}

TEST_F(HidRequests, ReadsWaitHoldingNoReferenceAndTheStepServesThemOldestFirst)
{
    MIVO_pending_set(dx, PENDING_STATUS); // left by a step that had no read for it
    sim::Request &a = read(), &b = read(), &c = read(), &d = read();
    for (sim::Request *r : {&a, &b, &c, &d}) {
        EXPECT_TRUE(r->outstanding()) << "only the HID worker completes reads, a report pending or not";
    }
    EXPECT_EQ(dx->IoCount, 1) << "a queued read holds no reference";
    EXPECT_NE(KeReadStateEvent(&dx->NewInputEvent), 0) << "a queued read wakes the HID worker";

    MIVO_hid_step(dx);
    expect_done(a, STATUS_SUCCESS, sizeof(STATUS_REPORT));
    EXPECT_EQ(a.output()[0], REPORT_ID_STATUS);
    EXPECT_TRUE(a.pending_returned()) << "the dispatch routine marked it pending";
    // A served read still linked would be taken again by the next step.
    ASSERT_EQ(dx->ReadQueue.Flink, &b.irp()->Tail.Overlay.ListEntry) << "the served read is out of the queue";

    MIVO_pending_set(dx, PENDING_JOYSTICK | PENDING_RAW_ROTATION);
    MIVO_hid_step(dx);
    expect_done(b, STATUS_SUCCESS, sizeof(RAW_REPORT));
    EXPECT_EQ(b.output()[0], REPORT_ID_RAW_ROTATION);
    expect_done(c, STATUS_SUCCESS, sizeof(JOYSTICK_REPORT));
    EXPECT_EQ(c.output()[0], REPORT_ID_JOYSTICK);
    EXPECT_TRUE(d.outstanding()) << "no report left for it";
    ASSERT_EQ(dx->ReadQueue.Flink, &d.irp()->Tail.Overlay.ListEntry);

    EXPECT_TRUE(d.cancel());
    expect_done(d, STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&dx->ReadQueue)) << "nothing stays linked once every read is back";
}

} // namespace
