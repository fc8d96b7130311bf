// The control application's command words, the report 0xF0 they become, and
// the status report read back.
#include <gtest/gtest.h>

#include "tests/support/bytes.h"
#include "tools/lib/control.h"

using namespace mivo::control;
using test_bytes::hex;

namespace {

std::vector<std::string> words_of(const std::string &line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

TEST(Control, EachCommandBecomesItsReport)
{
    const struct {
        const char *words;
        const char *report;
        const char *reads_back = nullptr; // the words again unless given
    } cases[] = {
        {"resend", "F0 01 00 00"},
        {"reload", "F0 02 00 00"},
        {"led on", "F0 04 01 00"},
        {"init", "F0 06 00 00"},
        {"calibrate", "F0 07 00 00"},
        {"profile 3", "F0 08 03 00"},
        {"profile -1", "F0 08 FF FF"},
        {"profile 258", "F0 08 02 01"},
        {"profile -32768", "F0 08 00 80"},
        {"profile -0", "F0 08 00 00", "profile 0"},
        {"config on", "F0 FF 01 00"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.words);
        std::vector<std::string> words = words_of(c.words);
        Result<Command> parsed = parse_command(words);
        ASSERT_TRUE(parsed) << parsed.error;
        Report r = encode(*parsed.value);
        EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.end()), hex(c.report));
        // What the timeline prints for a write must read back as the words.
        EXPECT_EQ(describe(std::span<const uint8_t>(r)), c.reads_back ? c.reads_back : c.words);
    }
}

TEST(Control, BadWordsAreRefusedWithWhatWasWrong)
{
    const struct {
        const char *words;
        const char *error;
    } cases[] = {
        {"", "no command given (commands: reload, resend, led, init, calibrate, profile, config)"},
        {"reboot", "unknown command 'reboot' (commands: reload, resend, led, init, calibrate, profile, config)"},
        {"profile", "profile: expected a profile id from -32768 to 32767"},
        {"profile 3x", "profile: '3x' is not a number from -32768 to 32767"},
        {"profile 32768", "profile: '32768' is not a number from -32768 to 32767"},
        {"profile 99999999999999999999", "profile: '99999999999999999999' is not a number"},
        {"profile 0x10", "profile: '0x10' is not a number"},
        {"profile 3 4", "profile: unexpected '4'"},
        {"led 1", "led: expected 'on' or 'off', not '1'"},
        {"reload now", "reload: unexpected 'now'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.words);
        Result<Command> parsed = parse_command(words_of(c.words));
        EXPECT_FALSE(parsed);
        EXPECT_TRUE(parsed.error.starts_with(c.error)) << parsed.error;
    }
}

TEST(Control, WrittenReportsAreDescribedAsTheDriverReadsThem)
{
    const struct {
        const char *report, *text;
    } cases[] = {
        {"F0 08", "profile 0"},          // missing bytes read as 0
        {"F0 04 02 00", "led on"},       // any byte but 0 is on
        {"F0 FF 80", "config on"},
        {"F0 FE", "unknown command 0xfe"},
        {"04 01", "report 0x04 for the device"},
        {"", "report 0x00 for the device"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.report);
        EXPECT_EQ(describe(std::span<const uint8_t>(hex(c.report))), c.text);
    }
}

TEST(Control, StatusReportIsDecodedAndAnythingElseRefused)
{
    const struct {
        const char *report;
        std::optional<Status> status;
        const char *text_or_error;
    } cases[] = {
        {"F0 01 03 00", Status{true, 3}, "running, profile 3"},
        {"F0 00 FF FF", Status{false, -1}, "not running yet, profile -1"},
        {"F0 01 00 80", Status{true, -32768}, "running, profile -32768"},
        {"F0 01 03", std::nullopt, "not a status report: expected 4 bytes starting with f0, got 3 bytes (f0 01 03)"},
        {"F1 01 03 00", std::nullopt, "got 4 bytes (f1 01 03 00)"},
        {"", std::nullopt, "got nothing"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.report);
        test_bytes::Bytes bytes = hex(c.report);
        Result<Status> r = decode_status(bytes);
        EXPECT_EQ(r.value, c.status);
        if (r) {
            EXPECT_EQ(describe(*r.value), c.text_or_error);
        } else {
            EXPECT_NE(r.error.find(c.text_or_error), std::string::npos) << r.error;
        }
    }
}

TEST(Control, HexReadsPairsAndNamesTheBadWord)
{
    EXPECT_EQ(parse_hex("f0 08 03 00").value, hex("F0 08 03 00"));
    EXPECT_EQ(parse_hex("F00803\t00").value, hex("F0 08 03 00"));
    EXPECT_EQ(parse_hex("f0 8").error, "bad hex '8': bytes are pairs of hex digits");
    EXPECT_EQ(parse_hex("f0 0g").error, "bad hex '0g'");
    EXPECT_EQ(hex(std::vector<uint8_t>{0xF0, 0x0A}), "f0 0a");
}

} // namespace
