// The worker step and report delivery: which reports a step makes pending,
// the mouse and wheel schedule, the configuration mode, and the order and
// failures of the hand-out to reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "platform/sim/sim.h"
#include "tests/support/core_device.h"

namespace {

class ReportStep : public CoreDeviceTest {
protected:
    // A button bind that gives `value` while device button `button` is down.
    BIND *add(PROFIL *p, UCHAR button, SHORT value, ULONG action, UCHAR param)
    {
        return CoreDeviceTest::add(p, on_button(button, value, action, param));
    }

    struct Read {
        NTSTATUS status;
        Bytes data;
    };
    Read read(ULONG size)
    {
        Bytes buffer(size + 1, 0xEE); // one guard byte past the buffer given
        ULONG length = size;
        NTSTATUS status = MIVO_hid_read_rep(dx, buffer.data(), &length);
        EXPECT_EQ(buffer[size], 0xEE) << "nothing written past the buffer";
        buffer.resize(status == STATUS_SUCCESS ? length : 0);
        return {status, buffer};
    }
};

bool has_line(const std::string &line)
{
    auto lines = sim::trace_lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// ---------------------------------------------------------------- delivery

TEST_F(ReportStep, PendingReportsAreHandedOutInPriorityOrder)
{
    struct Case {
        ULONG pending;
        std::vector<uint8_t> ids; // report IDs of the successive reads
    };
    const Case cases[] = {
        {PENDING_ALL, {0xF0, 1, 2, 3, 0xF1, 0xF2, 0xF3, 0xF4}}, // after a rebuild
        {0xF0, {0xF0, 1, 2, 3}},                                // the input-changed command
        {PENDING_MOUSE | PENDING_STATUS | PENDING_CONSUMER, {0xF0, 0xF3, 0xF4}},
    };
    const std::map<uint8_t, size_t> sizes = {{0xF0, 4}, {1, 7},    {2, 7},    {3, 7},
                                             {0xF1, 19}, {0xF2, 8}, {0xF3, 3}, {0xF4, 5}};
    for (const Case &c : cases) {
        MIVO_pending_set(dx, c.pending);
        for (uint8_t id : c.ids) {
            Read r = read(64);
            ASSERT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_EQ(r.data[0], id);
            EXPECT_EQ(r.data.size(), sizes.at(id));
            if (id == 0xF1) {
                EXPECT_EQ(r.data, image(dx->ReportState.JoystickReport)) << "the image as it is at the read";
            }
        }
        sim::trace_clear();
        EXPECT_EQ(read(64).status, STATUS_UNSUCCESSFUL) << "pending " << c.pending;
        EXPECT_TRUE(has_line("> Leave: MIVO_hid_read_rep: STATUS_UNSUCCESSFUL: not changed: 0")) << sim::trace_text();
    }
}

TEST_F(ReportStep, TooSmallBufferLeavesTheReportPending)
{
    take_pending();
    MIVO_pending_set(dx, PENDING_JOYSTICK | PENDING_MOUSE);
    sim::trace_clear();

    EXPECT_EQ(read(4).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(has_line("> Leave: MIVO_hid_read_rep: STATUS_BUFFER_TOO_SMALL: 4")) << sim::trace_text();
    EXPECT_EQ(read(18).status, STATUS_BUFFER_TOO_SMALL) << "one byte short is still short";
    EXPECT_EQ(dx->PendingReports, ULONG(PENDING_JOYSTICK | PENDING_MOUSE));

    EXPECT_EQ(read(19).data, image(dx->ReportState.JoystickReport));
    EXPECT_EQ(read(5).data, image(dx->ReportState.MouseReport));
}

// ---------------------------------------------------------------- what a step marks

TEST_F(ReportStep, StepMarksExactlyTheChangedReports)
{
    use_base_profile();
    take_pending();
    struct Row {
        const char *what;
        uint64_t advance_ms;
        Bytes input; // device report stored before the step; empty: none
        ULONG changes;
    };
    const Row rows[] = {
        {"first pass: status runs, joystick gets its hat and inverted binds", 0, {}, PENDING_STATUS | PENDING_JOYSTICK},
        {"nothing new", 1, {}, 0},
        {"a report equal to its image", 1, {1, 0, 0, 0, 0, 0, 0}, 0},
        {"button 0: joystick buttons, consumer", 1, {3, 1, 0, 0, 0, 0, 0},
         PENDING_RAW_BUTTONS | PENDING_JOYSTICK | PENDING_CONSUMER},
        {"button 0 released", 1, {3, 0, 0, 0, 0, 0, 0}, PENDING_RAW_BUTTONS | PENDING_JOYSTICK | PENDING_CONSUMER},
        {"rotation Y: joystick, hat and mouse", 1, {2, 0, 0, 100, 0, 0, 0},
         PENDING_RAW_ROTATION | PENDING_JOYSTICK | PENDING_MOUSE},
        {"held, mouse not yet due", 1, {}, 0},
        {"held, mouse due 10 ms after the last", 9, {}, PENDING_MOUSE},
        {"back to rest: the mouse has nothing to send", 1, {2, 0, 0, 0, 0, 0, 0},
         PENDING_RAW_ROTATION | PENDING_JOYSTICK},
        {"at rest", 20, {}, 0},
        {"report ID 4 decodes to nothing", 1, {4, 1, 2, 3, 4, 5, 6}, 0},
    };
    for (const Row &row : rows) {
        sim::clock_advance_ms(row.advance_ms);
        if (!row.input.empty()) {
            MIVO_raw_input_store(dx, row.input.data(), static_cast<ULONG>(row.input.size()));
        }
        MIVO_hid_step(dx);
        EXPECT_EQ(take_pending(), row.changes) << row.what;
    }
}

TEST_F(ReportStep, HeldMouseRepeatsEvery10msHeldJoystickOnce)
{
    PROFIL *p = use_profile();
    add(p, 0, 360, ACTION_MOUSE_X, 100);
    add(p, 0, 200, ACTION_JOY_AXIS, 0);
    take_pending();
    feed({3, 1, 0, 0, 0, 0, 0});
    std::vector<int> mouse_at, joystick_at;
    for (int ms = 0; ms < 35; ms++) {
        MIVO_hid_step(dx);
        ULONG bits = take_pending();
        if (bits & PENDING_MOUSE) {
            mouse_at.push_back(ms);
            EXPECT_EQ(image(dx->ReportState.MouseReport), (Bytes{0xF4, 0x7F, 0, 0, 0})) << "same X again";
        }
        if (bits & PENDING_JOYSTICK) joystick_at.push_back(ms);
        sim::clock_advance_ms(1);
    }
    EXPECT_EQ(mouse_at, (std::vector<int>{0, 10, 20, 30}));
    EXPECT_EQ(joystick_at, (std::vector<int>{0}));
}

TEST_F(ReportStep, WheelStepsGoOutOncePerInterval)
{
    struct Case {
        const char *name;
        SHORT value; // with slowness 10
        int period_ms;
        int duration_ms;
        std::vector<int> mouse_at;
        CHAR wheel;
    };
    const Case cases[] = {
        // value 2: interval 100 ms, step 1
        {"steps every 10 ms", 2, 10, 320, {0, 100, 200, 300}, 1},
        {"first step at or after each interval", 2, 7, 320, {0, 105, 210, 315}, 1},
        {"slow steps", 2, 30, 320, {0, 120, 240}, 1},
        // value 340: interval -1 ms, step 25: every mouse report carries it
        {"negative interval", 340, 1, 25, {0, 10, 20}, 25},
        {"negative interval, backwards", -340, 3, 25, {0, 12, 24}, -25},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MIVO_report_state_reset(dx);
        PROFIL *p = use_profile();
        add(p, 0, c.value, ACTION_MOUSE_WHEEL, 10);
        feed({3, 1, 0, 0, 0, 0, 0});
        take_pending();
        std::vector<int> mouse_at;
        for (int ms = 0; ms < c.duration_ms; ms += c.period_ms) {
            MIVO_hid_step(dx);
            if (take_pending() & PENDING_MOUSE) {
                mouse_at.push_back(ms);
                EXPECT_EQ(image(dx->ReportState.MouseReport), (Bytes{0xF4, 0, 0, uint8_t(c.wheel), 0}));
            }
            sim::clock_advance_ms(c.period_ms);
        }
        EXPECT_EQ(mouse_at, c.mouse_at);
    }
}

TEST_F(ReportStep, WheelStepRidesOnMovementReportsAtItsOwnInterval)
{
    PROFIL *p = use_profile();
    add(p, 0, 360, ACTION_MOUSE_X, 100);
    add(p, 0, 2, ACTION_MOUSE_WHEEL, 10); // interval 100 ms, step 1
    feed({3, 1, 0, 0, 0, 0, 0});
    take_pending();
    std::vector<int> wheel_at;
    for (int ms = 0; ms < 250; ms += 10) {
        MIVO_hid_step(dx);
        EXPECT_TRUE(take_pending() & PENDING_MOUSE) << "movement: a report every 10 ms, at " << ms;
        if (dx->ReportState.MouseReport.Wheel != 0) wheel_at.push_back(ms);
        sim::clock_advance_ms(10);
    }
    EXPECT_EQ(wheel_at, (std::vector<int>{0, 100, 200})) << "reports without a wheel step do not restart its interval";
}

TEST_F(ReportStep, MouseButtonsAloneAreSentOnChangeWhenTheMouseIsDue)
{
    PROFIL *p = use_profile();
    add(p, 0, 1, ACTION_MOUSE_BUTTON, 2);
    add(p, 1, 360, ACTION_MOUSE_X, 100);
    take_pending();
    struct Row {
        const char *what;
        uint8_t byte; // device buttons, one step per ms
        int steps;
        int reports;
    };
    const Row rows[] = {
        {"press", 0x01, 1, 1},
        {"held: buttons are not movement", 0x01, 40, 0},
        {"release", 0x00, 1, 1},
        {"pressed again before NextMouseTime", 0x01, 1, 0},
        {"the next snapshot already holds it", 0x01, 30, 0},
        {"movement carries it", 0x03, 1, 1},
    };
    for (const Row &row : rows) {
        feed({3, row.byte, 0, 0, 0, 0, 0});
        int reports = 0;
        for (int i = 0; i < row.steps; i++) {
            sim::clock_advance_ms(1);
            MIVO_hid_step(dx);
            if (take_pending() & PENDING_MOUSE) reports++;
        }
        EXPECT_EQ(reports, row.reports) << row.what;
    }
    EXPECT_EQ(image(dx->ReportState.MouseReport), (Bytes{0xF4, 0x7F, 0, 0, 0x04}));
}

// ---------------------------------------------------------------- suppression and status

TEST_F(ReportStep, ModeConfigHoldsTheOutputsAndKeepsTheLedPatternGoing)
{
    use_base_profile();
    dx->KeyState[0x04].Flags = KEY_LATCH;
    dx->ModeConfig = 1;
    MIVO_hid_step(dx);
    take_pending();
    ASSERT_NE(dx->LedQueue, nullptr);
    EXPECT_EQ(dx->LedQueue->Duration, 1000);
    EXPECT_EQ(dx->LedQueue->On_Time, 100);
    EXPECT_EQ(dx->LedQueue->Off_Time, 500);

    sim::clock_advance_ms(10);
    feed({2, 0, 0, 100, 0, 0, 0});
    MIVO_hid_step(dx);
    EXPECT_EQ(take_pending(), ULONG(PENDING_RAW_ROTATION)) << "raw reports stay live, no mapping";
    EXPECT_EQ(dx->ReportState.KeyboardReport.Keys[0], 0) << "no keyboard build either";

    // The pattern runs out after about 1.2 s and starts again while the mode
    // lasts.
    int restarts = 0;
    for (int ms = 0; ms < 3000; ms += 10) {
        sim::clock_advance_ms(10);
        const bool empty_before = dx->LedQueue == nullptr;
        MIVO_hid_step(dx);
        if (empty_before && dx->LedQueue != nullptr) restarts++;
        EXPECT_EQ(take_pending(), 0u);
    }
    EXPECT_GE(restarts, 2);

    dx->ModeConfig = 0;
    sim::clock_advance_ms(10);
    MIVO_hid_step(dx);
    EXPECT_EQ(take_pending(), ULONG(PENDING_JOYSTICK | PENDING_KEYBOARD | PENDING_MOUSE));
    EXPECT_EQ(dx->ReportState.KeyboardReport.Keys[0], 0x04);
}

TEST_F(ReportStep, WithoutProfileTheStatusSaysSoAndKeysStillDrain)
{
    dx->KeyState[0x04].Flags = KEY_LATCH;
    MIVO_hid_step(dx);
    EXPECT_EQ(image(dx->ReportState.StatusReport), (Bytes{0xF0, 0x01, 0xFF, 0xFF}));
    EXPECT_EQ(dx->ReportState.KeyboardReport.Keys[0], 0x04);
    EXPECT_EQ(dx->ReportState.JoystickReport.Hat, 0) << "no mapping pass without a profile";

    use_base_profile();
    MIVO_hid_step(dx);
    EXPECT_EQ(image(dx->ReportState.StatusReport), (Bytes{0xF0, 0x01, 0xFF, 0xFF})) << "the base profile is -1 too";
    PROFIL *p = use_profile();
    p->Profil_Id = 0x1234;
    MIVO_hid_step(dx);
    EXPECT_EQ(image(dx->ReportState.StatusReport), (Bytes{0xF0, 0x01, 0x34, 0x12}));
}

} // namespace
