// The command channel, written to through the class driver and the dispatch
// routine: each command of report 0xF0 with its trace and what it does by the
// end of the next worker pass (the profile, the configuration mode and a
// reload only then: the writer posts them), the length of a write, the reports
// passed through to the device, and what requests of one interval between two
// passes come to.
#include <gmock/gmock.h>

#include <array>
#include <functional>

#include "tests/support/hid_device.h"

using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::Not;

namespace {

using namespace hid_device;

class CommandChannel : public HidDeviceTest {
protected:
    void before_start() override
    {
        sim::reg_set_dword(kLayout, "Default_Profil", 5);
        for (SHORT id : {0, 5, 7}) store_profile(id);
    }

    void SetUp() override
    {
        HidDeviceTest::SetUp();
        ASSERT_EQ(current_id(), 5) << "the start's reload picked the default profile";
        settle();
    }

    // Passes until the LED queue has run out (it never does while the
    // configuration mode restarts its pattern); then nothing recorded and no
    // report waiting with the class driver.
    void settle()
    {
        for (int n = 0; n < 300 && dx->LedQueue != nullptr && dx->ModeConfig == 0; n++) pass();
        ASSERT_TRUE(dx->LedQueue == nullptr || dx->ModeConfig != 0) << "an LED pattern that never ends";
        hid->take_reports();
        usb->clear_records();
        sim::trace_clear();
    }

    // The profile named by the last status report the class driver got since
    // the last take, or -2 when none came.
    SHORT reported_profile()
    {
        SHORT id = -2;
        for (const sim::HidDelivered &d : hid->take_reports())
            if (d.bytes.at(0) == REPORT_ID_STATUS) id = SHORT(d.bytes.at(2) | d.bytes.at(3) << 8);
        return id;
    }

    Bytes sent_data() const
    {
        Bytes out;
        for (const sim::ControlTransfer &t : usb->set_reports()) out.insert(out.end(), t.data.begin(), t.data.end());
        return out;
    }

    // The trace of the write itself, without the dispatch routine's lines.
    static Lines channel_lines()
    {
        Lines lines = sim::trace_lines();
        std::erase_if(lines, [](const std::string &l) { return l.find("MIVO_DispatchIntDevice") != std::string::npos; });
        return lines;
    }
};

// Each row writes one report after the last, under each of the three codes in
// turn, and checks it twice: right after the write (what the writing thread
// did itself), and after the next pass of the worker (what it took from the post).
TEST_F(CommandChannel, EachCommandWithItsTraceAndItsEffectByTheNextPass)
{
    struct Row {
        const char *name;
        Bytes report;
        Lines trace;
        std::function<void()> after_write, after_pass;
    };
    auto nothing = [] {};
    const Row rows[] = {
        {"input changed: status and raw reports due again", {0xF0, 0x01}, {"report_id 0xf0 0x1", "hid_input_changed"},
         [&] { EXPECT_EQ(MIVO_pending_get(dx), 0xF0u) << "the writer does not wake the worker"; },
         [&] {
             EXPECT_EQ(delivered_ids(), (Bytes{REPORT_ID_STATUS, REPORT_ID_RAW_TRANSLATION, REPORT_ID_RAW_ROTATION,
                                               REPORT_ID_RAW_BUTTONS}));
         }},
        {"reset input: a rebuild at the next pass", {0xF0, 0x02}, {"report_id 0xf0 0x2", "Reset_Input"},
         [&] { EXPECT_THAT(sim::trace_lines(), Not(Contains("> Enter: MIVO_InitState: Build - 1079"))); },
         [&] {
             EXPECT_THAT(sim::trace_lines(), Contains("> Enter: MIVO_InitState: Build - 1079"));
             EXPECT_EQ(current_id(), 5) << "the rebuild keeps the current profile";
             EXPECT_EQ(led_pattern(), (std::vector<LONGLONG>{250, 150, 100})) << "the reload pattern";
             EXPECT_EQ(delivered_ids().size(), 8u) << "every report due again";
         }},
        {"LED on", {0xF0, 0x04, 0x01}, {"report_id 0xf0 0x4", "MIVO_nav_led"},
         [&] {
             EXPECT_EQ(MIVO_led_flag(), 1);
             EXPECT_EQ(sent_data(), (Bytes{0x04, 0x01}));
         },
         [&] { EXPECT_TRUE(usb->led()); }},
        {"LED with its byte missing: off", {0xF0, 0x04}, {"report_id 0xf0 0x4", "MIVO_nav_led"},
         [&] {
             EXPECT_EQ(MIVO_led_flag(), 0);
             EXPECT_EQ(sent_data(), (Bytes{0x04, 0x00}));
         },
         [&] { EXPECT_FALSE(usb->led()); }},
        {"init", {0xF0, 0x06}, {"report_id 0xf0 0x6", "MIVO_nav_init"},
         [&] { EXPECT_EQ(sent_data(), (Bytes{0x06, 0x03})); }, nothing},
        {"calibrate", {0xF0, 0x07}, {"report_id 0xf0 0x7", "MIVO_nav_calibrate"},
         [&] { EXPECT_EQ(sent_data(), (Bytes{0x07, 0x00})); }, nothing},
        {"profile 7", {0xF0, 0x08, 0x07, 0x00}, {"report_id 0xf0 0x8", "Profil Num : 7"},
         [&] {
             EXPECT_EQ(current_id(), 5) << "the writer only posts";
             EXPECT_TRUE(led_pattern().empty()) << "the writer never touches the LED queue";
         },
         [&] {
             EXPECT_EQ(current_id(), 7);
             EXPECT_EQ(reported_profile(), 7) << "the status report names it";
             EXPECT_EQ(led_pattern(), std::vector<LONGLONG>{125}) << "the selection pattern";
         }},
        {"profile FF FF is -1, the base profile", {0xF0, 0x08, 0xFF, 0xFF}, {"report_id 0xf0 0x8", "Profil Num : -1"},
         [&] { EXPECT_EQ(current_id(), 7); },
         [&] {
             EXPECT_EQ(current_id(), -1);
             EXPECT_EQ(reported_profile(), -1);
         }},
        {"profile, id missing: 0", {0xF0, 0x08}, {"report_id 0xf0 0x8", "Profil Num : 0"}, nothing,
         [&] { EXPECT_EQ(current_id(), 0); }},
        {"profile not stored: the default", {0xF0, 0x08, 0x09, 0x00}, {"report_id 0xf0 0x8", "Profil Num : 9"}, nothing,
         [&] {
             EXPECT_EQ(current_id(), 5);
             EXPECT_THAT(sim::trace_lines(), Contains("Profil 9 Not Found look for default 5"));
         }},
        {"configuration mode on", {0xF0, 0xFF, 0x01}, {"report_id 0xf0 0xff", "ModeConfig  : 1"},
         [&] {
             EXPECT_EQ(dx->ModeConfig, 0);
             EXPECT_TRUE(led_pattern().empty());
         },
         [&] {
             EXPECT_EQ(dx->ModeConfig, 1);
             EXPECT_EQ(led_pattern(), std::vector<LONGLONG>{100}) << "the step's configuration pattern";
         }},
        {"configuration mode off", {0xF0, 0xFF, 0x00}, {"report_id 0xf0 0xff", "ModeConfig  : 0"},
         [&] { EXPECT_EQ(dx->ModeConfig, 1); },
         [&] {
             EXPECT_EQ(dx->ModeConfig, 0);
             EXPECT_EQ(led_pattern(), std::vector<LONGLONG>{50}) << "the end-of-configuration pattern";
         }},
        {"unknown 0x03: nothing at all", {0xF0, 0x03, 0x01}, {"report_id 0xf0 0x3", "unknown write command: 0x3"},
         nothing,
         [&] {
             EXPECT_TRUE(usb->set_reports().empty());
             EXPECT_EQ(current_id(), 5);
             EXPECT_EQ(dx->ModeConfig, 0);
             EXPECT_TRUE(led_pattern().empty());
             EXPECT_TRUE(delivered_ids().empty());
         }},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        const Row &row = rows[i];
        SCOPED_TRACE(row.name);
        settle();
        sim::HidWriteResult w = write(row.report, kWriteCodes[i % 3]);
        EXPECT_EQ(w.status, STATUS_SUCCESS);
        EXPECT_EQ(w.information, row.report.size());
        EXPECT_EQ(channel_lines(), row.trace);
        row.after_write();

        pass();
        row.after_pass();
    }
}

// Bytes past the length given read as 0, whatever the caller's buffer holds.
TEST_F(CommandChannel, BytesPastTheLengthReadAsZero)
{
    Bytes report{0xF0, 0x08, 0x07, 0x00};
    HID_XFER_PACKET packet{};
    packet.reportBuffer = report.data();
    packet.reportBufferLen = 2;
    packet.reportId = 0xF0;
    sim::Request r(self, {.ioctl = IOCTL_HID_WRITE_REPORT, .output_length = sizeof packet});
    std::memcpy(r.output().data(), &packet, sizeof packet);
    EXPECT_EQ(r.send(), STATUS_SUCCESS);
    EXPECT_EQ(r.information(), 2u);
    pass();
    EXPECT_EQ(current_id(), 0);
}

// Every report but 0xF0 goes to the device as a SET_REPORT of its type, with
// at most 8 bytes counted; an empty write is report ID 0, which the device
// path refuses without sending anything.
TEST_F(CommandChannel, OtherReportsPassThroughToTheDeviceCutTo8Bytes)
{
    const struct {
        const char *name;
        Bytes report;
        NTSTATUS status;
        std::array<uint8_t, 8> setup;
        Bytes data;
    } rows[] = {
        {"output report 4 of 4 bytes: its 2", {0x04, 0x01, 0xAA, 0xBB}, STATUS_SUCCESS,
         {0x21, 0x09, 0x04, 0x02, 0, 0, 0x02, 0}, {0x04, 0x01}},
        {"12 bytes: 8", {0x07, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, STATUS_SUCCESS,
         {0x21, 0x09, 0x07, 0x03, 0, 0, 0x08, 0}, {0x07, 1, 2, 3, 4, 5, 6, 7}},
        {"empty", {}, STATUS_INVALID_PARAMETER, {}, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        settle();
        sim::HidWriteResult w = write(row.report);
        EXPECT_EQ(w.status, row.status);
        EXPECT_EQ(w.information, row.data.size()) << "the bytes the transfer reported";
        std::vector<sim::ControlTransfer> seen = usb->set_reports();
        ASSERT_EQ(seen.size(), row.data.empty() ? 0u : 1u);
        if (!seen.empty()) {
            EXPECT_THAT(seen[0].setup, ElementsAreArray(row.setup));
            EXPECT_EQ(seen[0].data, row.data);
        }
    }
    EXPECT_EQ(MIVO_led_flag(), 0) << "a report 4 written for the device is not the LED command";
    EXPECT_EQ(write({0xF0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).information, 8u) << "a command of 12 bytes counts 8";
}

// The device's failure is the write's; the LED's resting state changes anyway.
TEST_F(CommandChannel, AFailedTransferFailsTheWrite)
{
    usb->fail_control(sim::ControlFault::Stall);
    for (const Bytes &report : {Bytes{0xF0, 0x04, 0x01}, Bytes{0xF0, 0x06}, Bytes{0xF0, 0x07}, Bytes{0x05, 0x42}}) {
        sim::HidWriteResult w = write(report);
        EXPECT_EQ(w.status, STATUS_UNSUCCESSFUL) << int(report[1]);
        EXPECT_EQ(w.information, 0u) << "no bytes reported on failure";
    }
    EXPECT_EQ(MIVO_led_flag(), 1);
    EXPECT_EQ(write({0xF0, 0x08, 0x07, 0x00}).status, STATUS_SUCCESS) << "a post needs no device";
}

// Requests written between two passes, and what the worker makes of them: one
// slot per kind (the last request wins), the mode before the profile, the
// rebuild before both.
TEST_F(CommandChannel, RequestsOfOneIntervalComeToTheLastOfEachKind)
{
    const struct {
        const char *name;
        UCHAR mode_before;
        std::vector<Bytes> writes;
        UCHAR mode;
        SHORT profile;
        std::vector<LONGLONG> pattern;
        int searches; // "Search Profil" lines after the writes
    } rows[] = {
        {"two profiles: only the last is searched", 0, {{0xF0, 0x08, 0x07, 0x00}, {0xF0, 0x08, 0x00, 0x00}}, 0, 0,
         {125}, 1},
        {"off then on: the mode never ends, no end pattern", 1, {{0xF0, 0xFF, 0x00}, {0xF0, 0xFF, 0x01}}, 1, 5,
         {100}, 0},
        {"on then off: the end pattern", 0, {{0xF0, 0xFF, 0x01}, {0xF0, 0xFF, 0x00}}, 0, 5, {50}, 0},
        {"profile then off: the selection shows", 1, {{0xF0, 0x08, 0x07, 0x00}, {0xF0, 0xFF, 0x00}}, 0, 7, {125}, 1},
        {"reload with a profile: the profile over the rebuild's", 0, {{0xF0, 0x08, 0x07, 0x00}, {0xF0, 0x02}}, 0, 7,
         {125}, 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        // Profile 5, then the mode: its own pattern is what the LED shows.
        for (const Bytes &w : {Bytes{0xF0, 0x08, 0x05, 0x00}, Bytes{0xF0, 0xFF, row.mode_before}}) {
            EXPECT_EQ(write(w).status, STATUS_SUCCESS);
            pass();
            settle();
        }
        for (const Bytes &w : row.writes) EXPECT_EQ(write(w).status, STATUS_SUCCESS);
        pass();
        EXPECT_EQ(dx->ModeConfig, row.mode);
        EXPECT_EQ(current_id(), row.profile);
        EXPECT_EQ(led_pattern(), row.pattern);
        const Lines lines = sim::trace_lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string &l) { return l.find("Search Profil") != std::string::npos; }),
                  row.searches);
    }
}

} // namespace
