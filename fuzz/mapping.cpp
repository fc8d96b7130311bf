// Stored profiles with their 34-byte binds, read from the simulated registry
// by the rebuild, then driven by device input through the HID worker's step:
// raw decoding, the gesture, the mapping pass, the keyboard build, the LED
// queue, what the command channel posts (profile, configuration mode,
// reload) and the hand-out of reports to reads.
//
// Input: the store first (default id, then each profile's id, dead zone and
// binds, a bind's data usually 34 bytes), then events until the input runs
// out, each followed by a step after 0..3000 ms.
//
// Checked besides the sanitizers, after every step:
// - the step wrote nothing of the device context outside the state the HID
//   worker owns. The rest of the context is filled with a canary (0xA5)
//   where the step has no business reading it either;
// - the profile and bind records are as loaded, but for the binds' runtime
//   part, and the active profile is one of the list;
// - a read takes one whole image of the size its buffer allows (the buffer
//   is its own allocation of exactly that size, so ASan sees any overrun);
// and at the end the kernel finds nothing leaked or left open.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/core.h"
#include "fuzz/fuzz.h"
#include "platform/sim/registry.h"

namespace {

const std::string kLayout = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\mivo\\Layout";
const WCHAR kServicePath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo";
constexpr uint8_t kCanary = 0xA5;

struct Range {
    size_t offset;
    size_t size;
};
#define OWNED(field) Range{offsetof(DEVICE_EXTENSION, field), sizeof(DEVICE_EXTENSION::field)}

// What the HID worker's step and rebuild may change: the profile state, the
// posts they take, the report images and pending bits, the raw input (reset
// by a rebuild), the key table and its in-use bits, the mouse and wheel
// timing, the LED queue and the gesture.
const Range kOwned[] = {
    OWNED(DefaultProfilId), OWNED(CurrentProfil),     OWNED(ProfilList),      OWNED(ReloadRequested),
    OWNED(ModeConfig),      OWNED(ReportState),       OWNED(RawInput),        OWNED(KeyState),
    OWNED(NextMouseTime),   OWNED(LastWheelTime),     OWNED(WheelInterval),   OWNED(WheelStep),
    OWNED(LedQueue),        OWNED(GestureActive),     OWNED(GestureTime),     OWNED(GestureHoldStart),
    OWNED(GestureLastEvent), OWNED(PendingReports),   OWNED(ProfilRequest),   OWNED(ModeConfigRequest),
    OWNED(KeysInUse),
};

// The stretches of the context outside kOwned, padding included: none may
// change. Compared a stretch at a time, so that the check adds no coverage
// of its own for the fuzzer to chase.
std::vector<Range> frame_ranges()
{
    std::vector<bool> frame(sizeof(DEVICE_EXTENSION), true);
    for (const Range &r : kOwned)
        for (size_t i = 0; i < r.size; i++) frame[r.offset + i] = false;
    std::vector<Range> out;
    for (size_t i = 0; i < frame.size(); i++) {
        if (!frame[i]) continue;
        if (out.empty() || out.back().offset + out.back().size != i) out.push_back({i, 0});
        out.back().size++;
    }
    return out;
}
const std::vector<Range> kFrame = frame_ranges();

// A context as device addition and a started device leave it, but with every
// field the step must not touch holding the canary. No control pipe: LED
// commands are refused before they reach the bus.
std::unique_ptr<DEVICE_EXTENSION> make_context()
{
    auto dx = std::make_unique<DEVICE_EXTENSION>();
    std::memset(static_cast<void *>(dx.get()), kCanary, sizeof(DEVICE_EXTENSION));
    for (const Range &r : kOwned) std::memset(reinterpret_cast<uint8_t *>(dx.get()) + r.offset, 0, r.size);
    dx->DeviceState = DEVICE_STATE_STARTED;
    InitializeListHead(&dx->ReadQueue);
    KeInitializeSpinLock(&dx->ReadQueueLock);
    KeInitializeEvent(&dx->NewInputEvent, SynchronizationEvent, FALSE);
    RtlInitUnicodeString(&dx->RegistryPath, kServicePath);
    dx->ControlPipe = nullptr;
    dx->LowerDeviceObject = nullptr;
    return dx;
}

using Bytes = std::vector<uint8_t>;

// The records as loaded: each profile whole, each bind's persisted part and
// link.
Bytes records(const DEVICE_EXTENSION &dx)
{
    Bytes out;
    for (const PROFIL *p = dx.ProfilList; p != nullptr; p = p->Next) {
        const auto *pb = reinterpret_cast<const uint8_t *>(p);
        out.insert(out.end(), pb, pb + sizeof(PROFIL));
        for (const BIND *b = p->Binds; b != nullptr; b = b->Next) {
            const auto *bb = reinterpret_cast<const uint8_t *>(b);
            out.insert(out.end(), bb, bb + BIND_PERSISTED_SIZE + sizeof(BIND *));
        }
    }
    return out;
}

void store(FuzzedDataProvider &in)
{
    sim::reg_set_dword(kLayout, "Default_Profil", uint32_t(in.ConsumeIntegralInRange<int>(-2, 5)));
    const int profiles = in.ConsumeIntegralInRange(0, 4);
    for (int p = 0; p < profiles; p++) {
        const std::string key = kLayout + "\\Layout - " + std::to_string(p);
        sim::reg_set_dword(key, "Profil_Id", uint32_t(in.ConsumeIntegralInRange<int>(-2, 5)));
        sim::reg_set_dword(key, "DeadZone", in.ConsumeIntegral<uint16_t>());
        const int binds = in.ConsumeIntegralInRange(0, 8);
        for (int b = 0; b < binds; b++) {
            const size_t size = in.ConsumeBool() ? BIND_PERSISTED_SIZE : in.ConsumeIntegralInRange<size_t>(0, 40);
            sim::reg_set_binary(key, "Bind - " + std::to_string(b), in.ConsumeBytes<uint8_t>(size));
        }
    }
}

void read_one(DEVICE_EXTENSION *dx, size_t length)
{
    Bytes buffer(length);
    ULONG got = ULONG(length);
    const NTSTATUS status = MIVO_hid_read_rep(dx, buffer.data(), &got);
    if (status != STATUS_SUCCESS) return;
    fuzz::check(got <= length && (got == sizeof(JOYSTICK_REPORT) || got == sizeof(KEYBOARD_REPORT) ||
                                  got == sizeof(CONSUMER_REPORT) || got == sizeof(MOUSE_REPORT) ||
                                  got == sizeof(STATUS_REPORT) || got == sizeof(RAW_REPORT)),
                "a read took one whole report image");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    sim::reset();
    store(in);
    std::unique_ptr<DEVICE_EXTENSION> dx = make_context();
    MIVO_InitState(dx.get());

    Bytes loaded = records(*dx);
    Bytes before(sizeof(DEVICE_EXTENSION));
    while (in.remaining_bytes() > 0) {
        std::memcpy(before.data(), dx.get(), before.size());
        switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: // a device report
        case 1:
        case 2: {
            const Bytes report = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 7));
            MIVO_raw_input_store(dx.get(), report.data(), ULONG(report.size()));
            break;
        }
        case 3:
            MIVO_post_profil(dx.get(), SHORT(in.ConsumeIntegralInRange<int>(-2, 5)));
            break;
        case 4:
            MIVO_post_mode_config(dx.get(), in.ConsumeBool());
            break;
        case 5:
            MIVO_post_reload(dx.get());
            break;
        case 6:
            read_one(dx.get(), in.ConsumeIntegralInRange<size_t>(0, 20));
            break;
        default: // time passes without new input
            break;
        }
        sim::clock_set(sim::clock_now() + uint64_t(in.ConsumeIntegralInRange(0, 3000)) * MS_TO_INTERRUPT_TIME);
        // As the HID worker runs it.
        const bool rebuilt = MIVO_take_reload(dx.get());
        if (rebuilt) MIVO_InitState(dx.get());
        MIVO_hid_step(dx.get());

        const auto *after = reinterpret_cast<const uint8_t *>(dx.get());
        for (const Range &r : kFrame)
            if (std::memcmp(after + r.offset, before.data() + r.offset, r.size) != 0)
                fuzz::fail("the step wrote bytes " + std::to_string(r.offset) + ".." +
                           std::to_string(r.offset + r.size - 1) + " of the device context, outside its state");
        if (rebuilt) loaded = records(*dx);
        fuzz::check(records(*dx) == loaded, "profile and bind records stay as loaded");
        bool listed = dx->CurrentProfil == nullptr;
        for (const PROFIL *p = dx->ProfilList; p != nullptr; p = p->Next) listed = listed || p == dx->CurrentProfil;
        fuzz::check(listed, "the active profile is one of the list");
    }

    MIVO_Delete_Profil(dx.get());
    MIVO_Led_Queue_Clear(dx.get());
    fuzz::check(sim::reg_open_handles() == 0, "every key the loader opened is closed");
    fuzz::check_kernel();
    return 0;
}
