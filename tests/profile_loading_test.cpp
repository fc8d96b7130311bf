// Profile loading and the rebuild: which stored profiles and binds load and in
// what order, the subkeys skipped with their lines, values of the wrong type
// or size, names at their limits, a store of 1,000 profiles in linear work,
// and the selection kept or fallen back across a rebuild.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"
#include "tests/support/sim_test.h"

using ::testing::Contains;

namespace {

using Bytes = std::vector<uint8_t>;
using Ids = std::vector<int>;

const std::string kLayout = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout";
const WCHAR kServicePath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo";

// A stored bind that its tag identifies: button <tag> to joystick button
// <tag> (the action parameter at byte 20), Hold_Time 500, tap.
Bytes bind_bytes(uint8_t tag)
{
    Bytes b(BIND_PERSISTED_SIZE, 0);
    b[0] = SOURCE_BUTTON, b[4] = tag, b[8] = 1, b[16] = ACTION_JOY_BUTTON, b[20] = tag;
    b[27] = 0x77, b[28] = 0xF4, b[29] = 0x01, b[30] = TRIGGER_TAP;
    return b;
}

std::string layout(const std::string &name) { return kLayout + "\\" + name; }

// A stored profile with an id, a name, and binds with these tags.
void store_profile(const std::string &subkey, uint32_t id, const std::string &name = "", Bytes tags = {})
{
    sim::reg_set_dword(layout(subkey), "Profil_Id", id);
    if (!name.empty())
        sim::reg_set_string(layout(subkey), "Profil_Name", name);
    for (size_t n = 0; n < tags.size(); n++)
        sim::reg_set_binary(layout(subkey), "Bind - " + std::to_string(n + 1), bind_bytes(tags[n]));
}

class ProfileLoading : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        std::memset(&ext_, 0, sizeof(ext_));
        RtlInitUnicodeString(&dx->RegistryPath, kServicePath); // NUL-terminated, as the driver keeps it
    }

    // The records belong to the device until it goes away.
    void TearDown() override
    {
        MIVO_Delete_Profil(dx);
        MIVO_Led_Queue_Clear(dx);
        EXPECT_EQ(sim::reg_open_handles(), 0u) << "every key the loader opened is closed";
        SimTest::TearDown();
    }

    Ids ids()
    {
        Ids out;
        for (PROFIL *p = dx->ProfilList; p != nullptr; p = p->Next)
            out.push_back(p->Profil_Id);
        return out;
    }

    PROFIL *find(int id)
    {
        PROFIL *p = dx->ProfilList;
        while (p != nullptr && p->Profil_Id != id)
            p = p->Next;
        return p;
    }

    // The stored bytes of a profile's binds, in list order.
    static std::vector<Bytes> binds(const PROFIL *p)
    {
        std::vector<Bytes> out;
        for (const BIND *b = p->Binds; b != nullptr; b = b->Next) {
            const auto *bytes = reinterpret_cast<const uint8_t *>(b);
            out.emplace_back(bytes, bytes + BIND_PERSISTED_SIZE);
        }
        return out;
    }

    std::vector<LONGLONG> led_on_times()
    {
        std::vector<LONGLONG> out;
        for (LED_ENTRY *e = dx->LedQueue; e != nullptr; e = e->Next)
            out.push_back(e->On_Time);
        return out;
    }

    DEVICE_EXTENSION ext_;
    PDEVICE_EXTENSION dx = &ext_;
};

TEST_F(ProfileLoading, AnEmptyOrMissingStoreLeavesTheBaseProfile)
{
    struct { const char *what; bool root; SHORT defaultAfter; const char *line; } cases[] = { // default was 4
        {"no Layout key", false, 4, "> Leave: MIVO_Get_Profils: STATUS_OBJECT_NAME_NOT_FOUND"},
        {"an empty Layout key", true, 0, "> Leave: MIVO_Get_Profils: Fin OK 0"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        sim::reg_clear();
        if (c.root)
            sim::reg_create_key(kLayout);
        dx->DefaultProfilId = 4;
        sim::trace_clear();
        MIVO_InitState(dx);
        EXPECT_EQ(ids(), Ids{-1});
        EXPECT_EQ(dx->CurrentProfil, find(-1));
        EXPECT_EQ(dx->DefaultProfilId, c.defaultAfter);
        EXPECT_THAT(sim::trace_lines(), Contains(c.line));
    }
}

// Each profile goes to the head of the list, in front of the base profile.
// Ids are the low 16 bits; an id already in the list (-1 included) is skipped.
TEST_F(ProfileLoading, StoredProfilesStandLastFirstAndUnusableSubkeysAreSkipped)
{
    sim::reg_set_dword(kLayout, "Default_Profil", 0x00030007);
    store_profile("Layout - 1", 5, "Flight");
    sim::reg_set_dword(layout("Layout - 1"), "DeadZone", 0x0001FFCE);
    store_profile("Layout - 2", 0x00010007);
    store_profile("Layout - dup", 0x00020005);
    store_profile("Layout - minus one", 0xFFFF);
    store_profile("layout - 3", 3); // case matters
    store_profile("Layout 4", 4);   // not "Layout - "
    sim::reg_create_key(layout("Layout - no id"));

    MIVO_InitState(dx);
    EXPECT_EQ(ids(), (Ids{7, 5, -1}));
    EXPECT_EQ(dx->DefaultProfilId, 7);
    EXPECT_EQ(dx->CurrentProfil, find(7)) << "nothing was current: the default is selected";
    EXPECT_EQ(std::u16string(find(5)->Profil_Name), u"Flight");
    EXPECT_EQ(find(5)->DeadZone, -50) << "the low 16 bits, signed";
    const std::vector<std::string> lines = sim::trace_lines();
    EXPECT_THAT(lines, Contains("Profil_Id 5 - Profil_Name Flight  - DeadZone 131022 "));
    EXPECT_THAT(lines, Contains("> Leave: MIVO_Load_Profil: Profil_Id 131077 Already Exist 0"));
    EXPECT_THAT(lines, Contains("> Leave: MIVO_Load_Profil: Profil_Id 65535 Already Exist 0"));
    EXPECT_THAT(lines, Contains("> Leave: MIVO_Load_Profil: Profil_Id Not Found c0000034"));
}

// A store as large as a hostile one makes it: 1,000 profiles holding 10,000
// binds (half of them in one profile), and ten subkeys repeating ids.
// Everything loads but the repeats, and the work is linear: a rebuild takes
// one pool buffer per registry read and one per record, as many as stores of
// one profile, one bind and one repeat predict.
TEST_F(ProfileLoading, AThousandProfilesWithTenThousandBindsLoadInLinearWork)
{
    auto name = [](int n) {
        char s[16];
        std::snprintf(s, sizeof s, "Layout - %04d", n); // enumerated in number order
        return std::string(s);
    };
    auto rebuild = [&] {
        MIVO_Delete_Profil(dx);
        MIVO_Led_Queue_Clear(dx);
        const size_t before = sim::pool_stats().total_allocations;
        MIVO_InitState(dx);
        EXPECT_EQ(sim::reg_open_handles(), 0u);
        return sim::pool_stats().total_allocations - before;
    };
    sim::reg_create_key(kLayout);
    const size_t empty = rebuild();
    store_profile(name(0), 0);
    const size_t profile = rebuild() - empty;
    store_profile(name(1), 0);
    const size_t repeat = rebuild() - empty - profile;
    sim::reg_delete_key(layout(name(1)));
    store_profile(name(0), 0, "", {1});
    const size_t bind = rebuild() - empty - profile;

    auto binds_of = [](int n) { return n == 0 ? 5005u : n < 1000 ? 5u : 1u; };
    for (int n = 0; n < 1010; n++)
        store_profile(name(n), n % 1000, "", Bytes(binds_of(n), uint8_t(n)));
    EXPECT_EQ(rebuild(), empty + 1000 * profile + 10000 * bind + 10 * repeat);
    Ids expected;
    for (int id = 999; id >= -1; id--)
        expected.push_back(id);
    EXPECT_EQ(ids(), expected);
    for (PROFIL *p = dx->ProfilList; p->Next != nullptr; p = p->Next)
        ASSERT_EQ(binds(p), std::vector<Bytes>(binds_of(p->Profil_Id), bind_bytes(uint8_t(p->Profil_Id))))
            << "profile " << p->Profil_Id;
}

// Values of the wrong type or size, each in a store that is otherwise sound.
// Each counts as missing: the default is 0, the profile is skipped, the name
// empty, the dead zone 0, the bind absent. A REG_SZ name or a REG_BINARY bind
// of any size is read, cut or zero-filled to its field. (What each reader
// takes of every type at every size is the registry reader's sweep; here,
// what the loader makes of a refusal, one value at a time.)
TEST_F(ProfileLoading, ValuesOfTheWrongTypeOrSizeCountAsMissing)
{
    const Bytes text_five = sim::reg_string_data("5"), whole = bind_bytes(1);
    const Bytes cut(whole.begin(), whole.begin() + 20);
    Bytes cut_zeroed = cut;
    cut_zeroed.resize(BIND_PERSISTED_SIZE, 0);
    const struct {
        const char *value;
        uint32_t type;
        Bytes data;
        std::u16string name = u"";        // a Profil_Name row: the name read
        std::vector<Bytes> binds = {};    // a "Bind - 1" row: the binds read
    } rows[] = {
        {"Default_Profil", REG_SZ, text_five},     {"Default_Profil", REG_DWORD, {5, 0}},
        {"Profil_Id", REG_SZ, text_five},          {"Profil_Id", REG_DWORD, Bytes(8, 5)},
        {"Profil_Name", REG_BINARY, {'F', 0}},     {"Profil_Name", REG_SZ, {'F', 0, 'i'}, u"Fi"},
        {"DeadZone", REG_SZ, text_five},           {"Bind - 1", REG_SZ, text_five},
        {"Bind - 1", REG_BINARY, {}, u"", {Bytes(BIND_PERSISTED_SIZE, 0)}}, // all zero: never acts
        {"Bind - 1", REG_BINARY, cut, u"", {cut_zeroed}},
    };
    for (const auto &row : rows) {
        const std::string value = row.value;
        SCOPED_TRACE(value + " of type " + std::to_string(row.type) + " and " + std::to_string(row.data.size()) +
                     " bytes");
        sim::reg_clear();
        sim::reg_set_dword(kLayout, "Default_Profil", 5);
        store_profile("Layout - 1", 5, "Five", {1});
        sim::reg_set_dword(layout("Layout - 1"), "DeadZone", 20);
        sim::reg_set_value(value == "Default_Profil" ? kLayout : layout("Layout - 1"), value, row.type, row.data);
        MIVO_InitState(dx);
        EXPECT_EQ(dx->DefaultProfilId, value == "Default_Profil" ? 0 : 5);
        EXPECT_EQ(ids(), (value == "Profil_Id" ? Ids{-1} : Ids{5, -1}));
        if (PROFIL *p = find(5)) {
            EXPECT_EQ(std::u16string(p->Profil_Name), value == "Profil_Name" ? row.name : u"Five");
            EXPECT_EQ(p->DeadZone, value == "DeadZone" ? 0 : 20);
            EXPECT_EQ(binds(p), value == "Bind - 1" ? row.binds : std::vector<Bytes>{whole});
        }
    }
}

// Names at and over their buffers: subkey and value names of up to 127
// characters are read (whatever follows the prefix), longer ones up to the
// registry's own limits are skipped; a profile name keeps 49 characters.
TEST_F(ProfileLoading, NamesAtAndOverTheirBuffers)
{
    const std::string k = "Layout - ", v = "Bind - ";
    const struct { std::string subkey, value; size_t name; Ids ids; size_t binds; } rows[] = {
        {k, v + "1", 4, {5, -1}, 1},          {k + std::string(118, 'k'), v + "1", 4, {5, -1}, 1},
        {k + std::string(119, 'k'), v + "1", 4, {-1}, 0},
        {k + std::string(246, 'k'), v + "1", 4, {-1}, 0}, // 255, the longest key name
        {k + "1", v, 4, {5, -1}, 1},          {k + "1", v + std::string(120, 'v'), 4, {5, -1}, 1},
        {k + "1", v + std::string(121, 'v'), 4, {5, -1}, 0},
        {k + "1", v + std::string(16376, 'v'), 4, {5, -1}, 0}, // 16383, the longest value name
        {k + "1", v + "1", 48, {5, -1}, 1},   {k + "1", v + "1", 49, {5, -1}, 1},
        {k + "1", v + "1", 50, {5, -1}, 1},   {k + "1", v + "1", 1000, {5, -1}, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "subkey of " << row.subkey.size() << ", value of " << row.value.size()
                                        << ", profile name of " << row.name);
        sim::reg_clear();
        sim::reg_set_dword(layout(row.subkey), "Profil_Id", 5);
        sim::reg_set_string(layout(row.subkey), "Profil_Name", std::string(row.name, 'n'));
        sim::reg_set_binary(layout(row.subkey), row.value, bind_bytes(1));
        MIVO_InitState(dx);
        EXPECT_EQ(ids(), row.ids);
        if (PROFIL *p = find(5)) {
            EXPECT_EQ(std::u16string(p->Profil_Name), std::u16string(std::min<size_t>(row.name, 49), u'n'));
            EXPECT_EQ(binds(p).size(), row.binds);
        }
    }
}

// Only REG_BINARY values named "Bind - ..." are binds; each goes to the head of
// the list, taken as stored, its run-time part at zero.
TEST_F(ProfileLoading, BindsStandInReverseTakenAsStored)
{
    const std::string key = layout("Layout - 1");
    sim::reg_set_dword(key, "Profil_Id", 5);
    sim::reg_set_binary(key, "Bind - 1", bind_bytes(1));
    sim::reg_set_dword(key, "Bind - x", 0x12345678);
    sim::reg_set_binary(key, "Bound - 1", bind_bytes(0x61));
    sim::reg_set_binary(key, "bind - 4", bind_bytes(0x62));
    sim::reg_set_binary(key, "Bind - 2", bind_bytes(2));
    sim::reg_set_binary(key, "Bind - 3", bind_bytes(3));

    MIVO_InitState(dx);
    ASSERT_NE(find(5), nullptr);
    EXPECT_EQ(binds(find(5)), (std::vector<Bytes>{bind_bytes(3), bind_bytes(2), bind_bytes(1)}));
    for (BIND *b = find(5)->Binds; b != nullptr; b = b->Next) {
        EXPECT_EQ(b->Last_Active, 0);
        EXPECT_EQ(static_cast<int>(b->Press_Value), 0);
        EXPECT_EQ(static_cast<unsigned long long>(b->Press_Time | b->Release_Time), 0u);
    }
}

TEST_F(ProfileLoading, ARebuildKeepsTheCurrentProfileOrFallsBack)
{
    sim::reg_set_dword(kLayout, "Default_Profil", 5);
    store_profile("Layout - 1", 5, "Five", {1});
    store_profile("Layout - 2", 7, "Seven", {2});
    MIVO_InitState(dx);
    EXPECT_EQ(dx->CurrentProfil, find(5));

    dx->CurrentProfil = find(7);
    dx->PendingReports = 0;
    dx->GestureActive = 1;
    MIVO_InitState(dx);
    ASSERT_NE(find(7), nullptr);
    EXPECT_EQ(dx->CurrentProfil, find(7)) << "profile 7 is still stored: its new record";
    EXPECT_EQ(dx->PendingReports, static_cast<ULONG>(PENDING_ALL)) << "the report state is put to rest";
    EXPECT_EQ(dx->GestureActive, 0);

    sim::reg_delete_key(layout("Layout - 2"));
    MIVO_InitState(dx);
    EXPECT_EQ(dx->CurrentProfil, find(5)) << "7 is gone: the default";

    dx->CurrentProfil = find(-1);
    MIVO_InitState(dx);
    EXPECT_EQ(dx->CurrentProfil, find(5)) << "the base profile being current asks for the default";

    sim::reg_delete_key(layout("Layout - 1"));
    MIVO_InitState(dx);
    EXPECT_EQ(dx->CurrentProfil, find(-1)) << "neither stored: the base profile";
    EXPECT_EQ(led_on_times(), (std::vector<LONGLONG>{250, 150, 100})) << "reload, not the selection pattern";
}

} // namespace
