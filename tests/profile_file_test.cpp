// Profile files: the written forms and the 34 bytes they stand for, every
// record written back so that it reads as the same bytes, and check's located
// messages.
#include <gmock/gmock.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tools/lib/profile_file.h"

using namespace mivo::profile;
using test_bytes::hex;
using ::testing::ElementsAreArray;

namespace {

test_bytes::Bytes bytes_of(const Bind &b)
{
    return test_bytes::Bytes(b.bytes.begin(), b.bytes.end());
}

std::vector<std::string> messages(const std::vector<Diagnostic> &diagnostics)
{
    std::vector<std::string> out;
    for (const Diagnostic &d : diagnostics)
        out.push_back(format_diagnostic(d));
    return out;
}

// Parses the files and checks them together; every message, in order.
std::vector<std::string> check_texts(const std::vector<std::pair<std::string, std::string>> &files)
{
    std::vector<Diagnostic> diagnostics;
    std::vector<ProfileFile> parsed;
    for (auto &[name, text] : files)
        if (auto f = parse_profile(text, name, diagnostics))
            parsed.push_back(*f);
    if (!has_errors(diagnostics))
        for (Diagnostic &d : check(parsed))
            diagnostics.push_back(d);
    return messages(diagnostics);
}

ProfileFile parse_ok(const std::string &text)
{
    std::vector<Diagnostic> diagnostics;
    auto f = parse_profile(text, "p.toml", diagnostics);
    EXPECT_TRUE(f.has_value()) << ::testing::PrintToString(messages(diagnostics)) << "\n" << text;
    return f.value_or(ProfileFile{});
}

} // namespace

// Each written form and its record, byte for byte; the first two are the
// worked records of the bind layout (the base profile's consumer-control bind
// of button 1, and a key press of usage 0x04 on button 0).
TEST(ProfileFile, NamedFormsGiveTheirRecords)
{
    struct {
        const char *bind;
        const char *bytes;
    } cases[] = {
        {R"(source = "button 1"
            consumer = "volume_decrement"
            time = 500)",
         "01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 0A 00 00 00 03 00 00 00 00 00 00 00 F4 01 00 00 00 00"},
        {R"(source = "button 0"
            keys = ["a"])",
         "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 08 00 00 00 01 00 00 04 00 00 00 00 00 00 00 00 00 00"},
        {R"(source = "rz"
            invert = true
            dead_zone = -10
            min = 15
            max = 300
            direction = "negative"
            joystick_axis = "slider2")",
         "00 00 00 00 05 01 F6 FF 0F 00 2C 01 02 00 00 00 01 00 00 00 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {R"(source = "Button 47"
            pressed = -350
            released = 7
            trigger = "tap"
            joystick_button = 7)",
         "01 00 00 00 2F 00 07 00 A2 FE 00 00 00 00 00 00 02 00 00 00 07 00 00 00 00 00 00 00 F4 01 01 00 00 00"},
        {R"(source = "axis 3"
            trigger = "hold"
            time = 800
            hat = "left_right")",
         "00 00 00 00 03 00 00 00 00 00 00 00 00 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00 20 03 02 00 00 00"},
        {R"(source = "tx"
            mouse_x = 100)",
         "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 04 00 00 00 64 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {R"(source = "ty"
            mouse_y = 255)",
         "00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 05 00 00 00 FF 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {R"(source = "rz"
            wheel = 10)",
         "00 00 00 00 05 00 00 00 00 00 00 00 00 00 00 00 06 00 00 00 0A 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {R"(source = "button 0"
            mouse_button = "forward")",
         "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 07 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {R"(source = "button 1"
            profile = -1)",
         "01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 09 00 00 00 FF FF 00 00 00 00 00 00 00 00 00 00 00 00"},
        {R"(source = "button 0"
            keys = ["LeftCtrl", "shift", "z", 0x66, "right_gui"]
            latch = true
            repeat = 100)",
         "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 08 00 00 00 13 64 00 E0 E1 1D 66 E7 00 00 00 00 00 00"},
        {R"(source = "button 1"
            keys = ["escape"]
            press = false
            unlatch = true)",
         "01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 08 00 00 00 04 00 00 29 00 00 00 00 00 00 00 00 00 00"},
        // raw forms: what names cannot say
        {R"(source = { type = 7, index = 200 }
            invert = 9
            direction = -1
            trigger = 3
            action = 42
            param = [1, 2, 3, 4, 5, 6, 7, 0xFF])",
         "07 00 00 00 C8 09 00 00 00 00 00 00 FF FF FF FF 2A 00 00 00 01 02 03 04 05 06 07 FF 00 00 03 00 00 00"},
        {R"(source = "button 0"
            keys = [4]
            key_flags = 0x80
            key_repeat = -2)",
         "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 08 00 00 00 80 FE FF 04 00 00 00 00 00 00 00 00 00 00"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.bind);
        ProfileFile f = parse_ok(std::string("id = 1\n[[bind]]\n") + c.bind + "\n");
        ASSERT_EQ(f.profile.binds.size(), 1u);
        EXPECT_THAT(bytes_of(f.profile.binds[0]), ElementsAreArray(hex(c.bytes)));
        // and written back, the same record
        ProfileFile again = parse_ok(to_toml(f.profile));
        ASSERT_EQ(again.profile.binds.size(), 1u);
        EXPECT_THAT(bytes_of(again.profile.binds[0]), ElementsAreArray(hex(c.bytes))) << to_toml(f.profile);
    }
}

// Every record the driver can read has a written form that reads as the same
// bytes and that check accepts: records with fields drawn near the boundaries
// of each named form, and wholly random ones.
TEST(ProfileFile, EveryRecordWritesBackToItself)
{
    std::mt19937 rng(1234);
    auto pick = [&](std::initializer_list<uint32_t> values) {
        return *(values.begin() + std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng));
    };
    auto byte = [&] { return uint8_t(pick({0, 1, 2, 4, 5, 6, 7, 8, 16, 17, 47, 48, 100, 231, 232, 255})); };
    Profile p;
    p.id = 1;
    for (int n = 0; n < 3000; n++) {
        Bind b;
        if (n % 4 == 0) {
            for (auto &x : b.bytes)
                x = uint8_t(rng());
        } else {
            for (auto &x : b.bytes)
                x = rng() % 3 == 0 ? byte() : 0;
            b.bytes[0] = uint8_t(pick({0, 1, 1, 2}));
            b.bytes[16] = uint8_t(pick({0, 1, 2, 3, 4, 5, 6, 7, 8, 8, 9, 10, 11}));
            b.bytes[30] = uint8_t(pick({0, 1, 2, 3}));
        }
        p.binds.push_back(b);
    }
    std::vector<int16_t> ids = {1};
    std::string text = to_toml(p, "", false, std::nullopt, &ids);
    std::vector<Diagnostic> diagnostics;
    auto f = parse_profile(text, "random.toml", diagnostics);
    ASSERT_TRUE(f.has_value()) << ::testing::PrintToString(messages(diagnostics));
    ASSERT_EQ(f->profile.binds.size(), p.binds.size());
    for (size_t n = 0; n < p.binds.size(); n++)
        ASSERT_THAT(bytes_of(f->profile.binds[n]), ElementsAreArray(bytes_of(p.binds[n]))) << "bind " << n + 1;
    std::vector<Diagnostic> problems = check({*f});
    EXPECT_FALSE(has_errors(problems)) << "a written-back store passes check: " << [&] {
        for (auto &d : problems)
            if (d.severity == Severity::Error)
                return format_diagnostic(d);
        return std::string();
    }();
}

TEST(ProfileFile, DefaultsAreWhatAPersonExpects)
{
    ProfileFile f = parse_ok(R"(id = 2
[[bind]]
source = "button 3"
joystick_axis = "x"
[[bind]]
source = "button 3"
trigger = "tap"
keys = ["a"]
[[bind]]
source = "tz"
joystick_axis = "z"
)");
    EXPECT_EQ(f.profile.name, "");
    EXPECT_EQ(f.profile.dead_zone, 0);
    EXPECT_THAT(bytes_of(f.profile.binds[0]), // pressed 1, released 0, direct, no hold time
                ElementsAreArray(hex("01 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 "
                                     "00 00 00 00 00 00 00 00 00")));
    EXPECT_EQ(f.profile.binds[1].bytes[28] | f.profile.binds[1].bytes[29] << 8, 500) << "a tap is shorter than 500 ms";
    EXPECT_EQ(f.profile.binds[1].bytes[20], 0x01) << "keys press by default";
    EXPECT_THAT(bytes_of(f.profile.binds[2]), // no dead zone, no limits, both directions
                ElementsAreArray(hex("00 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 02 00 00 00 00 "
                                     "00 00 00 00 00 00 00 00 00")));
}

// Each problem where it stands, as FILE:LINE:COL.
TEST(ProfileFile, CheckLocatesEveryProblem)
{
    using Files = std::vector<std::pair<std::string, std::string>>;
    struct {
        const char *what;
        Files files;
        std::vector<std::string> expected;
    } cases[] = {
        {"a syntax error", {{"a.toml", "id = 1\nname = = 2\n"}},
         {"a.toml:2:8: error: Error while parsing value: could not determine value type"}},
        {"unknown names and keys",
         {{"a.toml", "id = 1\ncolour = 3\n[[bind]]\nsource = \"tw\"\njoystick_axis = \"w\"\n[[bind]]\nsource = "
                     "\"tx\"\njoystick_axis = \"w\"\n[[bind]]\nsource = \"button 0\"\nkeys = [\"ctrl\", \"kay\"]\n"
                     "[[bind]]\nsource = \"button 0\"\nconsumer = \"louder\"\n"}},
         {"a.toml:2:1: error: unknown key 'colour'",
          "a.toml:4:10: error: unknown source 'tw' (tx ty tz rx ry rz, axis 0..5, button 0..47)",
          "a.toml:5:17: error: unknown joystick axis 'w' (x y z rx ry rz slider1 slider2, or 0..7)",
          "a.toml:8:17: error: unknown joystick axis 'w' (x y z rx ry rz slider1 slider2, or 0..7)",
          "a.toml:11:17: error: unknown key 'kay' (HID keyboard usage names, or 1..231)",
          "a.toml:14:12: error: unknown consumer control 'louder' (mute, volume_increment, ... ac_back, or 1..16)"}},
        {"values out of range for their action",
         {{"a.toml", "id = 1\n[[bind]]\nsource = \"tx\"\njoystick_button = 8\n[[bind]]\nsource = \"tx\"\nconsumer = "
                     "17\n[[bind]]\nsource = \"button 48\"\nmouse_x = 256\n"}},
         {"a.toml:4:19: error: joystick_button 8 is out of range 0..7",
          "a.toml:7:12: error: consumer control 17 is out of range 1..16",
          "a.toml:9:10: error: unknown source 'button 48' (tx ty tz rx ry rz, axis 0..5, button 0..47)",
          "a.toml:10:11: error: mouse_x speed 256 is out of range 0..255"}},
        {"more keys than a bind holds, two actions, a name the driver would cut",
         {{"a.toml", "id = 1\nname = \"" + std::string(50, 'n') +
                         "\"\n[[bind]]\nsource = \"button 0\"\nkeys = [\"a\", \"b\", \"c\", \"d\", \"e\", \"f\"]\n"
                         "mouse_x = 3\n"}},
         {"a.toml:2:8: error: name is 50 UTF-16 units long; the driver keeps 49",
          "a.toml:5:34: error: a bind holds at most 5 keys; this is the sixth of 6",
          "a.toml:6:1: error: a bind has one action; this one already has keys"}},
        {"fields of the other source kind, options without their action",
         {{"a.toml", "id = 1\n[[bind]]\nsource = \"tx\"\npressed = 3\nlatch = true\nmouse_x = 1\n"}},
         {"a.toml:4:1: error: pressed is for button sources", "a.toml:5:9: error: latch goes with keys"}},
        {"duplicate ids and a switch to an id no file defines",
         {{"a.toml", "id = 4\n[[bind]]\nsource = \"button 0\"\nprofile = 5\n"},
          {"b.toml", "name = \"B\"\nid = 4\n[[bind]]\nsource = \"button 0\"\nprofile = -1\n"}},
         {"a.toml:4:11: error: switch to profile 5, which no file defines",
          "b.toml:2:6: error: profile id 4 is already defined in a.toml:1; the driver would skip this one"}},
        {"the base profile's id", {{"a.toml", "id = -1\n"}},
         {"a.toml:1:6: error: id -1 is the base profile's; the driver would skip this profile"}},
        {"what the driver takes but a person did not mean",
         {{"a.toml", "id = 1\ndead_zone = 300\n[[bind]]\nsource = \"tx\"\ndead_zone = 60\njoystick_axis = \"x\"\n"
                     "[[bind]]\nsource = \"ty\"\njoystick_axis = \"x\"\n[[bind]]\nsource = \"tz\"\nmin = 200\nmax = "
                     "100\nmouse_x = 5\n[[bind]]\nsource = \"button 0\"\npressed = 0\nkeys = [0x70]\n"}},
         {"a.toml:3:1: warning: dead zone 360 (profile 300 + bind 60) swallows the whole deflection: the bind acts "
          "only at full deflection",
          "a.toml:7:1: warning: this bind and the one at line 3 both move joystick axis x: the larger value wins "
          "each pass",
          "a.toml:10:1: warning: min 200 and max 100 leave no value between them: the bind never acts",
          "a.toml:15:1: warning: pressed and released are both 0: the bind never acts",
          "a.toml:18:8: warning: key 0x70 is not on the virtual keyboard, which reports usages up to 0x65 and the "
          "modifiers 0xE0..0xE7"}},
        {"one button or one axis split between two binds does not fight",
         {{"a.toml", "id = 1\n[[bind]]\nsource = \"button 1\"\npressed = 350\njoystick_axis = \"slider2\"\n"
                     "[[bind]]\nsource = \"button 1\"\ninvert = true\npressed = -350\njoystick_axis = \"slider2\"\n"
                     "[[bind]]\nsource = \"rz\"\ndirection = \"positive\"\njoystick_axis = \"rz\"\n[[bind]]\nsource = "
                     "\"rz\"\ninvert = true\ndirection = \"positive\"\njoystick_axis = \"rz\"\n"}},
         {}},
        {"two files both the default, and a store key that collides",
         {{"a.toml", "id = 1\ndefault = true\nstore_key = \"Layout - 01\"\n"},
          {"b.toml", "id = 2\ndefault = true\n"}},
         {"a.toml:3:13: error: two profiles would be stored under \"Layout - 01\"",
          "b.toml:2:11: error: another file is the default already: a.toml:2"}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THAT(check_texts(c.files), ElementsAreArray(c.expected));
    }
}
