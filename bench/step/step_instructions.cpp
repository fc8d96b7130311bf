// Instructions per worker step, for callgrind (scripts/step_count.sh).
//
// One device context on the simulated kernel, set up as a rebuild leaves it
// with the base profile active, runs MIVO_hid_step and the reads of the reports
// the step made due, one step per millisecond of virtual time (1 kHz input).
// Only the steps and the reads are collected; each phase is dumped under its
// own name with the number of steps it ran:
//   base.idle      the base profile, the same device report every step
//   base.moving    the base profile, a new translation or rotation report
//                  every step
//   extra.idle, extra.moving   the same with the base profile's binds three
//                  more times behind its own (kExtraBinds more binds)
// Run outside valgrind it runs the same phases and says so.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/sim/sim.h"

namespace {

constexpr int kSteps = 2000;
constexpr int kCopies = 3;

DEVICE_EXTENSION ext;
PDEVICE_EXTENSION const dx = &ext;

int bind_count(const PROFIL *p)
{
    int n = 0;
    for (const BIND *b = p->Binds; b != nullptr; b = b->Next) n++;
    return n;
}

// The base profile, with its own binds `copies` more times at the end.
void bring_up(int copies)
{
    sim::reset();
    std::memset(dx, 0, sizeof(*dx));
    InitializeListHead(&dx->ReadQueue);
    KeInitializeSpinLock(&dx->ReadQueueLock);
    MIVO_report_state_reset(dx);
    PROFIL *base = MIVO_Profil_ZERO(dx);
    const int own = bind_count(base);
    BIND *last = base->Binds;
    while (last->Next != nullptr) last = last->Next;
    for (int c = 0; c < copies; c++) {
        BIND *src = base->Binds;
        for (int i = 0; i < own; i++, src = src->Next) {
            auto *copy = static_cast<BIND *>(ExAllocatePool(NonPagedPool, sizeof(BIND)));
            std::memset(copy, 0, sizeof(*copy));
            std::memcpy(copy, src, BIND_PERSISTED_SIZE); // as a stored record is taken
            copy->Eval_Kind = MIVO_Bind_Classify(copy);
            last->Next = copy;
            last = copy;
        }
    }
    dx->ProfilList = dx->CurrentProfil = base;
}

void tear_down()
{
    MIVO_Delete_Profil(dx);
    MIVO_Led_Queue_Clear(dx);
}

// A device report of 1 (translation) or 2 (rotation) with three axes.
void feed(UCHAR id, SHORT a, SHORT b, SHORT c)
{
    const UCHAR report[7] = {id,           UCHAR(a), UCHAR(USHORT(a) >> 8), UCHAR(b), UCHAR(USHORT(b) >> 8),
                             UCHAR(c),     UCHAR(USHORT(c) >> 8)};
    MIVO_raw_input_store(dx, report, sizeof(report));
}

// One step and the reads it made due, as the worker and the class driver's
// queued reads would run them.
void step()
{
    MIVO_hid_step(dx);
    UCHAR buffer[64];
    while (MIVO_pending_get(dx) != 0) {
        ULONG length = sizeof(buffer);
        MIVO_hid_read_rep(dx, buffer, &length);
    }
}

void phase(const char *name, int copies, bool moving)
{
    bring_up(copies);
    // Settle: the first step after the reset delivers every report once.
    feed(2, 0, 100, 0);
    step();
    sim::clock_set(sim::clock_now() + 10 * 10'000);
    step();

    CALLGRIND_ZERO_STATS;
    for (int i = 0; i < kSteps; i++) {
        sim::clock_set(sim::clock_now() + 10'000);
        if (moving) {
            // A cap moving on all six axes: translation and rotation reports
            // take turns, every one with new values.
            SHORT v = SHORT(60 + (i * 7) % 300);
            if (i % 2 == 0) {
                feed(1, v, SHORT(-v / 2), SHORT(v / 3));
            } else {
                feed(2, SHORT(-v), v, SHORT(v / 4));
            }
        }
        CALLGRIND_TOGGLE_COLLECT;
        step();
        CALLGRIND_TOGGLE_COLLECT;
    }
    std::string label = std::string(name) + " " + std::to_string(kSteps) + " " + std::to_string(bind_count(dx->CurrentProfil));
    CALLGRIND_DUMP_STATS_AT(label.c_str());
    tear_down();
    std::vector<std::string> problems = sim::problems();
    for (const std::string &p : problems) std::fprintf(stderr, "simulated kernel: %s\n", p.c_str());
}

} // namespace

int main()
{
    if (!RUNNING_ON_VALGRIND) {
        std::fprintf(stderr, "step_instructions: counts only under callgrind; run scripts/step_count.sh\n");
    }
    phase("base.idle", 0, false);
    phase("base.moving", 0, true);
    phase("extra.idle", kCopies, false);
    phase("extra.moving", kCopies, true);
    return 0;
}
