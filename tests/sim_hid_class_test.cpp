// The simulated HID class driver as a minidriver meets it: registration,
// device creation, interrogation, ping-pong reads, reports checked against
// the report descriptor, writes as HID_XFER_PACKETs. The minidriver is first
// a toy of the test's own that serves the four requests with a small
// descriptor and holds reads until the test completes them, then the real
// driver on the virtual controller.
#include <gmock/gmock.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <map>
#include <thread>

#include "tests/support/bytes.h"
#include "tests/support/hid_device.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using test_bytes::Bytes;
using test_bytes::hex;

namespace {

// Two collections: a mouse-like report 1 (4 bytes in), and report 2 (2 bytes
// in) beside output report 3 (3 bytes).
const Bytes kToyDescriptor = hex("05 01 09 02 A1 01 85 01 75 08 95 03 81 06 C0 "
                                 "05 0C 09 01 A1 01 85 02 75 08 95 01 81 02 85 03 95 02 91 02 C0");

// What the toy minidriver serves and what it saw. One at a time: its
// routines are plain functions.
struct Toy {
    struct Serves {
        Bytes hid_descriptor; // empty: one announcing report_descriptor
        NTSTATUS descriptor_status = STATUS_SUCCESS;
        NTSTATUS attributes_status = STATUS_SUCCESS;
        Bytes report_descriptor = kToyDescriptor;
        size_t report_descriptor_cut = 0; // bytes left out of the answer
        NTSTATUS add_device_status = STATUS_SUCCESS;
        NTSTATUS fail_reads = STATUS_SUCCESS; // complete every read at once with this
    } serves;
    std::mutex mu;
    PDEVICE_OBJECT added = nullptr;
    std::vector<ULONG> ioctls, output_lengths;
    std::deque<PIRP> reads;
};
Toy *g_toy = nullptr;

void complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI toy_cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard g(g_toy->mu);
        std::erase(g_toy->reads, irp);
    }
    complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS NTAPI toy_internal(PDEVICE_OBJECT, PIRP irp) {
    Toy &toy = *g_toy;
    const Toy::Serves &s = toy.serves;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG ioctl = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    {
        std::lock_guard g(toy.mu);
        toy.ioctls.push_back(ioctl);
        toy.output_lengths.push_back(out);
    }
    auto answer = [&](const Bytes &bytes, NTSTATUS status) {
        size_t n = NT_SUCCESS(status) ? std::min<size_t>(bytes.size(), out) : 0;
        std::copy_n(bytes.begin(), n, static_cast<uint8_t *>(irp->UserBuffer));
        complete(irp, status, n);
        return status;
    };
    switch (ioctl) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR: {
        const uint16_t n = uint16_t(s.report_descriptor.size());
        Bytes announced{9, 0x21, 0x11, 0x01, 0, 1, 0x22, uint8_t(n), uint8_t(n >> 8)};
        return answer(s.hid_descriptor.empty() ? announced : s.hid_descriptor, s.descriptor_status);
    }
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
        HID_DEVICE_ATTRIBUTES a{sizeof a, 0x1234, 0x5678, 0x0100, {}};
        return answer(test_bytes::bytes_of(a), s.attributes_status);
    }
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        return answer(Bytes(s.report_descriptor.begin(), s.report_descriptor.end() - s.report_descriptor_cut),
                      STATUS_SUCCESS);
    case IOCTL_HID_READ_REPORT:
        if (s.fail_reads != STATUS_SUCCESS)
            return answer({}, s.fail_reads);
        IoMarkIrpPending(irp);
        {
            std::lock_guard g(toy.mu);
            IoSetCancelRoutine(irp, toy_cancel);
            toy.reads.push_back(irp);
        }
        return STATUS_PENDING;
    case IOCTL_HID_WRITE_REPORT: {
        auto *packet = static_cast<PHID_XFER_PACKET>(irp->UserBuffer);
        complete(irp, STATUS_SUCCESS, packet->reportBufferLen);
        return STATUS_SUCCESS;
    }
    default:
        return answer({}, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS NTAPI toy_pnp(PDEVICE_OBJECT, PIRP irp) {
    complete(irp, STATUS_SUCCESS, 7);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI toy_add_device(PDRIVER_OBJECT, PDEVICE_OBJECT device) {
    g_toy->added = device;
    return g_toy->serves.add_device_status;
}

class SimHidClass : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        g_toy = &toy;
        driver = std::make_unique<sim::DriverObject>(u"\\Driver\\toy");
        driver->get()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = toy_internal;
        driver->get()->MajorFunction[IRP_MJ_PNP] = toy_pnp;
        driver->get()->DriverExtension->AddDevice = toy_add_device;
        bus = std::make_unique<sim::DriverObject>(u"\\Driver\\bus");
        pdo = sim::create_device(bus->get(), 0);
    }
    void TearDown() override {
        sim::delete_device(pdo);
        SimTest::TearDown();
        g_toy = nullptr;
    }

    NTSTATUS register_toy(ULONG revision = HID_REVISION, bool with_driver = true) {
        HID_MINIDRIVER_REGISTRATION reg{};
        reg.Revision = revision;
        reg.DriverObject = with_driver ? driver->get() : nullptr;
        reg.RegistryPath = driver->registry_path();
        reg.DeviceExtensionSize = 40;
        return HidRegisterMinidriver(&reg);
    }

    // The oldest read the toy holds, completed with these bytes.
    void deliver(const Bytes &report, NTSTATUS status = STATUS_SUCCESS) {
        PIRP irp;
        {
            std::lock_guard g(toy.mu);
            ASSERT_FALSE(toy.reads.empty()) << "no read with the minidriver";
            irp = toy.reads.front();
            toy.reads.pop_front();
        }
        ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
        ASSERT_GE(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength, report.size());
        std::copy(report.begin(), report.end(), static_cast<uint8_t *>(irp->UserBuffer));
        complete(irp, status, NT_SUCCESS(status) ? report.size() : 0);
    }
    size_t toy_reads() {
        std::lock_guard g(toy.mu);
        return toy.reads.size();
    }

    Toy toy;
    std::unique_ptr<sim::DriverObject> driver, bus;
    PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(SimHidClass, RegistrationTakesOverTheDriverObjectAndMakesTheDevice) {
    {
        sim::HidClassDevice none(pdo);
        EXPECT_EQ(none.status(), STATUS_NO_SUCH_DEVICE) << "nothing registered";
    }
    EXPECT_EQ(register_toy(2), STATUS_REVISION_MISMATCH);
    EXPECT_EQ(register_toy(HID_REVISION, false), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(sim::hid_minidriver()) << "a refused registration is not kept";
    PDRIVER_DISPATCH close_before = driver->get()->MajorFunction[IRP_MJ_CLOSE];
    ASSERT_EQ(register_toy(), STATUS_SUCCESS);
    // Twice, as a driver loaded again would: the minidriver's own routines stay kept.
    ASSERT_EQ(register_toy(), STATUS_SUCCESS);
    std::optional<sim::HidMinidriver> kept = sim::hid_minidriver();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->extension_size, 40u);
    EXPECT_EQ(kept->major[IRP_MJ_INTERNAL_DEVICE_CONTROL], toy_internal);
    EXPECT_EQ(kept->major[IRP_MJ_CLOSE], close_before);
    EXPECT_EQ(kept->add_device, toy_add_device);
    EXPECT_NE(driver->get()->MajorFunction[IRP_MJ_PNP], toy_pnp);
    EXPECT_NE(driver->get()->DriverExtension->AddDevice, toy_add_device);

    // The PnP manager's way in still reaches the minidriver through the class driver.
    ASSERT_EQ(driver->get()->DriverExtension->AddDevice(driver->get(), pdo), STATUS_SUCCESS);
    ASSERT_NE(toy.added, nullptr);
    EXPECT_EQ(pdo->AttachedDevice, toy.added);
    sim::Request pnp(toy.added, {.major = IRP_MJ_PNP});
    EXPECT_EQ(pnp.send(), STATUS_SUCCESS);
    EXPECT_EQ(pnp.information(), 7u) << "answered by the toy's own PnP routine";
    sim::delete_device(toy.added);
    {
        sim::HidClassDevice hid(pdo);
        ASSERT_EQ(hid.status(), STATUS_SUCCESS);
        EXPECT_EQ(toy.added, hid.device());
        EXPECT_EQ(hid.device()->Flags & DO_DEVICE_INITIALIZING, 0u);
    }
    EXPECT_EQ(pdo->AttachedDevice, nullptr) << "the device is gone with its owner";
    toy.serves.add_device_status = STATUS_INSUFFICIENT_RESOURCES;
    sim::HidClassDevice refused(pdo);
    EXPECT_EQ(refused.status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

TEST_F(SimHidClass, InterrogationFailsTheDeviceAtTheFirstFailure) {
    struct Case {
        const char *name;
        void (*set)(Toy::Serves &);
        NTSTATUS expected;
        size_t requests; // sent before the device failed
        const char *failure;
    } cases[] = {
        {"a good minidriver", [](Toy::Serves &) {}, STATUS_SUCCESS, 3, ""},
        {"the HID descriptor refused", [](Toy::Serves &s) { s.descriptor_status = STATUS_DEVICE_NOT_READY; },
         STATUS_DEVICE_NOT_READY, 1, "IOCTL_HID_GET_DEVICE_DESCRIPTOR"},
        {"a HID descriptor of 8 bytes", [](Toy::Serves &s) { s.hid_descriptor = hex("09 21 11 01 00 01 22 24"); },
         STATUS_DEVICE_DATA_ERROR, 1, "HID descriptor of 8 bytes"},
        {"the attributes refused", [](Toy::Serves &s) { s.attributes_status = STATUS_BUFFER_TOO_SMALL; },
         STATUS_BUFFER_TOO_SMALL, 2, "IOCTL_HID_GET_DEVICE_ATTRIBUTES"},
        {"a report descriptor shorter than announced", [](Toy::Serves &s) { s.report_descriptor_cut = 1; },
         STATUS_DEVICE_DATA_ERROR, 3, "announced"},
        {"a report descriptor that does not parse",
         [](Toy::Serves &s) { s.report_descriptor = hex("05 01 09 02 A1 01 85 00 75 08 95 03 81 06 C0"); },
         STATUS_DEVICE_DATA_ERROR, 3, "report ID 0 at offset 6"},
    };
    ASSERT_EQ(register_toy(), STATUS_SUCCESS);
    const std::vector<ULONG> order = {IOCTL_HID_GET_DEVICE_DESCRIPTOR, IOCTL_HID_GET_DEVICE_ATTRIBUTES,
                                      IOCTL_HID_GET_REPORT_DESCRIPTOR};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        toy.serves = {};
        toy.ioctls.clear();
        toy.output_lengths.clear();
        c.set(toy.serves);
        sim::HidClassDevice hid(pdo);
        EXPECT_EQ(hid.interrogate(), c.expected);
        EXPECT_EQ(hid.status(), c.expected);
        EXPECT_THAT(hid.failure(), HasSubstr(c.failure));
        EXPECT_EQ(toy.ioctls, std::vector<ULONG>(order.begin(), order.begin() + c.requests));
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(toy.output_lengths, (std::vector<ULONG>{9, 32, ULONG(kToyDescriptor.size())}))
                << "the report descriptor is asked for with the length the HID descriptor announced";
        }
    }
}

class SimHidClassReads : public SimHidClass {
protected:
    void SetUp() override {
        SimHidClass::SetUp();
        ASSERT_EQ(register_toy(), STATUS_SUCCESS);
        hid = std::make_unique<sim::HidClassDevice>(pdo);
        ASSERT_EQ(hid->interrogate(), STATUS_SUCCESS) << hid->failure();
    }
    void TearDown() override {
        hid.reset();
        SimHidClass::TearDown();
    }
    std::unique_ptr<sim::HidClassDevice> hid;
};

TEST_F(SimHidClassReads, ReportsThatDoNotFitTheDescriptorAreNotDelivered) {
    hid->start_reading();
    deliver(hex("01 10 20"));    // report 1 is 4 bytes
    deliver(hex("02 7F 00"));    // report 2 is 2 bytes
    deliver(hex("03 00 00"));    // report 3 is output only
    deliver(hex("01 10 20 30")); // and a good one still arrives
    std::vector<sim::HidDelivered> got = hid->take_reports();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, hex("01 10 20 30"));
    EXPECT_EQ(toy_reads(), 2u);
    hid.reset();
    sim::delete_device(pdo);
    std::vector<std::string> found = sim::problems();
    sim::reset(); // the teardown sees only later problems
    pdo = sim::create_device(bus->get(), 0);
    EXPECT_THAT(found, ElementsAre(HasSubstr("input report 1 of 3 bytes, the report descriptor says 4"),
                                             HasSubstr("input report 2 of 3 bytes, the report descriptor says 2"),
                                             HasSubstr("report ID 3 is no input report")));
}

TEST_F(SimHidClassReads, FailedReadsWaitForResendAndCancelledOnesStay) {
    hid->start_reading();
    EXPECT_EQ(toy.output_lengths.back(), 4u) << "a read's buffer holds the longest input report";
    deliver({}, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(hid->reads_failed(), 1u);
    EXPECT_EQ(toy_reads(), 1u) << "a failed read is parked, not sent again";
    // A minidriver that fails every read at once: resending must not recurse.
    toy.serves.fail_reads = STATUS_DEVICE_NOT_CONNECTED;
    hid->resend_failed();
    EXPECT_EQ(hid->reads_failed(), 2u);
    toy.serves.fail_reads = STATUS_SUCCESS;
    hid->resend_failed();
    EXPECT_EQ(toy_reads(), 2u);
    // The minidriver cancels one read of its own accord: it is not sent again.
    IoCancelIrp(toy.reads.front());
    hid->resend_failed();
    EXPECT_EQ(toy_reads(), 1u) << "a cancelled read is not a failed one";
    EXPECT_EQ(hid->reads_outstanding(), 1u);
}

TEST_F(SimHidClassReads, ThreadedReportsFromAnotherThreadWhileTheTestTakesAndWrites) {
    hid->start_reading();
    constexpr int kReports = 300;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::thread completer([&] {
        for (int sent = 0; sent < kReports && std::chrono::steady_clock::now() < give_up;) {
            if (toy_reads() == 0) {
                std::this_thread::yield();
                continue;
            }
            Bytes report = sent % 2 ? hex("02 00") : hex("01 00 00 00");
            report[1] = uint8_t(sent++);
            deliver(report);
        }
    });
    std::vector<sim::HidDelivered> got;
    while (got.size() < kReports && std::chrono::steady_clock::now() < give_up) {
        for (sim::HidDelivered &d : hid->take_reports())
            got.push_back(std::move(d));
        EXPECT_EQ(hid->write(hex("03 01 02")).status, STATUS_SUCCESS);
    }
    completer.join();
    ASSERT_EQ(got.size(), size_t(kReports)) << "reads stopped coming back to the minidriver";
    for (int i = 0; i < kReports; ++i) {
        EXPECT_EQ(got[i].collection, size_t(i % 2)) << i;
        EXPECT_EQ(got[i].bytes[1], uint8_t(i)) << "in the order of their completions";
    }
    EXPECT_TRUE(hid->stop_reading());
    EXPECT_EQ(toy_reads(), 0u);
    EXPECT_EQ(hid->reads_failed(), 0u) << "cancelled reads are not failures";
}

// ---------------------------------------------------------------- the bus completes at DISPATCH_LEVEL
// Above the USB stack, completion routines of transfers run at DISPATCH_LEVEL,
// as under a real host controller's DPC: what they may not do there is
// reported, what they may (signal an event) works.
struct BusCompletion {
    KEVENT done;
    KIRQL irql = 0xFF;
};

NTSTATUS NTAPI bus_transfer_done(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto &c = *static_cast<BusCompletion *>(context);
    c.irql = KeGetCurrentIrql();
    if (PVOID p = ExAllocatePoolWithTag(PagedPool, 16, 0))
        ExFreePoolWithTag(p, 0);
    KeSetEvent(&c.done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class SimBusIrql : public SimTest {};

TEST_F(SimBusIrql, TransfersCompleteAtDispatchLevel) {
    {
        sim::UsbDevice dev;
        UCHAR buffer[18] = {};
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                     0, 0, buffer, nullptr, sizeof buffer, nullptr);
        BusCompletion done;
        KeInitializeEvent(&done.done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(dev.pdo()->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        sp->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, bus_transfer_done, &done, TRUE, TRUE, TRUE);
        IofCallDriver(dev.pdo(), irp);
        EXPECT_EQ(KeWaitForSingleObject(&done.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);
        EXPECT_EQ(done.irql, DISPATCH_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller gets its own IRQL back";
        IoFreeIrp(irp);
    }
    std::vector<std::string> found = sim::problems();
    sim::reset();
    EXPECT_THAT(found, Contains(HasSubstr("paged pool requested at DISPATCH_LEVEL")));
}

TEST_F(SimBusIrql, RaisingAndLoweringAreChecked) {
    KIRQL old, ignored;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeRaiseIrql(APC_LEVEL, &ignored); // lower than where it stands
    KeLowerIrql(old);
    KeLowerIrql(DISPATCH_LEVEL); // higher than where it stands
    KeLowerIrql(PASSIVE_LEVEL);
    std::vector<std::string> found = sim::problems();
    sim::reset();
    EXPECT_THAT(found, ElementsAre(HasSubstr("KeRaiseIrql: to 1 from the higher IRQL 2"),
                                   HasSubstr("KeLowerIrql: to 2 from the lower IRQL 0")));
}

// ---------------------------------------------------------------- the real driver, as the class driver sees it
// The class driver refuses a report whose length is not the one the served
// descriptor gives it, so every report the started driver hands out is
// checked here against the class driver's own reading of what it was served.
class SimHidClassDriver : public hid_device::HidDeviceTest {};

TEST_F(SimHidClassDriver, EveryReportFitsTheServedDescriptorAndItsCollection) {
    // The start's interrogation.
    const uint16_t n = dx->ReportDescriptorLength;
    EXPECT_EQ(hid->hid_descriptor(), (Bytes{9, 0x21, 0x01, 0x00, 0x00, 1, 0x22, uint8_t(n), uint8_t(n >> 8)}));
    EXPECT_EQ(hid->attributes().VendorID, sim::kUsbVendorId);
    EXPECT_EQ(hid->attributes().ProductID, sim::kUsbProductId);
    EXPECT_EQ(hid->attributes().VersionNumber, sim::kUsbDeviceVersion);
    Bytes served(VirtualReportDescriptor, VirtualReportDescriptor + VIRTUAL_REPORT_DESCRIPTOR_LENGTH);
    const Bytes own = usb->report_descriptor();
    served.insert(served.end(), own.begin(), own.end());
    EXPECT_EQ(hid->report_descriptor(), served) << "the virtual half, then the device's own";

    // Joystick, mouse, keyboard, consumer control with the status and command
    // report, the device's own; each report's length is checked at delivery.
    const sim::HidDescriptorInfo &info = hid->info();
    std::vector<std::pair<uint16_t, uint16_t>> applications;
    for (const sim::HidCollection &c : info.collections) applications.emplace_back(c.usage_page, c.usage);
    EXPECT_EQ(applications, (std::vector<std::pair<uint16_t, uint16_t>>{
                                {0x01, 0x04}, {0x01, 0x02}, {0x01, 0x06}, {0x0C, 0x01}, {0x01, 0x08}}));
    const std::map<uint8_t, size_t> collection = {
        {REPORT_ID_JOYSTICK, 0}, {REPORT_ID_MOUSE, 1},           {REPORT_ID_KEYBOARD, 2},     {REPORT_ID_CONSUMER, 3},
        {REPORT_ID_STATUS, 3},   {REPORT_ID_RAW_TRANSLATION, 4}, {REPORT_ID_RAW_ROTATION, 4}, {REPORT_ID_RAW_BUTTONS, 4}};
    ASSERT_TRUE(info.find(REPORT_ID_STATUS));
    EXPECT_EQ(info.find(REPORT_ID_STATUS)->second.output, 4) << "the command report";

    // The start made every report due, and the class driver's two reads took
    // them all; then the device moves and a button goes down.
    usb->push_report({0x01, 0x00, 0x01, 0x00, 0xFF, 0x20, 0x00});
    sim::clock_settle();
    usb->push_buttons(0x01);
    sim::clock_settle();

    std::vector<sim::HidDelivered> got = hid->take_reports();
    std::map<uint8_t, size_t> delivered;
    for (const sim::HidDelivered &d : got) delivered[d.bytes.at(0)] = d.collection;
    EXPECT_EQ(delivered, collection) << "every report went out, each in its collection";
    EXPECT_GT(got.size(), 8u) << "the moves after the start were delivered too";
    EXPECT_EQ(hid->reads_outstanding(), 2u) << "every read went back to the driver";
    EXPECT_EQ(hid->reads_failed(), 0u);
}

} // namespace
