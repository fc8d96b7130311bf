// The simulated I/O manager: driver and device objects, IRPs with their stack
// locations, IofCallDriver, the completion walk, cancellation with the cancel
// spin lock, and a verifier that follows every IRP it hands out.
//
// An IRP is in one of three places: with its creator (allocated, or back after
// the completion walk passed its top location), in a driver's hands (sent and
// not yet back), or freed. The verifier reports every move that does not fit:
// a completion of an IRP that is back already or freed, a completion under a
// spin lock or with a cancel routine still armed, a dispatch routine whose
// STATUS_PENDING disagrees with IoMarkIrpPending, an IRP never completed.
//
// The walk calls completion routines without any lock held. While a routine
// runs, another thread may already act on the IRP (the routine signalled an
// event before returning STATUS_MORE_PROCESSING_REQUIRED); such a thread waits
// until the routine has returned, so the verdict sees the routine's answer.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <bitset>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/sim/internal.h"
#include "platform/sim/io_internal.h"

namespace sim::io {

NTSTATUS call_dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDRIVER_DISPATCH routine);

namespace {

constexpr ULONG kIrpTag = 0x20707249;    // 'Irp '
constexpr ULONG kDeviceTag = 0x20766544; // 'Dev '
constexpr ULONG kBufferTag = 0x66754249; // 'IBuf'
constexpr CSHORT kIoTypeIrp = 6;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;

struct Frame {
    int location;
    NTSTATUS returned;
    PDEVICE_OBJECT device;
};

// Stack locations the completion walk has passed since the request was last
// sent below them, and whether SL_PENDING_RETURNED was set at each. A stack
// count is a CCHAR, so locations run from 1 to 127.
class PassedLocations {
public:
    void clear() {
        seen_.reset();
        marked_.reset();
    }
    // Forgets locations 1..location: the request went down past them again.
    void forget_to(int location) {
        if (location <= 0)
            return;
        std::bitset<kSize> below = ~std::bitset<kSize>() >> (kSize - 1 - std::min(location, kSize - 1));
        seen_ &= ~below;
        marked_ &= ~below;
    }
    void pass(int location, bool marked) {
        if (location <= 0 || location >= kSize)
            return;
        seen_.set(size_t(location));
        marked_.set(size_t(location), marked);
    }
    // Whether the walk passed the location, and how it found it marked.
    bool find(int location, bool &marked) const {
        if (location <= 0 || location >= kSize || !seen_.test(size_t(location)))
            return false;
        marked = marked_.test(size_t(location));
        return true;
    }

private:
    static constexpr int kSize = 128;
    std::bitset<kSize> seen_, marked_;
};

struct IrpRecord {
    uint64_t generation = 0;
    bool freed = false;
    bool built = false;    // IoBuildDeviceIoControlRequest: finished and freed on completion
    bool in_stack = false; // in a driver's hands
    int returned = 0;      // walks that reached the creator since allocation or reuse
    int walking = 0;       // walks in progress (nested ones from a routine count too)
    std::thread::id walker;
    bool in_routine = false;
    PassedLocations pending_seen;
    std::vector<Frame> frames;        // dispatch results waiting for the walk to pass their location
    UCHAR major = 0;
    ULONG ioctl = 0;
    // Built buffered requests: the caller's output buffer and the system buffer.
    PVOID user_output = nullptr;
    ULONG user_output_length = 0;
    PVOID system_buffer = nullptr;
    std::shared_ptr<Request::Observer> observer;
};

struct DeviceRecord {
    bool own = false; // not from the pool
    PDEVICE_OBJECT attached_to = nullptr;
    // Work items queued for the device hold it: IoDeleteDevice while they do
    // only marks it deleted, and the last one done frees it.
    int references = 0;
    bool deleted = false;
};

struct IoState {
    std::mutex mu;
    std::condition_variable cv;
    std::unordered_map<PIRP, IrpRecord> irps;
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
    uint64_t generation = 0;
};

IoState &iost() {
    static IoState *state = new IoState; // outlives static destructors of test binaries
    return *state;
}

KSPIN_LOCK g_cancel_lock = 0;

std::string hex(const void *p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

std::string hex32(ULONG v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string describe_record(PIRP irp, const IrpRecord &r) {
    std::string s = "IRP " + hex(irp) + " (major " + hex32(r.major);
    if (r.major == IRP_MJ_DEVICE_CONTROL || r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        s += ", control code " + hex32(r.ioctl);
    return s + ")";
}

PIO_STACK_LOCATION location_at(PIRP irp, int location) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

// Waits while another thread runs a completion routine for this IRP; returns
// the record again (the IRP may have been freed and its address reused).
IrpRecord *settle(std::unique_lock<std::mutex> &lk, PIRP irp) {
    IoState &s = iost();
    for (;;) {
        auto it = s.irps.find(irp);
        if (it == s.irps.end())
            return nullptr;
        IrpRecord &r = it->second;
        if (r.walking == 0 || r.walker == std::this_thread::get_id())
            return &r;
        s.cv.wait(lk);
    }
}

void check_pending(PIRP irp, const IrpRecord &r, const Frame &f, bool marked) {
    if (f.returned == STATUS_PENDING && !marked)
        sim::report_problem("dispatch routine of device " + hex(f.device) + " returned STATUS_PENDING for " +
                            describe_record(irp, r) + " without IoMarkIrpPending");
    else if (f.returned != STATUS_PENDING && marked)
        sim::report_problem("dispatch routine of device " + hex(f.device) + " marked " + describe_record(irp, r) +
                            " pending but returned " + hex32(static_cast<ULONG>(f.returned)));
}

void notify_observer(const std::shared_ptr<Request::Observer> &o, bool refused) {
    if (!o)
        return;
    {
        std::lock_guard g(o->mu);
        if (refused)
            ++o->refused;
    }
    o->cv.notify_all();
}

NTSTATUS NTAPI default_dispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDEVICE_OBJECT new_device(PDRIVER_OBJECT driver, ULONG extension_size, ULONG device_type, bool own) {
    size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    size_t size = head + extension_size;
    void *mem = own ? std::calloc(1, size) : ExAllocatePoolWithTag(NonPagedPool, size, kDeviceTag);
    if (!mem)
        return nullptr;
    std::memset(mem, 0, size);
    auto *d = static_cast<PDEVICE_OBJECT>(mem);
    d->Type = kIoTypeDevice;
    d->Size = static_cast<USHORT>(std::min<size_t>(size, 0xFFFF));
    d->DriverObject = driver;
    d->DeviceExtension = extension_size ? static_cast<char *>(mem) + head : nullptr;
    d->DeviceType = device_type;
    d->StackSize = 1;
    d->Flags = DO_DEVICE_INITIALIZING;
    if (driver) {
        d->NextDevice = driver->DeviceObject;
        driver->DeviceObject = d;
    }
    std::lock_guard g(iost().mu);
    iost().devices[d] = DeviceRecord{own, nullptr};
    return d;
}

void free_device(PDEVICE_OBJECT d, bool own) {
    if (own)
        std::free(d);
    else
        ExFreePoolWithTag(d, kDeviceTag);
}

void remove_device(PDEVICE_OBJECT d, bool own) {
    bool held = false;
    {
        std::lock_guard g(iost().mu);
        auto it = iost().devices.find(d);
        if (it == iost().devices.end() || it->second.deleted) {
            sim::report_problem("IoDeleteDevice(" + hex(d) + "): not a live device object");
            return;
        }
        if (it->second.attached_to)
            sim::report_problem("IoDeleteDevice(" + hex(d) + "): still attached to " + hex(it->second.attached_to) +
                                " (IoDetachDevice missing)");
        for (auto &[other, rec] : iost().devices)
            if (rec.attached_to == d)
                rec.attached_to = nullptr;
        held = it->second.references > 0;
        if (held)
            it->second.deleted = true;
        else
            iost().devices.erase(it);
    }
    if (PDRIVER_OBJECT driver = d->DriverObject) {
        for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link; link = &(*link)->NextDevice)
            if (*link == d) {
                *link = d->NextDevice;
                break;
            }
    }
    if (!held)
        free_device(d, own);
}

// The end of a walk that passed the top location of a request built by
// IoBuildDeviceIoControlRequest: the caller's block and buffer, its event,
// and the IRP goes back to the pool.
void finish_built(PIRP irp, IrpRecord &r, std::unique_lock<std::mutex> &lk) {
    if (r.user_output && r.system_buffer && NT_SUCCESS(irp->IoStatus.Status)) {
        size_t n = std::min<size_t>(irp->IoStatus.Information, r.user_output_length);
        std::memcpy(r.user_output, r.system_buffer, n);
    }
    PVOID system_buffer = r.system_buffer;
    PIO_STATUS_BLOCK iosb = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    IO_STATUS_BLOCK status = irp->IoStatus;
    r.freed = true;
    r.system_buffer = nullptr;
    lk.unlock();
    if (iosb)
        *iosb = status;
    if (system_buffer)
        ExFreePoolWithTag(system_buffer, kBufferTag);
    ExFreePoolWithTag(irp, kIrpTag);
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    lk.lock();
}

const sim::internal::Registrar registrar(
    [] {
        std::lock_guard g(iost().mu);
        // The pool forgets (and releases) every block on reset; the records go with it.
        iost().irps.clear();
        std::erase_if(iost().devices, [](const auto &kv) { return !kv.second.own; });
        iost().generation = 0;
        g_cancel_lock = 0;
    },
    [](std::vector<std::string> &out) {
        std::lock_guard g(iost().mu);
        for (const auto &[irp, r] : iost().irps) {
            if (r.freed)
                continue;
            if (r.in_stack)
                out.push_back(describe_record(irp, r) + " was sent and never completed");
            else if (r.built || !r.observer)
                out.push_back(describe_record(irp, r) + " was allocated and never freed");
        }
    });

} // namespace

PDEVICE_OBJECT create_own_device(PDRIVER_OBJECT driver, ULONG extension_size, ULONG device_type) {
    return new_device(driver, extension_size, device_type, true);
}

void delete_own_device(PDEVICE_OBJECT device) { remove_device(device, true); }

void init_driver_object(PDRIVER_OBJECT driver) {
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    for (auto &f : driver->MajorFunction)
        f = default_dispatch;
}

void observe(PIRP irp, std::shared_ptr<Request::Observer> observer) {
    std::lock_guard g(iost().mu);
    auto it = iost().irps.find(irp);
    if (it != iost().irps.end())
        it->second.observer = std::move(observer);
}

void mark_sent(PIRP irp) {
    std::lock_guard g(iost().mu);
    auto it = iost().irps.find(irp);
    if (it == iost().irps.end())
        return;
    PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
    it->second.in_stack = true;
    it->second.major = sp->MajorFunction;
    it->second.ioctl = sp->Parameters.DeviceIoControl.IoControlCode;
}

bool in_stack(PIRP irp) {
    std::lock_guard g(iost().mu);
    auto it = iost().irps.find(irp);
    return it != iost().irps.end() && !it->second.freed && it->second.in_stack;
}

std::string describe(PIRP irp) {
    std::lock_guard g(iost().mu);
    auto it = iost().irps.find(irp);
    return it == iost().irps.end() ? "IRP " + hex(irp) : describe_record(irp, it->second);
}

} // namespace sim::io

using namespace sim::io;

namespace sim::internal {

void device_reference(PDEVICE_OBJECT device) {
    std::lock_guard g(iost().mu);
    auto it = iost().devices.find(device);
    if (it != iost().devices.end())
        ++it->second.references;
}

void device_dereference(PDEVICE_OBJECT device) {
    bool own = false;
    {
        std::lock_guard g(iost().mu);
        auto it = iost().devices.find(device);
        if (it == iost().devices.end() || --it->second.references > 0 || !it->second.deleted)
            return;
        own = it->second.own;
        iost().devices.erase(it);
    }
    free_device(device, own);
}

} // namespace sim::internal

// ---------------------------------------------------------------- test-facing queries
namespace sim {

size_t irps_live() {
    std::lock_guard g(iost().mu);
    return std::count_if(iost().irps.begin(), iost().irps.end(), [](const auto &kv) { return !kv.second.freed; });
}

size_t irps_outstanding() {
    std::lock_guard g(iost().mu);
    return std::count_if(iost().irps.begin(), iost().irps.end(),
                         [](const auto &kv) { return !kv.second.freed && kv.second.in_stack; });
}

bool irp_live(PIRP irp) {
    std::lock_guard g(iost().mu);
    auto it = iost().irps.find(irp);
    return it != iost().irps.end() && !it->second.freed;
}

PDEVICE_OBJECT attached_to(PDEVICE_OBJECT device) {
    std::lock_guard g(iost().mu);
    auto it = iost().devices.find(device);
    return it == iost().devices.end() ? nullptr : it->second.attached_to;
}

} // namespace sim

// ---------------------------------------------------------------- the kernel's side
extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    const sim::internal::PoolSiteOfCaller site(__builtin_return_address(0));
    if (StackSize < 1)
        return nullptr;
    size_t size = sizeof(IRP) + size_t(StackSize) * sizeof(IO_STACK_LOCATION);
    auto *irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
    if (!irp)
        return nullptr;
    std::memset(irp, 0, size);
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = StackSize;
    irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = location_at(irp, StackSize + 1);
    irp->RequestorMode = KernelMode;
    InitializeListHead(&irp->ThreadListEntry);
    std::lock_guard g(iost().mu);
    IrpRecord rec;
    rec.generation = ++iost().generation;
    iost().irps[irp] = std::move(rec);
    return irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    PVOID system_buffer = nullptr;
    {
        std::unique_lock lk(iost().mu);
        IrpRecord *r = settle(lk, Irp);
        if (!r) {
            sim::report_problem("IoFreeIrp(" + hex(Irp) + "): not an IRP from IoAllocateIrp");
            return;
        }
        if (r->freed) {
            sim::report_problem("IoFreeIrp: " + describe_record(Irp, *r) + " freed twice");
            return;
        }
        if (r->in_stack) {
            sim::report_problem("IoFreeIrp: " + describe_record(Irp, *r) + " freed while a driver still holds it");
            r->in_stack = false;
        }
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
            sim::report_problem("IoFreeIrp: " + describe_record(Irp, *r) + " freed with a cancel routine armed");
        r->freed = true;
        system_buffer = r->system_buffer;
        r->system_buffer = nullptr;
        r->observer.reset();
    }
    if (system_buffer)
        ExFreePoolWithTag(system_buffer, kBufferTag);
    ExFreePoolWithTag(Irp, kIrpTag);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    std::unique_lock lk(iost().mu);
    IrpRecord *r = settle(lk, Irp);
    if (!r || r->freed) {
        sim::report_problem("IoReuseIrp(" + hex(Irp) + "): not a live IRP");
        return;
    }
    if (r->in_stack)
        sim::report_problem("IoReuseIrp: " + describe_record(Irp, *r) + " reused while a driver still holds it");
    CCHAR stack = Irp->StackCount;
    UCHAR flags = Irp->AllocationFlags;
    USHORT size = Irp->Size;
    std::memset(Irp, 0, size);
    Irp->Type = kIoTypeIrp;
    Irp->Size = size;
    Irp->AllocationFlags = flags;
    Irp->StackCount = stack;
    Irp->CurrentLocation = static_cast<CHAR>(stack + 1);
    Irp->Tail.Overlay.CurrentStackLocation = location_at(Irp, stack + 1);
    Irp->IoStatus.Status = Iostatus;
    InitializeListHead(&Irp->ThreadListEntry);
    r->in_stack = false;
    r->returned = 0;
    r->pending_seen.clear();
    r->frames.clear();
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    const sim::internal::PoolSiteOfCaller site(__builtin_return_address(0));
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp)
        return nullptr;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;

    PVOID system_buffer = nullptr;
    switch (IoControlCode & 3) {
    case METHOD_BUFFERED: {
        ULONG n = std::max(InputBufferLength, OutputBufferLength);
        if (n) {
            system_buffer = ExAllocatePoolWithTag(NonPagedPool, n, kBufferTag);
            if (!system_buffer) {
                IoFreeIrp(irp);
                return nullptr;
            }
            std::memset(system_buffer, 0, n);
            if (InputBuffer && InputBufferLength)
                std::memcpy(system_buffer, InputBuffer, InputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = system_buffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        // No MDLs in this kernel: the output buffer is reached through UserBuffer.
        irp->AssociatedIrp.SystemBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    default:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }

    std::lock_guard g(iost().mu);
    IrpRecord &r = iost().irps[irp];
    r.built = true;
    r.major = sp->MajorFunction;
    r.ioctl = IoControlCode;
    r.system_buffer = system_buffer;
    if (system_buffer) {
        r.user_output = OutputBuffer;
        r.user_output_length = OutputBufferLength;
    }
    return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return sim::io::call_dispatch(DeviceObject, Irp, nullptr);
}

} // extern "C"

namespace sim::io {

// IofCallDriver with a dispatch routine chosen by the caller instead of the
// one in the device's driver object (nullptr: that one). The HID class driver
// sends requests to a minidriver this way, as hidclass.sys does: the driver
// object's table holds the class driver's routines, the minidriver's own are
// in its registration. Declared where it is used (hid_class.cpp).
NTSTATUS call_dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDRIVER_DISPATCH routine) {
    uint64_t generation;
    int location;
    PDRIVER_DISPATCH dispatch;
    {
        std::unique_lock lk(iost().mu);
        IrpRecord *r = settle(lk, Irp);
        if (!r || r->freed) {
            sim::report_problem("IofCallDriver(" + hex(DeviceObject) + ", " + hex(Irp) +
                                "): not a live IRP from the I/O manager");
            return STATUS_INVALID_PARAMETER;
        }
        if (!iost().devices.count(DeviceObject)) {
            sim::report_problem("IofCallDriver: " + describe_record(Irp, *r) + " sent to " + hex(DeviceObject) +
                                ", not a live device object");
            return STATUS_NO_SUCH_DEVICE;
        }
        if (Irp->CurrentLocation <= 1) {
            sim::report_problem("IofCallDriver: " + describe_record(Irp, *r) + " has no stack location left for " +
                                hex(DeviceObject));
            return STATUS_INVALID_PARAMETER;
        }
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        sp->DeviceObject = DeviceObject;
        location = Irp->CurrentLocation;
        if (!r->in_stack && location == Irp->StackCount) {
            r->major = sp->MajorFunction;
            r->ioctl = sp->Parameters.DeviceIoControl.IoControlCode;
        }
        r->in_stack = true;
        r->pending_seen.forget_to(location);
        std::erase_if(r->frames, [&](const Frame &f) { return f.location <= location; });
        generation = r->generation;
        dispatch = routine                  ? routine
                   : sp->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION && DeviceObject->DriverObject
                       ? DeviceObject->DriverObject->MajorFunction[sp->MajorFunction]
                       : nullptr;
        if (!dispatch)
            dispatch = default_dispatch;
    }

    NTSTATUS status = dispatch(DeviceObject, Irp);

    std::lock_guard g(iost().mu);
    auto it = iost().irps.find(Irp);
    if (it == iost().irps.end() || it->second.generation != generation)
        return status;
    IrpRecord &r = it->second;
    Frame frame{location, status, DeviceObject};
    bool marked;
    if (r.pending_seen.find(location, marked))
        check_pending(Irp, r, frame, marked);
    else if (r.walking || r.freed)
        r.frames.push_back(frame); // the walk will pass this location later
    else if (location_at(Irp, location)->Control & SL_PENDING_RETURNED)
        check_pending(Irp, r, frame, true);
    else if (status == STATUS_PENDING)
        // Not marked yet is fine while the request is below: the completion
        // routine of this location's owner may still propagate the pending
        // state. The walk decides when it passes.
        r.frames.push_back(frame);
    return status;
}

} // namespace sim::io

extern "C" {

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    uint64_t generation;
    {
        std::unique_lock lk(iost().mu);
        IrpRecord *r = settle(lk, Irp);
        if (!r) {
            sim::report_problem("IofCompleteRequest(" + hex(Irp) + "): not an IRP from the I/O manager");
            return;
        }
        if (r->freed) {
            sim::report_problem("IofCompleteRequest: " + describe_record(Irp, *r) + " completed after it was freed");
            return;
        }
        if (!r->in_stack) {
            sim::report_problem("IofCompleteRequest: " + describe_record(Irp, *r) +
                                (r->returned ? " completed twice" : " completed before it was sent to any driver"));
            std::shared_ptr<sim::Request::Observer> o = r->observer;
            lk.unlock();
            notify_observer(o, true);
            return;
        }
        if (sim::internal::spin_locks_held() > 0)
            sim::report_problem("IofCompleteRequest: " + describe_record(Irp, *r) +
                                " completed while the thread holds a spin lock");
        // An atomic read: IoCancelIrp may exchange the slot from another thread.
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
            sim::report_problem("IofCompleteRequest: " + describe_record(Irp, *r) +
                                " completed with its cancel routine still armed");
        if (static_cast<ULONG>(Irp->IoStatus.Status) >= 0xC0000000u && Irp->IoStatus.Information != 0 &&
            Irp->IoStatus.Status != STATUS_MORE_PROCESSING_REQUIRED)
            sim::report_problem("IofCompleteRequest: " + describe_record(Irp, *r) + " failed with " +
                                hex32(static_cast<ULONG>(Irp->IoStatus.Status)) + " but Information " +
                                std::to_string(Irp->IoStatus.Information));
        if (Irp->CurrentLocation > Irp->StackCount) {
            // Sent, yet the current location is past the top: someone skipped once too often.
            sim::report_problem("IofCompleteRequest: " + describe_record(Irp, *r) +
                                " has no current stack location (completed by its creator?)");
            return;
        }
        r->walking++;
        r->walker = std::this_thread::get_id();
        generation = r->generation;
    }

    // Returns the record while it still describes this IRP's current life.
    auto record = [&](std::unique_lock<std::mutex> &) -> IrpRecord * {
        auto it = iost().irps.find(Irp);
        if (it == iost().irps.end() || it->second.generation != generation || it->second.freed)
            return nullptr;
        return &it->second;
    };
    auto end_walk = [&](std::unique_lock<std::mutex> &lk) {
        if (IrpRecord *r = record(lk)) {
            if (--r->walking == 0)
                r->in_routine = false;
        } else {
            auto it = iost().irps.find(Irp);
            if (it != iost().irps.end() && it->second.generation == generation && it->second.walking > 0)
                it->second.walking--;
        }
        iost().cv.notify_all();
    };

    for (;;) {
        if (Irp->CurrentLocation > Irp->StackCount)
            break;
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        int location = Irp->CurrentLocation;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        {
            std::unique_lock lk(iost().mu);
            if (IrpRecord *r = record(lk)) {
                r->pending_seen.pass(location, Irp->PendingReturned);
                for (auto it = r->frames.begin(); it != r->frames.end();) {
                    if (it->location == location) {
                        check_pending(Irp, *r, *it, Irp->PendingReturned);
                        it = r->frames.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
        }
        IoSkipCurrentIrpStackLocation(Irp);
        bool at_top = Irp->CurrentLocation > Irp->StackCount;
        NTSTATUS status = Irp->IoStatus.Status;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        bool invoke = routine && ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL)));
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;
        sp->Control = 0;
        if (!invoke) {
            if (!at_top && Irp->PendingReturned)
                IoMarkIrpPending(Irp);
            continue;
        }
        bool built = false;
        {
            std::unique_lock lk(iost().mu);
            if (IrpRecord *r = record(lk)) {
                r->in_routine = true;
                built = r->built;
                if (at_top) {
                    // The creator's own routine: the IRP is back with it.
                    r->in_stack = false;
                    r->returned++;
                }
            }
        }
        PDEVICE_OBJECT device = at_top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        NTSTATUS result = routine(device, Irp, context);
        std::unique_lock lk(iost().mu);
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            // Ownership goes to the routine's owner; the walk must not touch the IRP again.
            end_walk(lk);
            return;
        }
        IrpRecord *r = record(lk);
        if (!r) {
            sim::report_problem("completion routine " + hex(reinterpret_cast<void *>(routine)) + " freed IRP " +
                                hex(Irp) + " and returned " + hex32(static_cast<ULONG>(result)) +
                                " instead of STATUS_MORE_PROCESSING_REQUIRED");
            end_walk(lk);
            return;
        }
        r->in_routine = false;
        if (at_top && !built) {
            sim::report_problem("completion routine " + hex(reinterpret_cast<void *>(routine)) + " of " +
                                describe_record(Irp, *r) + ", allocated by its creator, returned " +
                                hex32(static_cast<ULONG>(result)) + " instead of STATUS_MORE_PROCESSING_REQUIRED");
            end_walk(lk);
            return;
        }
        if (at_top)
            break;
    }

    std::unique_lock lk(iost().mu);
    IrpRecord *r = record(lk);
    if (!r) {
        end_walk(lk);
        return;
    }
    if (r->in_stack) {
        r->in_stack = false;
        r->returned++;
    }
    std::shared_ptr<sim::Request::Observer> observer = r->observer;
    if (r->built) {
        finish_built(Irp, *r, lk);
    } else {
        sim::report_problem("IofCompleteRequest: " + describe_record(Irp, *r) +
                            ", allocated by a driver, came back with no completion routine to take it");
    }
    end_walk(lk);
    lk.unlock();
    notify_observer(observer, false);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancel_lock); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancel_lock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    {
        // No waiting for a walk in progress: cancelling while the request
        // completes is an ordinary race, settled by the cancel-routine exchange.
        std::lock_guard g(iost().mu);
        auto it = iost().irps.find(Irp);
        if (it == iost().irps.end() || it->second.freed) {
            sim::report_problem("IoCancelIrp(" + hex(Irp) + "): not a live IRP");
            return FALSE;
        }
    }
    int held_before = sim::internal::spin_locks_held();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject, Irp);
    if (sim::internal::spin_locks_held() > held_before) {
        sim::report_problem("cancel routine " + hex(reinterpret_cast<void *>(routine)) + " of IRP " + hex(Irp) +
                            " returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject) {
    (void)DeviceName;
    (void)Exclusive;
    PDEVICE_OBJECT d = new_device(DriverObject, DeviceExtensionSize, DeviceType, false);
    *DeviceObject = d;
    if (!d)
        return STATUS_INSUFFICIENT_RESOURCES;
    d->Characteristics = DeviceCharacteristics;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    bool own;
    {
        std::lock_guard g(iost().mu);
        auto it = iost().devices.find(DeviceObject);
        own = it != iost().devices.end() && it->second.own;
    }
    remove_device(DeviceObject, own);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    std::lock_guard g(iost().mu);
    if (!iost().devices.count(SourceDevice) || !iost().devices.count(TargetDevice)) {
        sim::report_problem("IoAttachDeviceToDeviceStack(" + hex(SourceDevice) + ", " + hex(TargetDevice) +
                            "): not a live device object");
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    iost().devices[SourceDevice].attached_to = top;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard g(iost().mu);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (!upper) {
        sim::report_problem("IoDetachDevice(" + hex(TargetDevice) + "): nothing is attached to it");
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
    auto it = iost().devices.find(upper);
    if (it != iost().devices.end())
        it->second.attached_to = nullptr;
}

} // extern "C"
