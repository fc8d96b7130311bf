// The simulator's own parts: the trace-file parser and the decoding of the
// reports it prints.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/support/bytes.h"
#include "tools/lib/report_format.h"
#include "tools/lib/trace_file.h"

using namespace mivo::tools;
using test_bytes::hex;

namespace {

TEST(TraceFile, ReadsReportsCommentsAndBlankLines)
{
    const char *text = "\xEF\xBB\xBF" "0 01 2C 01 D4 FE 00 00   # push right, after a UTF-8 BOM\r\n"
                       "# a recorded session\n"
                       "   \t\n"
                       "10 03 02\n"
                       "10 020000000000F0\n"
                       "2500 03 00 00 00 00 00 00";
    std::vector<TraceEvent> events = parse_trace(text, "session.trace");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].bytes, hex("01 2C 01 D4 FE 00 00"));
    EXPECT_EQ(events[0].t_ms, 0u);
    EXPECT_EQ(events[1].bytes, hex("03 02")) << "a short report is taken as it is";
    EXPECT_EQ(events[2].t_ms, 10u) << "two reports may share a time";
    EXPECT_EQ(events[2].bytes, hex("02 00 00 00 00 00 F0")) << "bytes may be run together";
    EXPECT_EQ(events[3].t_ms, 2500u);
    EXPECT_EQ(events[3].line, 6) << "a last line without a line feed still counts";
    EXPECT_TRUE(parse_trace("# nothing\n\n   # still nothing\n", "x").empty());
}

TEST(TraceFile, MalformedLinesAreLocated)
{
    const struct {
        const char *text;
        int line;
        const char *message_part;
    } cases[] = {
        {"0 01\n-5 01 00\n", 2, "bad time '-5'"},
        {"1.5 01 00", 1, "bad time '1.5'"},
        {"99999999999999999999 01", 1, "out of range"},
        {"0 01\n86400001 01", 2, "out of range (at most 86400000 ms, a day)"},
        {"\n\n40   # nothing else\n", 3, "no report bytes"},
        {"0 01 2C 1", 1, "bad hex '1'"},
        {"0 0x01", 1, "bad hex '0x01'"},
        {"0 0100000000000000", 1, "too many bytes: 8"},
        {"100 01\n# c\n99 01\n", 3, "time goes backwards: 99 ms after 100 ms on line 1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parse_trace(c.text, "in.trace");
            ADD_FAILURE() << "accepted";
        } catch (const TraceParseError &e) {
            EXPECT_EQ(e.line, c.line);
            EXPECT_NE(e.message.find(c.message_part), std::string::npos) << e.message;
            EXPECT_EQ(std::string(e.what()), "in.trace:" + std::to_string(c.line) + ": " + e.message);
        }
    }
    EXPECT_EQ(parse_trace("86400000 01").at(0).t_ms, 86400000u) << "a day exactly is allowed";
}

TEST(TraceFile, WriteLinesAreEventsOfTheirOwn)
{
    std::string text = "0 01 00 00\n"
                       "1500 write f0 08 03 00   # what mivo-ctl --at 1500 profile 3 prints\n"
                       "1500 WRITE F0FF01\n"
                       "1510 write 04";
    for (int i = 1; i < 64; i++) text += " 00";
    std::vector<TraceEvent> events = parse_trace(text, "ctl.trace");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, TraceEvent::Kind::Input);
    EXPECT_EQ(events[1].kind, TraceEvent::Kind::Write);
    EXPECT_EQ(events[1].t_ms, 1500u);
    EXPECT_EQ(events[1].bytes, hex("F0 08 03 00"));
    EXPECT_EQ(events[2].kind, TraceEvent::Kind::Write) << "'write' may be written in any case, like the hex";
    EXPECT_EQ(events[2].bytes, hex("F0 FF 01"));
    EXPECT_EQ(events[3].bytes.size(), 64u) << "a written report may be as long as a full-speed report";

    const struct {
        const char *text;
        const char *message;
    } bad[] = {
        {"10 write", "no report bytes after 'write'"},
        {"10 write f0 8", "bad hex '8': bytes are pairs of hex digits (e.g. 0A)"},
        {"10 write f0 0x08", "bad hex '0x08'"},
        {"10 wirte f0 08", "bad hex 'wirte' (a write is '<time> write <hex bytes>')"},
        {"10 write f0 write", "bad hex 'write': bytes are pairs of hex digits (e.g. 0A)"},
        {"10 write 0102030405060708091011121314151617181920212223242526272829303132"
         "333435363738394041424344454647484950515253545556575859606162636465",
         "too many bytes: 65 (a written report has at most 64)"},
        {"10 write f0 01\n5 write f0 01", "time goes backwards: 5 ms after 10 ms on line 1"},
    };
    for (const auto &c : bad) {
        SCOPED_TRACE(c.text);
        try {
            parse_trace(c.text, "ctl.trace");
            ADD_FAILURE() << "accepted";
        } catch (const TraceParseError &e) {
            EXPECT_EQ(e.message, c.message);
        }
    }
}

// Input a reviewer would try: each is refused at its line with a message of
// sane length, after reading no more than the limit it broke.
TEST(TraceFile, HostileInputIsRefusedLocatedAndBounded)
{
    const std::string dir = ::testing::TempDir();
    const std::string huge = dir + "trace_file_huge.trace", long_word = dir + "trace_file_long_word.trace",
                      many = dir + "trace_file_many.trace";
    {
        std::ofstream f(huge, std::ios::binary);
        f << "0 01 00\n10 ";
        f << std::string(10'000'000, 'A') << "\n";
    }
    std::ofstream(long_word) << "0 01 00\n5 01 " << std::string(4001, 'G') << "\n";
    {
        std::ofstream f(many);
        for (int i = 0; i < 100; i++) f << i << " 01 00\n";
    }
    const struct {
        std::string path;
        TraceLimits limits;
        int line;
        std::string message;
    } cases[] = {
        {dir, {}, 0, "is a directory, not a trace file"},
        {huge, {}, 2, "line longer than 4096 bytes"},
        {"/dev/zero", {}, 1, "line longer than 4096 bytes"},
        {long_word, {}, 2, "bad hex 'GGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGG...': bytes are pairs of hex digits (e.g. 0A)"},
        {many, {4096, 500}, 57, "the trace is longer than 500 bytes"}, // 10 lines of 8 bytes, 47 of 9
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        try {
            check_trace_file(c.path, c.limits);
            ADD_FAILURE() << "accepted";
        } catch (const TraceParseError &e) {
            EXPECT_EQ(e.line, c.line);
            EXPECT_EQ(e.message, c.message);
        }
    }

    // Refused after reading the line's limit, not the whole 10 MB word.
    std::ifstream in(huge, std::ios::binary);
    TraceReader reader(in, huge);
    EXPECT_TRUE(reader.next());
    EXPECT_THROW(reader.next(), TraceParseError);
    in.clear();
    EXPECT_LE(uint64_t(in.tellg()), 8u + 4096u + 2u);
    for (const std::string &f : {huge, long_word, many}) std::remove(f.c_str());
}

TEST(TraceFile, ReaderGoesNoFurtherThanTheEventAskedFor)
{
    // The line at fault comes only when the session gets to it: what came
    // before it has already been handed out, one event at a time.
    std::istringstream in("0 01 00\n10 write f0 04 01\n\n20 01 00\n5 01 00\n");
    TraceReader reader(in, "live");
    EXPECT_EQ(reader.next()->t_ms, 0u);
    EXPECT_EQ(reader.next()->kind, TraceEvent::Kind::Write);
    EXPECT_EQ(reader.next()->line, 4);
    try {
        reader.next();
        ADD_FAILURE() << "accepted";
    } catch (const TraceParseError &e) {
        EXPECT_EQ(std::string(e.what()), "live:5: time goes backwards: 5 ms after 20 ms on line 4");
    }
    std::istringstream exact(std::string(4096, ' ') + "\n0 01" + "\n" + std::string(4097, ' '));
    TraceReader edge(exact, "edge");
    EXPECT_EQ(edge.next()->line, 2) << "a line of exactly the limit is read";
    EXPECT_THROW(edge.next(), TraceParseError) << "one byte more is not, even without a line feed";
}

TEST(ReportFormat, DecodesEveryKindOfReport)
{
    const struct {
        const char *hex, *name, *json, *text;
    } cases[] = {
        {"F0 01 FF FF", "status", R"({"running":1,"profile":-1})", "running 1  profile -1"},
        {"01 2C 01 D4 FE 00 00", "raw_translation", R"({"x":300,"y":-300,"z":0})", "X  300  Y -300  Z    0"},
        {"02 68 01 98 FE 98 FE", "raw_rotation", R"({"rx":360,"ry":-360,"rz":-360})", "Rx  360  Ry -360  Rz -360"},
        {"03 03 00 01 00 00 00", "raw_buttons", R"({"buttons":[0,1,16]})", "buttons 0 1 16"},
        {"F1 00 00 D0 02 68 01 68 01 68 01 68 01 68 01 0A 00 06 81", "joystick",
         R"({"x":0,"y":720,"z":360,"rx":360,"ry":360,"rz":360,"slider1":360,"slider2":10,"hat":6,"buttons":[1,8]})",
         "X   0  Y 720  Z 360  Rx 360  Ry 360  Rz 360  S1 360  S2  10  hat W   buttons 1 8"},
        {"F2 02 04 28 00 00 00 00", "keyboard", R"({"modifiers":["LeftShift"],"keys":["A","Enter"]})",
         "keys LeftShift + A + Enter"},
        {"F3 05 80", "consumer", R"({"controls":["Mute","Volume Decrement","AC Back"]})",
         "Mute, Volume Decrement, AC Back"},
        {"F4 FD 7F E7 11", "mouse", R"({"x":-3,"y":127,"wheel":-25,"buttons":[1,5]})",
         "X   -3  Y  127  wheel -25  buttons 1 5"},
        {"F1 68 01", "unknown", "{}", ""},
        {"07 00", "unknown", "{}", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex);
        const std::vector<uint8_t> b = hex(c.hex);
        EXPECT_EQ(report_name(report_kind(b.data(), b.size())), c.name);
        EXPECT_EQ(report_fields(b).dump(), c.json);
        EXPECT_EQ(report_text(b), c.text);
    }
}

TEST(ReportFormat, NamesKeysControlsAndHatDirections)
{
    const std::pair<uint8_t, const char *> keys[] = {
        {0x04, "A"},  {0x1D, "Z"},   {0x1E, "1"},   {0x27, "0"},       {0x3A, "F1"},       {0x45, "F12"},
        {0x68, "F13"}, {0x73, "F24"}, {0x62, "Keypad0"}, {0xE7, "RightGUI"}, {0x00, "0x00"}, {0xDF, "0xDF"}};
    for (const auto &[usage, name] : keys) EXPECT_EQ(key_name(usage), name) << int(usage);
    EXPECT_EQ(consumer_name(16), "AC Back");
    EXPECT_EQ(consumer_name(0), "#0");
    EXPECT_EQ(consumer_name(17), "#17");
    EXPECT_EQ(hat_name(0), "N");
    EXPECT_EQ(hat_name(7), "NW");
    EXPECT_EQ(hat_name(8), "-");
}

} // namespace
