// The profile gesture on the device: push-and-twist held for GestureTime
// enters gesture mode, the buttons pick profiles, pulling up leaves; mapping
// rests during the mode and every cool-down.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/sim/sim.h"
#include "tests/support/core_device.h"

namespace {

const USHORT kAxesAtRest[8] = {360, 360, 360, 360, 360, 360, 360, 360};

class Gesture : public CoreDeviceTest {
protected:
    void SetUp() override
    {
        CoreDeviceTest::SetUp();
        // Profiles 7 and 5, then the base profile last, as a rebuild leaves them.
        seven = add_profile(7);
        five = add_profile(5);
        base = use_base_profile();
    }

    // Translation Z and rotation Z as the raw images hold them.
    void cap(SHORT z, SHORT rz)
    {
        dx->ReportState.RawTranslation.Axis[2] = z;
        dx->ReportState.RawRotation.Axis[2] = rz;
    }

    // Holds the gesture position, one pass every 10 ms, until gesture mode is
    // entered; leaves the clock at the entering pass.
    void enter()
    {
        cap(-301, -301);
        for (int ms = 0; ms <= 2000 && !dx->GestureActive; ms += 10) {
            MIVO_profil_gesture(dx);
            if (!dx->GestureActive) sim::clock_advance_ms(10);
        }
        ASSERT_EQ(dx->GestureActive, 1);
        cap(0, 0);
    }

    int count_lines(const std::string &line)
    {
        auto lines = sim::trace_lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }

    PROFIL *seven = nullptr, *five = nullptr, *base = nullptr;
};

// ---------------------------------------------------------------- entering

TEST_F(Gesture, HoldShorterThanGestureTimeKeepsMapping)
{
    cap(-301, -301);
    for (int ms = 0; ms <= 1400; ms += 10) {
        MIVO_translate(dx);
        // -301 past the dead zone of 50 maps to -291: joystick Z and Rz at 69.
        ASSERT_EQ(+dx->ReportState.JoystickReport.Axis[2], 69) << "mapping runs at " << ms << " ms";
        ASSERT_EQ(+dx->ReportState.JoystickReport.Axis[5], 69);
        sim::clock_advance_ms(10);
    }
    cap(0, 0);
    EXPECT_FALSE(MIVO_profil_gesture(dx));
    EXPECT_EQ(dx->GestureHoldStart, 0u);

    // A new hold starts from the beginning.
    cap(-301, -301);
    for (int ms = 0; ms <= 1400; ms += 10) {
        EXPECT_FALSE(MIVO_profil_gesture(dx)) << ms << " ms into the second hold";
        sim::clock_advance_ms(10);
    }
    EXPECT_EQ(dx->GestureActive, 0);
}

TEST_F(Gesture, HoldPastGestureTimeEntersAndPutsOutputsToRest)
{
    dx->KeyState[0x04] = {KEY_PRESS | KEY_LATCH | KEY_REPEAT, 100, 12345};
    dx->KeyState[0xE1] = {KEY_LATCH, 0, 777};
    cap(-301, -301);
    dx->ReportState.RawRotation.Axis[0] = 200; // mouse Y, hat, joystick Rx
    int entered_at = -1;
    for (int ms = 0; ms <= 1600 && entered_at < 0; ms += 10) {
        MIVO_translate(dx);
        if (dx->GestureActive) entered_at = ms;
        else sim::clock_advance_ms(10);
    }
    EXPECT_EQ(entered_at, 1510) << "at the first pass after 1.5 s, not at 1.5 s";

    const REPORT_STATE &rs = dx->ReportState;
    const Bytes joystick = image(rs.JoystickReport);
    EXPECT_EQ(Bytes(joystick.begin() + 1, joystick.begin() + 17), image(kAxesAtRest)) << "axes back at 360";
    EXPECT_EQ(rs.JoystickReport.Buttons, 0);
    EXPECT_EQ(image(rs.MouseReport), (Bytes{0xF4, 0, 0, 0, 0}));
    EXPECT_EQ(dx->WheelStep, 0);
    EXPECT_EQ(image(rs.ConsumerReport), (Bytes{0xF3, 0, 0}));
    EXPECT_EQ(image(dx->KeyState), Bytes(sizeof(dx->KeyState), 0)) << "latched keys and LastSent go too";
    ASSERT_NE(dx->LedQueue, nullptr);
    EXPECT_EQ(dx->LedQueue->Duration, 1000) << "the configuration pattern";

    // For the next 1.5 s nothing happens, even with the cap pulled up.
    cap(301, 0);
    for (int ms = 10; ms <= 1500; ms += 10) {
        sim::clock_advance_ms(10);
        MIVO_translate(dx);
        ASSERT_EQ(dx->GestureActive, 1) << ms << " ms into the cool-down";
        ASSERT_EQ(+rs.JoystickReport.Axis[2], 360) << "no mapping in the cool-down";
    }
    sim::clock_advance_ms(10);
    EXPECT_TRUE(MIVO_profil_gesture(dx));
    EXPECT_EQ(dx->GestureActive, 0);
}

TEST_F(Gesture, PositionIsStrictlyBeyond300OnBothAxes)
{
    struct Case {
        SHORT z, rz;
        bool enters;
    };
    const Case cases[] = {
        {-301, -301, true}, {-360, -360, true}, {-300, -301, false},
        {-301, -300, false}, {-300, -300, false}, {301, -301, false}, {-301, 0, false},
    };
    for (const Case &c : cases) {
        MIVO_report_state_reset(dx);
        cap(c.z, c.rz);
        for (int ms = 0; ms <= 1600; ms += 10) {
            MIVO_profil_gesture(dx);
            sim::clock_advance_ms(10);
        }
        EXPECT_EQ(dx->GestureActive, c.enters ? 1 : 0) << "Z " << c.z << " RZ " << c.rz;
        sim::clock_advance_ms(2000);
    }
}

// ---------------------------------------------------------------- in gesture mode

TEST_F(Gesture, LeavesOnlyAbove300AndMapsAgainAfterTheCoolDown)
{
    enter();
    sim::clock_advance_ms(1510);
    cap(300, 0);
    for (int ms = 0; ms < 2000; ms += 10) {
        EXPECT_TRUE(MIVO_profil_gesture(dx));
        sim::clock_advance_ms(10);
    }
    EXPECT_EQ(dx->GestureActive, 1) << "300 is not beyond the threshold";

    cap(301, 0);
    EXPECT_TRUE(MIVO_profil_gesture(dx));
    EXPECT_EQ(dx->GestureActive, 0);
    ASSERT_NE(dx->LedQueue, nullptr);
    EXPECT_EQ(dx->LedQueue->Duration, 500) << "the end pattern";
    EXPECT_EQ(dx->LedQueue->On_Time, 50);
    EXPECT_EQ(dx->LedQueue->Off_Time, 100);

    sim::clock_advance_ms(1500);
    EXPECT_TRUE(MIVO_profil_gesture(dx)) << "1.5 s after leaving: still cooling down";
    sim::clock_advance_ms(10);
    EXPECT_FALSE(MIVO_profil_gesture(dx));
}

TEST_F(Gesture, HeldButtonOneStepsOneProfileEvery1500ms)
{
    enter();
    sim::clock_advance_ms(1510);
    sim::trace_clear();
    buttons(0x02);
    std::vector<int> stepped_at;
    std::vector<PROFIL *> profiles;
    for (int ms = 0; ms <= 4000; ms += 10) {
        PROFIL *before = dx->CurrentProfil;
        EXPECT_TRUE(MIVO_profil_gesture(dx));
        if (dx->CurrentProfil != before) {
            stepped_at.push_back(ms);
            profiles.push_back(dx->CurrentProfil);
        }
        sim::clock_advance_ms(10);
    }
    EXPECT_EQ(stepped_at, (std::vector<int>{0, 1510, 3020}));
    EXPECT_EQ(profiles, (std::vector<PROFIL *>{seven, five, base})) << "from the base profile round to the head";
    EXPECT_EQ(count_lines("MIVO_Select_Next_Profil"), 3);
    EXPECT_EQ(dx->GestureActive, 1);
}

TEST_F(Gesture, ButtonZeroSelectsTheDefaultBothButtonsNothing)
{
    dx->DefaultProfilId = 5;
    enter();
    sim::clock_advance_ms(1510);
    sim::trace_clear();

    buttons(0x03);
    EXPECT_TRUE(MIVO_profil_gesture(dx));
    EXPECT_EQ(dx->CurrentProfil, base);
    EXPECT_EQ(count_lines("MIVO_Select_Next_Profil") + count_lines("MIVO_Select_Default"), 0);

    dx->KeyState[0x04].Flags = KEY_LATCH;
    buttons(0x01);
    EXPECT_TRUE(MIVO_profil_gesture(dx));
    EXPECT_EQ(dx->CurrentProfil, five);
    EXPECT_EQ(count_lines("MIVO_Select_Default"), 1);
    EXPECT_EQ(dx->KeyState[0x04].Flags, 0) << "the selection releases every key";
}

TEST_F(Gesture, LedPatternIsRestartedWhileGestureModeLasts)
{
    // The worker step ticks the queue; the pattern runs out after about 1.2 s,
    // which falls in the cool-down, so the first restart comes just after it.
    enter();
    sim::trace_clear();
    std::vector<int> restarted_at;
    for (int ms = 10; ms <= 4000; ms += 10) {
        sim::clock_advance_ms(10);
        const size_t before = sim::trace_lines().size();
        MIVO_hid_step(dx);
        const auto lines = sim::trace_lines();
        if (std::find(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end(), "Relance My Led") !=
            lines.end()) {
            restarted_at.push_back(ms);
            ASSERT_NE(dx->LedQueue, nullptr);
            EXPECT_EQ(dx->LedQueue->Duration, 1000);
        }
    }
    ASSERT_GE(restarted_at.size(), 2u);
    EXPECT_EQ(restarted_at[0], 1510);
    EXPECT_EQ(dx->GestureActive, 1);
}

} // namespace
