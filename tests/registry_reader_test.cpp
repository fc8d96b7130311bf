// The profile store's registry reader: the path it opens, the typed readers'
// handling of wrong types, lengths, cut data and a refused pool buffer, and
// the name readers' 127/128-character limit, with the lines they trace.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"
#include "tests/support/sim_test.h"

using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kLayout = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout";
const std::u16string kBase = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo";
const size_t kHead = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data); // before the data of a value read

// `size` bytes: 1, 2, ... n (or n UTF-16 units "ABC..." of text), then zeros.
Bytes counting(size_t n, size_t size, bool text = false)
{
    Bytes out(size, 0);
    for (size_t i = 0; i < n; i++)
        out[text ? 2 * i : i] = static_cast<uint8_t>(text ? 'A' + i % 26 : i + 1);
    return out;
}
Bytes text(size_t units, size_t size) { return counting(units, size, true); }

class RegistryReader : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::reg_create_key(kLayout);
        root_ = MIVO_Open_Reg(kBase.c_str(), nullptr); // the store's root, as the loader opens it
        ASSERT_NE(root_, nullptr);
        sim::trace_clear();
    }

    void TearDown() override
    {
        ZwClose(root_);
        SimTest::TearDown();
    }

    HANDLE root_ = nullptr;
};

TEST_F(RegistryReader, OpensLayoutKeysAndLeavesOutPartsThatDoNotFit)
{
    sim::reg_create_key(kLayout + "\\Layout - 1");
    HANDLE sub = MIVO_Open_Reg(kBase.c_str(), u"layout - 1");
    ASSERT_NE(sub, nullptr) << "names compare without case";
    ZwClose(sub);
    EXPECT_EQ(MIVO_Open_Reg(kBase.c_str(), u"Layout - 9"), nullptr);
    const std::string path = "newpath bis \\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo\\Layout\\";
    EXPECT_THAT(sim::trace_lines(), ElementsAre(path + "layout - 1", path + "Layout - 9",
                                                "> Leave: MIVO_Open_Reg: NULL: ZwOpenKey failed: c0000034"));

    // 254 units of base path: "\Layout\" no longer fits, a 2-unit name still
    // does and fills all 256 units, which still print as a terminated string.
    const std::string k236(236, 'k');
    sim::reg_create_key("\\Registry\\Machine\\" + k236 + "ab");
    sim::trace_clear();
    HANDLE key = MIVO_Open_Reg((u"\\Registry\\Machine\\" + std::u16string(236, u'k')).c_str(), u"ab");
    ASSERT_NE(key, nullptr);
    ZwClose(key);
    EXPECT_THAT(sim::trace_lines(), ElementsAre("newpath bis \\Registry\\Machine\\" + k236 + "ab"));
    key = MIVO_Open_Reg(kBase.c_str(), std::u16string(250, u'x').c_str());
    ASSERT_NE(key, nullptr) << "a name too long for the path: the root is opened";
    ZwClose(key);
}

// Each reader zeroes its output first (DWORD: the default, 77), so a failure
// leaves defined contents. `fail_size`: the pool refuses a buffer of exactly
// that size, which is the probed size of the value read.
TEST_F(RegistryReader, TypedReadersTakeOnlyTheirTypeAndCutToTheBuffer)
{
    enum Reader { Dword, String, Binary };
    // type REG_NONE: no value; out: the output afterwards (4 bytes of DWORD, 100 of string, 34 of binary);
    // line: one traced as "> Leave: MIVO_Get_<line>", "" for nothing traced.
    struct Case { const char *what; Reader reader; uint32_t type; Bytes data; size_t fail_size; NTSTATUS status;
                  Bytes out; const char *line; };
    const Bytes dflt = {77, 0, 0, 0}, none100(100, 0), none34(34, 0);
    const NTSTATUS kOk = STATUS_SUCCESS, kFail = STATUS_UNSUCCESSFUL, kMissing = STATUS_OBJECT_NAME_NOT_FOUND,
                   kNoPool = STATUS_INSUFFICIENT_RESOURCES;
    const Case cases[] = {
        {"REG_DWORD of 4 bytes", Dword, REG_DWORD, {5, 0, 1, 0x80}, 0, kOk, {5, 0, 1, 0x80}, ""},
        {"REG_DWORD of 8 bytes", Dword, REG_DWORD, Bytes(8, 5), 0, kFail, dflt, "DWORD: STATUS_UNSUCCESSFUL, 77"},
        {"REG_DWORD of 3 bytes", Dword, REG_DWORD, {5, 0, 0}, 0, kFail, dflt, "DWORD: STATUS_UNSUCCESSFUL, 77"},
        {"REG_BINARY as a dword", Dword, REG_BINARY, {5, 0, 0, 0}, 0, kFail, dflt, "DWORD: STATUS_UNSUCCESSFUL, 77"},
        {"missing dword", Dword, REG_NONE, {}, 0, kMissing, dflt, "DWORD: c0000034, 77"},
        {"dword, no pool", Dword, REG_DWORD, {9, 0, 0, 0}, kHead + 4, kNoPool, dflt,
         "Data: STATUS_INSUFFICIENT_RESOURCES"},
        {"REG_SZ of 120 bytes cut at 98", String, REG_SZ, text(59, 120), 0, kOk, text(49, 100), ""},
        {"REG_SZ without a NUL", String, REG_SZ, text(2, 4), 0, kOk, text(2, 100), ""},
        {"REG_BINARY as a string", String, REG_BINARY, text(2, 6), 0, kFail, none100, "STRING: STATUS_UNSUCCESSFUL"},
        {"missing string", String, REG_NONE, {}, 0, kMissing, none100, "STRING: Error Get Data c0000034"},
        {"REG_BINARY of 20 into 34", Binary, REG_BINARY, counting(20, 20), 0, kOk, counting(20, 34), ""},
        {"REG_BINARY of 40 into 34", Binary, REG_BINARY, counting(40, 40), 0, kOk, counting(34, 34), ""},
        {"REG_SZ as binary", Binary, REG_SZ, text(1, 4), 0, kFail, none34, "BINARY: STATUS_UNSUCCESSFUL"},
        {"binary, no pool for its 20 bytes", Binary, REG_BINARY, counting(20, 20), kHead + 20, kNoPool, none34,
         "Data: STATUS_INSUFFICIENT_RESOURCES"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::reg_delete_value(kLayout, "V");
        if (c.type != REG_NONE)
            sim::reg_set_value(kLayout, "V", c.type, c.data);
        if (c.fail_size)
            sim::pool_fail_size(c.fail_size);
        sim::trace_clear();
        Bytes out(c.out.size(), 0xAA);
        ULONG value = 12345;
        NTSTATUS status = c.reader == Dword    ? MIVO_Get_DWORD(root_, u"V", &value, 77)
                          : c.reader == String ? MIVO_Get_STRING(root_, u"V", reinterpret_cast<PWSTR>(out.data()), 100)
                                               : MIVO_Get_BINARY(root_, u"V", out.data(), 34);
        sim::pool_fail_clear();
        if (c.reader == Dword)
            std::memcpy(out.data(), &value, sizeof(value));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(out, c.out);
        const std::vector<std::string> lines = sim::trace_lines();
        const std::string line = std::string("> Leave: MIVO_Get_") + c.line;
        EXPECT_TRUE(*c.line ? std::count(lines.begin(), lines.end(), line) == 1 : lines.empty()) << sim::trace_text();
    }
}

// A name is read into 128 units: 127 characters fit with a NUL, and a shorter
// name has zeros behind it to the end; 128 characters fail and leave the
// buffer and the type untouched.
TEST_F(RegistryReader, NamesOf127CharactersFitAndOf128DoNot)
{
    const std::string names[] = {std::string(127, 'a'), std::string(128, 'm'), "xy"}; // enumerated in this order
    for (const std::string &n : names) {
        sim::reg_create_key(kLayout + "\\" + n);
        sim::reg_set_binary(kLayout, n, {1});
    }
    for (bool value : {false, true}) {
        for (ULONG index : {0u, 1u, 2u}) {
            SCOPED_TRACE(testing::Message() << (value ? "value " : "subkey ") << index);
            WCHAR name[128];
            std::memset(name, 0x55, sizeof name);
            ULONG type = 99;
            sim::trace_clear();
            NTSTATUS status = value ? MIVO_Get_Value_Info(root_, index, name, sizeof name, &type)
                                    : MIVO_Get_SubKey_Name(root_, index, name, sizeof name);
            if (index == 1) {
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
                EXPECT_EQ(name[0], 0x5555);
                EXPECT_EQ(type, 99u);
                EXPECT_THAT(sim::trace_lines(), ElementsAre(std::string("> Leave: MIVO_Get_") +
                                                            (value ? "Value_Info" : "SubKey_Name") +
                                                            ": STATUS_INSUFFICIENT_RESOURCES"));
                continue;
            }
            std::u16string expected = index == 0 ? std::u16string(127, u'a') : u"xy";
            expected.resize(128, u'\0');
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(std::u16string(name, 128), expected);
            EXPECT_EQ(type, value ? REG_BINARY : 99u);
        }
    }
}

} // namespace
