// mivo-vbus.sys: a virtual USB bus for the end-to-end run in Wine. A root
// device whose function driver this is reports one child, the six-axis
// controller, with the controller's USB hardware IDs, so that the PnP manager
// installs mivo.sys on it; the child answers the internal USB requests as the
// simulated kernel's virtual controller does (its descriptors and default-pipe
// answers are the same code, platform/controller) and plays the device
// reports of a trace file on its interrupt-IN pipe.
//
// The trace is named by the value "Trace" (REG_SZ, an NT path such as
// \??\C:\run\case.trace) of the service key, written before the bus is
// installed. Writes in the trace are the application's business and are
// skipped here. Playing starts when the test application asks for it through
// the control device \\.\MivoVbus, so that it has mivo's collections open by
// then; times count from that request.
//
// Test code, never shipped: no check of its own is made on mivo.sys, only
// what a USB device would notice.
#include "platform/controller/controller.h"
#include "tests/wine/vbus/vbus_ioctl.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

constexpr ULONG kTag = ULONG('V') | ULONG('B') << 8 | ULONG('u') << 16 | ULONG('s') << 24; // "VBus"
constexpr ULONG kMaxEvents = 1u << 20;
constexpr ULONG kMaxTraceBytes = 64u << 20;
const USBD_CONFIGURATION_HANDLE kConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0xC0F1);
const USBD_INTERFACE_HANDLE kInterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(0x1F00);
const USBD_PIPE_HANDLE kDefaultPipe = reinterpret_cast<USBD_PIPE_HANDLE>(0xD0F0);
constexpr ULONG kMaximumTransferSize = 4096;

USBD_PIPE_HANDLE PipeHandle(UCHAR endpoint) { return reinterpret_cast<USBD_PIPE_HANDLE>(ULONG_PTR(0x5100 + endpoint)); }

struct Event {
    ULONG t_ms;
    UCHAR length;
    UCHAR bytes[controller::kReportBytes];
};

enum Kind { KindFdo = 1, KindChild, KindControl };
struct Extension {
    Kind kind;
};

// The one bus. Fields under `lock` unless said otherwise.
struct Bus {
    PDRIVER_OBJECT driver;
    // Set up by AddDevice and REMOVE of the FDO, both on the PnP manager's thread.
    PDEVICE_OBJECT fdo, lower, root_pdo, control;
    PDEVICE_OBJECT child; // made on the first bus-relations query while present; set on the PnP thread
    bool child_present;
    bool symlink;

    Event *events; // the trace, read in DriverEntry, never changed after
    ULONG event_count;

    KSPIN_LOCK lock;
    LIST_ENTRY reads; // pending interrupt-IN transfers
    ULONG played;     // events pushed so far (the player thread's, read under the lock)
    ULONG delivered;  // events handed to transfers; [delivered, played) wait for one
    controller::State device;
    LONGLONG start;   // performance counter at the start request; 0 before
    LONGLONG frequency;
    VBUS_LED_CHANGE leds[VBUS_MAX_LED_CHANGES];
    ULONG led_count;
    ULONG overruns;   // reports cut off: the transfer could not take them

    KEVENT go, quit;
    PVOID player; // the player thread's object
};
Bus g_bus;

void Trace(const char *what, NTSTATUS status) { DbgPrint("mivo-vbus: %s %08X\n", what, (unsigned)status); }

// ---------------------------------------------------------------- the trace
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One line, comments already cut: "<ms> <hex bytes>" or "<ms> write ...".
// Returns false on a malformed line; *skip for an empty line or a write.
bool ParseLine(const char *p, const char *end, Event *e, bool *skip) {
    while (p < end && IsBlank(*p))
        ++p;
    *skip = p == end;
    if (*skip)
        return true;
    ULONGLONG t = 0;
    const char *digits = p;
    while (p < end && *p >= '0' && *p <= '9' && t <= 0xFFFFFFFFull)
        t = t * 10 + ULONG(*p++ - '0');
    if (p == digits || t > 0xFFFFFFFFull || (p < end && !IsBlank(*p)))
        return false;
    while (p < end && IsBlank(*p))
        ++p;
    if (end - p >= 5 && p[0] == 'w' && p[1] == 'r' && p[2] == 'i' && p[3] == 't' && p[4] == 'e') {
        *skip = true;
        return true;
    }
    e->t_ms = ULONG(t);
    e->length = 0;
    while (p < end) {
        if (IsBlank(*p)) {
            ++p;
            continue;
        }
        int hi = HexDigit(*p), lo = p + 1 < end ? HexDigit(p[1]) : -1;
        if (hi < 0 || lo < 0 || e->length == controller::kReportBytes)
            return false;
        e->bytes[e->length++] = UCHAR(hi << 4 | lo);
        p += 2;
    }
    return e->length > 0;
}

// Counts the events (events == NULL) or fills them in.
NTSTATUS ParseTrace(const char *text, ULONG size, Event *events, ULONG *count) {
    ULONG n = 0, line = 0, last = 0;
    const char *p = text, *end = text + size;
    while (p < end) {
        const char *eol = p;
        while (eol < end && *eol != '\n')
            ++eol;
        const char *stop = p;
        while (stop < eol && *stop != '#')
            ++stop;
        ++line;
        Event e;
        bool skip;
        if (!ParseLine(p, stop, &e, &skip) || (!skip && e.t_ms < last)) {
            DbgPrint("mivo-vbus: trace line %u is not '<ms> <hex bytes>' in order\n", line);
            return STATUS_INVALID_PARAMETER;
        }
        if (!skip) {
            if (n == kMaxEvents)
                return STATUS_INVALID_PARAMETER;
            if (events)
                events[n] = e;
            last = e.t_ms;
            ++n;
        }
        p = eol + 1;
    }
    *count = n;
    return STATUS_SUCCESS;
}

NTSTATUS ReadTrace(PUNICODE_STRING registry_path) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registry_path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Trace");
    constexpr ULONG kValueBytes = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 520 * sizeof(WCHAR);
    auto *value = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, kValueBytes, kTag));
    ULONG size = 0;
    status = value ? ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, kValueBytes, &size)
                   : STATUS_INSUFFICIENT_RESOURCES;
    ZwClose(key);
    if (NT_SUCCESS(status) && (value->Type != REG_SZ || value->DataLength < 2 * sizeof(WCHAR)))
        status = STATUS_OBJECT_TYPE_MISMATCH;
    HANDLE file = nullptr;
    IO_STATUS_BLOCK io;
    if (NT_SUCCESS(status)) {
        // The value's string, its terminating zero left out.
        UNICODE_STRING path;
        path.Buffer = reinterpret_cast<PWCH>(value->Data);
        path.Length = USHORT(value->DataLength - sizeof(WCHAR));
        path.MaximumLength = USHORT(value->DataLength);
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        status = ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                              FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                              nullptr, 0);
    }
    if (value)
        ExFreePoolWithTag(value, kTag);
    if (!NT_SUCCESS(status))
        return status;
    FILE_STANDARD_INFORMATION info;
    status = ZwQueryInformationFile(file, &io, &info, sizeof info, FileStandardInformation);
    char *text = nullptr;
    ULONG length = 0;
    if (NT_SUCCESS(status) && info.EndOfFile.QuadPart > kMaxTraceBytes)
        status = STATUS_FILE_TOO_LARGE;
    if (NT_SUCCESS(status)) {
        length = ULONG(info.EndOfFile.QuadPart);
        text = static_cast<char *>(ExAllocatePoolWithTag(PagedPool, length + 1, kTag));
        if (!text)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status) && length) {
        status = ZwReadFile(file, nullptr, nullptr, nullptr, &io, text, length, nullptr, nullptr);
        if (NT_SUCCESS(status) && io.Information != length)
            status = STATUS_END_OF_FILE;
    }
    ZwClose(file);
    ULONG count = 0;
    if (NT_SUCCESS(status))
        status = ParseTrace(text, length, nullptr, &count);
    if (NT_SUCCESS(status) && count) {
        g_bus.events = static_cast<Event *>(ExAllocatePoolWithTag(NonPagedPool, count * sizeof(Event), kTag));
        if (!g_bus.events)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
            status = ParseTrace(text, length, g_bus.events, &g_bus.event_count);
    }
    if (text)
        ExFreePoolWithTag(text, kTag);
    DbgPrint("mivo-vbus: %u device reports to play\n", g_bus.event_count);
    return status;
}

// ---------------------------------------------------------------- requests
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

// The host controller completes transfers from its DPC: at DISPATCH_LEVEL.
NTSTATUS CompleteUrb(PIRP irp, USBD_STATUS usbd) {
    PURB urb = UrbOf(irp);
    urb->UrbHeader.Status = usbd;
    if (!USBD_SUCCESS(usbd) && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    NTSTATUS status = Complete(irp, controller::BusStatus(usbd));
    KeLowerIrql(irql);
    return status;
}

LONGLONG Now() { return KeQueryPerformanceCounter(nullptr).QuadPart; }

// Whether the controller is on the bus: the control device's requests change
// it on another thread.
bool Present() {
    KIRQL irql;
    KeAcquireSpinLock(&g_bus.lock, &irql);
    bool present = g_bus.child_present;
    KeReleaseSpinLock(&g_bus.lock, irql);
    return present;
}

// Sets the controller's device object (the PnP manager's thread only; the
// control device reads it).
void SetChild(PDEVICE_OBJECT child) {
    KIRQL irql;
    KeAcquireSpinLock(&g_bus.lock, &irql);
    g_bus.child = child;
    KeReleaseSpinLock(&g_bus.lock, irql);
}

// ---------------------------------------------------------------- interrupt IN
void CancelRead(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&g_bus.lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_bus.lock, irql);
    CompleteUrb(irp, USBD_STATUS_CANCELED);
}

// Takes the oldest pending read that is not being cancelled. Under the lock.
PIRP TakeRead() {
    for (PLIST_ENTRY e = g_bus.reads.Flink; e != &g_bus.reads; e = e->Flink) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr)) {
            RemoveEntryList(e);
            return irp;
        }
    }
    return nullptr;
}

// Hands played reports to pending reads while both last.
void Deliver() {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&g_bus.lock, &irql);
        PIRP irp = g_bus.delivered < g_bus.played && g_bus.child_present ? TakeRead() : nullptr;
        const Event *e = irp ? &g_bus.events[g_bus.delivered++] : nullptr;
        KeReleaseSpinLock(&g_bus.lock, irql);
        if (!irp)
            return;
        auto &r = UrbOf(irp)->UrbBulkOrInterruptTransfer;
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        if (e->length > r.TransferBufferLength)
            status = USBD_STATUS_BUFFER_OVERRUN;
        else if (e->length < r.TransferBufferLength && !(r.TransferFlags & USBD_SHORT_TRANSFER_OK))
            status = USBD_STATUS_ERROR_SHORT_TRANSFER;
        if (USBD_SUCCESS(status)) {
            RtlCopyMemory(r.TransferBuffer, e->bytes, e->length);
            r.TransferBufferLength = e->length;
        } else {
            KeAcquireSpinLock(&g_bus.lock, &irql);
            g_bus.overruns++;
            KeReleaseSpinLock(&g_bus.lock, irql);
        }
        CompleteUrb(irp, status);
    }
}

// Completes every pending read with `usbd`.
void FailReads(USBD_STATUS usbd) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&g_bus.lock, &irql);
        PIRP irp = TakeRead();
        KeReleaseSpinLock(&g_bus.lock, irql);
        if (!irp)
            return;
        CompleteUrb(irp, usbd);
    }
}

VOID Player(PVOID) {
    PVOID waits[2] = {&g_bus.go, &g_bus.quit};
    NTSTATUS status = KeWaitForMultipleObjects(2, waits, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    for (ULONG i = 0; status == STATUS_WAIT_0 && i < g_bus.event_count; ++i) {
        LONGLONG due = g_bus.start + LONGLONG(g_bus.events[i].t_ms) * g_bus.frequency / 1000;
        LONGLONG left = due - Now();
        if (left > 0) {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -(left * 10000000 / g_bus.frequency); // relative, 100 ns units
            if (KeWaitForSingleObject(&g_bus.quit, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT)
                break;
        }
        KIRQL irql;
        KeAcquireSpinLock(&g_bus.lock, &irql);
        g_bus.played = i + 1;
        KeReleaseSpinLock(&g_bus.lock, irql);
        Deliver();
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS InterruptTransfer(PIRP irp, PURB urb) {
    auto &r = urb->UrbBulkOrInterruptTransfer;
    KIRQL irql;
    KeAcquireSpinLock(&g_bus.lock, &irql);
    USBD_STATUS refused = USBD_STATUS_SUCCESS;
    if (!g_bus.child_present)
        refused = USBD_STATUS_DEVICE_GONE;
    else if (!g_bus.device.configured || r.PipeHandle != PipeHandle(controller::kReportEndpoint))
        refused = USBD_STATUS_INVALID_PIPE_HANDLE;
    else if (!(r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) || !r.TransferBuffer || r.TransferBufferLength == 0)
        refused = USBD_STATUS_INVALID_PARAMETER;
    if (refused) {
        KeReleaseSpinLock(&g_bus.lock, irql);
        return CompleteUrb(irp, refused);
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    InsertTailList(&g_bus.reads, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelRead);
    // Cancelled before it was queued: take it back, unless the cancel routine has it.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&g_bus.lock, irql);
        CompleteUrb(irp, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&g_bus.lock, irql);
    Deliver();
    return STATUS_PENDING;
}

// ---------------------------------------------------------------- the default pipe
void NoteLed(bool before, ULONG writes_before) {
    // Under the lock.
    if (g_bus.device.led_writes == writes_before || (g_bus.device.led == before && g_bus.led_count))
        return;
    if (g_bus.led_count == VBUS_MAX_LED_CHANGES)
        return;
    VBUS_LED_CHANGE &c = g_bus.leds[g_bus.led_count++];
    c.on = g_bus.device.led;
    c.t_us = g_bus.start ? (Now() - g_bus.start) * 1000000 / g_bus.frequency : -1;
}

USBD_STATUS ControlTransfer(PURB urb, bool descriptor) {
    UCHAR setup[8];
    ULONG *length;
    PUCHAR buffer;
    if (descriptor) {
        auto &r = urb->UrbControlDescriptorRequest;
        ULONG wanted = r.TransferBufferLength < 0xFFFF ? r.TransferBufferLength : 0xFFFF;
        const UCHAR s[8] = {0x80, 0x06, r.Index, r.DescriptorType, UCHAR(r.LanguageId), UCHAR(r.LanguageId >> 8),
                            UCHAR(wanted), UCHAR(wanted >> 8)};
        RtlCopyMemory(setup, s, 8);
        length = &r.TransferBufferLength;
        buffer = static_cast<PUCHAR>(r.TransferBuffer);
    } else {
        auto &r = urb->UrbControlTransfer;
        RtlCopyMemory(setup, r.SetupPacket, 8);
        length = &r.TransferBufferLength;
        buffer = static_cast<PUCHAR>(r.TransferBuffer);
        bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (!(r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) && r.PipeHandle != kDefaultPipe)
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        if (in != ((setup[0] & 0x80) != 0))
            return USBD_STATUS_INVALID_PARAMETER;
    }
    if (*length && !buffer)
        return USBD_STATUS_INVALID_PARAMETER;
    UCHAR none = 0;
    KIRQL irql;
    KeAcquireSpinLock(&g_bus.lock, &irql);
    bool led = g_bus.device.led;
    ULONG writes = g_bus.device.led_writes;
    controller::Shape shape = controller::StandardShape();
    USBD_STATUS status = g_bus.child_present
                             ? controller::Control(setup, buffer ? buffer : &none, length, shape,
                                                   controller::kReportDescriptor, &g_bus.device)
                             : USBD_STATUS_DEVICE_GONE;
    NoteLed(led, writes);
    KeReleaseSpinLock(&g_bus.lock, irql);
    if (!USBD_SUCCESS(status))
        *length = 0;
    urb->UrbControlTransfer.PipeHandle = kDefaultPipe;
    return status;
}

USBD_STATUS SelectConfiguration(PURB urb) {
    auto &sc = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION))
        return USBD_STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&g_bus.lock, &irql);
    bool present = g_bus.child_present;
    if (present && !sc.ConfigurationDescriptor)
        g_bus.device.configured = false;
    KeReleaseSpinLock(&g_bus.lock, irql);
    if (!present)
        return USBD_STATUS_DEVICE_GONE;
    if (!sc.ConfigurationDescriptor)
        return USBD_STATUS_SUCCESS;
    if (sc.ConfigurationDescriptor->bConfigurationValue != 1)
        return USBD_STATUS_INVALID_PARAMETER;
    auto *info = &sc.Interface;
    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    if (reinterpret_cast<PUCHAR>(info) + sizeof(USBD_INTERFACE_INFORMATION) > end || info->InterfaceNumber != 0 ||
        info->AlternateSetting != 0 || info->Length < sizeof(USBD_INTERFACE_INFORMATION))
        return USBD_STATUS_INVALID_PARAMETER;
    info->Class = 0x03;
    info->SubClass = 0;
    info->Protocol = 0;
    info->InterfaceHandle = kInterfaceHandle;
    info->NumberOfPipes = 1;
    USBD_PIPE_INFORMATION &pipe = info->Pipes[0];
    pipe.MaximumPacketSize = controller::kMaxPacket;
    pipe.EndpointAddress = controller::kReportEndpoint;
    pipe.Interval = 8;
    pipe.PipeType = UsbdPipeTypeInterrupt;
    pipe.PipeHandle = PipeHandle(controller::kReportEndpoint);
    pipe.MaximumTransferSize = kMaximumTransferSize;
    const UCHAR set_configuration[8] = {0x00, 0x09, 1, 0, 0, 0, 0, 0};
    ULONG none = 0;
    UCHAR nothing = 0;
    KeAcquireSpinLock(&g_bus.lock, &irql);
    USBD_STATUS status = controller::Control(set_configuration, &nothing, &none, controller::StandardShape(),
                                             controller::kReportDescriptor, &g_bus.device);
    KeReleaseSpinLock(&g_bus.lock, irql);
    if (USBD_SUCCESS(status))
        sc.ConfigurationHandle = kConfigurationHandle;
    return status;
}

NTSTATUS SubmitUrb(PIRP irp, PURB urb) {
    if (!urb)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    USHORT length = urb->UrbHeader.Length;
    USBD_STATUS status;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        status = length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) ? USBD_STATUS_INVALID_PARAMETER
                                                                          : ControlTransfer(urb, true);
        break;
    case URB_FUNCTION_CONTROL_TRANSFER:
        status = length != sizeof(struct _URB_CONTROL_TRANSFER) ? USBD_STATUS_INVALID_PARAMETER
                                                                : ControlTransfer(urb, false);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        status = SelectConfiguration(urb);
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        if (length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
            status = USBD_STATUS_INVALID_PARAMETER;
            break;
        }
        return InterruptTransfer(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
        status = length != sizeof(struct _URB_PIPE_REQUEST) ? USBD_STATUS_INVALID_PARAMETER
                 : !Present()                               ? USBD_STATUS_DEVICE_GONE
                                                            : USBD_STATUS_SUCCESS;
        if (USBD_SUCCESS(status))
            FailReads(USBD_STATUS_CANCELED);
        break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        status = Present() ? USBD_STATUS_SUCCESS : USBD_STATUS_DEVICE_GONE;
        break;
    default:
        status = USBD_STATUS_INVALID_URB_FUNCTION;
        break;
    }
    return CompleteUrb(irp, status);
}

NTSTATUS ChildInternal(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto *out = static_cast<PULONG>(sp->Parameters.Others.Argument1);
        if (!out)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        *out = Present() ? USBD_PORT_CONNECTED | USBD_PORT_ENABLED : 0;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        if (!Present())
            return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
        FailReads(USBD_STATUS_CANCELED); // a reset ends whatever transfer was under way
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// ---------------------------------------------------------------- the child's PnP
// A multi-string of the given strings, from paged pool, for the PnP manager to free.
PWCHAR MultiString(const WCHAR *const *strings, int count) {
    SIZE_T chars = 1;
    for (int i = 0; i < count; ++i)
        chars += wcslen(strings[i]) + 1;
    auto *out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kTag));
    if (!out)
        return nullptr;
    PWCHAR p = out;
    for (int i = 0; i < count; ++i) {
        SIZE_T n = wcslen(strings[i]) + 1;
        RtlCopyMemory(p, strings[i], n * sizeof(WCHAR));
        p += n;
    }
    *p = 0;
    return out;
}

NTSTATUS QueryId(PIRP irp, BUS_QUERY_ID_TYPE type) {
    static const WCHAR *const device[] = {L"USB\\VID_F055&PID_6A11"};
    static const WCHAR *const hardware[] = {L"USB\\VID_F055&PID_6A11&REV_0103", L"USB\\VID_F055&PID_6A11"};
    static const WCHAR *const compatible[] = {L"USB\\Class_03&SubClass_00&Prot_00", L"USB\\Class_03&SubClass_00",
                                              L"USB\\Class_03"};
    static const WCHAR *const instance[] = {L"1"};
    PWCHAR id;
    switch (type) {
    case BusQueryDeviceID:
        id = MultiString(device, 1);
        break;
    case BusQueryHardwareIDs:
        id = MultiString(hardware, 2);
        break;
    case BusQueryCompatibleIDs:
        id = MultiString(compatible, 3);
        break;
    case BusQueryInstanceID:
        id = MultiString(instance, 1);
        break;
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (!id)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Complete(irp, STATUS_SUCCESS, ULONG_PTR(id));
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID:
        return QueryId(irp, sp->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_DEVICE_TEXT: {
        if (sp->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription)
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        static const WCHAR *const text[] = {L"Virtual six-axis controller"};
        PWCHAR s = MultiString(text, 1);
        return s ? Complete(irp, STATUS_SUCCESS, ULONG_PTR(s)) : Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->UniqueID = 0;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s)
            caps->DeviceState[s] = PowerDeviceD3;
        caps->DeviceWake = PowerDeviceD2;
        caps->SystemWake = PowerSystemSleeping3;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        if (sp->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        auto *relations =
            static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
        if (!relations)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        relations->Count = 1;
        relations->Objects[0] = device;
        ObReferenceObject(device);
        return Complete(irp, STATUS_SUCCESS, ULONG_PTR(relations));
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        FailReads(USBD_STATUS_DEVICE_GONE);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        FailReads(USBD_STATUS_DEVICE_GONE);
        Complete(irp, STATUS_SUCCESS);
        // Gone from the bus: the device object goes with it. Still on the bus
        // (the driver stack was taken down by hand): it stays for the next.
        if (!Present()) {
            Trace("child removed", STATUS_SUCCESS);
            SetChild(nullptr);
            IoDeleteDevice(device);
        }
        return STATUS_SUCCESS;
    }
    default:
        // A PDO leaves a request it does not handle as it came.
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

// ---------------------------------------------------------------- the bus's PnP
NTSTATUS ForwardAndWait(PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(g_bus.lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(g_bus.lower, irp);
}

PDEVICE_OBJECT CreateChild() {
    PDEVICE_OBJECT child;
    NTSTATUS status = IoCreateDevice(g_bus.driver, sizeof(Extension), nullptr, FILE_DEVICE_USB,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
    if (!NT_SUCCESS(status)) {
        Trace("IoCreateDevice (child)", status);
        return nullptr;
    }
    static_cast<Extension *>(child->DeviceExtension)->kind = KindChild;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    return child;
}

NTSTATUS ReportChildren(PIRP irp) {
    bool present = Present();
    if (present && !g_bus.child)
        SetChild(CreateChild());
    ULONG count = present && g_bus.child ? 1 : 0;
    auto *relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
    if (!relations)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = count;
    if (count) {
        relations->Objects[0] = g_bus.child;
        ObReferenceObject(g_bus.child);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = ULONG_PTR(relations);
    return PassDown(irp);
}

NTSTATUS FdoPnp(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(irp);
        Trace("bus started", status);
        Complete(irp, status);
        if (NT_SUCCESS(status))
            IoInvalidateDeviceRelations(g_bus.root_pdo, BusRelations);
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == BusRelations)
            return ReportChildren(irp);
        return PassDown(irp);
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(irp);
        KeSetEvent(&g_bus.quit, IO_NO_INCREMENT, FALSE);
        if (g_bus.symlink) {
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, VBUS_DOS_NAME);
            IoDeleteSymbolicLink(&link);
            g_bus.symlink = false;
        }
        if (g_bus.control)
            IoDeleteDevice(g_bus.control);
        if (g_bus.child) {
            PDEVICE_OBJECT child = g_bus.child;
            KIRQL irql;
            KeAcquireSpinLock(&g_bus.lock, &irql);
            g_bus.child_present = false;
            g_bus.child = nullptr;
            KeReleaseSpinLock(&g_bus.lock, irql);
            IoDeleteDevice(child);
        }
        IoDetachDevice(g_bus.lower);
        IoDeleteDevice(g_bus.fdo);
        g_bus.control = g_bus.fdo = g_bus.lower = nullptr;
        Trace("bus removed", status);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(irp);
    default:
        return PassDown(irp);
    }
}

// ---------------------------------------------------------------- the control device
NTSTATUS ControlIoctl(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG out_length = sp->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VBUS_START: {
        KeAcquireSpinLock(&g_bus.lock, &irql);
        bool first = g_bus.start == 0;
        if (first)
            g_bus.start = Now();
        KeReleaseSpinLock(&g_bus.lock, irql);
        if (!first)
            return Complete(irp, STATUS_ALREADY_COMMITTED);
        KeSetEvent(&g_bus.go, IO_NO_INCREMENT, FALSE);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_VBUS_STATE: {
        if (out_length < sizeof(VBUS_STATE))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        auto *state = static_cast<VBUS_STATE *>(buffer);
        KeAcquireSpinLock(&g_bus.lock, &irql);
        state->events = g_bus.event_count;
        state->played = g_bus.played;
        state->delivered = g_bus.delivered;
        state->overruns = g_bus.overruns;
        state->present = g_bus.child_present;
        // mivo.sys ends everything at the surprise removal and completes the
        // remove that follows itself (STATUS_DELETE_PENDING) without passing
        // it down, so the controller's device object only goes with the bus.
        // The stack on it is gone once the class driver has detached its
        // device object from it.
        state->stacked = g_bus.child && g_bus.child->AttachedDevice;
        state->configured = g_bus.device.configured;
        state->led_count = g_bus.led_count;
        ULONG pending = 0;
        for (PLIST_ENTRY e = g_bus.reads.Flink; e != &g_bus.reads; e = e->Flink)
            ++pending;
        state->pending_reads = pending;
        for (ULONG i = 0; i < g_bus.led_count; ++i)
            state->leds[i] = g_bus.leds[i];
        KeReleaseSpinLock(&g_bus.lock, irql);
        return Complete(irp, STATUS_SUCCESS, sizeof(VBUS_STATE));
    }
    case IOCTL_VBUS_UNPLUG: {
        KeAcquireSpinLock(&g_bus.lock, &irql);
        bool was = g_bus.child_present;
        g_bus.child_present = false;
        KeReleaseSpinLock(&g_bus.lock, irql);
        if (was) {
            FailReads(USBD_STATUS_DEVICE_GONE);
            IoInvalidateDeviceRelations(g_bus.root_pdo, BusRelations);
        }
        return Complete(irp, was ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
    }
    case IOCTL_VBUS_UNLOAD_MIVO: {
        UNICODE_STRING service;
        RtlInitUnicodeString(&service, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mivo");
        NTSTATUS status = ZwUnloadDriver(&service);
        Trace("mivo.sys unloaded", status);
        return Complete(irp, status);
    }
    case IOCTL_VBUS_PLUG: {
        KeAcquireSpinLock(&g_bus.lock, &irql);
        // The old device object must be gone first: one controller on the bus.
        bool can = !g_bus.child_present && !g_bus.child;
        if (can) {
            g_bus.child_present = true;
            g_bus.device.configured = false;
        }
        KeReleaseSpinLock(&g_bus.lock, irql);
        if (can)
            IoInvalidateDeviceRelations(g_bus.root_pdo, BusRelations);
        return Complete(irp, can ? STATUS_SUCCESS : STATUS_DEVICE_BUSY);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Kind kind = static_cast<Extension *>(device->DeviceExtension)->kind;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
        return kind == KindFdo ? FdoPnp(irp) : kind == KindChild ? ChildPnp(device, irp)
                                                                  : Complete(irp, STATUS_NOT_SUPPORTED);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        if (kind == KindFdo) {
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(g_bus.lower, irp);
        }
        if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER)
            return Complete(irp, STATUS_SUCCESS);
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (kind == KindChild)
            return ChildInternal(irp);
        break;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        if (kind == KindControl)
            return Complete(irp, STATUS_SUCCESS);
        break;
    case IRP_MJ_DEVICE_CONTROL:
        if (kind == KindControl)
            return ControlIoctl(irp);
        break;
    default:
        break;
    }
    if (kind == KindFdo)
        return PassDown(irp);
    return Complete(irp, kind == KindChild ? irp->IoStatus.Status : STATUS_INVALID_DEVICE_REQUEST,
                    kind == KindChild ? irp->IoStatus.Information : 0);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (g_bus.fdo)
        return STATUS_DEVICE_ALREADY_ATTACHED; // one bus at a time
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    static_cast<Extension *>(fdo->DeviceExtension)->kind = KindFdo;
    g_bus.lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!g_bus.lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    g_bus.fdo = fdo;
    g_bus.root_pdo = pdo;
    g_bus.child_present = true;

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, VBUS_DEVICE_NAME);
    RtlInitUnicodeString(&link, VBUS_DOS_NAME);
    status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_bus.control);
    if (NT_SUCCESS(status)) {
        static_cast<Extension *>(g_bus.control->DeviceExtension)->kind = KindControl;
        g_bus.control->Flags |= DO_BUFFERED_IO;
        g_bus.control->Flags &= ~DO_DEVICE_INITIALIZING;
        status = IoCreateSymbolicLink(&link, &name);
        g_bus.symlink = NT_SUCCESS(status);
    }
    Trace("control device", status);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {
    KeSetEvent(&g_bus.quit, IO_NO_INCREMENT, FALSE);
    if (g_bus.player) {
        KeWaitForSingleObject(g_bus.player, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(g_bus.player);
    }
    if (g_bus.events)
        ExFreePoolWithTag(g_bus.events, kTag);
    Trace("unloaded", STATUS_SUCCESS);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    g_bus.driver = driver;
    KeInitializeSpinLock(&g_bus.lock);
    InitializeListHead(&g_bus.reads);
    KeInitializeEvent(&g_bus.go, NotificationEvent, FALSE);
    KeInitializeEvent(&g_bus.quit, NotificationEvent, FALSE);
    KeQueryPerformanceCounter(reinterpret_cast<PLARGE_INTEGER>(&g_bus.frequency));
    NTSTATUS status = ReadTrace(registry_path);
    if (!NT_SUCCESS(status)) {
        Trace("no trace to play", status);
        return status;
    }
    HANDLE thread;
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Player, nullptr);
    if (!NT_SUCCESS(status)) {
        if (g_bus.events)
            ExFreePoolWithTag(g_bus.events, kTag);
        return status;
    }
    ObReferenceObjectByHandle(thread, SYNCHRONIZE, nullptr, KernelMode, &g_bus.player, nullptr);
    ZwClose(thread);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        driver->MajorFunction[i] = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    Trace("loaded", STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
