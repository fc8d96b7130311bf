// Profile loading and the rebuild: the order of the loaded profiles and binds,
// the subkeys and values that are skipped (with their log lines), the stored
// bind taken as it is, the selection kept or fallen back across a rebuild,
// and running out of pool anywhere in a rebuild without a leak or an open key.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"
#include "tests/support/sim_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kLayout = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout";
const std::u16string kServicePath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo";

// A stored bind that its tag identifies: button <tag> to joystick button
// <tag>, with every byte up to 33 non-zero somewhere (Hold_Time 500, tap).
Bytes bind_bytes(uint8_t tag)
{
    Bytes b(BIND_PERSISTED_SIZE, 0);
    b[0] = SOURCE_BUTTON;
    b[4] = tag;
    b[8] = 1;
    b[16] = ACTION_JOY_BUTTON;
    b[20] = tag;
    b[27] = 0x77;
    b[28] = 0xF4;
    b[29] = 0x01;
    b[30] = TRIGGER_TAP;
    return b;
}

std::string layout(const std::string &name)
{
    return kLayout + "\\" + name;
}

// A stored profile with an id, a name and dead zone, and its binds' tags.
void store_profile(const std::string &subkey, uint32_t id, const std::string &name = "",
                   std::vector<uint8_t> tags = {})
{
    sim::reg_set_dword(layout(subkey), "Profil_Id", id);
    if (!name.empty())
        sim::reg_set_string(layout(subkey), "Profil_Name", name);
    int n = 1;
    for (uint8_t tag : tags)
        sim::reg_set_binary(layout(subkey), "Bind - " + std::to_string(n++), bind_bytes(tag));
}

class ProfileLoading : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        std::memset(&ext_, 0, sizeof(ext_));
        dx = &ext_;
        path_ = kServicePath;
        dx->RegistryPath.Buffer = path_.data(); // NUL-terminated, as the driver keeps it
        dx->RegistryPath.Length = static_cast<USHORT>(path_.size() * 2);
        dx->RegistryPath.MaximumLength = static_cast<USHORT>(path_.size() * 2 + 2);
    }

    // The records belong to the device until it goes away.
    void TearDown() override
    {
        MIVO_Delete_Profil(dx);
        MIVO_Led_Queue_Clear(dx);
        EXPECT_EQ(sim::reg_open_handles(), 0u) << "every key the loader opened is closed";
        SimTest::TearDown();
    }

    std::vector<int> ids()
    {
        std::vector<int> out;
        for (PROFIL *p = dx->ProfilList; p != nullptr; p = p->Next)
            out.push_back(p->Profil_Id);
        return out;
    }

    PROFIL *find(int id)
    {
        for (PROFIL *p = dx->ProfilList; p != nullptr; p = p->Next) {
            if (p->Profil_Id == id)
                return p;
        }
        return nullptr;
    }

    static std::vector<int> bind_tags(const PROFIL *p)
    {
        std::vector<int> out;
        for (BIND *b = p->Binds; b != nullptr; b = b->Next)
            out.push_back(b->Action_Param[0]);
        return out;
    }

    std::vector<LONGLONG> led_on_times()
    {
        std::vector<LONGLONG> out;
        for (LED_ENTRY *e = dx->LedQueue; e != nullptr; e = e->Next)
            out.push_back(e->On_Time);
        return out;
    }

    static bool traced(const std::string &line)
    {
        for (const std::string &l : sim::trace_lines()) {
            if (l == line)
                return true;
        }
        return false;
    }

    DEVICE_EXTENSION ext_;
    PDEVICE_EXTENSION dx = nullptr;
    std::u16string path_;
};

TEST_F(ProfileLoading, AnEmptyOrMissingStoreLeavesTheBaseProfile)
{
    struct {
        const char *what;
        bool root;
        SHORT defaultAfter; // DefaultProfilId, which starts as 4
        const char *line;
    } cases[] = {
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
        EXPECT_EQ(ids(), (std::vector<int>{-1}));
        ASSERT_NE(dx->CurrentProfil, nullptr);
        EXPECT_EQ(dx->CurrentProfil->Profil_Id, -1) << "the default is not stored, so -1 is found";
        EXPECT_EQ(dx->DefaultProfilId, c.defaultAfter);
        EXPECT_EQ(led_on_times(), (std::vector<LONGLONG>{250, 150, 100})) << "the reload pattern";
        EXPECT_TRUE(traced(c.line)) << sim::trace_text();
        EXPECT_TRUE(traced("> Enter: MIVO_InitState: Build - 1079"));
    }
}

TEST_F(ProfileLoading, StoredProfilesStandLastEnumeratedFirstBeforeTheBase)
{
    sim::reg_load_string("Windows Registry Editor Version 5.00\n\n"
                         "[" + kLayout + "]\n"
                         "\"Default_Profil\"=dword:00000007\n\n"
                         "[" + kLayout + "\\Layout - 1]\n"
                         "\"Profil_Id\"=dword:00000005\n"
                         "\"Profil_Name\"=\"Flight\"\n"
                         "\"DeadZone\"=dword:0001ffce\n\n"
                         "[" + kLayout + "\\Layout - 2]\n"
                         "\"Profil_Id\"=dword:00000007\n",
                         "store.reg");
    MIVO_InitState(dx);
    EXPECT_EQ(ids(), (std::vector<int>{7, 5, -1}));
    EXPECT_EQ(dx->DefaultProfilId, 7);
    ASSERT_NE(dx->CurrentProfil, nullptr);
    EXPECT_EQ(dx->CurrentProfil->Profil_Id, 7) << "nothing was current: the default is selected";

    PROFIL *flight = find(5);
    EXPECT_EQ(std::u16string(flight->Profil_Name), u"Flight");
    EXPECT_EQ(flight->DeadZone, -50) << "the low 16 bits, signed";
    EXPECT_EQ(find(7)->Profil_Name[0], 0) << "no name stored: empty";
    EXPECT_EQ(find(7)->DeadZone, 0);
    EXPECT_TRUE(traced("> Enter: MIVO_Load_Profil: Open Layer Layout - 1"));
    EXPECT_TRUE(traced("Profil_Id 5 - Profil_Name Flight  - DeadZone 131022 ")) << sim::trace_text();
    EXPECT_TRUE(traced("> Leave: MIVO_Get_Profils: Fin OK 0"));
}

TEST_F(ProfileLoading, UnusableSubkeysAreSkippedWithTheirLines)
{
    store_profile("Layout - 1", 5);
    store_profile("Layout - 2", 0x00010006);                 // high bits ignored: id 6
    store_profile("Layout - dup", 0x00020005);               // low bits 5 again
    store_profile("Layout - minus one", 0xFFFF);             // the base profile's id
    store_profile("layout - 3", 3);                          // case matters
    store_profile("Profile 4", 4);                           // not a profile subkey
    store_profile("Layout - " + std::string(119, 'x'), 8);   // 128 characters: too long
    store_profile("Layout - " + std::string(118, 'x'), 9);   // 127 characters
    sim::reg_create_key(layout("Layout - no id"));
    sim::reg_set_binary(layout("Layout - binary id"), "Profil_Id", {10, 0, 0, 0});

    MIVO_InitState(dx);
    EXPECT_EQ(ids(), (std::vector<int>{9, 6, 5, -1}));
    EXPECT_TRUE(traced("> Leave: MIVO_Load_Profil: Profil_Id 131077 Already Exist 0")) << sim::trace_text();
    EXPECT_TRUE(traced("> Leave: MIVO_Load_Profil: Profil_Id 65535 Already Exist 0"));
    EXPECT_TRUE(traced("> Leave: MIVO_Load_Profil: Profil_Id Not Found c0000034"));
    EXPECT_TRUE(traced("> Leave: MIVO_Load_Profil: Profil_Id Not Found c0000001"));
    EXPECT_TRUE(traced("> Leave: MIVO_Get_SubKey_Name: STATUS_INSUFFICIENT_RESOURCES"));
    EXPECT_FALSE(traced("> Enter: MIVO_Load_Profil: Open Layer layout - 3"));
    EXPECT_FALSE(traced("> Enter: MIVO_Load_Profil: Open Layer Profile 4"));
}

TEST_F(ProfileLoading, BindsStandInReverseAndOnlyBinaryBindValuesCount)
{
    const std::string key = layout("Layout - 1");
    sim::reg_set_dword(key, "Profil_Id", 5);
    sim::reg_set_binary(key, "Bind - 1", bind_bytes(1));
    sim::reg_set_dword(key, "Bind - x", 0x12345678);        // wrong type
    sim::reg_set_binary(key, "Bound - 1", bind_bytes(0x61)); // wrong name
    sim::reg_set_binary(key, "bind - 4", bind_bytes(0x62));  // case matters
    sim::reg_set_binary(key, "Bind - 2", bind_bytes(2));
    sim::reg_set_binary(key, "Bind - " + std::string(121, 'b'), bind_bytes(0x63)); // name too long
    sim::reg_set_binary(key, "Bind - 3", bind_bytes(3));

    MIVO_InitState(dx);
    ASSERT_NE(find(5), nullptr);
    EXPECT_EQ(bind_tags(find(5)), (std::vector<int>{3, 2, 1}));
    for (BIND *b = find(5)->Binds; b != nullptr; b = b->Next) {
        EXPECT_EQ(std::memcmp(b, bind_bytes(b->Action_Param[0]).data(), BIND_PERSISTED_SIZE), 0)
            << "taken exactly as stored";
    }
}

TEST_F(ProfileLoading, ShortAndLongBindDataAndARuntimePartAtZero)
{
    const std::string key = layout("Layout - 1");
    sim::reg_set_dword(key, "Profil_Id", 5);
    Bytes full = bind_bytes(4);
    Bytes longer = full;
    for (int i = 0; i < 6; i++)
        longer.push_back(0xEE);
    sim::reg_set_binary(key, "Bind - short", Bytes(full.begin(), full.begin() + 20));
    sim::reg_set_binary(key, "Bind - long", longer);

    MIVO_InitState(dx);
    ASSERT_NE(find(5), nullptr);
    BIND *lng = find(5)->Binds;
    ASSERT_NE(lng, nullptr);
    BIND *shrt = lng->Next;
    ASSERT_NE(shrt, nullptr);
    EXPECT_EQ(std::memcmp(lng, full.data(), BIND_PERSISTED_SIZE), 0) << "only the first 34 bytes count";

    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(shrt);
    EXPECT_EQ(std::memcmp(bytes, full.data(), 20), 0);
    EXPECT_EQ(Bytes(bytes + 20, bytes + BIND_PERSISTED_SIZE), Bytes(14, 0))
        << "no action parameter, Hold_Time 0, TRIGGER_DIRECT";
    for (BIND *b : {lng, shrt}) {
        EXPECT_EQ(b->Last_Active, 0);
        EXPECT_EQ(static_cast<int>(b->Press_Value), 0);
        EXPECT_EQ(static_cast<unsigned long long>(b->Press_Time), 0u);
        EXPECT_EQ(static_cast<unsigned long long>(b->Release_Time), 0u);
    }
}

TEST_F(ProfileLoading, ALongProfileNameIsCutAt49Characters)
{
    store_profile("Layout - 1", 5, std::string(60, 'n'));
    MIVO_InitState(dx);
    ASSERT_NE(find(5), nullptr);
    EXPECT_EQ(std::u16string(find(5)->Profil_Name), std::u16string(49, u'n'));
}

TEST_F(ProfileLoading, ARebuildKeepsTheCurrentProfileOrFallsBack)
{
    sim::reg_set_dword(kLayout, "Default_Profil", 5);
    store_profile("Layout - 1", 5, "Five", {1});
    store_profile("Layout - 2", 7, "Seven", {2});

    MIVO_InitState(dx);
    ASSERT_NE(dx->CurrentProfil, nullptr);
    EXPECT_EQ(dx->CurrentProfil->Profil_Id, 5);
    dx->CurrentProfil = find(7);

    MIVO_InitState(dx);
    ASSERT_NE(dx->CurrentProfil, nullptr);
    EXPECT_EQ(dx->CurrentProfil->Profil_Id, 7) << "profile 7 is still stored";
    EXPECT_EQ(dx->CurrentProfil, find(7)) << "the new record, in the new list";

    sim::reg_delete_key(layout("Layout - 2"));
    MIVO_InitState(dx);
    ASSERT_NE(dx->CurrentProfil, nullptr);
    EXPECT_EQ(dx->CurrentProfil->Profil_Id, 5) << "7 is gone: the default";

    dx->CurrentProfil = find(-1);
    MIVO_InitState(dx);
    EXPECT_EQ(dx->CurrentProfil->Profil_Id, 5) << "the base profile being current asks for the default";

    sim::reg_delete_key(layout("Layout - 1"));
    MIVO_InitState(dx);
    ASSERT_NE(dx->CurrentProfil, nullptr);
    EXPECT_EQ(dx->CurrentProfil->Profil_Id, -1) << "neither stored: the base profile";
    EXPECT_EQ(led_on_times(), (std::vector<LONGLONG>{250, 150, 100})) << "reload, not the selection pattern";
}

TEST_F(ProfileLoading, ARebuildPutsTheReportStateToRest)
{
    store_profile("Layout - 1", 5);
    dx->ModeConfig = 1;
    dx->PendingReports = 0;
    dx->GestureActive = 1;
    dx->GestureTime = 3;
    dx->RawInput[2] = 0x40;
    dx->KeyState[4].Flags = KEY_PRESS | KEY_LATCH;
    dx->ReportState.JoystickReport.Axis[3] = 17;
    dx->WheelStep = 2;
    MIVO_InitState(dx);
    EXPECT_EQ(dx->ModeConfig, 1) << "not part of the rebuild";
    EXPECT_EQ(dx->PendingReports, static_cast<ULONG>(PENDING_ALL));
    EXPECT_EQ(dx->GestureActive, 0);
    EXPECT_EQ(static_cast<unsigned long long>(dx->GestureTime), 1500u);
    EXPECT_EQ(dx->RawInput[2], 0);
    EXPECT_EQ(dx->KeyState[4].Flags, 0);
    EXPECT_EQ(static_cast<int>(dx->ReportState.JoystickReport.Axis[3]), JOYSTICK_AXIS_REST);
    EXPECT_EQ(dx->ReportState.JoystickReport.ReportId, REPORT_ID_JOYSTICK);
    EXPECT_EQ(dx->WheelStep, 0);
}

TEST_F(ProfileLoading, DeleteFreesEveryRecordAndExistLooksBySigned16BitId)
{
    store_profile("Layout - 1", 5, "Five", {1, 2});
    MIVO_InitState(dx);
    EXPECT_TRUE(MIVO_Profil_Exist(dx, 5));
    EXPECT_TRUE(MIVO_Profil_Exist(dx, -1));
    sim::trace_clear();
    EXPECT_FALSE(MIVO_Profil_Exist(dx, 6));
    EXPECT_EQ(sim::trace_lines().back(), "> Leave: MIVO_Profil_Exist: OK Not Found");

    MIVO_Led_Queue_Clear(dx);
    sim::trace_clear();
    MIVO_Delete_Profil(dx);
    EXPECT_EQ(dx->ProfilList, nullptr);
    EXPECT_EQ(dx->CurrentProfil, nullptr);
    EXPECT_TRUE(traced("Delete Profil : Five"));
    EXPECT_TRUE(traced("Delete Profil : Base Profil"));
    EXPECT_EQ(sim::pool_stats().live_allocations, 0u) << "profiles and binds all freed";
}

TEST_F(ProfileLoading, ProfileRecordsThatCannotBeAllocatedAreSkipped)
{
    store_profile("Layout - 1", 5, "Five", {1});
    store_profile("Layout - 2", 7, "Seven", {2});
    // Every PROFIL allocation fails: the base profile's and both stored ones.
    sim::pool_fail_size(sizeof(PROFIL));
    MIVO_InitState(dx);
    sim::pool_fail_clear();
    EXPECT_EQ(ids(), std::vector<int>{});
    EXPECT_EQ(dx->CurrentProfil, nullptr) << "no base profile: the search ends in none";
    int skipped = 0;
    for (const std::string &l : sim::trace_lines())
        skipped += l == "> Leave: MIVO_Load_Profil: ExAllocatePool Error";
    EXPECT_EQ(skipped, 2);
}

TEST_F(ProfileLoading, BindsThatCannotBeAllocatedOrReadAreMissingOrZero)
{
    store_profile("Layout - 1", 5, "Five", {1, 2});

    sim::pool_fail_size(sizeof(BIND));
    MIVO_InitState(dx);
    sim::pool_fail_clear();
    ASSERT_NE(find(5), nullptr);
    EXPECT_EQ(find(5)->Binds, nullptr) << "binds missing, silently";

    // The buffer of a 34-byte value read: the bind is listed but not read.
    sim::pool_fail_size(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + BIND_PERSISTED_SIZE);
    MIVO_InitState(dx);
    sim::pool_fail_clear();
    ASSERT_NE(find(5), nullptr);
    int zero = 0;
    for (BIND *b = find(5)->Binds; b != nullptr; b = b->Next)
        zero += std::memcmp(b, Bytes(BIND_PERSISTED_SIZE, 0).data(), BIND_PERSISTED_SIZE) == 0;
    EXPECT_EQ(zero, 2) << "all-zero binds, which never act";
}

// Each allocation of a rebuild fails in turn: the rebuild finishes, what is
// loaded is a part of the store in the right order, nothing leaks and no key
// stays open.
TEST_F(ProfileLoading, FailingAnyAllocationOfARebuildLeavesAConsistentState)
{
    sim::reg_set_dword(kLayout, "Default_Profil", 5);
    store_profile("Layout - 1", 5, "Five", {1, 2});
    store_profile("Layout - 2", 7, "Seven", {3});

    sim::PoolStats before = sim::pool_stats();
    MIVO_InitState(dx);
    size_t allocations = sim::pool_stats().total_allocations - before.total_allocations;
    ASSERT_GT(allocations, 20u);
    MIVO_Delete_Profil(dx);
    MIVO_Led_Queue_Clear(dx);

    for (size_t n = 1; n <= allocations + 1; n++) {
        SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
        sim::pool_fail_nth(n);
        MIVO_InitState(dx);
        sim::pool_fail_clear();

        std::vector<int> got = ids();
        std::vector<int> order = {7, 5, -1};
        size_t at = 0;
        for (int id : got) {
            while (at < order.size() && order[at] != id)
                at++;
            ASSERT_LT(at, order.size()) << "unexpected or misordered profile " << id;
        }
        if (PROFIL *five = find(5)) {
            std::vector<int> tags = bind_tags(five);
            // Binds 2 then 1, any of them missing (not allocated) or all-zero
            // (its read failed).
            EXPECT_LE(tags.size(), 2u);
            int last = 3;
            for (int tag : tags) {
                EXPECT_TRUE(tag == 0 || tag < last) << "bind " << tag << " out of order";
                if (tag != 0)
                    last = tag;
            }
        }
        if (dx->CurrentProfil != nullptr) {
            EXPECT_NE(find(dx->CurrentProfil->Profil_Id), nullptr) << "current is in the list";
        }
        EXPECT_EQ(sim::reg_open_handles(), 0u);

        MIVO_Delete_Profil(dx);
        MIVO_Led_Queue_Clear(dx);
        ASSERT_EQ(sim::pool_stats().live_allocations, 0u);
    }
}

} // namespace
