// The read queue: reads wait oldest first, each takes one pending report, a
// cancel completes a queued read once and only once whoever gets there first,
// and a read too short for its report stops the pass with the report kept.
// The simulated I/O manager fails a test on any request completed twice,
// completed under a spin lock, or never completed.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "platform/sim/io.h"
#include "platform/sim/sim.h"
#include "tests/support/sim_test.h"

namespace {

using RequestPtr = std::unique_ptr<sim::Request>;
using Lines = std::vector<std::string>;

class ReadQueue : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        driver = std::make_unique<sim::DriverObject>();
        pdo = sim::create_device(driver->get(), 0);
        hid = sim::create_hid_device(driver->get(), sizeof(DEVICE_EXTENSION), pdo);
        ASSERT_NE(hid, nullptr);
        dx = sim::mini_extension<DEVICE_EXTENSION>(hid);
        InitializeListHead(&dx->ReadQueue);
        KeInitializeSpinLock(&dx->ReadQueueLock);
        MIVO_report_state_reset(dx);
        dx->PendingReports = 0;
    }

    void TearDown() override
    {
        sim::delete_device(hid);
        sim::delete_device(pdo);
        driver.reset();
        SimTest::TearDown();
    }

    // A read as the HID class driver sends it, queued the way the dispatch
    // routine does before it returns STATUS_PENDING.
    RequestPtr queue_read(ULONG length = 64)
    {
        auto r = std::make_unique<sim::Request>(
            hid, sim::RequestSpec{.ioctl = IOCTL_HID_READ_REPORT, .output_length = length});
        r->point_at_target();
        IoMarkIrpPending(r->irp());
        MIVO_queue_read(dx, r->irp());
        return r;
    }

    // One completion with this status, and with a report of this ID and size
    // if it succeeded.
    static void expect_done(sim::Request &r, NTSTATUS status, uint8_t id = 0, ULONG_PTR size = 0)
    {
        ASSERT_EQ(r.completions(), 1);
        EXPECT_EQ(r.status(), status);
        EXPECT_EQ(r.information(), size);
        if (size != 0) {
            EXPECT_EQ(r.output()[0], id);
        }
    }

    std::unique_ptr<sim::DriverObject> driver;
    PDEVICE_OBJECT pdo = nullptr, hid = nullptr;
    PDEVICE_EXTENSION dx = nullptr;
};

TEST_F(ReadQueue, ReadsAreServedOldestFirstOneReportEach)
{
    RequestPtr a = queue_read(), b = queue_read(), c = queue_read();
    MIVO_complete_pending_reads(dx);
    EXPECT_TRUE(a->outstanding()) << "nothing pending completes nothing";

    dx->PendingReports = PENDING_STATUS | PENDING_JOYSTICK | PENDING_RAW_ROTATION;
    MIVO_complete_pending_reads(dx);
    expect_done(*a, STATUS_SUCCESS, REPORT_ID_STATUS, 4);
    expect_done(*b, STATUS_SUCCESS, REPORT_ID_RAW_ROTATION, 7);
    expect_done(*c, STATUS_SUCCESS, REPORT_ID_JOYSTICK, sizeof(JOYSTICK_REPORT));
    EXPECT_EQ(dx->PendingReports, 0u);

    RequestPtr d = queue_read(), e = queue_read();
    dx->PendingReports = PENDING_CONSUMER;
    MIVO_complete_pending_reads(dx);
    expect_done(*d, STATUS_SUCCESS, REPORT_ID_CONSUMER, 3);
    EXPECT_TRUE(e->outstanding()) << "no report left for it, so it waits";
    MIVO_cancel_all_reads(dx);
}

TEST_F(ReadQueue, ShortBufferFailsTheReadKeepsTheReportAndStopsThePass)
{
    dx->PendingReports = PENDING_JOYSTICK | PENDING_MOUSE;
    RequestPtr tiny = queue_read(4), next = queue_read(19);
    sim::trace_clear();

    MIVO_complete_pending_reads(dx);
    expect_done(*tiny, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(next->outstanding()) << "the pass stops at the failure";
    EXPECT_EQ(dx->PendingReports, ULONG(PENDING_JOYSTICK | PENDING_MOUSE));
    EXPECT_EQ(sim::trace_lines(), (Lines{"> Leave: MIVO_hid_read_rep: STATUS_BUFFER_TOO_SMALL: 4",
                                         "> Leave: MIVO_complete_read_report: c0000023",
                                         "c0000023: complete_read_report failed"}));

    MIVO_complete_pending_reads(dx);
    expect_done(*next, STATUS_SUCCESS, REPORT_ID_JOYSTICK, sizeof(JOYSTICK_REPORT));
}

TEST_F(ReadQueue, TakenReadCanNoLongerBeCancelledAndFailsWithNothingPending)
{
    RequestPtr r = queue_read();
    PIRP irp = MIVO_dequeue_read(dx);
    ASSERT_EQ(irp, r->irp());
    EXPECT_FALSE(r->cancel()) << "the dequeuer disarmed the cancel routine";
    EXPECT_TRUE(r->outstanding());
    sim::trace_clear();

    EXPECT_EQ(MIVO_complete_read_report(dx, irp), STATUS_UNSUCCESSFUL);
    expect_done(*r, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::trace_lines(), (Lines{"> Leave: MIVO_hid_read_rep: STATUS_UNSUCCESSFUL: not changed: 0",
                                         "> Leave: MIVO_complete_read_report: c0000001"}));
}

TEST_F(ReadQueue, CancelCompletesOneQueuedReadOnceAndCancelAllTheRest)
{
    RequestPtr a = queue_read(), b = queue_read(), c = queue_read(), d = queue_read();
    EXPECT_TRUE(b->cancel());
    expect_done(*b, STATUS_CANCELLED);

    dx->PendingReports = PENDING_STATUS | PENDING_RAW_TRANSLATION;
    MIVO_complete_pending_reads(dx);
    expect_done(*a, STATUS_SUCCESS, REPORT_ID_STATUS, 4);
    expect_done(*c, STATUS_SUCCESS, REPORT_ID_RAW_TRANSLATION, 7); // the cancelled read is out of the queue

    MIVO_cancel_all_reads(dx);
    expect_done(*d, STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&dx->ReadQueue));
    EXPECT_FALSE(d->cancel()) << "nothing left for a late cancel to do";
}

// The two halves of IoCancelIrp with the dequeuer in between: the I/O manager
// has emptied the slot, the dequeuer takes the entry out and finds the slot
// empty, and only then does the cancel routine run.
TEST_F(ReadQueue, DequeuerThatMeetsACancelHalfwayLeavesTheReadToIt)
{
    RequestPtr doomed = queue_read(), next = queue_read();
    sim::trace_clear();

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    doomed->irp()->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(doomed->irp(), nullptr);
    ASSERT_NE(routine, nullptr);
    IoReleaseCancelSpinLock(irql); // the dequeuer runs on another processor meanwhile

    EXPECT_EQ(MIVO_dequeue_read(dx), next->irp()) << "the cancelled read is skipped";
    char line[64];
    std::snprintf(line, sizeof(line), "already cancelling: %016" PRIXPTR, reinterpret_cast<uintptr_t>(doomed->irp()));
    EXPECT_EQ(sim::trace_lines(), Lines{line});
    EXPECT_TRUE(doomed->outstanding()) << "the dequeuer does not complete a read it does not own";

    IoAcquireCancelSpinLock(&irql);
    doomed->irp()->CancelIrql = irql;
    routine(hid, doomed->irp());
    expect_done(*doomed, STATUS_CANCELLED);
    next->complete(STATUS_SUCCESS); // as the worker would, with a report
}

// The owner cancels a read and frees it the moment the dequeuer lets go of
// the queue lock. The dequeuer must have made the read its own before that:
// had it emptied the cancel slot after the release, the cancel would have
// completed the read and the dequeuer would write into freed memory.
TEST_F(ReadQueue, CancelRightAfterTheDequeuerLetsGoOfTheLockIsTooLate)
{
    RequestPtr r = queue_read();
    PIRP irp = r->irp();
    bool cancelled = true;
    sim::after_spin_lock_release(&dx->ReadQueueLock, [&] {
        cancelled = r->cancel();
        if (cancelled) {
            r.reset(); // completed by its cancel routine: its owner frees it
        }
    });
    EXPECT_EQ(MIVO_dequeue_read(dx), irp);
    ASSERT_FALSE(cancelled) << "the dequeuer took the read before it let go of the lock";
    r->complete(STATUS_SUCCESS);
}

// The HID worker hands out reports and finally cancels everything while the
// owner cancels the same reads from another thread. Whoever wins, each read
// is completed once (the verifier fails any second completion): with a
// report by the worker, or with STATUS_CANCELLED.
class ThreadedReadQueue : public ReadQueue {};

TEST_F(ThreadedReadQueue, CancelRacingTheWorkerCompletesEachReadOnce)
{
    constexpr int kReads = 6;
    for (int it = 0; it < 300; it++) {
        std::vector<RequestPtr> reads;
        for (int i = 0; i < kReads; i++) reads.push_back(queue_read());
        dx->PendingReports = PENDING_ALL;

        std::latch start(2); // both threads leave together so that they overlap
        std::thread canceller([&] {
            start.arrive_and_wait();
            // Oldest first on even iterations, chasing the dequeuer; newest
            // first on odd ones, meeting it in the middle.
            for (int n = 0; n < kReads; n++) reads[it % 2 ? kReads - 1 - n : n]->cancel();
        });
        std::thread worker([&] {
            start.arrive_and_wait();
            MIVO_complete_pending_reads(dx);
            MIVO_cancel_all_reads(dx);
        });
        canceller.join();
        worker.join();

        for (RequestPtr &r : reads) {
            ASSERT_EQ(r->completions(), 1) << "iteration " << it;
            ASSERT_EQ(r->information() > 0, r->status() == STATUS_SUCCESS) << "a report, or STATUS_CANCELLED";
            ASSERT_TRUE(r->status() == STATUS_SUCCESS || r->status() == STATUS_CANCELLED);
        }
        ASSERT_TRUE(IsListEmpty(&dx->ReadQueue));
    }
}

} // namespace
