// Profile selection: the search by id with its fallback chain (asked id, then
// the default profile, then the base profile), what a successful search does
// to the keys and the LED, and stepping through the list.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/sim/sim.h"
#include "tests/support/sim_test.h"

namespace {

class Selection : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        std::memset(&ext_, 0, sizeof(ext_));
        dx = &ext_;
        MIVO_report_state_reset(dx);
    }

    void TearDown() override
    {
        MIVO_Led_Queue_Clear(dx);
        while (PROFIL *p = dx->ProfilList) {
            dx->ProfilList = p->Next;
            while (BIND *b = p->Binds) {
                p->Binds = b->Next;
                ExFreePool(b);
            }
            ExFreePool(p);
        }
        dx->CurrentProfil = nullptr;
        SimTest::TearDown();
    }

    // A stored profile, appended behind those already there; it carries one
    // bind so that a selection that touched the records would show.
    PROFIL *add_profile(SHORT id)
    {
        auto *p = static_cast<PROFIL *>(ExAllocatePool(NonPagedPool, sizeof(PROFIL)));
        std::memset(p, 0, sizeof(*p));
        p->Profil_Id = id;
        MIVO_Create_NextBind(&p->Binds, SOURCE_AXIS, 0, 0, 0, 0, 0, ACTION_JOY_AXIS, 0);
        append(p);
        return p;
    }

    PROFIL *add_base()
    {
        PROFIL *p = MIVO_Profil_ZERO(dx);
        if (p) append(p);
        return p;
    }

    void append(PROFIL *p)
    {
        PROFIL **tail = &dx->ProfilList;
        while (*tail) tail = &(*tail)->Next;
        *tail = p;
    }

    PROFIL *find(SHORT id)
    {
        for (PROFIL *p = dx->ProfilList; p; p = p->Next)
            if (p->Profil_Id == id) return p;
        return nullptr;
    }

    std::string search_line(int id)
    {
        char buf[96];
        std::snprintf(buf, sizeof(buf), "> Enter: MIVO_Select_Profil: %016" PRIXPTR " Search Profil %d",
                      reinterpret_cast<uintptr_t>(dx), id);
        return buf;
    }

    DEVICE_EXTENSION ext_;
    PDEVICE_EXTENSION dx = nullptr;
};

const std::string kLeave = "> Leave: MIVO_Select_Profil: ";

// One step of the expected log: a search for an id, or a fixed line.
struct Step {
    bool search;
    int id;
    std::string line;
};
Step search(int id) { return {true, id, {}}; }
Step line(std::string text) { return {false, 0, std::move(text)}; }

struct ChainCase {
    const char *name;
    bool with_base;    // the base profile (-1) is loaded behind 7 and 5
    SHORT default_id;  // DefaultProfilId
    SHORT asked;
    int expected;      // Profil_Id of the result; 0 = none
    std::vector<Step> log;
};

const ChainCase kChains[] = {
    {"loaded id is found at once", true, 5, 7, 7,
     {search(7), line(kLeave + "Found Profil 7 ")}},
    {"missing id falls back to the default", true, 5, 9, 5,
     {search(9), line("Profil 9 Not Found look for default 5"), search(5), line(kLeave + "Found Profil 5 ")}},
    {"missing id and missing default end at the base profile", true, 3, 9, -1,
     {search(9), line("Profil 9 Not Found look for default 3"), search(3), line("Profil 3 Not Found look for -1"),
      search(-1), line(kLeave + "Found Profil -1 ")}},
    {"the default id itself goes straight to -1", true, 3, 3, -1,
     {search(3), line("Profil 3 Not Found look for -1"), search(-1), line(kLeave + "Found Profil -1 ")}},
    {"default -1 is taken as the default step", true, -1, 9, -1,
     {search(9), line("Profil 9 Not Found look for default -1"), search(-1), line(kLeave + "Found Profil -1 ")}},
    {"-1 is looked up directly", true, 5, -1, -1,
     {search(-1), line(kLeave + "Found Profil -1 ")}},
    {"-1 without a base profile is not found", false, 5, -1, 0,
     {search(-1), line(kLeave + "Not Found")}},
    {"the whole chain without a base profile ends in none", false, 3, 9, 0,
     {search(9), line("Profil 9 Not Found look for default 3"), search(3), line("Profil 3 Not Found look for -1"),
      search(-1), line(kLeave + "Not Found")}},
};

TEST_F(Selection, FallbackChains)
{
    for (const ChainCase &c : kChains) {
        SCOPED_TRACE(c.name);
        add_profile(7);
        add_profile(5);
        if (c.with_base) {
            ASSERT_NE(add_base(), nullptr);
        }
        dx->DefaultProfilId = c.default_id;

        // A latched key and the reload pattern, to see whether the search
        // released the keys and started the selection pattern.
        dx->KeyState[0x04].Flags = KEY_LATCH | KEY_PRESS;
        dx->KeyState[0x04].Repeat = 40;
        dx->KeyState[0x04].LastSent = 1234;
        MIVO_Led_Show_Reload(dx);
        sim::trace_clear();

        PROFIL *got = MIVO_Select_Profil(dx, c.asked);

        if (c.expected == 0) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(got, find((SHORT)c.expected));
        }

        std::vector<std::string> want;
        for (const Step &s : c.log) want.push_back(s.search ? search_line(s.id) : s.line);
        EXPECT_EQ(sim::trace_lines(), want);

        const bool found = got != nullptr;
        if (found) {
            EXPECT_EQ(dx->KeyState[0x04].Flags, 0) << "a successful search releases latched keys too";
            EXPECT_EQ(dx->KeyState[0x04].Repeat, 0);
            ASSERT_NE(dx->LedQueue, nullptr);
            EXPECT_EQ(dx->LedQueue->Duration, 500) << "the selection pattern replaced the reload pattern";
            EXPECT_EQ(dx->LedQueue->On_Time, 125);
            EXPECT_EQ(dx->LedQueue->Off_Time, 125);
            EXPECT_EQ(dx->LedQueue->Next, nullptr);
        } else {
            EXPECT_EQ(dx->KeyState[0x04].Flags, KEY_LATCH | KEY_PRESS) << "a failed search leaves the keys";
            ASSERT_NE(dx->LedQueue, nullptr);
            EXPECT_EQ(dx->LedQueue->On_Time, 250) << "a failed search leaves the LED pattern running";
        }
        EXPECT_EQ(dx->KeyState[0x04].LastSent, 1234u) << "the repeat rhythm is not part of a key release";
        EXPECT_EQ(dx->CurrentProfil, nullptr) << "the caller, not the search, stores the result";

        // Each case on a fresh kernel, checked for leaks on its own.
        TearDown();
        SetUp();
    }
}

TEST_F(Selection, FindingTheCurrentProfileStillReleasesKeysAndBlinks)
{
    PROFIL *seven = add_profile(7);
    add_base();
    dx->CurrentProfil = seven;
    dx->KeyState[0xE1].Flags = KEY_LATCH;
    dx->KeyState[0x10].Flags = KEY_PRESS | KEY_REPEAT;
    dx->KeyState[0x10].Repeat = 100;

    EXPECT_EQ(MIVO_Select_Profil(dx, 7), seven);

    for (int k = 0; k < KEY_STATE_COUNT; k++) {
        EXPECT_EQ(dx->KeyState[k].Flags, 0) << "key " << k;
        EXPECT_EQ(dx->KeyState[k].Repeat, 0) << "key " << k;
    }
    ASSERT_NE(dx->LedQueue, nullptr);
    EXPECT_EQ(dx->LedQueue->Duration, 500);
}

TEST_F(Selection, SteppingRunsThroughTheListAndWraps)
{
    PROFIL *seven = add_profile(7);
    PROFIL *five = add_profile(5);
    PROFIL *base = add_base();
    ASSERT_NE(base, nullptr);
    dx->CurrentProfil = seven;
    dx->KeyState[0x04].Flags = KEY_LATCH;
    dx->KeyState[0x05].Flags = KEY_PRESS;

    std::vector<PROFIL *> seen;
    for (int i = 0; i < 4; i++) {
        MIVO_Led_Queue_Clear(dx);
        MIVO_Select_Next_Profil(dx);
        seen.push_back(dx->CurrentProfil);
        ASSERT_NE(dx->LedQueue, nullptr) << "every step starts the selection pattern";
        EXPECT_EQ(dx->LedQueue->Duration, 500);
    }
    EXPECT_EQ(seen, (std::vector<PROFIL *>{five, base, seven, five}));
    EXPECT_EQ(sim::trace_lines(),
              (std::vector<std::string>{"Switch to 5", "Switch to -1", "Switch to 7", "Switch to 5"}));
    EXPECT_EQ(dx->KeyState[0x04].Flags, KEY_LATCH) << "stepping releases no keys";
    EXPECT_EQ(dx->KeyState[0x05].Flags, KEY_PRESS);
}

// Where stepping starts and ends when there is little to step through.
TEST_F(Selection, SteppingAtTheEdgesOfTheList)
{
    struct Case {
        const char *name;
        bool stored;  // profile 7 loaded ahead of the base profile
        bool base;    // the base profile loaded
        int current;  // Profil_Id of CurrentProfil; 0 = none
        int expected; // Profil_Id after the step; 0 = none
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {"no current profile starts at the head", true, true, 0, 7, {"Switch to 7"}},
        {"only the base profile keeps it", false, true, -1, -1, {"Switch to -1"}},
        {"an empty list leaves none and logs nothing", false, false, 0, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.stored) add_profile(7);
        if (c.base) add_base();
        dx->CurrentProfil = c.current ? find((SHORT)c.current) : nullptr;

        MIVO_Select_Next_Profil(dx);

        EXPECT_EQ(dx->CurrentProfil, c.expected ? find((SHORT)c.expected) : nullptr);
        EXPECT_EQ(sim::trace_lines(), c.log);

        TearDown();
        SetUp();
    }
}

} // namespace
