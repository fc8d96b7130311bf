// The HID class driver's internal requests on the started device: each
// completed once with its status and byte count, nothing written past those
// bytes, the reference given back; a removed device refuses without a
// handler, and the refusal that drains the count signals RemoveEvent, which
// the remove handler waits on; reads wait in the queue, holding no reference,
// until the HID worker has a report for them.
// The simulated I/O manager fails a test on a request completed twice or never.
#include <gtest/gtest.h>

#include "tests/support/hid_device.h"

namespace {

using namespace hid_device;

// The class driver keeps no reads of its own here: the test's reads are the
// only ones the HID worker can serve.
class HidRequests : public HidDeviceTest {
protected:
    HidRequests() { options.reads = 0; }

    static void expect_done(const sim::Request &r, NTSTATUS status, ULONG_PTR information = 0)
    {
        ASSERT_EQ(r.completions(), 1);
        EXPECT_EQ(r.status(), status);
        EXPECT_EQ(r.information(), information);
    }

    static bool untouched_past(sim::Request &r, ULONG_PTR information)
    {
        return std::all_of(r.output().begin() + information, r.output().end(),
                           [](uint8_t b) { return b == kUntouched; });
    }
};

TEST_F(HidRequests, EachIsCompletedOnceWithItsStatusAndBytesAndTheReferenceGivenBack)
{
    const ULONG n = dx->ReportDescriptorLength;
    ASSERT_EQ(n, VIRTUAL_REPORT_DESCRIPTOR_LENGTH + usb->report_descriptor().size());
    const struct {
        const char *what;
        ULONG ioctl, length;
        NTSTATUS status;
        ULONG_PTR information;
    } rows[] = {
        {"HID descriptor, one short", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 8, STATUS_BUFFER_TOO_SMALL, 0},
        {"HID descriptor, roomy", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 64, STATUS_SUCCESS, 9},
        {"attributes, one short", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 31, STATUS_BUFFER_TOO_SMALL, 0},
        {"attributes, roomy", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 40, STATUS_SUCCESS, 32},
        {"report descriptor, one short", IOCTL_HID_GET_REPORT_DESCRIPTOR, n - 1, STATUS_BUFFER_TOO_SMALL, 0},
        {"report descriptor, exact", IOCTL_HID_GET_REPORT_DESCRIPTOR, n, STATUS_SUCCESS, n},
        {"report descriptor, roomy", IOCTL_HID_GET_REPORT_DESCRIPTOR, n + 7, STATUS_SUCCESS, n},
        {"get string", IOCTL_HID_GET_STRING, 64, STATUS_NOT_SUPPORTED, 0},
        {"a code of nobody's", 0x000B0FFF, 16, STATUS_NOT_SUPPORTED, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        sim::trace_clear();
        auto r = send(row.ioctl, row.length);
        expect_done(*r, row.status, row.information);
        EXPECT_FALSE(r->pending_returned());
        EXPECT_EQ(dx->IoCount, 1) << "the reference taken is given back";
        EXPECT_TRUE(untouched_past(*r, row.information)) << "nothing written past the bytes reported";
        if (row.status == STATUS_NOT_SUPPORTED) {
            EXPECT_EQ(sim::trace_lines().size(), 2u) << "no handler between the dispatch routine's own lines";
        }
    }
}

// Once removed, every request is refused before any handler, a read too (it
// must not queue a start of a device that is gone), and a write never reaches
// the command channel or the device.
TEST_F(HidRequests, RemovedDeviceRefusesWithoutAHandler)
{
    ASSERT_EQ(hid->surprise_removal(), STATUS_SUCCESS);
    ASSERT_EQ(sim::threads_running(), 0u) << "nothing of the driver runs beside the test from here";
    usb->clear_records();

    const struct {
        const char *what;
        ULONG ioctl;
        LONG count; // IoCount before and after: 0 once the remove handler gave back its own and the device's
    } rows[] = {
        {"HID descriptor", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 1},
        {"read", IOCTL_HID_READ_REPORT, 1},
        {"the remove handler waiting", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        dx->IoCount = row.count;
        KeResetEvent(&dx->RemoveEvent);
        sim::trace_clear();
        auto r = send(row.ioctl, 64);
        expect_done(*r, STATUS_DELETE_PENDING);
        EXPECT_TRUE(untouched_past(*r, 0));
        EXPECT_EQ(dx->IoCount, row.count) << "a refused reference is never held";
        EXPECT_EQ(KeReadStateEvent(&dx->RemoveEvent) != 0, row.count == 0)
            << "whoever brings the count to 0 signals RemoveEvent, a refusal included";
        EXPECT_EQ(sim::trace_lines().size(), 2u) << "no handler between the dispatch routine's own lines";
        EXPECT_EQ(sim::threads_running(), 0u) << "no start queued";
    }
    dx->IoCount = 1;
    EXPECT_EQ(write({0xF0, 0x04, 0x01}).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(MIVO_led_flag(), 0);
    EXPECT_TRUE(usb->set_reports().empty());
}

// A second controller, added but not started yet: the served length is not
// fixed, so the report descriptor does not fit any buffer and nothing is copied.
TEST_F(HidRequests, ReportDescriptorBeforeAStartCopiesNothing)
{
    sim::UsbDevice usb2;
    sim::HidClassDevice hid2(usb2.pdo(), {.reads = 0});
    ASSERT_EQ(hid2.status(), STATUS_SUCCESS);
    auto r = send(IOCTL_HID_GET_REPORT_DESCRIPTOR, 64, hid2.device());
    expect_done(*r, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r->output(), Bytes(64, kUntouched));
    r.reset();
    EXPECT_EQ(hid2.remove(), STATUS_SUCCESS);
}

TEST_F(HidRequests, ReadsWaitHoldingNoReferenceAndAreServedOldestFirst)
{
    // The start made every report due and nobody has read one. A read wakes
    // the HID worker: all eight are served without the clock moving, one
    // each, in the order of delivery.
    const struct {
        UCHAR id;
        ULONG_PTR size;
    } order[] = {
        {REPORT_ID_STATUS, sizeof(STATUS_REPORT)},         {REPORT_ID_RAW_TRANSLATION, sizeof(RAW_REPORT)},
        {REPORT_ID_RAW_ROTATION, sizeof(RAW_REPORT)},      {REPORT_ID_RAW_BUTTONS, sizeof(RAW_REPORT)},
        {REPORT_ID_JOYSTICK, sizeof(JOYSTICK_REPORT)},     {REPORT_ID_KEYBOARD, sizeof(KEYBOARD_REPORT)},
        {REPORT_ID_CONSUMER, sizeof(CONSUMER_REPORT)},     {REPORT_ID_MOUSE, sizeof(MOUSE_REPORT)},
    };
    for (const auto &o : order) {
        sim::Request &r = read();
        expect_done(r, STATUS_SUCCESS, o.size);
        EXPECT_EQ(r.output()[0], o.id);
        EXPECT_TRUE(r.pending_returned()) << "the dispatch routine marked it pending";
    }

    // Nothing due: reads wait, holding no reference.
    sim::Request &a = read(), &b = read(), &c = read();
    for (sim::Request *r : {&a, &b, &c}) EXPECT_TRUE(r->outstanding());
    EXPECT_EQ(dx->IoCount, 1) << "a queued read holds no reference";

    // One interrupt report makes two due: the oldest reads take them in order.
    usb->push_translation(200, 0, 0);
    sim::clock_settle();
    expect_done(a, STATUS_SUCCESS, sizeof(RAW_REPORT));
    EXPECT_EQ(a.output()[0], REPORT_ID_RAW_TRANSLATION);
    expect_done(b, STATUS_SUCCESS, sizeof(JOYSTICK_REPORT));
    EXPECT_EQ(b.output()[0], REPORT_ID_JOYSTICK);
    EXPECT_TRUE(c.outstanding()) << "no report left for it";
    // A served read still linked would be taken again by the next step.
    ASSERT_EQ(dx->ReadQueue.Flink, &c.irp()->Tail.Overlay.ListEntry) << "the served reads are out of the queue";
    ASSERT_EQ(dx->ReadQueue.Blink, &c.irp()->Tail.Overlay.ListEntry);

    EXPECT_TRUE(c.cancel());
    expect_done(c, STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&dx->ReadQueue)) << "nothing stays linked once every read is back";
}

} // namespace
