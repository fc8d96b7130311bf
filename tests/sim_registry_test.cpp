// The simulated registry: .reg import (value forms, located errors, an
// all-or-nothing load), .reg export and its round trip, and the Zw routines as
// the driver sees them (size probes, enumeration order, missing names,
// handles).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// A counted string over `s`, as the Zw routines take names.
UNICODE_STRING counted(std::u16string &s) { return {USHORT(s.size() * 2), USHORT(s.size() * 2), s.data()}; }

class SimRegistry : public SimTest {
protected:
    // Opens a kernel path; the test closes what it opens.
    HANDLE open(std::u16string path, NTSTATUS expected = STATUS_SUCCESS) {
        UNICODE_STRING name = counted(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE key = nullptr;
        EXPECT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), expected) << std::string(path.begin(), path.end());
        return key;
    }

    NTSTATUS query_value(HANDLE key, std::u16string name, KEY_VALUE_INFORMATION_CLASS cls, void *buffer, ULONG length,
                         ULONG *result) {
        UNICODE_STRING us = counted(name);
        return ZwQueryValueKey(key, &us, cls, buffer, length, result);
    }
};

// ---------------------------------------------------------------- import

TEST_F(SimRegistry, ImportsEachValueForm) {
    const struct {
        std::string line, name;
        uint32_t type;
        Bytes data;
    } cases[] = {
        {"\"v\"=dword:105", "v", REG_DWORD, {0x05, 0x01, 0, 0}},
        {"\"v\" = dword:FFFFfffe", "v", REG_DWORD, {0xFE, 0xFF, 0xFF, 0xFF}},
        {R"("v"="a\\b\"c")", "v", REG_SZ, {'a', 0, '\\', 0, 'b', 0, '"', 0, 'c', 0, 0, 0}},
        {"\"v\"=\"\xC3\xA9\xE2\x82\xAC\"", "v", REG_SZ, {0xE9, 0, 0xAC, 0x20, 0, 0}}, // UTF-8 to UTF-16
        {"\"v\"=hex:01,ff,\\\r\n  0A\r", "v", REG_BINARY, {0x01, 0xFF, 0x0A}}, // continued, CRLF
        {"\"v\"=hex(b):01,02,03,04,05,06,07,08", "v", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"@=\"d\"", "", REG_SZ, {'d', 0, 0, 0}},
        {R"("a\"b\\c"=dword:1)", "a\"b\\c", REG_DWORD, {1, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        sim::reg_clear();
        sim::reg_load_string(kHeader + "[" + kKey + "]\n" + c.line + "\n");
        auto v = sim::reg_get_value(kKey, c.name);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->type, c.type);
        EXPECT_EQ(v->data, c.data);
    }
}

TEST_F(SimRegistry, MalformedInputIsLocatedAndChangesNothing) {
    const std::string k = kHeader + "[" + kKey + "]\n";
    const struct {
        std::string text;
        int line;
        const char *message; // a part of the message
    } cases[] = {
        {"", 1, "header"},
        {kHeader + "\"v\"=dword:1\n", 3, "before any [KEY]"},
        {kHeader + "[" + kKey + "\n", 3, "closing ']'"},
        {k + "\"v\"=dword:123456789\n", 4, "dword:"}, // nine digits
        {k + "\"v\"=hex:01,\\\n  02,\\\n  0g\n", 6, "bad byte \"0g\""},
        {k + "\"v\"=hex:01,\\", 4, "end of the file"},
        {k + "\"v\"=\"a\\n\"\n", 4, "unknown escape"},
        {kHeader + "[" + kKey + "\\New]\n\"a\"=dword:1\n\"b\"=hex:zz\n", 5, "bad byte"}, // after a good entry
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        sim::reg_clear();
        sim::reg_set_dword(kKey, "Keep", 1);
        try {
            sim::reg_load_string(c.text, "store.reg");
            ADD_FAILURE() << "accepted";
        } catch (const sim::RegParseError &e) {
            EXPECT_EQ(std::string(e.what()), "store.reg:" + std::to_string(c.line) + ": " + e.message);
            EXPECT_NE(e.message.find(c.message), std::string::npos) << e.what();
        }
        EXPECT_EQ(sim::reg_values(kKey).size(), 1u);
        EXPECT_FALSE(sim::reg_key_exists(kKey + "\\New"));
    }
    EXPECT_THROW(sim::reg_load_file(::testing::TempDir() + "mivo_no_such_file.reg"), sim::RegParseError);
}

// ---------------------------------------------------------------- export

TEST_F(SimRegistry, ImportAppliesDeletesAndExportsCanonicalTextThatLoadsBackUnchanged) {
    const std::string first = "00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14";
    const std::string rest = "15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27";
    sim::reg_load_string("\xEF\xBB\xBF" // a UTF-8 BOM, CRLF lines, a comment, implied parents
                         "Windows Registry Editor Version 5.00\r\n\r\n; a comment\r\n"
                         "[" + kKey + "\\Layout\\Layout - 2]\r\n"
                         "\"Profil_Name\"=\"Fly \\\"fast\\\" \\\\ far\"\r\n\"Gone\"=dword:1\r\n\"Gone\"=-\r\n"
                         "\"Bind - 1\" = hex:" + first + "," + rest + "\r\n"
                         "\"Q\"=hex(b):08,07,06,05,04,03,02,01\r\n@=\"x\"\r\n\"Odd\"=hex(1):41,00\r\n"
                         "[" + kKey + "\\Layout]\r\n\"Default_Profil\"=dword:7\r\n"
                         "[" + kKey + "\\Layout\\\xC3\x89t\xC3\xA9]\r\n"
                         "[" + kKey + "\\Old\\Deeper]\r\n[-" + kKey + "\\Old]\r\n");
    EXPECT_EQ(sim::reg_subkeys(kKey), (std::vector<std::string>{"Layout"}));
    // Parents before children, in creation order; hex wrapped before column 80.
    const std::string text = kHeader + "[" + kKey + "\\Layout]\n"
                             "\"Default_Profil\"=dword:00000007\n\n"
                             "[" + kKey + "\\Layout\\Layout - 2]\n"
                             "\"Profil_Name\"=\"Fly \\\"fast\\\" \\\\ far\"\n"
                             "\"Bind - 1\"=hex:" + first + ",\\\n  " + rest + "\n"
                             "\"Q\"=hex(b):08,07,06,05,04,03,02,01\n@=\"x\"\n"
                             "\"Odd\"=hex(1):41,00\n\n" // a string without its NUL
                             "[" + kKey + "\\Layout\\\xC3\x89t\xC3\xA9]\n\n";
    EXPECT_EQ(sim::reg_export(kKey + "\\Layout"), text);
    EXPECT_THROW(sim::reg_export(kKey + "\\Missing"), std::out_of_range);

    std::string path = ::testing::TempDir() + "mivo_sim_registry_export.reg";
    sim::reg_export_file(path, kKey + "\\Layout", true);
    sim::reg_clear();
    sim::reg_load_file(path);
    std::remove(path.c_str());
    EXPECT_EQ(sim::reg_export(kKey + "\\Layout"), text) << "the UTF-16 file loads back the same";
    EXPECT_TRUE(sim::reg_key_exists(kKey + "\\layout\\\xC3\xA9T\xC3\x89")) << "names fold case beyond ASCII";
}

// ---------------------------------------------------------------- the Zw routines

TEST_F(SimRegistry, OpensByPathCaseInsensitively) {
    sim::reg_create_key(kKey + "\\Layout");
    const std::pair<std::u16string, NTSTATUS> cases[] = {
        {u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\MIVO\\layout\\", STATUS_SUCCESS},
        {kKernelKey + u"\\Missing\\Layout", STATUS_OBJECT_NAME_NOT_FOUND},
        {kKernelKey + u"\\\\Layout", NTSTATUS(0xC0000033)}, // STATUS_OBJECT_NAME_INVALID
        {u"Registry\\Machine", NTSTATUS(0xC000003B)},        // STATUS_OBJECT_PATH_SYNTAX_BAD
    };
    for (auto [path, status] : cases)
        if (HANDLE key = open(path, status))
            ZwClose(key);
}

// Each query the driver sizes first: below the fixed part nothing is written
// (too small); below the whole, the fixed part (overflow); the size needed is
// given every time.
TEST_F(SimRegistry, SizeProbesAnswerTooSmallThenOverflowThenData) {
    sim::reg_create_key(kKey + "\\Layout - 1");
    sim::reg_set_binary(kKey, "Bind - 1", {1, 2, 3, 4, 5});
    HANDLE key = open(kKernelKey);
    const struct {
        const char *name;
        std::function<NTSTATUS(void *, ULONG, ULONG *)> query;
        ULONG fixed, name_or_data;
    } probes[] = {
        {"value",
         [&](void *b, ULONG n, ULONG *r) { return query_value(key, u"bind - 1", KeyValuePartialInformation, b, n, r); },
         offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data), 5},
        {"subkey", [&](void *b, ULONG n, ULONG *r) { return ZwEnumerateKey(key, 0, KeyBasicInformation, b, n, r); },
         offsetof(KEY_BASIC_INFORMATION, Name), 20},
        {"value name",
         [&](void *b, ULONG n, ULONG *r) { return ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, b, n, r); },
         offsetof(KEY_VALUE_BASIC_INFORMATION, Name), 16},
        {"key, no class name", [&](void *b, ULONG n, ULONG *r) { return ZwQueryKey(key, KeyFullInformation, b, n, r); },
         offsetof(KEY_FULL_INFORMATION, Class), 0},
    };
    UCHAR buffer[128];
    for (const auto &p : probes) {
        const ULONG need = p.fixed + p.name_or_data;
        for (ULONG length : {ULONG(0), p.fixed - 1, p.fixed, need - 1, need}) {
            SCOPED_TRACE(std::string(p.name) + " " + std::to_string(length));
            std::memset(buffer, 0xCC, sizeof buffer);
            ULONG result = 0;
            EXPECT_EQ(p.query(length ? buffer : nullptr, length, &result), length < p.fixed ? STATUS_BUFFER_TOO_SMALL
                                                                           : length < need  ? STATUS_BUFFER_OVERFLOW
                                                                                            : STATUS_SUCCESS);
            EXPECT_EQ(result, need);
            EXPECT_EQ(buffer[0] != 0xCC || buffer[1] != 0xCC, length >= p.fixed) << "the fixed part written";
            EXPECT_EQ(buffer[length], 0xCC) << "nothing written past the length";
            EXPECT_TRUE(length < need || !p.name_or_data || buffer[need - 1] != 0xCC) << "the name or data written";
        }
    }
    ZwClose(key);
}

TEST_F(SimRegistry, EnumeratesInCreationOrderUntilNoMoreEntries) {
    for (const char *name : {"Layout - 2", "Layout - 10", "Layout - 1"})
        sim::reg_create_key(kKey + "\\" + name);
    for (const char *name : {"Zulu", "Alpha"})
        sim::reg_set_dword(kKey, name, 0);
    HANDLE key = open(kKernelKey);
    UCHAR buffer[128];
    ULONG result = 0;
    std::vector<std::u16string> keys, values;
    for (ULONG i = 0; ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof buffer, &result) == 0; i++) {
        auto *info = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
        keys.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(ZwEnumerateKey(key, 3, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_NO_MORE_ENTRIES);
    for (ULONG i = 0; ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof buffer, &result) == 0; i++) {
        auto *info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION *>(buffer);
        values.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(ZwEnumerateValueKey(key, 2, KeyValueBasicInformation, buffer, sizeof buffer, &result),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"Layout - 2", u"Layout - 10", u"Layout - 1"}));
    EXPECT_EQ(values, (std::vector<std::u16string>{u"Zulu", u"Alpha"}));
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto *full = reinterpret_cast<KEY_FULL_INFORMATION *>(buffer);
    EXPECT_EQ(full->SubKeys, 3u);
    EXPECT_EQ(full->Values, 2u);
    ZwClose(key);
}

TEST_F(SimRegistry, MissingValuesDeletedKeysClosedHandlesAndKeysLeftOpen) {
    sim::reg_set_dword(kKey, "", 3); // the default value
    HANDLE key = open(u"\\registry\\MACHINE\\System\\CurrentControlSet\\Services\\mivo\\");
    std::vector<std::string> problems = sim::problems();
    const std::string named = "registry key handle never closed: \\Registry\\Machine\\System\\CurrentControlSet"
                              "\\Services\\mivo"; // the stored spelling, no trailing backslash
    EXPECT_NE(std::find(problems.begin(), problems.end(), named), problems.end());
    ULONG result = 0;
    UCHAR buffer[32];
    EXPECT_EQ(query_value(key, u"Nope", KeyValuePartialInformation, nullptr, 0, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query_value(key, u"", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    sim::reg_delete_key(kKey);
    EXPECT_EQ(query_value(key, u"", KeyValuePartialInformation, buffer, sizeof buffer, &result),
              NTSTATUS(0xC000017C)) // STATUS_KEY_DELETED
        << "a handle outlives its key";
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(sim::reg_open_handles(), 0u);
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
}

} // namespace
