// Profile loading and the rebuild of the whole state: the stored profiles are
// read from the Layout key under the driver's service key, behind the base
// profile, and the report state is put back to rest.
//
// Layout of the store (names compared byte for byte, so case matters):
//   Layout                 "Default_Profil" REG_DWORD
//     Layout - <anything>  "Profil_Id" REG_DWORD (required), "Profil_Name" REG_SZ,
//                          "DeadZone" REG_DWORD, "Bind - <anything>" REG_BINARY (34 bytes)
#include "profiles/profiles.h"
#include "platform/trace.h"


#define MIVO_BUILD_NUMBER 1079

// Subkey and value names are read into 256-byte buffers: at most 127
// characters and the NUL.
#define MIVO_REG_NAME_UNITS 128

static const WCHAR MIVO_LAYOUT_PREFIX[] = MIVO_WIDE("Layout - ");
static const WCHAR MIVO_BIND_PREFIX[] = MIVO_WIDE("Bind - ");

// Names are compared code unit for code unit, so case matters. The name
// buffers hold MIVO_REG_NAME_UNITS units, zero-filled behind the name, so a
// prefix compare never reads past them.
/*
 * MIVO_InitState - rebuild the profile state and the report state.
 * Frees every profile, builds the base profile, loads the stored profiles,
 * empties the LED queue, resets the report images and translation state, and
 * selects the profile that was current (or the default one) again. The LED
 * then shows the reload pattern. HID worker thread only, between two worker
 * steps, after it has taken ReloadRequested (MIVO_take_reload): a reload
 * posted while this runs is then kept for the next pass, not cleared unseen.
 */
VOID MIVO_InitState(PDEVICE_EXTENSION dx)
{
    SHORT previousId;

    MIVO_TRACE_ENTER("Build - %d", MIVO_BUILD_NUMBER);

    previousId = dx->CurrentProfil != NULL ? dx->CurrentProfil->Profil_Id : (SHORT)BASE_PROFIL_ID;

    MIVO_Delete_Profil(dx);
    dx->ProfilList = MIVO_Profil_ZERO(dx);
    dx->CurrentProfil = NULL;
    MIVO_Get_Profils(dx);

    MIVO_Led_Queue_Clear(dx);
    MIVO_report_state_reset(dx);

    // The base profile as the remembered one means "nothing chosen": the
    // default profile gets its chance first, the fallback ends at -1 anyway.
    dx->CurrentProfil = MIVO_Select_Profil(dx, previousId != BASE_PROFIL_ID ? previousId : dx->DefaultProfilId);

    // Replaces the selection pattern just started by MIVO_Select_Profil.
    MIVO_Led_Show_Reload(dx);

    MIVO_TRACE_LEAVE("");
}

/*
 * MIVO_Get_Profils - read DefaultProfilId and load every profile subkey of
 * the store's root, in enumeration order. A root that cannot be opened or
 * counted loads nothing and leaves DefaultProfilId as it was.
 * PASSIVE_LEVEL (HID worker, within MIVO_InitState).
 */
VOID MIVO_Get_Profils(PDEVICE_EXTENSION dx)
{
    WCHAR name[MIVO_REG_NAME_UNITS];
    HANDLE root;
    ULONG subKeys = 0;
    ULONG defaultId = 0;
    NTSTATUS status;

    MIVO_TRACE_ENTER("");

    root = MIVO_Open_Reg(dx->RegistryPath.Buffer, NULL);
    if (root == NULL) {
        MIVO_TRACE_LEAVE("STATUS_OBJECT_NAME_NOT_FOUND");
        return;
    }

    status = MIVO_Get_Key_Info(root, &subKeys, NULL);
    if (!NT_SUCCESS(status)) {
        ZwClose(root);
        MIVO_TRACE_LEAVE("Error Get Info Key %x", status);
        return;
    }

    MIVO_Get_DWORD(root, MIVO_WIDE("Default_Profil"), &defaultId, 0);
    dx->DefaultProfilId = (SHORT)(defaultId & 0xFFFF);

    for (ULONG index = 0; index < subKeys; index++) {
        status = MIVO_Get_SubKey_Name(root, index, name, sizeof(name));
        if (NT_SUCCESS(status) && RtlEqualMemory(name, MIVO_LAYOUT_PREFIX, 9 * sizeof(WCHAR))) {
            MIVO_Load_Profil(dx, name);
        }
    }

    ZwClose(root);
    MIVO_TRACE_LEAVE("Fin OK %x", status);
}

/*
 * MIVO_Load_Profil - load the profile subkey SubKeyName of the store's root
 * and push it at the head of ProfilList, with its binds in the reverse of
 * their enumeration order. A subkey without a usable "Profil_Id", or with an
 * id already in the list, is skipped. PASSIVE_LEVEL (HID worker).
 */
VOID MIVO_Load_Profil(PDEVICE_EXTENSION dx, PCWSTR SubKeyName)
{
    WCHAR name[MIVO_REG_NAME_UNITS];
    PROFIL *profil;
    BIND *bind;
    HANDLE key;
    ULONG id = 0;
    ULONG deadZone = 0;
    ULONG values = 0;
    ULONG type = 0;
    NTSTATUS status;

    MIVO_TRACE_ENTER("Open Layer %ws", SubKeyName);

    key = MIVO_Open_Reg(dx->RegistryPath.Buffer, SubKeyName);
    if (key == NULL) {
        MIVO_TRACE_LEAVE("STATUS_OBJECT_NAME_NOT_FOUND");
        return;
    }

    status = MIVO_Get_DWORD(key, MIVO_WIDE("Profil_Id"), &id, 0);
    if (!NT_SUCCESS(status)) {
        MIVO_TRACE_LEAVE("Profil_Id Not Found %x", status);
        goto Exit;
    }
    if (MIVO_Profil_Exist(dx, (SHORT)(id & 0xFFFF))) {
        MIVO_TRACE_LEAVE("Profil_Id %d Already Exist %x", (LONG)id, status);
        goto Exit;
    }

    // A profile record that cannot be allocated skips the subkey, as a
    // missing "Profil_Id" does: the rest of the store still loads.
    profil = (PROFIL *)ExAllocatePool(NonPagedPool, sizeof(PROFIL));
    if (profil == NULL) {
        MIVO_TRACE_LEAVE("ExAllocatePool Error");
        goto Exit;
    }
    RtlZeroMemory(profil, sizeof(PROFIL));
    profil->Profil_Id = (SHORT)(id & 0xFFFF);
    profil->Binds = NULL;
    profil->Next = dx->ProfilList;
    dx->ProfilList = profil;

    // Zero-filled first by the reader: a missing name stays empty.
    MIVO_Get_STRING(key, MIVO_WIDE("Profil_Name"), profil->Profil_Name, sizeof(profil->Profil_Name));
    MIVO_Get_DWORD(key, MIVO_WIDE("DeadZone"), &deadZone, 0);
    profil->DeadZone = (SHORT)(deadZone & 0xFFFF);
    MIVO_TRACE_LINE("Profil_Id %d - Profil_Name %ws  - DeadZone %d ", (LONG)id, profil->Profil_Name, (LONG)deadZone);

    status = MIVO_Get_Key_Info(key, NULL, &values);
    if (NT_SUCCESS(status)) {
        for (ULONG index = 0; index < values; index++) {
            status = MIVO_Get_Value_Info(key, index, name, sizeof(name), &type);
            if (!NT_SUCCESS(status) || type != REG_BINARY || !RtlEqualMemory(name, MIVO_BIND_PREFIX, 7 * sizeof(WCHAR))) {
                continue;
            }
            bind = (BIND *)ExAllocatePool(NonPagedPool, sizeof(BIND));
            if (bind == NULL) {
                continue; // that bind is missing, silently
            }
            RtlZeroMemory(bind, sizeof(BIND));
            // A listed value that cannot be read stays an all-zero bind,
            // which never acts.
            MIVO_Get_BINARY(key, name, bind, BIND_PERSISTED_SIZE);
            RtlZeroMemory((PUCHAR)bind + BIND_PERSISTED_SIZE, sizeof(BIND) - BIND_PERSISTED_SIZE);
            bind->Eval_Kind = MIVO_Bind_Classify(bind);
            bind->Next = profil->Binds;
            profil->Binds = bind;
        }
    }
    MIVO_TRACE_LEAVE("");

Exit:
    ZwClose(key);
}

/*
 * MIVO_Delete_Profil - free every profile of ProfilList with its binds.
 * ProfilList and CurrentProfil are none afterwards. Also the release of the
 * records when the device goes away, once nothing reads them any more.
 * HID worker, or the removal path after the workers have ended.
 */
VOID MIVO_Delete_Profil(PDEVICE_EXTENSION dx)
{
    PROFIL *profil;
    PROFIL *next;

    MIVO_TRACE_ENTER("%p", dx);

    profil = dx->ProfilList;
    dx->ProfilList = NULL;
    dx->CurrentProfil = NULL;

    while (profil != NULL) {
        next = profil->Next;
        MIVO_TRACE_LINE("Delete Profil : %ws", profil->Profil_Name);
        MIVO_Delete_Bind(profil);
        ExFreePoolWithTag(profil, 0);
        profil = next;
    }

    MIVO_TRACE_LEAVE("");
}

/*
 * MIVO_Delete_Bind - free the binds of one profile; its Binds is none
 * afterwards. Any thread that owns the profile.
 */
VOID MIVO_Delete_Bind(PROFIL *Profil)
{
    BIND *bind;
    BIND *next;

    MIVO_TRACE_ENTER("");

    bind = Profil->Binds;
    Profil->Binds = NULL;
    while (bind != NULL) {
        next = bind->Next;
        ExFreePoolWithTag(bind, 0);
        bind = next;
    }

    MIVO_TRACE_LEAVE("");
}

/*
 * MIVO_Profil_Exist - whether ProfilList holds a profile with this id.
 * HID worker (loading).
 */
BOOLEAN MIVO_Profil_Exist(PDEVICE_EXTENSION dx, SHORT Id)
{
    MIVO_TRACE_ENTER("%p Check Profil %d", dx, (LONG)Id);

    for (PROFIL *profil = dx->ProfilList; profil != NULL; profil = profil->Next) {
        if (profil->Profil_Id == Id) {
            MIVO_TRACE_LEAVE("Check Found Profil %d ", (LONG)Id);
            return TRUE;
        }
    }

    MIVO_TRACE_LEAVE("OK Not Found");
    return FALSE;
}
