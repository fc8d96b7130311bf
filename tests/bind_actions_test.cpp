// The mapping pass and the keyboard build: what the active profile makes of
// the device input in the joystick, mouse, consumer and keyboard images.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/sim/sim.h"
#include "tests/support/core_device.h"

namespace {

using BindActions = CoreDeviceTest;

BIND keys(UCHAR button, UCHAR flags, std::initializer_list<UCHAR> codes, SHORT repeat = 0)
{
    BIND b = on_button(button, 1, ACTION_KEYBOARD);
    b.Key_Flags = flags;
    b.Key_Repeat = repeat;
    std::copy(codes.begin(), codes.end(), b.Key_Codes);
    return b;
}

// What a mapping pass may change, as one block of bytes: the report images,
// the key table, the wheel's rhythm, the profile state and the LED queue.
Bytes outputs(const DEVICE_EXTENSION &d)
{
    Bytes out = image(d.ReportState), keys = image(d.KeyState);
    out.insert(out.end(), keys.begin(), keys.end());
    for (const Bytes &b : {image(d.WheelInterval), image(d.WheelStep), image(d.CurrentProfil), image(d.ProfilList),
                           image(d.LedQueue)})
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

// A mapping pass and keyboard build; the keyboard report with its slots.
Bytes pass(DEVICE_EXTENSION *dx)
{
    MIVO_map_binds(dx);
    MIVO_keyboard_build(dx);
    return image(dx->ReportState.KeyboardReport);
}

Bytes keyboard(UCHAR modifiers, std::initializer_list<UCHAR> slots)
{
    Bytes out = {0xF2, modifiers, 0, 0, 0, 0, 0, 0};
    std::copy(slots.begin(), slots.end(), out.begin() + 2);
    return out;
}

TEST_F(BindActions, BaseProfileTurnsRotationYIntoJoystickHatAndMouse)
{
    use_base_profile();
    dx->ReportState.RawRotation.Axis[1] = 100;
    MIVO_map_binds(dx);
    // Axis 4 reads -100, the dead zone of 50 makes -58: joystick axis 3 at 302,
    // hat west, mouse X -3; button 1 up gives axis 7 at 10 and button 0 up
    // joystick button 1, both through inverted binds.
    EXPECT_EQ(image(dx->ReportState.JoystickReport),
              (Bytes{0xF1, 0x68, 0x01, 0x68, 0x01, 0x68, 0x01, 0x2E, 0x01, 0x68, 0x01, 0x68, 0x01, 0x68, 0x01, 0x0A,
                     0x00, 0x06, 0x02}));
    EXPECT_EQ(image(dx->ReportState.MouseReport), (Bytes{0xF4, 0xFD, 0x00, 0x00, 0x00}));
    EXPECT_EQ(image(dx->ReportState.ConsumerReport), (Bytes{0xF3, 0x00, 0x00}));
}

TEST_F(BindActions, JoystickAxisTakesLargestMagnitudeFirstOnTie)
{
    // Values on joystick axis 2 in list order -> the axis; 1000 shows the value is not limited.
    const std::pair<std::vector<SHORT>, USHORT> cases[] = {
        {{-200, 150}, 160}, {{150, -200, 100}, 160}, {{-150, 150}, 210}, {{150, -150}, 510}, {{1000}, 1360}, {{}, 360}};
    for (const auto &[values, axis] : cases) {
        PROFIL *p = use_profile();
        for (SHORT v : values) add(p, always(v, ACTION_JOY_AXIS, 2));
        MIVO_map_binds(dx);
        EXPECT_EQ(+dx->ReportState.JoystickReport.Axis[2], axis) << testing::PrintToString(values);
    }
}

TEST_F(BindActions, ButtonsAndConsumerControlsAreOred)
{
    PROFIL *p = use_profile();
    for (UCHAR n : {0, 7, 0}) add(p, always(1, ACTION_JOY_BUTTON, n));
    for (UCHAR n : {4, 1}) add(p, always(-5, ACTION_MOUSE_BUTTON, n));
    for (UCHAR n : {2, 16}) add(p, always(1, ACTION_CONSUMER, n));
    add(p, always(0, ACTION_CONSUMER, 1)); // a value of 0 does nothing
    MIVO_map_binds(dx);
    EXPECT_EQ(dx->ReportState.JoystickReport.Buttons, 0x81);
    EXPECT_EQ(dx->ReportState.MouseReport.Buttons, 0x12);
    EXPECT_EQ(image(dx->ReportState.ConsumerReport), (Bytes{0xF3, 0x02, 0x80}));
}

TEST_F(BindActions, HatValueForEveryCombinationOfDirections)
{
    // Directions N, E, S, W as bits 1, 2, 4, 8 -> hat value.
    const UCHAR expected[16] = {8, 0, 2, 1, 4, 8, 3, 8, 6, 7, 8, 8, 5, 8, 8, 8};
    const std::pair<int, SHORT> dirs[] = {{HAT_NORTH, -100}, {HAT_EAST, 50}, {HAT_SOUTH, 100}, {HAT_WEST, -50}};
    for (int mask = 0; mask < 16; mask++) {
        PROFIL *p = use_profile();
        for (auto [bit, v] : dirs) {
            if (mask & bit) add(p, always(v, ACTION_JOY_HAT))->Action_Hat = (bit & (HAT_EAST | HAT_WEST)) ? 1 : 0;
        }
        add(p, always(-100, ACTION_JOY_HAT))->Action_Hat = 2; // no such pair: adds nothing
        MIVO_map_binds(dx);
        EXPECT_EQ(dx->ReportState.JoystickReport.Hat, expected[mask]) << "directions " << mask;
    }
}

TEST_F(BindActions, MouseCurveAndLargestStep)
{
    const struct { SHORT v; UCHAR p; CHAR out; } cases[] = {
        {360, 100, 127}, {-180, 100, -31}, {36, 100, 1}, {31, 100, 0}, {180, 50, 15},
        {360, 200, 127},   // quotient 254, capped
        {-360, 255, -127}, // product 4.2e9: past 32 bits signed
        {32767, 255, 127}, // past 32 bits unsigned
    };
    for (const auto &c : cases) EXPECT_EQ(MIVO_mouse_scale(c.v, c.p), c.out) << "v " << c.v << " p " << int(c.p);

    PROFIL *p = use_profile();
    add(p, always(-180, ACTION_MOUSE_X, 100)); // -31
    add(p, always(360, ACTION_MOUSE_X, 100));  // 127: larger
    add(p, always(180, ACTION_MOUSE_Y, 100));  // 31
    add(p, always(-180, ACTION_MOUSE_Y, 100)); // -31: a tie, comes later
    MIVO_map_binds(dx);
    EXPECT_EQ(image(dx->ReportState.MouseReport), (Bytes{0xF4, 127, 31, 0, 0}));
}

TEST_F(BindActions, WheelIntervalAndStepLastBindWins)
{
    const struct { UCHAR s; SHORT v; LONGLONG interval; CHAR step; } cases[] = {
        {10, 2, 100, 1},   {10, -60, 82, -1}, {10, 119, 64, 1}, {10, 120, 32, 1}, // halved from 120 on
        {10, 299, 5, 1},   {10, 300, 5, 10},  {10, 329, 1, 10}, {10, -330, 0, -25},
        {10, 340, -1, 25}, // -2 halved
        {10, 350, -3, 25}, // -5 halved rounds down, not toward zero
        {0, 2, 0, 1},      {255, -32768, -138365, -25}, // the extreme i16 stays within 32 bits
    };
    BIND *b = add(use_profile(), always(1, ACTION_MOUSE_WHEEL));
    for (const auto &c : cases) {
        b->Action_Param[0] = c.s;
        MIVO_wheel_set(dx, b, c.v);
        EXPECT_EQ(std::make_pair(dx->WheelInterval, dx->WheelStep), std::make_pair(c.interval, c.step))
            << "s " << int(c.s) << " v " << c.v;
    }
    PROFIL *p = use_profile();
    add(p, always(340, ACTION_MOUSE_WHEEL, 10));
    add(p, always(-60, ACTION_MOUSE_WHEEL, 10));
    add(p, always(0, ACTION_MOUSE_WHEEL, 1)); // no value: not carried out
    MIVO_map_binds(dx);
    EXPECT_EQ(std::make_pair(dx->WheelInterval, dx->WheelStep), std::make_pair(LONGLONG{82}, CHAR{-1}));
    use_profile(2);
    MIVO_map_binds(dx);
    EXPECT_EQ(std::make_pair(dx->WheelInterval, dx->WheelStep), std::make_pair(LONGLONG{82}, CHAR{0}))
        << "a pass without a wheel value stops the wheel but keeps its rhythm";
}

TEST_F(BindActions, KeyboardBuildFillsSixSlotsInCodeOrderWithModifiersBeside)
{
    PROFIL *p = use_profile();
    add(p, keys(0, KEY_PRESS, {0x04, 0xE1}));
    buttons(0x01);
    EXPECT_EQ(pass(dx), keyboard(0x02, {0x04}));
    buttons(0x00);
    EXPECT_EQ(pass(dx), keyboard(0, {}));

    // Seven keys: the six lowest codes take the slots; the seventh waits.
    add(p, keys(0, KEY_PRESS, {0x30, 0x05, 0xE7, 0x10}));
    add(p, keys(0, KEY_PRESS, {0x2A, 0x06, 0xE0}));
    buttons(0x01);
    EXPECT_EQ(pass(dx), keyboard(0x83, {0x04, 0x05, 0x06, 0x10, 0x2A, 0x30}));
    const ULONGLONG sent = dx->KeyState[0x30].LastSent;
    add(p, keys(0, KEY_PRESS, {0x03}));
    sim::clock_advance_ms(5);
    EXPECT_EQ(pass(dx), keyboard(0x83, {0x03, 0x04, 0x05, 0x06, 0x10, 0x2A}));
    EXPECT_EQ(dx->KeyState[0x30].LastSent, sent) << "a key left out keeps the time it was last sent";
}

TEST_F(BindActions, RepeatingKeyIsSentOncePerShortestInterval)
{
    PROFIL *p = use_profile();
    for (SHORT ms : {200, 100, 150}) add(p, keys(0, KEY_PRESS | KEY_REPEAT, {0x04}, ms)); // the shortest wins
    buttons(0x01);
    const std::pair<int, bool> passes[] = {{0, true}, {99, false}, {100, true}, {101, false}, {205, true}};
    int at = 0;
    for (auto [ms, down] : passes) {
        sim::clock_advance_ms(ms - at);
        at = ms;
        EXPECT_EQ(pass(dx)[2], down ? 0x04 : 0x00) << "at " << ms << " ms";
    }
    buttons(0x00);
    pass(dx);
    buttons(0x01);
    sim::clock_advance_ms(1);
    EXPECT_EQ(pass(dx)[2], 0x04) << "released and pressed again: sent at once";
}

TEST_F(BindActions, LatchedKeyStaysDownUntilThePassAfterUnlatch)
{
    PROFIL *p = use_profile();
    add(p, keys(0, KEY_PRESS | KEY_LATCH, {0x05}));
    add(p, keys(1, KEY_PRESS | KEY_UNLATCH, {0x05}));
    add(p, keys(2, KEY_PRESS | KEY_LATCH | KEY_UNLATCH, {0x06})); // unlatch wins within a bind
    const std::pair<uint8_t, UCHAR> passes[] = {
        {0x01, 0x05}, {0x00, 0x05}, {0x02, 0x05}, // the unlatch bind's own KEY_PRESS still holds it this pass
        {0x00, 0},    {0x03, 0x05},               // the later unlatch bind clears the latch just set
        {0x00, 0},    {0x04, 0x06}, {0x00, 0},
    };
    for (auto [byte, down] : passes) {
        buttons(byte);
        EXPECT_EQ(pass(dx), keyboard(0, {down})) << "buttons " << int(byte);
    }
}

// Stored binds are used as stored (only the binds the driver builds itself are
// bounded), so every action type meets every parameter byte: each makes its
// one change to the images, and a parameter that names no control of the
// virtual device, or a type that is no action, changes nothing at all. A
// keyboard bind's parameter here is its key code, pressed.
TEST_F(BindActions, EveryActionWithEveryParameterByte)
{
    PROFIL *p = use_profile();
    BIND *b = add(p, always(300, 0));
    pass(dx);
    auto rest = std::make_unique<DEVICE_EXTENSION>(), want = std::make_unique<DEVICE_EXTENSION>();
    std::memcpy(static_cast<void *>(rest.get()), dx, sizeof *dx);
    const ULONG types[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x101, 0xFFFFFFFF};
    for (ULONG type : types) {
        for (int n = 0; n < 256; n++) {
            SCOPED_TRACE(testing::Message() << "action " << type << " parameter " << n);
            std::memcpy(static_cast<void *>(dx), rest.get(), sizeof *dx);
            std::memset(b->Action_Param, 0, sizeof b->Action_Param);
            b->Action_Type = type;
            if (type == ACTION_KEYBOARD) {
                b->Key_Flags = KEY_PRESS;
                b->Key_Codes[0] = UCHAR(n);
            } else {
                b->Action_Param[0] = UCHAR(n);
            }
            pass(dx);

            std::memcpy(static_cast<void *>(want.get()), rest.get(), sizeof *dx);
            REPORT_STATE &r = want->ReportState;
            switch (type) {
            case ACTION_JOY_AXIS: if (n < 8) r.JoystickReport.Axis[n] = 660; break;
            case ACTION_JOY_BUTTON: if (n < 8) r.JoystickReport.Buttons = UCHAR(1 << n); break;
            case ACTION_JOY_HAT: r.JoystickReport.Hat = n == 0 ? 4 : n == 1 ? 2 : HAT_CENTRED; break; // S, E
            case ACTION_MOUSE_X: r.MouseReport.X = MIVO_mouse_scale(300, UCHAR(n)); break;
            case ACTION_MOUSE_Y: r.MouseReport.Y = MIVO_mouse_scale(300, UCHAR(n)); break;
            case ACTION_MOUSE_WHEEL: want->WheelInterval = 5, want->WheelStep = 10; break;
            case ACTION_MOUSE_BUTTON: if (n < 5) r.MouseReport.Buttons = UCHAR(1 << n); break;
            case ACTION_KEYBOARD:
                if (n >= 1 && n < 232) {
                    want->KeyState[n].Flags = KEY_PRESS;
                    want->KeyState[n].LastSent = KeQueryInterruptTime();
                    if (n >= 0xE0) r.KeyboardReport.Modifiers = UCHAR(1 << (n - 0xE0));
                    else r.KeyboardReport.Keys[0] = UCHAR(n);
                }
                break;
            case ACTION_PROFIL: if (n != 1) want->CurrentProfil = nullptr; break; // no profile n, no default
            case ACTION_CONSUMER: if (n >= 1 && n <= 16) r.ConsumerReport.Controls = USHORT(1 << (n - 1)); break;
            default: break;
            }
            EXPECT_EQ(outputs(*dx), outputs(*want));
        }
    }
    dx->CurrentProfil = p;
}

TEST_F(BindActions, ProfileActionSwitchesAfterThePassLastOneWins)
{
    PROFIL *seven = use_profile(7);
    PROFIL *five = add_profile(5);
    add(seven, always(100, ACTION_JOY_AXIS, 0));
    add(seven, on_button(0, 1, ACTION_PROFIL))->Action_Profil = 3;
    add(seven, on_button(0, 1, ACTION_PROFIL))->Action_Profil = 5;
    add(seven, on_button(1, 1, ACTION_PROFIL))->Action_Profil = 7; // its own id
    add(five, always(-100, ACTION_JOY_AXIS, 0));

    buttons(0x02);
    sim::trace_clear();
    MIVO_map_binds(dx);
    EXPECT_EQ(dx->CurrentProfil, seven);
    EXPECT_EQ(sim::trace_text().find("Search Profil"), std::string::npos) << "its own id selects nothing";
    buttons(0x01);
    MIVO_map_binds(dx);
    EXPECT_EQ(+dx->ReportState.JoystickReport.Axis[0], 460) << "this pass is still the old profile's";
    EXPECT_EQ(dx->CurrentProfil, five);
    MIVO_map_binds(dx);
    EXPECT_EQ(+dx->ReportState.JoystickReport.Axis[0], 260);
}

} // namespace
