// The whole driver's lifecycle through IRPs only: loaded from DriverEntry,
// added by the simulated HID class driver over the virtual controller,
// started with its real bring-up and worker threads, stopped, powered down
// and up, restarted by a read, unplugged and removed. Virtual time unless a
// test says otherwise; a removal or start that could hang runs on a thread of
// its own with a real-time bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/io.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "profiles/profiles.h"
#include "tests/support/hid_device.h"
#include "tests/support/sim_test.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
using hid_device::bounded;
using hid_device::store_profile;
using hid_device::remove_and_unload;

bool traced(const std::string &line)
{
    const auto lines = sim::trace_lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string hex(NTSTATUS status)
{
    char text[16];
    snprintf(text, sizeof text, "%x", unsigned(status));
    return text;
}

const sim::HidDelivered *find_report(const std::vector<sim::HidDelivered> &reports, uint8_t id)
{
    for (const auto &r : reports)
        if (!r.bytes.empty() && r.bytes[0] == id) return &r;
    return nullptr;
}

} // namespace

class Lifecycle : public SimTest {
protected:
    void bring_up(sim::UsbDeviceOptions options = {})
    {
        driver = std::make_unique<sim::LoadedDriver>(DriverEntry);
        ASSERT_EQ(driver->status(), STATUS_SUCCESS);
        usb = std::make_unique<sim::UsbDevice>(std::move(options));
        hid = std::make_unique<sim::HidClassDevice>(usb->pdo());
        ASSERT_EQ(hid->status(), STATUS_SUCCESS);
        dx = hid->mini_extension<DEVICE_EXTENSION>();
    }

    // Started, the first reports of the fresh device taken.
    void started(sim::UsbDeviceOptions options = {})
    {
        ASSERT_NO_FATAL_FAILURE(bring_up(std::move(options)));
        ASSERT_EQ(hid->start(), STATUS_SUCCESS) << hid->failure();
        sim::clock_settle();
        hid->take_reports();
    }

    ULONG state() const { return MIVO_device_state(dx); }

    // What ends a silent device's pending read from outside the driver.
    std::function<void()> speak() { return hid_device::speak(*usb); }

    void TearDown() override
    {
        remove_and_unload(driver, usb, hid, dx);
        driver.reset();
        SimTest::TearDown();
    }

    std::unique_ptr<sim::LoadedDriver> driver;
    std::unique_ptr<sim::UsbDevice> usb;
    std::unique_ptr<sim::HidClassDevice> hid;
    PDEVICE_EXTENSION dx = nullptr;
};

TEST_F(Lifecycle, LoadRegistersTheMinidriverAndAddDeviceSetsUpTheContext)
{
    ASSERT_NO_FATAL_FAILURE(bring_up());

    EXPECT_TRUE(traced("> Enter: DriverEntry: MIVO-Zarvik"));
    EXPECT_TRUE(traced("> Leave: DriverEntry: 0"));
    auto reg = sim::hid_minidriver();
    ASSERT_TRUE(reg.has_value());
    EXPECT_EQ(reg->extension_size, sizeof(DEVICE_EXTENSION));
    EXPECT_FALSE(reg->polled);

    // Both copies of the service key path: the text, Length + 2 bytes and a NUL.
    const USHORT length = driver->registry_path()->Length;
    for (const UNICODE_STRING *copy : {&DriverRegistryPath, &dx->RegistryPath}) {
        ASSERT_NE(copy->Buffer, nullptr);
        EXPECT_NE(copy->Buffer, driver->registry_path()->Buffer);
        EXPECT_EQ(copy->Length, length);
        EXPECT_EQ(copy->MaximumLength, length + 2);
        EXPECT_EQ(std::u16string_view(copy->Buffer, length / 2),
                  std::u16string_view(driver->registry_path()->Buffer, length / 2));
        EXPECT_EQ(copy->Buffer[length / 2], 0);
    }
    EXPECT_NE(dx->RegistryPath.Buffer, DriverRegistryPath.Buffer);

    EXPECT_EQ(dx->IoCount, 1);
    EXPECT_EQ(state(), ULONG(DEVICE_STATE_NONE));
    EXPECT_EQ(dx->ReloadRequested, 1);

    EXPECT_EQ(hid->remove(), STATUS_SUCCESS) << "removal of a device never started";
    hid.reset();
    driver->unload();
    EXPECT_TRUE(traced("> Enter: MIVO_DriverUnload:  ... and leave"));
    EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
}

TEST_F(Lifecycle, ShortInterruptReportReadsAsZerosBehindItsLastByte)
{
    ASSERT_NO_FATAL_FAILURE(started());
    usb->push_translation(1, 2, 3);
    sim::clock_settle();
    hid->take_reports();

    // Cut inside Y: its low byte alone, a small positive value, Z zero and
    // nothing left of the whole report before it.
    usb->short_reports(4);
    usb->push_translation(-5, -300, 7);
    sim::clock_settle();
    const auto reports = hid->take_reports();
    const sim::HidDelivered *raw = find_report(reports, REPORT_ID_RAW_TRANSLATION);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->bytes, (Bytes{1, 0xFB, 0xFF, 0xD4, 0, 0, 0}));
}

// A start that fails at the port or at a worker's thread. (A descriptor read
// or an allocation that fails: the USB bring-up tests and the allocation sweep.)
struct StartFailure {
    const char *name;
    std::function<void(sim::UsbDevice &)> fault;
    NTSTATUS status;
    std::vector<std::string> lines;
    // A thread that could not be made leaves the device marked started, as
    // the bring-up left it; the removal that follows a failed start ends it.
    bool left_started = false;
};

class LifecycleStartFailure : public Lifecycle, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(LifecycleStartFailure, FailsTheStartWithTheStepsStatusAndLeavesTheDeviceNotStarted)
{
    const StartFailure &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(bring_up());
    c.fault(*usb);

    EXPECT_EQ(hid->start(), c.status);
    sim::clock_settle();

    for (const std::string &line : c.lines) EXPECT_TRUE(traced(line)) << line;
    const std::string s = hex(c.status);
    EXPECT_TRUE(traced("> Leave: MIVO_device_start: " + s + ": usb_start failed"));
    EXPECT_TRUE(traced("> Leave: MIVO_pnp_start: " + s + ": device_start failed"));
    EXPECT_EQ(dx->HidWorkerThread, nullptr);
    if (c.left_started) {
        EXPECT_EQ(state(), ULONG(DEVICE_STATE_STARTED)) << "nothing the bring-up did is undone";
        return;
    }
    EXPECT_EQ(state(), ULONG(DEVICE_STATE_NONE)) << "a failed start leaves the state as it was";

    // A read finds the device not started; the start it queues fails alike.
    c.fault(*usb);
    sim::Request read(hid->device(), {.ioctl = IOCTL_HID_READ_REPORT, .output_length = 64});
    EXPECT_EQ(read.send(), STATUS_DEVICE_NOT_CONNECTED);
    sim::clock_settle();
    EXPECT_EQ(state(), ULONG(DEVICE_STATE_NONE));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LifecycleStartFailure,
    ::testing::Values(
        StartFailure{"PortNotConnected", [](sim::UsbDevice &usb) { usb.unplug(); }, STATUS_NO_SUCH_DEVICE,
                     {"> Leave: MIVO_usb_start: c000000e: usb_reset failed"}},
        StartFailure{"PortStaysDisabledAfterReset",
                     [](sim::UsbDevice &usb) {
                         usb.disable_port();
                         usb.port_reset_keeps_disabled(true);
                     },
                     STATUS_NO_SUCH_DEVICE, {"> Leave: MIVO_usb_start: c000000e: usb_reset failed"}},
        StartFailure{"UsbWorkerThread", [](sim::UsbDevice &) { sim::thread_create_fail_nth(1); },
                     STATUS_INSUFFICIENT_RESOURCES,
                     {"> Leave: MIVO_usb_start: c000009a: PsCreateSystemThread failed"}, true},
        StartFailure{"HidWorkerThread", [](sim::UsbDevice &) { sim::thread_create_fail_nth(2); },
                     STATUS_INSUFFICIENT_RESOURCES,
                     {"> Leave: MIVO_hid_start: c000009a: PsCreateSystemThread failed",
                      "> Leave: MIVO_usb_start: c000009a: hid_start failed"},
                     true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Lifecycle, StopThenStartReplacesTheWorkersAndReloadsTheProfiles)
{
    ASSERT_NO_FATAL_FAILURE(started());
    const PVOID firstUsbWorker = dx->UsbWorkerThread;
    store_profile(7);
    EXPECT_FALSE(MIVO_Profil_Exist(dx, 7));

    // The USB worker sits in a read of a device with nothing to say: only the
    // next start's abort ends it.
    EXPECT_EQ(hid->stop(), STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG(DEVICE_STATE_STOPPED));
    sim::clock_advance_ms(20);
    EXPECT_EQ(sim::threads_running(), 1u) << "the HID worker ended on its own, the USB worker waits in its read";

    EXPECT_EQ(bounded([this] { return hid->start(); }, speak()), STATUS_SUCCESS);
    sim::clock_settle();
    EXPECT_EQ(sim::threads_running(), 2u) << "one USB and one HID worker, the earlier ones waited for";
    EXPECT_NE(dx->UsbWorkerThread, nullptr);
    EXPECT_NE(dx->UsbWorkerThread, firstUsbWorker);
    EXPECT_TRUE(MIVO_Profil_Exist(dx, 7)) << "the new HID worker reloads the store before its first step";

    usb->push_translation(50, 0, 0);
    sim::clock_settle();
    EXPECT_NE(find_report(hid->take_reports(), REPORT_ID_RAW_TRANSLATION), nullptr);
}

TEST_F(Lifecycle, PowerDownThenUpLeavesTheDeviceStoppedUntilAReadStartsIt)
{
    ASSERT_NO_FATAL_FAILURE(started());

    EXPECT_EQ(hid->set_power(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG(DEVICE_STATE_STOPPED));
    sim::clock_advance_ms(20);
    EXPECT_EQ(hid->reads_outstanding(), 0u) << "the ending HID worker cancelled the queued reads";
    EXPECT_EQ(hid->set_power(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG(DEVICE_STATE_STOPPED));
    const auto powers = sim::power_states_set();
    ASSERT_GE(powers.size(), 2u);
    EXPECT_EQ(powers[powers.size() - 2].state, ULONG(PowerDeviceD3));
    EXPECT_EQ(powers.back().state, ULONG(PowerDeviceD0));

    // The class driver reads again: refused, and the device comes back.
    sim::trace_clear();
    hid->stop_reading();
    hid->start_reading();
    EXPECT_TRUE(traced("> Leave: MIVO_ioctl_read_rep: STATUS_DEVICE_NOT_CONNECTED: device is not started"));
    // The old USB worker pauses after its aborted read before it sees the stop.
    bounded([] { sim::clock_advance_ms(50); return STATUS_SUCCESS; }, speak());
    EXPECT_EQ(state(), ULONG(DEVICE_STATE_STARTED));
    EXPECT_EQ(sim::threads_running(), 2u) << "the restart ended the USB worker left in its read";

    hid->resend_failed();
    usb->push_translation(0, 80, 0);
    sim::clock_settle();
    EXPECT_NE(find_report(hid->take_reports(), REPORT_ID_RAW_TRANSLATION), nullptr);
}

struct Removal {
    const char *name;
    bool surprise;
};

class LifecycleRemoval : public Lifecycle, public ::testing::WithParamInterface<Removal> {};

TEST_P(LifecycleRemoval, SilentDeviceWithReadsPendingEndsEverythingAndFreesAll)
{
    ASSERT_NO_FATAL_FAILURE(started());
    usb->silence(true);
    sim::clock_advance_ms(30);
    ASSERT_TRUE(usb->wait_pending_reads(1)) << "the USB worker waits in a read the device never answers";

    // Reads of our own besides the class driver's: the removal must cancel them.
    std::vector<std::unique_ptr<sim::Request>> reads;
    for (int i = 0; i < 3; i++) {
        reads.push_back(std::make_unique<sim::Request>(hid->device(),
                                                       sim::RequestSpec{.ioctl = IOCTL_HID_READ_REPORT, .output_length = 64}));
        EXPECT_EQ(reads.back()->send(), STATUS_PENDING);
    }
    sim::clock_settle();

    const NTSTATUS status = bounded(
        [this] { return GetParam().surprise ? hid->surprise_removal() : hid->remove(); }, speak());
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(sim::threads_running(), 0u);
    EXPECT_EQ(usb->pending_reads(), 0u) << "the abort ended the worker's read";
    for (auto &r : reads) {
        EXPECT_EQ(r->completions(), 1);
        EXPECT_EQ(r->status(), STATUS_CANCELLED);
    }
    // Nothing the device held is left for a remove request to free: after a
    // surprise removal that request is refused.
    EXPECT_EQ(dx->ProfilList, nullptr);
    EXPECT_EQ(dx->DeviceReportDescriptor, nullptr);
    EXPECT_EQ(dx->RegistryPath.Buffer, nullptr);
    if (GetParam().surprise) {
        EXPECT_EQ(hid->remove(), STATUS_DELETE_PENDING);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LifecycleRemoval,
                         ::testing::Values(Removal{"Surprise", true}, Removal{"Remove", false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Lifecycle, RemovedDeviceRefusesEveryCountedRequestAndLeavesTheCount)
{
    ASSERT_NO_FATAL_FAILURE(started());
    ASSERT_EQ(hid->surprise_removal(), STATUS_SUCCESS);
    const LONG count = dx->IoCount;

    struct Case {
        const char *name;
        sim::RequestSpec request;
    };
    const Case cases[] = {
        {"pnp", {.major = IRP_MJ_PNP, .minor = IRP_MN_QUERY_ID}},
        {"remove", {.major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE}},
        {"power", {.major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER}},
    };
    for (const Case &c : cases) {
        sim::Request r(hid->device(), c.request);
        const NTSTATUS sent = c.request.major == IRP_MJ_POWER ? r.send_power() : r.send();
        EXPECT_EQ(sent, STATUS_DELETE_PENDING) << c.name;
        EXPECT_EQ(r.status(), STATUS_DELETE_PENDING) << c.name;
        EXPECT_EQ(r.information(), 0u) << c.name;
        EXPECT_EQ(dx->IoCount, count) << c.name;
    }
    EXPECT_TRUE(traced("> Leave: MIVO_DispatchPnp: Error c0000056"));

    // Create and close still succeed.
    sim::Request create(hid->device(), {.major = IRP_MJ_CREATE});
    EXPECT_EQ(create.send(), STATUS_SUCCESS);
    EXPECT_EQ(create.status(), STATUS_SUCCESS);
}

TEST_F(Lifecycle, CapabilitiesAreAnsweredHereAndTheRestLeftAsBrought)
{
    ASSERT_NO_FATAL_FAILURE(bring_up());
    DEVICE_CAPABILITIES caps{};
    caps.LockSupported = caps.EjectSupported = caps.DockDevice = caps.UniqueID = 1;
    caps.DeviceD1 = 1;
    caps.SystemWake = PowerSystemSleeping3;
    caps.DeviceWake = PowerDeviceD2;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.D3Latency = 77;

    EXPECT_EQ(hid->query_capabilities(caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.LockSupported, 0u);
    EXPECT_EQ(caps.EjectSupported, 0u);
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.DockDevice, 0u);
    EXPECT_EQ(caps.UniqueID, 0u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    // What the lower drivers would have filled in stays as brought: the
    // request never went down.
    EXPECT_EQ(caps.DeviceD1, 1u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.D3Latency, 77u);
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
}

TEST_F(Lifecycle, CreateCloseSucceedAndApplicationRequestsGoDownUntouched)
{
    ASSERT_NO_FATAL_FAILURE(bring_up());
    for (UCHAR major : {UCHAR(IRP_MJ_CREATE), UCHAR(IRP_MJ_CLOSE)}) {
        sim::Request r(hid->device(), {.major = major});
        EXPECT_EQ(r.send(), STATUS_SUCCESS);
        EXPECT_EQ(r.status(), STATUS_SUCCESS);
        EXPECT_EQ(r.information(), 0u);
    }
    // The same request sent to the bus driver directly and through the
    // driver: the same answer, and the driver takes no reference.
    for (UCHAR major : {UCHAR(IRP_MJ_DEVICE_CONTROL), UCHAR(IRP_MJ_SYSTEM_CONTROL)}) {
        const sim::RequestSpec params{.major = major, .ioctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, 0)};
        sim::Request direct(usb->pdo(), params);
        sim::Request through(hid->device(), params);
        const NTSTATUS expected = direct.send();
        EXPECT_EQ(through.send(), expected) << int(major);
        EXPECT_EQ(through.status(), direct.status()) << int(major);
        EXPECT_EQ(dx->IoCount, 1);
    }
}

TEST_F(Lifecycle, ThreadedRemoveWaitsForADispatchStillInsideTheDriver)
{
    sim::clock_real();
    ASSERT_NO_FATAL_FAILURE(started());

    // A report for the device that the test holds in the wire: the write
    // stays inside the driver, holding its reference, until released.
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> held{false};
    usb->fail_control(sim::ControlFault::Stall, [&](const std::array<uint8_t, 8> &setup) {
        if (sim::is_set_report(setup) && setup[2] == 0x09 && !held.exchange(true)) {
            entered.set_value();
            released.wait_for(10s);
        }
        return false;
    });
    std::thread writer([&] { EXPECT_EQ(hid->write(Bytes{0x09, 0x01}).status, STATUS_SUCCESS); });
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);

    std::packaged_task<NTSTATUS()> removal([this] { return hid->remove(); });
    auto removed = removal.get_future();
    std::thread remover(std::move(removal));
    EXPECT_EQ(removed.wait_for(100ms), std::future_status::timeout) << "the remove handler waits for the write";
    EXPECT_EQ(state(), ULONG(DEVICE_STATE_REMOVED));

    release.set_value();
    EXPECT_EQ(removed.wait_for(5s), std::future_status::ready);
    writer.join();
    remover.join();
    EXPECT_EQ(removed.get(), STATUS_SUCCESS);
    EXPECT_EQ(dx->IoCount, 0);
}
