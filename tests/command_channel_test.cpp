// The command channel, written to through the class driver and the dispatch
// routine: every code at every length with its trace, status and what the
// writer posts, what each command does by the end of the next worker pass (the
// profile, the configuration mode and a reload only then), the reports passed
// through to the device, and what requests of one interval between two passes
// come to.
#include <gmock/gmock.h>

#include <array>
#include <cstdio>
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

    // The device context as bytes. Read only while the workers wait.
    Bytes context() const
    {
        const auto *p = reinterpret_cast<const uint8_t *>(dx);
        return Bytes(p, p + sizeof *dx);
    }

    static std::string hex(int v)
    {
        char s[8];
        std::snprintf(s, sizeof s, "%x", unsigned(v));
        return s;
    }

    // The trace of the write itself, without the dispatch routine's lines.
    static Lines channel_lines()
    {
        Lines lines = sim::trace_lines();
        std::erase_if(lines, [](const std::string &l) { return l.find("MIVO_DispatchIntDevice") != std::string::npos; });
        return lines;
    }
};

// What the worker makes of each posted command at its next pass; the sweep
// below checks what the write itself does.
TEST_F(CommandChannel, EachCommandTakesEffectByTheNextPass)
{
    struct Row {
        const char *name;
        Bytes report;
        std::function<void()> after_pass;
    };
    const Row rows[] = {
        {"input changed: status and raw reports due again", {0xF0, 0x01},
         [&] {
             EXPECT_EQ(delivered_ids(), (Bytes{REPORT_ID_STATUS, REPORT_ID_RAW_TRANSLATION, REPORT_ID_RAW_ROTATION,
                                               REPORT_ID_RAW_BUTTONS}));
         }},
        {"reset input: a rebuild at the next pass", {0xF0, 0x02},
         [&] {
             EXPECT_THAT(sim::trace_lines(), Contains("> Enter: MIVO_InitState: Build - 1079"));
             EXPECT_EQ(current_id(), 5) << "the rebuild keeps the current profile";
             EXPECT_EQ(led_pattern(), (std::vector<LONGLONG>{250, 150, 100})) << "the reload pattern";
             EXPECT_EQ(delivered_ids().size(), 8u) << "every report due again";
         }},
        {"LED on", {0xF0, 0x04, 0x01}, [&] { EXPECT_TRUE(usb->led()); }},
        {"profile 7", {0xF0, 0x08, 0x07, 0x00},
         [&] {
             EXPECT_EQ(current_id(), 7);
             EXPECT_EQ(reported_profile(), 7) << "the status report names it";
             EXPECT_EQ(led_pattern(), std::vector<LONGLONG>{125}) << "the selection pattern";
         }},
        {"profile FF FF is -1, the base profile", {0xF0, 0x08, 0xFF, 0xFF},
         [&] {
             EXPECT_EQ(current_id(), -1);
             EXPECT_EQ(reported_profile(), -1);
         }},
        {"profile not stored: the default", {0xF0, 0x08, 0x09, 0x00},
         [&] {
             EXPECT_EQ(current_id(), 5);
             EXPECT_THAT(sim::trace_lines(), Contains("Profil 9 Not Found look for default 5"));
         }},
        {"configuration mode on", {0xF0, 0xFF, 0x01},
         [&] {
             EXPECT_EQ(dx->ModeConfig, 1);
             EXPECT_EQ(led_pattern(), std::vector<LONGLONG>{100}) << "the step's configuration pattern";
         }},
        {"configuration mode off", {0xF0, 0xFF, 0x00},
         [&] {
             EXPECT_EQ(dx->ModeConfig, 0);
             EXPECT_EQ(led_pattern(), std::vector<LONGLONG>{50}) << "the end-of-configuration pattern";
         }},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        const Row &row = rows[i];
        SCOPED_TRACE(row.name);
        settle();
        EXPECT_EQ(write(row.report, kWriteCodes[i % 3]).status, STATUS_SUCCESS);
        pass();
        row.after_pass();
    }
}

// Every command code at every length from 0 to 16, through the dispatch
// routine, from a buffer that holds more than its length says (and from no
// buffer at all): the write's status and byte count, its trace, what went to
// the device and what was posted to the worker. Nothing else of the device
// context changes, and bytes past the length (or past 8) never count.
TEST_F(CommandChannel, EveryCodeAtEveryLength)
{
    // Byte 2 makes the parameter 7 from length 3, bytes 2-3 the profile id
    // 0xFF07 (-249) from length 4.
    std::array<uint8_t, 17> buffer;
    buffer.fill(0xA5);
    buffer[0] = REPORT_ID_STATUS, buffer[2] = 0x07, buffer[3] = 0xFF;
    settle();
    const LONG led_before = MIVO_led_flag();
    const ULONG pending_before = MIVO_pending_get(dx);
    const Bytes before = context();
    const size_t posts[] = {offsetof(DEVICE_EXTENSION, PendingReports), offsetof(DEVICE_EXTENSION, ReloadRequested),
                            offsetof(DEVICE_EXTENSION, ProfilRequest), offsetof(DEVICE_EXTENSION, ModeConfigRequest)};
    for (bool no_buffer : {false, true}) {
        for (int code = 0; code < (no_buffer ? 1 : 256); code++) {
            for (ULONG length = 0; length <= 16; length++) {
                SCOPED_TRACE(testing::Message() << "code " << code << " length " << length
                                                << (no_buffer ? " without a buffer" : ""));
                buffer[1] = UCHAR(code);
                HID_XFER_PACKET packet{};
                packet.reportBuffer = no_buffer ? nullptr : buffer.data();
                packet.reportBufferLen = length;
                packet.reportId = REPORT_ID_STATUS;
                sim::Request r(self, {.ioctl = kWriteCodes[length % 3], .output_length = sizeof packet});
                std::memcpy(r.output().data(), &packet, sizeof packet);
                r.send();

                // Without a buffer or a byte the write is an empty report for
                // the device, which refuses it; report 0xF0 alone is code 0.
                const bool empty = no_buffer || length == 0;
                const int c = empty ? -1 : length == 1 ? 0 : code;
                const UCHAR param = length >= 3 ? buffer[2] : 0;
                const SHORT id = SHORT(param | (length >= 4 ? buffer[3] << 8 : 0));
                Lines trace = {empty ? "report_id 0x0 0x0" : "report_id 0xf0 0x" + hex(c)};
                Bytes sent, expected = before;
                LONG led = led_before;
                auto posted = [&](size_t offset, LONG v) { std::memcpy(&expected[offset], &v, sizeof v); };
                switch (c) {
                case -1: break;
                case CMD_INPUT_CHANGED:
                    trace.push_back("hid_input_changed");
                    posted(posts[0], LONG(pending_before | 0xF0));
                    break;
                case CMD_RESET_INPUT: trace.push_back("Reset_Input"), posted(posts[1], 1); break;
                case CMD_NAV_LED: trace.push_back("MIVO_nav_led"), led = param != 0, sent = {0x04, UCHAR(led)}; break;
                case CMD_NAV_INIT: trace.push_back("MIVO_nav_init"), sent = {0x06, 0x03}; break;
                case CMD_NAV_CALIBRATE: trace.push_back("MIVO_nav_calibrate"), sent = {0x07, 0x00}; break;
                case CMD_PROFIL_NUM:
                    trace.push_back("Profil Num : " + std::to_string(id));
                    posted(posts[2], MIVO_REQUEST_PRESENT | USHORT(id));
                    break;
                case CMD_MODE_CONFIG:
                    trace.push_back("ModeConfig  : " + std::to_string(param));
                    posted(posts[3], MIVO_REQUEST_PRESENT | (param != 0));
                    break;
                default: trace.push_back("unknown write command: 0x" + hex(c)); break;
                }

                ASSERT_EQ(r.completions(), 1);
                EXPECT_EQ(r.status(), empty ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
                EXPECT_EQ(r.information(), empty ? 0u : std::min(length, 8u));
                Lines lines = channel_lines();
                if (empty) lines.resize(std::min(lines.size(), trace.size())); // the refused transfer's lines follow
                EXPECT_EQ(lines, trace);
                EXPECT_EQ(sent_data(), sent);
                EXPECT_EQ(MIVO_led_flag(), led);
                EXPECT_EQ(context(), expected);

                // Back to where the sweep began: nothing posted, nothing sent.
                InterlockedExchange(&LedFlag, led_before);
                for (size_t offset : posts) std::memcpy(reinterpret_cast<uint8_t *>(dx) + offset, &before[offset], 4);
                usb->clear_records();
                sim::trace_clear();
            }
        }
    }
}

// Every report but 0xF0 goes to the device as a SET_REPORT of its type, with
// at most 8 bytes counted.
TEST_F(CommandChannel, OtherReportsPassThroughToTheDeviceCutTo8Bytes)
{
    const struct {
        const char *name;
        Bytes report;
        std::array<uint8_t, 8> setup;
        Bytes data;
    } rows[] = {
        {"output report 4 of 4 bytes: its 2", {0x04, 0x01, 0xAA, 0xBB}, {0x21, 0x09, 0x04, 0x02, 0, 0, 0x02, 0},
         {0x04, 0x01}},
        {"12 bytes: 8", {0x07, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {0x21, 0x09, 0x07, 0x03, 0, 0, 0x08, 0},
         {0x07, 1, 2, 3, 4, 5, 6, 7}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        settle();
        sim::HidWriteResult w = write(row.report);
        EXPECT_EQ(w.status, STATUS_SUCCESS);
        EXPECT_EQ(w.information, row.data.size()) << "the bytes the transfer reported";
        std::vector<sim::ControlTransfer> seen = usb->set_reports();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_THAT(seen[0].setup, ElementsAreArray(row.setup));
        EXPECT_EQ(seen[0].data, row.data);
    }
    EXPECT_EQ(MIVO_led_flag(), 0) << "a report 4 written for the device is not the LED command";
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
