// Driver entry and the trivial dispatch routines: the driver registers with
// the HID class driver as a minidriver, sets up each device context the class
// driver hands it, and passes on what it does not serve.
#include "driver/driver.h"
#include "platform/trace.h"

// Zero until DriverEntry copies the service key path; no constructor runs.
UNICODE_STRING DriverRegistryPath;

/*
 * MIVO_copy_registry_path - a NUL-terminated copy of Source in a paged-pool
 * buffer of its own (MaximumLength = Length + 2). Returns FALSE, with
 * Destination left empty, when the pool refuses the buffer. PASSIVE_LEVEL.
 */
static BOOLEAN MIVO_copy_registry_path(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    PAGED_CODE();

    USHORT size = (USHORT)(Source->Length + sizeof(WCHAR));
    PWSTR buffer = (PWSTR)ExAllocatePool(PagedPool, size);

    Destination->Length = 0;
    Destination->MaximumLength = 0;
    Destination->Buffer = NULL;
    if (buffer == NULL) {
        return FALSE;
    }
    Destination->Buffer = buffer;
    Destination->MaximumLength = size;
    RtlCopyUnicodeString(Destination, Source);
    buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return TRUE;
}

/*
 * MIVO_free_registry_path - release a copy made by MIVO_copy_registry_path;
 * an empty one is left as it is, so calling it twice is harmless.
 */
VOID MIVO_free_registry_path(PUNICODE_STRING Path)
{
    if (Path->Buffer != NULL) {
        ExFreePool(Path->Buffer);
    }
    Path->Buffer = NULL;
    Path->Length = 0;
    Path->MaximumLength = 0;
}

/*
 * DriverEntry - loads the driver: the dispatch table, the registration with
 * the HID class driver and the driver's copy of its service key path.
 * Returns the status of the registration. PASSIVE_LEVEL, the I/O manager's
 * thread.
 */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    HID_MINIDRIVER_REGISTRATION registration;
    NTSTATUS status;

    PAGED_CODE();
    MIVO_TRACE_ENTER("MIVO-Zarvik");

    DriverObject->MajorFunction[IRP_MJ_CREATE] = MIVO_DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = MIVO_DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = MIVO_DispatchPassThrough;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MIVO_DispatchIntDevice;
    DriverObject->MajorFunction[IRP_MJ_POWER] = MIVO_DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = MIVO_DispatchPassThrough;
    DriverObject->MajorFunction[IRP_MJ_PNP] = MIVO_DispatchPnp;
    DriverObject->DriverUnload = MIVO_DriverUnload;
    DriverObject->DriverExtension->AddDevice = MIVO_AddDevice;

    RtlZeroMemory(&registration, sizeof(registration));
    registration.Revision = HID_REVISION;
    registration.DriverObject = DriverObject;
    registration.RegistryPath = RegistryPath;
    registration.DeviceExtensionSize = sizeof(DEVICE_EXTENSION);
    // The class driver sends reads and the driver completes them when it has
    // a report: the device is not polled.
    registration.DevicesArePolled = FALSE;
    status = HidRegisterMinidriver(&registration);

    // Made whatever the registration said: unload frees it either way. When
    // the pool refuses it, it stays empty and every AddDevice fails, since no
    // device could find its profile store without it.
    if (!MIVO_copy_registry_path(&DriverRegistryPath, RegistryPath)) {
        MIVO_TRACE_LINE("DriverRegistryPath STATUS_INSUFFICIENT_RESOURCES");
    }

    MIVO_TRACE_LEAVE("%X", (unsigned)status);
    return status;
}

/*
 * MIVO_AddDevice - sets up the context of a device the HID class driver has
 * made for this driver: zero-filled, one reference (the device's own), the
 * events, the read queue and a copy of the service key path. Returns
 * STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES when the path cannot be
 * copied. PASSIVE_LEVEL, the PnP manager's thread.
 */
NTSTATUS MIVO_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT FunctionalDeviceObject)
{
    PHID_DEVICE_EXTENSION hidExtension = (PHID_DEVICE_EXTENSION)FunctionalDeviceObject->DeviceExtension;
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)hidExtension->MiniDeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;

    PAGED_CODE();
    MIVO_TRACE_ENTER("%p, %p", (PVOID)DriverObject, (PVOID)FunctionalDeviceObject);

    RtlZeroMemory(dx, sizeof(DEVICE_EXTENSION));
    dx->IoCount = 1;
    KeInitializeEvent(&dx->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&dx->ReadQueueLock);
    InitializeListHead(&dx->ReadQueue);
    // Made once, here, and only cleared at each start: the USB worker of a
    // start runs before the HID side is set up and may signal it at once, and
    // a read may signal it at any time.
    KeInitializeEvent(&dx->NewInputEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&dx->StartLock, SynchronizationEvent, TRUE);
    dx->DeviceState = DEVICE_STATE_NONE;
    dx->ReloadRequested = 1;
    dx->Self = FunctionalDeviceObject;
    dx->LowerDeviceObject = hidExtension->NextDeviceObject;

    // Without its own copy of the path the device could never read a profile;
    // a device that would run on the base profile alone, whatever the store
    // says, is worse than one that does not come up.
    if (DriverRegistryPath.Buffer == NULL || !MIVO_copy_registry_path(&dx->RegistryPath, &DriverRegistryPath)) {
        MIVO_TRACE_LINE("RegistryPath STATUS_INSUFFICIENT_RESOURCES");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    FunctionalDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

Exit:
    MIVO_TRACE_LEAVE("%x", (unsigned)status);
    return status;
}

/*
 * MIVO_DriverUnload - the last device is gone: frees the driver's copy of the
 * service key path. PASSIVE_LEVEL.
 */
VOID MIVO_DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    PAGED_CODE();

    MIVO_TRACE_ENTER(" ... and leave");
    MIVO_free_registry_path(&DriverRegistryPath);
}

/*
 * MIVO_DispatchCreateClose - IRP_MJ_CREATE and IRP_MJ_CLOSE: nothing to open
 * or close; succeeds in every state, a removed device included.
 */
NTSTATUS MIVO_DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);

    MIVO_complete_request(Irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

/*
 * MIVO_DispatchPassThrough - IRP_MJ_DEVICE_CONTROL and IRP_MJ_SYSTEM_CONTROL
 * go to the lower driver as they came. Takes no reference: the device
 * context is not touched, only the class driver's own extension.
 */
NTSTATUS MIVO_DispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PHID_DEVICE_EXTENSION hidExtension = (PHID_DEVICE_EXTENSION)DeviceObject->DeviceExtension;

    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(hidExtension->NextDeviceObject, Irp);
}
