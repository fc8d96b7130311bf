// Bind and profile records: the binds the driver builds itself (storage and
// bounds), the stored 34-byte form read into a record, the base profile, and
// running out of pool while building them.
#include <gtest/gtest.h>

#include <algorithm>
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

Bytes persisted(const BIND *b)
{
    return bytes_of(*b, BIND_PERSISTED_SIZE);
}

std::vector<BIND *> binds_of(BIND *head)
{
    std::vector<BIND *> out;
    for (BIND *b = head; b != nullptr; b = b->Next) {
        out.push_back(b);
    }
    return out;
}

// The records are pool memory owned by their list; the tests give it back.
void free_binds(BIND *head)
{
    while (head != nullptr) {
        BIND *next = head->Next;
        ExFreePool(head);
        head = next;
    }
}

void free_profil(PROFIL *p)
{
    if (p != nullptr) {
        free_binds(p->Binds);
        ExFreePool(p);
    }
}

void expect_runtime_zero(const BIND *b)
{
    EXPECT_EQ(field(b->Last_Active), 0);
    EXPECT_EQ(field(b->Press_Value), 0);
    EXPECT_EQ(field(b->Press_Time), 0u);
    EXPECT_EQ(field(b->Release_Time), 0u);
}

size_t count_lines(const std::string &line)
{
    auto lines = sim::trace_lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// ---------------------------------------------------------------- building one bind

struct BuildCase {
    const char *name;
    ULONG type;
    UCHAR index;
    UCHAR invert;
    SHORT s1, s2, s3;
    ULONG action;
    USHORT p;
    const char *stored; // the 34 persisted bytes that must result
};

class CreateBindTest : public SimTest, public testing::WithParamInterface<BuildCase> {};

TEST_P(CreateBindTest, StoresAndBoundsItsArguments)
{
    const BuildCase &c = GetParam();
    BIND *head = nullptr;
    MIVO_Create_NextBind(&head, c.type, c.index, c.invert, c.s1, c.s2, c.s3, c.action, c.p);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(persisted(head), hex(c.stored));
    EXPECT_EQ(field(head->Next), nullptr);
    expect_runtime_zero(head);
    free_binds(head);
}

const BuildCase kBuildCases[] = {
    {"ButtonGivingNothingBecomesOnOff", SOURCE_BUTTON, 1, 0, 0, 0, 0, ACTION_CONSUMER, 3,
     "01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 0A 00 00 00 03 00 00 00 00 00 00 00 F4 01 00 00 00 00"},
    {"ButtonKeepsNegativePressedValue", SOURCE_BUTTON, 1, 1, 0, -350, 0, ACTION_JOY_AXIS, 7,
     "01 00 00 00 01 01 00 00 A2 FE 00 00 00 00 00 00 01 00 00 00 07 00 00 00 00 00 00 00 F4 01 00 00 00 00"},
    {"ButtonReleasedValueAloneIsKept", SOURCE_BUTTON, 2, 0, 5, 0, TRIGGER_TAP, ACTION_JOY_BUTTON, 3,
     "01 00 00 00 02 00 05 00 00 00 00 00 00 00 00 00 02 00 00 00 03 00 00 00 00 00 00 00 F4 01 01 00 00 00"},
    {"ButtonTriggerModeSignExtended", SOURCE_BUTTON, 0, 0, 0, 0, -1, ACTION_MOUSE_BUTTON, 9,
     "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 07 00 00 00 04 00 00 00 00 00 00 00 F4 01 FF FF FF FF"},
    {"AxisLimitsAndDirection", SOURCE_AXIS, 5, 1, 10, 200, 2, ACTION_JOY_AXIS, 12,
     "00 00 00 00 05 01 00 00 0A 00 C8 00 02 00 00 00 01 00 00 00 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"AxisDirectionSignExtended", SOURCE_AXIS, 0, 0, 0, 0, -1, ACTION_JOY_HAT, 5,
     "00 00 00 00 00 00 00 00 00 00 00 00 FF FF FF FF 03 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"HatNegativeStaysHighByteDropped", SOURCE_AXIS, 3, 0, 0, 0, 0, ACTION_JOY_HAT, 0x0181,
     "00 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00 03 00 00 00 81 FF FF FF 00 00 00 00 00 00 00 00 00 00"},
    {"JoystickButtonBounded", SOURCE_BUTTON, 0, 0, 0, 1, 0, ACTION_JOY_BUTTON, 12,
     "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 02 00 00 00 07 00 00 00 00 00 00 00 F4 01 00 00 00 00"},
    {"JoystickAxisBoundedAfterByteCut", SOURCE_AXIS, 0, 0, 0, 0, 0, ACTION_JOY_AXIS, 0x0203,
     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"WheelKeepsLowByte", SOURCE_AXIS, 5, 1, 10, 0, 0, ACTION_MOUSE_WHEEL, 500,
     "00 00 00 00 05 01 00 00 0A 00 00 00 00 00 00 00 06 00 00 00 F4 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"MouseSpeedUnbounded", SOURCE_AXIS, 3, 0, 0, 0, 0, ACTION_MOUSE_X, 255,
     "00 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00 04 00 00 00 FF 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"ProfilTargetKeepsAllSixteenBits", SOURCE_BUTTON, 0, 0, 0, 0, 0, ACTION_PROFIL, 0xFFFF,
     "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 09 00 00 00 FF FF 00 00 00 00 00 00 F4 01 00 00 00 00"},
    {"KeyboardGetsNoKeys", SOURCE_BUTTON, 0, 0, 0, 0, 0, ACTION_KEYBOARD, 0x0104,
     "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 08 00 00 00 00 00 00 00 00 00 00 00 F4 01 00 00 00 00"},
    {"UnknownActionKeepsOnlyItsType", SOURCE_AXIS, 0, 0, 0, 0, 0, 11, 5,
     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"UnknownSourceKeepsOnlyItsType", 2, 3, 1, 10, 20, 30, ACTION_CONSUMER, 4,
     "02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0A 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00"},
};

INSTANTIATE_TEST_SUITE_P(Binds, CreateBindTest, testing::ValuesIn(kBuildCases),
                         [](const testing::TestParamInfo<BuildCase> &info) { return std::string(info.param.name); });

class RecordTest : public SimTest {};

TEST_F(RecordTest, NewBindsArePushedAtTheHead)
{
    BIND *head = nullptr;
    MIVO_Create_NextBind(&head, SOURCE_AXIS, 0, 0, 0, 0, 0, ACTION_JOY_AXIS, 0);
    BIND *first = head;
    MIVO_Create_NextBind(&head, SOURCE_AXIS, 1, 0, 0, 0, 0, ACTION_JOY_AXIS, 1);
    MIVO_Create_NextBind(&head, SOURCE_AXIS, 2, 0, 0, 0, 0, ACTION_JOY_AXIS, 2);

    auto list = binds_of(head);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(field(list[0]->Source_Index), 2);
    EXPECT_EQ(field(list[1]->Source_Index), 1);
    EXPECT_EQ(list[2], first) << "the first bind built ends up last";
    free_binds(head);
}

// ---------------------------------------------------------------- stored records

TEST_F(RecordTest, StoredRecordsReadIntoABind)
{
    BIND consumer{};
    consumer.Next = &consumer; // the link and runtime part lie behind the 34 bytes and are not touched
    consumer.Press_Time = 99;
    std::memcpy(&consumer,
                hex("01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 0A 00 00 00 03 00 00 00 00 00 00 00 F4 01 00 00 00 00")
                    .data(),
                BIND_PERSISTED_SIZE);
    EXPECT_EQ(field(consumer.Source_Type), ULONG{SOURCE_BUTTON});
    EXPECT_EQ(field(consumer.Source_Index), 1);
    EXPECT_EQ(field(consumer.Invert), 0);
    EXPECT_EQ(field(consumer.Released_Value), 0);
    EXPECT_EQ(field(consumer.Pressed_Value), 1);
    EXPECT_EQ(field(consumer.Action_Type), ULONG{ACTION_CONSUMER});
    EXPECT_EQ(consumer.Action_Param[0], 3);
    EXPECT_EQ(field(consumer.Hold_Time), 500);
    EXPECT_EQ(field(consumer.Trigger_Mode), TRIGGER_DIRECT);
    EXPECT_EQ(field(consumer.Next), &consumer);
    EXPECT_EQ(field(consumer.Press_Time), 99u);

    BIND key{};
    std::memcpy(&key,
                hex("01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 08 00 00 00 01 00 00 04 00 00 00 00 00 00 00 00 00 00")
                    .data(),
                BIND_PERSISTED_SIZE);
    EXPECT_EQ(field(key.Source_Type), ULONG{SOURCE_BUTTON});
    EXPECT_EQ(field(key.Source_Index), 0);
    EXPECT_EQ(field(key.Pressed_Value), 1);
    EXPECT_EQ(field(key.Released_Value), 0);
    EXPECT_EQ(field(key.Action_Type), ULONG{ACTION_KEYBOARD});
    EXPECT_EQ(field(key.Key_Flags), KEY_PRESS);
    EXPECT_EQ(field(key.Key_Repeat), 0);
    const UCHAR codes[5] = {0x04, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(key.Key_Codes, codes, sizeof(codes)), 0);
    EXPECT_EQ(field(key.Hold_Time), 0);
    EXPECT_EQ(field(key.Trigger_Mode), TRIGGER_DIRECT);
}

// ---------------------------------------------------------------- the base profile

struct BaseRow {
    ULONG type;
    UCHAR index;
    UCHAR invert;
    SHORT w6; // Axis_DeadZone / Released_Value
    SHORT w8; // Axis_Min / Pressed_Value
    LONG direction;
    ULONG action;
    LONG param;
};

// In list order: the first row is the head of the finished list.
const BaseRow kBaseRows[] = {
    {SOURCE_BUTTON, 1, 0, 0, 1, 0, ACTION_CONSUMER, 3},
    {SOURCE_BUTTON, 0, 0, 0, 1, 0, ACTION_CONSUMER, 2},
    {SOURCE_AXIS, 5, 1, 0, 10, 0, ACTION_MOUSE_WHEEL, 244},
    {SOURCE_AXIS, 3, 0, 0, 0, 0, ACTION_MOUSE_Y, 100},
    {SOURCE_AXIS, 4, 0, 0, 0, 0, ACTION_MOUSE_X, 100},
    {SOURCE_BUTTON, 1, 0, 0, 1, 0, ACTION_JOY_BUTTON, 4},
    {SOURCE_BUTTON, 0, 1, 0, 1, 0, ACTION_JOY_BUTTON, 1},
    {SOURCE_BUTTON, 0, 0, 0, 1, 0, ACTION_JOY_BUTTON, 0},
    {SOURCE_BUTTON, 1, 1, 0, -350, 0, ACTION_JOY_AXIS, 7},
    {SOURCE_BUTTON, 1, 0, 0, 350, 0, ACTION_JOY_AXIS, 7},
    {SOURCE_AXIS, 5, 1, 0, 0, 1, ACTION_JOY_AXIS, 6},
    {SOURCE_AXIS, 5, 0, 0, 0, 0, ACTION_JOY_AXIS, 5},
    {SOURCE_AXIS, 3, 0, 0, 0, 0, ACTION_JOY_AXIS, 4},
    {SOURCE_AXIS, 4, 0, 0, 0, 0, ACTION_JOY_AXIS, 3},
    {SOURCE_AXIS, 2, 0, 0, 0, 0, ACTION_JOY_AXIS, 2},
    {SOURCE_AXIS, 1, 0, 0, 0, 0, ACTION_JOY_AXIS, 1},
    {SOURCE_AXIS, 0, 0, 0, 0, 0, ACTION_JOY_AXIS, 0},
    {SOURCE_AXIS, 4, 0, 0, 15, 0, ACTION_JOY_HAT, 1},
    {SOURCE_AXIS, 3, 0, 0, 15, 0, ACTION_JOY_HAT, 0},
};

// The 34 bytes a row must be stored as: axis rows have no limit, no hold time
// and a direct trigger; button rows have a 500 ms hold time and a direct trigger.
Bytes stored_row(const BaseRow &r)
{
    BIND e{};
    e.Source_Type = r.type;
    e.Source_Index = r.index;
    e.Invert = r.invert;
    e.Axis_DeadZone = r.w6;
    e.Axis_Min = r.w8;
    e.Axis_Direction = r.direction;
    e.Action_Type = r.action;
    e.Action_Hat = r.param; // little-endian: a byte parameter lands at offset 20
    e.Hold_Time = r.type == SOURCE_BUTTON ? 500 : 0;
    return persisted(&e);
}

void expect_base_list(const PROFIL *p, size_t missing_row /* 0 = none, else 1-based */)
{
    auto list = binds_of(p->Binds);
    std::vector<Bytes> expected;
    for (size_t i = 0; i < std::size(kBaseRows); i++) {
        if (i + 1 != missing_row) {
            expected.push_back(stored_row(kBaseRows[i]));
        }
    }
    ASSERT_EQ(list.size(), expected.size());
    for (size_t i = 0; i < list.size(); i++) {
        EXPECT_EQ(persisted(list[i]), expected[i]) << "bind " << i + 1 << " of the list";
        expect_runtime_zero(list[i]);
    }
}

TEST_F(RecordTest, BaseProfileHoldsItsNineteenBindsInOrder)
{
    auto dx = std::make_unique<DEVICE_EXTENSION>();
    PROFIL *p = MIVO_Profil_ZERO(dx.get());
    ASSERT_NE(p, nullptr);

    EXPECT_EQ(p->Profil_Id, -1);
    const std::u16string name = u"Base Profil";
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(p->Profil_Name)), name);
    for (size_t i = name.size(); i < PROFIL_NAME_CHARS; i++) {
        EXPECT_EQ(p->Profil_Name[i], 0) << "the name is zero-filled behind its text, at " << i;
    }
    EXPECT_EQ(p->DeadZone, 50);
    EXPECT_EQ(p->Next, nullptr);

    expect_base_list(p, 0);
    // The first bind is the first stored record of the format's own examples.
    EXPECT_EQ(persisted(p->Binds),
              hex("01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 0A 00 00 00 03 00 00 00 00 00 00 00 F4 01 00 00 00 00"));
    EXPECT_TRUE(sim::trace_lines().empty()) << "a successful build traces nothing";
    free_profil(p);
}

// ---------------------------------------------------------------- running out of pool

TEST_F(RecordTest, BindThatCannotBeAllocatedLeavesTheListAsItWas)
{
    BIND *head = nullptr;
    MIVO_Create_NextBind(&head, SOURCE_AXIS, 0, 0, 0, 0, 0, ACTION_JOY_AXIS, 0);
    BIND *const old_head = head;

    sim::pool_fail_nth(1);
    MIVO_Create_NextBind(&head, SOURCE_BUTTON, 1, 0, 0, 1, 0, ACTION_CONSUMER, 3);

    EXPECT_EQ(head, old_head);
    EXPECT_EQ(field(head->Next), nullptr);
    EXPECT_EQ(sim::trace_lines(), std::vector<std::string>{"> Leave: MIVO_Create_NextBind: ExAllocatePool Error"});

    MIVO_Create_NextBind(&head, SOURCE_AXIS, 2, 0, 0, 0, 0, ACTION_JOY_AXIS, 2);
    EXPECT_EQ(binds_of(head).size(), 2u) << "the pool comes back, and so do the binds";
    free_binds(head);
}

TEST_F(RecordTest, BaseProfileWithoutPoolIsNone)
{
    auto dx = std::make_unique<DEVICE_EXTENSION>();
    sim::pool_fail_nth(1);
    EXPECT_EQ(MIVO_Profil_ZERO(dx.get()), nullptr);
    EXPECT_EQ(sim::trace_lines(), std::vector<std::string>{"> Leave: MIVO_Profil_ZERO: ExAllocatePool Error"});
}

TEST_F(RecordTest, BaseProfileLacksOnlyTheBindThatCouldNotBeAllocated)
{
    auto dx = std::make_unique<DEVICE_EXTENSION>();
    // Allocation 1 is the profile; the binds follow in build order, the last
    // row of the list first.
    for (uint64_t n = 2; n <= 20; n++) {
        SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
        sim::trace_clear();
        sim::pool_fail_nth(n);
        PROFIL *p = MIVO_Profil_ZERO(dx.get());
        sim::pool_fail_clear();
        ASSERT_NE(p, nullptr);
        expect_base_list(p, 21 - n);
        EXPECT_EQ(count_lines("> Leave: MIVO_Create_NextBind: ExAllocatePool Error"), 1u);
        free_profil(p);
    }
}

} // namespace
