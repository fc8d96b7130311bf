// Bind and profile records: the binds the driver builds itself (storage and
// bounds), the stored 34-byte form read into a record, and the base profile.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/sim/sim.h"
#include "tests/support/bytes.h"
#include "tests/support/sim_test.h"

namespace {

using namespace test_bytes;
using Records = SimTest;

const char *const kConsumerRecord =
    "01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 0A 00 00 00 03 00 00 00 00 00 00 00 F4 01 00 00 00 00";

// The persisted bytes of each bind in list order; the runtime part must be zero.
// The records are pool memory owned by the list: they are freed here.
std::vector<Bytes> take_list(BIND *head)
{
    std::vector<Bytes> out;
    while (BIND *b = head) {
        out.push_back(bytes_of(*b, BIND_PERSISTED_SIZE));
        EXPECT_EQ(field(b->Last_Active) + field(b->Press_Value) + field(b->Press_Time) + field(b->Release_Time), 0u);
        head = b->Next;
        ExFreePool(b);
    }
    return out;
}

TEST_F(Records, CreateNextBindStoresAndBoundsItsArguments)
{
    const struct { const char *name; ULONG type; UCHAR index, invert; SHORT s1, s2, s3; ULONG action; USHORT p;
        const char *stored; } cases[] = {
        {"button giving nothing becomes on/off", SOURCE_BUTTON, 1, 0, 0, 0, 0, ACTION_CONSUMER, 3, kConsumerRecord},
        {"button keeps negative pressed value", SOURCE_BUTTON, 1, 1, 0, -350, 0, ACTION_JOY_AXIS, 7,
         "01 00 00 00 01 01 00 00 A2 FE 00 00 00 00 00 00 01 00 00 00 07 00 00 00 00 00 00 00 F4 01 00 00 00 00"},
        {"released value alone is kept", SOURCE_BUTTON, 2, 0, 5, 0, TRIGGER_TAP, ACTION_JOY_BUTTON, 3,
         "01 00 00 00 02 00 05 00 00 00 00 00 00 00 00 00 02 00 00 00 03 00 00 00 00 00 00 00 F4 01 01 00 00 00"},
        {"trigger mode sign-extended, mouse button bounded", SOURCE_BUTTON, 0, 0, 0, 0, -1, ACTION_MOUSE_BUTTON, 9,
         "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 07 00 00 00 04 00 00 00 00 00 00 00 F4 01 FF FF FF FF"},
        {"axis limits and direction", SOURCE_AXIS, 5, 1, 10, 200, 2, ACTION_JOY_AXIS, 12,
         "00 00 00 00 05 01 00 00 0A 00 C8 00 02 00 00 00 01 00 00 00 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"axis direction sign-extended", SOURCE_AXIS, 0, 0, 0, 0, -1, ACTION_JOY_HAT, 5,
         "00 00 00 00 00 00 00 00 00 00 00 00 FF FF FF FF 03 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"negative hat selector stays, high byte dropped", SOURCE_AXIS, 3, 0, 0, 0, 0, ACTION_JOY_HAT, 0x0181,
         "00 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00 03 00 00 00 81 FF FF FF 00 00 00 00 00 00 00 00 00 00"},
        {"joystick button bounded", SOURCE_BUTTON, 0, 0, 0, 1, 0, ACTION_JOY_BUTTON, 12,
         "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 02 00 00 00 07 00 00 00 00 00 00 00 F4 01 00 00 00 00"},
        {"joystick axis bounded after the byte cut", SOURCE_AXIS, 0, 0, 0, 0, 0, ACTION_JOY_AXIS, 0x0203,
         "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"wheel keeps the low byte", SOURCE_AXIS, 5, 1, 10, 0, 0, ACTION_MOUSE_WHEEL, 500,
         "00 00 00 00 05 01 00 00 0A 00 00 00 00 00 00 00 06 00 00 00 F4 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"profile target keeps 16 bits", SOURCE_BUTTON, 0, 0, 0, 0, 0, ACTION_PROFIL, 0xFFFF,
         "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 09 00 00 00 FF FF 00 00 00 00 00 00 F4 01 00 00 00 00"},
        {"keyboard gets no keys", SOURCE_BUTTON, 0, 0, 0, 0, 0, ACTION_KEYBOARD, 0x0104,
         "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 08 00 00 00 00 00 00 00 00 00 00 00 F4 01 00 00 00 00"},
        {"unknown action keeps only its type", SOURCE_AXIS, 0, 0, 0, 0, 0, 11, 5,
         "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"unknown source keeps only its type", 2, 3, 1, 10, 20, 30, ACTION_CONSUMER, 4,
         "02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0A 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    };
    for (const auto &c : cases) {
        BIND *head = nullptr;
        MIVO_Create_NextBind(&head, c.type, c.index, c.invert, c.s1, c.s2, c.s3, c.action, c.p);
        EXPECT_EQ(take_list(head), std::vector<Bytes>{hex(c.stored)}) << c.name;
    }
}

TEST_F(Records, StoredRecordsReadIntoABind)
{
    BIND consumer{}, key{};
    consumer.Next = &consumer; // the link and runtime part lie behind the 34 bytes and are not touched
    consumer.Press_Time = 99;
    std::memcpy(&consumer, hex(kConsumerRecord).data(), BIND_PERSISTED_SIZE);
    EXPECT_EQ((std::vector<LONG>{LONG(consumer.Source_Type), consumer.Source_Index, consumer.Invert,
                                 consumer.Released_Value, consumer.Pressed_Value, LONG(consumer.Action_Type),
                                 consumer.Action_Param[0], consumer.Hold_Time, consumer.Trigger_Mode}),
              (std::vector<LONG>{SOURCE_BUTTON, 1, 0, 0, 1, ACTION_CONSUMER, 3, 500, TRIGGER_DIRECT}));
    EXPECT_EQ(field(consumer.Next), &consumer);
    EXPECT_EQ(field(consumer.Press_Time), 99u);

    std::memcpy(&key, hex("01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 08 00 00 00 01 00 00 04 00 00 00 00 00 00 00 00 00 00").data(),
                BIND_PERSISTED_SIZE);
    EXPECT_EQ((std::vector<LONG>{LONG(key.Action_Type), key.Key_Flags, key.Key_Repeat, key.Hold_Time, key.Trigger_Mode}),
              (std::vector<LONG>{ACTION_KEYBOARD, KEY_PRESS, 0, 0, TRIGGER_DIRECT}));
    EXPECT_EQ(Bytes(key.Key_Codes, key.Key_Codes + 5), hex("04 00 00 00 00"));
}

TEST_F(Records, BaseProfileHoldsItsNineteenBindsInOrder)
{
    // In list order. Axis rows have no limit, no hold time and a direct trigger;
    // button rows a 500 ms hold time and a direct trigger.
    const struct { ULONG type; UCHAR index, invert; SHORT w8; LONG direction; ULONG action; LONG param; } rows[] = {
        {SOURCE_BUTTON, 1, 0, 1, 0, ACTION_CONSUMER, 3},      {SOURCE_BUTTON, 0, 0, 1, 0, ACTION_CONSUMER, 2},
        {SOURCE_AXIS, 5, 1, 10, 0, ACTION_MOUSE_WHEEL, 244},  {SOURCE_AXIS, 3, 0, 0, 0, ACTION_MOUSE_Y, 100},
        {SOURCE_AXIS, 4, 0, 0, 0, ACTION_MOUSE_X, 100},       {SOURCE_BUTTON, 1, 0, 1, 0, ACTION_JOY_BUTTON, 4},
        {SOURCE_BUTTON, 0, 1, 1, 0, ACTION_JOY_BUTTON, 1},    {SOURCE_BUTTON, 0, 0, 1, 0, ACTION_JOY_BUTTON, 0},
        {SOURCE_BUTTON, 1, 1, -350, 0, ACTION_JOY_AXIS, 7},   {SOURCE_BUTTON, 1, 0, 350, 0, ACTION_JOY_AXIS, 7},
        {SOURCE_AXIS, 5, 1, 0, 1, ACTION_JOY_AXIS, 6},        {SOURCE_AXIS, 5, 0, 0, 0, ACTION_JOY_AXIS, 5},
        {SOURCE_AXIS, 3, 0, 0, 0, ACTION_JOY_AXIS, 4},        {SOURCE_AXIS, 4, 0, 0, 0, ACTION_JOY_AXIS, 3},
        {SOURCE_AXIS, 2, 0, 0, 0, ACTION_JOY_AXIS, 2},        {SOURCE_AXIS, 1, 0, 0, 0, ACTION_JOY_AXIS, 1},
        {SOURCE_AXIS, 0, 0, 0, 0, ACTION_JOY_AXIS, 0},        {SOURCE_AXIS, 4, 0, 15, 0, ACTION_JOY_HAT, 1},
        {SOURCE_AXIS, 3, 0, 15, 0, ACTION_JOY_HAT, 0},
    };
    std::vector<Bytes> expected;
    for (const auto &r : rows) {
        BIND e{};
        e.Source_Type = r.type;
        e.Source_Index = r.index;
        e.Invert = r.invert;
        e.Axis_Min = r.w8; // Pressed_Value of a button
        e.Axis_Direction = r.direction;
        e.Action_Type = r.action;
        e.Action_Hat = r.param; // little-endian: a byte parameter lands at offset 20
        e.Hold_Time = r.type == SOURCE_BUTTON ? 500 : 0;
        expected.push_back(bytes_of(e, BIND_PERSISTED_SIZE));
    }
    ASSERT_EQ(expected.front(), hex(kConsumerRecord)) << "the first bind is the worked stored record";

    auto dx = std::make_unique<DEVICE_EXTENSION>();
    PROFIL *p = MIVO_Profil_ZERO(dx.get());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->Profil_Id, -1);
    Bytes name = bytes_of(u"Base Profil");
    name.resize(sizeof(p->Profil_Name), 0);
    EXPECT_EQ(bytes_of(p->Profil_Name), name) << "the name, zero-filled behind its text";
    EXPECT_EQ(p->DeadZone, 50);
    EXPECT_EQ(p->Next, nullptr);
    EXPECT_TRUE(sim::trace_lines().empty()) << "a successful build traces nothing";
    EXPECT_EQ(take_list(p->Binds), expected);
    ExFreePool(p);

    // Out of pool for the first row, built last (allocation 20: the profile,
    // then the rows from the last): it is left out and the rows built before
    // it stay. The allocation sweep refuses the profile and the first bind
    // built, with their lines.
    sim::pool_fail_nth(20);
    p = MIVO_Profil_ZERO(dx.get());
    sim::pool_fail_clear();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(take_list(p->Binds), std::vector<Bytes>(expected.begin() + 1, expected.end()));
    ExFreePool(p);
}

} // namespace
