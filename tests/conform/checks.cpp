// The kernel checks of checks.h. Driver code: C-style C++17 over
// platform/kernel.h, no standard library, nothing constructed at load.
#include "tests/conform/checks.h"

#define CONFORM_PREFIX "mivo-conform: "

// One check: its name and whether it has failed yet. Only the first mismatch
// of a check is printed; the rest follow from it more often than not.
typedef struct _CONFORM_CHECK {
    const char *Name;
    BOOLEAN Failed;
} CONFORM_CHECK;

// Counts of finished checks; only the thread running the checks touches them.
static ULONG ConformPassed;
static ULONG ConformFailed;

static BOOLEAN MIVO_conform_expect(CONFORM_CHECK *Check, const char *What, ULONG Got, ULONG Want)
{
    if (Got != Want && !Check->Failed) {
        Check->Failed = TRUE;
        DbgPrint(CONFORM_PREFIX "%s FAIL %s got 0x%lx want 0x%lx\n", Check->Name, What, Got, Want);
    }
    return Got == Want;
}

#define EXPECT_EQ(check, what, got, want) MIVO_conform_expect(check, what, (ULONG)(got), (ULONG)(want))

static BOOLEAN MIVO_conform_same_text(const char *A, const char *B)
{
    while (*A != 0 && *A == *B) {
        A++;
        B++;
    }
    return *A == *B;
}

static VOID MIVO_conform_expect_text(CONFORM_CHECK *Check, const char *What, const char *Got, const char *Want)
{
    if (!MIVO_conform_same_text(Got, Want) && !Check->Failed) {
        Check->Failed = TRUE;
        DbgPrint(CONFORM_PREFIX "%s FAIL %s got '%s' want '%s'\n", Check->Name, What, Got, Want);
    }
}

static VOID MIVO_conform_finish(CONFORM_CHECK *Check)
{
    if (Check->Failed) {
        ConformFailed++;
    } else {
        ConformPassed++;
        DbgPrint(CONFORM_PREFIX "%s ok\n", Check->Name);
    }
}

// ---------------------------------------------------------------- registry

// Names listed as enumerated: "a,b,c", ASCII only, cut to fit.
typedef struct _CONFORM_NAMES {
    char Text[128];
    ULONG Used;
} CONFORM_NAMES;

static VOID MIVO_conform_add_name(CONFORM_NAMES *Names, const WCHAR *Name, ULONG NameBytes)
{
    if (NameBytes == 0) {
        return;
    }
    if (Names->Used != 0 && Names->Used + 1 < sizeof(Names->Text)) {
        Names->Text[Names->Used++] = ',';
    }
    for (ULONG i = 0; i < NameBytes / sizeof(WCHAR) && Names->Used + 1 < sizeof(Names->Text); i++) {
        Names->Text[Names->Used++] = Name[i] < 0x80 ? (char)Name[i] : '?';
    }
    Names->Text[Names->Used] = 0;
}

static NTSTATUS MIVO_conform_create_key(PHANDLE Key, HANDLE Root, PUNICODE_STRING Name, PULONG Disposition)
{
    OBJECT_ATTRIBUTES attributes;

    InitializeObjectAttributes(&attributes, Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root, NULL);
    return ZwCreateKey(Key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, Disposition);
}

static NTSTATUS MIVO_conform_create(PHANDLE Key, HANDLE Root, const WCHAR *Name, PULONG Disposition)
{
    UNICODE_STRING name;

    RtlInitUnicodeString(&name, Name);
    return MIVO_conform_create_key(Key, Root, &name, Disposition);
}

static NTSTATUS MIVO_conform_set_dword(HANDLE Key, const WCHAR *Name, ULONG Value)
{
    UNICODE_STRING name;

    RtlInitUnicodeString(&name, Name);
    return ZwSetValueKey(Key, &name, 0, REG_DWORD, &Value, sizeof(Value));
}

// Deletes the key behind Key with its subkeys (one level: all the checks
// make) and closes Key.
static VOID MIVO_conform_delete_tree(HANDLE Key)
{
    union {
        KEY_BASIC_INFORMATION Info;
        UCHAR Bytes[256];
    } reply;
    ULONG length;

    while (NT_SUCCESS(ZwEnumerateKey(Key, 0, KeyBasicInformation, &reply, sizeof(reply) - sizeof(WCHAR), &length))) {
        UNICODE_STRING name;
        HANDLE subkey;
        name.Buffer = reply.Info.Name;
        name.Length = (USHORT)reply.Info.NameLength;
        name.MaximumLength = name.Length;
        if (!NT_SUCCESS(MIVO_conform_create_key(&subkey, Key, &name, NULL))) {
            break;
        }
        NTSTATUS deleted = ZwDeleteKey(subkey);
        ZwClose(subkey);
        if (!NT_SUCCESS(deleted)) {
            break;
        }
    }
    ZwDeleteKey(Key);
    ZwClose(Key);
}

// Subkeys come back sorted by their upper-cased names, whatever the order and
// case they were made in: '_' sorts after 'Z' upper-cased, before 'a' lower-cased.
static const WCHAR *const ConformSubkeys[] = {
    MIVO_WIDE("beta"), MIVO_WIDE("Alpha"), MIVO_WIDE("_under"), MIVO_WIDE("Zulu"), MIVO_WIDE("alpha2"), MIVO_WIDE("gamma"),
};
#define CONFORM_SUBKEY_COUNT (sizeof(ConformSubkeys) / sizeof(ConformSubkeys[0]))

static VOID MIVO_conform_subkeys(HANDLE Key)
{
    CONFORM_CHECK check = {"registry.subkey_order", FALSE};
    CONFORM_CHECK punctuation = {"registry.subkey_order_punctuation", FALSE};
    CONFORM_NAMES letters = {}, names = {};
    union {
        KEY_BASIC_INFORMATION Info;
        UCHAR Bytes[128];
    } reply;
    ULONG length;
    ULONG index;

    for (index = 0; index < CONFORM_SUBKEY_COUNT; index++) {
        HANDLE subkey;
        NTSTATUS status = MIVO_conform_create(&subkey, Key, ConformSubkeys[index], NULL);
        if (EXPECT_EQ(&check, "ZwCreateKey", status, STATUS_SUCCESS)) {
            ZwClose(subkey);
        }
    }
    for (index = 0; NT_SUCCESS(ZwEnumerateKey(Key, index, KeyBasicInformation, &reply, sizeof(reply), &length)); index++) {
        MIVO_conform_add_name(&names, reply.Info.Name, reply.Info.NameLength);
        MIVO_conform_add_name(&letters, reply.Info.Name, reply.Info.Name[0] == '_' ? 0 : reply.Info.NameLength);
    }
    MIVO_conform_expect_text(&check, "ZwEnumerateKey", letters.Text, "Alpha,alpha2,beta,gamma,Zulu");
    EXPECT_EQ(&check, "past the end", ZwEnumerateKey(Key, index, KeyBasicInformation, &reply, sizeof(reply), &length),
              STATUS_NO_MORE_ENTRIES);
    MIVO_conform_finish(&check);
    MIVO_conform_expect_text(&punctuation, "ZwEnumerateKey", names.Text, "Alpha,alpha2,beta,gamma,Zulu,_under");
    MIVO_conform_finish(&punctuation);
}

// Values come back in the order they were first written: setting one again
// (in another case) keeps its place and spelling, deleting one closes the gap.
static VOID MIVO_conform_values(HANDLE Key)
{
    CONFORM_CHECK check = {"registry.value_order", FALSE};
    CONFORM_NAMES names = {};
    UNICODE_STRING zeta;
    union {
        KEY_VALUE_BASIC_INFORMATION Info;
        UCHAR Bytes[128];
    } reply;
    ULONG length;
    ULONG index;

    EXPECT_EQ(&check, "ZwSetValueKey", MIVO_conform_set_dword(Key, MIVO_WIDE("zeta"), 1), STATUS_SUCCESS);
    MIVO_conform_set_dword(Key, MIVO_WIDE("Alpha"), 2);
    MIVO_conform_set_dword(Key, MIVO_WIDE("mid"), 3);
    MIVO_conform_set_dword(Key, MIVO_WIDE("ALPHA"), 4);
    RtlInitUnicodeString(&zeta, MIVO_WIDE("ZETA"));
    EXPECT_EQ(&check, "ZwDeleteValueKey", ZwDeleteValueKey(Key, &zeta), STATUS_SUCCESS);
    EXPECT_EQ(&check, "ZwDeleteValueKey again", ZwDeleteValueKey(Key, &zeta), STATUS_OBJECT_NAME_NOT_FOUND);
    MIVO_conform_set_dword(Key, MIVO_WIDE("new"), 5);
    for (index = 0;
         NT_SUCCESS(ZwEnumerateValueKey(Key, index, KeyValueBasicInformation, &reply, sizeof(reply), &length));
         index++) {
        MIVO_conform_add_name(&names, reply.Info.Name, reply.Info.NameLength);
    }
    MIVO_conform_expect_text(&check, "ZwEnumerateValueKey", names.Text, "Alpha,mid,new");
    EXPECT_EQ(&check, "past the end",
              ZwEnumerateValueKey(Key, index, KeyValueBasicInformation, &reply, sizeof(reply), &length),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(&check, "missing value", ZwQueryValueKey(Key, &zeta, KeyValueBasicInformation, &reply, sizeof(reply), &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    MIVO_conform_finish(&check);
}

// One size probe: a buffer of Length bytes (none for 0), the status and
// ResultLength wanted; Probe checks what the reply holds.
typedef struct _CONFORM_PROBE {
    ULONG Length;
    NTSTATUS Status;
} CONFORM_PROBE;

#define CONFORM_UNTOUCHED 0xCC

// ZwQueryValueKey: a buffer short of the fixed part is too small and gets
// nothing; one that holds it overflows with the fixed part filled (lengths in
// full) and the name or data delivered as far as it fits.
static VOID MIVO_conform_value_probes(HANDLE Key)
{
    static const UCHAR data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    static const CONFORM_PROBE partial[] = {
        {0, STATUS_BUFFER_TOO_SMALL}, {11, STATUS_BUFFER_TOO_SMALL}, {12, STATUS_BUFFER_OVERFLOW},
        {21, STATUS_BUFFER_OVERFLOW}, {22, STATUS_SUCCESS},
    };
    static const CONFORM_PROBE basic[] = {
        {11, STATUS_BUFFER_TOO_SMALL}, {12, STATUS_BUFFER_OVERFLOW}, {14, STATUS_BUFFER_OVERFLOW}, {20, STATUS_SUCCESS},
    };
    CONFORM_CHECK check = {"registry.value_probes", FALSE};
    UNICODE_STRING name;
    union {
        KEY_VALUE_PARTIAL_INFORMATION Partial;
        KEY_VALUE_BASIC_INFORMATION Basic;
        UCHAR Bytes[32];
    } reply;
    ULONG length;
    ULONG i, b;

    RtlInitUnicodeString(&name, MIVO_WIDE("data"));
    EXPECT_EQ(&check, "ZwSetValueKey", ZwSetValueKey(Key, &name, 0, REG_BINARY, (PVOID)data, sizeof(data)), STATUS_SUCCESS);
    for (i = 0; i < sizeof(partial) / sizeof(partial[0]); i++) {
        RtlFillMemory(&reply, sizeof(reply), CONFORM_UNTOUCHED);
        length = 0;
        NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation,
                                          partial[i].Length ? &reply : NULL, partial[i].Length, &length);
        EXPECT_EQ(&check, "partial: status", status, partial[i].Status);
        EXPECT_EQ(&check, "partial: ResultLength", length, 22);
        if (partial[i].Length >= 12) {
            EXPECT_EQ(&check, "partial: Type", reply.Partial.Type, REG_BINARY);
            EXPECT_EQ(&check, "partial: DataLength", reply.Partial.DataLength, sizeof(data));
        }
        for (b = 12; b < partial[i].Length; b++) {
            EXPECT_EQ(&check, "partial: data as far as it fits", reply.Bytes[b], data[b - 12]);
        }
        EXPECT_EQ(&check, "partial: nothing past the buffer", reply.Bytes[partial[i].Length], CONFORM_UNTOUCHED);
    }
    for (i = 0; i < sizeof(basic) / sizeof(basic[0]); i++) {
        RtlFillMemory(&reply, sizeof(reply), CONFORM_UNTOUCHED);
        length = 0;
        NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueBasicInformation, &reply, basic[i].Length, &length);
        EXPECT_EQ(&check, "basic: status", status, basic[i].Status);
        EXPECT_EQ(&check, "basic: ResultLength", length, 20);
        if (basic[i].Length >= 12) {
            EXPECT_EQ(&check, "basic: NameLength", reply.Basic.NameLength, 8);
        }
        if (basic[i].Length >= 14) {
            EXPECT_EQ(&check, "basic: name as far as it fits", reply.Basic.Name[0], 'd');
        }
    }
    MIVO_conform_finish(&check);
}

// ZwQueryKey: the same probes on the key's own name, and the counts and
// longest lengths of what it holds (no class name).
static VOID MIVO_conform_key_probes(HANDLE Key)
{
    static const CONFORM_PROBE probes[] = {
        {0, STATUS_BUFFER_TOO_SMALL}, {15, STATUS_BUFFER_TOO_SMALL}, {16, STATUS_BUFFER_OVERFLOW},
        {18, STATUS_BUFFER_OVERFLOW}, {30, STATUS_SUCCESS},
    };
    const ULONG full_size = offsetof(KEY_FULL_INFORMATION, Class);
    CONFORM_CHECK check = {"registry.key_basic_probes", FALSE};
    CONFORM_CHECK full = {"registry.key_full", FALSE};
    union {
        KEY_BASIC_INFORMATION Basic;
        KEY_FULL_INFORMATION Full;
        UCHAR Bytes[64];
    } reply;
    ULONG length;
    ULONG i;

    for (i = 0; i < sizeof(probes) / sizeof(probes[0]); i++) {
        RtlFillMemory(&reply, sizeof(reply), CONFORM_UNTOUCHED);
        length = 0;
        NTSTATUS status = ZwQueryKey(Key, KeyBasicInformation, probes[i].Length ? &reply : NULL, probes[i].Length, &length);
        EXPECT_EQ(&check, "basic: status", status, probes[i].Status);
        EXPECT_EQ(&check, "basic: ResultLength", length, 16 + 2 * 7); // "Conform"
        if (probes[i].Length >= 16) {
            EXPECT_EQ(&check, "basic: NameLength", reply.Basic.NameLength, 2 * 7);
        }
        if (probes[i].Length >= 18) {
            EXPECT_EQ(&check, "basic: name as far as it fits", reply.Basic.Name[0], 'C');
        }
    }
    MIVO_conform_finish(&check);

    EXPECT_EQ(&full, "status of a probe", ZwQueryKey(Key, KeyFullInformation, NULL, 0, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(&full, "ResultLength", length, full_size);
    RtlFillMemory(&reply, sizeof(reply), CONFORM_UNTOUCHED);
    EXPECT_EQ(&full, "status", ZwQueryKey(Key, KeyFullInformation, &reply, full_size, &length), STATUS_SUCCESS);
    EXPECT_EQ(&full, "SubKeys", reply.Full.SubKeys, CONFORM_SUBKEY_COUNT);
    EXPECT_EQ(&full, "MaxNameLen", reply.Full.MaxNameLen, 2 * 6); // "_under", "alpha2"
    EXPECT_EQ(&full, "Values", reply.Full.Values, 4);            // Alpha, mid, new, data
    EXPECT_EQ(&full, "MaxValueNameLen", reply.Full.MaxValueNameLen, 2 * 5); // "Alpha"
    EXPECT_EQ(&full, "MaxValueDataLen", reply.Full.MaxValueDataLen, 10);
    EXPECT_EQ(&full, "ClassLength", reply.Full.ClassLength, 0);
    EXPECT_EQ(&full, "ClassOffset without a class", reply.Full.ClassOffset, 0xFFFFFFFF);
    MIVO_conform_finish(&full);
}

// A key deleted through one handle answers STATUS_KEY_DELETED through
// another, but for a second deletion, which succeeds; a key under a missing
// one is not created; a key with subkeys is not deleted.
static VOID MIVO_conform_deletion(HANDLE Key)
{
    CONFORM_CHECK check = {"registry.deletion", FALSE};
    CONFORM_CHECK parent = {"registry.delete_with_subkeys", FALSE};
    HANDLE first, second, missing;
    union {
        KEY_BASIC_INFORMATION Info;
        UCHAR Bytes[64];
    } reply;
    ULONG length;

    EXPECT_EQ(&check, "ZwCreateKey under a missing key",
              MIVO_conform_create(&missing, Key, MIVO_WIDE("missing\\below"), NULL), STATUS_OBJECT_NAME_NOT_FOUND);
    if (EXPECT_EQ(&check, "ZwCreateKey", MIVO_conform_create(&first, Key, MIVO_WIDE("BETA"), NULL), STATUS_SUCCESS)) {
        if (EXPECT_EQ(&check, "ZwCreateKey", MIVO_conform_create(&second, Key, MIVO_WIDE("beta"), NULL), STATUS_SUCCESS)) {
            EXPECT_EQ(&check, "ZwDeleteKey", ZwDeleteKey(first), STATUS_SUCCESS);
            EXPECT_EQ(&check, "ZwQueryKey on another handle",
                      ZwQueryKey(second, KeyBasicInformation, &reply, sizeof(reply), &length), STATUS_KEY_DELETED);
            EXPECT_EQ(&check, "ZwDeleteKey on another handle", ZwDeleteKey(second), STATUS_SUCCESS);
            ZwClose(second);
        }
        ZwClose(first);
    }
    EXPECT_EQ(&check, "subkeys left",
              ZwEnumerateKey(Key, CONFORM_SUBKEY_COUNT - 1, KeyBasicInformation, &reply, sizeof(reply), &length),
              STATUS_NO_MORE_ENTRIES);
    MIVO_conform_finish(&check);
    EXPECT_EQ(&parent, "ZwDeleteKey", ZwDeleteKey(Key), STATUS_CANNOT_DELETE);
    MIVO_conform_finish(&parent);
}

static VOID MIVO_conform_registry(PCUNICODE_STRING RegistryPath)
{
    CONFORM_CHECK check = {"registry.create", FALSE};
    OBJECT_ATTRIBUTES attributes;
    HANDLE service, key, again;
    ULONG disposition = 0;

    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)RegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    if (!EXPECT_EQ(&check, "ZwOpenKey of the service key", ZwOpenKey(&service, KEY_ALL_ACCESS, &attributes),
                   STATUS_SUCCESS)) {
        MIVO_conform_finish(&check);
        return;
    }
    // What an earlier run may have left when it stopped half-way.
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, MIVO_CONFORM_KEY);
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, service, NULL);
        if (NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) {
            MIVO_conform_delete_tree(key);
        }
    }
    if (!EXPECT_EQ(&check, "ZwCreateKey", MIVO_conform_create(&key, service, MIVO_CONFORM_KEY, &disposition),
                   STATUS_SUCCESS)) {
        ZwClose(service);
        MIVO_conform_finish(&check);
        return;
    }
    EXPECT_EQ(&check, "Disposition of a new key", disposition, REG_CREATED_NEW_KEY);
    if (EXPECT_EQ(&check, "ZwCreateKey again", MIVO_conform_create(&again, service, MIVO_WIDE("CONFORM"), &disposition),
                  STATUS_SUCCESS)) {
        EXPECT_EQ(&check, "Disposition of an existing key", disposition, REG_OPENED_EXISTING_KEY);
        ZwClose(again);
    }
    MIVO_conform_finish(&check);

    MIVO_conform_subkeys(key);
    MIVO_conform_values(key);
    MIVO_conform_value_probes(key);
    MIVO_conform_key_probes(key);
    MIVO_conform_deletion(key);
    MIVO_conform_delete_tree(key);
    ZwClose(service);
}

// ---------------------------------------------------------------- requests

// A private stack of two device objects of this driver: requests the checks
// allocate go to the upper one, which forwards them to the lower one with a
// completion routine; the lower one does what the request's code asks.
typedef enum _CONFORM_LOWER {
    ConformComplete = 1, // at once, with ConformIo.Status
    ConformPend,          // marked pending and kept in ConformIo.Held
    ConformQueue,         // the same, cancelable
} CONFORM_LOWER;

typedef enum _CONFORM_UPPER {
    ConformRoutine = 1 << 4, // a completion routine with ConformIo.Invoke
    ConformNoRoutine = 2 << 4, // the location copied without a routine
    ConformTakeBack = 3 << 4, // a routine that hands the request back to the dispatch routine
} CONFORM_UPPER;

typedef struct _CONFORM_DEVICE {
    PDEVICE_OBJECT Lower; // none for the lower device
} CONFORM_DEVICE;

// What the stack saw; only the thread running the checks touches it.
static struct {
    NTSTATUS Status;
    UCHAR Invoke;
    PIRP Held;
    ULONG RoutineCalls, OwnerCalls, CancelCalls;
    BOOLEAN RoutineSawPending, OwnerSawPending;
    NTSTATUS OwnerSawStatus;
    KIRQL CancelIrql;
    ULONG OwnerCallsBeforeTakeBack;
} ConformIo;

static VOID NTAPI MIVO_conform_cancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    ConformIo.CancelCalls++;
    ConformIo.CancelIrql = KeGetCurrentIrql();
    ConformIo.Held = NULL;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

static NTSTATUS NTAPI MIVO_conform_routine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    ConformIo.RoutineCalls++;
    ConformIo.RoutineSawPending = Irp->PendingReturned;
    if (Context != NULL) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

// The completion routine of the request's owner, on the location it set up.
static NTSTATUS NTAPI MIVO_conform_owner(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    ConformIo.OwnerCalls++;
    ConformIo.OwnerSawPending = Irp->PendingReturned;
    ConformIo.OwnerSawStatus = Irp->IoStatus.Status;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS NTAPI MIVO_conform_dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CONFORM_DEVICE *device = (CONFORM_DEVICE *)DeviceObject->DeviceExtension;
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status;

    if (device->Lower == NULL) {
        Irp->IoStatus.Status = ConformIo.Status;
        Irp->IoStatus.Information = 0;
        switch (code & 0xF) {
        case ConformQueue:
            IoSetCancelRoutine(Irp, MIVO_conform_cancel);
            // fall through
        case ConformPend:
            IoMarkIrpPending(Irp);
            ConformIo.Held = Irp;
            return STATUS_PENDING;
        default:
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return ConformIo.Status;
        }
    }
    switch (code & 0xF0) {
    case ConformNoRoutine:
        IoCopyCurrentIrpStackLocationToNext(Irp);
        return IoCallDriver(device->Lower, Irp);
    case ConformTakeBack:
        // The routine hands the request back; this routine finishes it with
        // a status of its own.
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, MIVO_conform_routine, Irp, TRUE, TRUE, TRUE);
        IoCallDriver(device->Lower, Irp);
        ConformIo.OwnerCallsBeforeTakeBack = ConformIo.OwnerCalls;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    default:
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, MIVO_conform_routine, NULL, (ConformIo.Invoke & SL_INVOKE_ON_SUCCESS) != 0,
                               (ConformIo.Invoke & SL_INVOKE_ON_ERROR) != 0, (ConformIo.Invoke & SL_INVOKE_ON_CANCEL) != 0);
        status = IoCallDriver(device->Lower, Irp);
        return status;
    }
}

// Sends a request with the code to the top of the stack and returns what
// IoCallDriver returned; the request stays with the owner in *Irp.
static NTSTATUS MIVO_conform_send(PDEVICE_OBJECT Upper, ULONG Code, PIRP *Irp)
{
    PIO_STACK_LOCATION next;

    ConformIo.Held = NULL;
    ConformIo.RoutineCalls = ConformIo.OwnerCalls = ConformIo.CancelCalls = 0;
    ConformIo.RoutineSawPending = ConformIo.OwnerSawPending = FALSE;
    ConformIo.OwnerSawStatus = STATUS_PENDING;
    *Irp = IoAllocateIrp(Upper->StackSize, FALSE);
    if (*Irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    (*Irp)->IoStatus.Status = STATUS_NOT_SUPPORTED;
    next = IoGetNextIrpStackLocation(*Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = Code;
    IoSetCompletionRoutine(*Irp, MIVO_conform_owner, NULL, TRUE, TRUE, TRUE);
    return IoCallDriver(Upper, *Irp);
}

// The invoke flags: a routine runs on a success status (NT_SUCCESS, so
// STATUS_TIMEOUT too) with InvokeOnSuccess, on any other with InvokeOnError,
// and on a cancelled request (Irp->Cancel, not the status) with InvokeOnCancel.
// Rows First up to Last (excluded) make one check.
static VOID MIVO_conform_invoke(PDEVICE_OBJECT Upper, const char *Name, ULONG First, ULONG Last)
{
    static const struct {
        NTSTATUS Status;
        UCHAR Invoke;
        BOOLEAN Cancel;
        ULONG Runs;
    } rows[] = {
        {STATUS_SUCCESS, SL_INVOKE_ON_SUCCESS, FALSE, 1},
        {STATUS_SUCCESS, SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL, FALSE, 0},
        {STATUS_BUFFER_OVERFLOW, SL_INVOKE_ON_ERROR, FALSE, 1},
        {STATUS_UNSUCCESSFUL, SL_INVOKE_ON_ERROR, FALSE, 1},
        {STATUS_UNSUCCESSFUL, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_CANCEL, FALSE, 0},
        {STATUS_CANCELLED, SL_INVOKE_ON_CANCEL, FALSE, 0},
        {STATUS_CANCELLED, SL_INVOKE_ON_CANCEL, TRUE, 1},
        {STATUS_CANCELLED, SL_INVOKE_ON_SUCCESS, TRUE, 0},
        {STATUS_TIMEOUT, SL_INVOKE_ON_SUCCESS, FALSE, 1},
        {STATUS_TIMEOUT, SL_INVOKE_ON_ERROR, FALSE, 0},
    };
    static const char *const names[] = {
        "success, on success", "success, on error and cancel", "STATUS_BUFFER_OVERFLOW, on error",
        "failure, on error", "failure, on success and cancel", "STATUS_CANCELLED not cancelled, on cancel",
        "cancelled, on cancel", "cancelled, on success", "STATUS_TIMEOUT, on success", "STATUS_TIMEOUT, on error"};
    CONFORM_CHECK check = {Name, FALSE};
    ULONG i;

    for (i = First; i < Last && i < sizeof(rows) / sizeof(rows[0]); i++) {
        PIRP irp;
        ConformIo.Status = rows[i].Status;
        ConformIo.Invoke = rows[i].Invoke;
        NTSTATUS sent = MIVO_conform_send(Upper, ConformRoutine | (rows[i].Cancel ? ConformQueue : ConformComplete), &irp);
        if (irp == NULL) {
            EXPECT_EQ(&check, "IoAllocateIrp", sent, STATUS_SUCCESS);
            break;
        }
        if (rows[i].Cancel) {
            EXPECT_EQ(&check, "IoCancelIrp", IoCancelIrp(irp), TRUE);
        }
        EXPECT_EQ(&check, names[i], ConformIo.RoutineCalls, rows[i].Runs);
        EXPECT_EQ(&check, "the owner's routine", ConformIo.OwnerCalls, 1);
        EXPECT_EQ(&check, "the owner's status", ConformIo.OwnerSawStatus, rows[i].Status);
        IoFreeIrp(irp);
    }
    MIVO_conform_finish(&check);
}

// PendingReturned: set for the routine above a location marked pending; a
// location without a routine passes the mark up by itself. Rows First up to
// Last (excluded) make one check.
static VOID MIVO_conform_pending(PDEVICE_OBJECT Upper, const char *Name, ULONG First, ULONG Last)
{
    static const struct {
        ULONG Code;
        NTSTATUS Returned;
        BOOLEAN RoutineSees, OwnerSees;
    } rows[] = {
        {ConformRoutine | ConformComplete, STATUS_SUCCESS, FALSE, FALSE},
        {ConformRoutine | ConformPend, STATUS_PENDING, TRUE, TRUE},
        {ConformNoRoutine | ConformPend, STATUS_PENDING, FALSE, TRUE},
    };
    static const char *const names[] = {"completed at once", "pended below a routine", "pended below no routine"};
    CONFORM_CHECK check = {Name, FALSE};
    ULONG i;

    ConformIo.Status = STATUS_SUCCESS;
    ConformIo.Invoke = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    for (i = First; i < Last && i < sizeof(rows) / sizeof(rows[0]); i++) {
        PIRP irp;
        NTSTATUS sent = MIVO_conform_send(Upper, rows[i].Code, &irp);
        if (irp == NULL) {
            EXPECT_EQ(&check, "IoAllocateIrp", sent, STATUS_SUCCESS);
            break;
        }
        EXPECT_EQ(&check, names[i], sent, rows[i].Returned);
        if (ConformIo.Held != NULL) {
            EXPECT_EQ(&check, "owner's routine before the completion", ConformIo.OwnerCalls, 0);
            IoCompleteRequest(ConformIo.Held, IO_NO_INCREMENT);
        }
        EXPECT_EQ(&check, names[i], ConformIo.RoutineSawPending, rows[i].RoutineSees);
        EXPECT_EQ(&check, names[i], ConformIo.OwnerSawPending, rows[i].OwnerSees);
        EXPECT_EQ(&check, "the owner's routine", ConformIo.OwnerCalls, 1);
        IoFreeIrp(irp);
    }
    MIVO_conform_finish(&check);
}

// STATUS_MORE_PROCESSING_REQUIRED stops the completion where the routine
// returned it; the request goes on up when its new owner completes it again.
static VOID MIVO_conform_take_back(PDEVICE_OBJECT Upper)
{
    CONFORM_CHECK check = {"io.more_processing", FALSE};
    PIRP irp;

    ConformIo.Status = STATUS_UNSUCCESSFUL;
    NTSTATUS sent = MIVO_conform_send(Upper, ConformTakeBack | ConformComplete, &irp);
    if (EXPECT_EQ(&check, "IoAllocateIrp", irp != NULL, TRUE)) {
        EXPECT_EQ(&check, "IoCallDriver", sent, STATUS_SUCCESS);
        EXPECT_EQ(&check, "the upper routine", ConformIo.RoutineCalls, 1);
        EXPECT_EQ(&check, "the owner's routine before the second completion", ConformIo.OwnerCallsBeforeTakeBack, 0);
        EXPECT_EQ(&check, "the owner's routine", ConformIo.OwnerCalls, 1);
        EXPECT_EQ(&check, "the owner's status", ConformIo.OwnerSawStatus, STATUS_SUCCESS);
        IoFreeIrp(irp);
    }
    MIVO_conform_finish(&check);
}

// IoCancelIrp: an armed cancel routine runs once, holding the cancel spin
// lock (so at DISPATCH_LEVEL); without one only Irp->Cancel is set.
static VOID MIVO_conform_cancelling(PDEVICE_OBJECT Upper)
{
    CONFORM_CHECK check = {"io.cancel", FALSE};
    CONFORM_CHECK irql = {"io.cancel_irql", FALSE};
    PIRP irp;

    ConformIo.Status = STATUS_SUCCESS;
    ConformIo.Invoke = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    ConformIo.CancelIrql = PASSIVE_LEVEL;
    MIVO_conform_send(Upper, ConformRoutine | ConformQueue, &irp);
    if (EXPECT_EQ(&check, "IoAllocateIrp", irp != NULL, TRUE)) {
        EXPECT_EQ(&check, "IoCancelIrp", IoCancelIrp(irp), TRUE);
        EXPECT_EQ(&check, "cancel routine calls", ConformIo.CancelCalls, 1);
        EXPECT_EQ(&irql, "IRQL in the cancel routine", ConformIo.CancelIrql, DISPATCH_LEVEL);
        EXPECT_EQ(&check, "Irp->Cancel", irp->Cancel, TRUE);
        EXPECT_EQ(&check, "the owner's status", ConformIo.OwnerSawStatus, STATUS_CANCELLED);
        EXPECT_EQ(&check, "IoCancelIrp again", IoCancelIrp(irp), FALSE);
        EXPECT_EQ(&check, "cancel routine calls after the second", ConformIo.CancelCalls, 1);
        IoFreeIrp(irp);
    }
    MIVO_conform_send(Upper, ConformRoutine | ConformPend, &irp);
    if (EXPECT_EQ(&check, "IoAllocateIrp", irp != NULL, TRUE)) {
        EXPECT_EQ(&check, "IoCancelIrp without a routine", IoCancelIrp(irp), FALSE);
        EXPECT_EQ(&check, "Irp->Cancel without a routine", irp->Cancel, TRUE);
        EXPECT_EQ(&check, "still held", ConformIo.OwnerCalls, 0);
        ConformIo.Held->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(ConformIo.Held, IO_NO_INCREMENT);
        IoFreeIrp(irp);
    }
    MIVO_conform_finish(&check);
    MIVO_conform_finish(&irql);
}

static VOID MIVO_conform_requests(PDRIVER_OBJECT DriverObject)
{
    CONFORM_CHECK check = {"io.attach", FALSE};
    PDEVICE_OBJECT lower = NULL, upper = NULL;

    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MIVO_conform_dispatch;
    if (EXPECT_EQ(&check, "IoCreateDevice",
                  IoCreateDevice(DriverObject, sizeof(CONFORM_DEVICE), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower),
                  STATUS_SUCCESS) &&
        EXPECT_EQ(&check, "IoCreateDevice",
                  IoCreateDevice(DriverObject, sizeof(CONFORM_DEVICE), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper),
                  STATUS_SUCCESS)) {
        EXPECT_EQ(&check, "StackSize of a new device", lower->StackSize, 1);
        ((CONFORM_DEVICE *)lower->DeviceExtension)->Lower = NULL;
        PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(upper, lower);
        ((CONFORM_DEVICE *)upper->DeviceExtension)->Lower = below;
        EXPECT_EQ(&check, "IoAttachDeviceToDeviceStack returns the device attached to", below == lower, TRUE);
        EXPECT_EQ(&check, "StackSize of the attached device", upper->StackSize, 2);
        lower->Flags &= ~DO_DEVICE_INITIALIZING;
        upper->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    MIVO_conform_finish(&check);
    if (!check.Failed) {
        MIVO_conform_invoke(upper, "io.invoke_flags", 0, 8);
        MIVO_conform_invoke(upper, "io.invoke_on_informational", 8, 10);
        MIVO_conform_pending(upper, "io.pending_returned", 0, 2);
        MIVO_conform_pending(upper, "io.pending_propagation", 2, 3);
        MIVO_conform_take_back(upper);
        MIVO_conform_cancelling(upper);
    }
    if (upper != NULL) {
        if (((CONFORM_DEVICE *)upper->DeviceExtension)->Lower != NULL) {
            IoDetachDevice(lower);
        }
        IoDeleteDevice(upper);
    }
    if (lower != NULL) {
        IoDeleteDevice(lower);
    }
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = NULL;
}

// ---------------------------------------------------------------- dispatcher

static VOID MIVO_conform_events(VOID)
{
    CONFORM_CHECK notification = {"event.notification", FALSE};
    CONFORM_CHECK synchronization = {"event.synchronization", FALSE};
    LARGE_INTEGER poll;
    KEVENT event;

    poll.QuadPart = 0;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(&notification, "KeReadStateEvent", KeReadStateEvent(&event), 0);
    EXPECT_EQ(&notification, "KeSetEvent", KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(&notification, "KeSetEvent when set", KeSetEvent(&event, IO_NO_INCREMENT, FALSE) != 0, TRUE);
    EXPECT_EQ(&notification, "wait", KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(&notification, "second wait", KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(&notification, "KeResetEvent", KeResetEvent(&event) != 0, TRUE);
    EXPECT_EQ(&notification, "wait after the reset", KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
              STATUS_TIMEOUT);
    MIVO_conform_finish(&notification);

    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(&synchronization, "KeReadStateEvent", KeReadStateEvent(&event) != 0, TRUE);
    EXPECT_EQ(&synchronization, "wait", KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(&synchronization, "KeReadStateEvent after the wait", KeReadStateEvent(&event), 0);
    EXPECT_EQ(&synchronization, "second wait", KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
              STATUS_TIMEOUT);
    EXPECT_EQ(&synchronization, "KeSetEvent", KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    MIVO_conform_finish(&synchronization);
}

// Time-outs: negative ones are relative, positive ones absolute system times
// (100 ns since 1601). A wait is measured on the interrupt time, which moves
// in clock ticks (up to 15.6 ms), hence the slack.
#define CONFORM_WAIT_MS 50
#define CONFORM_SLACK_MS 16

static VOID MIVO_conform_waits(VOID)
{
    static const char *const names[] = {"relative delay", "relative time-out", "absolute time-out",
                                        "interrupt time taken for an absolute time"};
    CONFORM_CHECK check = {"wait.timeouts", FALSE};
    KEVENT event;
    ULONG i;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (i = 0; i < 4; i++) {
        LARGE_INTEGER timeout, now;
        NTSTATUS status;
        ULONGLONG before, elapsed_ms;
        ULONG want_ms = i == 3 ? 0 : CONFORM_WAIT_MS;

        before = KeQueryInterruptTime();
        KeQuerySystemTime(&now);
        timeout.QuadPart = -(LONGLONG)CONFORM_WAIT_MS * 10000;
        if (i == 2) {
            timeout.QuadPart = now.QuadPart + (LONGLONG)CONFORM_WAIT_MS * 10000;
        } else if (i == 3) {
            // Long past as a system time: the wait ends at once.
            timeout.QuadPart = (LONGLONG)before + (LONGLONG)CONFORM_WAIT_MS * 10000;
        }
        if (i == 0) {
            status = KeDelayExecutionThread(KernelMode, FALSE, &timeout);
            EXPECT_EQ(&check, names[i], status, STATUS_SUCCESS);
        } else {
            status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
            EXPECT_EQ(&check, names[i], status, STATUS_TIMEOUT);
        }
        elapsed_ms = (KeQueryInterruptTime() - before) / 10000;
        EXPECT_EQ(&check, names[i], elapsed_ms + CONFORM_SLACK_MS >= want_ms && elapsed_ms < want_ms + 1000, TRUE);
    }
    MIVO_conform_finish(&check);
}

// ---------------------------------------------------------------- strings

// Appending: all of the source or nothing; a NUL after the text when the
// buffer has room for it.
static VOID MIVO_conform_strings(VOID)
{
    static const struct {
        USHORT Capacity; // bytes
        BOOLEAN Counted; // RtlAppendUnicodeStringToString, else RtlAppendUnicodeToString
        NTSTATUS Status;
        USHORT Length;
        BOOLEAN Nul;
    } rows[] = {
        {20, FALSE, STATUS_SUCCESS, 8, TRUE},
        {8, FALSE, STATUS_SUCCESS, 8, FALSE},
        {6, FALSE, STATUS_BUFFER_TOO_SMALL, 4, FALSE},
        {20, TRUE, STATUS_SUCCESS, 8, TRUE},
        {8, TRUE, STATUS_SUCCESS, 8, FALSE},
        {6, TRUE, STATUS_BUFFER_TOO_SMALL, 4, FALSE},
    };
    static const char *const names[] = {"room to spare", "exactly full", "one character too many",
                                        "counted, room to spare", "counted, exactly full",
                                        "counted, one character too many"};
    CONFORM_CHECK check = {"string.append", FALSE};
    ULONG i;

    for (i = 0; i < sizeof(rows) / sizeof(rows[0]); i++) {
        WCHAR buffer[10] = {'a', 'b', '#', '#', '#', '#', '#', '#', '#', '#'};
        UNICODE_STRING destination, source;
        destination.Buffer = buffer;
        destination.Length = 4;
        destination.MaximumLength = rows[i].Capacity;
        RtlInitUnicodeString(&source, MIVO_WIDE("cd"));
        NTSTATUS status = rows[i].Counted ? RtlAppendUnicodeStringToString(&destination, &source)
                                          : RtlAppendUnicodeToString(&destination, MIVO_WIDE("cd"));
        EXPECT_EQ(&check, names[i], status, rows[i].Status);
        EXPECT_EQ(&check, names[i], destination.Length, rows[i].Length);
        EXPECT_EQ(&check, names[i], buffer[2], rows[i].Length == 8 ? 'c' : '#');
        EXPECT_EQ(&check, names[i], buffer[4], rows[i].Nul ? 0 : '#');
    }
    MIVO_conform_finish(&check);
}

// ---------------------------------------------------------------- the run

ULONG MIVO_conform_run(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    PAGED_CODE();

    ConformPassed = 0;
    ConformFailed = 0;
    MIVO_conform_registry(RegistryPath);
    MIVO_conform_requests(DriverObject);
    MIVO_conform_events();
    MIVO_conform_waits();
    MIVO_conform_strings();
    DbgPrint(CONFORM_PREFIX "done %lu ok %lu failed\n", ConformPassed, ConformFailed);
    return ConformFailed;
}

static VOID NTAPI MIVO_conform_unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

extern "C" NTSTATUS NTAPI MIVO_conform_entry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DriverObject->DriverUnload = MIVO_conform_unload;
    MIVO_conform_run(DriverObject, RegistryPath);
    return STATUS_SUCCESS;
}
