// Bind evaluation: the axis pipeline (dead zone, rescale, limits, sign and
// direction), the button bits, sources that do not exist, and the direct, tap
// and hold triggers on a hand-set clock.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/core.h"
#include "platform/sim/sim.h"
#include "tests/support/bytes.h"
#include "tests/support/sim_test.h"

namespace {

using test_bytes::field;

constexpr uint64_t kTicksPerMs = 10'000;

// A device whose every byte outside the raw images is junk, so that a bind
// reading past its image shows up as a wrong value rather than a lucky 0.
struct Device {
    std::unique_ptr<DEVICE_EXTENSION> dx = std::make_unique<DEVICE_EXTENSION>();
    // On the heap like the context: the optimiser takes a member's address
    // kept in a heap object for a dangling local.
    std::unique_ptr<PROFIL> profil = std::make_unique<PROFIL>();

    explicit Device(SHORT dead_zone = 0)
    {
        std::memset(dx.get(), 0xFF, sizeof(*dx));
        MIVO_report_state_reset(dx.get());
        dx->RawInputWord = -1;
        profil->DeadZone = dead_zone;
        dx->CurrentProfil = profil.get();
    }
    void set_axis(int index, SHORT v)
    {
        RAW_REPORT &image = index < 3 ? dx->ReportState.RawTranslation : dx->ReportState.RawRotation;
        image.Axis[index % 3] = v;
    }
    void set_buttons(const uint8_t (&bits)[6]) { std::memcpy(dx->ReportState.RawButtons.Bytes, bits, 6); }
    SHORT value(BIND &bind) { return MIVO_bind_value(dx.get(), &bind); }
};

BIND axis_bind(UCHAR index)
{
    BIND b{};
    b.Source_Type = SOURCE_AXIS;
    b.Source_Index = index;
    return b;
}

BIND button_bind(UCHAR index, SHORT pressed, SHORT released)
{
    BIND b{};
    b.Source_Type = SOURCE_BUTTON;
    b.Source_Index = index;
    b.Pressed_Value = pressed;
    b.Released_Value = released;
    return b;
}

// ---------------------------------------------------------------- axis pipeline

struct AxisCase {
    const char *name;
    SHORT profil_dz;
    UCHAR index;
    UCHAR invert;
    SHORT axis_dz;
    SHORT min;
    SHORT max;
    LONG direction;
    SHORT input; // the device's value in the raw image
    SHORT expected;
};

class AxisBindTest : public SimTest, public testing::WithParamInterface<AxisCase> {};

TEST_P(AxisBindTest, GivesTheShapedDeflection)
{
    const AxisCase &c = GetParam();
    Device dev(c.profil_dz);
    for (int a = 0; a < 6; a++) {
        dev.set_axis(a, 300); // the other axes are far from the value under test
    }
    if (c.index < 6) {
        dev.set_axis(c.index, c.input);
    }
    BIND b = axis_bind(c.index);
    b.Invert = c.invert;
    b.Axis_DeadZone = c.axis_dz;
    b.Axis_Min = c.min;
    b.Axis_Max = c.max;
    b.Axis_Direction = c.direction;

    EXPECT_EQ(dev.value(b), c.expected);
}

const AxisCase kAxisCases[] = {
    // name                         pdz  idx inv adz min max dir input expected
    {"DeadZoneSwallowsItsEdge", 50, 0, 0, 0, 0, 0, 0, 50, 0},
    {"JustPastDeadZone", 50, 0, 0, 0, 0, 0, 0, 51, 1},
    {"FullDeflectionRescalesToFull", 50, 0, 0, 0, 0, 0, 0, 360, 360},
    {"NegativeSideTruncatesTowardZero", 50, 0, 0, 0, 0, 0, 0, -200, -174}, // 150 x 360 / 310 = 174.19
    {"BindDeadZoneAddsToProfile", 30, 1, 0, 20, 0, 0, 0, 50, 0},
    {"DeadZoneCappedBelowFull", 300, 2, 0, 100, 0, 0, 0, 359, 0},
    {"CappedDeadZoneStillReachesFull", 300, 2, 0, 100, 0, 0, 0, 360, 360},
    // 30000 + 30000 wraps to -5536 in 16 bits: a negative dead zone, not a capped one.
    {"DeadZoneSumIsSixteenBits", 30000, 0, 0, 30000, 0, 0, 0, 0, 338},
    {"NegativeDeadZoneLiftsRest", -10, 0, 0, 0, 0, 0, 0, 0, 9}, // 10 x 360 / 370
    {"NegativeDeadZoneKeepsSign", -10, 0, 0, 0, 0, 0, 0, -10, -19},
    {"MaxKeepsItsOwnValue", 0, 0, 0, 0, 0, 200, 0, 200, 200},
    {"PastMaxLetsGoInsteadOfSaturating", 0, 0, 0, 0, 0, 200, 0, 201, 0},
    {"NegativeMaxIsSignedSoNothingPasses", 0, 0, 0, 0, 0, -1, 0, 100, 0},
    {"BelowMinIsZero", 0, 0, 0, 0, 10, 0, 0, 9, 0},
    {"AtMinCounts", 0, 0, 0, 0, 10, 0, 0, 10, 10},
    {"MinAppliesToMagnitude", 0, 0, 0, 0, 10, 0, 0, -9, 0},
    {"InvertNegates", 0, 0, 1, 0, 0, 0, 0, 100, -100},
    {"RotationYReadNegated", 0, 4, 0, 0, 0, 0, 0, 100, -100},
    {"RotationYInvertedBack", 0, 4, 1, 0, 0, 0, 0, 100, 100},
    {"PositiveOnlyDropsNegative", 0, 0, 0, 0, 0, 0, 1, -50, 0},
    {"PositiveOnlyKeepsPositive", 0, 0, 0, 0, 0, 0, 1, 50, 50},
    {"NegativeOnlyDropsPositive", 0, 0, 0, 0, 0, 0, 2, 50, 0},
    {"NegativeOnlyKeepsNegative", 0, 0, 0, 0, 0, 0, 2, -50, -50},
    {"DirectionAfterInvert", 0, 5, 1, 0, 0, 0, 1, -50, 50},
    {"OtherDirectionPassesBoth", 0, 0, 0, 0, 0, 0, -1, -50, -50},
    // No such device axis: read as an axis at rest, never from memory past the images.
    {"AxisSixReadsRest", 50, 6, 0, 0, 0, 0, 0, 0, 0},
    {"AxisSixRestThroughNegativeDeadZone", -10, 6, 0, 0, 0, 0, 0, 0, 9},
    {"AxisIndexMaxReadsRest", 0, 255, 0, 0, 0, 0, 0, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Pipeline, AxisBindTest, testing::ValuesIn(kAxisCases),
                         [](const testing::TestParamInfo<AxisCase> &info) { return std::string(info.param.name); });

class AxisSourceTest : public SimTest {};

TEST_F(AxisSourceTest, EachIndexReadsItsOwnSlot)
{
    Device dev;
    for (int a = 0; a < 6; a++) {
        dev.set_axis(a, static_cast<SHORT>(10 * (a + 1)));
    }
    const SHORT expected[6] = {10, 20, 30, 40, -50, 60};
    for (UCHAR a = 0; a < 6; a++) {
        BIND b = axis_bind(a);
        EXPECT_EQ(dev.value(b), expected[a]) << "axis " << int(a);
    }
}

// ---------------------------------------------------------------- button bits

struct ButtonCase {
    const char *name;
    UCHAR index;
    UCHAR invert;
    uint8_t bits[6]; // bytes 1-6 of RawButtons
    SHORT expected;
};

constexpr SHORT kOn = 7;
constexpr SHORT kOff = -3;

class ButtonBindTest : public SimTest, public testing::WithParamInterface<ButtonCase> {};

TEST_P(ButtonBindTest, ReadsItsBit)
{
    const ButtonCase &c = GetParam();
    Device dev;
    dev.set_buttons(c.bits);
    BIND b = button_bind(c.index, kOn, kOff);
    b.Invert = c.invert;
    EXPECT_EQ(dev.value(b), c.expected);
}

const ButtonCase kButtonCases[] = {
    {"Button0", 0, 0, {0x01}, kOn},
    {"Button1", 1, 0, {0x02}, kOn},
    {"Button0NotSetByButton1", 0, 0, {0x02}, kOff},
    {"Index7IsBit7OfFirstByte", 7, 0, {0x80}, kOn},
    {"Index7IgnoresSecondByte", 7, 0, {0x00, 0x01}, kOff},
    {"Index8IsBit0OfSecondByte", 8, 0, {0x00, 0x01}, kOn},
    {"Index8IgnoresFirstByte", 8, 0, {0x80, 0x00}, kOff},
    {"Index47IsLastBit", 47, 0, {0, 0, 0, 0, 0, 0x80}, kOn},
    {"InvertedUp", 0, 1, {0x00}, kOn},
    {"InvertedDown", 0, 1, {0x01}, kOff},
    // No such device button: read as up, never from memory past the image.
    {"Index48IsUp", 48, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kOff},
    {"IndexMaxIsUp", 255, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kOff},
    {"Index48InvertedIsDown", 48, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kOn},
};

INSTANTIATE_TEST_SUITE_P(Bits, ButtonBindTest, testing::ValuesIn(kButtonCases),
                         [](const testing::TestParamInfo<ButtonCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- triggers

class TriggerTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::clock_manual();
    }
    static void at(uint64_t t) { sim::clock_set(t); }
};

struct TapCase {
    uint64_t press_ms;
    bool taps;
};

TEST_F(TriggerTest, TapGivesPressValueOnlyRightAfterAShortPress)
{
    const TapCase cases[] = {{1, true}, {300, true}, {499, true}, {500, false}, {600, false}};
    for (const TapCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.press_ms << " ms press");
        Device dev;
        BIND b = button_bind(0, 1, 0);
        b.Trigger_Mode = TRIGGER_TAP;
        b.Hold_Time = 500;

        EXPECT_EQ(dev.value(b), 0) << "idle";
        const uint64_t press = sim::clock_now() + 10 * kTicksPerMs;
        at(press);
        dev.set_buttons({0x01});
        EXPECT_EQ(dev.value(b), 0) << "a tap gives nothing while held";
        EXPECT_EQ(field(b.Press_Time), press);
        for (uint64_t ms = 10; ms < c.press_ms; ms += 10) {
            at(press + ms * kTicksPerMs);
            EXPECT_EQ(dev.value(b), 0) << "still held at " << ms << " ms";
        }

        const uint64_t release = press + c.press_ms * kTicksPerMs;
        at(release);
        dev.set_buttons({0x00});
        EXPECT_EQ(dev.value(b), c.taps ? 1 : 0) << "the pass of the release";
        EXPECT_EQ(field(b.Release_Time), release);
        at(release + kTicksPerMs - 1);
        EXPECT_EQ(dev.value(b), c.taps ? 1 : 0) << "still within 1 ms of the release";
        at(release + kTicksPerMs);
        EXPECT_EQ(dev.value(b), 0) << "1 ms after the release the tap is over";
        at(release + 100 * kTicksPerMs);
        EXPECT_EQ(dev.value(b), 0);
    }
}

TEST_F(TriggerTest, TapGivesTheValueOfTheMomentOfPress)
{
    Device dev;
    BIND b = axis_bind(0);
    b.Axis_Direction = 1;
    b.Trigger_Mode = TRIGGER_TAP;
    b.Hold_Time = 500;

    dev.set_axis(0, 100);
    EXPECT_EQ(dev.value(b), 0);
    sim::clock_advance_ms(50);
    dev.set_axis(0, 300);
    EXPECT_EQ(dev.value(b), 0);
    sim::clock_advance_ms(50);
    dev.set_axis(0, -50); // dropped by the direction: the trigger sees the source let go
    EXPECT_EQ(dev.value(b), 100) << "the value captured when the press began, not the last one";
}

TEST_F(TriggerTest, HoldGivesTheCurrentValueOnceHeldLongEnough)
{
    Device dev;
    BIND b = axis_bind(1);
    b.Trigger_Mode = TRIGGER_HOLD;
    b.Hold_Time = 500;

    const uint64_t start = sim::clock_now();
    dev.set_axis(1, 100);
    EXPECT_EQ(dev.value(b), 0);
    for (uint64_t ms = 100; ms <= 500; ms += 100) {
        at(start + ms * kTicksPerMs);
        EXPECT_EQ(dev.value(b), 0) << ms << " ms is not longer than the hold time";
    }
    at(start + 500 * kTicksPerMs + 1);
    dev.set_axis(1, 250);
    EXPECT_EQ(dev.value(b), 250) << "the current value, not the one at the press";
    sim::clock_advance_ms(1000);
    EXPECT_EQ(dev.value(b), 250);
    dev.set_axis(1, 0);
    EXPECT_EQ(dev.value(b), 0) << "back at rest";
    sim::clock_advance_ms(10);
    dev.set_axis(1, 100);
    EXPECT_EQ(dev.value(b), 0) << "a new deflection starts a new hold";
}

TEST_F(TriggerTest, HoldTimeLimitIsThirtyTwoBitsWidenedWithSign)
{
    // 32767 ms is 327,670,000 ticks: past 16 bits, within 32.
    Device dev;
    BIND b = button_bind(0, 5, 0);
    b.Trigger_Mode = TRIGGER_HOLD;
    b.Hold_Time = 32767;
    const uint64_t start = sim::clock_now();
    dev.set_buttons({0x01});
    EXPECT_EQ(dev.value(b), 0);
    at(start + 32767 * kTicksPerMs);
    EXPECT_EQ(dev.value(b), 0);
    at(start + 32767 * kTicksPerMs + 1);
    EXPECT_EQ(dev.value(b), 5);

    // A negative hold time, widened with its sign, meets unsigned times: every
    // press is short enough to tap.
    BIND tap = button_bind(0, 5, 0);
    tap.Trigger_Mode = TRIGGER_TAP;
    tap.Hold_Time = -1;
    EXPECT_EQ(dev.value(tap), 0);
    sim::clock_advance_ms(60'000);
    dev.set_buttons({0x00});
    EXPECT_EQ(dev.value(tap), 5) << "a minute-long press still counts as a tap";
}

TEST_F(TriggerTest, UnknownTriggerModeGivesTheOffValue)
{
    for (LONG mode : {3, -1, 0x7FFFFFFF}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        Device dev;
        BIND axis = axis_bind(0);
        axis.Trigger_Mode = mode;
        BIND button = button_bind(0, 1, 9);
        button.Trigger_Mode = mode;

        dev.set_axis(0, 200);
        dev.set_buttons({0x01});
        EXPECT_EQ(dev.value(axis), 0);
        EXPECT_EQ(dev.value(button), 9);
        sim::clock_advance_ms(10);
        dev.set_axis(0, 0);
        dev.set_buttons({0x00});
        EXPECT_EQ(dev.value(axis), 0);
        EXPECT_EQ(dev.value(button), 9);
    }
}

TEST_F(TriggerTest, OtherSourceTypeGivesZeroAndKeepsItsState)
{
    Device dev;
    dev.set_axis(0, 360);
    dev.set_buttons({0xFF});
    for (ULONG type : {2u, 0xFFFFFFFFu}) {
        BIND b = button_bind(0, 4, 4);
        b.Source_Type = type;
        b.Last_Active = 0;
        b.Press_Value = 11;
        b.Press_Time = 12;
        b.Release_Time = 13;
        EXPECT_EQ(dev.value(b), 0) << "type " << type;
        EXPECT_EQ(field(b.Last_Active), 0);
        EXPECT_EQ(field(b.Press_Value), 11);
        EXPECT_EQ(field(b.Press_Time), 12u);
        EXPECT_EQ(field(b.Release_Time), 13u);
    }
}

} // namespace
