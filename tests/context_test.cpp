// The device context's report state and raw decoding: reset values, key
// release, the hand-over of device reports and the clamped raw images.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "core/core.h"
#include "platform/sim/sim.h"
#include "tests/support/bytes.h"
#include "tests/support/sim_test.h"

namespace {

using namespace test_bytes;

// A device extension as device addition leaves it: all zero.
std::unique_ptr<DEVICE_EXTENSION> new_device()
{
    return std::make_unique<DEVICE_EXTENSION>();
}

void store(DEVICE_EXTENSION *dx, const Bytes &report)
{
    MIVO_raw_input_store(dx, report.data(), static_cast<ULONG>(report.size()));
}

class ReportStateTest : public SimTest {};

TEST_F(ReportStateTest, ResetGivesTheValuesOfAFreshState)
{
    auto dx = new_device();
    std::memset(dx.get(), 0xA5, sizeof(*dx)); // whatever an earlier session left behind must go

    MIVO_report_state_reset(dx.get());

    const REPORT_STATE &rs = dx->ReportState;
    EXPECT_EQ(bytes_of(rs.JoystickReport), hex("F1 68 01 68 01 68 01 68 01 68 01 68 01 68 01 68 01 00 00"))
        << "eight axes at rest (360), hat byte 0, no buttons";
    EXPECT_EQ(bytes_of(rs.KeyboardReport), hex("F2 00 00 00 00 00 00 00"));
    EXPECT_EQ(bytes_of(rs.ConsumerReport), hex("F3 00 00"));
    EXPECT_EQ(bytes_of(rs.MouseReport), hex("F4 00 00 00 00"));
    EXPECT_EQ(bytes_of(rs.StatusReport), hex("F0 00 00 00"));
    EXPECT_EQ(bytes_of(rs.RawTranslation), hex("01 00 00 00 00 00 00"));
    EXPECT_EQ(bytes_of(rs.RawRotation), hex("02 00 00 00 00 00 00"));
    EXPECT_EQ(bytes_of(rs.RawButtons), hex("03 00 00 00 00 00 00"));

    EXPECT_EQ(ULONG{dx->PendingReports}, 0xFFu) << "every report is delivered once after a reload";
    EXPECT_EQ(LONG64{dx->RawInputWord}, 0);
    EXPECT_EQ(bytes_of(dx->KeyState), Bytes(sizeof(dx->KeyState), 0));
    EXPECT_EQ(dx->GestureActive, 0);
    EXPECT_EQ(dx->GestureTime, 1500u);
    EXPECT_EQ(dx->GestureHoldStart, 0u);
    EXPECT_EQ(dx->GestureLastEvent, 0u);
    EXPECT_EQ(dx->NextMouseTime, 0u);
    EXPECT_EQ(dx->LastWheelTime, 0u);
    EXPECT_EQ(dx->WheelInterval, 0);
    EXPECT_EQ(dx->WheelStep, 0);
}

TEST_F(ReportStateTest, KeyClearReleasesUnlatchedKeysOrAllWhenForced)
{
    struct Entry {
        UCHAR flags;
        bool survives_unforced; // only a latched key keeps its state without force
    };
    const Entry entries[] = {
        {0, false},
        {KEY_PRESS, false},
        {KEY_LATCH, true},
        {KEY_PRESS | KEY_LATCH, true},
        {KEY_UNLATCH, false},
        {KEY_REPEAT | KEY_PRESS, false},
        {KEY_REPEAT | KEY_LATCH, true},
    };

    for (UCHAR force : {UCHAR{0}, UCHAR{1}}) {
        SCOPED_TRACE(testing::Message() << "force " << int(force));
        auto dx = new_device();
        for (size_t i = 0; i < std::size(entries); i++) {
            KEY_STATE &key = dx->KeyState[0xE0 + i]; // modifiers are ordinary entries here
            key.Flags = entries[i].flags;
            key.Repeat = static_cast<SHORT>(100 + i);
            key.LastSent = 1000 + i;
        }
        dx->KeyState[KEY_STATE_COUNT - 1] = {KEY_LATCH | KEY_REPEAT, 40, 77}; // the last entry is covered too

        MIVO_key_clear(dx.get(), force);

        for (size_t i = 0; i < std::size(entries); i++) {
            const KEY_STATE &key = dx->KeyState[0xE0 + i];
            bool kept = !force && entries[i].survives_unforced;
            EXPECT_EQ(key.Flags, kept ? entries[i].flags : 0) << "entry " << i;
            EXPECT_EQ(key.Repeat, kept ? 100 + int(i) : 0) << "entry " << i;
            EXPECT_EQ(key.LastSent, 1000 + i) << "LastSent keeps the repeat rhythm in either case";
        }
        const KEY_STATE &last = dx->KeyState[KEY_STATE_COUNT - 1];
        EXPECT_EQ(last.Flags, force ? 0 : (KEY_LATCH | KEY_REPEAT));
        EXPECT_EQ(last.LastSent, 77u);
    }
}

TEST_F(ReportStateTest, PendingBitsAreSetAndClearedWithoutTouchingOthers)
{
    auto dx = new_device();
    MIVO_pending_set(dx.get(), PENDING_JOYSTICK | PENDING_STATUS);
    MIVO_pending_set(dx.get(), PENDING_MOUSE);
    EXPECT_EQ(ULONG{dx->PendingReports}, ULONG{PENDING_JOYSTICK | PENDING_STATUS | PENDING_MOUSE});
    MIVO_pending_clear(dx.get(), PENDING_STATUS);
    EXPECT_EQ(ULONG{dx->PendingReports}, ULONG{PENDING_JOYSTICK | PENDING_MOUSE});
    MIVO_pending_set(dx.get(), 0xFFFFFF00u);
    EXPECT_EQ(ULONG{dx->PendingReports}, ULONG{PENDING_JOYSTICK | PENDING_MOUSE})
        << "bits 8-31 name no report and are never set";
}

// ---------------------------------------------------------------- raw decoding

struct DecodeCase {
    const char *name;
    const char *raw_input;
    const char *translation; // expected images after the decode
    const char *rotation;
    const char *buttons;
};

class RawDecodeTest : public SimTest, public testing::WithParamInterface<DecodeCase> {};

// Images before the decode: each holds a previous report, so a case shows both
// what changes and what must stay.
constexpr const char *kBeforeTranslation = "01 0A 00 0B 00 0C 00";
constexpr const char *kBeforeRotation = "02 F6 FF F5 FF F4 FF";
constexpr const char *kBeforeButtons = "03 01 00 00 00 00 80";

TEST_P(RawDecodeTest, CopiesIntoTheImageOfItsReportIdAndClamps)
{
    const DecodeCase &c = GetParam();
    auto dx = new_device();
    MIVO_report_state_reset(dx.get());
    std::memcpy(&dx->ReportState.RawTranslation, hex(kBeforeTranslation).data(), 7);
    std::memcpy(&dx->ReportState.RawRotation, hex(kBeforeRotation).data(), 7);
    std::memcpy(&dx->ReportState.RawButtons, hex(kBeforeButtons).data(), 7);
    const REPORT_STATE before = dx->ReportState;

    store(dx.get(), hex(c.raw_input));
    MIVO_raw_decode(dx.get());

    EXPECT_EQ(bytes_of(dx->ReportState.RawTranslation), hex(c.translation));
    EXPECT_EQ(bytes_of(dx->ReportState.RawRotation), hex(c.rotation));
    EXPECT_EQ(bytes_of(dx->ReportState.RawButtons), hex(c.buttons));
    EXPECT_EQ(std::memcmp(&before, &dx->ReportState, offsetof(REPORT_STATE, RawTranslation)), 0)
        << "decoding touches only the raw images";

    const REPORT_STATE once = dx->ReportState;
    MIVO_raw_decode(dx.get());
    EXPECT_EQ(std::memcmp(&once, &dx->ReportState, sizeof(once)), 0) << "decoding the same report again changes nothing";
}

const DecodeCase kDecodeCases[] = {
    {"TranslationWithinRange", "01 2C 01 D4 FE 00 00", "01 2C 01 D4 FE 00 00", kBeforeRotation, kBeforeButtons},
    {"RotationClampedBothWays", "02 69 01 97 FE 00 80", kBeforeTranslation, "02 68 01 98 FE 98 FE",
     kBeforeButtons},
    {"FullDeflectionStays", "01 68 01 98 FE 01 00", "01 68 01 98 FE 01 00", kBeforeRotation, kBeforeButtons},
    {"LargestMagnitudesClamped", "01 FF 7F 01 80 00 80", "01 68 01 98 FE 98 FE", kBeforeRotation,
     kBeforeButtons},
    {"ButtonsCopiedUnclamped", "03 02 FF 7F 00 80 00", kBeforeTranslation, kBeforeRotation,
     "03 02 FF 7F 00 80 00"},
    {"ReportIdZeroChangesNothing", "00 2C 01 D4 FE 00 00", kBeforeTranslation, kBeforeRotation, kBeforeButtons},
    {"ReportIdFourChangesNothing", "04 01 00 00 00 00 00", kBeforeTranslation, kBeforeRotation, kBeforeButtons},
    // Stored short: the bytes behind it read 0, not the tail of an earlier report.
    {"ShortReportReadsZeroBehindIt", "01 2C 01", "01 2C 01 00 00 00 00", kBeforeRotation, kBeforeButtons},
    {"LongReportCutAtSevenBytes", "01 01 00 02 00 03 00 04 05", "01 01 00 02 00 03 00", kBeforeRotation,
     kBeforeButtons},
};

INSTANTIATE_TEST_SUITE_P(Reports, RawDecodeTest, testing::ValuesIn(kDecodeCases),
                         [](const testing::TestParamInfo<DecodeCase> &info) { return std::string(info.param.name); });

// The USB worker stores reports while the HID worker decodes them, with no lock
// between them: every decoded image must be one whole report, never the head of
// one and the tail of the next.
TEST(ThreadedRawInput, DecodeSeesOnlyWholeReports)
{
    sim::reset();
    auto dx = new_device();
    MIVO_report_state_reset(dx.get());

    const Bytes a = hex("01 11 00 22 00 33 00");
    const Bytes b = hex("01 EE FF DD FF CC FF");
    std::atomic<bool> stop{false};
    std::thread usb_worker([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); i++) {
            store(dx.get(), (i & 1) ? b : a);
        }
    });

    int torn = 0;
    for (int pass = 0; pass < 200000; pass++) {
        MIVO_raw_decode(dx.get());
        Bytes image = bytes_of(dx->ReportState.RawTranslation);
        if (image != a && image != b && image != hex("01 00 00 00 00 00 00")) {
            torn++;
        }
    }
    stop = true;
    usb_worker.join();
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(sim::problems().empty());
}

} // namespace
