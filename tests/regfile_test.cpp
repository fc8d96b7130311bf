// Registry text files: every form regedit and `reg export` write (both
// headers, UTF-16 with CRLF, continuations, escapes, comments, removals),
// located errors that quote only a short, printable excerpt and leave the
// registry untouched, hostile files refused or imported quickly, and the
// writer's text read back to the same document and the same registry.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/sim/registry.h"
#include "tests/support/sim_test.h"
#include "tools/lib/regfile.h"

namespace {

namespace rf = mivo::regfile;
using Bytes = std::vector<uint8_t>;

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mivo";

class RegFile : public SimTest {};

// UTF-8 text as regedit's UTF-16LE file bytes (BOM, CRLF).
std::string regedit_bytes(const std::string &text) { return rf::encode_regedit(text); }

TEST_F(RegFile, ImportsEachValueFormInEitherEncoding) {
    const struct {
        std::string line, name;
        uint32_t type;
        Bytes data;
    } cases[] = {
        {"\"v\"=dword:105", "v", REG_DWORD, {0x05, 0x01, 0, 0}},
        {"\"v\" = dword:FFFFfffe", "v", REG_DWORD, {0xFE, 0xFF, 0xFF, 0xFF}},
        {R"("v"="a\\b\"c")", "v", REG_SZ, {'a', 0, '\\', 0, 'b', 0, '"', 0, 'c', 0, 0, 0}},
        {"\"v\"=\"\xC3\xA9\xE2\x82\xAC\"", "v", REG_SZ, {0xE9, 0, 0xAC, 0x20, 0, 0}}, // UTF-8 to UTF-16
        // An overlong line feed and an encoded surrogate: U+FFFD for each byte.
        {"\"v\"=\"\xC0\x8A\xED\xA0\x80\"", "v", REG_SZ, {0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0, 0}},
        {"\"v\"=hex:01,ff,\\\n  0A", "v", REG_BINARY, {0x01, 0xFF, 0x0A}},           // continued
        {"\"v\"=hex:", "v", REG_BINARY, {}},
        {"\"v\"=hex(b):01,02,03,04,05,06,07,08", "v", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"\"v\"=hex(2):25,00,00,00", "v", REG_EXPAND_SZ, {0x25, 0, 0, 0}},
        {"@=\"d\"", "", REG_SZ, {'d', 0, 0, 0}},
        {R"("a\"b\\c"=dword:1)", "a\"b\\c", REG_DWORD, {1, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        for (bool utf16 : {false, true}) {
            for (const std::string &header : {std::string("Windows Registry Editor Version 5.00"), std::string("REGEDIT4")}) {
                SCOPED_TRACE(c.line + (utf16 ? " UTF-16 " : " UTF-8 ") + header);
                sim::reg_clear();
                std::string text = header + "\n\n; a comment\n[" + kKey + "]\n" + c.line + "\n";
                rf::apply(rf::parse(utf16 ? regedit_bytes(text) : text));
                auto v = sim::reg_get_value(kKey, c.name);
                ASSERT_TRUE(v.has_value());
                EXPECT_EQ(v->type, c.type);
                EXPECT_EQ(v->data, c.data);
            }
        }
    }
}

TEST_F(RegFile, MalformedInputIsLocatedQuotedBrieflyAndChangesNothing) {
    const std::string k = kHeader + "[" + kKey + "]\n";
    std::string too_deep = kHeader + "[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 513; i++)
        too_deep += "\\k";
    too_deep += "]\n";
    const struct {
        std::string text;
        int line;
        std::string message; // a part of the message
    } cases[] = {
        {"", 1, "header"},
        {"REGEDIT5\n", 1, "found \"REGEDIT5\""},
        {kHeader + "\"v\"=dword:1\n", 3, "before any [KEY]"},
        {kHeader + "[" + kKey + "\n", 3, "closing ']'"},
        {kHeader + "[HKEY_CURRENT_USER\\x]\n", 3, "unsupported root key \"HKEY_CURRENT_USER\""},
        {kHeader + "[" + kKey + "\\\\x]\n", 3, "empty key name"},
        {k + "\"v\"=dword:123456789\n", 4, "dword:"}, // nine digits
        {k + "\"v\"=hex:01,\\\n  02,\\\n  0g\n", 6, "bad byte \"0g\""},
        {k + "\"v\"=hex:01,\\", 4, "end of the file"},
        {k + "\"v\"=hex:01,,02\n", 4, "empty byte"},
        {k + "\"v\"=hex:01,\n", 4, "empty byte"},
        {k + "\"v\"=\"a\\n\"\n", 4, "unknown escape \"\\n\""},
        {k + "\"v\"=\"a\n", 4, "unterminated"},
        {kHeader + "[-" + kKey + "]\n\"v\"=dword:1\n", 4, "deleted [-KEY]"},
        {kHeader + "[" + kKey + "\\New]\n\"a\"=dword:1\n\"b\"=hex:zz\n", 5, "bad byte"}, // after a good entry
        {too_deep, 3, "513 levels deep; the registry allows at most 512"},
        // Excerpts: control bytes written out, a long word cut short.
        {k + "\"v\"=\x01\x02\x1b[31m\n", 4, "unknown value format \"\\x01\\x02\\x1b[31m\""},
        {k + "junk" + std::string(10'000'000, 'x') + "\n", 4,
         "found \"junk" + std::string(36, 'x') + "\"..."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 200));
        sim::reg_clear();
        sim::reg_set_dword(kKey, "Keep", 1);
        try {
            rf::apply(rf::parse(c.text, "store.reg"));
            ADD_FAILURE() << "accepted";
        } catch (const rf::ParseError &e) {
            EXPECT_EQ(std::string(e.what()), "store.reg:" + std::to_string(c.line) + ": " + e.message);
            EXPECT_NE(e.message.find(c.message), std::string::npos) << e.what();
            EXPECT_LT(e.message.size(), 200u) << "a message quotes an excerpt, not the text";
            for (char ch : e.message)
                EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << "no raw control bytes in a message";
        }
        EXPECT_EQ(sim::reg_values(kKey).size(), 1u);
        EXPECT_FALSE(sim::reg_key_exists(kKey + "\\New"));
    }
    std::string missing = ::testing::TempDir() + "mivo_no_such_file.reg";
    try {
        rf::read_file(missing);
        ADD_FAILURE() << "read a missing file";
    } catch (const rf::ParseError &e) {
        EXPECT_EQ(e.file, missing);
        EXPECT_EQ(e.line, 0);
    }
}

// A file as large as a hostile store makes it: many values in one key, a
// path at the deepest level allowed. Both import; no time is asserted, they
// simply have to finish inside the suite's budget.
TEST_F(RegFile, LargeStoresImportAndDeepPathsUpToTheLimit) {
    std::string text = kHeader + "[" + kKey + "\\Layout\\Layout - 1]\n";
    const int values = 20000; // enough to make a linear scan crawl; cheap through an index
    for (int i = 0; i < values; i++)
        text += "\"Bind - " + std::to_string(i) + "\"=hex:01\n";
    rf::apply(rf::parse(text));
    EXPECT_EQ(sim::reg_values(kKey + "\\Layout\\Layout - 1").size(), size_t(values));

    std::string path = "HKEY_LOCAL_MACHINE";
    for (size_t i = 0; i < rf::kMaxKeyDepth; i++)
        path += "\\k";
    rf::apply(rf::parse(kHeader + "[" + path + "]\n\"v\"=dword:1\n"));
    EXPECT_TRUE(sim::reg_get_value(path, "v").has_value());
    EXPECT_EQ(rf::snapshot("HKLM\\k").keys.size(), rf::kMaxKeyDepth);
}

TEST_F(RegFile, RemovalsAndTheWritersTextRoundTrip) {
    const std::string first = "00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14";
    const std::string rest = "15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27";
    sim::reg_set_dword(kKey + "\\Old\\Deeper", "x", 1);
    rf::apply(rf::parse(regedit_bytes( // as regedit writes: UTF-16LE, CRLF, a comment, implied parents
        "Windows Registry Editor Version 5.00\n\n; a comment\n"
        "[" + kKey + "\\Layout\\Layout - 2]\n"
        "\"Profil_Name\"=\"Fly \\\"fast\\\" \\\\ far\"\n\"Gone\"=dword:1\n\"Gone\"=-\n"
        "\"Bind - 1\" = hex:" + first + ",\\\n  " + rest + "\n"
        "\"Q\"=hex(b):08,07,06,05,04,03,02,01\n@=\"x\"\n\"Odd\"=hex(1):41,00\n"
        "[" + kKey + "\\Layout]\n\"Default_Profil\"=dword:7\n"
        "[" + kKey + "\\Layout\\\xC3\x89t\xC3\xA9]\n"
        "[-" + kKey + "\\Old]\n")));
    EXPECT_EQ(sim::reg_subkeys(kKey), (std::vector<std::string>{"Layout"}));
    // The key first, then its subkeys depth first in the registry's order;
    // hex wrapped before column 80; a string without its NUL kept as hex(1).
    const std::string text = kHeader + "[" + kKey + "\\Layout]\n"
                             "\"Default_Profil\"=dword:00000007\n\n"
                             "[" + kKey + "\\Layout\\Layout - 2]\n"
                             "\"Profil_Name\"=\"Fly \\\"fast\\\" \\\\ far\"\n"
                             "\"Bind - 1\"=hex:" + first + ",\\\n  " + rest + "\n"
                             "\"Q\"=hex(b):08,07,06,05,04,03,02,01\n@=\"x\"\n"
                             "\"Odd\"=hex(1):41,00\n\n"
                             "[" + kKey + "\\Layout\\\xC3\x89t\xC3\xA9]\n\n";
    rf::Document doc = rf::snapshot("\\Registry\\Machine\\system\\currentcontrolset\\services\\MIVO\\layout");
    EXPECT_EQ(rf::format(doc), text) << "stored spellings, whatever the spelling asked for";
    EXPECT_THROW(rf::snapshot(kKey + "\\Missing"), std::out_of_range);

    // The fuzz target reads every document back through the writer, removals
    // included, but leaves the lines aside.
    rf::Document back = rf::parse(rf::format(doc));
    ASSERT_EQ(back.keys.size(), doc.keys.size());
    EXPECT_EQ(back.keys[1].line, 6) << "each section keeps its line";

    for (bool utf8 : {false, true}) {
        std::string path = ::testing::TempDir() + "mivo_regfile_roundtrip.reg";
        rf::write_file(path, rf::snapshot(kKey + "\\Layout"), utf8);
        sim::reg_clear();
        rf::apply(rf::read_file(path));
        std::remove(path.c_str());
        EXPECT_EQ(rf::format(rf::snapshot(kKey + "\\Layout")), text) << (utf8 ? "UTF-8" : "UTF-16") << " file";
    }
    EXPECT_THROW(rf::write_file("/nonexistent-dir/x.reg", doc), std::runtime_error);
}

} // namespace
