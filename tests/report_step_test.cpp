// The worker step and report delivery: which reports a step makes pending,
// the mouse and wheel schedule, the configuration mode, and the order and
// failures of the hand-out to reads.
#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim.h"
#include "tests/support/core_device.h"

namespace {

class ReportStep : public CoreDeviceTest {
protected:
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

    // Steps every `period_ms` for `duration_ms`: the times the mouse report
    // went out, those of them that carried a wheel step, and the joystick's.
    struct Times {
        std::vector<int> mouse, wheel, joystick;
        int wheel_step = 0;
    };
    Times step_times(int period_ms, int duration_ms)
    {
        Times t;
        for (int ms = 0; ms < duration_ms; ms += period_ms, sim::clock_advance_ms(period_ms)) {
            MIVO_hid_step(dx);
            const ULONG bits = take_pending();
            if (bits & PENDING_JOYSTICK) t.joystick.push_back(ms);
            if (!(bits & PENDING_MOUSE)) continue;
            t.mouse.push_back(ms);
            if (dx->ReportState.MouseReport.Wheel == 0) continue;
            t.wheel.push_back(ms);
            t.wheel_step = dx->ReportState.MouseReport.Wheel;
        }
        return t;
    }
};

bool has_line(const std::string &line) { return sim::trace_text().find(line + "\n") != std::string::npos; }

TEST_F(ReportStep, PendingReportsAreHandedOutInOrderAndTooSmallBuffersLeaveThemPending)
{
    take_pending();
    MIVO_pending_set(dx, PENDING_JOYSTICK);
    sim::trace_clear();
    EXPECT_EQ(read(4).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(has_line("> Leave: MIVO_hid_read_rep: STATUS_BUFFER_TOO_SMALL: 4")) << sim::trace_text();
    EXPECT_EQ(read(18).status, STATUS_BUFFER_TOO_SMALL) << "one byte short is still short";
    EXPECT_EQ(dx->PendingReports, ULONG(PENDING_JOYSTICK));

    MIVO_pending_set(dx, PENDING_ALL); // as a rebuild leaves it
    std::vector<std::pair<int, size_t>> got;
    for (Read r = read(19); r.status == STATUS_SUCCESS && got.size() < 9; r = read(19))
        got.emplace_back(r.data[0], r.data.size());
    EXPECT_EQ(got, (std::vector<std::pair<int, size_t>>{
                       {0xF0, 4}, {1, 7}, {2, 7}, {3, 7}, {0xF1, 19}, {0xF2, 8}, {0xF3, 3}, {0xF4, 5}}));
    EXPECT_TRUE(has_line("> Leave: MIVO_hid_read_rep: STATUS_UNSUCCESSFUL: not changed: 0")) << sim::trace_text();
}

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
        {"first pass: status, joystick hat and inverted binds", 0, {}, PENDING_STATUS | PENDING_JOYSTICK},
        {"nothing new", 1, {}, 0},
        {"a report equal to its image", 1, {1, 0, 0, 0, 0, 0, 0}, 0},
        {"button 0", 1, {3, 1, 0, 0, 0, 0, 0}, PENDING_RAW_BUTTONS | PENDING_JOYSTICK | PENDING_CONSUMER},
        {"button 0 released", 1, {3, 0, 0, 0, 0, 0, 0}, PENDING_RAW_BUTTONS | PENDING_JOYSTICK | PENDING_CONSUMER},
        {"rotation Y", 1, {2, 0, 0, 100, 0, 0, 0}, PENDING_RAW_ROTATION | PENDING_JOYSTICK | PENDING_MOUSE},
        {"held, mouse not yet due", 1, {}, 0},
        {"held, mouse due 10 ms after the last", 9, {}, PENDING_MOUSE},
        {"back to rest: no mouse", 1, {2, 0, 0, 0, 0, 0, 0}, PENDING_RAW_ROTATION | PENDING_JOYSTICK},
        {"at rest", 20, {}, 0},
        {"report ID 4 decodes to nothing", 1, {4, 1, 2, 3, 4, 5, 6}, 0},
    };
    for (const Row &row : rows) {
        sim::clock_advance_ms(row.advance_ms);
        if (!row.input.empty()) MIVO_raw_input_store(dx, row.input.data(), ULONG(row.input.size()));
        MIVO_hid_step(dx);
        EXPECT_EQ(take_pending(), row.changes) << row.what;
    }
}

TEST_F(ReportStep, HeldMouseRepeatsEvery10msAndTheWheelKeepsItsOwnInterval)
{
    PROFIL *p = use_profile();
    add(p, on_button(0, 360, ACTION_MOUSE_X, 100));
    add(p, on_button(0, 2, ACTION_MOUSE_WHEEL, 10)); // interval 100 ms, step 1
    add(p, on_button(0, 200, ACTION_JOY_AXIS, 0));
    take_pending();
    feed({3, 1, 0, 0, 0, 0, 0});
    Times t = step_times(1, 250);
    EXPECT_EQ(t.mouse.size(), 25u);
    for (int ms : t.mouse) EXPECT_EQ(ms % 10, 0) << "every 10 ms";
    EXPECT_EQ(t.wheel, (std::vector<int>{0, 100, 200})) << "reports without a wheel step do not restart its interval";
    EXPECT_EQ(t.joystick, std::vector<int>{0}) << "a held joystick goes out once";
}

TEST_F(ReportStep, WheelStepsGoOutOncePerInterval)
{
    const struct {
        const char *name;
        SHORT value; // with slowness 10
        int period_ms, duration_ms;
        std::vector<int> mouse_at;
        CHAR wheel;
    } cases[] = {
        {"interval 100 ms, step 1", 2, 10, 320, {0, 100, 200, 300}, 1},
        {"first step at or after each interval, from the last", 2, 7, 320, {0, 105, 210, 315}, 1},
        // interval -1 ms, step 25: every mouse report carries it
        {"negative interval", 340, 1, 25, {0, 10, 20}, 25},
        {"negative interval, backwards", -340, 3, 25, {0, 12, 24}, -25},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MIVO_report_state_reset(dx);
        add(use_profile(), on_button(0, c.value, ACTION_MOUSE_WHEEL, 10));
        feed({3, 1, 0, 0, 0, 0, 0});
        take_pending();
        Times t = step_times(c.period_ms, c.duration_ms);
        EXPECT_EQ(t.mouse, c.mouse_at);
        EXPECT_EQ(t.wheel, c.mouse_at) << "each carrying the step";
        EXPECT_EQ(t.wheel_step, c.wheel);
    }
}

TEST_F(ReportStep, MouseButtonsAloneAreSentOnChangeWhenTheMouseIsDue)
{
    PROFIL *p = use_profile();
    add(p, on_button(0, 1, ACTION_MOUSE_BUTTON, 2));
    add(p, on_button(1, 360, ACTION_MOUSE_X, 100));
    take_pending();
    const struct {
        const char *what;
        uint8_t byte; // device buttons, one step per ms
        int steps, reports;
    } rows[] = {
        {"press", 0x01, 1, 1},
        {"held: buttons are not movement", 0x01, 40, 0},
        {"release", 0x00, 1, 1},
        {"pressed again before NextMouseTime", 0x01, 1, 0},
        {"the next snapshot already holds it", 0x01, 30, 0},
        {"movement carries it", 0x03, 1, 1},
    };
    for (const auto &row : rows) {
        feed({3, row.byte, 0, 0, 0, 0, 0});
        int reports = 0;
        for (int i = 0; i < row.steps; i++) {
            sim::clock_advance_ms(1);
            MIVO_hid_step(dx);
            reports += (take_pending() & PENDING_MOUSE) != 0;
        }
        EXPECT_EQ(reports, row.reports) << row.what;
    }
    EXPECT_EQ(image(dx->ReportState.MouseReport), (Bytes{0xF4, 0x7F, 0, 0, 0x04}));
}

TEST_F(ReportStep, ModeConfigHoldsTheOutputsAndKeepsTheLedPatternGoing)
{
    use_base_profile();
    dx->KeyState[0x04].Flags = KEY_LATCH;
    dx->ModeConfig = 1;
    MIVO_hid_step(dx);
    take_pending();
    ASSERT_NE(dx->LedQueue, nullptr);
    EXPECT_EQ(dx->LedQueue->Duration, 1000) << "the configuration pattern";

    sim::clock_advance_ms(10);
    feed({2, 0, 0, 100, 0, 0, 0});
    MIVO_hid_step(dx);
    EXPECT_EQ(take_pending(), ULONG(PENDING_RAW_ROTATION)) << "raw reports stay live, no mapping";
    EXPECT_EQ(dx->ReportState.KeyboardReport.Keys[0], 0) << "no keyboard build either";

    int restarts = 0; // the pattern runs out after about 1.2 s and starts again
    for (int ms = 0; ms < 3000; ms += 10) {
        sim::clock_advance_ms(10);
        const bool empty_before = dx->LedQueue == nullptr;
        MIVO_hid_step(dx);
        restarts += empty_before && dx->LedQueue != nullptr;
        EXPECT_EQ(take_pending(), 0u);
    }
    EXPECT_GE(restarts, 2);

    dx->ModeConfig = 0;
    sim::clock_advance_ms(10);
    MIVO_hid_step(dx);
    EXPECT_EQ(take_pending(), ULONG(PENDING_JOYSTICK | PENDING_KEYBOARD | PENDING_MOUSE));
    EXPECT_EQ(dx->ReportState.KeyboardReport.Keys[0], 0x04);
}

TEST_F(ReportStep, StatusCarriesTheProfileIdAndKeysDrainWithoutAProfile)
{
    dx->KeyState[0x04].Flags = KEY_LATCH;
    MIVO_hid_step(dx);
    EXPECT_EQ(image(dx->ReportState.StatusReport), (Bytes{0xF0, 0x01, 0xFF, 0xFF}));
    EXPECT_EQ(dx->ReportState.KeyboardReport.Keys[0], 0x04);
    EXPECT_EQ(dx->ReportState.JoystickReport.Hat, 0) << "no mapping pass without a profile";
    use_profile()->Profil_Id = 0x1234;
    MIVO_hid_step(dx);
    EXPECT_EQ(image(dx->ReportState.StatusReport), (Bytes{0xF0, 0x01, 0x34, 0x12}));
}

} // namespace
