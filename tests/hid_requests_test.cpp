// The HID class driver's internal requests through the real dispatch routine:
// status, byte count and buffer for every request with short and exact
// buffers, the refusal of a removed device with the reference count balanced,
// and reads that wait in the queue until a worker step hands them a report.
// The simulated I/O manager fails a test on a request completed twice or
// never.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/sim/io.h"
#include "platform/sim/sim.h"
#include "tests/support/bytes.h"
#include "tests/support/sim_test.h"

namespace {

using RequestPtr = std::unique_ptr<sim::Request>;
using Lines = std::vector<std::string>;
using test_bytes::Bytes;
using test_bytes::hex;

constexpr uint8_t kUntouched = 0xEE;

// The device's own report descriptor as bring-up would have kept it.
const Bytes kDeviceHalf = hex("05 01 09 08 A1 01 85 01 09 30 75 10 95 03 81 02 C0");

std::string pointer(const void *p)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%016" PRIXPTR, reinterpret_cast<uintptr_t>(p));
    return text;
}

std::string status_hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(status));
    return text;
}

class HidRequests : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        driver = std::make_unique<sim::DriverObject>();
        driver->get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MIVO_DispatchIntDevice;
        pdo = sim::create_device(driver->get(), 0);
        hid = sim::create_hid_device(driver->get(), sizeof(DEVICE_EXTENSION), pdo);
        ASSERT_NE(hid, nullptr);
        dx = sim::mini_extension<DEVICE_EXTENSION>(hid);

        // As device addition and a start leave the context.
        dx->IoCount = 1;
        KeInitializeEvent(&dx->RemoveEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&dx->NewInputEvent, SynchronizationEvent, FALSE);
        InitializeListHead(&dx->ReadQueue);
        KeInitializeSpinLock(&dx->ReadQueueLock);
        MIVO_report_state_reset(dx);
        dx->DeviceDescriptor.idVendor = 0x046D;
        dx->DeviceDescriptor.idProduct = 0xC626;
        dx->DeviceDescriptor.bcdDevice = 0x0435;
        device_half = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, kDeviceHalf.size()));
        std::copy(kDeviceHalf.begin(), kDeviceHalf.end(), device_half);
        dx->DeviceReportDescriptor = device_half;
        dx->DeviceReportDescriptorLength = static_cast<USHORT>(kDeviceHalf.size());
        dx->ReportDescriptorLength = static_cast<USHORT>(VIRTUAL_REPORT_DESCRIPTOR_LENGTH + kDeviceHalf.size());
        MIVO_device_state_set(dx, DEVICE_STATE_STARTED);
        MIVO_pending_clear(dx, PENDING_ALL);
    }

    void TearDown() override
    {
        // Each read still waiting goes back through its own cancel routine,
        // so a queue left in a bad state cannot trap the teardown.
        for (RequestPtr &r : reads)
            if (r->outstanding()) r->cancel();
        reads.clear();
        ExFreePool(device_half);
        sim::delete_device(hid);
        sim::delete_device(pdo);
        driver.reset();
        SimTest::TearDown();
    }

    // An internal request with an output buffer filled with kUntouched, sent
    // through the dispatch routine.
    RequestPtr send(ULONG ioctl, ULONG output_length = 0)
    {
        auto r = std::make_unique<sim::Request>(hid, sim::RequestSpec{.ioctl = ioctl, .output_length = output_length});
        std::fill(r->output().begin(), r->output().end(), kUntouched);
        last_status = r->send();
        return r;
    }

    // A written report, as the class driver passes it whatever the code's method.
    RequestPtr write(ULONG ioctl, Bytes report)
    {
        written = std::move(report);
        packet = HID_XFER_PACKET{written.data(), static_cast<ULONG>(written.size()), written.empty() ? UCHAR(0) : written[0]};
        auto r = std::make_unique<sim::Request>(hid, sim::RequestSpec{.ioctl = ioctl});
        r->irp()->UserBuffer = &packet;
        last_status = r->send();
        return r;
    }

    sim::Request &read(ULONG length = 64)
    {
        reads.push_back(send(IOCTL_HID_READ_REPORT, length));
        return *reads.back();
    }

    // The reads still in ReadQueue, oldest first.
    std::vector<PIRP> queued() const
    {
        std::vector<PIRP> irps;
        for (PLIST_ENTRY e = dx->ReadQueue.Flink; e != &dx->ReadQueue && irps.size() < 16; e = e->Flink)
            irps.push_back(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry));
        return irps;
    }

    static void expect_done(const sim::Request &r, NTSTATUS status, ULONG_PTR information = 0)
    {
        ASSERT_EQ(r.completions(), 1);
        EXPECT_EQ(r.status(), status);
        EXPECT_EQ(r.information(), information);
    }

    ULONG served_length() const { return dx->ReportDescriptorLength; }

    std::unique_ptr<sim::DriverObject> driver;
    PDEVICE_OBJECT pdo = nullptr, hid = nullptr;
    PDEVICE_EXTENSION dx = nullptr;
    PUCHAR device_half = nullptr;
    NTSTATUS last_status = 0;
    Bytes written;
    HID_XFER_PACKET packet{};
    std::vector<RequestPtr> reads;
};

TEST_F(HidRequests, EveryRequestIsCompletedOnceWithItsStatusAndByteCountAndTheReferenceGivenBack)
{
    const ULONG n = served_length();
    const char *desc = "MIVO_ioctl_get_dev_desc", *attr = "MIVO_ioctl_get_dev_attr", *rep = "MIVO_ioctl_get_rep_desc";
    struct Row {
        const char *what;
        ULONG ioctl;
        ULONG length;
        NTSTATUS status;
        ULONG_PTR information;
        const char *handler; // traced between the dispatch routine's lines; nullptr: none runs
        std::string leave;   // the handler's exit line
    };
    const Row rows[] = {
        {"HID descriptor, one short", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 8, STATUS_BUFFER_TOO_SMALL, 0, desc,
         "STATUS_BUFFER_TOO_SMALL"},
        {"HID descriptor, exact", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 9, STATUS_SUCCESS, 9, desc, "STATUS_SUCCESS"},
        {"HID descriptor, roomy", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 64, STATUS_SUCCESS, 9, desc, "STATUS_SUCCESS"},
        {"attributes, one short", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 31, STATUS_BUFFER_TOO_SMALL, 0, attr, "31 < 32"},
        {"attributes, none", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 0, STATUS_BUFFER_TOO_SMALL, 0, attr, "0 < 32"},
        {"attributes, exact", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 32, STATUS_SUCCESS, 32, attr, "STATUS_SUCCESS"},
        {"attributes, roomy", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 40, STATUS_SUCCESS, 32, attr, "STATUS_SUCCESS"},
        {"report descriptor, one short", IOCTL_HID_GET_REPORT_DESCRIPTOR, n - 1, STATUS_BUFFER_TOO_SMALL, 0, rep,
         "c0000023"},
        {"report descriptor, exact", IOCTL_HID_GET_REPORT_DESCRIPTOR, n, STATUS_SUCCESS, n, rep, "STATUS_SUCCESS"},
        {"report descriptor, roomy", IOCTL_HID_GET_REPORT_DESCRIPTOR, n + 7, STATUS_SUCCESS, n, rep, "STATUS_SUCCESS"},
        {"get string", IOCTL_HID_GET_STRING, 64, STATUS_NOT_SUPPORTED, 0, nullptr, ""},
        {"get feature", IOCTL_HID_GET_FEATURE, 64, STATUS_NOT_SUPPORTED, 0, nullptr, ""},
        {"get input report", IOCTL_HID_GET_INPUT_REPORT, 64, STATUS_NOT_SUPPORTED, 0, nullptr, ""},
        {"activate", IOCTL_HID_ACTIVATE_DEVICE, 0, STATUS_NOT_SUPPORTED, 0, nullptr, ""},
        {"deactivate", IOCTL_HID_DEACTIVATE_DEVICE, 0, STATUS_NOT_SUPPORTED, 0, nullptr, ""},
        {"idle notification", IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST, 0, STATUS_NOT_SUPPORTED, 0, nullptr, ""},
        {"a code of nobody's", 0x000B0FFF, 16, STATUS_NOT_SUPPORTED, 0, nullptr, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        sim::trace_clear();
        RequestPtr r = send(row.ioctl, row.length);
        EXPECT_EQ(last_status, row.status);
        expect_done(*r, row.status, row.information);
        EXPECT_FALSE(r->pending_returned());
        EXPECT_EQ(dx->IoCount, 1) << "the dispatch routine gives back the reference it took";
        EXPECT_TRUE(std::all_of(r->output().begin() + row.information, r->output().end(),
                                [](uint8_t b) { return b == kUntouched; }))
            << "nothing written past the bytes reported";

        const std::string args = pointer(hid) + ", " + pointer(r->irp());
        const Lines got = sim::trace_lines();
        Lines expected{"> Enter: MIVO_DispatchIntDevice: " + args};
        if (row.handler) {
            expected.push_back(std::string("> Enter: ") + row.handler + ": " + args);
            // MIVO_hid_get_rep_desc traces its own pair in between; what it
            // says is the descriptor test's business.
            for (size_t i = 2; row.ioctl == IOCTL_HID_GET_REPORT_DESCRIPTOR && i < 4 && i < got.size(); i++)
                expected.push_back(got[i].find("MIVO_hid_get_rep_desc: ") != std::string::npos ? got[i] : "?");
            expected.push_back(std::string("> Leave: ") + row.handler + ": " + row.leave);
        }
        expected.push_back("> Leave: MIVO_DispatchIntDevice: " + status_hex(row.status));
        EXPECT_EQ(got, expected);
    }
}

TEST_F(HidRequests, HidDescriptorAnnouncesOneReportDescriptorOfTheServedLength)
{
    RequestPtr r = send(IOCTL_HID_GET_DEVICE_DESCRIPTOR, 12);
    const ULONG n = served_length();
    Bytes expected = hex("09 21 01 00 00 01 22");
    expected.push_back(static_cast<uint8_t>(n & 0xFF));
    expected.push_back(static_cast<uint8_t>(n >> 8));
    expected.insert(expected.end(), 3, kUntouched);
    EXPECT_EQ(r->output(), expected);
}

TEST_F(HidRequests, AttributesComeFromTheDeviceDescriptorAndLeaveTheReservedBytes)
{
    RequestPtr r = send(IOCTL_HID_GET_DEVICE_ATTRIBUTES, 40);
    Bytes expected = hex("20 00 00 00 6D 04 26 C6 35 04");
    expected.insert(expected.end(), 30, kUntouched);
    EXPECT_EQ(r->output(), expected);
}

TEST_F(HidRequests, ReportDescriptorIsTheVirtualHalfFollowedByTheDevicesOwn)
{
    RequestPtr r = send(IOCTL_HID_GET_REPORT_DESCRIPTOR, served_length());
    Bytes expected(VirtualReportDescriptor, VirtualReportDescriptor + VIRTUAL_REPORT_DESCRIPTOR_LENGTH);
    expected.insert(expected.end(), kDeviceHalf.begin(), kDeviceHalf.end());
    EXPECT_EQ(r->output(), expected);
}

// The three codes reach the command channel alike, and the request reports
// the bytes the channel took, not the bytes handed in.
TEST_F(HidRequests, WritesUnderAnyOfTheThreeCodesGiveTheCommandChannelsResult)
{
    struct Row {
        const char *what;
        Bytes report;
        NTSTATUS status;
        ULONG_PTR information;
        ULONG pending; // PendingReports after the write
    };
    const Row rows[] = {
        {"input changed", hex("F0 01 00 00"), STATUS_SUCCESS, 4, 0xF0},
        {"a command cut to 8 bytes", hex("F0 01 00 00 00 00 00 00 00 00 00 00"), STATUS_SUCCESS, 8, 0xF0},
        {"unknown command", hex("F0 03"), STATUS_SUCCESS, 2, 0},
        {"LED report for a device without a pipe", hex("04 01"), STATUS_INVALID_HANDLE, 0, 0},
    };
    const ULONG codes[] = {IOCTL_HID_WRITE_REPORT, IOCTL_HID_SET_FEATURE, IOCTL_HID_SET_OUTPUT_REPORT};
    for (const Row &row : rows) {
        for (ULONG code : codes) {
            SCOPED_TRACE(std::string(row.what) + ", code " + status_hex(static_cast<NTSTATUS>(code)));
            MIVO_pending_clear(dx, PENDING_ALL);
            sim::trace_clear();
            RequestPtr r = write(code, row.report);
            EXPECT_EQ(last_status, row.status);
            expect_done(*r, row.status, row.information);
            EXPECT_EQ(MIVO_pending_get(dx), row.pending);
            EXPECT_EQ(dx->IoCount, 1);
            const std::string failed = "> Leave: MIVO_ioctl_write_rep: " + status_hex(row.status);
            EXPECT_EQ(sim::trace_text().find(failed) != std::string::npos, row.status != STATUS_SUCCESS)
                << sim::trace_text();
        }
    }
}

TEST_F(HidRequests, RemovedDeviceRefusesEveryRequestWithoutRunningAHandler)
{
    MIVO_device_state_set(dx, DEVICE_STATE_REMOVED);
    const ULONG codes[] = {IOCTL_HID_GET_DEVICE_DESCRIPTOR, IOCTL_HID_GET_DEVICE_ATTRIBUTES,
                           IOCTL_HID_GET_REPORT_DESCRIPTOR, IOCTL_HID_READ_REPORT,
                           IOCTL_HID_WRITE_REPORT,          IOCTL_HID_SET_FEATURE,
                           IOCTL_HID_SET_OUTPUT_REPORT,     IOCTL_HID_GET_STRING};
    for (ULONG code : codes) {
        SCOPED_TRACE(status_hex(static_cast<NTSTATUS>(code)));
        sim::trace_clear();
        RequestPtr r = code == IOCTL_HID_WRITE_REPORT || code == IOCTL_HID_SET_FEATURE ||
                               code == IOCTL_HID_SET_OUTPUT_REPORT
                           ? write(code, hex("F0 01 00 00"))
                           : send(code, 64);
        EXPECT_EQ(last_status, STATUS_DELETE_PENDING);
        expect_done(*r, STATUS_DELETE_PENDING);
        EXPECT_TRUE(std::all_of(r->output().begin(), r->output().end(), [](uint8_t b) { return b == kUntouched; }));
        EXPECT_EQ(dx->IoCount, 1) << "a refused reference leaves the count as it was";
        EXPECT_EQ(MIVO_pending_get(dx), 0u) << "the command channel never saw the write";
        EXPECT_TRUE(IsListEmpty(&dx->ReadQueue)) << "no read is queued for a removed device";
        EXPECT_EQ(sim::trace_lines(), (Lines{"> Enter: MIVO_DispatchIntDevice: " + pointer(hid) + ", " + pointer(r->irp()),
                                             "> Leave: MIVO_DispatchIntDevice: c0000056"}));
    }
    EXPECT_EQ(KeReadStateEvent(&dx->RemoveEvent), 0) << "the device's own reference is still held";
}

// The remove handler gives back its own reference and the device's, then
// waits on RemoveEvent; whoever brings the count to 0 must signal it, a
// refused request included.
TEST_F(HidRequests, TheLastReferenceOutSignalsRemoveEvent)
{
    struct Row {
        const char *what;
        LONG count;
        ULONG state;
        NTSTATUS status;
        LONG after;
        bool signalled;
    };
    const Row rows[] = {
        {"served", 1, DEVICE_STATE_STARTED, STATUS_SUCCESS, 1, false},
        {"refused while the device reference is held", 1, DEVICE_STATE_REMOVED, STATUS_DELETE_PENDING, 1, false},
        {"refused after the remove handler gave both back", 0, DEVICE_STATE_REMOVED, STATUS_DELETE_PENDING, 0, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        KeResetEvent(&dx->RemoveEvent);
        dx->IoCount = row.count;
        MIVO_device_state_set(dx, row.state);
        RequestPtr r = send(IOCTL_HID_GET_DEVICE_DESCRIPTOR, 9);
        expect_done(*r, row.status, row.status == STATUS_SUCCESS ? 9 : 0);
        EXPECT_EQ(dx->IoCount, row.after);
        EXPECT_EQ(KeReadStateEvent(&dx->RemoveEvent) != 0, row.signalled);
    }

    // The remove handler's own side of it: its reference and the device's.
    KeResetEvent(&dx->RemoveEvent);
    dx->IoCount = 1;
    MIVO_device_state_set(dx, DEVICE_STATE_STARTED);
    ASSERT_EQ(MIVO_io_increment(dx), STATUS_SUCCESS);
    EXPECT_EQ(dx->IoCount, 2);
    MIVO_device_state_set(dx, DEVICE_STATE_REMOVED);
    MIVO_io_decrement(dx);
    EXPECT_EQ(KeReadStateEvent(&dx->RemoveEvent), 0);
    MIVO_io_decrement(dx);
    EXPECT_EQ(dx->IoCount, 0);
    EXPECT_NE(KeReadStateEvent(&dx->RemoveEvent), 0);
}

TEST_F(HidRequests, ReadOfADeviceNotStartedIsRefusedAtOnce)
{
    for (ULONG state : {DEVICE_STATE_NONE, DEVICE_STATE_STOPPED}) {
        SCOPED_TRACE(state);
        MIVO_device_state_set(dx, state);
        MIVO_pending_set(dx, PENDING_STATUS);
        sim::trace_clear();
        sim::Request &r = read();
        EXPECT_EQ(last_status, STATUS_DEVICE_NOT_CONNECTED);
        expect_done(r, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_FALSE(r.pending_returned());
        EXPECT_EQ(dx->IoCount, 1);
        EXPECT_TRUE(IsListEmpty(&dx->ReadQueue));
        EXPECT_EQ(MIVO_pending_get(dx), ULONG(PENDING_STATUS)) << "the pending report waits for a started device";
        EXPECT_EQ(sim::trace_lines(),
                  (Lines{"> Enter: MIVO_DispatchIntDevice: " + pointer(hid) + ", " + pointer(r.irp()),
                         "> Leave: MIVO_ioctl_read_rep: STATUS_DEVICE_NOT_CONNECTED: device is not started",
                         "> Leave: MIVO_DispatchIntDevice: c000009d"}));
    }
}

TEST_F(HidRequests, ReadsWaitHoldingNoReferenceAndTheStepServesThemOldestFirst)
{
    MIVO_hid_step(dx); // the first pass after a rebuild changes the status report
    MIVO_pending_clear(dx, PENDING_ALL);
    KeResetEvent(&dx->NewInputEvent);

    sim::Request &a = read(), &b = read(), &c = read(), &d = read();
    for (sim::Request *r : {&a, &b, &c, &d}) EXPECT_TRUE(r->outstanding());
    EXPECT_EQ(last_status, STATUS_PENDING);
    EXPECT_EQ(dx->IoCount, 1) << "a queued read holds no reference, so IoCount is back to 1";
    EXPECT_NE(KeReadStateEvent(&dx->NewInputEvent), 0) << "a queued read wakes the HID worker";
    EXPECT_EQ(queued(), (std::vector<PIRP>{a.irp(), b.irp(), c.irp(), d.irp()}));

    MIVO_pending_set(dx, PENDING_STATUS);
    MIVO_hid_step(dx);
    expect_done(a, STATUS_SUCCESS, sizeof(STATUS_REPORT));
    EXPECT_EQ(a.output()[0], REPORT_ID_STATUS);
    EXPECT_TRUE(a.pending_returned()) << "the dispatch routine marked it pending";
    // A served read still linked would be taken again by the next step.
    ASSERT_EQ(queued(), (std::vector<PIRP>{b.irp(), c.irp(), d.irp()})) << "the served read is out of the queue";

    MIVO_pending_set(dx, PENDING_JOYSTICK | PENDING_RAW_ROTATION);
    MIVO_hid_step(dx);
    expect_done(b, STATUS_SUCCESS, sizeof(RAW_REPORT));
    EXPECT_EQ(b.output()[0], REPORT_ID_RAW_ROTATION);
    expect_done(c, STATUS_SUCCESS, sizeof(JOYSTICK_REPORT));
    EXPECT_EQ(c.output()[0], REPORT_ID_JOYSTICK);
    EXPECT_TRUE(d.outstanding()) << "no report left for it";
    ASSERT_EQ(queued(), std::vector<PIRP>{d.irp()});

    EXPECT_TRUE(d.cancel());
    expect_done(d, STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&dx->ReadQueue)) << "nothing stays linked once every read is back";
}

TEST_F(HidRequests, ReadWhileAReportIsPendingWaitsForTheStep)
{
    MIVO_hid_step(dx);
    MIVO_pending_clear(dx, PENDING_ALL);
    // Left pending by an earlier step that had no read to hand it to.
    MIVO_pending_set(dx, PENDING_RAW_BUTTONS);
    sim::Request &r = read();
    EXPECT_EQ(last_status, STATUS_PENDING);
    EXPECT_TRUE(r.outstanding()) << "only the HID worker completes reads";

    MIVO_hid_step(dx);
    expect_done(r, STATUS_SUCCESS, sizeof(RAW_REPORT));
    EXPECT_EQ(r.output()[0], REPORT_ID_RAW_BUTTONS);
}

} // namespace

