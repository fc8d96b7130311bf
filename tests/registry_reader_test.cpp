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

// `size` bytes: 1, 2, ... n (wrapping at 256), then zeros.
Bytes counting(size_t n, size_t size)
{
    Bytes out(size, 0);
    for (size_t i = 0; i < n; i++)
        out[i] = static_cast<uint8_t>(i + 1);
    return out;
}

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

    enum Reader { Dword, String, Binary };

    // Value "V" of the root read by one typed reader; `out` is its output
    // afterwards: the DWORD's 4 bytes, the string's 100, the binary's 34,
    // each filled with a pattern before the read.
    NTSTATUS read(Reader reader, Bytes &out)
    {
        out.assign(reader == Dword ? 4 : reader == String ? 100 : 34, 0xAA);
        ULONG value = 12345;
        NTSTATUS status = reader == Dword    ? MIVO_Get_DWORD(root_, u"V", &value, 77)
                          : reader == String ? MIVO_Get_STRING(root_, u"V", reinterpret_cast<PWSTR>(out.data()), 100)
                                             : MIVO_Get_BINARY(root_, u"V", out.data(), 34);
        if (reader == Dword)
            std::memcpy(out.data(), &value, sizeof(value));
        return status;
    }

    // What a failed read leaves: the default, or a buffer of zeros.
    static Bytes failed(Reader reader)
    {
        return reader == Dword ? Bytes{77, 0, 0, 0} : Bytes(reader == String ? 100 : 34, 0);
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
// leaves defined contents. Every type a value may have, at every size around
// the edges of the three buffers, is read by each reader: only a 4-byte
// REG_DWORD is a number, a REG_SZ is cut to 98 bytes, a REG_BINARY to 34.
TEST_F(RegistryReader, TypedReadersTakeOnlyTheirTypeAndCutToTheBuffer)
{
    const uint32_t types[] = {REG_NONE,  REG_SZ,       REG_EXPAND_SZ, REG_BINARY,
                              REG_DWORD, 5 /* REG_DWORD_BIG_ENDIAN */, REG_MULTI_SZ, REG_QWORD};
    const size_t sizes[] = {0, 1, 2, 3, 4, 5, 8, 33, 34, 35, 97, 98, 99, 100, 101, 120, 70000};
    const char *const refusals[] = {"DWORD: STATUS_UNSUCCESSFUL, 77", "STRING: STATUS_UNSUCCESSFUL",
                                    "BINARY: STATUS_UNSUCCESSFUL"};
    for (Reader reader : {Dword, String, Binary}) {
        const uint32_t wanted = reader == Dword ? REG_DWORD : reader == String ? REG_SZ : REG_BINARY;
        const size_t room = reader == Dword ? 4 : reader == String ? 98 : 34;
        const std::string line = std::string("> Leave: MIVO_Get_") + refusals[reader];
        for (uint32_t type : types) {
            for (size_t size : sizes) {
                SCOPED_TRACE(testing::Message() << "reader " << reader << " type " << type << " size " << size);
                sim::reg_set_value(kLayout, "V", type, counting(size, size));
                const bool taken = type == wanted && (reader != Dword || size == 4);
                sim::trace_clear();
                Bytes out;
                EXPECT_EQ(read(reader, out), taken ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
                EXPECT_EQ(out, taken ? counting(std::min(size, room), out.size()) : failed(reader));
                EXPECT_EQ(sim::trace_lines(), taken ? std::vector<std::string>{} : std::vector<std::string>{line});
                EXPECT_EQ(sim::pool_stats().live_allocations, 0u) << "the value's buffer is freed";
            }
        }
    }
}

// A missing value, and a value whose buffer the pool refuses (it is the
// size of the value read): the same outputs as any failure, their own lines.
TEST_F(RegistryReader, TypedReadersOfAMissingValueOrWithoutPool)
{
    const struct { const char *what; Reader reader; Bytes data; size_t fail_size; NTSTATUS status; const char *line; }
        cases[] = {
        {"missing dword", Dword, {}, 0, STATUS_OBJECT_NAME_NOT_FOUND, "DWORD: c0000034, 77"},
        {"dword, no pool", Dword, {9, 0, 0, 0}, kHead + 4, STATUS_INSUFFICIENT_RESOURCES,
         "Data: STATUS_INSUFFICIENT_RESOURCES"},
        {"missing string", String, {}, 0, STATUS_OBJECT_NAME_NOT_FOUND, "STRING: Error Get Data c0000034"},
        {"binary, no pool for its 20 bytes", Binary, counting(20, 20), kHead + 20, STATUS_INSUFFICIENT_RESOURCES,
         "Data: STATUS_INSUFFICIENT_RESOURCES"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        sim::reg_delete_value(kLayout, "V");
        if (!c.data.empty())
            sim::reg_set_value(kLayout, "V", c.reader == Dword ? REG_DWORD : REG_BINARY, c.data);
        if (c.fail_size)
            sim::pool_fail_size(c.fail_size);
        sim::trace_clear();
        Bytes out;
        EXPECT_EQ(read(c.reader, out), c.status);
        sim::pool_fail_clear();
        EXPECT_EQ(out, failed(c.reader));
        const std::vector<std::string> lines = sim::trace_lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("> Leave: MIVO_Get_") + c.line), 1)
            << sim::trace_text();
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
