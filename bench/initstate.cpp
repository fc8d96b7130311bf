// MIVO_InitState on a store of 32 profiles of 64 binds each in the simulated
// registry: the rebuild the HID worker runs at start and at every reload.
// Reported in milliseconds per rebuild (FIGURE initstate.32x64 is its
// real_time).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"

namespace {

const std::string kLayout = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout";
const WCHAR kServicePath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo";

// Every bind different: device axis n % 6 onto joystick axis n % 8.
std::vector<uint8_t> stored_bind(int n)
{
    std::vector<uint8_t> b(BIND_PERSISTED_SIZE, 0);
    b[4] = uint8_t(n % 6);
    b[8] = uint8_t(n % 20);
    b[16] = ACTION_JOY_AXIS;
    b[20] = uint8_t(n % 8);
    return b;
}

void BM_InitState(benchmark::State &state)
{
    const int profiles = int(state.range(0));
    const int binds = int(state.range(1));
    sim::reset();
    sim::reg_set_dword(kLayout, "Default_Profil", 1);
    for (int p = 1; p <= profiles; p++) {
        const std::string key = kLayout + "\\Layout - " + std::to_string(p);
        sim::reg_set_dword(key, "Profil_Id", uint32_t(p));
        sim::reg_set_string(key, "Profil_Name", "Profile " + std::to_string(p));
        sim::reg_set_dword(key, "DeadZone", 20);
        for (int n = 1; n <= binds; n++) sim::reg_set_binary(key, "Bind - " + std::to_string(n), stored_bind(n));
    }

    static DEVICE_EXTENSION ext;
    PDEVICE_EXTENSION dx = &ext;
    std::memset(dx, 0, sizeof(*dx));
    RtlInitUnicodeString(&dx->RegistryPath, kServicePath);

    for (auto _ : state) {
        MIVO_InitState(dx);
        // The driver's trace is kept by the simulated kernel; a long run
        // would otherwise measure its growth.
        state.PauseTiming();
        sim::trace_clear();
        state.ResumeTiming();
    }
    int loaded = 0;
    for (PROFIL *p = dx->ProfilList; p != nullptr; p = p->Next) loaded++;
    if (loaded != profiles + 1) state.SkipWithError("the store did not load"); // and the base profile

    MIVO_Delete_Profil(dx);
    MIVO_Led_Queue_Clear(dx);
    sim::reset();
}

BENCHMARK(BM_InitState)->Args({32, 64})->Unit(benchmark::kMillisecond);

} // namespace
