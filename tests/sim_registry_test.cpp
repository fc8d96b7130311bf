// The simulated registry as the driver sees it through the Zw routines: size
// probes, subkeys in a hive's sorted order and values in write order, missing
// names, handles, the IRQL they require; and a tree that stays cheap and
// bounded however large or deep a store makes it.
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
// (too small); below the whole, the fixed part and as much of the name or
// data as fits (overflow); the size needed is given every time.
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
            EXPECT_TRUE(length <= p.fixed || buffer[std::min(length, need) - 1] != 0xCC)
                << "the name or data written as far as it fits";
        }
    }
    ZwClose(key);
}

// A hive keeps subkeys in its index, sorted by upper-cased name, so the
// driver enumerates them in that order, never in the order they were made;
// values stay in the order they were first written.
TEST_F(SimRegistry, EnumeratesSubkeysSortedAndValuesInWriteOrder)
{
    const char *created[] = {"Layout - 2", "layout - b", "Layout - 10", "\xC3\xA9t\xC3\xA9", "Layout - A",
                             "Layout - 1", "Zeta", "\xC3\x89T\xC3\x89 2", "Layout_"};
    for (const char *name : created)
        sim::reg_create_key(kKey + "\\" + name);
    for (const char *name : {"Zulu", "alpha", "Gone", "Mike"})
        sim::reg_set_dword(kKey, name, 0);
    sim::reg_set_dword(kKey, "ZULU", 1); // replaced in place, keeps its spelling and place
    sim::reg_delete_value(kKey, "gone");
    sim::reg_set_dword(kKey, "Last", 2);
    // By upper-cased UTF-16 units: ' ' < '-' < digits < letters < '_' < 'É' (0xC9).
    const std::vector<std::u16string> sorted = {u"Layout - 1", u"Layout - 10", u"Layout - 2", u"Layout - A",
                                               u"layout - b", u"Layout_",     u"Zeta",       u"\u00e9t\u00e9",
                                               u"\u00c9T\u00c9 2"};
    HANDLE key = open(kKernelKey);
    UCHAR buffer[128];
    ULONG result = 0;
    std::vector<std::u16string> keys, values;
    for (ULONG i = 0; ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof buffer, &result) == 0; i++) {
        auto *info = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
        keys.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(ZwEnumerateKey(key, 9, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_NO_MORE_ENTRIES);
    for (ULONG i = 0; ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof buffer, &result) == 0; i++) {
        auto *info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION *>(buffer);
        values.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(ZwEnumerateValueKey(key, 4, KeyValueBasicInformation, buffer, sizeof buffer, &result),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(keys, sorted);
    EXPECT_EQ(values, (std::vector<std::u16string>{u"Zulu", u"alpha", u"Mike", u"Last"}));
    EXPECT_EQ(sim::reg_get_value(kKey, "zulu")->data, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(sim::reg_get_value(kKey, "MIKE")->data, (Bytes{0, 0, 0, 0})) << "the index follows a deletion before it";
    EXPECT_EQ(sim::reg_get_value(kKey, "last")->data, (Bytes{2, 0, 0, 0}));
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto *full = reinterpret_cast<KEY_FULL_INFORMATION *>(buffer);
    EXPECT_EQ(full->SubKeys, 9u);
    EXPECT_EQ(full->Values, 4u);
    ZwClose(key);

    sim::reg_delete_key(kKey + "\\LAYOUT - 10");
    sim::reg_create_key(kKey + "\\Layout - 0");
    std::vector<std::string> after = sim::reg_subkeys(kKey);
    EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + 3),
              (std::vector<std::string>{"Layout - 0", "Layout - 1", "Layout - 2"}))
        << "the order follows a deletion and a later creation";
}

TEST_F(SimRegistry, EveryZwRoutineAbovePassiveLevelIsAProblem)
{
    sim::reg_set_dword(kKey, "v", 1);
    sim::reg_create_key(kKey + "\\Sub");
    HANDLE key = open(kKernelKey);
    std::u16string value = u"v", path = kKernelKey;
    UNICODE_STRING value_name = counted(value), path_name = counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path_name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    UCHAR buffer[64];
    ULONG result = 0;
    HANDLE second = nullptr;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    ZwOpenKey(&second, KEY_ALL_ACCESS, &attributes);
    ZwQueryKey(key, KeyFullInformation, buffer, sizeof buffer, &result);
    ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof buffer, &result);
    ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer, sizeof buffer, &result);
    ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, buffer, sizeof buffer, &result);
    KeReleaseSpinLock(&lock, old);
    std::vector<std::string> problems = sim::problems();
    for (const char *routine : {"ZwOpenKey", "ZwQueryKey", "ZwEnumerateKey", "ZwEnumerateValueKey", "ZwQueryValueKey"})
        EXPECT_EQ(std::count(problems.begin(), problems.end(), std::string(routine) + " above PASSIVE_LEVEL"), 1)
            << routine;
    ZwClose(second);
    ZwClose(key);
    sim::reset(); // the findings were the point
}

// Hostile stores: a key path deeper than Windows allows is refused; a tree
// far deeper than that (built with the limit raised) is deleted and torn down
// without recursion; a key with many thousands of values is written and read
// through the index. None of these may take long or overflow the stack.
TEST_F(SimRegistry, DeepTreesAndLargeKeysStayBounded)
{
    std::string at_limit = "HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 512; i++)
        at_limit += "\\k";
    sim::reg_create_key(at_limit);
    EXPECT_TRUE(sim::reg_key_exists(at_limit));
    EXPECT_THROW(sim::reg_create_key(at_limit + "\\k"), std::invalid_argument);
    EXPECT_THROW(sim::reg_set_dword(at_limit + "\\k", "v", 1), std::invalid_argument);
    EXPECT_FALSE(sim::reg_key_exists(at_limit + "\\k"));

    EXPECT_EQ(sim::reg_set_depth_limit(60000), 512u);
    std::string deep = kKey;
    for (int i = 0; i < 50000; i++)
        deep += "\\d";
    sim::reg_create_key(deep);
    EXPECT_TRUE(sim::reg_delete_key(kKey + "\\d")) << "deleted without recursion";
    sim::reg_create_key(deep);
    sim::reg_clear(); // and torn down with the tree

    const std::string many = kKey + "\\Layout - 1";
    for (uint32_t i = 0; i < 20000; i++)
        sim::reg_set_dword(many, "Bind - " + std::to_string(i), i);
    EXPECT_TRUE(sim::reg_delete_value(many, "BIND - 0"));
    ASSERT_TRUE(sim::reg_get_value(many, "bind - 19999").has_value());
    EXPECT_EQ(sim::reg_get_value(many, "bind - 19999")->data, (Bytes{0x1F, 0x4E, 0, 0}));
    EXPECT_EQ(sim::reg_values(many).size(), 19999u);
    EXPECT_EQ(sim::reg_values(many).front().name, "Bind - 1");
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
