// The profile store's registry reader: opening a key of the store, counting a
// key's subkeys and values, reading subkey and value names, and reading one
// value as a number, a string or a byte block. Nothing here writes to the
// registry. Every query asks the kernel twice: once with no buffer to learn
// the size, then into a pool buffer of exactly that size.
#include "platform/trace.h"
#include "profiles/profiles.h"

// The path buffer: 256 UTF-16 units. One unit more is kept zero behind it so
// that a path filling all 512 bytes still prints as a terminated string.
#define MIVO_REG_PATH_UNITS 256

// A size probe answers STATUS_BUFFER_TOO_SMALL when not even the fixed part of
// the record fits, STATUS_BUFFER_OVERFLOW when only that part fits; with no
// buffer at all it is the former, but both mean "ask again with the size".
static BOOLEAN MIVO_Reg_Probe_Ok(NTSTATUS status)
{
    return NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW;
}

/*
 * MIVO_Open_Reg - open a key of the profile store.
 * The path is BasePath, then "\Layout\", then SubKeyName (none: the store's
 * root itself). A part that does not fit the 512-byte path is left out.
 * Returns the key handle, which the caller closes with ZwClose, or NULL.
 * PASSIVE_LEVEL.
 */
HANDLE MIVO_Open_Reg(PCWSTR BasePath, PCWSTR SubKeyName)
{
    WCHAR pathBuffer[MIVO_REG_PATH_UNITS + 1];
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;
    NTSTATUS status;

    RtlZeroMemory(pathBuffer, sizeof(pathBuffer));
    path.Buffer = pathBuffer;
    path.Length = 0;
    path.MaximumLength = MIVO_REG_PATH_UNITS * sizeof(WCHAR);

    // RtlAppendUnicodeToString refuses, and leaves the string as it was, when
    // the source does not fit the room left: exactly "not appended".
    RtlAppendUnicodeToString(&path, BasePath);
    RtlAppendUnicodeToString(&path, MIVO_WIDE("\\Layout\\"));
    if (SubKeyName != NULL) {
        RtlAppendUnicodeToString(&path, SubKeyName);
    }
    MIVO_TRACE_LINE("newpath bis %ws", pathBuffer);

    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("NULL: ZwOpenKey failed: %x", status);
        return NULL;
    }
    return key;
}

/*
 * MIVO_Get_Key_Info - count a key's subkeys and values.
 * Stores either count where the caller asked for it (SubKeys, Values may be
 * NULL). Returns the status of the query. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_Get_Key_Info(HANDLE Key, PULONG SubKeys, PULONG Values)
{
    PKEY_FULL_INFORMATION info = NULL;
    ULONG size = 0;
    NTSTATUS status;

    status = ZwQueryKey(Key, KeyFullInformation, NULL, 0, &size);
    if (!MIVO_Reg_Probe_Ok(status)) {
        MIVO_TRACE_LEAVE("%x", status);
        goto Exit;
    }
    info = (PKEY_FULL_INFORMATION)ExAllocatePool(NonPagedPool, size);
    if (info == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        MIVO_TRACE_LEAVE("STATUS_INSUFFICIENT_RESOURCES");
        goto Exit;
    }
    status = ZwQueryKey(Key, KeyFullInformation, info, size, &size);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x", status);
        goto Exit;
    }
    if (SubKeys != NULL) {
        *SubKeys = info->SubKeys;
    }
    if (Values != NULL) {
        *Values = info->Values;
    }
    status = STATUS_SUCCESS;

Exit:
    if (info != NULL) {
        ExFreePoolWithTag(info, 0);
    }
    return status;
}

/*
 * MIVO_Reg_Enumerate_Name - the name (and, for a value, the type) of the
 * Index-th subkey or value of Key, for MIVO_Get_SubKey_Name and
 * MIVO_Get_Value_Info, which differ only in the kernel routine and record.
 * Traces under the caller's name (Routine).
 */
static NTSTATUS MIVO_Reg_Enumerate_Name(const char *Routine, HANDLE Key, ULONG Index, BOOLEAN Value, PWSTR Name,
                                        ULONG NameSize, PULONG Type)
{
    PVOID info = NULL;
    ULONG size = 0;
    const WCHAR *source;
    ULONG sourceLength;
    NTSTATUS status;

    status = Value ? ZwEnumerateValueKey(Key, Index, KeyValueBasicInformation, NULL, 0, &size)
                   : ZwEnumerateKey(Key, Index, KeyBasicInformation, NULL, 0, &size);
    if (!MIVO_Reg_Probe_Ok(status)) {
        MIVO_TRACE_LEAVE_AS(Routine, "STATUS_UNSUCCESSFUL %x", status);
        goto Exit;
    }
    info = ExAllocatePool(NonPagedPool, size);
    if (info == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        MIVO_TRACE_LEAVE_AS(Routine, "STATUS_INSUFFICIENT_RESOURCES");
        goto Exit;
    }
    status = Value ? ZwEnumerateValueKey(Key, Index, KeyValueBasicInformation, info, size, &size)
                   : ZwEnumerateKey(Key, Index, KeyBasicInformation, info, size, &size);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE_AS(Routine, "STATUS_UNSUCCESSFUL %x", status);
        goto Exit;
    }
    if (Value) {
        source = ((PKEY_VALUE_BASIC_INFORMATION)info)->Name;
        sourceLength = ((PKEY_VALUE_BASIC_INFORMATION)info)->NameLength;
    } else {
        source = ((PKEY_BASIC_INFORMATION)info)->Name;
        sourceLength = ((PKEY_BASIC_INFORMATION)info)->NameLength;
    }
    // The name must fit with its terminating NUL.
    if (NameSize < sizeof(WCHAR) || sourceLength > NameSize - sizeof(WCHAR)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        MIVO_TRACE_LEAVE_AS(Routine, "STATUS_INSUFFICIENT_RESOURCES");
        goto Exit;
    }
    RtlZeroMemory(Name, NameSize);
    RtlCopyMemory(Name, source, sourceLength);
    if (Value && Type != NULL) {
        *Type = ((PKEY_VALUE_BASIC_INFORMATION)info)->Type;
    }
    status = STATUS_SUCCESS;

Exit:
    if (info != NULL) {
        ExFreePoolWithTag(info, 0);
    }
    return status;
}

/*
 * MIVO_Get_SubKey_Name - the name of the Index-th subkey of Key.
 * On success Name (NameSize bytes) holds the name, zero-filled behind it; a
 * name that does not fit with its NUL gives STATUS_INSUFFICIENT_RESOURCES.
 * On failure Name is untouched. Past the last subkey the kernel's
 * STATUS_NO_MORE_ENTRIES comes back. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_Get_SubKey_Name(HANDLE Key, ULONG Index, PWSTR Name, ULONG NameSize)
{
    return MIVO_Reg_Enumerate_Name(__func__, Key, Index, FALSE, Name, NameSize, NULL);
}

/*
 * MIVO_Get_Value_Info - the name and type of the Index-th value of Key.
 * Name is filled as by MIVO_Get_SubKey_Name; the type goes to Type when it is
 * not NULL. On failure Name and Type are untouched. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_Get_Value_Info(HANDLE Key, ULONG Index, PWSTR Name, ULONG NameSize, PULONG Type)
{
    return MIVO_Reg_Enumerate_Name(__func__, Key, Index, TRUE, Name, NameSize, Type);
}

/*
 * MIVO_Get_Data - read one value of Key: type, data length and data.
 * On success *Data is a non-paged pool buffer that the caller frees; on failure *Data is NULL and the status
 * is the kernel's (STATUS_OBJECT_NAME_NOT_FOUND for a missing value) or
 * STATUS_INSUFFICIENT_RESOURCES. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_Get_Data(HANDLE Key, PCWSTR ValueName, PKEY_VALUE_PARTIAL_INFORMATION *Data)
{
    PKEY_VALUE_PARTIAL_INFORMATION info = NULL;
    UNICODE_STRING name;
    ULONG size = 0;
    NTSTATUS status;

    *Data = NULL;
    RtlInitUnicodeString(&name, ValueName);

    status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, NULL, 0, &size);
    if (!MIVO_Reg_Probe_Ok(status)) {
        MIVO_TRACE_LEAVE("%x", status);
        goto Exit;
    }
    info = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePool(NonPagedPool, size);
    if (info == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        MIVO_TRACE_LEAVE("STATUS_INSUFFICIENT_RESOURCES");
        goto Exit;
    }
    status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, size, &size);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("%x", status);
        goto Exit;
    }
    *Data = info;
    info = NULL;
    status = STATUS_SUCCESS;

Exit:
    if (info != NULL) {
        ExFreePoolWithTag(info, 0);
    }
    return status;
}

/*
 * MIVO_Get_DWORD - read a REG_DWORD value of exactly 4 bytes.
 * *Value is the value, or Default on any failure: the kernel's status for a
 * missing value, STATUS_UNSUCCESSFUL for another type or length.
 * PASSIVE_LEVEL.
 */
NTSTATUS MIVO_Get_DWORD(HANDLE Key, PCWSTR ValueName, PULONG Value, ULONG Default)
{
    PKEY_VALUE_PARTIAL_INFORMATION data = NULL;
    NTSTATUS status;

    status = MIVO_Get_Data(Key, ValueName, &data);
    if (!NT_SUCCESS(status)) {
        *Value = Default;
        MIVO_TRACE_LEAVE("%x, %u", status, Default);
        return status;
    }
    if (data->Type == REG_DWORD && data->DataLength == sizeof(ULONG)) {
        RtlCopyMemory(Value, data->Data, sizeof(ULONG));
        ExFreePoolWithTag(data, 0);
        return STATUS_SUCCESS;
    }
    ExFreePoolWithTag(data, 0);
    *Value = Default;
    MIVO_TRACE_LEAVE("STATUS_UNSUCCESSFUL, %u", Default);
    return STATUS_UNSUCCESSFUL;
}

/*
 * MIVO_Get_STRING - read a REG_SZ value into Buffer (Size bytes).
 * The buffer is zeroed first, so it always ends in a NUL unit and is all zero
 * after a failure; text longer than Size - 2 bytes is cut. Returns the
 * kernel's status for a missing value, STATUS_UNSUCCESSFUL for another type.
 * PASSIVE_LEVEL.
 */
NTSTATUS MIVO_Get_STRING(HANDLE Key, PCWSTR ValueName, PWSTR Buffer, ULONG Size)
{
    PKEY_VALUE_PARTIAL_INFORMATION data = NULL;
    ULONG room = Size >= sizeof(WCHAR) ? Size - sizeof(WCHAR) : 0;
    NTSTATUS status;

    RtlZeroMemory(Buffer, Size);
    status = MIVO_Get_Data(Key, ValueName, &data);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("Error Get Data %x", status);
        return status;
    }
    if (data->Type == REG_SZ) {
        RtlCopyMemory(Buffer, data->Data, data->DataLength < room ? data->DataLength : room);
        ExFreePoolWithTag(data, 0);
        return STATUS_SUCCESS;
    }
    ExFreePoolWithTag(data, 0);
    MIVO_TRACE_LEAVE("STATUS_UNSUCCESSFUL");
    return STATUS_UNSUCCESSFUL;
}

/*
 * MIVO_Get_BINARY - read a REG_BINARY value into Buffer (Size bytes).
 * The buffer is zeroed first: shorter data leaves the rest zero, longer data
 * is cut at Size, a failure leaves it all zero. Returns the kernel's status
 * for a missing value, STATUS_UNSUCCESSFUL for another type. PASSIVE_LEVEL.
 */
NTSTATUS MIVO_Get_BINARY(HANDLE Key, PCWSTR ValueName, PVOID Buffer, ULONG Size)
{
    PKEY_VALUE_PARTIAL_INFORMATION data = NULL;
    NTSTATUS status;

    RtlZeroMemory(Buffer, Size);
    status = MIVO_Get_Data(Key, ValueName, &data);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("Error Get Data %x", status);
        return status;
    }
    if (data->Type == REG_BINARY) {
        RtlCopyMemory(Buffer, data->Data, data->DataLength < Size ? data->DataLength : Size);
        ExFreePoolWithTag(data, 0);
        return STATUS_SUCCESS;
    }
    ExFreePoolWithTag(data, 0);
    MIVO_TRACE_LEAVE("STATUS_UNSUCCESSFUL");
    return STATUS_UNSUCCESSFUL;
}
