// The profile gesture on the device: push-and-twist held for GestureTime
// enters gesture mode, the buttons pick profiles, pulling up leaves; mapping
// rests during the mode and every cool-down.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/sim/sim.h"
#include "tests/support/core_device.h"

namespace {

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

    // Runs `pass` every 10 ms for `ms` (both ends included) or until gesture
    // mode is entered; the time of the entering pass, or -1.
    template <typename F> int hold(int ms, F pass)
    {
        for (int t = 0; t <= ms; t += 10) {
            pass();
            if (dx->GestureActive) return t;
            sim::clock_advance_ms(10);
        }
        return -1;
    }

    // Enters gesture mode and waits out its cool-down.
    void enter()
    {
        cap(-301, -301);
        ASSERT_GE(hold(2000, [&] { MIVO_profil_gesture(dx); }), 0);
        cap(0, 0);
        sim::clock_advance_ms(1510);
        sim::trace_clear();
    }

    int count_lines(const std::string &line)
    {
        auto lines = sim::trace_lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }

    PROFIL *seven = nullptr, *five = nullptr, *base = nullptr;
};

TEST_F(Gesture, HoldShorterThanGestureTimeKeepsMappingAndReleaseStartsOver)
{
    cap(-301, -301);
    EXPECT_EQ(hold(1400, [&] {
                  MIVO_translate(dx);
                  // -301 past the dead zone of 50 maps to -291: joystick Z at 69.
                  ASSERT_EQ(+dx->ReportState.JoystickReport.Axis[2], 69) << "mapping runs";
              }),
              -1);
    cap(0, 0);
    EXPECT_FALSE(MIVO_profil_gesture(dx));
    cap(-301, -301);
    EXPECT_EQ(hold(1400, [&] { EXPECT_FALSE(MIVO_profil_gesture(dx)); }), -1) << "a new hold starts from the beginning";
}

TEST_F(Gesture, HoldPastGestureTimeEntersPutsOutputsToRestAndCoolsDown)
{
    dx->KeyState[0x04] = {KEY_PRESS | KEY_LATCH | KEY_REPEAT, 100, 12345};
    cap(-301, -301);
    dx->ReportState.RawRotation.Axis[0] = 200; // mouse Y, hat, joystick Rx
    EXPECT_EQ(hold(1600, [&] { MIVO_translate(dx); }), 1510) << "at the first pass after 1.5 s, not at 1.5 s";

    const REPORT_STATE &rs = dx->ReportState;
    const Bytes joystick = image(rs.JoystickReport);
    const USHORT at_rest[8] = {360, 360, 360, 360, 360, 360, 360, 360};
    EXPECT_EQ(Bytes(joystick.begin() + 1, joystick.begin() + 17), image(at_rest)) << "axes back at 360";
    EXPECT_EQ(image(rs.MouseReport), (Bytes{0xF4, 0, 0, 0, 0}));
    EXPECT_EQ(image(rs.ConsumerReport), (Bytes{0xF3, 0, 0}));
    EXPECT_EQ(image(dx->KeyState), Bytes(sizeof(dx->KeyState), 0)) << "latched keys and LastSent go too";
    ASSERT_NE(dx->LedQueue, nullptr);
    EXPECT_EQ(dx->LedQueue->Duration, 1000) << "the configuration pattern";

    cap(301, 0); // for the next 1.5 s nothing happens, even with the cap pulled up
    for (int ms = 10; ms <= 1500; ms += 10) {
        sim::clock_advance_ms(10);
        MIVO_translate(dx);
        ASSERT_EQ(dx->GestureActive, 1) << ms << " ms into the cool-down";
        ASSERT_EQ(+rs.JoystickReport.Axis[2], 360) << "no mapping in the cool-down";
    }
    cap(300, 0);
    sim::clock_advance_ms(10);
    EXPECT_TRUE(MIVO_profil_gesture(dx));
    EXPECT_EQ(dx->GestureActive, 1) << "300 is not beyond the threshold";
    cap(301, 0);
    EXPECT_TRUE(MIVO_profil_gesture(dx));
    EXPECT_EQ(dx->GestureActive, 0);
    ASSERT_NE(dx->LedQueue, nullptr);
    EXPECT_EQ(dx->LedQueue->Duration, 500) << "the end pattern";
    sim::clock_advance_ms(1500);
    EXPECT_TRUE(MIVO_profil_gesture(dx)) << "1.5 s after leaving: still cooling down";
    sim::clock_advance_ms(10);
    EXPECT_FALSE(MIVO_profil_gesture(dx));
}

TEST_F(Gesture, PositionIsStrictlyBeyond300OnBothAxes)
{
    const struct {
        SHORT z, rz;
        bool enters;
    } cases[] = {{-301, -301, true}, {-300, -301, false}, {-301, -300, false}, {301, -301, false}};
    for (const auto &c : cases) {
        MIVO_report_state_reset(dx);
        cap(c.z, c.rz);
        EXPECT_EQ(hold(1600, [&] { MIVO_profil_gesture(dx); }) >= 0, c.enters) << "Z " << c.z << " RZ " << c.rz;
        sim::clock_advance_ms(2000);
    }
}

TEST_F(Gesture, ButtonOneStepsOneProfileEvery1500msButtonZeroSelectsTheDefault)
{
    dx->DefaultProfilId = 5;
    enter();
    buttons(0x02);
    std::vector<int> stepped_at;
    std::vector<PROFIL *> profiles;
    for (int ms = 0; ms <= 4000; ms += 10, sim::clock_advance_ms(10)) {
        PROFIL *before = dx->CurrentProfil;
        EXPECT_TRUE(MIVO_profil_gesture(dx));
        if (dx->CurrentProfil == before) continue;
        stepped_at.push_back(ms);
        profiles.push_back(dx->CurrentProfil);
    }
    EXPECT_EQ(stepped_at, (std::vector<int>{0, 1510, 3020}));
    EXPECT_EQ(profiles, (std::vector<PROFIL *>{seven, five, base})) << "from the base profile round to the head";
    EXPECT_EQ(count_lines("MIVO_Select_Next_Profil"), 3);

    sim::clock_advance_ms(1500);
    buttons(0x03);
    EXPECT_TRUE(MIVO_profil_gesture(dx));
    EXPECT_EQ(dx->CurrentProfil, base) << "both buttons: nothing";
    buttons(0x01);
    EXPECT_TRUE(MIVO_profil_gesture(dx));
    EXPECT_EQ(dx->CurrentProfil, five);
    EXPECT_EQ(count_lines("MIVO_Select_Default"), 1);
}

// Each pick, the default profile as much as the next one, starts a cool-down:
// a button held down picks again only after it.
TEST_F(Gesture, EachPickRestartsTheCoolDown)
{
    dx->DefaultProfilId = 5;
    const struct {
        uint8_t button;
        const char *line;
    } cases[] = {{0x02, "MIVO_Select_Next_Profil"}, {0x01, "MIVO_Select_Default"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        MIVO_report_state_reset(dx);
        sim::clock_advance_ms(2000);
        enter();
        buttons(c.button);
        std::vector<int> picked_at;
        for (int ms = 0; ms <= 4000; ms += 10, sim::clock_advance_ms(10)) {
            const int before = count_lines(c.line);
            EXPECT_TRUE(MIVO_profil_gesture(dx));
            if (count_lines(c.line) != before) picked_at.push_back(ms);
        }
        EXPECT_EQ(picked_at, (std::vector<int>{0, 1510, 3020}));
    }
    EXPECT_EQ(dx->CurrentProfil, five);
}

TEST_F(Gesture, LedPatternIsRestartedWhileGestureModeLasts)
{
    // The pattern runs out after about 1.2 s, which falls in the cool-down, so
    // the first restart comes just after it.
    cap(-301, -301);
    ASSERT_GE(hold(2000, [&] { MIVO_profil_gesture(dx); }), 0);
    cap(0, 0);
    sim::trace_clear();
    std::vector<int> restarted_at;
    for (int ms = 10; ms <= 4000; ms += 10) {
        sim::clock_advance_ms(10);
        const int before = count_lines("Relance My Led");
        MIVO_hid_step(dx);
        if (count_lines("Relance My Led") == before) continue;
        restarted_at.push_back(ms);
        ASSERT_NE(dx->LedQueue, nullptr);
        EXPECT_EQ(dx->LedQueue->Duration, 1000);
    }
    ASSERT_GE(restarted_at.size(), 2u);
    EXPECT_EQ(restarted_at[0], 1510);
}

} // namespace
