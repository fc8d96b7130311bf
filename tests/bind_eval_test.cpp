// Bind evaluation: the axis pipeline (dead zone, rescale, limits, sign and
// direction), the button bits, sources that do not exist, and the direct, tap
// and hold triggers on a hand-set clock.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/core.h"
#include "platform/sim/sim.h"
#include "tests/support/bytes.h"
#include "tests/support/sim_test.h"

namespace {

using test_bytes::bytes_of;

constexpr uint64_t kTicksPerMs = 10'000;

// A device whose every byte outside the raw images is junk, so that a bind
// reading past its image shows up as a wrong value rather than a lucky 0.
class BindEval : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::clock_manual();
        std::memset(dx.get(), 0xFF, sizeof(*dx));
        MIVO_report_state_reset(dx.get());
        dx->RawInputWord = -1;
        dx->CurrentProfil = profil.get();
    }
    void set_axis(int index, SHORT v)
    {
        (index < 3 ? dx->ReportState.RawTranslation : dx->ReportState.RawRotation).Axis[index % 3] = v;
    }
    void set_buttons(const uint8_t (&bits)[6]) { std::memcpy(dx->ReportState.RawButtons.Bytes, bits, 6); }
    SHORT value(BIND &bind) { return MIVO_bind_value(dx.get(), &bind); }
    static void at(uint64_t t) { sim::clock_set(t); }

    std::unique_ptr<DEVICE_EXTENSION> dx = std::make_unique<DEVICE_EXTENSION>();
    // On the heap like the context: the optimiser takes a member's address
    // kept in a heap object for a dangling local.
    std::unique_ptr<PROFIL> profil = std::make_unique<PROFIL>();
};

BIND make_bind(ULONG type, UCHAR index, SHORT pressed = 0, SHORT released = 0, LONG trigger = TRIGGER_DIRECT)
{
    BIND b{};
    b.Source_Type = type;
    b.Source_Index = index;
    if (type == SOURCE_BUTTON) {
        b.Pressed_Value = pressed;
        b.Released_Value = released;
    }
    b.Trigger_Mode = trigger;
    b.Hold_Time = 500;
    return b;
}

TEST_F(BindEval, AxisGivesTheShapedDeflection)
{
    const struct { const char *name; SHORT profil_dz; UCHAR index, invert; SHORT axis_dz, min, max;
        LONG direction; SHORT input, expected; } cases[] = {
        // name                         pdz  idx inv adz min max dir input expected
        {"dead zone swallows its edge", 50, 0, 0, 0, 0, 0, 0, 50, 0},
        {"just past the dead zone", 50, 1, 0, 0, 0, 0, 0, 51, 1},
        {"full deflection rescales to full", 50, 2, 0, 0, 0, 0, 0, 360, 360},
        {"negative side truncates toward 0", 50, 3, 0, 0, 0, 0, 0, -200, -174}, // 150 x 360 / 310 = 174.19
        {"bind dead zone adds to profile's", 30, 1, 0, 20, 0, 0, 0, 50, 0},
        {"dead zone capped at 359", 300, 2, 0, 100, 0, 0, 0, 359, 0},
        {"capped dead zone still reaches full", 300, 2, 0, 100, 0, 0, 0, 360, 360},
        // The cap starts at 360 exactly: a divisor of 360 - 360 would be 0.
        {"dead zone 359 leaves one step", 300, 0, 0, 59, 0, 0, 0, 360, 360},
        {"dead zone 360 is capped", 300, 1, 0, 60, 0, 0, 0, 360, 360},
        {"dead zone 361 is capped", 300, 3, 0, 61, 0, 0, 0, 360, 360},
        {"negative dead zone sum widens the range", -100, 5, 0, -20, 0, 0, 0, -100, -165}, // 220 x 360 / 480
        // 30000 + 30000 wraps to -5536 in 16 bits: a negative dead zone, not a capped one.
        {"dead zone sum is 16 bits", 30000, 0, 0, 30000, 0, 0, 0, 0, 338},
        {"negative dead zone lifts rest", -10, 0, 0, 0, 0, 0, 0, 0, 9}, // 10 x 360 / 370
        {"negative dead zone keeps sign", -10, 0, 0, 0, 0, 0, 0, -10, -19},
        {"max keeps its own value", 0, 3, 0, 0, 0, 200, 0, 200, 200},
        {"past max lets go, no saturation", 0, 3, 0, 0, 0, 200, 0, 201, 0},
        {"negative max is signed", 0, 0, 0, 0, 0, -1, 0, 100, 0},
        {"below min is 0", 0, 5, 0, 0, 10, 0, 0, 9, 0},
        {"at min counts", 0, 5, 0, 0, 10, 0, 0, 10, 10},
        {"min applies to magnitude", 0, 0, 0, 0, 10, 0, 0, -9, 0},
        {"invert negates", 0, 0, 1, 0, 0, 0, 0, 100, -100},
        {"rotation Y read negated", 0, 4, 0, 0, 0, 0, 0, 100, -100},
        {"rotation Y inverted back", 0, 4, 1, 0, 0, 0, 0, 100, 100},
        {"positive only drops negative", 0, 0, 0, 0, 0, 0, 1, -50, 0},
        {"negative only drops positive", 0, 0, 0, 0, 0, 0, 2, 50, 0},
        {"negative only keeps negative", 0, 0, 0, 0, 0, 0, 2, -50, -50},
        {"direction applies after invert", 0, 5, 1, 0, 0, 0, 1, -50, 50},
        {"other direction passes both", 0, 0, 0, 0, 0, 0, -1, -50, -50},
        // No such device axis: read as an axis at rest, never from memory past the images.
        {"axis 6 reads rest", 50, 6, 0, 0, 0, 0, 0, 0, 0},
        {"axis 6 rest through negative dead zone", -10, 6, 0, 0, 0, 0, 0, 0, 9},
        {"axis 255 reads rest", 0, 255, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        for (int a = 0; a < 6; a++) set_axis(a, 300); // a bind reading the wrong slot shows
        if (c.index < 6) set_axis(c.index, c.input);
        profil->DeadZone = c.profil_dz;
        BIND b = make_bind(SOURCE_AXIS, c.index);
        b.Invert = c.invert;
        b.Axis_DeadZone = c.axis_dz;
        b.Axis_Min = c.min;
        b.Axis_Max = c.max;
        b.Axis_Direction = c.direction;
        // The same bind as loading classifies it: a kind that skips a check
        // the bind needs shows as a wrong value or trigger state.
        BIND classified = b;
        classified.Eval_Kind = MIVO_Bind_Classify(&classified);
        EXPECT_EQ(value(b), c.expected) << c.name;
        EXPECT_EQ(value(classified), c.expected) << c.name << ", classified";
        EXPECT_EQ(classified.Last_Active, b.Last_Active) << c.name;
        EXPECT_EQ(classified.Press_Value, b.Press_Value) << c.name;
    }
}

TEST_F(BindEval, ButtonReadsItsBit)
{
    // bits: bytes 1-6 of RawButtons
    const struct { const char *name; UCHAR index, invert; uint8_t bits[6]; bool down; } cases[] = {
        {"0 is not set by 1", 0, 0, {0x02}, false},
        {"7 is bit 7 of the first byte", 7, 0, {0x80}, true},
        {"7 ignores the second byte", 7, 0, {0x00, 0x01}, false},
        {"8 is bit 0 of the second byte", 8, 0, {0x00, 0x01}, true},
        {"8 ignores the first byte", 8, 0, {0x80}, false},
        {"47 is the last bit", 47, 0, {0, 0, 0, 0, 0, 0x80}, true},
        {"inverted up", 0, 1, {0x00}, true},
        {"inverted down", 0, 1, {0x01}, false},
        // No such device button: read as up, never from memory past the image.
        {"48 is up", 48, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"64 is up, not button 0 again", 64, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"255 is up", 255, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"48 inverted is down", 48, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true},
    };
    for (const auto &c : cases) {
        set_buttons(c.bits);
        BIND b = make_bind(SOURCE_BUTTON, c.index, 7, -3);
        b.Invert = c.invert;
        EXPECT_EQ(value(b), c.down ? 7 : -3) << c.name;
    }
}

TEST_F(BindEval, TapGivesThePressValueWithin1msAfterAPressShorterThanHoldTime)
{
    for (uint64_t press_ms : {1, 499, 500}) {
        const bool taps = press_ms < 500;
        BIND b = make_bind(SOURCE_BUTTON, 0, 1, 0, TRIGGER_TAP);
        set_buttons({0x00});
        EXPECT_EQ(value(b), 0) << "idle";
        const uint64_t press = sim::clock_now() + 10 * kTicksPerMs;
        at(press);
        set_buttons({0x01});
        EXPECT_EQ(value(b), 0) << "a tap gives nothing while held";
        const uint64_t release = press + press_ms * kTicksPerMs;
        at(release);
        set_buttons({0x00});
        EXPECT_EQ(value(b), taps ? 1 : 0) << press_ms << " ms press, the pass of the release";
        at(release + kTicksPerMs - 1);
        EXPECT_EQ(value(b), taps ? 1 : 0) << press_ms << " ms press, still within 1 ms";
        at(release + kTicksPerMs);
        EXPECT_EQ(value(b), 0) << press_ms << " ms press, 1 ms after the release the tap is over";
    }

    // The value is the one captured when the press began.
    BIND axis = make_bind(SOURCE_AXIS, 0, 0, 0, TRIGGER_TAP);
    axis.Axis_Direction = 1;
    for (SHORT v : {100, 300, -50}) { // -50 is dropped by the direction: the source lets go
        set_axis(0, v);
        sim::clock_advance_ms(50);
        EXPECT_EQ(value(axis), v == -50 ? 100 : 0);
    }
}

TEST_F(BindEval, HoldGivesTheCurrentValueOnceHeldLongerThanHoldTime)
{
    // 32767 ms is 327,670,000 ticks: past 16 bits, within 32.
    BIND b = make_bind(SOURCE_AXIS, 1, 0, 0, TRIGGER_HOLD);
    b.Hold_Time = 32767;
    const uint64_t start = sim::clock_now();
    set_axis(1, 100);
    EXPECT_EQ(value(b), 0);
    at(start + 32767 * kTicksPerMs);
    EXPECT_EQ(value(b), 0) << "exactly the hold time is not longer";
    at(start + 32767 * kTicksPerMs + 1);
    set_axis(1, 250);
    EXPECT_EQ(value(b), 250) << "the current value, not the one at the press";
    set_axis(1, 0);
    EXPECT_EQ(value(b), 0) << "back at rest";
    sim::clock_advance_ms(10);
    set_axis(1, 100);
    EXPECT_EQ(value(b), 0) << "a new deflection starts a new hold";
}

TEST_F(BindEval, UnknownTriggerModeGivesTheOffValue)
{
    BIND axis = make_bind(SOURCE_AXIS, 0, 0, 0, 3), button = make_bind(SOURCE_BUTTON, 0, 1, 9, 3);
    for (int pass = 0; pass < 2; pass++) { // pressed, then let go
        set_axis(0, pass ? 0 : 200);
        set_buttons({uint8_t(pass ? 0 : 1)});
        EXPECT_EQ(value(axis), 0) << "pass " << pass;
        EXPECT_EQ(value(button), 9) << "pass " << pass;
        sim::clock_advance_ms(10);
    }
}

TEST_F(BindEval, OtherSourceTypeGivesZeroAndKeepsItsState)
{
    set_axis(0, 360);
    set_buttons({0xFF});
    for (ULONG type : {2u, 0xFFFFFFFFu}) {
        BIND b = make_bind(SOURCE_BUTTON, 0, 4, 4);
        b.Source_Type = type;
        b.Press_Value = 11;
        b.Press_Time = 12;
        b.Release_Time = 13;
        const BIND before = b;
        EXPECT_EQ(value(b), 0) << "type " << type;
        EXPECT_EQ(bytes_of(b), bytes_of(before)) << "its runtime state is left alone";
    }
}

} // namespace
