// A device context for tests of the translation core: zero-filled as device
// addition leaves it and reset as a rebuild leaves it, with profiles and binds
// that the test builds (appended, so a test's list order is the order written)
// and that are freed after it.
#pragma once

#include <cstring>
#include <initializer_list>
#include <vector>

#include "core/core.h"
#include "tests/support/sim_test.h"

using Bytes = std::vector<uint8_t>;

template <typename T> Bytes image(const T &report)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&report);
    return Bytes(p, p + sizeof(T));
}

// Gives `value` while device button `button` is down.
inline BIND on_button(UCHAR button, SHORT value, ULONG action, UCHAR param = 0)
{
    BIND b{};
    b.Source_Type = SOURCE_BUTTON;
    b.Source_Index = button;
    b.Pressed_Value = value;
    b.Action_Type = action;
    b.Action_Param[0] = param;
    return b;
}

// Gives `value` in every pass: device button 47 is never down, and inverted.
inline BIND always(SHORT value, ULONG action, UCHAR param = 0)
{
    BIND b = on_button(47, value, action, param);
    b.Invert = 1;
    return b;
}

class CoreDeviceTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        std::memset(&ext_, 0, sizeof(ext_));
        InitializeListHead(&dx->ReadQueue);
        KeInitializeSpinLock(&dx->ReadQueueLock);
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

    PROFIL *add_profile(SHORT id, PROFIL *p = nullptr)
    {
        if (p == nullptr) {
            p = static_cast<PROFIL *>(ExAllocatePool(NonPagedPool, sizeof(PROFIL)));
            std::memset(p, 0, sizeof(*p));
            p->Profil_Id = id;
        }
        PROFIL **tail = &dx->ProfilList;
        while (*tail) tail = &(*tail)->Next;
        *tail = p;
        return p;
    }

    PROFIL *use_profile(SHORT id = 1) { return dx->CurrentProfil = add_profile(id); }

    PROFIL *use_base_profile()
    {
        PROFIL *base = MIVO_Profil_ZERO(dx);
        EXPECT_NE(base, nullptr);
        return dx->CurrentProfil = add_profile(BASE_PROFIL_ID, base);
    }

    BIND *add(PROFIL *p, const BIND &proto)
    {
        auto *b = static_cast<BIND *>(ExAllocatePool(NonPagedPool, sizeof(BIND)));
        std::memset(b, 0, sizeof(*b));
        std::memcpy(b, &proto, BIND_PERSISTED_SIZE); // as a stored record is taken
        b->Eval_Kind = MIVO_Bind_Classify(b);
        // Bind links sit unaligned in the packed record: walk by value.
        if (p->Binds == nullptr) {
            p->Binds = b;
        } else {
            BIND *last = p->Binds;
            while (last->Next) last = last->Next;
            last->Next = b;
        }
        return b;
    }

    void buttons(uint8_t byte) { dx->ReportState.RawButtons.Bytes[0] = byte; }

    // A device report as the USB worker hands it over.
    void feed(std::initializer_list<uint8_t> report)
    {
        const Bytes bytes(report);
        MIVO_raw_input_store(dx, bytes.data(), static_cast<ULONG>(bytes.size()));
    }

    // The bits made pending since the last call (no read takes them).
    ULONG take_pending()
    {
        ULONG bits = dx->PendingReports;
        MIVO_pending_clear(dx, PENDING_ALL);
        return bits;
    }

    DEVICE_EXTENSION ext_;
    DEVICE_EXTENSION *dx = &ext_;
};
