// The simulator's own parts: the trace-file parser and the decoding of the
// reports it prints.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tools/lib/report_format.h"
#include "tools/lib/trace_file.h"

using namespace mivo::tools;

namespace {

std::vector<uint8_t> bytes_of(const char *hex)
{
    std::vector<uint8_t> out;
    unsigned v;
    int n;
    while (std::sscanf(hex, "%2x%n", &v, &n) == 1) {
        out.push_back(uint8_t(v));
        hex += n;
        while (*hex == ' ') hex++;
    }
    return out;
}

// ---------------------------------------------------------------- trace files

TEST(TraceFile, ReadsReportsCommentsAndBlankLines)
{
    const char *text = "# a recorded session\n"
                       "\n"
                       "0 01 2C 01 D4 FE 00 00   # push right\r\n"
                       "   \t\n"
                       "10 03 02\n"
                       "10 020000000000F0\n"
                       "2500 03 00 00 00 00 00 00";
    std::vector<TraceEvent> events = parse_trace(text, "session.trace");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].t_ms, 0u);
    EXPECT_EQ(events[0].bytes, bytes_of("01 2C 01 D4 FE 00 00"));
    EXPECT_EQ(events[0].line, 3);
    EXPECT_EQ(events[1].bytes, bytes_of("03 02")) << "a short report is taken as it is";
    EXPECT_EQ(events[2].t_ms, 10u) << "two reports may share a time";
    EXPECT_EQ(events[2].bytes, bytes_of("02 00 00 00 00 00 F0")) << "bytes may be run together";
    EXPECT_EQ(events[3].t_ms, 2500u);
    EXPECT_EQ(events[3].line, 7) << "a last line without a line feed still counts";
}

TEST(TraceFile, EmptyOrCommentOnlyTraceHasNoReports)
{
    EXPECT_TRUE(parse_trace("", "x").empty());
    EXPECT_TRUE(parse_trace("# nothing\n\n   # still nothing\n", "x").empty());
    EXPECT_EQ(parse_trace("\xEF\xBB\xBF" "5 01\n", "x").size(), 1u) << "a UTF-8 BOM is not part of the time";
}

TEST(TraceFile, MalformedLinesAreLocated)
{
    struct Case {
        const char *name;
        const char *text;
        int line;
        const char *message_part;
    };
    const Case cases[] = {
        {"negative time", "0 01\n-5 01 00\n", 2, "bad time '-5'"},
        {"fractional time", "1.5 01 00", 1, "bad time '1.5'"},
        {"time with a unit", "10ms 01 00", 1, "bad time '10ms'"},
        {"time out of range", "99999999999999999999 01", 1, "out of range"},
        {"time beyond a day", "0 01\n86400001 01", 2, "out of range (at most 86400000 ms, a day)"},
        {"no bytes", "\n\n40   # nothing else\n", 3, "no report bytes"},
        {"odd hex digits", "0 01 2C 1", 1, "bad hex '1'"},
        {"not hex", "0 01 ZZ", 1, "bad hex 'ZZ'"},
        {"hex prefix", "0 0x01", 1, "bad hex '0x01'"},
        {"eight bytes", "0 01 00 00 00 00 00 00 00", 1, "too many bytes: 8"},
        {"eight bytes run together", "0 0100000000000000", 1, "too many bytes: 8"},
        {"time goes backwards", "100 01\n# c\n99 01\n", 3, "time goes backwards: 99 ms after 100 ms on line 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        try {
            parse_trace(c.text, "in.trace");
            ADD_FAILURE() << "accepted";
        } catch (const TraceParseError &e) {
            EXPECT_EQ(e.file, "in.trace");
            EXPECT_EQ(e.line, c.line);
            EXPECT_NE(e.message.find(c.message_part), std::string::npos) << e.message;
            EXPECT_EQ(std::string(e.what()), "in.trace:" + std::to_string(c.line) + ": " + e.message);
        }
    }
}

TEST(TraceFile, LoadsFilesAndNamesTheMissingOne)
{
    std::string path = ::testing::TempDir() + "mivo_trace_file_test.trace";
    {
        std::ofstream out(path);
        out << "0 01 00 00 00 00 00 00\n20 03 01\n";
    }
    EXPECT_EQ(load_trace_file(path).size(), 2u);
    std::remove(path.c_str());
    try {
        load_trace_file(path);
        ADD_FAILURE() << "a missing file was read";
    } catch (const TraceParseError &e) {
        EXPECT_EQ(e.file, path);
        EXPECT_EQ(e.line, 0);
    }
}

// ---------------------------------------------------------------- report decoding

TEST(ReportFormat, DecodesEveryKindOfReport)
{
    struct Case {
        const char *hex;
        const char *name;
        const char *json;
        const char *text;
    };
    const Case cases[] = {
        {"F0 01 FF FF", "status", R"({"running":1,"profile":-1})", "running 1  profile -1"},
        {"01 2C 01 D4 FE 00 00", "raw_translation", R"({"x":300,"y":-300,"z":0})", "X  300  Y -300  Z    0"},
        {"02 68 01 98 FE 98 FE", "raw_rotation", R"({"rx":360,"ry":-360,"rz":-360})", "Rx  360  Ry -360  Rz -360"},
        {"03 03 00 01 00 00 00", "raw_buttons", R"({"buttons":[0,1,16]})", "buttons 0 1 16"},
        {"03 00 00 00 00 00 00", "raw_buttons", R"({"buttons":[]})", "buttons -"},
        {"F1 68 01 68 01 68 01 2E 01 68 01 68 01 68 01 0A 00 06 02", "joystick",
         R"({"x":360,"y":360,"z":360,"rx":302,"ry":360,"rz":360,"slider1":360,"slider2":10,"hat":6,"buttons":[2]})",
         "X 360  Y 360  Z 360  Rx 302  Ry 360  Rz 360  S1 360  S2  10  hat W   buttons 2"},
        {"F1 00 00 D0 02 68 01 68 01 68 01 68 01 68 01 68 01 08 81", "joystick",
         R"({"x":0,"y":720,"z":360,"rx":360,"ry":360,"rz":360,"slider1":360,"slider2":360,"hat":8,"buttons":[1,8]})",
         "X   0  Y 720  Z 360  Rx 360  Ry 360  Rz 360  S1 360  S2 360  hat -   buttons 1 8"},
        {"F2 02 04 28 00 00 00 00", "keyboard", R"({"modifiers":["LeftShift"],"keys":["A","Enter"]})",
         "keys LeftShift + A + Enter"},
        {"F2 00 00 00 00 00 00 00", "keyboard", R"({"modifiers":[],"keys":[]})", "no keys"},
        {"F3 02 00", "consumer", R"({"controls":["Volume Increment"]})", "Volume Increment"},
        {"F3 05 80", "consumer", R"({"controls":["Mute","Volume Decrement","AC Back"]})",
         "Mute, Volume Decrement, AC Back"},
        {"F3 00 00", "consumer", R"({"controls":[]})", "no controls"},
        {"F4 FD 7F E7 11", "mouse", R"({"x":-3,"y":127,"wheel":-25,"buttons":[1,5]})",
         "X   -3  Y  127  wheel -25  buttons 1 5"},
        {"F1 68 01", "unknown", "{}", ""},
        {"07 00", "unknown", "{}", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex);
        std::vector<uint8_t> b = bytes_of(c.hex);
        EXPECT_EQ(report_name(report_kind(b.data(), b.size())), c.name);
        EXPECT_EQ(report_fields(b).dump(), c.json);
        EXPECT_EQ(report_text(b), c.text);
    }
}

TEST(ReportFormat, NamesKeysAndConsumerControls)
{
    struct Case {
        uint8_t usage;
        const char *name;
    };
    const Case keys[] = {{0x04, "A"},        {0x1D, "Z"},         {0x1E, "1"},         {0x26, "9"},
                         {0x27, "0"},        {0x28, "Enter"},     {0x2C, "Space"},     {0x3A, "F1"},
                         {0x45, "F12"},      {0x68, "F13"},       {0x73, "F24"},       {0x52, "Up"},
                         {0x59, "Keypad1"},  {0x62, "Keypad0"},   {0x65, "Application"}, {0xE0, "LeftCtrl"},
                         {0xE7, "RightGUI"}, {0x00, "0x00"},      {0xA5, "0xA5"},      {0xDF, "0xDF"}};
    for (const Case &c : keys) EXPECT_EQ(key_name(c.usage), c.name) << int(c.usage);

    EXPECT_EQ(consumer_name(1), "Mute");
    EXPECT_EQ(consumer_name(4), "Play/Pause");
    EXPECT_EQ(consumer_name(10), "AC Search");
    EXPECT_EQ(consumer_name(16), "AC Back");
    EXPECT_EQ(consumer_name(0), "#0");
    EXPECT_EQ(consumer_name(17), "#17");

    const char *compass[] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW", "-"};
    for (unsigned h = 0; h < 9; h++) EXPECT_EQ(hat_name(h), compass[h]);
}

TEST(ReportFormat, HexBytesAreUpperCaseAndSpaced)
{
    EXPECT_EQ(hex_bytes(bytes_of("F1 68 01 0a")), "F1 68 01 0A");
    EXPECT_EQ(hex_bytes(std::vector<uint8_t>{}), "");
}

} // namespace
