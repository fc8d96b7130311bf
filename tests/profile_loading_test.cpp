// Profile loading and the rebuild: which stored profiles and binds load and in
// what order, the subkeys skipped with their lines, the selection kept or
// fallen back across a rebuild, and running out of pool anywhere in a rebuild
// without a leak or an open key.
#include <gmock/gmock.h>

#include <algorithm>
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
    store_profile("Layout - " + std::string(119, 'x'), 8); // 128 characters: too long
    store_profile("Layout - " + std::string(118, 'x'), 9); // 127 characters
    sim::reg_create_key(layout("Layout - no id"));

    MIVO_InitState(dx);
    EXPECT_EQ(ids(), (Ids{9, 7, 5, -1}));
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

// A profile as large as a hostile store makes it loads whole: every name is
// found through the registry's index, not by a scan of the key.
TEST_F(ProfileLoading, AProfileWithThousandsOfBindsLoadsWhole)
{
    const std::string key = layout("Layout - 1");
    sim::reg_set_dword(key, "Profil_Id", 5);
    for (int n = 0; n < 3000; n++)
        sim::reg_set_binary(key, "Bind - " + std::to_string(n), bind_bytes(uint8_t(n)));
    MIVO_InitState(dx);
    ASSERT_NE(find(5), nullptr);
    size_t count = 0;
    for (BIND *b = find(5)->Binds; b != nullptr; b = b->Next)
        count++;
    EXPECT_EQ(count, 3000u);
}

// Only REG_BINARY values named "Bind - ..." are binds; each goes to the head of
// the list, its first 34 bytes taken as stored (a shorter one zero behind its
// data) and its run-time part at zero.
TEST_F(ProfileLoading, BindsStandInReverseTakenAsStored)
{
    const std::string key = layout("Layout - 1");
    sim::reg_set_dword(key, "Profil_Id", 5);
    Bytes longer = bind_bytes(3);
    longer.insert(longer.end(), 6, 0xEE);
    Bytes cut = bind_bytes(2);
    std::fill(cut.begin() + 20, cut.end(), 0);
    sim::reg_set_binary(key, "Bind - 1", bind_bytes(1));
    sim::reg_set_dword(key, "Bind - x", 0x12345678);
    sim::reg_set_binary(key, "Bound - 1", bind_bytes(0x61));
    sim::reg_set_binary(key, "bind - 4", bind_bytes(0x62));
    sim::reg_set_binary(key, "Bind - 2", Bytes(cut.begin(), cut.begin() + 20));
    sim::reg_set_binary(key, "Bind - " + std::string(121, 'b'), bind_bytes(0x63)); // name too long
    sim::reg_set_binary(key, "Bind - 3", longer);

    MIVO_InitState(dx);
    ASSERT_NE(find(5), nullptr);
    const Bytes expected[] = {bind_bytes(3), cut, bind_bytes(1)};
    size_t n = 0;
    for (BIND *b = find(5)->Binds; b != nullptr; b = b->Next, n++) {
        ASSERT_LT(n, 3u);
        const auto *bytes = reinterpret_cast<const uint8_t *>(b);
        EXPECT_EQ(Bytes(bytes, bytes + BIND_PERSISTED_SIZE), expected[n]) << "bind " << n;
        EXPECT_EQ(b->Last_Active, 0);
        EXPECT_EQ(static_cast<int>(b->Press_Value), 0);
        EXPECT_EQ(static_cast<unsigned long long>(b->Press_Time | b->Release_Time), 0u);
    }
    EXPECT_EQ(n, 3u);
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

// Each allocation of a rebuild fails in turn: the rebuild finishes, what is
// loaded is a part of the store in order, nothing leaks and no key stays open.
TEST_F(ProfileLoading, FailingAnyAllocationOfARebuildLeavesAConsistentState)
{
    sim::reg_set_dword(kLayout, "Default_Profil", 5);
    store_profile("Layout - 1", 5, "Five", {1, 2});
    store_profile("Layout - 2", 7, "Seven", {3});
    const size_t before = sim::pool_stats().total_allocations;
    MIVO_InitState(dx);
    const size_t allocations = sim::pool_stats().total_allocations - before;
    ASSERT_GT(allocations, 20u);

    for (size_t n = 1; n <= allocations + 1; n++) {
        SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
        MIVO_Delete_Profil(dx);
        MIVO_Led_Queue_Clear(dx);
        ASSERT_EQ(sim::pool_stats().live_allocations, 0u);
        sim::pool_fail_nth(n);
        MIVO_InitState(dx);
        sim::pool_fail_clear();

        const Ids order = {7, 5, -1};
        auto at = order.begin();
        for (int id : ids()) {
            at = std::find(at, order.end(), id);
            ASSERT_NE(at, order.end()) << "unexpected or misordered profile " << id;
        }
        if (dx->CurrentProfil != nullptr) {
            EXPECT_EQ(find(dx->CurrentProfil->Profil_Id), dx->CurrentProfil) << "current is in the list";
        }
        EXPECT_EQ(sim::reg_open_handles(), 0u);
    }
}

} // namespace
