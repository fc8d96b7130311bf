// The simulated registry: .reg import (every value form, located errors, an
// all-or-nothing load), .reg export and its round trip, and the Zw routines as
// the driver sees them (size probes, enumeration order, missing names,
// handles).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"
#include "tests/support/sim_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo";
const std::u16string kKernelKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo";

Bytes utf16z(std::u16string_view s)
{
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

class SimRegistry : public SimTest {
protected:
    // Opens a kernel path; the test closes what it opens.
    NTSTATUS open(std::u16string path, HANDLE *key, HANDLE root = nullptr)
    {
        UNICODE_STRING name;
        name.Buffer = path.data();
        name.Length = static_cast<USHORT>(path.size() * 2);
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
    }

    HANDLE open_ok(std::u16string path)
    {
        HANDLE key = nullptr;
        EXPECT_EQ(open(std::move(path), &key), STATUS_SUCCESS);
        return key;
    }

    NTSTATUS query_value(HANDLE key, std::u16string name, KEY_VALUE_INFORMATION_CLASS cls, void *buffer, ULONG length,
                         ULONG *result)
    {
        UNICODE_STRING us;
        us.Buffer = name.data();
        us.Length = static_cast<USHORT>(name.size() * 2);
        us.MaximumLength = us.Length;
        return ZwQueryValueKey(key, &us, cls, buffer, length, result);
    }
};

// ---------------------------------------------------------------- import

struct ValueForm {
    const char *what;
    std::string line;
    std::string name;
    uint32_t type;
    Bytes data;
};

TEST_F(SimRegistry, ImportsEveryValueForm)
{
    const ValueForm cases[] = {
        {"dword of 8 digits", "\"v\"=dword:0000002a", "v", REG_DWORD, {0x2A, 0, 0, 0}},
        {"dword of fewer digits", "\"v\"=dword:105", "v", REG_DWORD, {0x05, 0x01, 0, 0}},
        {"dword upper case", "\"v\"=dword:FFFFfffe", "v", REG_DWORD, {0xFE, 0xFF, 0xFF, 0xFF}},
        {"string, stored with its NUL", "\"v\"=\"Hi\"", "v", REG_SZ, {'H', 0, 'i', 0, 0, 0}},
        {"empty string", "\"v\"=\"\"", "v", REG_SZ, {0, 0}},
        {"string escapes", R"("v"="a\\b\"c")", "v", REG_SZ, utf16z(u"a\\b\"c")},
        {"UTF-8 text becomes UTF-16", "\"v\"=\"\xC3\xA9\xE2\x82\xAC\"", "v", REG_SZ, utf16z(u"\u00E9\u20AC")},
        {"binary", "\"v\"=hex:01,ff,0A", "v", REG_BINARY, {0x01, 0xFF, 0x0A}},
        {"empty binary", "\"v\"=hex:", "v", REG_BINARY, {}},
        {"binary continued", "\"v\"=hex:01,02,\\\n  03,04", "v", REG_BINARY, {1, 2, 3, 4}},
        {"continued with CRLF", "\"v\"=hex:01,\\\r\n  02\r", "v", REG_BINARY, {1, 2}},
        {"continued twice", "\"v\"=hex:01,\\\n02,\\\n  03", "v", REG_BINARY, {1, 2, 3}},
        {"qword", "\"v\"=hex(b):01,02,03,04,05,06,07,08", "v", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"expandable string", "\"v\"=hex(2):41,00,00,00", "v", REG_EXPAND_SZ, {0x41, 0, 0, 0}},
        {"multi-string", "\"v\"=hex(7):41,00,00,00,00,00", "v", REG_MULTI_SZ, {0x41, 0, 0, 0, 0, 0}},
        {"dword as raw bytes", "\"v\"=hex(4):01,00,00,00,00,00,00,00", "v", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"none type", "\"v\"=hex(0):", "v", REG_NONE, {}},
        {"default value", "@=\"d\"", "", REG_SZ, utf16z(u"d")},
        {"escaped name", R"("a\"b\\c"=dword:1)", "a\"b\\c", REG_DWORD, {1, 0, 0, 0}},
        {"blanks around =", "\"v\" = dword:7", "v", REG_DWORD, {7, 0, 0, 0}},
    };
    for (const ValueForm &c : cases) {
        SCOPED_TRACE(c.what);
        sim::reg_clear();
        sim::reg_load_string(kHeader + "[" + kKey + "]\n" + c.line + "\n");
        auto v = sim::reg_get_value(kKey, c.name);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->name, c.name);
        EXPECT_EQ(v->type, c.type);
        EXPECT_EQ(v->data, c.data);
    }
}

TEST_F(SimRegistry, ImportCreatesParentsDeletesAndSkipsComments)
{
    sim::reg_load_string("\xEF\xBB\xBF" // a UTF-8 BOM
                         "Windows Registry Editor Version 5.00\r\n"
                         "\r\n"
                         "; a comment\r\n"
                         "[" + kKey + "\\Layout\\Layout - 1]\r\n"
                         "\"Profil_Id\"=dword:00000005\r\n"
                         "\"Gone\"=dword:1\r\n"
                         "\"Gone\"=-\r\n"
                         "[" + kKey + "\\Old\\Deeper]\r\n"
                         "[-" + kKey + "\\Old]\r\n");
    EXPECT_TRUE(sim::reg_key_exists(kKey + "\\Layout"));
    EXPECT_EQ(sim::reg_subkeys(kKey), (std::vector<std::string>{"Layout"}));
    auto values = sim::reg_values(kKey + "\\layout\\LAYOUT - 1");
    ASSERT_EQ(values.size(), 1u) << "\"Gone\"=- deleted the value";
    EXPECT_EQ(values[0].name, "Profil_Id");
}

struct BadInput {
    const char *what;
    std::string text;
    int line;
    const char *message; // a part of the message
};

TEST_F(SimRegistry, MalformedInputIsLocatedAndChangesNothing)
{
    const std::string k = "[" + kKey + "]\n";
    const BadInput cases[] = {
        {"empty text", "", 1, "header"},
        {"no header", k, 1, "header"},
        {"wrong header", "Windows Registry Editor Version 4.00\n", 1, "header"},
        {"value before any key", kHeader + "\"v\"=dword:1\n", 3, "before any [KEY]"},
        {"unclosed section", kHeader + "[" + kKey + "\n", 3, "closing ']'"},
        {"unsupported root", kHeader + "[HKEY_CURRENT_USER\\Software]\n", 3, "unsupported root key"},
        {"empty key name", kHeader + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 3, "empty key name"},
        {"stray text", kHeader + k + "Profil_Id=dword:1\n", 4, "expected [KEY]"},
        {"no =", kHeader + k + "\"v\" dword:1\n", 4, "expected '='"},
        {"dword too long", kHeader + k + "\"v\"=dword:123456789\n", 4, "dword:"},
        {"dword not hex", kHeader + k + "\"v\"=dword:12g4\n", 4, "dword:"},
        {"dword empty", kHeader + k + "\"v\"=dword:\n", 4, "dword:"},
        {"bad byte", kHeader + k + "\"v\"=hex:01,zz\n", 4, "bad byte \"zz\""},
        {"three-digit byte", kHeader + k + "\"v\"=hex:123\n", 4, "bad byte"},
        {"empty byte", kHeader + k + "\"v\"=hex:01,,02\n", 4, "empty byte"},
        {"trailing comma", kHeader + k + "\"v\"=hex:01,\n", 4, "empty byte"},
        {"bad byte on a continued line", kHeader + k + "\"v\"=hex:01,\\\n  02,\\\n  0g\n", 6, "bad byte \"0g\""},
        {"continuation at the end", kHeader + k + "\"v\"=hex:01,\\", 4, "end of the file"},
        {"bad hex type", kHeader + k + "\"v\"=hex(zz):01\n", 4, "hex(N)"},
        {"hex without colon", kHeader + k + "\"v\"=hex 01\n", 4, "':'"},
        {"unterminated name", kHeader + k + "\"v=dword:1\n", 4, "unterminated"},
        {"unterminated string", kHeader + k + "\"v\"=\"abc\n", 4, "unterminated"},
        {"unknown escape", kHeader + k + "\"v\"=\"a\\n\"\n", 4, "unknown escape"},
        {"text after a string", kHeader + k + "\"v\"=\"a\" b\n", 4, "after the closing"},
        {"unknown form", kHeader + k + "\"v\"=qword:1\n", 4, "unknown value format"},
        {"value under a deleted key", kHeader + "[-" + kKey + "]\n\"v\"=dword:1\n", 4, "deleted"},
    };
    for (const BadInput &c : cases) {
        SCOPED_TRACE(c.what);
        sim::reg_clear();
        sim::reg_set_dword(kKey, "Keep", 1);
        // A good entry ahead of the fault must not be applied either.
        std::string text = c.text;
        try {
            sim::reg_load_string(text, "store.reg");
            ADD_FAILURE() << "accepted";
        } catch (const sim::RegParseError &e) {
            EXPECT_EQ(e.file, "store.reg");
            EXPECT_EQ(e.line, c.line) << e.what();
            EXPECT_NE(e.message.find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()), "store.reg:" + std::to_string(c.line) + ": " + e.message);
        }
        EXPECT_EQ(sim::reg_values(kKey).size(), 1u);
    }
}

TEST_F(SimRegistry, AFaultAfterGoodEntriesAppliesNone)
{
    EXPECT_THROW(sim::reg_load_string(kHeader + "[" + kKey + "\\New]\n\"a\"=dword:1\n\"b\"=hex:zz\n"),
                 sim::RegParseError);
    EXPECT_FALSE(sim::reg_key_exists(kKey + "\\New"));
}

TEST_F(SimRegistry, LoadsUtf16FilesAndLocatesFileErrors)
{
    std::string path = ::testing::TempDir() + "mivo_sim_registry_utf16.reg";
    std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\S\\\u00C9t\u00E9]\r\n"
                          u"\"N\"=\"\u00E9\"\r\n";
    {
        std::ofstream out(path, std::ios::binary);
        out << '\xFF' << '\xFE';
        for (char16_t c : text)
            out << static_cast<char>(c & 0xFF) << static_cast<char>(c >> 8);
    }
    sim::reg_load_file(path);
    auto v = sim::reg_get_value("HKLM\\S\\\xC3\xA9T\xC3\xA9", "n");
    ASSERT_TRUE(v.has_value()) << "names fold case beyond ASCII";
    EXPECT_EQ(v->data, utf16z(u"\u00E9"));
    std::remove(path.c_str());

    try {
        sim::reg_load_file(path);
        ADD_FAILURE() << "a missing file loaded";
    } catch (const sim::RegParseError &e) {
        EXPECT_EQ(e.file, path);
        EXPECT_EQ(e.line, 0);
    }
}

// ---------------------------------------------------------------- export

TEST_F(SimRegistry, ExportsASubtreeInEnumerationOrder)
{
    sim::reg_set_dword(kKey + "\\Layout", "Default_Profil", 7);
    sim::reg_set_string(kKey + "\\Layout\\Layout - 2", "Profil_Name", "Fly \"fast\" \\ far");
    sim::reg_set_binary(kKey + "\\Layout\\Layout - 2", "Bind - 1", {0x01, 0x00, 0xFF});
    sim::reg_set_qword(kKey + "\\Layout\\Layout - 2", "Q", 0x0102030405060708ULL);
    sim::reg_set_value(kKey + "\\Layout\\Layout - 2", "", REG_SZ, utf16z(u"x"));
    sim::reg_set_value(kKey + "\\Layout\\Layout - 2", "Odd", REG_SZ, {0x41, 0x00}); // no NUL
    sim::reg_set_value(kKey + "\\Layout\\Layout - 2", "Wide", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    sim::reg_create_key(kKey + "\\Layout\\Layout - 1");

    EXPECT_EQ(sim::reg_export(kKey + "\\Layout"),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout]\n"
              "\"Default_Profil\"=dword:00000007\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout\\Layout - 2]\n"
              "\"Profil_Name\"=\"Fly \\\"fast\\\" \\\\ far\"\n"
              "\"Bind - 1\"=hex:01,00,ff\n"
              "\"Q\"=hex(b):08,07,06,05,04,03,02,01\n"
              "@=\"x\"\n"
              "\"Odd\"=hex(1):41,00\n"
              "\"Wide\"=hex(4):01,00,00,00,00,00,00,00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout\\Layout - 1]\n"
              "\n");
    EXPECT_THROW(sim::reg_export(kKey + "\\Missing"), std::out_of_range);
}

TEST_F(SimRegistry, ExportWrapsLongHexAndLoadsBackUnchanged)
{
    Bytes big;
    for (int i = 0; i < 200; i++)
        big.push_back(static_cast<uint8_t>(i * 7));
    sim::reg_set_binary(kKey + "\\B", "Bind - a rather long value name", big);
    sim::reg_set_value(kKey + "\\B", std::string(90, 'n'), REG_BINARY, {1, 2, 3});
    sim::reg_set_string(kKey + "\\A", "Name", "\xC3\xA9t\xC3\xA9");
    sim::reg_set_value(kKey + "\\A", "Lines", REG_SZ, utf16z(u"a\nb"));
    std::string text = sim::reg_export(kKey);

    size_t start = 0;
    int continued = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        if (line.find(std::string(90, 'n')) == std::string::npos) {
            EXPECT_LE(line.size(), 80u) << line;
        }
        if (!line.empty() && line.back() == '\\') {
            continued++;
            EXPECT_EQ(text.substr(end + 1, 2), "  ") << "a continued line starts with two blanks";
        }
        start = end + 1;
    }
    EXPECT_GT(continued, 5);

    sim::reg_clear();
    sim::reg_load_string(text);
    EXPECT_EQ(sim::reg_export(kKey), text);
    EXPECT_EQ(sim::reg_get_value(kKey + "\\B", "Bind - a rather long value name")->data, big);

    std::string path = ::testing::TempDir() + "mivo_sim_registry_export.reg";
    sim::reg_export_file(path, kKey, true);
    sim::reg_clear();
    sim::reg_load_file(path);
    EXPECT_EQ(sim::reg_export(kKey), text) << "the UTF-16 file loads back the same";
    std::remove(path.c_str());
}

// ---------------------------------------------------------------- editing

TEST_F(SimRegistry, EditingKeepsCreationOrderAndSpelling)
{
    sim::reg_set_dword(kKey, "B", 1);
    sim::reg_set_dword(kKey, "a", 2);
    sim::reg_set_dword(kKey, "C", 3);
    sim::reg_set_dword(kKey, "b", 9); // replaces "B" in place
    EXPECT_TRUE(sim::reg_delete_value(kKey, "A"));
    EXPECT_FALSE(sim::reg_delete_value(kKey, "A"));
    auto values = sim::reg_values(kKey);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, "B");
    EXPECT_EQ(values[0].data, (Bytes{9, 0, 0, 0}));
    EXPECT_EQ(values[1].name, "C");

    sim::reg_create_key(kKey + "\\Zeta");
    sim::reg_create_key(kKey + "\\alpha");
    sim::reg_create_key(kKey + "\\ZETA"); // exists already
    EXPECT_EQ(sim::reg_subkeys(kKey), (std::vector<std::string>{"Zeta", "alpha"}));
    EXPECT_TRUE(sim::reg_delete_key(kKey + "\\zeta"));
    EXPECT_FALSE(sim::reg_delete_key(kKey + "\\zeta"));
    EXPECT_THROW(sim::reg_delete_key("HKEY_LOCAL_MACHINE"), std::invalid_argument);
    EXPECT_THROW(sim::reg_create_key("HKEY_CLASSES_ROOT\\x"), std::invalid_argument);
}

TEST_F(SimRegistry, ResetEmptiesTheTree)
{
    sim::reg_set_dword(kKey, "v", 1);
    HANDLE key = open_ok(kKernelKey);
    ASSERT_NE(key, nullptr);
    sim::reset(); // forgets the open handle too
    EXPECT_FALSE(sim::reg_key_exists(kKey));
    EXPECT_TRUE(sim::reg_key_exists("\\Registry\\Machine"));
    EXPECT_TRUE(sim::reg_key_exists("HKEY_USERS"));
    EXPECT_EQ(sim::reg_open_handles(), 0u);
}

// ---------------------------------------------------------------- the Zw routines

TEST_F(SimRegistry, OpensByPathCaseInsensitivelyOrRelative)
{
    sim::reg_create_key(kKey + "\\Layout\\Layout - 1");
    struct {
        std::u16string path;
        NTSTATUS status;
    } cases[] = {
        {kKernelKey + u"\\Layout", STATUS_SUCCESS},
        {kKernelKey + u"\\Layout\\", STATUS_SUCCESS}, // the store's root is opened this way
        {u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\MIVO\\layout\\LAYOUT - 1", STATUS_SUCCESS},
        {u"\\Registry", STATUS_SUCCESS},
        {kKernelKey + u"\\Missing", STATUS_OBJECT_NAME_NOT_FOUND},
        {kKernelKey + u"\\Missing\\Layout", STATUS_OBJECT_NAME_NOT_FOUND},
        {kKernelKey + u"\\\\Layout", static_cast<NTSTATUS>(0xC0000033)}, // STATUS_OBJECT_NAME_INVALID
        {u"\\Device\\Null", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"Registry\\Machine", static_cast<NTSTATUS>(0xC000003B)}, // STATUS_OBJECT_PATH_SYNTAX_BAD
    };
    for (auto &c : cases) {
        HANDLE key = nullptr;
        NTSTATUS status = open(c.path, &key);
        EXPECT_EQ(status, c.status) << std::string(c.path.begin(), c.path.end());
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        }
    }

    HANDLE parent = open_ok(kKernelKey);
    HANDLE child = nullptr;
    EXPECT_EQ(open(u"layout\\Layout - 1", &child, parent), STATUS_SUCCESS);
    ULONG size = 0;
    UCHAR buffer[64];
    EXPECT_EQ(ZwQueryKey(child, KeyBasicInformation, buffer, sizeof buffer, &size), STATUS_SUCCESS);
    auto *basic = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
    EXPECT_EQ(std::u16string(basic->Name, basic->NameLength / 2), u"Layout - 1") << "the stored spelling";
    ZwClose(child);
    ZwClose(parent);
}

TEST_F(SimRegistry, SizeProbesAnswerTooSmallThenOverflowThenData)
{
    sim::reg_set_binary(kKey, "Bind - 1", {1, 2, 3, 4, 5});
    HANDLE key = open_ok(kKernelKey);
    const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG need = fixed + 5;
    UCHAR buffer[64];
    auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer);

    struct {
        ULONG length;
        NTSTATUS status;
    } steps[] = {
        {0, STATUS_BUFFER_TOO_SMALL}, {fixed - 1, STATUS_BUFFER_TOO_SMALL}, {fixed, STATUS_BUFFER_OVERFLOW},
        {need - 1, STATUS_BUFFER_OVERFLOW}, {need, STATUS_SUCCESS},       {sizeof buffer, STATUS_SUCCESS},
    };
    for (auto &s : steps) {
        SCOPED_TRACE(s.length);
        std::memset(buffer, 0xCC, sizeof buffer);
        ULONG result = 0;
        EXPECT_EQ(query_value(key, u"bind - 1", KeyValuePartialInformation, s.length ? buffer : nullptr, s.length,
                              &result),
                  s.status);
        EXPECT_EQ(result, need);
        if (s.status == STATUS_BUFFER_TOO_SMALL) {
            EXPECT_EQ(buffer[0], 0xCC) << "nothing written";
        } else {
            EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
            EXPECT_EQ(info->DataLength, 5u);
            if (s.status == STATUS_SUCCESS) {
                EXPECT_EQ(Bytes(info->Data, info->Data + 5), (Bytes{1, 2, 3, 4, 5}));
            } else {
                EXPECT_EQ(info->Data[0], 0xCC) << "no data in part";
            }
        }
    }

    // The key's full information ends where its (empty) class name would be.
    ULONG result = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, offsetof(KEY_FULL_INFORMATION, Class));
    EXPECT_EQ(ZwQueryKey(key, KeyNodeInformation, buffer, sizeof buffer, &result), STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(SimRegistry, NameRecordsGiveAsMuchOfTheNameAsFits)
{
    sim::reg_create_key(kKey + "\\Layout - 1");
    sim::reg_set_dword(kKey, "Profil_Id", 5);
    HANDLE key = open_ok(kKernelKey);
    UCHAR buffer[64];
    ULONG result = 0;

    const ULONG keyFixed = offsetof(KEY_BASIC_INFORMATION, Name);
    EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, keyFixed + 20);
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, keyFixed + 4, &result), STATUS_BUFFER_OVERFLOW);
    auto *keyInfo = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
    EXPECT_EQ(keyInfo->NameLength, 20u) << "the full length, with part of the name";
    EXPECT_EQ(std::u16string(keyInfo->Name, 2), u"La");

    const ULONG valueFixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
    EXPECT_EQ(ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, valueFixed + 18);
    EXPECT_EQ(ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer, result, &result), STATUS_SUCCESS);
    auto *valueInfo = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION *>(buffer);
    EXPECT_EQ(valueInfo->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(std::u16string(valueInfo->Name, valueInfo->NameLength / 2), u"Profil_Id");
    ZwClose(key);
}

TEST_F(SimRegistry, EnumeratesInCreationOrderUntilNoMoreEntries)
{
    for (const char *name : {"Layout - 2", "Layout - 10", "Layout - 1"})
        sim::reg_create_key(kKey + "\\" + name);
    for (const char *name : {"Zulu", "Alpha", "Mike"})
        sim::reg_set_dword(kKey, name, 0);
    HANDLE key = open_ok(kKernelKey);
    UCHAR buffer[128];
    ULONG result = 0;

    std::vector<std::u16string> keys, values;
    for (ULONG i = 0;; i++) {
        NTSTATUS status = ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof buffer, &result);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto *info = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
        keys.emplace_back(info->Name, info->NameLength / 2);
    }
    for (ULONG i = 0;; i++) {
        NTSTATUS status = ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof buffer, &result);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto *info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION *>(buffer);
        values.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"Layout - 2", u"Layout - 10", u"Layout - 1"}));
    EXPECT_EQ(values, (std::vector<std::u16string>{u"Zulu", u"Alpha", u"Mike"}));

    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto *full = reinterpret_cast<KEY_FULL_INFORMATION *>(buffer);
    EXPECT_EQ(full->SubKeys, 3u);
    EXPECT_EQ(full->Values, 3u);
    EXPECT_EQ(full->MaxNameLen, 22u); // "Layout - 10"
    EXPECT_EQ(full->MaxValueNameLen, 10u);
    EXPECT_EQ(full->MaxValueDataLen, 4u);
    ZwClose(key);
}

TEST_F(SimRegistry, MissingValuesDeletedKeysAndBadHandles)
{
    sim::reg_set_dword(kKey, "", 3); // the default value
    HANDLE key = open_ok(kKernelKey);
    ULONG result = 0;
    UCHAR buffer[32];
    EXPECT_EQ(query_value(key, u"Nope", KeyValuePartialInformation, nullptr, 0, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query_value(key, u"", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(query_value(key, u"", KeyValueFullInformation, buffer, sizeof buffer, &result),
              STATUS_INVALID_PARAMETER);

    sim::reg_delete_key(kKey);
    EXPECT_EQ(query_value(key, u"", KeyValuePartialInformation, buffer, sizeof buffer, &result),
              static_cast<NTSTATUS>(0xC000017C)) // STATUS_KEY_DELETED
        << "a handle outlives its key";
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
}

TEST_F(SimRegistry, AKeyLeftOpenIsReportedByItsPath)
{
    sim::reg_create_key(kKey);
    HANDLE key = open_ok(u"\\registry\\MACHINE\\System\\CurrentControlSet\\Services\\mivo\\");
    EXPECT_EQ(sim::reg_open_handles(), 1u);
    bool named = false;
    for (const std::string &p : sim::problems())
        named |= p == "registry key handle never closed: \\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo";
    EXPECT_TRUE(named);
    ZwClose(key);
    EXPECT_EQ(sim::reg_open_handles(), 0u);
}

} // namespace
