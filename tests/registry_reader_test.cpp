// The profile store's registry reader: the path it opens, the typed readers'
// handling of wrong types, lengths and cut data, the name readers' 127/128
// character limit, the failure lines it traces, and running out of pool
// between the size probe and the read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"
#include "tests/support/sim_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kService = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo";
const std::string kLayout = kService + "\\Layout";
const std::u16string kBase = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo";

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

bool has_line(const std::string &line)
{
    for (const std::string &l : sim::trace_lines()) {
        if (l == line)
            return true;
    }
    return false;
}

class RegistryReader : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::reg_create_key(kLayout);
    }

    void TearDown() override
    {
        if (key_ != nullptr)
            ZwClose(key_);
        SimTest::TearDown();
    }

    // The store's root, opened as the loader opens it.
    HANDLE root()
    {
        if (key_ == nullptr)
            key_ = MIVO_Open_Reg(kBase.c_str(), nullptr);
        EXPECT_NE(key_, nullptr);
        return key_;
    }

    HANDLE key_ = nullptr;
};

TEST_F(RegistryReader, OpensTheLayoutKeyUnderTheBasePath)
{
    sim::reg_create_key(kLayout + "\\Layout - 1");
    HANDLE root = MIVO_Open_Reg(kBase.c_str(), nullptr);
    ASSERT_NE(root, nullptr);
    ZwClose(root);
    HANDLE sub = MIVO_Open_Reg(kBase.c_str(), u"layout - 1");
    ASSERT_NE(sub, nullptr);
    ZwClose(sub);
    EXPECT_EQ(sim::trace_lines(),
              (std::vector<std::string>{
                  "newpath bis \\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo\\Layout\\",
                  "newpath bis \\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo\\Layout\\layout - 1"}));

    sim::trace_clear();
    EXPECT_EQ(MIVO_Open_Reg(kBase.c_str(), u"Layout - 9"), nullptr);
    EXPECT_TRUE(has_line("> Leave: MIVO_Open_Reg: NULL: ZwOpenKey failed: c0000034"));
}

TEST_F(RegistryReader, PartsThatDoNotFitThePathAreLeftOut)
{
    // 254 units of base path: "\Layout\" no longer fits, a 2-unit subkey
    // name still does and fills all 256 units.
    std::u16string base = u"\\Registry\\Machine\\" + std::u16string(236, u'k');
    ASSERT_EQ(base.size(), 254u);
    sim::reg_create_key("\\Registry\\Machine\\" + std::string(236, 'k') + "ab");
    HANDLE key = MIVO_Open_Reg(base.c_str(), u"ab");
    ASSERT_NE(key, nullptr);
    ZwClose(key);
    EXPECT_EQ(sim::trace_lines().at(0), "newpath bis \\Registry\\Machine\\" + std::string(236, 'k') + "ab")
        << "the full 512-byte path still prints as a terminated string";

    // Too long a subkey name: only the root is opened.
    key = MIVO_Open_Reg(kBase.c_str(), std::u16string(250, u'x').c_str());
    ASSERT_NE(key, nullptr);
    ZwClose(key);
}

TEST_F(RegistryReader, CountsSubkeysAndValues)
{
    sim::reg_create_key(kLayout + "\\A");
    sim::reg_create_key(kLayout + "\\B");
    sim::reg_set_dword(kLayout, "Default_Profil", 1);
    ULONG subKeys = 99, values = 99;
    EXPECT_EQ(MIVO_Get_Key_Info(root(), &subKeys, &values), STATUS_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(values, 1u);
    EXPECT_EQ(MIVO_Get_Key_Info(root(), nullptr, nullptr), STATUS_SUCCESS);

    sim::trace_clear();
    EXPECT_EQ(MIVO_Get_Key_Info(reinterpret_cast<HANDLE>(uintptr_t{0x7777}), &subKeys, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(sim::trace_lines(), (std::vector<std::string>{"> Leave: MIVO_Get_Key_Info: c0000008"}));
}

struct DwordCase {
    const char *what;
    uint32_t type;
    Bytes data; // empty with missing = true: no value
    bool missing;
    NTSTATUS status;
    ULONG value;
    const char *line; // the reader's own failure line, or "" for none
};

TEST_F(RegistryReader, DwordAcceptsOnlyFourByteDwords)
{
    const DwordCase cases[] = {
        {"a 4-byte dword", REG_DWORD, {0x05, 0x00, 0x01, 0x80}, false, STATUS_SUCCESS, 0x80010005, ""},
        {"8 bytes of REG_DWORD", REG_DWORD, {5, 0, 0, 0, 0, 0, 0, 0}, false, STATUS_UNSUCCESSFUL, 77,
         "> Leave: MIVO_Get_DWORD: STATUS_UNSUCCESSFUL, 77"},
        {"3 bytes of REG_DWORD", REG_DWORD, {5, 0, 0}, false, STATUS_UNSUCCESSFUL, 77,
         "> Leave: MIVO_Get_DWORD: STATUS_UNSUCCESSFUL, 77"},
        {"a qword", REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0}, false, STATUS_UNSUCCESSFUL, 77,
         "> Leave: MIVO_Get_DWORD: STATUS_UNSUCCESSFUL, 77"},
        {"4 bytes of REG_BINARY", REG_BINARY, {5, 0, 0, 0}, false, STATUS_UNSUCCESSFUL, 77,
         "> Leave: MIVO_Get_DWORD: STATUS_UNSUCCESSFUL, 77"},
        {"missing", REG_NONE, {}, true, STATUS_OBJECT_NAME_NOT_FOUND, 77,
         "> Leave: MIVO_Get_DWORD: c0000034, 77"},
    };
    HANDLE key = root();
    for (const DwordCase &c : cases) {
        SCOPED_TRACE(c.what);
        sim::reg_delete_value(kLayout, "V");
        if (!c.missing)
            sim::reg_set_value(kLayout, "V", c.type, c.data);
        sim::trace_clear();
        ULONG value = 12345;
        EXPECT_EQ(MIVO_Get_DWORD(key, u"V", &value, 77), c.status);
        EXPECT_EQ(value, c.value);
        if (*c.line) {
            EXPECT_TRUE(has_line(c.line)) << sim::trace_text();
        } else {
            EXPECT_TRUE(sim::trace_lines().empty()) << "a success logs nothing: " << sim::trace_text();
        }
    }
    EXPECT_TRUE(has_line("> Leave: MIVO_Get_Data: c0000034")) << "the missing value, from the data read";
}

struct BlockCase {
    const char *what;
    uint32_t type;
    Bytes data;
    bool missing;
    NTSTATUS status;
    Bytes expect; // the whole buffer afterwards
};

TEST_F(RegistryReader, StringIsCutAndAlwaysTerminated)
{
    Bytes longText;
    for (int i = 0; i < 60; i++) { // 120 bytes: 59 characters and the NUL
        longText.push_back(i == 59 ? 0 : static_cast<uint8_t>('A' + i % 26));
        longText.push_back(0);
    }
    Bytes cut(longText.begin(), longText.begin() + 98);
    cut.resize(100, 0);
    Bytes fly = utf16z(u"Fly");
    fly.resize(100, 0);
    Bytes unterminated = {'a', 0, 'b', 0};
    Bytes unterminatedOut = unterminated;
    unterminatedOut.resize(100, 0);

    const BlockCase cases[] = {
        {"120 bytes into 100", REG_SZ, longText, false, STATUS_SUCCESS, cut},
        {"a short name", REG_SZ, utf16z(u"Fly"), false, STATUS_SUCCESS, fly},
        {"no NUL of its own", REG_SZ, unterminated, false, STATUS_SUCCESS, unterminatedOut},
        {"binary", REG_BINARY, {'a', 0, 0, 0}, false, STATUS_UNSUCCESSFUL, Bytes(100, 0)},
        {"expandable string", REG_EXPAND_SZ, utf16z(u"x"), false, STATUS_UNSUCCESSFUL, Bytes(100, 0)},
        {"missing", REG_NONE, {}, true, STATUS_OBJECT_NAME_NOT_FOUND, Bytes(100, 0)},
    };
    for (const BlockCase &c : cases) {
        SCOPED_TRACE(c.what);
        sim::reg_delete_value(kLayout, "Profil_Name");
        if (!c.missing)
            sim::reg_set_value(kLayout, "Profil_Name", c.type, c.data);
        sim::trace_clear();
        Bytes buffer(100, 0xAA);
        EXPECT_EQ(MIVO_Get_STRING(root(), u"Profil_Name", reinterpret_cast<PWSTR>(buffer.data()), 100), c.status);
        EXPECT_EQ(buffer, c.expect);
        if (c.status == STATUS_UNSUCCESSFUL) {
            EXPECT_TRUE(has_line("> Leave: MIVO_Get_STRING: STATUS_UNSUCCESSFUL"));
        }
        if (c.missing) {
            EXPECT_TRUE(has_line("> Leave: MIVO_Get_STRING: Error Get Data c0000034"));
        }
    }
}

TEST_F(RegistryReader, BinaryFillsTheBufferAndZeroesTheRest)
{
    Bytes forty;
    for (int i = 0; i < 40; i++)
        forty.push_back(static_cast<uint8_t>(i + 1));
    Bytes twenty(forty.begin(), forty.begin() + 20);
    Bytes twentyOut = twenty;
    twentyOut.resize(34, 0);

    const BlockCase cases[] = {
        {"20 bytes into 34", REG_BINARY, twenty, false, STATUS_SUCCESS, twentyOut},
        {"40 bytes into 34", REG_BINARY, forty, false, STATUS_SUCCESS, Bytes(forty.begin(), forty.begin() + 34)},
        {"empty", REG_BINARY, {}, false, STATUS_SUCCESS, Bytes(34, 0)},
        {"a string", REG_SZ, utf16z(u"x"), false, STATUS_UNSUCCESSFUL, Bytes(34, 0)},
        {"a dword", REG_DWORD, {1, 0, 0, 0}, false, STATUS_UNSUCCESSFUL, Bytes(34, 0)},
        {"missing", REG_NONE, {}, true, STATUS_OBJECT_NAME_NOT_FOUND, Bytes(34, 0)},
    };
    for (const BlockCase &c : cases) {
        SCOPED_TRACE(c.what);
        sim::reg_delete_value(kLayout, "Bind - 1");
        if (!c.missing)
            sim::reg_set_value(kLayout, "Bind - 1", c.type, c.data);
        sim::trace_clear();
        Bytes buffer(34, 0xAA);
        EXPECT_EQ(MIVO_Get_BINARY(root(), u"Bind - 1", buffer.data(), 34), c.status);
        EXPECT_EQ(buffer, c.expect);
        if (c.status == STATUS_UNSUCCESSFUL) {
            EXPECT_TRUE(has_line("> Leave: MIVO_Get_BINARY: STATUS_UNSUCCESSFUL"));
        }
        if (c.missing) {
            EXPECT_TRUE(has_line("> Leave: MIVO_Get_BINARY: Error Get Data c0000034"));
        }
    }
}

TEST_F(RegistryReader, StringReadAsBinaryFailsWithAnAllZeroBuffer)
{
    sim::reg_set_binary(kLayout, "Profil_Name", {'a', 0, 'b', 0, 0, 0});
    Bytes buffer(100, 0xAA);
    EXPECT_EQ(MIVO_Get_STRING(root(), u"Profil_Name", reinterpret_cast<PWSTR>(buffer.data()), 100),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(buffer, Bytes(100, 0));
}

TEST_F(RegistryReader, DataComesInAPoolBufferOfExactlyTheProbedSize)
{
    sim::reg_set_binary(kLayout, "Bind - 1", {1, 2, 3, 4, 5});
    PKEY_VALUE_PARTIAL_INFORMATION data = nullptr;
    ASSERT_EQ(MIVO_Get_Data(root(), u"Bind - 1", &data), STATUS_SUCCESS);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(data->DataLength, 5u);
    EXPECT_EQ(Bytes(data->Data, data->Data + 5), (Bytes{1, 2, 3, 4, 5}));
    ExFreePool(data);

    // Refusing exactly 12 + 5 bytes refuses the read: that is the size asked.
    sim::pool_fail_size(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 5);
    sim::trace_clear();
    data = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(uintptr_t{1});
    EXPECT_EQ(MIVO_Get_Data(root(), u"Bind - 1", &data), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(data, nullptr);
    EXPECT_TRUE(has_line("> Leave: MIVO_Get_Data: STATUS_INSUFFICIENT_RESOURCES"));
    sim::pool_fail_clear();

    data = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(uintptr_t{1});
    EXPECT_EQ(MIVO_Get_Data(root(), u"Missing", &data), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(data, nullptr);
}

TEST_F(RegistryReader, PoolExhaustionGivesEachReaderItsDefinedOutputs)
{
    sim::reg_set_dword(kLayout, "DeadZone", 9);
    sim::reg_set_string(kLayout, "Profil_Name", "x");
    sim::reg_create_key(kLayout + "\\Layout - 1");
    HANDLE key = root();

    sim::pool_fail_nth(1);
    ULONG value = 0;
    EXPECT_EQ(MIVO_Get_DWORD(key, u"DeadZone", &value, 3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(value, 3u);

    sim::pool_fail_nth(1);
    Bytes buffer(100, 0xAA);
    EXPECT_EQ(MIVO_Get_STRING(key, u"Profil_Name", reinterpret_cast<PWSTR>(buffer.data()), 100),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(buffer, Bytes(100, 0));

    sim::pool_fail_nth(1);
    WCHAR name[128];
    std::memset(name, 0x55, sizeof name);
    sim::trace_clear();
    EXPECT_EQ(MIVO_Get_SubKey_Name(key, 0, name, sizeof name), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(name[0], 0x5555) << "the name buffer is untouched on failure";
    EXPECT_TRUE(has_line("> Leave: MIVO_Get_SubKey_Name: STATUS_INSUFFICIENT_RESOURCES"));

    sim::pool_fail_nth(1);
    ULONG subKeys = 42;
    EXPECT_EQ(MIVO_Get_Key_Info(key, &subKeys, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(subKeys, 42u);
    sim::pool_fail_clear();
}

TEST_F(RegistryReader, NamesOf127CharactersFitAndOf128DoNot)
{
    const std::string fits(127, 'n');
    const std::string tooLong = "Layout - " + std::string(119, 'x'); // 128 characters
    sim::reg_create_key(kLayout + "\\" + fits);
    sim::reg_create_key(kLayout + "\\" + tooLong);
    sim::reg_set_binary(kLayout, "Bind - " + std::string(120, 'b'), {1}); // 127
    sim::reg_set_dword(kLayout, "Bind - " + std::string(121, 'b'), 1);    // 128
    HANDLE key = root();

    for (int index : {0, 1}) {
        for (bool values : {false, true}) {
            SCOPED_TRACE(testing::Message() << (values ? "value " : "subkey ") << index);
            WCHAR name[128];
            std::memset(name, 0x55, sizeof name);
            ULONG type = 99;
            sim::trace_clear();
            NTSTATUS status = values ? MIVO_Get_Value_Info(key, index, name, sizeof name, &type)
                                     : MIVO_Get_SubKey_Name(key, index, name, sizeof name);
            if (index == 0) {
                EXPECT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(name[126], values ? u'b' : u'n');
                EXPECT_EQ(name[127], 0) << "terminated";
                if (values) {
                    EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
                }
            } else {
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
                EXPECT_EQ(name[0], 0x5555) << "untouched";
                EXPECT_EQ(type, 99u);
                EXPECT_EQ(sim::trace_lines(),
                          (std::vector<std::string>{values ? "> Leave: MIVO_Get_Value_Info: STATUS_INSUFFICIENT_RESOURCES"
                                                           : "> Leave: MIVO_Get_SubKey_Name: STATUS_INSUFFICIENT_RESOURCES"}));
            }
        }
    }
}

TEST_F(RegistryReader, NameReadersZeroBehindTheNameAndStopAtTheEnd)
{
    sim::reg_create_key(kLayout + "\\Layout - 1");
    sim::reg_set_dword(kLayout, "Default_Profil", 1);
    HANDLE key = root();
    WCHAR name[128];
    std::memset(name, 0x55, sizeof name);
    ASSERT_EQ(MIVO_Get_SubKey_Name(key, 0, name, sizeof name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Layout - 1");
    for (int i = 10; i < 128; i++)
        ASSERT_EQ(name[i], 0) << "unit " << i;

    ULONG type = 0;
    ASSERT_EQ(MIVO_Get_Value_Info(key, 0, name, sizeof name, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Default_Profil");

    sim::trace_clear();
    EXPECT_EQ(MIVO_Get_SubKey_Name(key, 1, name, sizeof name), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(MIVO_Get_Value_Info(key, 1, name, sizeof name, &type), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(sim::trace_lines(), (std::vector<std::string>{"> Leave: MIVO_Get_SubKey_Name: STATUS_UNSUCCESSFUL 8000001a",
                                                             "> Leave: MIVO_Get_Value_Info: STATUS_UNSUCCESSFUL 8000001a"}));
}

} // namespace
