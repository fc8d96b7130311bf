// Profile selection: the search by id with its fallback chain (asked id, then
// the default profile, then the base profile), what a successful search does
// to the keys and the LED, and stepping through the list.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/support/core_device.h"

namespace {

using Lines = std::vector<std::string>;

class Selection : public CoreDeviceTest {
protected:
    // Profiles 7 and 5, then the base profile if asked, as a rebuild leaves them.
    void load(bool with_base)
    {
        add_profile(7);
        add_profile(5);
        if (with_base) {
            ASSERT_NE(add_profile(BASE_PROFIL_ID, MIVO_Profil_ZERO(dx)), nullptr);
        }
    }

    PROFIL *find(int id)
    {
        for (PROFIL *p = dx->ProfilList; p; p = p->Next)
            if (p->Profil_Id == id) return p;
        return nullptr;
    }

    std::string search(int id)
    {
        char buf[96];
        std::snprintf(buf, sizeof(buf), "> Enter: MIVO_Select_Profil: %016" PRIXPTR " Search Profil %d",
                      reinterpret_cast<uintptr_t>(dx), id);
        return buf;
    }
};

const std::string kFound = "> Leave: MIVO_Select_Profil: Found Profil ";
const std::string kNotFound = "> Leave: MIVO_Select_Profil: Not Found";

TEST_F(Selection, FallbackChains)
{
    struct Case {
        const char *name;
        bool with_base;   // the base profile (-1) is loaded behind 7 and 5
        SHORT default_id; // DefaultProfilId
        SHORT asked;
        int expected; // Profil_Id of the result; 0 = none
        std::vector<int> searches;
        Lines lines; // the log after each search but the last, then the result
    };
    const Case cases[] = {
        {"loaded id is found at once", true, 5, 7, 7, {7}, {kFound + "7 "}},
        {"missing id falls back to the default", true, 5, 9, 5, {9, 5},
         {"Profil 9 Not Found look for default 5", kFound + "5 "}},
        {"missing id and missing default end at the base profile", true, 3, 9, -1, {9, 3, -1},
         {"Profil 9 Not Found look for default 3", "Profil 3 Not Found look for -1", kFound + "-1 "}},
        {"the default id itself goes straight to -1", true, 3, 3, -1, {3, -1},
         {"Profil 3 Not Found look for -1", kFound + "-1 "}},
        {"default -1 is taken as the default step", true, -1, 9, -1, {9, -1},
         {"Profil 9 Not Found look for default -1", kFound + "-1 "}},
        {"-1 is looked up directly", true, 5, -1, -1, {-1}, {kFound + "-1 "}},
        {"the whole chain without a base profile ends in none", false, 3, 9, 0, {9, 3, -1},
         {"Profil 9 Not Found look for default 3", "Profil 3 Not Found look for -1", kNotFound}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        load(c.with_base);
        dx->DefaultProfilId = c.default_id;
        // A latched key and the reload pattern, to see whether the search
        // released the keys and started the selection pattern.
        dx->KeyState[0x04] = {KEY_LATCH | KEY_PRESS, 40, 1234};
        MIVO_Led_Show_Reload(dx);
        sim::trace_clear();

        PROFIL *got = MIVO_Select_Profil(dx, c.asked);

        EXPECT_EQ(got, c.expected ? find(c.expected) : nullptr);
        Lines want;
        for (size_t i = 0; i < c.searches.size(); i++) {
            want.push_back(search(c.searches[i]));
            want.push_back(c.lines[i]);
        }
        EXPECT_EQ(sim::trace_lines(), want);
        ASSERT_NE(dx->LedQueue, nullptr);
        if (got) {
            EXPECT_EQ(dx->KeyState[0x04].Flags, 0) << "a successful search releases latched keys";
            EXPECT_EQ(dx->KeyState[0x04].Repeat, 0);
            EXPECT_EQ(dx->LedQueue->On_Time, 125) << "the selection pattern replaced the reload pattern";
            EXPECT_EQ(dx->LedQueue->Next, nullptr);
        } else {
            EXPECT_EQ(dx->KeyState[0x04].Flags, KEY_LATCH | KEY_PRESS) << "a failed search leaves the keys";
            EXPECT_EQ(dx->LedQueue->On_Time, 250) << "and the LED pattern";
        }
        EXPECT_EQ(dx->KeyState[0x04].LastSent, 1234u) << "the repeat rhythm is not part of a key release";
        EXPECT_EQ(dx->CurrentProfil, nullptr) << "the caller, not the search, stores the result";
        TearDown(); // each case on a fresh kernel, checked for leaks on its own
        SetUp();
    }
}

TEST_F(Selection, SteppingRunsThroughTheListAndWraps)
{
    MIVO_Select_Next_Profil(dx);
    EXPECT_TRUE(sim::trace_lines().empty()) << "an empty list: nothing to step to";
    load(true);
    dx->KeyState[0x04].Flags = KEY_LATCH;
    std::vector<PROFIL *> seen;
    for (int i = 0; i < 4; i++) {
        MIVO_Led_Queue_Clear(dx);
        MIVO_Select_Next_Profil(dx);
        seen.push_back(dx->CurrentProfil);
        ASSERT_NE(dx->LedQueue, nullptr) << "every step starts the selection pattern";
        EXPECT_EQ(dx->LedQueue->Duration, 500);
    }
    EXPECT_EQ(seen, (std::vector<PROFIL *>{find(7), find(5), find(-1), find(7)})) << "no current: the head first";
    EXPECT_EQ(sim::trace_lines(), (Lines{"Switch to 7", "Switch to 5", "Switch to -1", "Switch to 7"}));
    EXPECT_EQ(dx->KeyState[0x04].Flags, KEY_LATCH) << "stepping releases no keys";
}

} // namespace
