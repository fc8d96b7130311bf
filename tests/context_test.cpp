// The device context's report state and raw decoding: reset values, key
// release, the hand-over of device reports and the clamped raw images.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "tests/support/bytes.h"
#include "tests/support/core_device.h"

namespace {

using test_bytes::hex;
using ReportState = CoreDeviceTest;

TEST_F(ReportState, ResetGivesTheValuesOfAFreshState)
{
    auto junk = std::make_unique<DEVICE_EXTENSION>();
    std::memset(junk.get(), 0xA5, sizeof(*junk)); // whatever an earlier session left behind must go
    MIVO_report_state_reset(junk.get());

    // Joystick axes at rest (360), then keyboard, consumer, mouse, status and the raw images.
    EXPECT_EQ(image(junk->ReportState), hex("F1 68 01 68 01 68 01 68 01 68 01 68 01 68 01 68 01 00 00 "
                                            "F2 00 00 00 00 00 00 00  F3 00 00  F4 00 00 00 00  F0 00 00 00 "
                                            "01 00 00 00 00 00 00  02 00 00 00 00 00 00  03 00 00 00 00 00 00"));
    EXPECT_EQ(ULONG{junk->PendingReports}, 0xFFu) << "every report is delivered once after a reload";
    EXPECT_EQ(image(junk->KeyState), Bytes(sizeof(junk->KeyState), 0));
    EXPECT_EQ((std::vector<ULONGLONG>{ULONGLONG(junk->RawInputWord), junk->GestureActive, junk->GestureTime,
                                      junk->GestureHoldStart, junk->GestureLastEvent, junk->NextMouseTime,
                                      junk->LastWheelTime, ULONGLONG(junk->WheelInterval), ULONGLONG(junk->WheelStep)}),
              (std::vector<ULONGLONG>{0, 0, 1500, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ReportState, KeyClearReleasesUnlatchedKeysOrAllWhenForced)
{
    // Only a latched key keeps its state without force; the last entry is covered too.
    const std::pair<UCHAR, bool> entries[] = {
        {KEY_PRESS, false}, {KEY_LATCH, true}, {KEY_UNLATCH, false}, {KEY_REPEAT | KEY_LATCH, true}};
    for (UCHAR force : {0, 1}) {
        const size_t slots[] = {4, 0xE0, 0xE1, KEY_STATE_COUNT - 1};
        for (size_t i = 0; i < 4; i++) dx->KeyState[slots[i]] = {entries[i].first, 100, 1000 + i};
        MIVO_key_clear(dx, force);
        for (size_t i = 0; i < 4; i++) {
            const KEY_STATE &key = dx->KeyState[slots[i]];
            const bool kept = !force && entries[i].second;
            EXPECT_EQ(key.Flags, kept ? entries[i].first : 0) << "force " << int(force) << " entry " << i;
            EXPECT_EQ(key.Repeat, kept ? 100 : 0) << "force " << int(force) << " entry " << i;
            EXPECT_EQ(key.LastSent, 1000 + i) << "LastSent keeps the repeat rhythm in either case";
        }
    }
}

TEST_F(ReportState, RawDecodeCopiesIntoTheImageOfItsReportIdAndClamps)
{
    // Before the decode each image holds a previous report, so a case shows
    // both what changes and what must stay.
    const char *const t0 = "01 0A 00 0B 00 0C 00 ", *const r0 = "02 F6 FF F5 FF F4 FF ", *const b0 = "03 01 00 00 00 00 80 ";
    const struct { const char *name, *report, *translation, *rotation, *buttons; } cases[] = {
        {"translation within range", "01 2C 01 D4 FE 00 00", "01 2C 01 D4 FE 00 00", r0, b0},
        {"rotation clamped both ways", "02 69 01 97 FE 00 80", t0, "02 68 01 98 FE 98 FE", b0},
        {"buttons copied unclamped", "03 02 FF 7F 00 80 00", t0, r0, "03 02 FF 7F 00 80 00"},
        {"largest magnitudes clamped", "01 FF 7F 01 80 68 01", "01 68 01 98 FE 68 01", r0, b0},
        {"report ID 0 ignored", "00 2C 01 D4 FE 00 00", t0, r0, b0},
        {"report ID 4 ignored", "04 01 00 00 00 00 00", t0, r0, b0},
        {"short report reads 0 behind it", "01 2C 01", "01 2C 01 00 00 00 00", r0, b0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::memcpy(&dx->ReportState.RawTranslation, hex(std::string(t0) + r0 + b0).data(), 21); // the last images
        const REPORT_STATE before = dx->ReportState;
        const Bytes report = hex(c.report);
        MIVO_raw_input_store(dx, report.data(), static_cast<ULONG>(report.size()));
        MIVO_raw_decode(dx);
        EXPECT_EQ(image(dx->ReportState.RawTranslation), hex(c.translation));
        EXPECT_EQ(image(dx->ReportState.RawRotation), hex(c.rotation));
        EXPECT_EQ(image(dx->ReportState.RawButtons), hex(c.buttons));
        EXPECT_EQ(std::memcmp(&before, &dx->ReportState, offsetof(REPORT_STATE, RawTranslation)), 0)
            << "decoding touches only the raw images";
        const REPORT_STATE once = dx->ReportState;
        MIVO_raw_decode(dx);
        EXPECT_EQ(std::memcmp(&once, &dx->ReportState, sizeof(once)), 0) << "decoding it again changes nothing";
    }
}

// The USB worker stores reports while the HID worker decodes them, with no lock
// between them: every decoded image must be one whole report.
using ThreadedRawInput = CoreDeviceTest;

TEST_F(ThreadedRawInput, DecodeSeesOnlyWholeReports)
{
    const Bytes a = hex("01 11 00 22 00 33 00"), b = hex("01 EE FF DD FF CC FF");
    std::atomic<bool> stop{false};
    std::thread usb_worker([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); i++) MIVO_raw_input_store(dx, (i & 1) ? b.data() : a.data(), 7);
    });
    int torn = 0;
    for (int pass = 0; pass < 200000; pass++) {
        MIVO_raw_decode(dx);
        const Bytes seen = image(dx->ReportState.RawTranslation);
        torn += seen != a && seen != b && seen != hex("01 00 00 00 00 00 00");
    }
    stop = true;
    usb_worker.join();
    EXPECT_EQ(torn, 0);
}

} // namespace
